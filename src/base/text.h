// Text helpers shared by ingestion, posting and pattern registration.
// All text is UTF-8 and compared as exact bytes.
#pragma once

#include <string_view>

namespace vedra {

// Removes every leading and trailing character with the Unicode White_Space
// property (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000); interior characters are kept.
// REQUIRES: `s` is valid UTF-8.  The result is a view into `s`.
// Cost: constant when each end is printable ASCII or a character of a
// three-byte UTF-8 sequence led by E4..EF (most field values and names).
inline std::string_view trim_white_space(std::string_view s);

// trim_white_space() for any text; what it calls when an end is not
// printable ASCII.
std::string_view trim_white_space_slow(std::string_view s);

inline std::string_view trim_white_space(std::string_view s) {
  if (s.empty()) return s;
  // Every three-byte White_Space character is led by E1..E3, so one led by
  // E4..EF (most CJK text) is none.  At the end, such a lead and two
  // continuation bytes are the last character whatever precedes them.
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto cjk_lead = [](unsigned char c) { return c >= 0xE4 && c <= 0xEF; };
  auto continuation = [](unsigned char c) { return c >= 0x80 && c <= 0xBF; };
  const size_t n = s.size();
  const unsigned char first = byte(0), last = byte(n - 1);
  const bool first_kept = (first > 0x20 && first < 0x80) || cjk_lead(first);
  const bool last_kept = (last > 0x20 && last < 0x80) ||
                         (n >= 3 && continuation(last) && continuation(byte(n - 2)) && cjk_lead(byte(n - 3)));
  if (first_kept && last_kept) return s;
  return trim_white_space_slow(s);
}

}  // namespace vedra
