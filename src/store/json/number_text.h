// Texts of numbers as field and filter values.
#pragma once

#include <cstdint>
#include <string>

namespace vedra {

// Positional (never exponent) text of a double from its shortest round-trip
// digits: 1.5 -> "1.5", 2.0 -> "2", 1e21 -> "1000000000000000000000",
// 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", infinities "inf"/"-inf".
void append_positional_double(double d, std::string& out);

void append_int64(int64_t v, std::string& out);

}  // namespace vedra
