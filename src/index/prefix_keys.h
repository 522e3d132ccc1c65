// The value keys of one field value (value_keys.h) found in one scan, for
// the common value whose every key is a prefix of it.
//
// A value without "|" whose "."-separated sub-pieces are all non-empty and
// already trimmed gives its keys as prefixes ending at each dot and at its
// end ("a.b.c" -> "a", "a.b", "a.b.c"); one without either separator is its
// only key, untrimmed.  Finding that takes one pass over the value, eight
// bytes at a time, instead of the piece-by-piece search and trim of
// for_each_value_key(), which stays the reference for every other value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/text_words.h"

namespace vedra {

// Where each key of one value ends, in posting order.
struct PrefixKeys {
  static constexpr size_t kMax = 8;
  uint32_t ends[kMax];
  size_t count = 0;
  std::string_view key(std::string_view value, size_t i) const { return value.substr(0, ends[i]); }
};

namespace prefix_keys_detail {

// The high bit of exactly the bytes of `w` equal to `c` (no borrow reaches
// a neighbouring byte).
inline uint64_t bytes_equal_exact(uint64_t w, unsigned char c) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t x = w ^ (0x0101010101010101ull * c);
  return ~(((x & kLow7) + kLow7) | x) & ~kLow7;
}

// A byte that trimming never removes from either end of a text: printable
// ASCII other than the space (trim_white_space() keeps such ends as they are).
inline bool kept_end(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x80;
}

}  // namespace prefix_keys_detail

// True when every key that for_each_value_key(value) gives is a prefix of
// `value`, in which case `keys` holds their ends in the same order (none for
// an empty value); false, `keys` unspecified, when the value holds "|", an
// empty or untrimmed "."-separated sub-piece, or more than PrefixKeys::kMax
// of them: then only for_each_value_key() tells its keys.
[[gnu::always_inline]] inline bool find_prefix_keys(std::string_view value, PrefixKeys& keys) {
  using prefix_keys_detail::kept_end;
  keys.count = 0;
  const size_t n = value.size();
  if (n == 0) return true;
  if (n > UINT32_MAX) return false;
  const char* const p = value.data();
  size_t start = 0;  // of the sub-piece being read
  auto end_piece = [&](size_t end) {
    if (end == start || !kept_end(p[start]) || !kept_end(p[end - 1]) || keys.count == PrefixKeys::kMax) return false;
    keys.ends[keys.count++] = static_cast<uint32_t>(end);
    start = end + 1;
    return true;
  };
  if constexpr (std::endian::native == std::endian::little) {
    for (size_t at = 0; at < n; at += 8) {
      const uint64_t w = n - at >= 8 ? text_word(p + at) : short_text_word(p + at, n - at);  // zeros: no separator
      if (prefix_keys_detail::bytes_equal_exact(w, '|') != 0) return false;
      for (uint64_t dots = prefix_keys_detail::bytes_equal_exact(w, '.'); dots != 0; dots &= dots - 1) {
        if (!end_piece(at + static_cast<size_t>(std::countr_zero(dots)) / 8)) return false;
      }
    }
  } else {
    for (size_t at = 0; at < n; ++at) {
      if (p[at] == '|') return false;
      if (p[at] == '.' && !end_piece(at)) return false;
    }
  }
  if (keys.count == 0) {
    keys.ends[keys.count++] = static_cast<uint32_t>(n);
    return true;
  }
  return end_piece(n);
}

}  // namespace vedra
