// UTF-8: the one encoder of code points and the one well-formedness check.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vedra {

inline bool is_surrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

// Appends `cp` as UTF-8 (1 to 4 bytes).  A surrogate gets the three-byte form
// that strict decoders refuse and Python's "surrogatepass" error handler turns
// back into the lone surrogate; callers that must produce well-formed text
// use append_utf8_replacing_surrogates() or never pass one.
// REQUIRES: cp <= 0x10FFFF.
inline void append_utf8(uint32_t cp, std::string& out) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (cp >> 12));
    b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(b, n);
}

// As append_utf8(), with a surrogate written as U+FFFD: the result is always
// well-formed UTF-8.  REQUIRES: cp <= 0x10FFFF.
inline void append_utf8_replacing_surrogates(uint32_t cp, std::string& out) {
  append_utf8(is_surrogate(cp) ? 0xFFFD : cp, out);
}

// Length of the well-formed UTF-8 sequence starting at p (lead byte >= 0x80),
// 0 when it is ill-formed (overlong forms, surrogates, code points above
// U+10FFFF), -1 when the text ends inside it.  REQUIRES: p < end.
int utf8_sequence_length(const unsigned char* p, const unsigned char* end);

// utf8_sequence_length() for the scanners' inner loops: the three-byte forms
// whose second byte has the full continuation range (leads E1..EC, EE, EF:
// most CJK text) are decided inline, the rest out of line.
inline int utf8_sequence_length_inline(const unsigned char* p, const unsigned char* end) {
  if (end - p >= 3) {
    const unsigned lead = p[0];
    const bool plain_three = (lead - 0xE1u <= 0xECu - 0xE1u) || lead - 0xEEu <= 1u;
    if (plain_three && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) return 3;
  }
  return utf8_sequence_length(p, end);
}

}  // namespace vedra
