// join_field_values against a naive model, on both sides of the size where
// the join switches from scanning to hashing; and the field map's length limit.
#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "field_pairs.h"
#include "store/engine_state.h"
#include "testing.h"

using namespace vedra;

namespace {

// Fields in first-appearance order (empty values included), each with its
// distinct non-empty values in first-seen order; fields with none dropped.
std::vector<std::pair<std::string, std::string>> naive_join(const CollectedValues& c) {
  std::vector<std::pair<std::string, std::vector<std::string>>> groups;
  for (const auto& [field, value] : c) {
    auto g = std::find_if(groups.begin(), groups.end(), [&](const auto& x) { return x.first == field; });
    if (g == groups.end()) g = groups.insert(groups.end(), {field, {}});
    if (!value.empty() && std::find(g->second.begin(), g->second.end(), value) == g->second.end()) {
      g->second.push_back(value);
    }
  }
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [field, values] : groups) {
    if (values.empty()) continue;
    std::string joined;
    for (const std::string& v : values) joined += (joined.empty() ? "" : "|") + v;
    out.emplace_back(field, joined);
  }
  return out;
}

}  // namespace

TEST(FieldJoin, MatchesNaiveModelAcrossSizes) {
  std::mt19937 rng(20261208);
  const char* fields[] = {"", "f", "g", "a.b", "market"};
  const char* values[] = {"", "x", "y", "x|y", " x ", "\xe4\xb8\xad"};
  for (int round = 0; round < 400; ++round) {
    const size_t n = round % 80;  // the join scans up to 32 values, hashes above
    CollectedValues c;
    for (size_t i = 0; i < n; ++i) {
      // collect_field_value drops empty values; push directly to cover them.
      c.emplace_back(fields[rng() % 5], values[rng() % 6]);
    }
    FieldMap got;
    ASSERT_TRUE(join_field_values(c, got).ok());
    EXPECT_TRUE(vedra_testing::pairs_of(got) == naive_join(c));
    CollectedViews views;  // a field repeated next to itself as its very text
    for (size_t i = 0; i < n; ++i) {
      views.emplace_back(i > 0 && c[i - 1].first == c[i].first ? views[i - 1].first : c[i].first, c[i].second);
    }
    EXPECT_TRUE(join_field_values(views, got).ok() && vedra_testing::pairs_of(got) == naive_join(c));
  }
}

TEST(FieldJoin, ManyDistinctFieldsKeepOrder) {
  CollectedValues c;
  for (int i = 0; i < 5000; ++i) c.emplace_back("k" + std::to_string(i), std::to_string(i % 7));
  for (int i = 0; i < 5000; i += 2) c.emplace_back("k" + std::to_string(i), "extra");
  FieldMap got;
  ASSERT_TRUE(join_field_values(c, got).ok());
  EXPECT_TRUE(vedra_testing::pairs_of(got) == naive_join(c));
  EXPECT_EQ(got.size(), size_t{5000});
}

TEST(FieldJoin, LengthLimitNamesTheField) {
  EXPECT_TRUE(FieldMap::check_entry("f", FieldMap::kMaxText).ok());
  const Status st = FieldMap::check_entry("attributes.blob", size_t{1} << 32);
  ASSERT_TRUE(!st.ok());
  EXPECT_EQ(st.message(), std::string("value of field 'attributes.blob' too long: 4294967296 bytes, at most 4294967295"));
}
