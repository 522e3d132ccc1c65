// Word-at-a-time byte tests for the scanners of JSON text: eight bytes are
// loaded as one 64-bit word and tested together (sixteen in one SSE2 register
// where the target has it).
//
// Each test returns the high bit of every byte of the word that it matches.
// A result of 0 is exact ("no such byte"); among set bits only the lowest is
// exact, since a borrow can mark a byte above it, which is all that a scan for
// the first such byte needs.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "store/json/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vedra {

inline constexpr uint64_t kByteOnes = 0x0101010101010101ull;
inline constexpr uint64_t kByteHighBits = 0x8080808080808080ull;

// The 8 bytes at p, unaligned, the byte at p in the lowest position on
// little-endian machines.
inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

inline uint64_t bytes_equal(uint64_t w, unsigned char c) {
  const uint64_t x = w ^ (kByteOnes * c);
  return (x - kByteOnes) & ~x & kByteHighBits;
}

inline uint64_t bytes_below_0x20(uint64_t w) { return (w - kByteOnes * 0x20) & ~w & kByteHighBits; }

// The bytes that end a run of plain string bytes: quotation mark, backslash
// and control characters (U+0000..U+001F).
inline uint64_t string_stop_bytes(uint64_t w) {
  return bytes_below_0x20(w) | bytes_equal(w, '"') | bytes_equal(w, '\\');
}

// The scanner of string text: the first byte in [p, end) that ends a run of
// plain string bytes (see string_stop_bytes), or end.  ORs into `seen` every
// byte passed over and possibly the low seven bits of the stop byte, so that
// `seen & kByteHighBits` is zero exactly when the run is ASCII.  Eight bytes
// at a time; on little-endian machines the stop byte is found from the word
// itself (the lowest address is the lowest byte).
inline const char* skip_plain_string_bytes(const char* p, const char* end, uint64_t& seen) {
  while (end - p >= 8) {
    const uint64_t w = load8(p);
    const uint64_t stop = string_stop_bytes(w);
    if (stop == 0) {
      seen |= w;
      p += 8;
      continue;
    }
    if constexpr (std::endian::native != std::endian::little) break;
    const uint64_t first = stop & (0 - stop);  // exact: the lowest one
    seen |= w & (first - 1);
    return p + (std::countr_zero(stop) >> 3);
  }
  for (; p != end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == '"' || c == '\\') break;
    seen |= c;
  }
  return p;
}

// The bytes that end a run of plain ASCII string bytes: the stop bytes above
// and every byte >= 0x80, each marked exactly (no borrow reaches the next
// byte).
inline uint64_t ascii_string_stop_bytes_exact(uint64_t w) {
  const uint64_t low7 = w & ~kByteHighBits;
  const uint64_t at_least_0x20 = low7 + kByteOnes * (0x80 - 0x20);
  const uint64_t quote = (low7 ^ (kByteOnes * '"')) + kByteOnes * 0x7f;
  const uint64_t backslash = (low7 ^ (kByteOnes * '\\')) + kByteOnes * 0x7f;
  // A byte passes when its high bit is clear, it is at least 0x20 and it
  // differs from both; everything else stops.
  return (w | ~at_least_0x20 | ~quote | ~backslash) & kByteHighBits;
}

// Offset (0..16) of the first byte of the 16 at p that ends a run of plain
// ASCII string bytes ('"', '\\', below 0x20, 0x80 and above); 16 when there
// is none.  Word-at-a-time form, for every target; the same answers as
// ascii_string_stop16().  REQUIRES: 16 readable bytes at p.
inline unsigned ascii_string_stop16_portable(const char* p) {
  for (unsigned half = 0; half < 16; half += 8) {
    const uint64_t stop = ascii_string_stop_bytes_exact(load8(p + half));
    if (stop != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return half + (std::countr_zero(stop) >> 3);
      } else {
        return half + (std::countl_zero(stop) >> 3);
      }
    }
  }
  return 16;
}

// ascii_string_stop16_portable() in one SSE2 register where the target has
// it (all x86-64).
inline unsigned ascii_string_stop16(const char* p) {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed compare: bytes 0x80..0xFF are negative, so "below 0x20" takes
  // them in together with the control characters.
  const __m128i stop = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                    _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
  return static_cast<unsigned>(std::countr_zero(static_cast<unsigned>(_mm_movemask_epi8(stop)) | 0x10000u));
#else
  return ascii_string_stop16_portable(p);
#endif
}

// For the 16 bytes at p, which start at a character boundary of string text:
// the length of a prefix made only of plain ASCII string bytes and whole
// three-byte UTF-8 sequences whose lead is E1..EC, EE or EF (those whose
// second byte takes the full continuation range: most CJK text), so well
// formed whatever follows it.  Not always the longest such prefix: at a byte
// it cannot vouch for, or a block it cannot classify, it stops and leaves the
// byte to the caller's own rules, but it never stops before
// ascii_string_stop16(p).  Without SSE2 it is ascii_string_stop16(p).
// REQUIRES: 16 readable bytes at p.
inline unsigned plain_string_prefix16(const char* p) {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
  const unsigned ascii_stop =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                                           _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')))))) &
      ~high;
  const unsigned ascii_prefix = static_cast<unsigned>(std::countr_zero(ascii_stop | high | 0x10000u));
  if (high == 0) return ascii_prefix;
  // Signed compares: 0x80..0xBF are the bytes below -64, 0xE1..0xEF those
  // between -32 and -16.
  const unsigned cont = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(-64))));
  const unsigned lead =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(
          _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xED))),
          _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(-32)), _mm_cmplt_epi8(v, _mm_set1_epi8(-16))))));
  const unsigned stop = ascii_stop | (high & ~cont & ~lead);
  const unsigned first_stop = static_cast<unsigned>(std::countr_zero(stop | 0x10000u));
  const unsigned before = (1u << first_stop) - 1;
  // Before the first stop, continuation bytes must be exactly the two after
  // each lead.
  const unsigned expected = (lead << 1) | (lead << 2);
  if ((cont & before) != (expected & before)) return ascii_prefix;
  // A lead in the last two places before the stop (or the block's end)
  // starts a sequence that is not whole here.
  const unsigned cut = lead & before & ~(before >> 2);
  return cut != 0 ? static_cast<unsigned>(std::countr_zero(cut)) : first_stop;
#else
  return ascii_string_stop16_portable(p);
#endif
}

// The closing quote of the string whose text (after its opening quote)
// starts at p, when that string holds neither an escape nor a control
// character and its bytes are well-formed UTF-8: what a reader takes as is,
// its text being its value.  nullptr for any other string, and when [p, end)
// ends before the closing quote.
inline const char* plain_string_close(const char* p, const char* end) {
  for (;;) {
    if (end - p >= 16) {
      const unsigned n = plain_string_prefix16(p);
      p += n;
      if (n == 16) continue;
    } else {
      while (p != end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
        ++p;
      }
      if (p == end) return nullptr;
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') return p;
    if (c < 0x80) return nullptr;
    const int len = utf8_sequence_length_inline(reinterpret_cast<const unsigned char*>(p),
                                                reinterpret_cast<const unsigned char*>(end));
    if (len <= 0) return nullptr;
    p += len;
  }
}

}  // namespace vedra
