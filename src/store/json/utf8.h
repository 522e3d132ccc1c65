// UTF-8: the one encoder of code points, and the one decoder, which is also
// the one well-formedness check.
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

// Decodes the sequence starting at p (lead byte >= 0x80): returns its length
// (2 to 4) with its code point in `cp`; 0 when it is ill-formed (overlong
// forms, surrogates, code points above U+10FFFF), -1 when the text ends
// inside it, `cp` then unspecified.  Inline, for the decoders of hot paths;
// a caller that wants the length only gets the same code without the
// arithmetic of `cp`.  REQUIRES: p < end.
inline int decode_utf8_sequence(const unsigned char* p, const unsigned char* end, uint32_t& cp) {
  const unsigned char c = p[0];
  int len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if (p + i == end) return -1;
    const unsigned char lo_i = i == 1 ? lo : 0x80, hi_i = i == 1 ? hi : 0xBF;
    if (p[i] < lo_i || p[i] > hi_i) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  return len;
}

// decode_utf8_sequence() without the code point, out of line for the
// validating scanners.  REQUIRES: p < end.
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
