// Design of the matcher
// =====================
//
// The problem. Given patterns p0 .. pk-1 and a haystack, report matches left
// to right: the one that begins earliest; among those, the longest; among
// equal texts, the lowest pattern number; then continue after its end.
//
// Naive algorithm. At each haystack position try every pattern and keep the
// best. That costs O(haystack x total pattern bytes): with 350,000 patterns
// it is hopeless, and the test oracle is the only place it survives.
//
// A trie. Put the patterns in a trie whose edges are labelled by bytes.
// Walking the trie from position i finds every pattern that begins at i in
// one pass over the bytes that follow, O(haystack x longest pattern) in all.
// For "ab", "abc", "bc" (numbers 0, 1, 2):
//
//     start -a-> [a] -b-> [ab]* -c-> [abc]*
//       \-b-> [b] -c-> [bc]*                      (* ends a pattern)
//
// Failure transitions. Restarting the walk at i + 1 rereads bytes already
// seen. Instead, give each state a failure transition to the state of the
// longest proper suffix of its text that is also in the trie ([abc] -> [bc],
// [ab] -> [b], [a] -> start). When a state has no edge for the next byte,
// follow failures until one has, or the start state absorbs the byte. Every
// byte is then read once, and the automaton always stands on the longest
// pattern prefix that ends at the current position: O(haystack) transitions,
// amortised. Failures are computed breadth first, since a state's failure is
// found by following its parent's failure chain.
//
// Why leftmost semantics forbid the standard iteration. The textbook search
// reports, at each position, every pattern ending there (the pattern of the
// state and those reached along its failure chain). That is overlapping
// search, and it finds matches in order of their END. We need them in order
// of their START, preferring the longest: with "ab" and "abc" on "abc", "ab"
// ends first but loses to the longer "abc"; with "bcd" and "abcde" on
// "abcde", "bcd" ends first but loses to "abcde", which starts earlier. So
// the search cannot report on sight; it remembers the best match so far and
// keeps going while a better one (starting earlier, or as early and longer)
// is still possible. What "still possible" means is encoded in the failure
// transitions:
//
//   * a state that ends a pattern fails to DEAD, and so, transitively, does
//     every state whose failure chain would run through one. Following a
//     failure means giving up the leftmost start in progress for a later one;
//     once a match has been seen, every later start is worse, so the search
//     must stop rather than fail past the start of that match;
//   * each state records the one match it reports: its own pattern (the
//     lowest number among identical texts) or else the match its failure
//     state reports, i.e. the leftmost pattern that ends there.
//
// The search steps from the start state, remembers (state, position) at every
// match state, and ends at DEAD or at the end of the haystack; the remembered
// match is the answer, and the next search starts at its end. After a match
// has been seen the automaton can never come back to the start state, and
// every state it can still reach stands on a start no later than the
// remembered match's, so each match it meets later starts earlier or is
// longer: the last one remembered is leftmost-longest. The price is some
// rescanning: bytes read after the reported match's end, looking for a
// longer one, are read again by the next search.
//
// Building. The trie (matcher_trie.h) is built from the patterns in sorted
// order, so each pattern extends its predecessor's path without any child
// lookups. States are numbered breadth first in the same sweep (one id
// counter per depth), so a state's children are consecutive ids and the
// failure pass, which must go breadth first, walks memory in order; the
// packed form walks the child ranges to lay states out depth first. Bytes
// are replaced by classes (byte_classes.h): all bytes that occur in no
// pattern behave alike. The build's transient words are few and reused: the
// failure links take the pages of the sorted records, and the packed form's
// state ids the words of the reported lengths it has consumed.
//
// Representations. Both are compiled from the trie; state ids are 32-bit
// offsets premultiplied into one transition array, and a cheap test on each
// state entered says whether to stop and look.
//
//   * DenseDfa (matcher_dense.h): one row per state, one entry per class,
//     failures resolved at build time: a DFA, one lookup per byte. Rows are
//     ordered [dead] [match states] [start] [others], so the test is one
//     comparison of the id. The table is states x classes words, so it is
//     used for small pattern sets (Auto: while it fits kAutoDenseBytes).
//   * CompactNfa (matcher_compact.h): states packed into one word array.
//     Shallow and high fan-out states get dense, resolved rows; the rest are
//     sparse (a one-transition special case, else a class list scanned with
//     SSE2) and follow their failure link on a miss. About 14 bytes per state
//     instead of hundreds, for a few extra steps after a failure. The test is
//     a bit in the header word that the step loads anyway.
//
// Prefilter (prefilter.h). While the automaton is in the start state no match
// is in progress, so the search may jump to the next byte that begins some
// pattern: with 1-3 distinct first bytes by a vectorised byte scan; when every
// pattern has at least 4 bytes, by finding, 64 positions at a time, the runs
// of bytes that can all lie inside a pattern's beginning (long words over
// prose: a space or a punctuation mark in the run rules a position out);
// otherwise by walking a 256-entry table of possible first bytes, which has
// no loop dependency through the automaton. A prefilter that keeps skipping
// little switches itself off for the rest of the haystack, and the start
// state then stops being special.

#include "index/matcher.h"

#include <utility>

#include "index/matcher_compact.h"
#include "index/matcher_dense.h"
#include "index/matcher_trie.h"

namespace vedra {

using matcher_internal::CompactNfa;
using matcher_internal::DenseDfa;
using matcher_internal::Trie;

namespace {

// Auto builds the dense table while it takes at most this many bytes.
constexpr uint64_t kAutoDenseBytes = 1u << 20;

}  // namespace

Matcher::Matcher() = default;
Matcher::~Matcher() = default;

Result<std::unique_ptr<Matcher>> Matcher::build(PatternSpan patterns,
                                                MatcherKind kind) {
  return build(patterns, kind, MatcherLimits());
}

Result<std::unique_ptr<Matcher>> Matcher::build(PatternSpan patterns,
                                                MatcherKind kind, const MatcherLimits& limits) {
  if (patterns.size() > limits.max_patterns) {
    return Status::Error("pattern identifier overflow: cannot number " + std::to_string(patterns.size()) +
                         " patterns, at most " + std::to_string(limits.max_patterns) +
                         " patterns can be compiled into one matcher");
  }
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (patterns[i].size() > limits.max_pattern_bytes) {
      return Status::Error("pattern too long: pattern " + std::to_string(i) + " is " +
                           std::to_string(patterns[i].size()) + " bytes long, at most " +
                           std::to_string(limits.max_pattern_bytes) + " bytes are allowed");
    }
  }
  Result<Trie> trie = Trie::build(patterns, limits.max_states);
  if (!trie.ok()) return trie.status();

  if (kind == MatcherKind::Auto) {
    kind = DenseDfa::table_entries(trie.value()) * sizeof(uint32_t) <= kAutoDenseBytes ? MatcherKind::Dense
                                                                                       : MatcherKind::Compact;
  }
  std::unique_ptr<Matcher> m(new Matcher());
  m->kind_ = kind;
  m->pattern_count_ = patterns.size();
  if (kind == MatcherKind::Dense) {
    Result<DenseDfa> d = DenseDfa::build(trie.value(), limits.max_table_entries);
    if (!d.ok()) return d.status();
    m->dense_ = std::make_unique<DenseDfa>(std::move(d.value()));
  } else {
    Result<CompactNfa> c = CompactNfa::build(trie.value(), limits.max_table_entries);
    if (!c.ok()) return c.status();
    m->compact_ = std::make_unique<CompactNfa>(std::move(c.value()));
  }
  return m;
}

bool Matcher::find_from(std::string_view haystack, size_t from, matcher_internal::PrefilterState* state,
                        Match* out) const {
  const uint8_t* h = reinterpret_cast<const uint8_t*>(haystack.data());
  if (dense_ != nullptr) return dense_->find(h, haystack.size(), from, state, out);
  return compact_->find(h, haystack.size(), from, state, out);
}

size_t Matcher::memory_usage() const {
  size_t bytes = sizeof(Matcher);
  if (dense_ != nullptr) bytes += sizeof(DenseDfa) + dense_->memory_usage();
  if (compact_ != nullptr) bytes += sizeof(CompactNfa) + compact_->memory_usage();
  return bytes;
}

Result<std::unique_ptr<Matcher>> Matcher::build(const std::vector<std::string>& patterns, MatcherKind kind) {
  return build(patterns, kind, MatcherLimits());
}

Result<std::unique_ptr<Matcher>> Matcher::build(const std::vector<std::string>& patterns, MatcherKind kind,
                                                const MatcherLimits& limits) {
  const std::vector<std::string_view> views(patterns.begin(), patterns.end());
  return build(PatternSpan(views), kind, limits);
}

}  // namespace vedra
