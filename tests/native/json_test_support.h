// Helpers shared by the tests of the JSON writer and reader.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/json/json_reader.h"
#include "store/json/json_value.h"

namespace vedra_test {

// The reader's failure message for `text`, or "<ok>".
inline std::string parse_message(std::string_view text) {
  auto r = vedra::parse_json(text);
  return r.ok() ? "<ok>" : r.status().message();
}

// An object value from members in any order (normalised as the reader does).
inline vedra::JsonValue object_of(std::vector<std::pair<std::string, vedra::JsonValue>> members) {
  vedra::JsonObject o;
  for (auto& [k, v] : members) o.push_back(vedra::JsonMember{k, std::move(v)});
  vedra::normalize_object(o);
  return vedra::JsonValue::object(std::move(o));
}

// A finite double drawn from shapes that exercise the number text's rules.
inline double random_finite_double(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0: {  // any bit pattern
      for (;;) {
        const uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) return d;
      }
    }
    case 1:  // short decimals
      return static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0;
    case 2:  // integral values around the positional/scientific border
      return std::ldexp(static_cast<double>(rng() % (uint64_t{1} << 53)), static_cast<int>(rng() % 12));
    case 3:  // decimal powers, scaled
      return static_cast<double>(rng() % 100 + 1) * std::pow(10.0, static_cast<int>(rng() % 44) - 22);
    default:  // small magnitudes around 1e-5 .. 1e-7
      return static_cast<double>(rng() % 100000) * 1e-10;
  }
}

}  // namespace vedra_test
