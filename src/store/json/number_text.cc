#include "store/json/number_text.h"

#include <cmath>

#include "store/json/shortest_digits.h"

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
  char digits[kShortestDigitsRoom];
  int n = 0, exp = 0;
  shortest_digits(d, digits, n, exp);
  if (exp >= n - 1) {  // integral
    out.append(digits, static_cast<size_t>(n));
    out.append(static_cast<size_t>(exp - (n - 1)), '0');
  } else if (exp >= 0) {
    const size_t whole = static_cast<size_t>(exp + 1);
    out.append(digits, whole);
    out += '.';
    out.append(digits + whole, static_cast<size_t>(n) - whole);
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out.append(digits, static_cast<size_t>(n));
  }
}

}  // namespace vedra
