// Text helpers shared by ingestion, posting and pattern registration.
// All text is UTF-8 and compared as exact bytes.
#pragma once

#include <string_view>

namespace vedra {

// Removes every leading and trailing character with the Unicode White_Space
// property (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000); interior characters are kept.
// REQUIRES: `s` is valid UTF-8.  The result is a view into `s`.
// Cost: constant when both ends are printable ASCII (most field values).
inline std::string_view trim_white_space(std::string_view s);

// trim_white_space() for any text; what it calls when an end is not
// printable ASCII.
std::string_view trim_white_space_slow(std::string_view s);

inline std::string_view trim_white_space(std::string_view s) {
  if (s.empty()) return s;
  const unsigned char first = static_cast<unsigned char>(s.front()), last = static_cast<unsigned char>(s.back());
  if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return s;
  return trim_white_space_slow(s);
}

}  // namespace vedra
