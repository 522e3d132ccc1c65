#include "snapshot/manifest.h"

#include <cstring>

#include "snapshot/container.h"
#include "snapshot/sha256.h"
#include "store/json/json_writer.h"

namespace vedra {

std::string codes_digest(const CodeOrder& order) {
  // The joined text is hashed a buffer at a time, never whole.  Codes come
  // in byte order, so from records at random: each is asked for ahead, its
  // text half as far ahead as the pointer to it.
  constexpr size_t kBuffer = 16 << 10;
  constexpr size_t kAhead = 16;
  char buffer[kBuffer];
  size_t used = 0;
  Sha256 sha;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + kAhead < order.size()) order.prefetch_pointer(i + kAhead);
    if (i + kAhead / 2 < order.size()) order.prefetch(i + kAhead / 2);
    const std::string_view code = order.code(i);
    if (used + 1 + code.size() > kBuffer) {
      sha.update(std::string_view(buffer, used));
      used = 0;
    }
    if (i != 0) buffer[used++] = '|';
    if (code.size() > kBuffer - used) {
      sha.update(std::string_view(buffer, used));
      sha.update(code);
      used = 0;
      continue;
    }
    std::memcpy(buffer + used, code.data(), code.size());
    used += code.size();
  }
  sha.update(std::string_view(buffer, used));
  return sha.hex_digest();
}

std::string codes_digest(const EngineState& s) { return codes_digest(CodeOrder(s)); }

std::string manifest_text(const EngineState& s, const std::string& full_path, const std::string& index_path,
                          long long created_at) {
  return manifest_text(s, CodeOrder(s), full_path, index_path, created_at);
}

std::string manifest_text(const EngineState& s, const CodeOrder& order, const std::string& full_path,
                          const std::string& index_path, long long created_at) {
  const std::string digest = codes_digest(order);
  std::string out;
  JsonObjectWriter m(out, JsonObjectWriter::Layout::kIndented);
  m.string("created_at", std::to_string(created_at < 0 ? 0 : created_at));
  m.string("full_codes_sha256", digest);
  m.string("full_file", full_path);
  m.string("index_codes_sha256", digest);
  m.string("index_file", index_path);
  m.number("record_count", s.record_texts.size());
  m.number("version", kSnapshotFormatVersion);
  m.end();
  return out;
}

}  // namespace vedra
