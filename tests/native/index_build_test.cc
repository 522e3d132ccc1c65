// Posting of field values into the index (dotted prefixes, "|"-pieces, set
// semantics) and the registration of search patterns.
#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "index/index_build.h"
#include "state_probe.h"
#include "store/engine_state.h"
#include "test_rng.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::keys_of;
using vedra_testing::records_of;

namespace {

// Posts one (field, value) of record r; an empty value posts nothing and
// makes no posting map.
void post_value(FieldIndex& index, std::string_view field, std::string_view value, uint32_t r) {
  if (!value.empty()) post_value_to(field_postings(index, field), value, r);
}

}  // namespace

TEST(PostValue, Expansions) {
  struct Case {
    const char* value;
    std::set<std::string> keys;
  } cases[] = {
      {"x.y.z", {"x", "x.y", "x.y.z"}},
      {"p|q", {"p", "q"}},
      {" x . y | z ", {"x", "x.y", "z"}},
      {"x..y", {"x", "x.y"}},
      {".y", {".y"}},
      {"x.", {"x"}},
      {"..", {}},
      {"|", {}},
      {"  w  ", {"  w  "}},
      {"S.A. Corp", {"S", "S.A", "S.A.Corp"}},
      {"1.5", {"1", "1.5"}},
      {"a|\u3000b\u3000|", {"a", "b"}},
  };
  for (const Case& c : cases) {
    EngineState s;
    post_value(s.field_index, "f", c.value, 0);
    EXPECT_EQ(keys_of(s, "f"), c.keys);
    if (keys_of(s, "f") != c.keys) std::cerr << "  value: '" << c.value << "'\n";
    EXPECT_TRUE(find_field(s.field_index, "f") != nullptr);  // non-empty value creates the field
  }
  EngineState s;
  post_value(s.field_index, "f", "", 0);
  EXPECT_TRUE(find_field(s.field_index, "f") == nullptr);
}

TEST(PostValue, SetSemanticsAcrossPostingSizes) {
  EngineState s;
  for (uint32_t r = 0; r < 100; ++r) {
    post_value(s.field_index, "f", "k", r);
    post_value(s.field_index, "f", "k|k", r);
    if (r % 3 == 0) post_value(s.field_index, "g", "k", r);
  }
  const std::vector<uint32_t> all = records_of(s, "f", "k");
  EXPECT_EQ(all.size(), size_t{100});
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(records_of(s, "g", "k").size(), size_t{34});
  EXPECT_EQ(records_of(s, "g", "missing").size(), size_t{0});
}

TEST(RegisterPatterns, TrimmedNotDeduplicated) {
  EngineState s;
  register_patterns(s.pattern_texts, s.pattern_records, "A1", "A1", "", 0);
  register_patterns(s.pattern_texts, s.pattern_records, " X ", "", " ab | cd ||", 1);
  const std::vector<std::string> want = {"A1", "A1", "X", "ab", "cd"};
  const std::vector<std::string_view> got = s.pattern_texts.views();
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.end()), want);
  EXPECT_EQ(s.pattern_records, std::vector<uint32_t>({0, 0, 1, 1, 1}));
}

// Texts pushed past the size at which the list's arrays leave the heap for
// their own pages, with reserves and moves between: the same texts as a
// plain list of strings.
TEST(RegisterPatterns, LongListKeepsEveryText) {
  vedra_testing::Rng rng(7);
  PatternList list;
  std::vector<std::string> want;
  for (size_t i = 0; i < 200000; ++i) {
    if (rng.below(1000) == 0) list.reserve_more(rng.below(5000), rng.below(50000));
    if (rng.below(50000) == 0) list = PatternList(std::move(list));
    want.push_back(std::string(1 + rng.below(20), static_cast<char>('a' + i % 26)));
    list.push_back(want.back());
  }
  ASSERT_TRUE(list.size() == want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(list[i], want[i]);
}
