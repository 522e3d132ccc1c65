#include "index/prefilter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vedra::matcher_internal {

namespace {

size_t find1(const uint8_t* h, size_t at, size_t n, uint8_t a) {
  const void* p = std::memchr(h + at, a, n - at);
  return p == nullptr ? n : static_cast<size_t>(static_cast<const uint8_t*>(p) - h);
}

size_t find2(const uint8_t* h, size_t at, size_t n, uint8_t a, uint8_t b) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  for (; at + 16 <= n; at += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + at));
    const int m = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)));
    if (m != 0) return at + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(m)));
  }
#endif
  for (; at < n; ++at) {
    if (h[at] == a || h[at] == b) return at;
  }
  return n;
}

size_t find3(const uint8_t* h, size_t at, size_t n, uint8_t a, uint8_t b, uint8_t c) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  const __m128i vc = _mm_set1_epi8(static_cast<char>(c));
  for (; at + 16 <= n; at += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + at));
    const __m128i eq = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                    _mm_cmpeq_epi8(x, vc));
    const int m = _mm_movemask_epi8(eq);
    if (m != 0) return at + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(m)));
  }
#endif
  for (; at < n; ++at) {
    if (h[at] == a || h[at] == b || h[at] == c) return at;
  }
  return n;
}

}  // namespace

Prefilter Prefilter::from_first_bytes(const std::array<bool, 256>& first_bytes) {
  Prefilter p;
  int count = 0;
  for (int b = 0; b < 256; ++b) {
    if (!first_bytes[b]) continue;
    if (count < 3) p.bytes_[count] = static_cast<uint8_t>(b);
    p.start_[b] = 1;
    ++count;
  }
  switch (count) {
    case 0:
    case 256:
      p.kind_ = Kind::kNone;
      break;
    case 1:
      p.kind_ = Kind::kByte1;
      break;
    case 2:
      p.kind_ = Kind::kByte2;
      break;
    case 3:
      p.kind_ = Kind::kByte3;
      break;
    default:
      p.kind_ = Kind::kTable;
      break;
  }
  return p;
}

Prefilter Prefilter::build(PatternSpan patterns, const std::array<bool, 256>& first_bytes) {
  Prefilter p = from_first_bytes(first_bytes);
  if (p.kind_ == Kind::kByte1 || p.kind_ == Kind::kByte2 || p.kind_ == Kind::kByte3) return p;
  size_t shortest = SIZE_MAX;
  for (const std::string_view t : patterns) {
    if (!t.empty()) shortest = std::min(shortest, t.size());
  }
  if (shortest == SIZE_MAX || shortest < kMinShiftWindow) return p;
  const size_t w = std::min<size_t>(shortest, 255);
  // Window [a, a + w): a match beginning at a + d, d <= w - 4, has its
  // bytes j - 3 .. j, j = w - 1 - d < w, at the window's last 4 bytes. So
  // no match begins in [a, a + s) when every 4-byte piece of the patterns'
  // first w bytes that hashes like the window's end ends at a j with
  // w - 1 - j >= s. Without such a piece s is w - 3 (a match at d > w - 4
  // does not cover the window's end).
  uint64_t pieces = 0;
  for (const std::string_view t : patterns) pieces += t.empty() ? 0 : w - 3;
  uint32_t bits = kMinShiftBits;
  while (bits < kMaxShiftBits && (uint64_t{1} << bits) < 2 * pieces) ++bits;
  p.hash_shift_ = 32 - bits;
  p.shift_.assign(size_t{1} << bits, static_cast<uint8_t>(w - 3));
  for (const std::string_view t : patterns) {
    if (t.empty()) continue;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(t.data());
    for (size_t j = 3; j < w; ++j) {
      uint8_t& s = p.shift_[p.hash4(b + j - 3)];
      s = std::min<uint8_t>(s, static_cast<uint8_t>(w - 1 - j));
    }
  }
  p.inner_.assign(p.shift_.size(), 0);
  for (const std::string_view t : patterns) {
    if (!t.empty()) p.inner_[p.hash4(reinterpret_cast<const uint8_t*>(t.data()) + w - 8)] = 1;
  }
  p.kind_ = Kind::kShift;
  p.window_ = w;
  return p;
}

int Prefilter::scan_bytes() const {
  switch (kind_) {
    case Kind::kByte1:
      return 1;
    case Kind::kByte2:
      return 2;
    case Kind::kByte3:
      return 3;
    default:
      return 0;
  }
}

size_t Prefilter::scan(const uint8_t* h, size_t at, size_t n, PrefilterState* state) const {
  size_t found;
  switch (kind_) {
    case Kind::kByte1:
      found = find1(h, at, n, bytes_[0]);
      break;
    case Kind::kByte2:
      found = find2(h, at, n, bytes_[0], bytes_[1]);
      break;
    default:
      found = find3(h, at, n, bytes_[0], bytes_[1], bytes_[2]);
      break;
  }
  account(found - at, kMinAverageScanSkip, state);
  return found;
}

}  // namespace vedra::matcher_internal
