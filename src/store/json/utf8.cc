#include "store/json/utf8.h"

namespace vedra {

int utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  int len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if (p + i == end) return -1;
    const unsigned char lo_i = i == 1 ? lo : 0x80, hi_i = i == 1 ? hi : 0xBF;
    if (p[i] < lo_i || p[i] > hi_i) return 0;
  }
  return len;
}

}  // namespace vedra
