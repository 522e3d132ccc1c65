// The JSON reader: parse_json() and the token-level JsonReader behind it and
// behind the streaming decoders of snapshot payloads.
//
// RFC 8259 with leading/trailing white space (space, tab, LF, CR), nesting
// limit 128 (the 128th level fails with "recursion limit exceeded"),
// last-wins duplicate keys, integers as u64 / i64 when they fit and doubles
// otherwise (correctly rounded; "number out of range" on overflow), strings
// validated as UTF-8.  Failure messages are "<description> at line L column C".
//
// For text of any origin.  Strings of text the engine wrote itself can be
// decoded without these checks (json_unescape.h).
//
// A reader walks one complete text from its first byte; callers drive it
// value by value (parse_value, parse_string, skip_value, ...) or member by
// member when they decode a fixed shape directly from the text without
// building a JsonValue.  Every method that can fail returns false after
// recording the first failure; the caller stops and returns error().  After a
// failure the cursor is unspecified and the reader must not be used further.
//
// Positions.  A failure is reported as "<description> at line L column C":
// L is 1-based and counts line feeds before the faulty byte; C is the 1-based
// byte column of the byte at which the fault was detected.  A fault found at
// the end of the text points at the last byte consumed (column 0 for an empty
// text).  Line and column are computed only when a failure is formatted.
//
// Faults beyond the grammar's plain ones:
//  - "\udc00".."\udfff" without a preceding leading surrogate, and a leading
//    surrogate followed by a "\u" escape that is not a trailing surrogate:
//    "invalid unicode code point" (at the last hex digit); a leading
//    surrogate followed by anything else: "lone leading surrogate in hex
//    escape".  Surrogate pairs are combined.
//  - a byte sequence in a string that is not well-formed UTF-8 (overlong
//    forms, encoded surrogates and code points above U+10FFFF included):
//    "invalid UTF-8 in string" at its first byte.
//  - the text ending inside a number ("-", "1.", "1e+"): "EOF while parsing
//    a value"; a non-digit where a digit must follow ("-x", "1.x", "01"):
//    "invalid number".
//  - "-0" (no fraction, no exponent) reads as the double -0.0: negative
//    integers are held as signed integers only when below zero.
//  - a number whose magnitude underflows the double range reads as a zero of
//    its sign; one that overflows it fails with "number out of range".
//
// Depth.  `depth` arguments count the containers already open around the
// value about to be read (0 at top level).  Opening a container at depth
// kJsonMaxDepth (that is, the 128th level) fails with "recursion limit
// exceeded".
//
// Thread safety: a reader is a cursor over caller-owned bytes; distinct
// readers may be used concurrently, one reader by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "store/json/json_value.h"

namespace vedra {

// The deepest container nesting the reader accepts.
inline constexpr int kJsonMaxDepth = 127;

// Parses exactly one JSON value (surrounded by optional white space).
Result<JsonValue> parse_json(std::string_view text);

// As above with another nesting limit: containers may nest `max_depth`
// levels.  For re-reading texts the engine wrote itself.
Result<JsonValue> parse_json(std::string_view text, int max_depth);

class JsonReader {
 public:
  // REQUIRES: `text` outlives the reader.
  explicit JsonReader(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // --- cursor ---------------------------------------------------------------
  bool at_end() const { return p_ == end_; }
  // REQUIRES: !at_end().
  char peek() const { return *p_; }
  void advance() { ++p_; }
  // Moves the cursor forward to `to`, past bytes the caller has checked.
  // REQUIRES: cursor() <= to <= end of text.
  void jump_to(const char* to) { p_ = to; }
  // The byte under the cursor (end of text when at_end()).
  const char* cursor() const { return p_; }
  // Skips space, tab, line feed and carriage return.
  void skip_ws() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r')) ++p_;
  }

  // --- values ---------------------------------------------------------------
  // Skips white space, then reads one value into `out` (objects sorted by
  // key, last duplicate wins).
  bool parse_value(JsonValue& out, int depth);
  // Skips white space, then checks one value without building it; the same
  // faults are detected as by parse_value().
  bool skip_value(int depth);
  // Reads a string into `out` (replacing its contents), validating UTF-8 and
  // decoding escapes.  REQUIRES: peek() == '"'.
  bool parse_string(std::string& out);
  // As parse_string(), but `out` views the text itself when the string holds
  // no escape, and `scratch` (which then holds the decoded text) otherwise.
  bool parse_string_view(std::string_view& out, std::string& scratch);

  // Fails with "recursion limit exceeded" at the current byte when a
  // container opened at `depth` would exceed the nesting limit.
  bool check_depth(int depth);
  // Containers may nest `max_depth` levels (default kJsonMaxDepth).
  void set_max_depth(int max_depth) { max_depth_ = max_depth; }
  // For a text that is a window into a longer one: its first byte lies at
  // `line` and `column` (both 1-based) of the longer text, and failures are
  // positioned in that text.  Default (1, 1).
  void set_origin(uint64_t line, uint64_t column) {
    origin_line_ = line;
    origin_column_ = column;
  }

  // Skips white space, then records "invalid type: <found>, expected
  // <expected>" for the value that starts there, where <found> is `map`,
  // `sequence`, `string "abc"`, `integer `5``, `floating point `1.5``,
  // `boolean `true`` or `null`.  A scalar is read first (so a malformed
  // scalar reports its syntax fault instead), and the position is its last
  // byte; for a container the position is its opening bracket.  Always
  // returns false.
  bool fail_invalid_type(int depth, std::string_view expected);

  // --- failures -------------------------------------------------------------
  // Records `description` at byte `at` (clamped to the last byte of the
  // text).  Only the first recorded failure is kept.  Always returns false.
  bool fail_at(std::string description, const char* at);
  // At the byte under the cursor (or the last byte at the end).
  bool fail_here(std::string description) { return fail_at(std::move(description), p_); }
  // At the byte just consumed.
  bool fail_prev(std::string description) { return fail_at(std::move(description), p_ - 1); }

  // The recorded failure as "<description> at line L column C".
  // REQUIRES: a method returned false.
  Status error() const;
  // The recorded failure's byte offset in the text (clamped as above: the
  // last byte for a fault at the end, -1 for an empty text).
  std::ptrdiff_t error_offset() const { return error_offset_; }

 private:
  template <bool kBuild>
  bool scan_string(std::string* out);
  bool parse_number(JsonValue& out);
  bool parse_literal(const char* word, size_t len);
  bool parse_array(JsonValue& out, int depth);
  bool parse_object(JsonValue& out, int depth);
  bool skip_container(int depth);
  bool read_hex4(unsigned& out);

  const char* const begin_;
  const char* p_;
  const char* const end_;
  // Scratch stacks of the members of the containers being read; each
  // container uses the part above the size it found on entry.
  std::vector<JsonValue> element_stack_;
  std::vector<JsonMember> member_stack_;
  std::string error_;                // empty until the first failure
  std::ptrdiff_t error_offset_ = 0;  // byte offset of the failure; -1 for an empty text
  int max_depth_ = kJsonMaxDepth;
  uint64_t origin_line_ = 1, origin_column_ = 1;
  bool string_had_escape_ = false;  // of the string scan_string() last read
};

}  // namespace vedra
