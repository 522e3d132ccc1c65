#include "index/query.h"

#include <algorithm>

namespace vedra {

const TextMap<Posting>* find_field(const EngineState& s, std::string_view field) {
  auto it = s.field_index.find(field);
  return it == s.field_index.end() ? nullptr : &it->second;
}

void union_posting(const TextMap<Posting>* field, std::string_view text, Bitmap& out) {
  if (field == nullptr || text.empty()) return;
  auto it = field->find(text);
  if (it != field->end()) it->second.union_into(out);
}

std::vector<std::string_view> find_codes(const EngineState& s, std::string_view text) {
  std::vector<std::string_view> codes;
  if (!s.matcher || text.empty()) return codes;
  const size_t n_patterns = s.pattern_records.size();
  std::vector<uint32_t> records;
  s.matcher->for_each_match(text, [&](const Match& m) {
    if (m.pattern < n_patterns) records.push_back(s.pattern_records[m.pattern]);
  });
  if (records.empty()) return codes;
  if (records.size() > 1) {
    std::sort(records.begin(), records.end());
    records.erase(std::unique(records.begin(), records.end()), records.end());
  }
  codes.reserve(records.size());
  for (uint32_t r : records) codes.emplace_back(s.record_codes[r]);
  if (codes.size() > 1) {
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  }
  return codes;
}

}  // namespace vedra
