// The JSON text form shared by payload read-back, snapshots and flattening.
//
// Writer: compact (no white space), members in stored (ascending key) order,
// strings escaped as: \" \\ \b \t \n \f \r, other U+0000..U+001F as \u00xx
// (lowercase hex), everything else (solidus, U+007F, non-ASCII) raw UTF-8.
// Integers in plain decimal; doubles as json_number_text().
//
// Reader: RFC 8259 with leading/trailing white space (space, tab, LF, CR),
// nesting limit 128 (the 128th level fails with "recursion limit exceeded"),
// last-wins duplicate keys, integers as u64 / i64 when they fit and doubles
// otherwise (correctly rounded; "number out of range" on overflow), strings
// validated as UTF-8.  Failure messages are "<description> at line L column C".
#pragma once

#include <string>
#include <string_view>

#include "base/status.h"
#include "store/json_value.h"

namespace vedra {

// Appends the compact text of `value` to `out`.  Cannot fail.
void write_json_compact(const JsonValue& value, std::string& out);
inline std::string write_json_compact(const JsonValue& value) {
  std::string s;
  write_json_compact(value, s);
  return s;
}

// Appends `s` as a quoted, escaped JSON string.
void write_json_string(std::string_view s, std::string& out);

// The text of a finite double: shortest round-trip digits, positional for
// decimal exponents -5..15 (integral values end in ".0"), scientific otherwise
// ("1e+16", "1.5e-7").  Zero is "0.0", negative zero "-0.0".
std::string json_number_text(double d);
void append_json_number_text(double d, std::string& out);

// Length of the well-formed UTF-8 sequence starting at p (lead byte >= 0x80),
// 0 when it is ill-formed (overlong forms, surrogates, code points above
// U+10FFFF), -1 when the text ends inside it.  REQUIRES: p < end.
int utf8_sequence_length(const unsigned char* p, const unsigned char* end);

// The deepest container nesting the reader accepts.
inline constexpr int kJsonMaxDepth = 127;

// Parses exactly one JSON value (surrounded by optional white space).
Result<JsonValue> parse_json(std::string_view text);

// As above with another nesting limit: containers may nest `max_depth`
// levels.  For re-reading texts the engine wrote itself.
Result<JsonValue> parse_json(std::string_view text, int max_depth);

}  // namespace vedra
