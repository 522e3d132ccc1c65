// libFuzzer target: the multi-pattern matcher against a naive oracle.
//
// Input layout:
//   byte 0        flags: bit 0 folds every pattern and haystack byte onto the
//                 alphabet "abcd" (dense overlaps); bits 1-7 pick the start
//                 offset checked with Matcher::find
//   byte 1        pattern count (mod 65); bit 7 makes every length 8 or more
//   per pattern   one length byte (mod 33, or 8 + mod 25), then that many bytes
//   the rest      the haystack (at most 2048 bytes are used)
// Both representations (Dense and Compact) must report exactly the matches
// of a brute-force leftmost-longest, non-overlapping scan, with the lowest
// pattern number among identical texts and empty patterns never matching.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "index/matcher.h"

namespace {

using vedra::Match;
using vedra::Matcher;
using vedra::MatcherKind;

// The best match starting exactly at `s`, if any.
bool best_at(const std::vector<std::string>& patterns, std::string_view hay, size_t s, Match* out) {
  bool found = false;
  for (size_t p = 0; p < patterns.size(); ++p) {
    const std::string& pat = patterns[p];
    if (pat.empty() || pat.size() > hay.size() - s) continue;
    if (hay.compare(s, pat.size(), pat) != 0) continue;
    if (!found || pat.size() > out->end - out->start) {
      *out = Match{static_cast<uint32_t>(p), s, s + pat.size()};
      found = true;
    }
  }
  return found;
}

bool oracle_find(const std::vector<std::string>& patterns, std::string_view hay, size_t from, Match* out) {
  for (size_t s = from; s < hay.size(); ++s) {
    if (best_at(patterns, hay, s, out)) return true;
  }
  return false;
}

std::vector<Match> oracle_all(const std::vector<std::string>& patterns, std::string_view hay) {
  std::vector<Match> out;
  size_t at = 0;
  Match m;
  while (at < hay.size() && oracle_find(patterns, hay, at, &m)) {
    out.push_back(m);
    at = m.end;
  }
  return out;
}

bool same(const Match& a, const Match& b) {
  return a.pattern == b.pattern && a.start == b.start && a.end == b.end;
}

[[noreturn]] void fail(const char* kind, const char* what, size_t index) {
  std::fprintf(stderr, "matcher_fuzzer: %s: %s (match %zu)\n", kind, what, index);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool fold = (data[0] & 1) != 0;
  const size_t from_seed = data[0] >> 1;
  const size_t count = data[1] % 65;
  const bool long_only = (data[1] & 0x80) != 0;  // patterns of 8 bytes or more: the run filter
  size_t pos = 2;
  auto byte = [&](uint8_t b) { return static_cast<char>(fold ? 'a' + (b & 3) : b); };
  std::vector<std::string> patterns;
  for (size_t i = 0; i < count && pos < size; ++i) {
    const size_t len = long_only ? 8 + data[pos++] % 25 : data[pos++] % 33;
    std::string p;
    for (size_t j = 0; j < len && pos < size; ++j) p += byte(data[pos++]);
    patterns.push_back(std::move(p));
  }
  std::string hay;
  for (; pos < size && hay.size() < 2048; ++pos) hay += byte(data[pos]);

  const std::vector<Match> want = oracle_all(patterns, hay);
  const size_t from = hay.empty() ? 0 : from_seed % (hay.size() + 1);
  Match want_from{};
  const bool want_found = oracle_find(patterns, hay, from, &want_from);

  for (MatcherKind kind : {MatcherKind::Dense, MatcherKind::Compact}) {
    const char* name = kind == MatcherKind::Dense ? "dense" : "compact";
    auto built = Matcher::build(patterns, kind);
    if (!built.ok()) fail(name, "build failed", 0);
    const Matcher& m = *built.value();
    if (m.kind() != kind) fail(name, "wrong representation", 0);
    if (m.pattern_count() != patterns.size()) fail(name, "wrong pattern count", 0);
    std::vector<Match> got;
    m.for_each_match(hay, [&](const Match& x) { got.push_back(x); });
    if (got.size() != want.size()) fail(name, "match count differs from the oracle", got.size());
    for (size_t i = 0; i < got.size(); ++i) {
      if (!same(got[i], want[i])) fail(name, "match differs from the oracle", i);
    }
    Match got_from{};
    const bool found = m.find(hay, from, &got_from);
    if (found != want_found || (found && !same(got_from, want_from))) fail(name, "find(from) differs", from);
  }
  return 0;
}
