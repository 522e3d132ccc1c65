// The shortest round-trip decimal digits of a double, shared by the JSON
// number text (json_writer.h) and the positional text of field values
// (number_text.h), so that both spell a value with the same digits.
#pragma once

namespace vedra {

// Room for the digits shortest_digits() writes.
inline constexpr int kShortestDigitsRoom = 24;

// The shortest digits that read back as `a` (no trailing zeros, at least
// one), as std::to_chars gives them in scientific form, into `digits` (room
// for kShortestDigitsRoom), with their count `n` and `exp`, the decimal
// exponent of the first.  Values of a few decimals (prices, rates, sizes)
// take a short path that finds the same digits without the general search.
// REQUIRES: a is finite and positive.
void shortest_digits(double a, char* digits, int& n, int& exp);

}  // namespace vedra
