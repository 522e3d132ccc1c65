// Keys held back and inserted in slot order post exactly what posting each
// key as it came would have: the same keys, each with the same records, into
// a map that may hold keys of earlier records already.
#include "index/deferred_keys.h"

#include <memory>
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

// One field's keys, posted as they come into `direct` and, from a random
// record on, held back for `held`.
struct Lists {
  FieldPostings held, direct;
  DeferredKeys deferred;
};

void fill(Lists& l, vedra_testing::Rng& rng, size_t pool, size_t records) {
  // Key sizes 0 to 20 and 40 to 46: both sides of what an entry holds.
  auto key_of = [&](size_t k) { return std::string(k % 3 == 0 ? 40 + k % 7 : k % 17, 'k') + std::to_string(k); };
  const uint32_t first_held_back = static_cast<uint32_t>(rng.below(records));
  for (uint32_t r = 0; r < records; ++r) {
    for (size_t i = 0, n = rng.below(3); i < n; ++i) {
      const std::string key = key_of(rng.below(pool));
      l.direct.try_emplace(key).first->second.add(r);
      if (r < first_held_back) {
        l.held.try_emplace(key).first->second.add_ascending(r);
      } else {
        l.deferred.add(l.held, key, l.held.hash_function()(key), r);
      }
    }
  }
}

void expect_same(Lists& l) {
  EXPECT_EQ(l.deferred.size(), size_t{0});
  ASSERT_TRUE(l.held.size() == l.direct.size());
  for (auto& [key, posting] : l.held) {
    posting.seal();
    auto it = l.direct.find(key);
    ASSERT_TRUE(it != l.direct.end());
    EXPECT_EQ(numbers_of(posting) == numbers_of(it->second), true);
  }
}

}  // namespace

TEST(DeferredKeys, PostsWhatPostingAsTheyCameWould) {
  // Pools of 3 to 3000 keys, short (held in the entry) and long (in blocks),
  // each posted by up to a few thousand records: few keys share home slots
  // in a small table, so a key's records come in runs broken by others'.
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    vedra_testing::Rng rng(seed);
    Lists l;
    fill(l, rng, seed % 4 == 0 ? 3 : 1 + rng.below(3000), 1 + rng.below(4000));
    l.deferred.insert_into(l.held);
    expect_same(l);
  }
}

TEST(DeferredKeys, ListsInsertedInTurnThroughOneRoom) {
  // The sort's buffer lent to lists of falling sizes, then of rising ones,
  // keeps nothing of one list in the next.
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    vedra_testing::Rng rng(seed);
    std::vector<std::unique_ptr<Lists>> lists;
    for (size_t records : {6000, 2500, 300, 1, 4000}) {
      lists.push_back(std::make_unique<Lists>());
      fill(*lists.back(), rng, 1 + rng.below(seed % 2 == 0 ? 20 : 5000), records);
    }
    DeferredKeys::SortRoom room;
    for (auto& l : lists) {
      l->deferred.insert_into(l->held, room);
      expect_same(*l);
    }
  }
}
