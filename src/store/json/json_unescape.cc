#include "store/json/json_unescape.h"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "store/json/byte_scan.h"

namespace vedra {
namespace {

inline bool plain_string_byte(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
}

inline int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

const char* unescape_written_string(const char* p, const char* end, std::string& out) {
  for (;;) {
    const char* const run = p;
    // Eight bytes at a time; on little-endian machines the first stop byte
    // is found from the word itself (the lowest address is the lowest byte).
    while (end - p >= 8) {
      const uint64_t stop = string_stop_bytes(load8(p));
      if (stop != 0) {
        if constexpr (std::endian::native == std::endian::little) p += std::countr_zero(stop) >> 3;
        break;
      }
      p += 8;
    }
    while (p != end && plain_string_byte(*p)) ++p;
    out.append(run, static_cast<size_t>(p - run));
    if (p == end) return nullptr;
    if (*p == '"') return p + 1;
    if (*p != '\\' || end - p < 2) return nullptr;  // a raw control character, or the end
    switch (p[1]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        if (end - p < 6 || p[2] != '0' || p[3] != '0') return nullptr;
        const int high = lower_hex_value(p[4]), low = lower_hex_value(p[5]);
        if (high < 0 || high > 1 || low < 0) return nullptr;
        out += static_cast<char>(high * 16 + low);
        p += 6;
        continue;
      }
      default:
        return nullptr;
    }
    p += 2;
  }
}

}  // namespace vedra
