// DictShape against a sorted copy of its keys, and DictShapeCache's bounds:
// what it keeps, what it refuses and what a third sequence of a pair evicts.
#include "store/dict_shape.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "store/json/json_writer.h"
#include "test_rng.h"
#include "testing.h"

using namespace vedra;

namespace {

// Members in key byte order, the last of each repeated text kept, as
// (position in `keys`, "," unless first + quoted key + ":").
std::vector<std::pair<size_t, std::string>> naive_shape(const std::vector<std::string_view>& keys) {
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
  std::vector<std::pair<size_t, std::string>> out;
  for (size_t j = 0; j < order.size(); ++j) {
    if (j + 1 < order.size() && keys[order[j + 1]] == keys[order[j]]) continue;
    std::string prefix = out.empty() ? "" : ",";
    write_json_string(keys[order[j]], prefix);
    out.emplace_back(order[j], prefix + ":");
  }
  return out;
}

std::vector<std::pair<size_t, std::string>> members_of(const DictShape& s) {
  std::vector<std::pair<size_t, std::string>> out;
  for (size_t j = 0; j < s.members(); ++j) out.emplace_back(s.source(j), std::string(s.prefix(j)));
  return out;
}

}  // namespace

TEST(DictShape, MatchesSortedCopyOnRandomKeySequences) {
  const std::string pool[] = {"", "a", "ab", "b", "B", std::string("a\0", 2), "\"q\"", "\xe4\xb8\xad", "a\x1f"};
  vedra_testing::Rng rng(20261209);
  DictShape shape;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string_view> keys(rng.below(8));
    for (auto& k : keys) k = pool[rng.below(9)];
    shape.build(keys.data(), keys.size());
    EXPECT_TRUE(members_of(shape) == naive_shape(keys));
    EXPECT_TRUE(shape.matches(keys.data(), keys.size()));
    if (!keys.empty()) {
      std::vector<std::string_view> other = keys;
      other.back() = other.back() == pool[1] ? pool[2] : pool[1];
      EXPECT_TRUE(!shape.matches(other.data(), other.size()));
      EXPECT_TRUE(!shape.matches(keys.data(), keys.size() - 1));
    }
  }
}

TEST(DictShapeCache, KeepsFindsBoundsAndEvicts) {
  DictShapeCache cache;
  auto signature = [](const std::vector<std::string_view>& keys) {
    uint64_t s = DictShapeCache::kSeed;
    for (std::string_view k : keys) s = DictShapeCache::fold(s, k);
    return s;
  };
  const std::vector<std::string_view> ab = {"b", "a"};
  EXPECT_TRUE(cache.find(signature(ab), ab.data(), ab.size()) == nullptr);
  const DictShape* kept = cache.keep(signature(ab), ab.data(), ab.size());
  ASSERT_TRUE(kept != nullptr);
  EXPECT_EQ(std::string(kept->prefix(0)), std::string("\"a\":"));
  EXPECT_TRUE(cache.find(signature(ab), ab.data(), ab.size()) == kept);
  // The same signature with other texts is not a match.
  const std::vector<std::string_view> other = {"c", "d"};
  EXPECT_TRUE(cache.find(signature(ab), other.data(), other.size()) == nullptr);

  // Too many keys, or too many key bytes, are never kept.
  std::vector<std::string> many(DictShapeCache::kMaxKeys + 1, "k");
  std::vector<std::string_view> views(many.begin(), many.end());
  EXPECT_TRUE(cache.keep(signature(views), views.data(), views.size()) == nullptr);
  const std::string big(DictShapeCache::kMaxKeyBytes + 1, 'x');
  const std::vector<std::string_view> one_big = {big};
  EXPECT_TRUE(cache.keep(signature(one_big), one_big.data(), one_big.size()) == nullptr);

  // Three sequences forced into one pair of slots: within a pass both held
  // shapes stay (a third is refused); in a later pass the least recently
  // used of the two goes, and its handle says so.
  const std::vector<std::string_view> x = {"x"}, y = {"y"}, z = {"z"};
  const uint64_t sig = 12345;
  DictShapeCache::Handle hx, hy, hz;
  cache.keep(sig, x.data(), 1, &hx);
  cache.keep(sig, y.data(), 1, &hy);
  EXPECT_TRUE(cache.keep(sig, z.data(), 1) == nullptr);
  cache.begin_pass();
  EXPECT_TRUE(cache.find(sig, x.data(), 1) != nullptr);  // x is now the recent one
  EXPECT_TRUE(cache.keep(sig, z.data(), 1, &hz) != nullptr);
  EXPECT_TRUE(cache.find(sig, x.data(), 1) != nullptr);
  EXPECT_TRUE(cache.find(sig, z.data(), 1) != nullptr);
  EXPECT_TRUE(cache.find(sig, y.data(), 1) == nullptr);
  EXPECT_TRUE(cache.at(hy) == nullptr);
  EXPECT_TRUE(cache.at(DictShapeCache::Handle{}) == nullptr);
  ASSERT_TRUE(cache.at(hx) != nullptr && cache.at(hz) != nullptr);
  EXPECT_TRUE(cache.at(hx)->matches(x.data(), 1) && cache.at(hz)->matches(z.data(), 1));
}
