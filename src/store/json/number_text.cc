#include "store/json/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vedra {

void append_positional_double(double d, std::string& out) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  if (std::signbit(d)) out += '-';
  d = std::fabs(d);
  if (d == 0) {
    out += '0';
    return;
  }
  // Shortest digits and decimal exponent: "d.ddde[+-]x".
  char buf[40];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* e = buf;
  while (*e != 'e') ++e;
  std::string digits;
  for (const char* p = buf; p < e; ++p) {
    if (*p != '.') digits += *p;
  }
  int exp = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), res.ptr, exp);
  const int n = static_cast<int>(digits.size());
  if (exp >= n - 1) {  // integral
    out += digits;
    out.append(static_cast<size_t>(exp - (n - 1)), '0');
  } else if (exp >= 0) {
    out.append(digits, 0, static_cast<size_t>(exp + 1));
    out += '.';
    out.append(digits, static_cast<size_t>(exp + 1), std::string::npos);
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  }
}

void append_int64(int64_t v, std::string& out) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

}  // namespace vedra
