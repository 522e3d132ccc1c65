#include "store/json/json_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "base/hex.h"
#include "store/json/byte_scan.h"
#include "store/json/shortest_digits.h"

namespace vedra {

namespace {

// kEscape[b] is 0 for a byte written as is, else the letter that follows the
// backslash ('u' for the \u00xx form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

// True when none of the 8 bytes at p needs escaping by the writer.
inline bool plain_for_writer(const char* p) { return string_stop_bytes(load8(p)) == 0; }

// Kept out of line so that the recursive frames of write_value stay small:
// values may be nested a few thousand levels deep.
[[gnu::noinline]] void write_scalar(const JsonValue& value, std::string& out) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      out.append("null", 4);
      break;
    case JsonValue::Kind::Bool:
      if (std::get<bool>(value.v)) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      break;
    case JsonValue::Kind::UInt:
      append_json_integer(std::get<uint64_t>(value.v), out);
      break;
    case JsonValue::Kind::Int:
      append_json_integer(std::get<int64_t>(value.v), out);
      break;
    case JsonValue::Kind::Double:
      append_json_number_text(std::get<double>(value.v), out);
      break;
    case JsonValue::Kind::String:
      write_json_string(value.as_string(), out);
      break;
    case JsonValue::Kind::Array:
    case JsonValue::Kind::Object:
      break;  // not scalars
  }
}

void write_value(const JsonValue& value, std::string& out) {
  switch (value.kind()) {
    case JsonValue::Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& element : value.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_value(element, out);
      }
      out.push_back(']');
      break;
    }
    case JsonValue::Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const JsonMember& member : value.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_json_string(member.key, out);
        out.push_back(':');
        write_value(member.value, out);
      }
      out.push_back('}');
      break;
    }
    default:
      write_scalar(value, out);
  }
}

}  // namespace

void write_json_compact(const JsonValue& value, std::string& out) { write_value(value, out); }

void append_json_integer(uint64_t v, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_json_integer(int64_t v, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

size_t json_plain_prefix(std::string_view s) {
  const char* const p = s.data();
  const size_t n = s.size();
  size_t i = 0;
  while (n - i >= 8) {
    const uint64_t stops = string_stop_bytes(load8(p + i));
    if (stops != 0) return i + static_cast<size_t>(std::countr_zero(stops)) / 8;
    i += 8;
  }
  if (n >= 8) {
    // The last word overlaps words already found plain: only its new bytes
    // can stop, and the first stop among them is the first of the text.
    const uint64_t stops = string_stop_bytes(load8(p + n - 8));
    return stops == 0 ? n : n - 8 + static_cast<size_t>(std::countr_zero(stops)) / 8;
  }
  while (i < n && kEscape[static_cast<unsigned char>(p[i])] == 0) ++i;
  return i;
}

namespace {

// Appends s[from..] escaped, from its first byte that needs an escape.
void write_escaped_tail(std::string_view s, size_t from, std::string& out) {
  const char* p = s.data() + from;
  const char* const end = s.data() + s.size();
  const char* run = p;
  while (p != end) {
    if (end - p >= 8 && plain_for_writer(p)) {
      p += 8;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(*p);
    const char e = kEscape[c];
    if (e == 0) {
      ++p;
      continue;
    }
    out.append(run, static_cast<size_t>(p - run));
    if (e == 'u') {
      const char u[6] = {'\\', 'u', '0', '0', kLowerHexDigits[c >> 4], kLowerHexDigits[c & 15]};
      out.append(u, 6);
    } else {
      const char two[2] = {'\\', e};
      out.append(two, 2);
    }
    run = ++p;
  }
  out.append(run, static_cast<size_t>(p - run));
}

}  // namespace

void write_json_string(std::string_view s, std::string& out) {
  const size_t plain = json_plain_prefix(s);
  out.push_back('"');
  out.append(s.data(), plain);
  if (plain != s.size()) write_escaped_tail(s, plain, out);
  out.push_back('"');
}

namespace json_writer_detail {

char* put_escaped_byte(char* w, unsigned char c) {
  const char e = kEscape[c];
  *w++ = '\\';
  *w++ = e;
  if (e == 'u') {
    *w++ = '0';
    *w++ = '0';
    *w++ = kLowerHexDigits[c >> 4];
    *w++ = kLowerHexDigits[c & 15];
  }
  return w;
}

}  // namespace json_writer_detail

void write_json_string_member(std::string_view key, std::string_view value, bool first, std::string& out) {
  // Catalogue members are short and plain: one append of the whole
  // `,"key":"value"` from a buffer on the stack.
  constexpr size_t kShort = 192;
  if (key.size() + value.size() <= kShort && json_plain_prefix(key) == key.size() &&
      json_plain_prefix(value) == value.size()) {
    char buf[kShort + 6];
    char* w = buf;
    if (!first) *w++ = ',';
    *w++ = '"';
    std::memcpy(w, key.data(), key.size());
    w += key.size();
    *w++ = '"';
    *w++ = ':';
    *w++ = '"';
    std::memcpy(w, value.data(), value.size());
    w += value.size();
    *w++ = '"';
    out.append(buf, static_cast<size_t>(w - buf));
    return;
  }
  if (!first) out.push_back(',');
  write_json_string(key, out);
  out.push_back(':');
  write_json_string(value, out);
}


void append_json_number_text(double d, std::string& out) {
  if (d == 0) {
    out.append(std::signbit(d) ? "-0.0" : "0.0");
    return;
  }
  char text[48];
  char* o = text;
  char digits[kShortestDigitsRoom];
  int n = 0;
  int exp = 0;
  if (d < 0) *o++ = '-';
  shortest_digits(std::fabs(d), digits, n, exp);

  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exp - 1; ++i) *o++ = '0';
      o = std::copy(digits, digits + n, o);
    } else if (n - 1 <= exp) {
      o = std::copy(digits, digits + n, o);
      for (int i = 0; i < exp - (n - 1); ++i) *o++ = '0';
      *o++ = '.';
      *o++ = '0';
    } else {
      o = std::copy(digits, digits + exp + 1, o);
      *o++ = '.';
      o = std::copy(digits + exp + 1, digits + n, o);
    }
  } else {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      o = std::copy(digits + 1, digits + n, o);
    }
    *o++ = 'e';
    *o++ = exp < 0 ? '-' : '+';
    o = std::to_chars(o, text + sizeof text, exp < 0 ? -exp : exp).ptr;
  }
  out.append(text, o);
}

std::string json_number_text(double d) {
  std::string s;
  append_json_number_text(d, s);
  return s;
}

}  // namespace vedra
