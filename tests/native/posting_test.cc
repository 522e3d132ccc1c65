// Posting: one value key's records, as a small sorted array or a bitmap;
// incremental and bulk (append, then seal) insertion.
#include "index/posting.h"

#include <algorithm>
#include <random>
#include <vector>

#include "index/bitmap.h"
#include "testing.h"

using namespace vedra;

TEST(Posting, OutOfOrderInsertsStaySorted) {
  Posting p;
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < 200; ++i) {
    const uint32_t v = (i * 7919u) % 1000u;
    p.add(v);
    want.push_back(v);
    Bitmap b;
    p.union_into(b);
    std::vector<uint32_t> sorted(want);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(b.to_vector(), sorted);
    EXPECT_EQ(p.cardinality(), uint64_t{sorted.size()});
  }
  Posting moved(std::move(p));
  EXPECT_TRUE(p.empty());
  EXPECT_EQ(moved.cardinality(), uint64_t{200});
}

TEST(Posting, BulkAppendsThenSealMatchIncrementalAdds) {
  std::mt19937 rng(11);
  for (uint32_t size : {0u, 1u, 2u, 31u, 32u, 33u, 100u, 5000u}) {
    Posting bulk, incremental;
    std::vector<uint32_t> want;
    uint32_t v = rng() % 3;
    for (uint32_t i = 0; i < size; ++i) {
      // Ascending with repeats (a record posting one key twice).
      const int times = rng() % 4 == 0 ? 2 : 1;
      for (int t = 0; t < times; ++t) {
        bulk.add_ascending(v);
        incremental.add(v);
      }
      want.push_back(v);
      v += 1 + rng() % (size > 1000 ? 3 : 70000);  // dense and sparse containers
    }
    bulk.seal();
    bulk.seal();  // idempotent
    EXPECT_EQ(bulk.cardinality(), uint64_t{want.size()});
    auto contents = [](const Posting& p) { return p.to_bitmap().to_vector(); };
    EXPECT_TRUE(contents(bulk) == want);
    EXPECT_TRUE(contents(incremental) == want);
    // Sealed postings answer set operations like the incremental ones.
    Bitmap probe;
    for (uint32_t x = 0; x < 200; ++x) probe.add(x * 37);
    Bitmap a = probe.copy(), b = probe.copy();
    bulk.intersect_into(a);
    incremental.intersect_into(b);
    EXPECT_TRUE(a.to_vector() == b.to_vector());
    // Back in incremental use after sealing.
    bulk.add(v + 5);
    EXPECT_EQ(bulk.cardinality(), uint64_t{want.size() + 1});
  }
}
