#include "store/json/utf8.h"

namespace vedra {

int utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  uint32_t cp;
  return decode_utf8_sequence(p, end, cp);
}

}  // namespace vedra
