// Texts read as 64-bit words: the loads, the comparison and the copy that
// the scans of short keys and values use in place of calls to memcpy and
// memcmp.
//
// On little-endian machines the byte at the lowest address is the lowest
// byte of the word; elsewhere the words are still exact for equality and
// mixing, not for byte positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vedra {

// The 8 bytes at p, unaligned.
inline uint64_t text_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The `size` (1..7) bytes at p, zero-extended: two overlapping four-byte
// loads, or three single bytes, and nothing read outside them.
inline uint64_t short_text_word(const char* p, size_t size) {
  if (size >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + size - 4, 4);
    return uint64_t{lo} | (uint64_t{hi} << (8 * (size - 4)));
  }
  const auto byte = [&](size_t i) { return uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
  return byte(0) | byte(size / 2) | byte(size - 1);
}

// a == b; texts of 8 to 16 bytes are compared as two overlapping words.
inline bool same_text(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (n < 8 || n > 16) return a == b;
  return ((text_word(a.data()) ^ text_word(b.data())) |
          (text_word(a.data() + n - 8) ^ text_word(b.data() + n - 8))) == 0;
}

// Copies the `size` bytes at `from` to `to` (which do not overlap them):
// up to sixteen bytes as two overlapping loads and stores, writing nothing
// outside [to, to + size); longer texts by memcpy.
inline void copy_text(char* to, const char* from, size_t size) {
  if (size > 16) {
    std::memcpy(to, from, size);
  } else if (size >= 8) {
    const uint64_t head = text_word(from), tail = text_word(from + size - 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + size - 8, &tail, 8);
  } else if (size >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + size - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + size - 4, &tail, 4);
  } else if (size != 0) {
    const char first = from[0], middle = from[size / 2], last = from[size - 1];
    to[0] = first;
    to[size / 2] = middle;
    to[size - 1] = last;
  }
}

}  // namespace vedra
