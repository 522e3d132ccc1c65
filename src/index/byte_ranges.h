// ByteRanges: a superset of a set of byte values, as at most four inclusive
// ranges, tested sixteen bytes at a time.
//
// A prefilter asks "which of these haystack bytes can occur in a pattern
// here?" for whole blocks. Baseline x86-64 (SSE2) has no byte shuffle to look
// sixteen bytes up in a table at once, but it compares sixteen bytes against
// a range in three instructions; so the set is widened to the four ranges
// that cover it with the fewest bytes outside it (the gaps between its runs
// of consecutive values are closed smallest first). Letters, digits and the
// bytes of multi-byte UTF-8 characters form few runs, so the widening
// usually adds little. A superset only makes a filter pass more; it never
// drops a byte of the set. Without SSE2 the same ranges are tested byte by
// byte, so every platform computes the same masks.
//
// Thread safety: immutable after construction.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vedra::matcher_internal {

class ByteRanges {
 public:
  static constexpr int kRanges = 4;

  // The empty set: no byte is in it.
  ByteRanges() = default;

  // The narrowest cover of `set` by kRanges ranges.
  static ByteRanges cover(const std::array<bool, 256>& set) {
    int lo[256], hi[256];
    int runs = 0;
    for (int b = 0; b < 256; ++b) {
      if (!set[b]) continue;
      if (runs > 0 && hi[runs - 1] == b - 1) {
        hi[runs - 1] = b;
      } else {
        lo[runs] = hi[runs] = b;
        ++runs;
      }
    }
    while (runs > kRanges) {  // close the smallest gap
      int best = 0;
      for (int i = 1; i + 1 < runs; ++i) {
        if (lo[i + 1] - hi[i] < lo[best + 1] - hi[best]) best = i;
      }
      hi[best] = hi[best + 1];
      for (int i = best + 1; i + 1 < runs; ++i) {
        lo[i] = lo[i + 1];
        hi[i] = hi[i + 1];
      }
      --runs;
    }
    ByteRanges r;
    r.count_ = runs;
    // Unused slots repeat the first range (or stay empty), so the tests
    // need no count.
    for (int i = 0; i < kRanges; ++i) {
      const int k = i < runs ? i : 0;
      r.lo_[i] = static_cast<uint8_t>(runs == 0 ? 0 : lo[k]);
      r.span_[i] = static_cast<uint8_t>(runs == 0 ? 0 : hi[k] - lo[k]);
    }
    return r;
  }

  bool contains(uint8_t b) const {
    for (int i = 0; i < count_; ++i) {
      if (static_cast<uint8_t>(b - lo_[i]) <= span_[i]) return true;
    }
    return false;
  }

  // Number of byte values in the cover (for tests and for choosing filters).
  int size() const {
    int n = 0;
    for (int b = 0; b < 256; ++b) n += contains(static_cast<uint8_t>(b)) ? 1 : 0;
    return n;
  }

  // Bit i set iff p[i] is in the cover, for i < 16. REQUIRES: 16 readable
  // bytes at p.
  uint32_t mask16(const uint8_t* p) const {
#if defined(__SSE2__)
    if (count_ == 0) return 0;
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i any = _mm_setzero_si128();
    for (int i = 0; i < kRanges; ++i) {
      const __m128i y = _mm_sub_epi8(x, _mm_set1_epi8(static_cast<char>(lo_[i])));
      any = _mm_or_si128(any, _mm_cmpeq_epi8(_mm_min_epu8(y, _mm_set1_epi8(static_cast<char>(span_[i]))), y));
    }
    return static_cast<uint32_t>(_mm_movemask_epi8(any));
#else
    uint32_t m = 0;
    for (int i = 0; i < 16; ++i) m |= contains(p[i]) ? uint32_t{1} << i : 0;
    return m;
#endif
  }

  // Bit i set iff p[i] is in the cover, for i < 64. REQUIRES: 64 readable
  // bytes at p.
  uint64_t mask64(const uint8_t* p) const {
    return uint64_t{mask16(p)} | uint64_t{mask16(p + 16)} << 16 | uint64_t{mask16(p + 32)} << 32 |
           uint64_t{mask16(p + 48)} << 48;
  }

  // As mask64 for the `avail` bytes at p (fewer than 64; none past them are
  // read); the bits from `avail` on are clear.
  uint64_t mask_tail(const uint8_t* p, size_t avail) const {
    uint8_t block[64] = {};
    if (avail > 0) std::memcpy(block, p, avail);
    return mask64(block) & ((uint64_t{1} << avail) - 1);
  }

 private:
  uint8_t lo_[kRanges] = {0, 0, 0, 0};
  uint8_t span_[kRanges] = {0, 0, 0, 0};  // hi - lo
  int count_ = 0;
};

}  // namespace vedra::matcher_internal
