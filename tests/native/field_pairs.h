// A field map's entries as owned pairs, for comparing with expected tables.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "store/field_map.h"

namespace vedra_testing {

using FieldPairs = std::vector<std::pair<std::string, std::string>>;

// The entries of `m`, in map order.
inline FieldPairs pairs_of(const vedra::FieldMap& m) {
  FieldPairs out;
  for (const auto [name, value] : m) out.emplace_back(name, value);
  return out;
}

}  // namespace vedra_testing
