// Matcher: a multi-pattern byte-string matcher (an Aho-Corasick automaton)
// with leftmost-longest, non-overlapping, unanchored, exact-byte semantics.
//
// Semantics of for_each_match(): starting at position 0, report the match that
// begins earliest; among matches beginning there, the longest; among identical
// pattern texts, the lowest pattern number. The next search resumes at the end
// of the reported match, so reported matches never overlap.
//
// Zero-length patterns are accepted and keep their pattern number, but they
// never match (an empty match would be reported at every position).
//
// Two representations compute the same results: a dense DFA for small pattern
// sets and a compact automaton with failure links for large ones; Auto picks
// by the size of the dense table. Design notes are at the top of matcher.cc.
//
// Thread safety: a built Matcher is immutable; concurrent searches are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "index/pattern_span.h"
#include "index/prefilter.h"

namespace vedra {

struct Match {
  uint32_t pattern;  // index into the pattern list given to build()
  size_t start;      // byte offset of the first matched byte
  size_t end;        // one past the last matched byte
};

enum class MatcherKind {
  Auto,     // Dense when its table is small (about 1 MiB), Compact otherwise
  Dense,    // complete transition table over byte classes
  Compact,  // packed states with failure links; dense rows near the start
};

// Build limits. The defaults are the real limits of the 32-bit identifiers;
// tests lower them to reach the overflow paths without huge inputs.
struct MatcherLimits {
  uint64_t max_patterns = 2147483647;       // pattern numbers are 31-bit
  uint64_t max_pattern_bytes = 2147483646;  // longest accepted pattern
  uint64_t max_states = 2147483647;         // trie states, dead and start included
  uint64_t max_table_entries = 4294967295;  // 32-bit words addressed by state ids
};

namespace matcher_internal {
class DenseDfa;
class CompactNfa;
}  // namespace matcher_internal

class Matcher {
 public:
  ~Matcher();
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // Compiles `patterns` (in order; pattern i has number i) into a new automaton.
  // Fails, leaving nothing behind, with
  //   "pattern identifier overflow: ..." when there are more patterns than
  //       31-bit pattern numbers,
  //   "pattern too long: ..." when a pattern exceeds 2,147,483,646 bytes,
  //   "state identifier overflow: ..." when the automaton needs more states
  //       than its 32-bit state identifiers address.
  // `kind` forces a representation (for tests and benchmarks); the results of
  // every search are the same whatever the kind.
  // Cost: a sort of the patterns, then time and memory linear in the total
  // pattern bytes, at the same cost per pattern from 500,000 to 5 million
  // patterns (500,000 names, codes and pinyin pieces, 5.9 MB: about 0.25 s
  // of CPU; 5 million, 63 MB: about 2 s). The compact automaton takes 14
  // bytes per trie state; the build peaks at about 31 bytes per state.
  // The texts are only read during the call.
  static Result<std::unique_ptr<Matcher>> build(PatternSpan patterns, MatcherKind kind = MatcherKind::Auto);
  // As above, with explicit limits. REQUIRES: each limit is at most its default.
  static Result<std::unique_ptr<Matcher>> build(PatternSpan patterns, MatcherKind kind, const MatcherLimits& limits);
  // Conveniences for owned strings (tests, tools).
  static Result<std::unique_ptr<Matcher>> build(const std::vector<std::string>& patterns,
                                                MatcherKind kind = MatcherKind::Auto);
  static Result<std::unique_ptr<Matcher>> build(const std::vector<std::string>& patterns,
                                                MatcherKind kind, const MatcherLimits& limits);

  // Calls sink(const Match&) for every match, left to right, as described at
  // the top of this file. REQUIRES: sink does not throw.
  // Cost: one pass over the haystack, plus a rescan of the bytes between the
  // end of each reported match and the point where the automaton proved it
  // could not grow (at most the length of the longest pattern per match).
  template <typename Sink>
  void for_each_match(std::string_view haystack, Sink&& sink) const {
    matcher_internal::PrefilterState state;
    Match m;
    size_t at = 0;
    while (at < haystack.size() && find_from(haystack, at, &state, &m)) {
      sink(static_cast<const Match&>(m));
      at = m.end;
    }
  }

  // The first match at or after `from`, with the semantics above.
  // Returns false when there is none. REQUIRES: from <= haystack.size().
  bool find(std::string_view haystack, size_t from, Match* out) const {
    matcher_internal::PrefilterState state;
    return find_from(haystack, from, &state, out);
  }

  // Heap bytes held by this object and its automaton.
  size_t memory_usage() const;

  // Dense or Compact: the representation that was built (never Auto).
  MatcherKind kind() const { return kind_; }

  // Number of patterns given to build(), empty ones included.
  size_t pattern_count() const { return pattern_count_; }

 private:
  Matcher();

  bool find_from(std::string_view haystack, size_t from, matcher_internal::PrefilterState* state,
                 Match* out) const;

  MatcherKind kind_ = MatcherKind::Compact;
  size_t pattern_count_ = 0;
  std::unique_ptr<matcher_internal::DenseDfa> dense_;      // set iff kind_ == Dense
  std::unique_ptr<matcher_internal::CompactNfa> compact_;  // set iff kind_ == Compact
};

}  // namespace vedra
