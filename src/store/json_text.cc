#include "store/json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "store/json_reader.h"

namespace vedra {

// ===========================================================================
// Writer
// ===========================================================================

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

// Word-at-a-time byte tests (exact for "is there any such byte").
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;
inline uint64_t bytes_equal(uint64_t w, unsigned char c) {
  const uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighBits;
}
inline uint64_t bytes_below_0x20(uint64_t w) { return (w - kOnes * 0x20) & ~w & kHighBits; }
inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
// True when none of the 8 bytes at p needs escaping by the writer.
inline bool plain_for_writer(const char* p) {
  const uint64_t w = load8(p);
  return (bytes_below_0x20(w) | bytes_equal(w, '"') | bytes_equal(w, '\\')) == 0;
}
// True when all 8 bytes at p are printable ASCII other than '"' and '\\'.
inline bool plain_for_reader(const char* p) {
  const uint64_t w = load8(p);
  return (bytes_below_0x20(w) | bytes_equal(w, '"') | bytes_equal(w, '\\') | (w & kHighBits)) == 0;
}

template <typename Int>
void append_integer(Int v, std::string& out) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

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
      append_integer(std::get<uint64_t>(value.v), out);
      break;
    case JsonValue::Kind::Int:
      append_integer(std::get<int64_t>(value.v), out);
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

// ===========================================================================
// Reader
// ===========================================================================

namespace {

// kStringPlain[b] is true for bytes that a string may hold as is and that
// need no further look: printable ASCII other than '"' and '\\'.
constexpr std::array<bool, 256> make_plain_table() {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[c] = true;
  t['"'] = false;
  t['\\'] = false;
  return t;
}
constexpr std::array<bool, 256> kStringPlain = make_plain_table();

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(unsigned cp, std::string& out) {
  char b[4];
  size_t n;
  if (cp < 0x80) {
    b[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<char>(0xE0 | (cp >> 12));
    b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    b[0] = static_cast<char>(0xF0 | (cp >> 18));
    b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(b, n);
}

// For a number text whose conversion fell outside the double range: true when
// its magnitude is at least 1 (overflow), false when below 1 (underflow).
bool magnitude_at_least_one(const char* p, const char* end) {
  if (*p == '-') ++p;
  long long mag;  // decimal exponent of the first significant digit, before the exponent part
  if (*p != '0') {
    const char* s = p;
    while (p != end && is_digit(*p)) ++p;
    mag = (p - s) - 1;
  } else {
    ++p;
    mag = -1;
    if (p != end && *p == '.') {
      ++p;
      while (p != end && *p == '0') {
        ++p;
        --mag;
      }
    }
  }
  while (p != end && *p != 'e' && *p != 'E') ++p;
  long long exp = 0;
  if (p != end) {
    ++p;
    bool neg = false;
    if (*p == '+' || *p == '-') neg = *p++ == '-';
    for (; p != end; ++p) {
      if (exp < 1000000000) exp = exp * 10 + (*p - '0');
    }
    if (neg) exp = -exp;
  }
  return mag + exp >= 0;
}

}  // namespace

int utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char c = p[0];
  int len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if (p + i == end) return -1;
    const unsigned char lo_i = i == 1 ? lo : 0x80, hi_i = i == 1 ? hi : 0xBF;
    if (p[i] < lo_i || p[i] > hi_i) return 0;
  }
  return len;
}


bool JsonReader::fail_at(std::string description, const char* at) {
  if (!error_.empty()) return false;
  error_ = std::move(description);
  const std::ptrdiff_t size = end_ - begin_;
  std::ptrdiff_t offset = at - begin_;
  if (offset >= size) offset = size - 1;  // the last byte consumed; -1 for an empty text
  error_offset_ = offset;
  return false;
}

Status JsonReader::error() const {
  size_t line = 1;
  std::ptrdiff_t line_start = 0;
  for (std::ptrdiff_t i = 0; i < error_offset_; ++i) {
    if (begin_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const std::ptrdiff_t column = error_offset_ - line_start + 1;
  return Status::Error(error_ + " at line " + std::to_string(line) + " column " + std::to_string(column));
}

bool JsonReader::check_depth(int depth) {
  if (depth >= max_depth_) return fail_here("recursion limit exceeded");
  return true;
}

bool JsonReader::read_hex4(unsigned& out) {
  unsigned v = 0;
  for (int i = 0; i < 4; ++i) {
    if (p_ == end_) return fail_here("EOF while parsing a string");
    const int h = hex_value(*p_);
    if (h < 0) return fail_here("invalid escape");
    v = v * 16 + static_cast<unsigned>(h);
    ++p_;
  }
  out = v;
  return true;
}

template <bool kBuild>
bool JsonReader::scan_string(std::string* out) {
  ++p_;  // opening quote
  string_had_escape_ = false;
  if constexpr (kBuild) out->clear();
  const char* run = p_;
  for (;;) {
    while (end_ - p_ >= 8 && plain_for_reader(p_)) p_ += 8;
    while (p_ != end_ && kStringPlain[static_cast<unsigned char>(*p_)]) ++p_;
    if (p_ == end_) return fail_here("EOF while parsing a string");
    const unsigned char c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      if constexpr (kBuild) out->append(run, static_cast<size_t>(p_ - run));
      ++p_;
      return true;
    }
    if (c == '\\') {
      string_had_escape_ = true;
      if constexpr (kBuild) out->append(run, static_cast<size_t>(p_ - run));
      ++p_;
      if (p_ == end_) return fail_here("EOF while parsing a string");
      char simple = 0;
      switch (*p_) {
        case '"': simple = '"'; break;
        case '\\': simple = '\\'; break;
        case '/': simple = '/'; break;
        case 'b': simple = '\b'; break;
        case 'f': simple = '\f'; break;
        case 'n': simple = '\n'; break;
        case 'r': simple = '\r'; break;
        case 't': simple = '\t'; break;
        case 'u': break;
        default: return fail_here("invalid escape");
      }
      ++p_;
      if (simple != 0) {
        if constexpr (kBuild) out->push_back(simple);
      } else {
        unsigned cp;
        if (!read_hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_prev("invalid unicode code point");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (p_ == end_) return fail_here("EOF while parsing a string");
          if (*p_ != '\\' || p_ + 1 == end_ || p_[1] != 'u') {
            return fail_here("lone leading surrogate in hex escape");
          }
          p_ += 2;
          unsigned low;
          if (!read_hex4(low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) return fail_prev("invalid unicode code point");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if constexpr (kBuild) append_utf8(cp, *out);
      }
      run = p_;
      continue;
    }
    if (c < 0x20) return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    // Non-ASCII: one well-formed UTF-8 sequence, kept in the current run.
    const int len = utf8_sequence_length(reinterpret_cast<const unsigned char*>(p_),
                                         reinterpret_cast<const unsigned char*>(end_));
    if (len < 0) {
      p_ = end_;
      return fail_here("EOF while parsing a string");
    }
    if (len == 0) return fail_here("invalid UTF-8 in string");
    p_ += len;
  }
}

bool JsonReader::parse_string(std::string& out) { return scan_string<true>(&out); }

bool JsonReader::parse_string_view(std::string_view& out, std::string& scratch) {
  const char* start = p_;
  if (!scan_string<false>(nullptr)) return false;
  if (!string_had_escape_) {
    out = std::string_view(start + 1, static_cast<size_t>(p_ - start) - 2);  // without the quotes
    return true;
  }
  p_ = start;  // escapes present: decode (rare in stored payloads)
  if (!scan_string<true>(&scratch)) return false;
  out = scratch;
  return true;
}

bool JsonReader::parse_literal(const char* word, size_t len) {
  for (size_t i = 0; i < len; ++i, ++p_) {
    if (p_ == end_) return fail_here("EOF while parsing a value");
    if (*p_ != word[i]) return fail_here("expected value");
  }
  return true;
}

bool JsonReader::parse_number(JsonValue& out) {
  const char* const start = p_;
  bool negative = false;
  if (*p_ == '-') {
    negative = true;
    ++p_;
  }
  if (p_ == end_) return fail_here("EOF while parsing a value");
  uint64_t acc = 0;
  bool overflow = false;
  if (*p_ == '0') {
    ++p_;
    if (p_ != end_ && is_digit(*p_)) return fail_here("invalid number");
  } else if (is_digit(*p_)) {
    for (; p_ != end_ && is_digit(*p_); ++p_) {
      const unsigned d = static_cast<unsigned>(*p_ - '0');
      if (acc > (std::numeric_limits<uint64_t>::max() - d) / 10) {
        overflow = true;
      } else {
        acc = acc * 10 + d;
      }
    }
  } else {
    return fail_here("invalid number");
  }
  bool integral = true;
  if (p_ != end_ && *p_ == '.') {
    integral = false;
    ++p_;
    if (p_ == end_) return fail_here("EOF while parsing a value");
    if (!is_digit(*p_)) return fail_here("invalid number");
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    integral = false;
    ++p_;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) return fail_here("EOF while parsing a value");
    if (!is_digit(*p_)) return fail_here("invalid number");
    while (p_ != end_ && is_digit(*p_)) ++p_;
  }

  if (integral && !overflow) {
    // "-0" is the integer 0, held as "0" is, so that it writes and reads back
    // as the same value.
    if (!negative || acc == 0) {
      out.v.emplace<uint64_t>(acc);
      return true;
    }
    // Only a fraction or an exponent ("-0.0", "-0e0") makes a negative zero
    // double, as Python's json reads it.
    if (acc <= (uint64_t{1} << 63)) {
      out.v.emplace<int64_t>(static_cast<int64_t>(0 - acc));
      return true;
    }
  }
  double d = 0;
  const auto r = std::from_chars(start, p_, d);
  if (r.ec == std::errc::result_out_of_range) {
    if (magnitude_at_least_one(start, p_)) return fail_prev("number out of range");
    d = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || r.ptr != p_) {
    return fail_prev("invalid number");
  }
  out.v.emplace<double>(d);
  return true;
}

bool JsonReader::parse_array(JsonValue& out, int depth) {
  if (!check_depth(depth)) return false;
  ++p_;
  skip_ws();
  if (p_ == end_) return fail_here("EOF while parsing a list");
  if (*p_ == ']') {
    ++p_;
    out.v.emplace<JsonArray>();
    return true;
  }
  // Elements gather on the shared scratch stack (nested containers push above
  // them), then move into an array of exactly the right size.
  const size_t base = element_stack_.size();
  for (;;) {
    JsonValue element;
    if (!parse_value(element, depth + 1)) return false;
    element_stack_.push_back(std::move(element));
    skip_ws();
    if (p_ == end_) return fail_here("EOF while parsing a list");
    const char c = *p_++;
    if (c == ']') break;
    if (c != ',') return fail_prev("expected `,` or `]`");
  }
  JsonArray& array = out.v.emplace<JsonArray>();
  array.reserve(element_stack_.size() - base);
  std::move(element_stack_.begin() + static_cast<std::ptrdiff_t>(base), element_stack_.end(),
            std::back_inserter(array));
  element_stack_.resize(base);
  return true;
}

bool JsonReader::parse_object(JsonValue& out, int depth) {
  if (!check_depth(depth)) return false;
  ++p_;
  skip_ws();
  if (p_ == end_) return fail_here("EOF while parsing an object");
  if (*p_ == '}') {
    ++p_;
    out.v.emplace<JsonObject>();
    return true;
  }
  const size_t base = member_stack_.size();
  bool sorted = true;  // strictly ascending keys so far
  for (;;) {
    if (*p_ != '"') return fail_here("key must be a string");
    std::string key;
    if (!parse_string(key)) return false;
    skip_ws();
    if (p_ == end_) return fail_here("EOF while parsing an object");
    if (*p_ != ':') return fail_here("expected `:`");
    ++p_;
    JsonValue value;
    if (!parse_value(value, depth + 1)) return false;
    if (sorted && member_stack_.size() > base && !(member_stack_.back().key < key)) sorted = false;
    member_stack_.push_back(JsonMember{std::move(key), std::move(value)});
    skip_ws();
    if (p_ == end_) return fail_here("EOF while parsing an object");
    const char c = *p_++;
    if (c == '}') break;
    if (c != ',') return fail_prev("expected `,` or `}`");
    skip_ws();
    if (p_ == end_) return fail_here("EOF while parsing an object");
  }
  JsonObject& object = out.v.emplace<JsonObject>();
  object.reserve(member_stack_.size() - base);
  std::move(member_stack_.begin() + static_cast<std::ptrdiff_t>(base), member_stack_.end(),
            std::back_inserter(object));
  member_stack_.resize(base);
  if (!sorted) normalize_object(object);
  return true;
}

bool JsonReader::parse_value(JsonValue& out, int depth) {
  skip_ws();
  if (p_ == end_) return fail_here("EOF while parsing a value");
  switch (*p_) {
    case '{':
      return parse_object(out, depth);
    case '[':
      return parse_array(out, depth);
    case '"':
      return parse_string(out.v.emplace<std::string>());
    case 't':
      out.v.emplace<bool>(true);
      return parse_literal("true", 4);
    case 'f':
      out.v.emplace<bool>(false);
      return parse_literal("false", 5);
    case 'n':
      out.v.emplace<std::monostate>();
      return parse_literal("null", 4);
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return parse_number(out);
    default:
      return fail_here("expected value");
  }
}

bool JsonReader::skip_container(int depth) {
  if (!check_depth(depth)) return false;
  const bool is_object = *p_ == '{';
  const char close = is_object ? '}' : ']';
  const char* const eof = is_object ? "EOF while parsing an object" : "EOF while parsing a list";
  ++p_;
  skip_ws();
  if (p_ == end_) return fail_here(eof);
  if (*p_ == close) {
    ++p_;
    return true;
  }
  for (;;) {
    if (is_object) {
      if (*p_ != '"') return fail_here("key must be a string");
      if (!scan_string<false>(nullptr)) return false;
      skip_ws();
      if (p_ == end_) return fail_here(eof);
      if (*p_ != ':') return fail_here("expected `:`");
      ++p_;
    }
    if (!skip_value(depth + 1)) return false;
    skip_ws();
    if (p_ == end_) return fail_here(eof);
    const char c = *p_++;
    if (c == close) return true;
    if (c != ',') return fail_prev(is_object ? "expected `,` or `}`" : "expected `,` or `]`");
    if (is_object) {
      skip_ws();
      if (p_ == end_) return fail_here(eof);
    }
  }
}

bool JsonReader::skip_value(int depth) {
  skip_ws();
  if (p_ == end_) return fail_here("EOF while parsing a value");
  switch (*p_) {
    case '{':
    case '[':
      return skip_container(depth);
    case '"':
      return scan_string<false>(nullptr);
    default: {
      JsonValue scalar;  // holds no allocation: strings and containers are handled above
      return parse_value(scalar, depth);
    }
  }
}

bool JsonReader::fail_invalid_type(int depth, std::string_view expected) {
  skip_ws();
  if (p_ == end_) return fail_here("EOF while parsing a value");
  if (*p_ == '{') {
    return fail_here("invalid type: map, expected " + std::string(expected));
  }
  if (*p_ == '[') {
    return fail_here("invalid type: sequence, expected " + std::string(expected));
  }
  JsonValue scalar;
  if (!parse_value(scalar, depth)) return false;
  std::string found;
  switch (scalar.kind()) {
    case JsonValue::Kind::Null:
      found = "null";
      break;
    case JsonValue::Kind::Bool:
      found = std::get<bool>(scalar.v) ? "boolean `true`" : "boolean `false`";
      break;
    case JsonValue::Kind::UInt:
      found = "integer `" + std::to_string(std::get<uint64_t>(scalar.v)) + "`";
      break;
    case JsonValue::Kind::Int:
      found = "integer `" + std::to_string(std::get<int64_t>(scalar.v)) + "`";
      break;
    case JsonValue::Kind::Double:
      found = "floating point `" + json_number_text(std::get<double>(scalar.v)) + "`";
      break;
    case JsonValue::Kind::String:
      found = "string ";
      write_json_string(scalar.as_string(), found);
      break;
    case JsonValue::Kind::Array:
    case JsonValue::Kind::Object:
      break;  // handled above
  }
  return fail_prev("invalid type: " + found + ", expected " + std::string(expected));
}

Result<JsonValue> parse_json(std::string_view text) { return parse_json(text, kJsonMaxDepth); }

Result<JsonValue> parse_json(std::string_view text, int max_depth) {
  JsonReader reader(text);
  reader.set_max_depth(max_depth);
  JsonValue value;
  if (!reader.parse_value(value, 0)) return reader.error();
  reader.skip_ws();
  if (!reader.at_end()) {
    reader.fail_here("trailing characters");
    return reader.error();
  }
  return value;
}

}  // namespace vedra
