#include "snapshot/manifest.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "snapshot/container.h"
#include "snapshot/sha256.h"
#include "store/json_writer.h"

namespace vedra {

std::string codes_digest(const EngineState& s) {
  std::vector<std::string_view> codes(s.record_codes.begin(), s.record_codes.end());
  std::sort(codes.begin(), codes.end());
  std::string joined;
  size_t bytes = 0;
  for (auto c : codes) bytes += c.size() + 1;
  joined.reserve(bytes);
  for (size_t i = 0; i < codes.size(); ++i) {
    if (i) joined += '|';
    joined.append(codes[i]);
  }
  return sha256_hex(joined);
}

std::string manifest_text(const EngineState& s, const std::string& full_path, const std::string& index_path,
                          long long created_at) {
  const std::string digest = codes_digest(s);
  std::string out;
  JsonObjectWriter m(out, JsonObjectWriter::Layout::kIndented);
  m.string("created_at", std::to_string(created_at < 0 ? 0 : created_at));
  m.string("full_codes_sha256", digest);
  m.string("full_file", full_path);
  m.string("index_codes_sha256", digest);
  m.string("index_file", index_path);
  m.number("record_count", s.record_codes.size());
  m.number("version", kSnapshotFormatVersion);
  m.end();
  return out;
}

}  // namespace vedra
