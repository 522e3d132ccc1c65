// CompactNfa: the matcher's representation for large pattern sets, an
// automaton with failure links whose states are packed into one array of
// 32-bit words; a state id is the offset of the state's header word.
//
// State encoding (words):
//   match states only:  [pattern] [pattern length]          (at id - 2, id - 1)
//   every state:        [header] [failure state id]
//   then, by kind:
//     sparse, n = 1:      [next id]                          class in header bits 8-15
//     sparse, n = 0..254: [n class bytes, padded to words] [n next ids]
//     dense:              [one next id per byte class]       header bits 0-7 = 255
// Header bits 0-7 hold n (255 for dense); bit 16 marks the states where a
// search must stop and look (dead, match states), bit 17 the start state,
// where it may consult the prefilter. The search loop loads the header of
// every state it enters anyway, so testing those bits costs no extra load.
//
// Dense rows hold complete transitions (failures resolved ahead of time), so
// a search never follows a failure link out of a dense state. The dead state
// (id 0), the start state, the states at depth 1 and 2 and the states with
// at least 16 children are dense, within a budget of two words per state on
// average; so is every state, shallowest first, while dense rows take fewer
// than 2^17 words (small automata); all others are sparse and, on a miss,
// continue at their failure state. Every failure chain ends in a dense state
// (dead or start at worst).
//
// Layout: the dense states first (hot, and few), then the sparse states in
// depth-first preorder, so that following one pattern through the automaton
// reads consecutive words. Chinese names, ASCII codes and pinyin: about 14
// bytes per trie state.
//
// Thread safety: immutable after build(); find() is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "index/matcher.h"
#include "index/matcher_trie.h"
#include "index/prefilter.h"

namespace vedra::matcher_internal {

class CompactNfa {
 public:
  // Compiles `trie`. Fails with a state identifier overflow when the
  // encoding would exceed max_words 32-bit words.
  // Cost: time and memory linear in the number of states.
  // Leaves the trie's reported lengths unspecified (their words are reused).
  static Result<CompactNfa> build(Trie& trie, uint64_t max_words);

  // Finds the leftmost-longest match that begins at or after `at` in h[0, n).
  // Returns false when there is none. REQUIRES: at <= n.
  bool find(const uint8_t* h, size_t n, size_t at, PrefilterState* state, Match* out) const;

  size_t memory_usage() const;

  // Number of states encoded densely; exposed for tests and benchmarks.
  size_t dense_states() const { return dense_states_; }

 private:
  std::unique_ptr<uint32_t[]> repr_;
  size_t words_ = 0;  // of repr_
  ByteClasses classes_;
  Prefilter prefilter_;
  uint32_t start_ = 0;        // id of the start state
  size_t dense_states_ = 0;
  bool empty_ = true;         // no pattern can match
};

}  // namespace vedra::matcher_internal
