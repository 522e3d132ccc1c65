#include "store/json/shortest_digits.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

namespace vedra {
namespace {

// The shortest round-trip digits of a positive double of a few decimals
// (prices, rates, sizes), without the general search: the fewest decimals
// k for which some integer c below 2^53 has c / 10^k == a.  c and 10^k are
// exact, so that quotient is correctly rounded, as reading c·10^-k back
// is; every such c lies within two of the rounded a·10^k, so the five
// integers around it are all the candidates of k.  A level with more than
// one (a tie the general search settles by closeness) is left to it.
// Fills `digits` (no trailing zeros) and `exp`, the decimal exponent of the
// first; false when the general search must decide.
bool few_decimals_digits(double a, char* digits, int& n, int& exp) {
  static constexpr double kPow10[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7};
  constexpr double kExactIntegers = 9007199254740992.0;  // 2^53
  if (!(a >= 1e-4 && a < 1e14)) return false;
  for (int k = 0; k < static_cast<int>(std::size(kPow10)); ++k) {
    const double scaled = a * kPow10[k];
    if (scaled >= kExactIntegers - 4) return false;
    const double m = std::nearbyint(scaled);
    double found = 0;
    int hits = 0;
    for (double c = m - 2; c <= m + 2; c += 1) {
      if (c > 0 && c / kPow10[k] == a) {
        found = c;
        ++hits;
      }
    }
    if (hits > 1) return false;
    if (hits == 0) continue;
    char* const end = std::to_chars(digits, digits + 20, static_cast<uint64_t>(found)).ptr;
    const int len = static_cast<int>(end - digits);
    n = len;
    while (n > 1 && digits[n - 1] == '0') --n;
    exp = len - 1 - k;
    return true;
  }
  return false;
}


}  // namespace

void shortest_digits(double a, char* digits, int& n, int& exp) {
  if (few_decimals_digits(a, digits, n, exp)) return;
  // Shortest round-trip digits in the form d[.ddd]e(+|-)xx.
  char sci[32];
  const auto r = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
  const char* q = sci;
  n = 0;
  for (; *q != 'e'; ++q) {
    if (*q != '.') digits[n++] = *q;
  }
  ++q;  // 'e'
  if (*q == '+') ++q;
  std::from_chars(q, r.ptr, exp);
}

}  // namespace vedra
