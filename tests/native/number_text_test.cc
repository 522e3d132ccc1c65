// Positional (exponent-free) text of doubles, as value_to_text writes them.
#include "store/json/number_text.h"

#include <string>
#include <utility>

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
