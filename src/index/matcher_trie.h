// Trie: the build-time form of the matcher's automaton: a trie of the
// patterns with leftmost failure links and the match each state reports.
//
// Both search representations (DenseDfa, CompactNfa) are compiled from a
// Trie and the Trie is then dropped, so it is laid out for fast construction,
// not for searching: children are linked lists, and a state that gathers
// kPromoteChildren children also gets a direct row indexed by byte class.
//
// States: kDead (0) never leaves itself; kStart (1) is the root and the
// start state; every other state is the trie node of one pattern prefix.
// For leftmost semantics a state that ends a pattern fails to kDead, and so,
// transitively, does every state whose failure chain would run through one
// (see the design note in matcher.cc). Reported match: the lowest-numbered
// pattern whose text is the state's own prefix, or else the match reported by
// the failure state.
//
// Thread safety: immutable after build().
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "index/byte_classes.h"
#include "lib/status.h"

namespace vedra::matcher_internal {

inline constexpr uint32_t kDead = 0;
inline constexpr uint32_t kStart = 1;
inline constexpr uint32_t kNoPattern = UINT32_MAX;

// The error returned when an automaton needs more states (or a larger table)
// than its identifiers can address. `limit` is the number that was exceeded;
// `what` names it ("states" or "transition table entries").
Status state_overflow(uint64_t limit, const char* what);

class Trie {
 public:
  // Builds the trie of `patterns` (pattern i has number i; empty patterns are
  // skipped and never match), then its failure links and reported matches.
  // Fails with a state identifier overflow when the trie would hold more than
  // max_states states (kDead and kStart included).
  // Cost: time O(total pattern bytes), about 25 bytes of memory per state.
  static Result<Trie> build(const std::vector<std::string>& patterns, uint64_t max_states);

  uint32_t num_states() const { return static_cast<uint32_t>(fail_.size()); }
  const ByteClasses& classes() const { return classes_; }

  // first_bytes()[b]: some pattern begins with byte b.
  const std::array<bool, 256>& first_bytes() const { return first_bytes_; }

  // The trie child of s on byte class c, or 0 when there is none.
  uint32_t child(uint32_t s, uint32_t c) const {
    if (row_[s] != kNoRow) return rows_[static_cast<size_t>(row_[s]) * classes_.count() + c];
    // Lists are sorted by class, so the walk stops at the first larger one.
    for (uint32_t x = first_child_[s]; x != 0; x = next_sibling_[x]) {
      if (in_class_[x] >= c) return in_class_[x] == c ? x : 0;
    }
    return 0;
  }

  // Calls f(class, child) for every trie child of s, in ascending class order.
  template <typename F>
  void for_each_child(uint32_t s, F&& f) const {
    if (row_[s] != kNoRow) {
      const uint32_t* r = &rows_[static_cast<size_t>(row_[s]) * classes_.count()];
      for (uint32_t c = 0; c < classes_.count(); ++c) {
        if (r[c] != 0) f(c, r[c]);
      }
      return;
    }
    for (uint32_t x = first_child_[s]; x != 0; x = next_sibling_[x]) f(in_class_[x], x);
  }

  uint32_t num_children(uint32_t s) const { return num_children_[s]; }

  // Depth of s in the trie (bytes from kStart), saturated at 255.
  uint32_t depth(uint32_t s) const { return depth_[s]; }

  uint32_t fail(uint32_t s) const { return fail_[s]; }

  // The pattern reported when a search reaches s, or kNoPattern.
  uint32_t reported_pattern(uint32_t s) const { return reported_[s]; }

  // kStart followed by every other live state, in breadth-first order: a
  // state's failure state always comes before it.
  const std::vector<uint32_t>& bfs_order() const { return bfs_; }

 private:
  static constexpr uint32_t kNoRow = UINT32_MAX;
  static constexpr uint32_t kPromoteChildren = 12;

  uint32_t add_state(uint32_t parent, uint32_t c);
  void fill_failure_links();

  ByteClasses classes_;
  std::array<bool, 256> first_bytes_{};

  // Per state; index = state id.
  std::vector<uint32_t> first_child_;   // head of the child list, 0 = none
  std::vector<uint32_t> next_sibling_;  // next state in the parent's list, 0 = none
  std::vector<uint8_t> in_class_;       // class of the edge into the state
  std::vector<uint16_t> num_children_;
  std::vector<uint8_t> depth_;
  std::vector<uint8_t> ends_pattern_;   // 1 when the state's prefix is a pattern
  std::vector<uint32_t> row_;           // index into rows_, or kNoRow
  std::vector<uint32_t> fail_;
  std::vector<uint32_t> reported_;

  std::vector<uint32_t> rows_;  // promoted states' children, classes().count() per row
  std::vector<uint32_t> bfs_;
};

}  // namespace vedra::matcher_internal
