// Read-outs of an EngineState's field index for tests: which value keys a
// field holds and which records a key's posting holds.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "index/query.h"
#include "store/engine_state.h"

namespace vedra_testing {

// The value keys posted under `field` (empty when the field has none).
inline std::set<std::string> keys_of(const vedra::EngineState& s, const std::string& field) {
  std::set<std::string> out;
  const vedra::TextMap<vedra::Posting>* f = vedra::find_field(s.field_index, field);
  if (f == nullptr) return out;
  for (const auto& [k, p] : *f) out.emplace(k.view());
  return out;
}

// The records of `key` under `field`, ascending.
inline std::vector<uint32_t> records_of(const vedra::EngineState& s, const std::string& field,
                                        const std::string& key) {
  vedra::Bitmap b;
  const vedra::FieldPostings* f = vedra::find_field(s.field_index, field);
  if (f == nullptr) return {};
  auto it = f->find(key);
  if (it != f->end()) it->second.union_into(b);
  return b.to_vector();
}

}  // namespace vedra_testing
