#include "snapshot/manifest.h"

#include "snapshot/container.h"
#include "snapshot/sha256.h"
#include "store/json/json_writer.h"

namespace vedra {

std::string codes_digest(const CodeOrder& order) {
  std::string joined;
  size_t bytes = 0;
  for (size_t i = 0; i < order.size(); ++i) bytes += order.code(i).size() + 1;
  joined.reserve(bytes);
  for (size_t i = 0; i < order.size(); ++i) {
    if (i) joined += '|';
    joined.append(order.code(i));
  }
  return sha256_hex(joined);
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
