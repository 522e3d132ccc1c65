// DenseDfa: the matcher's representation for small pattern sets, a complete
// transition table over byte classes with every failure transition resolved
// ahead of time. One table lookup per haystack byte.
//
// Layout: state ids are row offsets into table_ (row index << stride2_), so a
// transition is table_[id + class]. Rows are ordered
//   [dead] [match states ...] [start] [all other states ...]
// so one comparison tells whether the search must stop and look: an id below
// start_ is dead (0) or a match state, and the start state itself needs a
// look only while the prefilter is in use.
//
// Cost: (number of states) x 2^stride2_ x 4 bytes, where 2^stride2_ is the
// number of byte classes rounded up to a power of two.
//
// Thread safety: immutable after build(); find() is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "index/matcher.h"
#include "index/matcher_trie.h"
#include "index/prefilter.h"

namespace vedra::matcher_internal {

class DenseDfa {
 public:
  // Table entries (32-bit words) that build() would allocate for `trie`.
  static uint64_t table_entries(const Trie& trie);

  // Compiles `trie`. Fails with a state identifier overflow when the table
  // would exceed max_table_entries entries.
  static Result<DenseDfa> build(const Trie& trie, uint64_t max_table_entries);

  // Finds the leftmost-longest match that begins at or after `at` in h[0, n).
  // Returns false when there is none. REQUIRES: at <= n.
  bool find(const uint8_t* h, size_t n, size_t at, PrefilterState* state, Match* out) const;

  size_t memory_usage() const;

 private:
  std::vector<uint32_t> table_;          // transitions, premultiplied ids
  std::vector<uint32_t> match_pattern_;  // per match state (row index - 1)
  std::vector<uint32_t> match_len_;      // per match state: pattern length
  ByteClasses classes_;
  Prefilter prefilter_;
  uint32_t stride2_ = 0;
  uint32_t start_ = 0;        // id of the start state
  bool empty_ = true;         // no pattern can match
};

}  // namespace vedra::matcher_internal
