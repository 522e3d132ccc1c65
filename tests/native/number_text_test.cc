// Positional (exponent-free) text of doubles, as value_to_text writes them.
#include "store/json/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "test_rng.h"
#include "testing.h"

using namespace vedra;

TEST(NumberText, Positional) {
  const std::pair<double, const char*> cases[] = {
      {1.5, "1.5"}, {2.0, "2"}, {1e21, "1000000000000000000000"}, {1e-7, "0.0000001"},
      {-0.0, "-0"}, {18446744073709551616.0, "18446744073709552000"}, {123.456, "123.456"},
      {-2.5e-3, "-0.0025"}, {0.0, "0"},
  };
  for (const auto& [d, want] : cases) {
    std::string out;
    append_positional_double(d, out);
    EXPECT_EQ(out, std::string(want));
  }
}

// Against the text spelled from std::to_chars's scientific digits, over values
// of a few decimals (the short path) and arbitrary bit patterns.
TEST(NumberText, PositionalMatchesScientificDigits) {
  auto oracle = [](double d) {
    std::string out = std::signbit(d) ? "-" : "", digits;
    if ((d = std::fabs(d)) == 0) return out + "0";
    char buf[40];
    const std::string sci(buf, std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr);
    const size_t e = sci.find('e');
    for (size_t i = 0; i < e; ++i) digits += sci[i] == '.' ? "" : sci.substr(i, 1);
    const int exp = std::stoi(sci.substr(e + 1)), n = static_cast<int>(digits.size());
    if (exp >= n - 1) return out + digits + std::string(exp - (n - 1), '0');
    if (exp >= 0) return out + digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
    return out + "0." + std::string(-exp - 1, '0') + digits;
  };
  static constexpr double kScale[] = {1, 10, 100, 1e3, 1e4, 1e6, 1e8};
  vedra_testing::Rng rng(20261210);
  for (int i = 0; i < 200000; ++i) {
    const uint64_t bits = rng.next();
    double d = static_cast<double>(bits % 100000000) / kScale[rng.below(7)];
    if (i % 2 != 0) std::memcpy(&d, &bits, sizeof d);
    if (rng.below(4) == 0) d = -d;
    if (!std::isfinite(d)) continue;
    std::string out;
    append_positional_double(d, out);
    ASSERT_TRUE(out == oracle(d));
  }
}
