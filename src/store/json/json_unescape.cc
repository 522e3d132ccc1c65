#include "store/json/json_unescape.h"

#include <cstddef>
#include <cstdint>

#include "base/hex.h"
#include "store/json/byte_scan.h"

namespace vedra {

const char* unescape_written_string(const char* p, const char* end, std::string& out) {
  for (;;) {
    const char* const run = p;
    uint64_t seen = 0;  // unused: the bytes are copied whatever they are
    p = skip_plain_string_bytes(p, end, seen);
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
        const int high = lower_hex_digit_value(p[4]), low = lower_hex_digit_value(p[5]);
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
