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
  uint64_t count = 0;
  for (const std::string_view t : patterns) {
    if (t.empty()) continue;
    shortest = std::min(shortest, t.size());
    ++count;
  }
  if (count == 0 || shortest < kMinRunWindow) return p;
  const size_t run = std::min<size_t>(shortest, 64);
  std::array<bool, 256> body{};
  for (const std::string_view t : patterns) {
    for (size_t i = 0; i < std::min(run, t.size()); ++i) body[static_cast<uint8_t>(t[i])] = true;
  }
  const ByteRanges body_cover = ByteRanges::cover(body);
  if (body_cover.size() == 256) return p;  // every run qualifies: nothing to gain
  p.kind_ = Kind::kRuns;
  p.run_ = run;
  p.shortest_ = shortest;
  p.beginning_ = shortest >= 8 ? 8 : 4;
  p.body_ = body_cover;
  p.first_ = ByteRanges::cover(first_bytes);
  uint32_t bits = kMinBeginningBits;
  while (bits < kMaxBeginningBits && (uint64_t{1} << bits) < 16 * count) ++bits;
  p.hash_shift_ = 64 - bits;
  p.beginnings_.assign((size_t{1} << bits) / 64, 0);
  for (const std::string_view t : patterns) {
    if (t.empty()) continue;
    const uint64_t bit = p.beginning_hash(reinterpret_cast<const uint8_t*>(t.data()));
    p.beginnings_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  return p;
}

size_t Prefilter::find_run(const uint8_t* h, size_t at, size_t n) const {
  uint64_t lo = block_mask(body_, h, at, n);
  while (at < n) {
    const uint64_t hi = block_mask(body_, h, at + 64, n);
    // Bit i of `run`: the r bytes from at + i are all in body_ (runs of
    // length len and'ed with themselves shifted by len double the length).
    unsigned __int128 run = static_cast<unsigned __int128>(hi) << 64 | lo;
    size_t len = 1;
    while (2 * len <= run_) {
      run &= run >> len;
      len *= 2;
    }
    if (len < run_) run &= run >> (run_ - len);
    uint64_t c = static_cast<uint64_t>(run);
    if (c != 0) c &= block_mask(first_, h, at, n);
    while (c != 0) {
      const size_t p = at + static_cast<size_t>(__builtin_ctzll(c));
      if (may_begin(h, p, n)) return p;
      c &= c - 1;
    }
    lo = hi;
    at += 64;
  }
  return n;
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
