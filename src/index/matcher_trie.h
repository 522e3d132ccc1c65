// Trie: the build-time form of the matcher's automaton: a trie of the
// patterns with leftmost failure links and the match each state reports.
//
// Both search representations (DenseDfa, CompactNfa) are compiled from a
// Trie, which is then dropped. It is built from the patterns in sorted order,
// so each pattern only extends the path of its predecessor (no child lookups
// while inserting). State ids are breadth first, level by level and within a
// level in the sorted order of the state texts: the children of a state are
// consecutive ids in ascending byte (hence class) order, parents come in
// ascending order, and the failure pass and the compilers walk every
// per-state array in memory order.
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

#include "index/build_array.h"
#include "base/status.h"
#include "index/byte_classes.h"
#include "index/pattern_sort.h"
#include "index/pattern_span.h"
#include "index/prefilter.h"

namespace vedra::matcher_internal {

inline constexpr uint32_t kDead = 0;
inline constexpr uint32_t kStart = 1;
inline constexpr uint32_t kNoPattern = UINT32_MAX;

// The error returned when an automaton needs more states (or a larger table)
// than its identifiers can address. `limit` is the number that was exceeded;
// `what` names it ("states", "transition table entries", ...).
Status state_overflow(uint64_t limit, const char* what);

// The consecutive state ids [first, last), iterable and indexable.  (A plain
// struct rather than std::views::iota, which not every compiler we build the
// fuzzers with accepts over this C++ library.)
struct StateIds {
  uint32_t first, last;
  struct Iterator {
    uint32_t s;
    uint32_t operator*() const { return s; }
    Iterator& operator++() {
      ++s;
      return *this;
    }
    bool operator!=(const Iterator& o) const { return s != o.s; }
  };
  Iterator begin() const { return {first}; }
  Iterator end() const { return {last}; }
  size_t size() const { return last - first; }
  uint32_t operator[](size_t i) const { return first + static_cast<uint32_t>(i); }
};

class Trie {
 public:
  // Builds the trie of `patterns` (pattern i has number i; empty patterns are
  // skipped and never match), then its failure links and reported matches.
  // Fails with a state identifier overflow when the trie would hold more than
  // max_states states (kDead and kStart included).
  // Cost: a radix sort of the patterns' 16-byte keys (pattern_sort.h), then
  // time linear in the total pattern bytes. Memory: 17 bytes per state,
  // or 9 bytes per state and 36 per pattern if that is more: the sort's
  // records and the per-state words that outlive them share pages.
  static Result<Trie> build(PatternSpan patterns, uint64_t max_states);

  uint32_t num_states() const { return static_cast<uint32_t>(reported_.size()); }
  const ByteClasses& classes() const { return classes_; }

  // first_bytes()[b]: some pattern begins with byte b.
  const std::array<bool, 256>& first_bytes() const { return first_bytes_; }

  // The prefilter for these patterns (Prefilter::build).
  const Prefilter& prefilter() const { return prefilter_; }

  // The trie child of s on byte class c, or 0 when there is none.
  uint32_t child(uint32_t s, uint32_t c) const {
    uint32_t lo = child_begin_[s];
    uint32_t hi = child_begin_[s + 1];
    while (hi - lo > 8) {  // sorted by class: narrow long lists by bisection
      const uint32_t mid = lo + (hi - lo) / 2;
      if (child_class_[mid] < c) {
        lo = mid + 1;
      } else {
        hi = mid + 1;
      }
    }
    for (uint32_t i = lo; i < hi; ++i) {
      if (child_class_[i] == c) return i;
    }
    return 0;
  }

  // Calls f(class, child) for every trie child of s, in ascending class order.
  template <typename F>
  void for_each_child(uint32_t s, F&& f) const {
    for (uint32_t i = child_begin_[s], end = child_begin_[s + 1]; i < end; ++i) f(child_class_[i], i);
  }

  uint32_t num_children(uint32_t s) const { return child_begin_[s + 1] - child_begin_[s]; }

  // The states at depth d (bytes from kStart): consecutive ids, level 0
  // being kStart alone. REQUIRES: d < num_levels().
  StateIds level(uint32_t d) const { return StateIds{level_begin_[d], level_begin_[d + 1]}; }
  // One more than the length of the longest pattern.
  uint32_t num_levels() const { return static_cast<uint32_t>(level_begin_.size() - 1); }

  uint32_t fail(uint32_t s) const { return fail_words()[s]; }

  // The pattern reported when a search reaches s, or kNoPattern.
  uint32_t reported_pattern(uint32_t s) const { return reported_[s] - 1; }
  // The length in bytes of reported_pattern(s) (kept per state, so that
  // compiling the trie never looks the pattern up).  REQUIRES: s reports one.
  uint32_t reported_length(uint32_t s) const { return fail_words()[num_states() + s]; }

  // The words that hold reported_length(), for a compiler that reads each
  // state's length at most once and may then reuse that state's word as
  // its own per-state scratch (reported_length(s) is then unspecified).
  uint32_t* length_words() { return fail_words() + num_states(); }

  // The id of the first child of s; its children are the ids from there to
  // first_child(s + 1). REQUIRES: s < num_states().
  uint32_t first_child(uint32_t s) const { return child_begin_[s]; }

  // kStart followed by every other live state, in breadth-first order: a
  // state's failure state always comes before it. That is id order:
  // kStart, 2, 3, ... num_states() - 1.
  StateIds bfs_order() const { return StateIds{kStart, num_states()}; }

  // Calls f(s, parent) for every state but kDead and kStart in depth-first
  // preorder (children in ascending class order), the order in which the
  // patterns were inserted. `parent` is the context f returned for s's
  // parent (`root` for the children of kStart), which f may change for the
  // siblings that follow s; what f returns is handed to s's children. Each
  // level's ids come in ascending order, so arrays indexed by id are read as
  // one stream per level.
  // Cost: time linear in the number of states, memory one entry per level.
  template <typename Context, typename F>
  void for_each_preorder(Context root, F&& f) const {
    struct Pending {
      uint32_t next, end;  // the children of one state not yet visited
      Context context;     // what f returned for that state
    };
    std::vector<Pending> stack;
    stack.reserve(level_begin_.size());  // one entry per depth at most
    stack.push_back({child_begin_[kStart], child_begin_[kStart + 1], root});
    while (!stack.empty()) {
      Pending& top = stack.back();
      if (top.next == top.end) {
        stack.pop_back();
        continue;
      }
      const uint32_t s = top.next++;
      Context mine = f(s, top.context);
      const uint32_t first = child_begin_[s], end = child_begin_[s + 1];
      if (first != end) stack.push_back({first, end, mine});  // `top` is not used after this
    }
  }

 private:
  // REQUIRES: the children, their classes and the reported patterns are set,
  // and scratch_ holds 2 * num_states() words.
  void fill_failure_links();

  // scratch_ as words: failure states, then reported lengths.
  uint32_t* fail_words() { return reinterpret_cast<uint32_t*>(scratch_.data()); }
  const uint32_t* fail_words() const { return reinterpret_cast<const uint32_t*>(scratch_.data()); }

  ByteClasses classes_;
  std::array<bool, 256> first_bytes_{};
  Prefilter prefilter_;

  // Per state; index = state id.  Separate arrays: the failure pass and
  // the compilers each stream through a few of them.  Build arrays: they
  // live only for one build, and elements never written read as zero,
  // which is the initial value of the counts and of "no pattern".
  // The sorted pattern records while the trie is inserted; after that, the
  // failure state and the reported length of each state (fail_words()).
  BuildArray<SortedPattern> scratch_;
  // One more than the pattern reported (0: none).
  BuildArray<uint32_t> reported_;
  // The children of s are the ids [child_begin_[s], child_begin_[s + 1]);
  // child_class_[s] is the class of the edge into s (0 for kDead, kStart).
  BuildArray<uint32_t> child_begin_;
  BuildArray<uint8_t> child_class_;
  // The first id of each depth (level_begin_[d], d <= longest pattern),
  // then the number of states.
  std::vector<uint32_t> level_begin_;
};

}  // namespace vedra::matcher_internal
