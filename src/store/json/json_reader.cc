#include "store/json/json_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "base/hex.h"
#include "store/json/byte_scan.h"
#include "store/json/json_writer.h"
#include "store/json/utf8.h"

namespace vedra {

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

// True when all 8 bytes at p are printable ASCII other than '"' and '\\'.
inline bool plain_for_reader(const char* p) {
  const uint64_t w = load8(p);
  return (string_stop_bytes(w) | (w & kByteHighBits)) == 0;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

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
  uint64_t line = origin_line_;
  // The column of byte 0 of the text, less one, while no line feed precedes
  // the fault; then line_start is the byte after the last one.
  int64_t column_base = static_cast<int64_t>(origin_column_) - 1;
  std::ptrdiff_t line_start = 0;
  for (std::ptrdiff_t i = 0; i < error_offset_; ++i) {
    if (begin_[i] == '\n') {
      ++line;
      line_start = i + 1;
      column_base = 0;
    }
  }
  const int64_t column = column_base + (error_offset_ - line_start) + 1;
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
    const int h = hex_digit_value(*p_);
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
    const int len = utf8_sequence_length_inline(reinterpret_cast<const unsigned char*>(p_),
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
