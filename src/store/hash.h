// Hash maps keyed by text, seeded randomly per map.
//
// Every map gets its own seed at construction, so iteration order differs
// between maps and between runs; nothing may depend on it.  Lookups accept
// std::string_view without building a std::string (transparent hashing).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "absl/container/node_hash_map.h"
#include "absl/hash/hash.h"

namespace vedra {

// A fresh 64-bit seed; thread-safe.
uint64_t fresh_hash_seed();

struct SeededStringHash {
  using is_transparent = void;
  uint64_t seed = fresh_hash_seed();
  size_t operator()(std::string_view s) const {
    return absl::Hash<std::pair<uint64_t, std::string_view>>{}(std::make_pair(seed, s));
  }
};

struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

template <typename V>
using TextMap = absl::flat_hash_map<std::string, V, SeededStringHash, StringEq>;

// As TextMap, but values never move once inserted (one allocation per entry):
// for a few large values that callers keep pointers to.
template <typename V>
using StableTextMap = absl::node_hash_map<std::string, V, SeededStringHash, StringEq>;

}  // namespace vedra
