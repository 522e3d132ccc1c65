// Keys held back and inserted in slot order post exactly what posting each
// key as it came would have: the same keys, each with the same records, into
// a map that may hold keys of earlier records already.
#include "index/deferred_keys.h"

#include <string>
#include <vector>

#include "test_rng.h"
#include "testing.h"

using namespace vedra;

namespace {

std::vector<uint32_t> numbers_of(const Posting& p) {
  Bitmap b;
  p.union_into(b);
  return b.to_vector();
}

}  // namespace

TEST(DeferredKeys, PostsWhatPostingAsTheyCameWould) {
  // Pools of 3 to 3000 keys, short (held in the entry) and long (in blocks),
  // each posted by up to a few thousand records: few keys share home slots
  // in a small table, so a key's records come in runs broken by others'.
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    vedra_testing::Rng rng(seed);
    const size_t pool = seed % 4 == 0 ? 3 : 1 + rng.below(3000);
    const size_t records = 1 + rng.below(4000);
    auto key_of = [&](size_t k) {
      return std::string(k % 3 == 0 ? 40 + k % 7 : k % 17, 'k') + std::to_string(k);
    };
    FieldPostings held, direct;
    DeferredKeys deferred;
    const uint32_t first_held_back = static_cast<uint32_t>(rng.below(records));
    for (uint32_t r = 0; r < records; ++r) {
      for (size_t i = 0, n = rng.below(3); i < n; ++i) {
        const std::string key = key_of(rng.below(pool));
        direct.try_emplace(key).first->second.add(r);
        if (r < first_held_back) {
          held.try_emplace(key).first->second.add_ascending(r);
        } else {
          deferred.add(key, held.hash_function()(key), r);
        }
      }
    }
    deferred.insert_into(held);
    EXPECT_EQ(deferred.size(), size_t{0});
    ASSERT_TRUE(held.size() == direct.size());
    for (auto& [key, posting] : held) {
      posting.seal();
      auto it = direct.find(key);
      ASSERT_TRUE(it != direct.end());
      EXPECT_EQ(numbers_of(posting) == numbers_of(it->second), true);
    }
  }
}
