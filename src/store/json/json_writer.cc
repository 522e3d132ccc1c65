#include "store/json/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "store/json/byte_scan.h"

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
constexpr char kHexLower[] = "0123456789abcdef";

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

void write_json_string(std::string_view s, std::string& out) {
  out.push_back('"');
  const char* p = s.data();
  const char* const end = p + s.size();
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
      const char u[6] = {'\\', 'u', '0', '0', kHexLower[c >> 4], kHexLower[c & 15]};
      out.append(u, 6);
    } else {
      const char two[2] = {'\\', e};
      out.append(two, 2);
    }
    run = ++p;
  }
  out.append(run, static_cast<size_t>(p - run));
  out.push_back('"');
}

void append_json_number_text(double d, std::string& out) {
  if (d == 0) {
    out.append(std::signbit(d) ? "-0.0" : "0.0");
    return;
  }
  // Shortest round-trip digits in the form [-]d[.ddd]e(+|-)xx.
  char sci[32];
  const auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  const char* q = sci;
  char text[48];
  char* o = text;
  if (*q == '-') {
    *o++ = '-';
    ++q;
  }
  char digits[24];
  int n = 0;
  for (; *q != 'e'; ++q) {
    if (*q != '.') digits[n++] = *q;
  }
  ++q;  // 'e'
  if (*q == '+') ++q;
  int exp = 0;
  std::from_chars(q, r.ptr, exp);

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
