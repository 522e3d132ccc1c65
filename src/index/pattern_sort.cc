#include "index/pattern_sort.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vedra::matcher_internal {

namespace {

// Buckets smaller than this are sorted by comparison: a radix pass costs
// 256 counters however few records it moves.
constexpr size_t kComparisonSortBelow = 48;

uint64_t big_endian_word(std::string_view p, size_t from) {
  uint64_t w = 0;
  if (p.size() >= from + 8) {
    std::memcpy(&w, p.data() + from, 8);
    return __builtin_bswap64(w);
  }
  for (size_t k = from; k < from + 8; ++k) w = (w << 8) | (k < p.size() ? static_cast<uint8_t>(p[k]) : 0u);
  return w;
}

// Key byte d (d < 16), zero past the text's end.
inline unsigned key_byte(const SortedPattern& sp, unsigned d) {
  return static_cast<unsigned>(sp.prefix[d >> 3] >> (56 - 8 * (d & 7))) & 0xFF;
}

// (text, number) order. Differing keys order the texts correctly: at the
// first differing byte either both texts have a byte, or the shorter text
// has ended and is a prefix of the longer. With equal keys, a text of at
// most 16 bytes lies wholly in its key and is a prefix of the other text.
bool pattern_less(const SortedPattern& a, const SortedPattern& b) {
  if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
  if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
  if (a.size <= 16 || b.size <= 16) return a.size < b.size || (a.size == b.size && a.number < b.number);
  const int c = a.text().substr(16).compare(b.text().substr(16));
  return c < 0 || (c == 0 && a.number < b.number);
}

// Sorts a[0, n), whose keys agree in bytes [0, d), by pattern_less: buckets
// by key byte d, permuted in place (each record is moved straight to its
// bucket's next free slot, displacing the record there), then each bucket by
// the next byte. Ties in all 16 key bytes go to the comparison, which looks
// past the key. Recursion depth: at most 16.
void radix_sort(SortedPattern* a, size_t n, unsigned d) {
  for (;;) {
    if (n < kComparisonSortBelow || d == 16) {
      std::sort(a, a + n, pattern_less);
      return;
    }
    uint32_t count[256] = {};
    for (size_t i = 0; i < n; ++i) ++count[key_byte(a[i], d)];
    if (count[key_byte(a[0], d)] == n) {  // one bucket: nothing to move
      ++d;
      continue;
    }
    size_t next[256], end[256];
    size_t at = 0;
    for (unsigned b = 0; b < 256; ++b) {
      next[b] = at;
      at += count[b];
      end[b] = at;
    }
    for (unsigned b = 0; b < 256; ++b) {
      while (next[b] < end[b]) {
        SortedPattern x = a[next[b]];
        unsigned c = key_byte(x, d);
        while (c != b) {
          std::swap(x, a[next[c]++]);
          c = key_byte(x, d);
        }
        a[next[b]++] = x;
      }
    }
    size_t begin = 0;
    for (unsigned b = 0; b < 256; ++b) {
      if (count[b] > 1) radix_sort(a + begin, count[b], d + 1);
      begin += count[b];
    }
    return;
  }
}

}  // namespace

void sort_patterns(PatternSpan patterns, BuildArray<SortedPattern>& keys) {
  // The first two key bytes are sorted by a counting pass and by writing
  // each record straight into its bucket, which saves the two in-place
  // passes that would move every record over the whole array.
  constexpr size_t kBuckets = 1u << 16;
  auto bucket = [](std::string_view p) -> size_t {
    return static_cast<size_t>(static_cast<uint8_t>(p[0])) << 8 | (p.size() > 1 ? static_cast<uint8_t>(p[1]) : 0u);
  };
  std::vector<uint32_t> at(kBuckets + 1, 0);
  for (const std::string_view p : patterns) {
    if (!p.empty()) ++at[bucket(p) + 1];
  }
  for (size_t b = 0; b < kBuckets; ++b) at[b + 1] += at[b];
  SortedPattern* const out = keys.extend(at[kBuckets]);
  for (size_t i = 0; i < patterns.size(); ++i) {
    const std::string_view p = patterns[i];
    if (p.empty()) continue;
    SortedPattern& k = out[at[bucket(p)]++];
    k.prefix[0] = big_endian_word(p, 0);
    k.prefix[1] = big_endian_word(p, 8);
    k.data = p.data();
    k.size = static_cast<uint32_t>(p.size());
    k.number = static_cast<uint32_t>(i);
  }
  // at[b] is now the end of bucket b, and the start of bucket b + 1.
  for (size_t b = 0, begin = 0; b < kBuckets; begin = at[b++]) {
    if (at[b] - begin > 1) radix_sort(out + begin, at[b] - begin, 2);
  }
}

}  // namespace vedra::matcher_internal
