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
#include "absl/hash/hash.h"
#include "absl/strings/string_view.h"
#include "base/large_alloc.h"
#include "base/map_room.h"
#include "base/text_key.h"

namespace vedra {

// A fresh 64-bit seed; thread-safe.
uint64_t fresh_hash_seed();

// Hash of a text.  Goes through absl::string_view: where abseil is built
// with its own string_view type, std::string_view would fall back to
// std::hash, an out-of-line call that costs more than the rest of a probe.
inline size_t text_hash(uint64_t seed, std::string_view s) {
  return absl::Hash<std::pair<uint64_t, absl::string_view>>{}(std::make_pair(seed, absl::string_view(s.data(), s.size())));
}

// A text with its hash under one map's hash function, so that a caller who
// hashed it already (to start loading its slot) probes without hashing
// again.  REQUIRES: `hash` is the hash_function() of the map probed, applied
// to `text`; any other value makes the probe miss or duplicate keys.
struct HashedText {
  std::string_view text;
  size_t hash;
  operator std::string_view() const { return text; }
};

// The same as a key to insert: the key is built (and a long text's block
// allocated) before the insert, which then only moves it in and cannot
// throw.  Not a text view, so that nothing copies it by mistake.
struct HashedKey {
  TextKey key;
  size_t hash;
  operator TextKey() && noexcept { return std::move(key); }
};

struct SeededStringHash {
  using is_transparent = void;
  uint64_t seed = fresh_hash_seed();
  size_t operator()(std::string_view s) const { return text_hash(seed, s); }
  size_t operator()(const TextKey& k) const { return text_hash(seed, k.view()); }
  size_t operator()(const HashedText& k) const { return k.hash; }
  size_t operator()(const HashedKey& k) const { return k.hash; }
};

struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  bool operator()(std::string_view a, const HashedKey& b) const { return a == b.key.view(); }
  bool operator()(const HashedKey& a, std::string_view b) const { return a.key.view() == b; }
};

// Keyed by TextKey: a slot is the 16-byte key and the value.  A large
// table's slots are probed at random, so they sit on huge pages where the
// system offers them (base/large_alloc.h).
template <typename V>
using TextMap = GrowSafe<
    absl::flat_hash_map<TextKey, V, SeededStringHash, StringEq, LargeAllocator<std::pair<const TextKey, V>>>>;

}  // namespace vedra
