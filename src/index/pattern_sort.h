// Pattern sort: the non-empty patterns in ascending byte order of their
// texts, equal texts in ascending pattern number, for building the matcher's
// trie without child lookups.
//
// Each record carries the text's first 16 bytes as two big-endian words
// (zero-padded), so that sorting, and the trie insertion after it, read the
// text itself only past its 16th byte: codes and most names are shorter.
//
// Thread safety: sort_patterns() only reads its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "index/build_array.h"
#include "index/pattern_span.h"

namespace vedra::matcher_internal {

// 32 bytes: the sort moves these records around, so they are kept small.
struct SortedPattern {
  // Left unset: sort_patterns() writes every member of every record, and
  // zeroing the array first would be one more pass over it.
  SortedPattern() {}  // NOLINT(modernize-use-equals-default): = default would zero it in keys(n)
  uint64_t prefix[2];  // first 16 bytes, big-endian, zero-padded
  const char* data;
  uint32_t size;       // at most 2,147,483,646 (the build's limit)
  uint32_t number;
  std::string_view text() const { return std::string_view(data, size); }
};

// Byte d of the pattern, from the key while d < 16. REQUIRES: d < size.
inline uint8_t byte_at(const SortedPattern& sp, size_t d) {
  if (d < 16) return static_cast<uint8_t>(sp.prefix[d / 8] >> (56 - 8 * (d % 8)));
  return static_cast<uint8_t>(sp.data[d]);
}

// Length of the common prefix of the two 16-byte keys (16 when equal).  Zero
// padding may make it overshoot the shorter text; callers clamp it.
inline size_t common_key_prefix(const SortedPattern& a, const SortedPattern& b) {
  const uint64_t x0 = a.prefix[0] ^ b.prefix[0];
  if (x0 != 0) return static_cast<size_t>(__builtin_clzll(x0) / 8);
  const uint64_t x1 = a.prefix[1] ^ b.prefix[1];
  if (x1 != 0) return 8 + static_cast<size_t>(__builtin_clzll(x1) / 8);
  return 16;
}

// Appends the non-empty patterns of `patterns` to `keys`, sorted by (text,
// number). `keys` is a build array so that the trie build can reuse its memory
// once the records are consumed. Throws std::bad_alloc with `keys` as it was.
// Cost: the records are written straight into buckets of their first two
// bytes (one counting pass over the texts first), then each bucket is
// radix sorted most-significant byte first in place (one counting pass and
// one permutation pass per key byte that still separates patterns, down to
// buckets of a few dozen, which are sorted by comparison);
// texts that agree in all 16 key bytes are compared from byte 16 on. Memory:
// 32 bytes per pattern, plus 256 KiB of bucket offsets.
void sort_patterns(PatternSpan patterns, BuildArray<SortedPattern>& keys);

}  // namespace vedra::matcher_internal
