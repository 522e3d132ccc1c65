// The one-scan keys of a value: whenever they are given, they are exactly
// the keys of the general splitting, in the same order.
#include "index/prefix_keys.h"

#include <string>
#include <vector>

#include "index/value_keys.h"
#include "test_rng.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::Rng;

namespace {

std::vector<std::string> general_keys(std::string_view value) {
  std::vector<std::string> out;
  std::string acc;
  for_each_value_key(value, acc, [&](std::string_view key) { out.emplace_back(key); });
  return out;
}

// The keys find_prefix_keys() gives, or {"<general>"} when it declines.
std::vector<std::string> scanned_keys(std::string_view value) {
  PrefixKeys keys;
  if (!find_prefix_keys(value, keys)) return {"<general>"};
  std::vector<std::string> out;
  for (size_t i = 0; i < keys.count; ++i) out.emplace_back(keys.key(value, i));
  return out;
}

}  // namespace

TEST(PrefixKeys, TakesPlainValuesAndLeavesTheRestToTheGeneralSplitting) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"", {}},
      {"x", {"x"}},
      {"  w  ", {"  w  "}},  // no separator: the value itself, untrimmed
      {"004240.SZ", {"004240", "004240.SZ"}},
      {"Asia.China.Shandong.Qingdao", {"Asia", "Asia.China", "Asia.China.Shandong", "Asia.China.Shandong.Qingdao"}},
      {"\xe4\xb8\xad\xe6\x96\x87", {"\xe4\xb8\xad\xe6\x96\x87"}},
      {"a.b.c.d.e.f.g.h", {"a", "a.b", "a.b.c", "a.b.c.d", "a.b.c.d.e", "a.b.c.d.e.f", "a.b.c.d.e.f.g", "a.b.c.d.e.f.g.h"}},
      {"a.b.c.d.e.f.g.h.i", {"<general>"}},  // more keys than it holds
      {"p|q", {"<general>"}},
      {"x..y", {"<general>"}},
      {".y", {"<general>"}},
      {"x.", {"<general>"}},
      {"S.A. Corp", {"<general>"}},
      {"a.\xe4\xb8\xad", {"<general>"}},  // a sub-piece's end that trimming must look at
      {"0123456.89abcdef|", {"<general>"}},
  };
  for (const auto& [value, keys] : cases) {
    EXPECT_EQ(scanned_keys(value), keys);
    if (keys != std::vector<std::string>{"<general>"}) EXPECT_EQ(general_keys(value), keys);
  }
}

TEST(PrefixKeys, AgreeWithTheGeneralSplittingOnRandomValues) {
  static const char* const kParts[] = {"a", "bc", ".", ".", "|", " ", "\t", "1", "\xc2\xa0", "\xe3\x80\x80",
                                       "\xe4\xb8\xad", "Industry", "0123456789"};
  Rng rng(31);
  size_t scanned = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string value;
    for (size_t n = rng.below(12); n > 0; --n) value += kParts[rng.below(std::size(kParts))];
    const std::vector<std::string> got = scanned_keys(value);
    if (got == std::vector<std::string>{"<general>"}) continue;
    ++scanned;
    EXPECT_EQ(got, general_keys(value));
  }
  EXPECT_TRUE(scanned > 3000);
}
