#include "base/large_alloc.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/hash.h"
#include "store/text_blocks.h"
#include "testing.h"

namespace vedra {
namespace {

// Requests on both sides of kLargeFrom: each block is usable over its whole
// length, a large one starts on a 2 MiB boundary, and each is given back
// (the sanitizer stages catch a leak or a mismatched free).
TEST(LargeAlloc, BlocksAreWholeAndLargeOnesAligned) {
  for (const size_t bytes : {size_t{1}, kLargeFrom - 1, kLargeFrom, kLargeFrom + 4097, 3 * kLargeFrom + 1}) {
    char* p = static_cast<char*>(allocate_large(bytes));
    std::memset(p, 0x5A, bytes);
    ASSERT_TRUE(p[0] == 0x5A && p[bytes - 1] == 0x5A);
    if (bytes >= kLargeFrom) EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size_t{2} << 20), uintptr_t{0});
    free_large(p, bytes);
  }
  free_large(nullptr, kLargeFrom);
}

// A table and a text store grown well past kLargeFrom keep every entry and
// every byte through their moves between heap and mappings.
TEST(LargeAlloc, TablesAndTextBlocksGrowPastTheHeap) {
  TextMap<uint32_t> m;
  const uint32_t n = 600000;  // slots of 20 bytes: about 20 MiB of table
  for (uint32_t i = 0; i < n; ++i) m.try_emplace(TextKey(std::to_string(i)), i);
  for (uint32_t i = 0; i < n; i += 997) {
    auto it = m.find(std::string_view(std::to_string(i)));
    ASSERT_TRUE(it != m.end() && it->second == i);
  }
  TextBlocks blocks;
  std::string text(5000, 'q');
  std::vector<const char*> at;
  for (int i = 0; i < 6000; ++i) {  // 30 MB: several of the largest blocks
    text[0] = static_cast<char>('a' + i % 26);
    blocks.reserve(text.size());
    char* p = blocks.take(text.size());
    std::memcpy(p, text.data(), text.size());
    at.push_back(p);
  }
  for (int i = 0; i < 6000; ++i) ASSERT_TRUE(at[i][0] == 'a' + i % 26 && at[i][4999] == 'q');
  EXPECT_TRUE(blocks.memory_usage() >= 6000 * text.size());
}

}  // namespace
}  // namespace vedra
