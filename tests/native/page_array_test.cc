#include "base/page_array.h"

#include <cstdint>

#include "testing.h"

namespace vedra {
namespace {

// Elements never written read as zero in a heap block, in the mapping it
// moves to and after a list shrinks and grows again; written ones keep
// their values through every move.
TEST(PageArray, UnwrittenElementsReadZeroInHeapAndPages) {
  PageArray<uint32_t, 4 * 4096> a;
  for (const size_t step : {size_t{10}, size_t{900}, size_t{3000}, size_t{20000}}) {
    const size_t from = a.size();
    uint32_t* fresh = a.extend(step);
    for (size_t i = 0; i < step; ++i) ASSERT_TRUE(fresh[i] == 0);
    for (size_t i = 0; i < step; i += 2) fresh[i] = static_cast<uint32_t>(from + i + 1);
  }
  for (size_t i = 0; i < a.size(); ++i) ASSERT_TRUE(a[i] == (i % 2 == 0 ? i + 1 : 0));
  const size_t written = a.size();
  a.resize_within(100);
  EXPECT_EQ(a.size(), size_t{100});
  a.resize_within(30000);
  for (size_t i = 0; i < 100; ++i) ASSERT_TRUE(a[i] == (i % 2 == 0 ? i + 1 : 0));
  for (size_t i = written; i < 30000; ++i) ASSERT_TRUE(a[i] == 0);
  a.release();
  EXPECT_TRUE(a.empty());
  a.push_back(7);
  EXPECT_EQ(a[0], uint32_t{7});
}

// Appends after a reserve stay in place, and texts keep their bytes as the
// array crosses from the heap into its own mapping and grows there.
TEST(PageArray, AppendKeepsBytesAcrossHeapAndPages) {
  PageArray<char, 2 * 4096> a;
  a.reserve(5000);
  const char* before = a.data();
  const size_t room = a.capacity();
  while (a.size() + 3 <= room) a.append("abc", 3);
  EXPECT_TRUE(a.data() == before);
  for (int i = 0; i < 40000; ++i) a.append("xyz", i % 4);
  size_t at = 0;
  for (; at + 3 <= room; at += 3) ASSERT_TRUE(a[at] == 'a' && a[at + 2] == 'c');
  for (int i = 0; i < 40000; ++i) {
    for (int k = 0; k < i % 4; ++k) ASSERT_TRUE(a[at++] == "xyz"[k]);
  }
  EXPECT_EQ(at, a.size());
  a.append(nullptr, 0);
  EXPECT_EQ(at, a.size());
}

}  // namespace
}  // namespace vedra
