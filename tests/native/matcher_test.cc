// Tests of vedra::Matcher: table-driven cases grouped by semantics, property
// tests against a brute-force leftmost-longest oracle in both representations
// and under every prefilter shape, the internals (byte classes, leftmost
// failure links, prefilter, wide sparse states) and the build limits.

#include "index/matcher.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "index/byte_classes.h"
#include "index/matcher_compact.h"
#include "index/matcher_trie.h"
#include "index/pattern_list.h"
#include "index/pattern_sort.h"
#include "index/prefilter.h"

#include "test_rng.h"
#include "testing.h"

namespace {

using vedra::Match;
using vedra::Matcher;
using vedra::MatcherKind;
using vedra::MatcherLimits;

struct Expected {
  uint32_t pattern;
  size_t start;
  size_t end;
};

struct Case {
  const char* name;
  std::vector<std::string> patterns;
  std::string haystack;
  std::vector<Expected> expected;
};

std::string show(const std::vector<Match>& ms) {
  std::string out;
  for (const Match& m : ms) {
    out += '(';
    out += std::to_string(m.pattern);
    out += ',';
    out += std::to_string(m.start);
    out += ',';
    out += std::to_string(m.end);
    out += ')';
  }
  return out;
}

std::string show(const std::vector<Expected>& es) {
  std::vector<Match> ms;
  for (const Expected& e : es) ms.push_back(Match{e.pattern, e.start, e.end});
  return show(ms);
}

std::vector<Match> all_matches(const Matcher& m, std::string_view haystack) {
  std::vector<Match> out;
  m.for_each_match(haystack, [&](const Match& x) { out.push_back(x); });
  return out;
}

using vedra_testing::Rng;

// Leftmost-longest by brute force: at each position try every pattern, keep
// the longest (ties: the lowest number); advance past a match or by one byte.
std::vector<Match> oracle(const std::vector<std::string>& patterns, const std::string& hay) {
  std::vector<Match> out;
  size_t at = 0;
  while (at < hay.size()) {
    bool found = false;
    Match best{};
    for (size_t i = 0; i < patterns.size(); ++i) {
      const std::string& p = patterns[i];
      if (p.empty() || hay.size() - at < p.size() || hay.compare(at, p.size(), p) != 0) continue;
      if (!found || p.size() > best.end - best.start) {
        best = Match{static_cast<uint32_t>(i), at, at + p.size()};
        found = true;
      }
    }
    if (found) {
      out.push_back(best);
      at = best.end;
    } else {
      ++at;
    }
  }
  return out;
}

std::string draw(Rng& rng, const std::string& alphabet, size_t len) {
  std::string s;
  for (size_t i = 0; i < len; ++i) s += alphabet[rng.below(alphabet.size())];
  return s;
}

const MatcherKind kKinds[] = {MatcherKind::Auto, MatcherKind::Dense, MatcherKind::Compact};

const char* kind_name(MatcherKind k) {
  switch (k) {
    case MatcherKind::Auto:
      return "auto";
    case MatcherKind::Dense:
      return "dense";
    default:
      return "compact";
  }
}

// Runs every case in every representation; reports the case and kind.
void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    for (MatcherKind kind : kKinds) {
      auto built = Matcher::build(c.patterns, kind);
      if (!built.ok()) {
        EXPECT_EQ(std::string(c.name) + " " + kind_name(kind) + ": " + built.status().message(),
                  std::string(c.name) + " " + kind_name(kind) + ": ok");
        continue;
      }
      EXPECT_EQ(std::string(c.name) + " " + kind_name(kind) + " " + show(all_matches(*built.value(), c.haystack)),
                std::string(c.name) + " " + kind_name(kind) + " " + show(c.expected));
    }
  }
}

// --- Table-driven cases ------------------------------------------------------

// Leftmost-longest: the earliest start wins, then the longest, then the
// lowest pattern number; the search resumes at the end of each match.
const std::vector<Case> kLeftmostLongest = {
    {"leftlong000", {"ab", "abc"}, "abc", {{1, 0, 3}}},
    {"leftlong010", {"ab", "abc"}, "ab x", {{0, 0, 2}}},
    {"leftlong020", {"ab", "bc"}, "abc", {{0, 0, 2}}},
    {"leftlong030", {"abc", "ab"}, "abc", {{0, 0, 3}}},
    {"leftlong040", {"ab", "abc"}, "ababc", {{0, 0, 2}, {1, 2, 5}}},
    {"leftlong050", {"abcd", "bc"}, "abce", {{1, 1, 3}}},
    {"leftlong060", {"abcd", "bc"}, "abcd", {{0, 0, 4}}},
    {"leftlong070", {"bcd", "abcde"}, "abcde", {{1, 0, 5}}},
    {"leftlong080", {"bcd", "abcde"}, "abcdx", {{0, 1, 4}}},
    {"leftlong090", {"abc", "b", "cd"}, "abcd", {{0, 0, 3}}},
    {"leftlong100", {"b", "abcd", "cd"}, "abcx", {{0, 1, 2}}},
    {"leftlong110", {"abcdef", "bcd", "cde"}, "abcdeg", {{1, 1, 4}}},
    {"leftlong120", {"a", "ab", "abc", "abcd"}, "abcabcd", {{2, 0, 3}, {3, 3, 7}}},
    {"leftlong130", {"x", "xyz"}, "xyxyz", {{0, 0, 1}, {1, 2, 5}}},
    {"leftlong140", {"foo", "foobar", "bar"}, "foobaz bar", {{0, 0, 3}, {2, 7, 10}}},
    {"leftlong150", {"samwise", "sam"}, "samwix", {{1, 0, 3}}},
    {"leftlong160", {"abcdef"}, "abc", {}},
    {"leftlong170", {"abc", "bc", "c"}, "xabcx", {{0, 1, 4}}},
    {"leftlong180", {"abc", "bc", "c"}, "xbcx", {{1, 1, 3}}},
    {"leftlong190", {"abc", "bc", "c"}, "xacx", {{2, 2, 3}}},
    {"leftlong200", {"a", "aa"}, "aaa", {{1, 0, 2}, {0, 2, 3}}},
    {"leftlong210", {"abab", "ba"}, "ababa", {{0, 0, 4}}},
    {"leftlong220", {"abcxyz", "bcx", "xyzw"}, "abcxyzw", {{0, 0, 6}}},
    {"leftlong230", {"abcxyq", "bcx", "xyzw"}, "abcxyzw", {{1, 1, 4}}},
    {"leftlong240", {"abcdefgh", "cdx", "bc"}, "abcdx", {{2, 1, 3}}},
    {"leftlong250", {"aab", "ab"}, "aaab", {{0, 1, 4}}},
    {"leftlong260", {"ab", "b"}, "ab", {{0, 0, 2}}},
    {"leftlong270", {"b", "ab"}, "ab", {{1, 0, 2}}},
};

// Identical pattern texts: the lowest pattern number is reported.
const std::vector<Case> kDuplicates = {
    {"dup000", {"Acme", "Acme"}, "Acme", {{0, 0, 4}}},
    {"dup010", {"abc", "ab", "ab"}, "abx", {{1, 0, 2}}},
    {"dup020", {"x", "A1", "A1"}, "A1 A1", {{1, 0, 2}, {1, 3, 5}}},
    {"dup030", {"a", "a", "aa", "aa"}, "aaa", {{2, 0, 2}, {0, 2, 3}}},
    {"dup040", {"bc", "abc", "bc"}, "abd bc", {{0, 4, 6}}},
};

// Repeated and adjacent occurrences, and haystacks that hold nothing.
const std::vector<Case> kRepeats = {
    {"repeat000", {"a"}, "aaa", {{0, 0, 1}, {0, 1, 2}, {0, 2, 3}}},
    {"repeat010", {"ab"}, "abababab", {{0, 0, 2}, {0, 2, 4}, {0, 4, 6}, {0, 6, 8}}},
    {"repeat020", {"aa"}, "aaaaa", {{0, 0, 2}, {0, 2, 4}}},
    {"repeat030", {"aba"}, "ababa", {{0, 0, 3}}},
    {"repeat040", {"ab", "cd"}, "abcdab", {{0, 0, 2}, {1, 2, 4}, {0, 4, 6}}},
    {"repeat050", {"needle"}, "a haystack without it", {}},
    {"repeat060", {"Apple"}, "apple pie", {}},
};

// Empty haystacks and empty patterns (which never match).
const std::vector<Case> kEmpty = {
    {"empty000", {"a"}, "", {}},
    {"empty010", {"abc", "b"}, "", {}},
    {"empty020", {"", "a"}, "a", {{1, 0, 1}}},
    {"empty030", {""}, "abc", {}},
    {"empty040", {"", "", ""}, "", {}},
    {"empty050", {}, "abc", {}},
    {"empty060", {"b", "", "ab"}, "xab", {{2, 1, 3}}},
};

// UTF-8 text is matched as exact bytes.
const std::vector<Case> kUtf8 = {
    {"utf8000",
     {"贵州茅台", "茅台", "600519.SH", "gzmt"},
     "今日贵州茅台(600519.SH)上涨, gzmt",
     {{0, 6, 18}, {2, 19, 28}, {3, 37, 41}}},
    {"utf8010", {"茅台", "贵州茅台", "酒"}, "茅台酒和贵州茅", {{0, 0, 6}, {2, 6, 9}}},
    {"utf8020", {"台", "台湾"}, "台湾台", {{1, 0, 6}, {0, 6, 9}}},
    // A pattern of continuation bytes matches inside a character.
    {"utf8030", {"\x8f\xb0"}, "台", {{0, 1, 3}}},
    {"utf8040", {"中国", "中国银行", "国银"}, "中国银河", {{0, 0, 6}}},
    {"utf8050", {"GZMT", "gzmt"}, "gzMT GZMT", {{0, 5, 9}}},
    {"utf8060", {std::string("\0a", 2), "\xff\xfe"}, std::string("x\0a\xff\xfe", 5), {{0, 1, 3}, {1, 3, 5}}},
};

// Prefilter shapes: 1, 2, 3 and many distinct first bytes, with candidates
// before, inside and after 16-byte blocks and at the haystack's end.
const std::vector<Case> kPrefilter = {
    {"prefilter000", {"x"}, "................x", {{0, 16, 17}}},
    {"prefilter010", {"xy"}, "...............xy", {{0, 15, 17}}},
    {"prefilter020", {"xy", "xz"}, "..x..x..x...............................xz", {{1, 40, 42}}},
    {"prefilter030", {"ab", "cd"}, "........................................ab.......cd", {{0, 40, 42}, {1, 49, 51}}},
    {"prefilter040",
     {"ab", "cd", "ef"},
     "ef..............................c.....................ab",
     {{2, 0, 2}, {0, 54, 56}}},
    {"prefilter050",
     {"ab", "cd", "ef", "gh", "ij"},
     "--------------------------------------------------gh----ij",
     {{3, 50, 52}, {4, 56, 58}}},
    {"prefilter060", {"a", "b", "c", "d"}, "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzd", {{3, 29, 30}}},
    {"prefilter070", {"x"}, "", {}},
    {"prefilter080", {"x"}, "x", {{0, 0, 1}}},
    {"prefilter090", {"xyz"}, "................................xy", {}},
    // Every return to the start state lands on a candidate: the scan turns
    // itself off part way through.
    {"prefilter100",
     {"ab"},
     "acacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacacab",
     {{0, 80, 82}}},
    {"prefilter110",
     {"ab", "cd", "ef", "gh"},
     "axcxexgxaxcxexgxaxcxexgxaxcxexgxaxcxexgxaxcxexgxaxcxexgxaxcxexgxaxcxexgxgh",
     {{3, 72, 74}}},
};

// Long patterns (deeper than the 255 levels a trie state records).
const std::vector<Case> kLong = {
    {"long000", {std::string(300, 'a')}, std::string(601, 'a'), {{0, 0, 300}, {0, 300, 600}}},
    {"long010",
     {std::string(300, 'a'), std::string(299, 'a') + "b", "ab"},
     std::string(299, 'a') + "b" + std::string(10, 'a') + "b",
     {{1, 0, 300}, {2, 309, 311}}},
};

TEST(Matcher, LeftmostLongestTable) { run_cases(kLeftmostLongest); }
TEST(Matcher, DuplicatesTable) { run_cases(kDuplicates); }
TEST(Matcher, RepeatsTable) { run_cases(kRepeats); }
TEST(Matcher, EmptyTable) { run_cases(kEmpty); }
TEST(Matcher, Utf8Table) { run_cases(kUtf8); }
TEST(Matcher, PrefilterTable) { run_cases(kPrefilter); }
TEST(Matcher, LongTable) { run_cases(kLong); }

TEST(Matcher, EveryByteStartsAPattern) {
  // 256 distinct first bytes: no prefilter at all.
  std::vector<std::string> patterns;
  for (int b = 0; b < 256; ++b) patterns.push_back(std::string(1, static_cast<char>(b)) + "!");
  std::string haystack;
  for (int b = 255; b >= 0; --b) haystack += std::string(1, static_cast<char>(b)) + "!";
  for (MatcherKind kind : kKinds) {
    auto m = Matcher::build(patterns, kind);
    ASSERT_TRUE(m.ok());
    std::vector<Match> got = all_matches(*m.value(), haystack);
    ASSERT_TRUE(got.size() == 256);
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].pattern, static_cast<uint32_t>(255 - i));
      EXPECT_EQ(got[i].start, 2 * i);
    }
  }
}

TEST(Matcher, FindFromOffset) {
  auto m = Matcher::build({"ab", "abc", "bc"});
  ASSERT_TRUE(m.ok());
  Match x{};
  ASSERT_TRUE(m.value()->find("abc abc", 0, &x));
  EXPECT_EQ(show({x}), "(1,0,3)");
  // Starting inside a match finds what begins at or after the offset.
  ASSERT_TRUE(m.value()->find("abc abc", 1, &x));
  EXPECT_EQ(show({x}), "(2,1,3)");
  ASSERT_TRUE(m.value()->find("abc abc", 3, &x));
  EXPECT_EQ(show({x}), "(1,4,7)");
  EXPECT_FALSE(m.value()->find("abc abc", 7, &x));
}

TEST(Matcher, KindAndMemory) {
  auto small = Matcher::build({"ab", "cd"});
  ASSERT_TRUE(small.ok());
  EXPECT_TRUE(small.value()->kind() == MatcherKind::Dense);
  EXPECT_EQ(small.value()->pattern_count(), size_t{2});
  EXPECT_TRUE(small.value()->memory_usage() > 0);

  // 4,000 distinct 8-byte patterns over 16 letters: far beyond the dense budget.
  std::vector<std::string> big;
  uint64_t x = 12345;
  for (int i = 0; i < 4000; ++i) {
    std::string p;
    for (int j = 0; j < 8; ++j) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      p += static_cast<char>('a' + (x >> 60));
    }
    big.push_back(p);
  }
  auto autok = Matcher::build(big);
  auto dense = Matcher::build(big, MatcherKind::Dense);
  auto compact = Matcher::build(big, MatcherKind::Compact);
  ASSERT_TRUE(autok.ok() && dense.ok() && compact.ok());
  EXPECT_TRUE(autok.value()->kind() == MatcherKind::Compact);
  EXPECT_TRUE(dense.value()->kind() == MatcherKind::Dense);
  EXPECT_TRUE(compact.value()->kind() == MatcherKind::Compact);
  EXPECT_TRUE(compact.value()->memory_usage() < dense.value()->memory_usage());
  // The dense table alone holds one 32-bit entry per state and class.
  EXPECT_TRUE(dense.value()->memory_usage() > 20000 * 16 * 4);
  std::string hay;
  for (int i = 0; i < 400; i += 7) hay += big[i] + "xy" + big[i + 1].substr(3);
  EXPECT_EQ(show(all_matches(*dense.value(), hay)), show(all_matches(*compact.value(), hay)));
  EXPECT_TRUE(!all_matches(*compact.value(), hay).empty());
}

// --- Internals ---------------------------------------------------------------

namespace mi = vedra::matcher_internal;

TEST(ByteClasses, UsedBytesAreSingletons) {
  std::array<bool, 256> used{};
  used['a'] = used['c'] = used[0xff] = true;
  const mi::ByteClasses c = mi::ByteClasses::from_used(used);
  EXPECT_EQ(c.count(), 4u);
  EXPECT_EQ(static_cast<int>(c.get('a')), 1);
  EXPECT_EQ(static_cast<int>(c.get('c')), 2);
  EXPECT_EQ(static_cast<int>(c.get(0xff)), 3);
  EXPECT_EQ(static_cast<int>(c.get('b')), 0);
  EXPECT_EQ(static_cast<int>(c.get(0)), 0);
  used.fill(true);
  const mi::ByteClasses all = mi::ByteClasses::from_used(used);
  EXPECT_EQ(all.count(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(static_cast<int>(all.get(static_cast<uint8_t>(b))), b);
}

// Reads the trie state of `text`, or 0 when it is not a pattern prefix.
uint32_t state_of(const mi::Trie& t, std::string_view text) {
  uint32_t s = mi::kStart;
  for (unsigned char b : text) {
    s = t.child(s, t.classes().get(b));
    if (s == 0) return 0;
  }
  return s;
}

TEST(MatcherTrie, LeftmostFailureLinks) {
  const std::vector<std::string_view> texts = {"abcd", "b", "cd", "b"};
  auto built = mi::Trie::build(texts, 1000);
  ASSERT_TRUE(built.ok());
  const mi::Trie& t = built.value();
  EXPECT_EQ(t.num_states(), 2u + 7u);  // dead, start, a ab abc abcd b c cd
  const uint32_t ab = state_of(t, "ab"), abc = state_of(t, "abc"), b = state_of(t, "b");
  ASSERT_TRUE(ab != 0 && abc != 0 && b != 0);
  // [ab] fails to [b], which ends a pattern and so fails to dead; [abc]
  // would fail past [b] to [c] and therefore fails to dead as well.
  EXPECT_EQ(t.fail(ab), b);
  EXPECT_EQ(t.fail(b), mi::kDead);
  EXPECT_EQ(t.fail(abc), mi::kDead);
  EXPECT_EQ(t.fail(state_of(t, "a")), mi::kStart);
  EXPECT_EQ(t.fail(state_of(t, "c")), mi::kStart);
  // Reported matches: own pattern (lowest of duplicates), else inherited.
  EXPECT_EQ(t.reported_pattern(b), 1u);
  EXPECT_EQ(t.reported_pattern(ab), 1u);
  EXPECT_EQ(t.reported_pattern(abc), mi::kNoPattern);
  EXPECT_EQ(t.reported_pattern(state_of(t, "abcd")), 0u);
  // Breadth-first order: every state after its failure state.
  std::vector<size_t> pos(t.num_states(), 0);
  for (size_t i = 0; i < t.bfs_order().size(); ++i) pos[t.bfs_order()[i]] = i;
  EXPECT_EQ(t.bfs_order().size(), static_cast<size_t>(t.num_states() - 1));
  for (uint32_t s : t.bfs_order()) {
    if (s != mi::kStart && t.fail(s) != mi::kDead) EXPECT_TRUE(pos[t.fail(s)] < pos[s]);
  }
}

TEST(MatcherTrie, ChildrenSortedAndFound) {
  std::vector<std::string> ps;
  for (int b = 255; b >= 1; b -= 3) ps.push_back(std::string("x") + static_cast<char>(b));
  const std::vector<std::string_view> views(ps.begin(), ps.end());
  auto built = mi::Trie::build(views, 1000);
  ASSERT_TRUE(built.ok());
  const mi::Trie& t = built.value();
  const uint32_t x = state_of(t, "x");
  EXPECT_EQ(t.num_children(x), static_cast<uint32_t>(ps.size()));
  uint32_t last = 0;
  bool sorted = true;
  t.for_each_child(x, [&](uint32_t c, uint32_t) {
    sorted = sorted && c > last;
    last = c;
  });
  EXPECT_TRUE(sorted);
  for (size_t i = 0; i < ps.size(); ++i) EXPECT_EQ(t.reported_pattern(state_of(t, ps[i])), static_cast<uint32_t>(i));
  EXPECT_EQ(state_of(t, "x\x02"), 0u);
}

// The sort against std::sort of (text, number): buckets of the first two
// bytes with one-byte texts and NUL second bytes among them, buckets big
// enough for the radix passes, ties past the 16-byte key; over views and
// over the packed form the engine's pattern list hands over.
TEST(PatternSort, OrdersByTextThenNumber) {
  vedra_testing::Rng rng(77);
  const std::string alphabet("\0ab\xe4", 4);
  for (size_t count : {0, 1, 40, 3000}) {
    std::vector<std::string> texts;
    for (size_t i = 0; i < count; ++i) {
      std::string t(rng.below(4) == 0 ? 18 + rng.below(4) : rng.below(5), 'a');
      for (char& c : t) c = alphabet[rng.below(rng.below(3) == 0 ? 4 : 2)];
      texts.push_back(t);
    }
    std::vector<std::pair<std::string, uint32_t>> want;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (!texts[i].empty()) want.emplace_back(texts[i], static_cast<uint32_t>(i));
    }
    std::sort(want.begin(), want.end());
    vedra::PatternList packed;
    for (const std::string& t : texts) packed.push_back(t);
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    for (const vedra::PatternSpan span : {vedra::PatternSpan(views), packed.span()}) {
      std::vector<std::pair<std::string, uint32_t>> got;
      vedra::matcher_internal::BuildArray<vedra::matcher_internal::SortedPattern> keys;
      vedra::matcher_internal::sort_patterns(span, keys);
      for (const auto& sp : keys) got.emplace_back(std::string(sp.text()), sp.number);
      EXPECT_EQ(got == want, true);
    }
  }
}

TEST(Prefilter, KindByFirstByteCount) {
  std::array<bool, 256> first{};
  EXPECT_FALSE(mi::Prefilter::from_first_bytes(first).active());
  first['a'] = true;
  EXPECT_EQ(mi::Prefilter::from_first_bytes(first).scan_bytes(), 1);
  first['b'] = true;
  EXPECT_EQ(mi::Prefilter::from_first_bytes(first).scan_bytes(), 2);
  first['c'] = true;
  EXPECT_EQ(mi::Prefilter::from_first_bytes(first).scan_bytes(), 3);
  first['d'] = true;
  EXPECT_EQ(mi::Prefilter::from_first_bytes(first).scan_bytes(), 0);
  EXPECT_TRUE(mi::Prefilter::from_first_bytes(first).active());
  first.fill(true);
  EXPECT_FALSE(mi::Prefilter::from_first_bytes(first).active());
}

TEST(Prefilter, RunFilterWhenEveryPatternIsLongEnough) {
  const std::vector<std::string_view> ps = {"abcdefgh", "bcdefghijk", "cdefghij", "defghijk"};
  std::array<bool, 256> first{};
  for (std::string_view p : ps) first[static_cast<unsigned char>(p[0])] = true;
  EXPECT_EQ(mi::Prefilter::build(ps, first).run_window(), 8u);
  std::vector<std::string_view> with_short = ps;
  with_short.push_back("efgh");  // 4 bytes
  first['e'] = true;
  EXPECT_EQ(mi::Prefilter::build(with_short, first).run_window(), 4u);
  with_short.push_back("fgh");  // 3 bytes
  first['f'] = true;
  EXPECT_EQ(mi::Prefilter::build(with_short, first).run_window(), 0u);
  EXPECT_EQ(mi::Prefilter::build(with_short, first).scan_bytes(), 0);  // the table
  // Runs stop at 64 bytes; the shortest pattern still bounds the candidates.
  const std::string a300(300, 'a'), b100(100, 'b'), c25 = "cdefghijklmnopqrstuvwxyza", d70(70, 'd');
  const std::vector<std::string_view> long_ones = {a300, b100, c25, d70};
  std::array<bool, 256> firsts{};
  for (char c : {'a', 'b', 'c', 'd'}) firsts[static_cast<unsigned char>(c)] = true;
  EXPECT_EQ(mi::Prefilter::build(long_ones, firsts).run_window(), 25u);
  std::string c75;
  for (int i = 0; i < 3; ++i) c75.append(c25);
  const std::vector<std::string_view> longer = {a300, b100, c75, d70};
  EXPECT_EQ(mi::Prefilter::build(longer, firsts).run_window(), 64u);
  const std::vector<std::string_view> two_firsts = {"abcdefgh", "bcdefghi", ""};
  std::array<bool, 256> ab{};
  ab['a'] = ab['b'] = true;
  EXPECT_EQ(mi::Prefilter::build(two_firsts, ab).scan_bytes(), 2);  // the byte scan
}

TEST(ByteRanges, CoverClosesTheSmallestGaps) {
  std::array<bool, 256> set{};
  EXPECT_EQ(mi::ByteRanges::cover(set).size(), 0);
  for (int b : {0, 1, 2, 10, 20, 21, 40, 200, 255}) set[b] = true;
  const mi::ByteRanges r = mi::ByteRanges::cover(set);
  // Runs 0-2, 10, 20-21, 40, 200, 255: the gaps 2-10 and 10-20 close.
  for (int b = 0; b < 256; ++b) {
    const bool want = b <= 21 || b == 40 || b == 200 || b == 255;
    EXPECT_EQ(r.contains(static_cast<uint8_t>(b)), want);
  }
  EXPECT_EQ(r.size(), 25);
  std::string bytes;
  for (int b = 0; b < 64; ++b) bytes += static_cast<char>(b * 4 + 3);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  uint64_t want = 0;
  for (int i = 0; i < 64; ++i) want |= r.contains(p[i]) ? uint64_t{1} << i : 0;
  EXPECT_EQ(r.mask64(p), want);
  EXPECT_EQ(r.mask_tail(p, 11), want & 0x7FF);
  EXPECT_EQ(r.mask_tail(p, 0), uint64_t{0});
}

// Every prefilter shape returns no position past the first pattern
// occurrence at or after its start, and the haystack's end when fewer bytes
// than the shortest pattern remain. Patterns of 4 to 80 bytes (runs cut at
// 64), bytes spread so that their cover has to close gaps, NUL and 0xFF
// bytes, haystacks that end inside a pattern and that span several blocks.
TEST(Prefilter, NeverSkipsAnOccurrence) {
  Rng rng(101);
  const std::string bytes = std::string("aceg\0mz\xff", 8);
  std::string hay_bytes = bytes;
  hay_bytes.append("bdf .\x80");
  for (int round = 0; round < 400; ++round) {
    std::vector<std::string> ps;
    const size_t min_len = 1 + rng.below(12);
    const size_t firsts = 1 + rng.below(6);
    for (size_t i = 0, n = 1 + rng.below(30); i < n; ++i) {
      ps.push_back(bytes[i % firsts] + draw(rng, bytes, min_len - 1 + rng.below(rng.below(4) == 0 ? 70 : 6)));
    }
    const std::vector<std::string_view> views(ps.begin(), ps.end());
    std::array<bool, 256> first{};
    for (std::string_view p : views) first[static_cast<unsigned char>(p[0])] = true;
    const mi::Prefilter pf = mi::Prefilter::build(views, first);
    size_t shortest = SIZE_MAX;
    for (std::string_view p : views) shortest = std::min(shortest, p.size());
    if (pf.scan_bytes() == 0) ASSERT_TRUE(pf.run_window() == (shortest >= 4 ? std::min<size_t>(shortest, 64) : 0));
    std::string h;
    const size_t len = rng.below(300);
    while (h.size() < len) {
      h += rng.below(3) == 0 ? ps[rng.below(ps.size())] : draw(rng, hay_bytes, 1 + rng.below(9));
    }
    if (rng.below(2) == 0) h += ps[rng.below(ps.size())].substr(0, 1 + rng.below(4));  // ends inside a pattern
    for (size_t at = 0; at <= h.size(); ++at) {
      size_t want = h.size();
      for (size_t i = at; i < h.size() && want == h.size(); ++i) {
        for (std::string_view p : views) {
          if (std::string_view(h).substr(i, p.size()) == p) want = i;
        }
      }
      mi::PrefilterState st;
      const size_t got = pf.next_candidate(reinterpret_cast<const uint8_t*>(h.data()), at, h.size(), &st);
      EXPECT_TRUE(got >= at && got <= want);
      if (pf.run_window() != 0 && h.size() - at < shortest) EXPECT_EQ(got, h.size());
    }
  }
}

TEST(Prefilter, NextCandidateMatchesNaiveScan) {
  Rng rng(99);
  for (int round = 0; round < 400; ++round) {
    std::array<bool, 256> first{};
    const size_t k = 1 + rng.below(6);
    for (size_t i = 0; i < k; ++i) first['a' + rng.below(8)] = true;
    const mi::Prefilter pf = mi::Prefilter::from_first_bytes(first);
    std::string h = draw(rng, "abcdefghxyz", rng.below(70));
    for (size_t at = 0; at <= h.size(); ++at) {
      size_t want = at;
      while (want < h.size() && !first[static_cast<unsigned char>(h[want])]) ++want;
      mi::PrefilterState st;
      const size_t got = pf.next_candidate(reinterpret_cast<const uint8_t*>(h.data()), at, h.size(), &st);
      EXPECT_EQ(got, want);
    }
  }
}

TEST(Prefilter, TurnsInertWhenItSkipsLittle) {
  std::array<bool, 256> first{};
  first['a'] = true;
  const mi::Prefilter pf = mi::Prefilter::from_first_bytes(first);
  const std::string dense_candidates(100, 'a');
  const std::string sparse_candidates = std::string(100, '.') + "a";
  mi::PrefilterState busy, useful;
  for (int i = 0; i < 100 && !busy.inert; ++i) {
    pf.next_candidate(reinterpret_cast<const uint8_t*>(dense_candidates.data()), i, 100, &busy);
  }
  EXPECT_TRUE(busy.inert);
  for (int i = 0; i < 100; ++i) {
    pf.next_candidate(reinterpret_cast<const uint8_t*>(sparse_candidates.data()), 0, 101, &useful);
  }
  EXPECT_FALSE(useful.inert);
}

// States with many children beyond the dense-row budget stay sparse and are
// searched by block scans of their class lists.
TEST(MatcherCompact, WideSparseStatesBeyondDenseBudget) {
  Rng rng(5);
  std::vector<std::string> ps;
  for (int i = 0; i < 1500; ++i) {
    const std::string prefix = {static_cast<char>(1 + i % 200), static_cast<char>(1 + i / 200), '~'};
    for (int j = 0; j < 40; ++j) ps.push_back(prefix + static_cast<char>(rng.below(256)));
  }
  const std::vector<std::string_view> views(ps.begin(), ps.end());
  auto trie = mi::Trie::build(views, 1u << 30);
  ASSERT_TRUE(trie.ok());
  auto nfa = mi::CompactNfa::build(trie.value(), UINT32_MAX);
  ASSERT_TRUE(nfa.ok());
  size_t wide = 0;
  for (uint32_t s : trie.value().bfs_order()) wide += trie.value().num_children(s) >= 16 ? 1 : 0;
  EXPECT_TRUE(nfa.value().dense_states() < wide);  // the budget ran out
  auto m = Matcher::build(ps, MatcherKind::Compact);
  ASSERT_TRUE(m.ok());
  for (int k = 0; k < 30; ++k) {
    std::string hay;
    while (hay.size() < 120) {
      hay += rng.below(2) ? ps[rng.below(ps.size())] : std::string(1, static_cast<char>(rng.below(256)));
    }
    EXPECT_EQ(show(all_matches(*m.value(), hay)), show(oracle(ps, hay)));
  }
}

// --- Build limits ------------------------------------------------------------

TEST(Matcher, PatternIdentifierOverflow) {
  MatcherLimits limits;
  limits.max_patterns = 2;
  EXPECT_TRUE(Matcher::build({"a", "b"}, MatcherKind::Auto, limits).ok());
  auto r = Matcher::build({"a", "b", "c"}, MatcherKind::Auto, limits);
  ASSERT_TRUE(!r.ok());
  EXPECT_EQ(r.status().message(),
            "pattern identifier overflow: cannot number 3 patterns, at most 2 patterns can be compiled into "
            "one matcher");
}

TEST(Matcher, PatternTooLong) {
  MatcherLimits limits;
  limits.max_pattern_bytes = 3;
  EXPECT_TRUE(Matcher::build({"abc"}, MatcherKind::Auto, limits).ok());
  auto r = Matcher::build({"abc", "abcd"}, MatcherKind::Compact, limits);
  ASSERT_TRUE(!r.ok());
  EXPECT_EQ(r.status().message(), "pattern too long: pattern 1 is 4 bytes long, at most 3 bytes are allowed");
}

TEST(Matcher, StateIdentifierOverflow) {
  const std::string prefix = "state identifier overflow: failed to create automaton state, too many states";
  MatcherLimits limits;
  limits.max_states = 5;  // dead + start + 3 trie states
  for (MatcherKind kind : kKinds) {
    EXPECT_TRUE(Matcher::build({"abc"}, kind, limits).ok());
    EXPECT_TRUE(Matcher::build({"ab", "abc", "abc"}, kind, limits).ok());  // shared prefixes count once
    auto r = Matcher::build({"abc", "abd"}, kind, limits);
    ASSERT_TRUE(!r.ok());
    EXPECT_EQ(r.status().message(),
              prefix + " (the automaton for these patterns needs more than 5 states; use fewer or shorter "
                       "patterns)");
    EXPECT_TRUE(!Matcher::build({"abcd"}, kind, limits).ok());
  }
}

TEST(Matcher, TransitionTableOverflow) {
  const std::string prefix = "state identifier overflow: failed to create automaton state, too many states";
  MatcherLimits limits;
  limits.max_table_entries = 64;
  // "abc": 5 states x 4 classes = 20 dense entries; the compact form is smaller.
  EXPECT_TRUE(Matcher::build({"abc"}, MatcherKind::Dense, limits).ok());
  EXPECT_TRUE(Matcher::build({"abc"}, MatcherKind::Compact, limits).ok());
  std::vector<std::string> many;
  for (char c = 'a'; c <= 'z'; ++c) many.push_back(std::string(1, c) + "xyz");
  for (MatcherKind kind : {MatcherKind::Dense, MatcherKind::Compact}) {
    auto r = Matcher::build(many, kind, limits);
    ASSERT_TRUE(!r.ok());
    EXPECT_EQ(r.status().message().substr(0, prefix.size()), prefix);
  }
}

TEST(Matcher, FailedBuildLeavesCallerMatcherUsable) {
  auto good = Matcher::build({"ab"});
  ASSERT_TRUE(good.ok());
  MatcherLimits limits;
  limits.max_patterns = 0;
  EXPECT_TRUE(!Matcher::build({"cd"}, MatcherKind::Auto, limits).ok());
  EXPECT_EQ(show(all_matches(*good.value(), "xab")), "(0,1,3)");
}

// --- Property test against a brute-force oracle ------------------------------

struct Shape {
  const char* name;
  std::string first_bytes;  // pattern first bytes are drawn from here
  std::string rest_bytes;   // other pattern bytes
  std::string hay_bytes;    // haystack bytes
  size_t max_patterns;
  size_t max_len;
  size_t max_hay;
  size_t min_len = 0;  // shorter non-empty patterns are padded with rest bytes
};


// Patterns that overlap on purpose: fresh strings, prefixes and suffixes of
// earlier patterns, extensions of them, and exact duplicates.
std::vector<std::string> draw_patterns(Rng& rng, const Shape& sh) {
  std::vector<std::string> ps;
  const size_t count = 1 + rng.below(sh.max_patterns);
  for (size_t i = 0; i < count; ++i) {
    std::string p;
    const std::string& other = ps.empty() ? p : ps[rng.below(ps.size())];
    const size_t kind = other.empty() ? 0 : rng.below(6);
    switch (kind) {
      case 1:  // prefix
        p = other.substr(0, 1 + rng.below(other.size()));
        break;
      case 2: {  // suffix, re-anchored on an allowed first byte
        p = other.substr(rng.below(other.size()));
        p[0] = sh.first_bytes[rng.below(sh.first_bytes.size())];
        break;
      }
      case 3:  // extension
        p = other + draw(rng, sh.rest_bytes, 1 + rng.below(2));
        break;
      case 4:  // duplicate
        p = other;
        break;
      default:
        p = draw(rng, sh.first_bytes, 1) + draw(rng, sh.rest_bytes, rng.below(sh.max_len));
        break;
    }
    if (p.size() < sh.min_len) p += draw(rng, sh.rest_bytes, sh.min_len - p.size());
    if (rng.below(40) == 0) p.clear();  // the odd empty pattern
    ps.push_back(p);
  }
  return ps;
}

// Haystacks mix random bytes with planted copies and pieces of patterns.
std::string draw_haystack(Rng& rng, const Shape& sh, const std::vector<std::string>& ps) {
  const size_t len = rng.below(sh.max_hay + 1);
  std::string h;
  while (h.size() < len) {
    if (rng.below(3) == 0) {
      const std::string& p = ps[rng.below(ps.size())];
      h += p.substr(0, p.empty() ? 0 : 1 + rng.below(p.size()));
    } else {
      h += draw(rng, sh.hay_bytes, 1 + rng.below(6));
    }
  }
  h.resize(len);
  return h;
}

// The trie of `ps` against its definition: the preorder visits every state
// but dead and start once, in ascending order of the state texts; a state
// that reports a match reports a suffix of its text with that suffix's
// length, and a state that spells patterns reports the lowest-numbered one.
// Returns what is wrong, or "".
std::string trie_fault(const std::vector<std::string>& ps) {
  const std::vector<std::string_view> views(ps.begin(), ps.end());
  auto built = mi::Trie::build(views, 1u << 20);
  if (!built.ok()) return "build failed";
  const mi::Trie& t = built.value();
  std::array<char, 256> byte_of_class{};
  for (int b = 0; b < 256; ++b) byte_of_class[t.classes().get(static_cast<uint8_t>(b))] = static_cast<char>(b);
  std::vector<std::string> text(t.num_states());
  for (uint32_t s : t.bfs_order()) {
    t.for_each_child(s, [&](uint32_t c, uint32_t child) { text[child] = text[s] + byte_of_class[c]; });
  }
  std::vector<uint32_t> order;
  t.for_each_preorder(0, [&](uint32_t s, int) {
    order.push_back(s);
    return 0;
  });
  if (order.size() + 2 != t.num_states()) return "preorder visits " + std::to_string(order.size()) + " states";
  for (size_t i = 1; i < order.size(); ++i) {
    if (!(text[order[i - 1]] < text[order[i]])) return "preorder puts '" + text[order[i]] + "' late";
  }
  for (uint32_t s : t.bfs_order()) {
    const uint32_t p = t.reported_pattern(s);
    size_t own = ps.size();
    for (size_t i = 0; i < ps.size() && own == ps.size(); ++i) own = ps[i] == text[s] && s != mi::kStart ? i : own;
    if (own != ps.size() && p != own) return "'" + text[s] + "' does not report its own pattern";
    if (p == mi::kNoPattern) continue;
    const bool suffix = p < ps.size() && ps[p].size() <= text[s].size() &&
                        text[s].compare(text[s].size() - ps[p].size(), ps[p].size(), ps[p]) == 0;
    if (!suffix || t.reported_length(s) != ps[p].size()) return "'" + text[s] + "' reports a wrong match";
  }
  return "";
}

void check_shape(const Shape& sh, uint64_t seed, int rounds) {
  Rng rng(seed);
  int failures = 0;
  for (int round = 0; round < rounds && failures < 5; ++round) {
    const std::vector<std::string> ps = draw_patterns(rng, sh);
    const std::string fault = trie_fault(ps);
    if (!fault.empty()) ++failures;
    EXPECT_EQ(std::string(sh.name) + " trie: " + fault, std::string(sh.name) + " trie: ");
    auto dense = Matcher::build(ps, MatcherKind::Dense);
    auto compact = Matcher::build(ps, MatcherKind::Compact);
    ASSERT_TRUE(dense.ok() && compact.ok());
    for (int k = 0; k < 4; ++k) {
      const std::string hay = draw_haystack(rng, sh, ps);
      const std::string want = show(oracle(ps, hay));
      const std::string got_dense = show(all_matches(*dense.value(), hay));
      const std::string got_compact = show(all_matches(*compact.value(), hay));
      if (got_dense != want || got_compact != want) {
        ++failures;
        std::string desc = std::string(sh.name) + " round " + std::to_string(round) + " patterns:";
        for (const std::string& p : ps) desc += " '" + p + "'";
        desc += " haystack '" + hay + "'";
        EXPECT_EQ(desc + " dense " + got_dense, desc + " dense " + want);
        EXPECT_EQ(desc + " compact " + got_compact, desc + " compact " + want);
      }
    }
  }
}

const Shape kShapes[] = {
    // Small alphabets: heavy overlap between patterns and haystack.
    {"alpha2", "ab", "ab", "ab", 6, 5, 24},
    {"alpha3", "abc", "abc", "abc", 8, 5, 30},
    {"alpha4", "abcd", "abcd", "abcd", 10, 6, 40},
    // Prefilter with 1, 2 and 3 distinct first bytes, in haystacks long
    // enough for block scans and for the scan to switch itself off.
    {"first1", "a", "ab", "abxyz", 6, 5, 160},
    {"first2", "ab", "abc", "abcxyz", 6, 5, 160},
    {"first3", "abc", "abcd", "abcdxyz", 8, 5, 160},
    {"first1dense", "a", "ab", "ab", 4, 3, 300},
    // Many distinct first bytes: the start-byte table.
    {"firstmany", "abcdefgh", "abcdefgh", "abcdefghxyz", 12, 5, 80},
    // A wide alphabet: states with many children (block scans of class
    // lists, promoted trie rows, dense rows deep in the compact automaton).
    {"wide", "ab", "abcdefghijklmnopqrstuvwxyz0123456789", "abcdefghijklmnopqrstuvwxyz0123456789", 80, 4, 60},
    // Long patterns sharing long prefixes, and NUL bytes: the build sorts
    // and inserts by a 16-byte key, padded with zeros, before the text.
    {"long_nul", "a", std::string("ab\0", 3), std::string("ab\0c", 4), 12, 30, 120},
    // Multi-byte characters and bytes that occur in no pattern.
    {"utf8", "\xe4\xe5g", "\xe4\xe5\xb8\xadgz", "\xe4\xe5\xb8\xad\x80gz .", 10, 7, 60},
    // Every pattern at least 4 (6, 8, 9, 12, 66) bytes long: the run filter,
    // with runs broken by NUL bytes and by bytes of no pattern, runs past the
    // haystack's end and across its 64-byte blocks, runs cut at 64 bytes,
    // 4- and 8-byte beginnings, byte sets whose four ranges must close gaps
    // (bytes in the gaps occur in the haystack); one pattern alone; pieces
    // shared by many patterns.
    {"window8", "abcdefgh", "abcdefgh", "abcdefgh xyz", 8, 10, 200, 8},
    {"window_nul", std::string("ab\0c", 4), std::string("ab\0c", 4), std::string("ab\0c .", 6), 8, 6, 160, 9},
    {"window_one", "abcdefgh", "abcdefgh", "abcdefgh.", 1, 6, 120, 12},
    {"window_many", "abcd", "abc", "abc ", 60, 8, 200, 8},
    {"runs4", "abcd", "abcdxyz", "abcdxyz .-", 10, 5, 200, 4},
    {"runs_gaps", "\x01aM\xf0", "\x01aMz\x7f\xf0", "\x01aMz\x7f\xf0 bN\x02\xf1", 8, 6, 260, 6},
    {"runs_long", "ab", "abc", "abc .", 6, 80, 400, 66},
};

TEST(Matcher, PropertyAgainstOracle) {
  uint64_t seed = 20240601;
  for (const Shape& sh : kShapes) check_shape(sh, seed++, 700);
}

// Larger sets: Auto, Dense and Compact agree with the oracle on CJK-like
// names, ASCII codes and pinyin pieces.
TEST(Matcher, PropertyNamesCodesPinyin) {
  const std::vector<std::string> chars = {"中", "国", "银", "行", "贵", "州", "茅", "台", "酒", "华", "夏", "科", "技"};
  Rng rng(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> ps;
    const size_t n = 50 + rng.below(400);
    for (size_t i = 0; i < n; ++i) {
      std::string p;
      switch (rng.below(3)) {
        case 0:
          for (size_t j = 0, len = 1 + rng.below(5); j < len; ++j) p += chars[rng.below(chars.size())];
          break;
        case 1:
          p = draw(rng, "0123456789", 6) + (rng.below(2) ? ".SH" : ".SZ");
          break;
        default:
          p = draw(rng, "gzmthyxk", 2 + rng.below(4));
          break;
      }
      ps.push_back(p);
    }
    std::vector<std::unique_ptr<Matcher>> ms;
    for (MatcherKind kind : kKinds) {
      auto m = Matcher::build(ps, kind);
      ASSERT_TRUE(m.ok());
      ms.push_back(std::move(m.value()));
    }
    for (int k = 0; k < 10; ++k) {
      std::string hay;
      while (hay.size() < 300) {
        switch (rng.below(4)) {
          case 0:
            hay += ps[rng.below(ps.size())];
            break;
          case 1:
            hay += chars[rng.below(chars.size())];
            break;
          case 2:
            hay += "，上涨";
            break;
          default:
            hay += draw(rng, "0123456789.SHZgzmt ", 1 + rng.below(4));
            break;
        }
      }
      const std::string want = show(oracle(ps, hay));
      for (const auto& m : ms) EXPECT_EQ(show(all_matches(*m, hay)), want);
    }
  }
}

}  // namespace
