#include "base/text.h"

#include <cstdint>

namespace vedra {
namespace {

// Length of the White_Space character that starts at s[i], or 0.
inline size_t space_at(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c < 0xC2) return 0;
  if (c == 0xC2 && i + 1 < s.size()) {
    const unsigned char d = static_cast<unsigned char>(s[i + 1]);
    return (d == 0x85 || d == 0xA0) ? 2 : 0;
  }
  if (i + 2 >= s.size()) return 0;
  const unsigned char d = static_cast<unsigned char>(s[i + 1]);
  const unsigned char e = static_cast<unsigned char>(s[i + 2]);
  if (c == 0xE1) return (d == 0x9A && e == 0x80) ? 3 : 0;  // U+1680
  if (c == 0xE2) {
    if (d == 0x80) {
      // U+2000..U+200A, U+2028, U+2029, U+202F
      return ((e >= 0x80 && e <= 0x8A) || e == 0xA8 || e == 0xA9 || e == 0xAF) ? 3 : 0;
    }
    return (d == 0x81 && e == 0x9F) ? 3 : 0;  // U+205F
  }
  if (c == 0xE3) return (d == 0x80 && e == 0x80) ? 3 : 0;  // U+3000
  return 0;
}

// Length of the White_Space character that ends just before s[end], or 0.
inline size_t space_before(std::string_view s, size_t end) {
  const unsigned char c = static_cast<unsigned char>(s[end - 1]);
  if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
  if (end >= 2 && static_cast<unsigned char>(s[end - 2]) == 0xC2) return space_at(s, end - 2);
  if (end >= 3) return space_at(s, end - 3) == 3 ? 3 : 0;
  return 0;
}

}  // namespace

std::string_view trim_white_space_slow(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    const size_t n = space_at(s, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = s.size();
  while (end > begin) {
    const size_t n = space_before(s.substr(0, end), end);
    if (n == 0 || end - n < begin) break;
    end -= n;
  }
  return s.substr(begin, end - begin);
}

}  // namespace vedra
