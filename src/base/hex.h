// Hexadecimal digits: the engine writes lowercase ones only (the \u00xx
// escapes of its JSON text, digests, temporary names) and reads either case
// where the input is not its own.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>

namespace vedra {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// The value of one hexadecimal digit (either case), or -1.
inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of one digit as the engine writes it (lowercase), or -1: text
// that claims to be the engine's own is refused in any other form.
inline int lower_hex_digit_value(char c) {
  const int v = hex_digit_value(c);
  return v >= 0 && kLowerHexDigits[v] == c ? v : -1;
}

// Appends the n bytes at p as 2n lowercase digits, each byte's high nibble
// first.
inline void append_lower_hex(const unsigned char* p, size_t n, std::string& out) {
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kLowerHexDigits[p[i] >> 4]);
    out.push_back(kLowerHexDigits[p[i] & 15]);
  }
}

}  // namespace vedra
