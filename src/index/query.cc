#include "index/query.h"

#include <algorithm>

namespace vedra {

const TextMap<Posting>* find_field(const EngineState& s, std::string_view field) {
  auto it = s.field_index.find(field);
  return it == s.field_index.end() ? nullptr : it->second.get();
}

void union_posting(const TextMap<Posting>* field, std::string_view text, Bitmap& out) {
  if (field == nullptr || text.empty()) return;
  auto it = field->find(text);
  if (it != field->end()) it->second.union_into(out);
}

std::vector<uint32_t> find_code_records(const EngineState& s, std::string_view text) {
  std::vector<uint32_t> records;
  if (!s.matcher || text.empty()) return records;
  const size_t n_patterns = s.pattern_records.size();
  s.matcher->for_each_match(text, [&](const Match& m) {
    if (m.pattern < n_patterns) records.push_back(s.pattern_records[m.pattern]);
  });
  if (records.size() <= 1) return records;
  std::sort(records.begin(), records.end());
  records.erase(std::unique(records.begin(), records.end()), records.end());
  // Distinct records may share a code: order by code bytes, keep one each.
  auto code_less = [&](uint32_t a, uint32_t b) { return s.record_codes[a] < s.record_codes[b]; };
  auto code_equal = [&](uint32_t a, uint32_t b) { return s.record_codes[a] == s.record_codes[b]; };
  std::sort(records.begin(), records.end(), code_less);
  records.erase(std::unique(records.begin(), records.end(), code_equal), records.end());
  return records;
}

}  // namespace vedra
