// Word-at-a-time byte tests for the scanners of JSON text: eight bytes are
// loaded as one 64-bit word and tested together.
//
// Each test returns the high bit of every byte of the word that it matches.
// A result of 0 is exact ("no such byte"); among set bits only the lowest is
// exact, since a borrow can mark a byte above it, which is all that a scan for
// the first such byte needs.
#pragma once

#include <cstdint>
#include <cstring>

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

}  // namespace vedra
