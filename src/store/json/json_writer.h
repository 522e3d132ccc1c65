// The JSON writer: the text form shared by payload read-back, snapshots,
// flattening and ingestion.
//
// Compact (no white space), members in stored (ascending key) order, strings
// escaped as: \" \\ \b \t \n \f \r, other U+0000..U+001F as \u00xx
// (lowercase hex), everything else (solidus, U+007F, non-ASCII) raw UTF-8.
// Integers in plain decimal; doubles as json_number_text().
//
// Thread safety: pure functions; a JsonObjectWriter is used by one thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "store/json/byte_scan.h"
#include "store/json/json_value.h"

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

// The most bytes put_json_string writes for a text of `n` bytes.
inline constexpr size_t json_string_bound(size_t n) { return 6 * n + 2; }
namespace json_writer_detail {
// Writes the escape of `c`, a byte that needs one; returns the end.
char* put_escaped_byte(char* w, unsigned char c);
}  // namespace json_writer_detail

// Writes `s` as write_json_string appends it, at `w`; returns the end.  For
// writers that manage their own buffer: no capacity check per byte, and
// inline, since catalogue texts are short and many.
// REQUIRES: json_string_bound(s.size()) writable bytes at `w`.
inline char* put_json_string(char* w, std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
  *w++ = '"';
  const size_t n = s.size();
  // Catalogue texts are mostly short and plain: up to sixteen bytes are
  // checked and copied as two overlapping words (or bytes) at once, and only
  // a text that needs an escape goes on to the loop below.
  if (n >= 8 && n <= 16) {
    const uint64_t head = load8(p);
    const uint64_t tail = load8(end - 8);
    if ((string_stop_bytes(head) | string_stop_bytes(tail)) == 0) {
      std::memcpy(w, &head, sizeof head);
      std::memcpy(w + n - 8, &tail, sizeof tail);
      w[n] = '"';
      return w + n + 1;
    }
  } else if (n != 0 && n < 4) {
    // The first, middle and last bytes cover a text of one to three, in a
    // word whose other bytes are plain.
    const auto first = static_cast<unsigned char>(p[0]);
    const auto middle = static_cast<unsigned char>(p[n / 2]);
    const auto last = static_cast<unsigned char>(end[-1]);
    const uint64_t v = first | (uint32_t{middle} << 8) | (uint32_t{last} << 16) | (uint64_t{0x6161616161} << 24);
    if (string_stop_bytes(v) == 0) {
      w[0] = static_cast<char>(first);
      w[n / 2] = static_cast<char>(middle);
      w[n - 1] = static_cast<char>(last);
      w[n] = '"';
      return w + n + 1;
    }
  } else if (n >= 4 && n < 8) {
    // Two overlapping halves make one word of the text (zeros above it,
    // which the mask drops: a borrow only marks bytes above its cause).
    uint32_t low, high;
    std::memcpy(&low, p, sizeof low);
    std::memcpy(&high, end - 4, sizeof high);
    const uint64_t v = low | (uint64_t{high} << (8 * (n - 4)));
    if ((string_stop_bytes(v) & ((uint64_t{1} << (8 * n)) - 1)) == 0) {
      std::memcpy(w, &low, sizeof low);
      std::memcpy(w + n - 4, &high, sizeof high);
      w[n] = '"';
      return w + n + 1;
    }
  }
  // Whole words are stored before they are checked: the bound leaves room
  // for eight bytes wherever eight bytes of text remain.
  while (end - p >= 8) {
    const uint64_t v = load8(p);
    const uint64_t stops = string_stop_bytes(v);
    std::memcpy(w, &v, sizeof v);
    if (stops == 0) {
      w += 8;
      p += 8;
      continue;
    }
    const size_t plain = static_cast<size_t>(std::countr_zero(stops)) / 8;  // the lowest stop is exact
    w = json_writer_detail::put_escaped_byte(w + plain, static_cast<unsigned char>(p[plain]));
    p += plain + 1;
  }
  const size_t left = static_cast<size_t>(end - p);
  if (left != 0 && s.size() >= 8) {
    // The last word overlaps bytes already done.  When none of its eight
    // bytes needs an escape, those were written as they are, and the word
    // is stored whole over them.
    const uint64_t v = load8(end - 8);
    if (string_stop_bytes(v) == 0) {
      std::memcpy(w - (8 - left), &v, sizeof v);
      w += left;
      *w++ = '"';
      return w;
    }
  }
  for (; p != end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') {
      *w++ = static_cast<char>(c);
    } else {
      w = json_writer_detail::put_escaped_byte(w, c);
    }
  }
  *w++ = '"';
  return w;
}

// Appends a compact object member whose value is a string: "," unless
// `first`, then the escaped key, ":" and the escaped value.
void write_json_string_member(std::string_view key, std::string_view value, bool first, std::string& out);

// The length of the longest prefix of `s` that write_json_string copies as
// it is (no quotation mark, backslash or control character).
size_t json_plain_prefix(std::string_view s);

// The text of a finite double: shortest round-trip digits, positional for
// decimal exponents -5..15 (integral values end in ".0"), scientific otherwise
// ("1e+16", "1.5e-7").  Zero is "0.0", negative zero "-0.0".
std::string json_number_text(double d);
void append_json_number_text(double d, std::string& out);

// Appends the decimal digits of an integer ("-" before negative values).
void append_json_integer(uint64_t v, std::string& out);
void append_json_integer(int64_t v, std::string& out);

// Writes one JSON object member by member into a string, for code that
// assembles an object from its own parts instead of holding a JsonValue:
//
//   JsonObjectWriter o(out);       // "{"
//   o.string("code", code);        // "code":"..."
//   o.key("fields");               // ,"fields":   then exactly one value
//   write_json_string(v, out);     //   written by the caller
//   o.end();                       // "}"
//
// Keys are escaped by write_json_string.  Members are written in call order:
// the caller provides ascending key order where the text form requires it.
// kIndented is the manifest's layout: "{", one member per line as two
// spaces, key, ": " and value, "," after every member but the last, then
// "}" on its own line, no line feed after it; an empty object is "{}" in
// both layouts.  The writer keeps no pointer into `out` and only appends, so
// the caller may hand off and clear the text written so far between members
// (streaming large payloads).
class JsonObjectWriter {
 public:
  enum class Layout { kCompact, kIndented };

  explicit JsonObjectWriter(std::string& out, Layout layout = Layout::kCompact) : out_(out), layout_(layout) {
    out_ += '{';
  }
  JsonObjectWriter(const JsonObjectWriter&) = delete;
  JsonObjectWriter& operator=(const JsonObjectWriter&) = delete;

  // Starts a member: the separator, the escaped key and the colon.  The
  // caller then appends exactly one JSON value to the string.
  void key(std::string_view k) {
    if (layout_ == Layout::kCompact) {
      if (!first_) out_ += ',';
    } else {
      out_ += first_ ? "\n  " : ",\n  ";
    }
    first_ = false;
    write_json_string(k, out_);
    if (layout_ == Layout::kCompact) {
      out_ += ':';
    } else {
      out_ += ": ";
    }
  }
  // A member whose value is a JSON string.
  void string(std::string_view k, std::string_view value) {
    if (layout_ == Layout::kIndented) {
      key(k);
      write_json_string(value, out_);
      return;
    }
    write_json_string_member(k, value, first_, out_);
    first_ = false;
  }
  // A member whose value is already JSON text (written as is).
  void raw(std::string_view k, std::string_view json_text) {
    key(k);
    out_ += json_text;
  }
  // A member whose value is an unsigned integer.
  void number(std::string_view k, uint64_t value) {
    key(k);
    append_json_integer(value, out_);
  }
  // Closes the object.  REQUIRES: called once, last.
  void end() {
    if (layout_ == Layout::kIndented && !first_) out_ += '\n';
    out_ += '}';
  }

 private:
  std::string& out_;
  const Layout layout_;
  bool first_ = true;
};

}  // namespace vedra
