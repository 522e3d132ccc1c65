#include "store/json/json_canonical.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

#include "base/hex.h"
#include "store/json/byte_scan.h"
#include "store/json/json_writer.h"
#include "store/json/utf8.h"

namespace vedra {
namespace {

// Bytes a string holds as they are: printable ASCII other than '"' and '\\'.
constexpr std::array<bool, 256> make_plain_string_bytes() {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[c] = c != '"' && c != '\\';
  return t;
}
constexpr std::array<bool, 256> kPlainStringByte = make_plain_string_bytes();

class CanonicalScanner {
 public:
  CanonicalScanner(std::string_view t, int max_levels)
      : p_(t.data()), end_(t.data() + t.size()), max_levels_(max_levels) {}

  // `depth`: containers open around the value.
  bool value(int depth) {
    if (p_ == end_) return false;
    if ((*p_ == '{' || *p_ == '[') && depth >= max_levels_) return false;
    switch (*p_) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"':
        return string(nullptr);
      case 't':
        return literal("true", 4);
      case 'f':
        return literal("false", 5);
      case 'n':
        return literal("null", 4);
      default:
        return number();
    }
  }
  bool done() const { return p_ == end_; }

 private:
  bool literal(const char* word, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n || std::string_view(p_, n) != std::string_view(word, n)) return false;
    p_ += n;
    return true;
  }

  // Checks one string; `has_escape` reports whether it held a backslash.
  bool string(bool* has_escape) {
    ++p_;  // opening quote
    bool escaped = false;
    while (p_ != end_) {
      // Plain bytes eight at a time, then one at a time near the end.
      while (end_ - p_ >= 8) {
        const uint64_t w = load8(p_);
        const uint64_t stop = string_stop_bytes(w) | (w & kByteHighBits);
        if (stop != 0) {
          // The lowest stop byte is exact; on little-endian machines it is
          // the first.  Elsewhere the byte loop below finds it.
          if constexpr (std::endian::native == std::endian::little) p_ += std::countr_zero(stop) / 8;
          break;
        }
        p_ += 8;
      }
      while (p_ != end_ && kPlainStringByte[static_cast<unsigned char>(*p_)]) ++p_;
      if (p_ == end_) return false;
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        if (has_escape) *has_escape = escaped;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {  // the reader accepts only well-formed UTF-8
        const int len = utf8_sequence_length_inline(reinterpret_cast<const unsigned char*>(p_),
                                                    reinterpret_cast<const unsigned char*>(end_));
        if (len <= 0) return false;
        p_ += len;
        continue;
      }
      // A backslash.
      escaped = true;
      if (end_ - p_ < 2) return false;
      const char e = p_[1];
      if (e == '"' || e == '\\' || e == 'b' || e == 't' || e == 'n' || e == 'f' || e == 'r') {
        p_ += 2;
        continue;
      }
      // Only \u00xx for control characters without a short form, lowercase hex.
      if (e != 'u' || end_ - p_ < 6 || p_[2] != '0' || p_[3] != '0') return false;
      const int high = lower_hex_digit_value(p_[4]), low = lower_hex_digit_value(p_[5]);
      if (high < 0 || high > 1 || low < 0) return false;
      const int v = high * 16 + low;
      if (v == 0x08 || v == 0x09 || v == 0x0A || v == 0x0C || v == 0x0D) return false;
      p_ += 6;
    }
    return false;
  }

  bool number() {
    const char* start = p_;
    bool fractional = false;
    while (p_ != end_) {
      const char c = *p_;
      if ((c >= '0' && c <= '9') || c == '-' || c == '+') {
        ++p_;
      } else if (c == '.' || c == 'e' || c == 'E') {
        fractional = true;
        ++p_;
      } else {
        break;
      }
    }
    const std::string_view tok(start, static_cast<size_t>(p_ - start));
    if (tok.empty()) return false;
    if (!fractional) {
      if (tok[0] == '-') {
        int64_t v = 0;
        auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
        // "-0" reads as a double; "-01" is not valid JSON anyway.
        return r.ec == std::errc() && r.ptr == tok.data() + tok.size() && v < 0 && tok[1] != '0';
      }
      uint64_t v = 0;
      auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
      return r.ec == std::errc() && r.ptr == tok.data() + tok.size() && (tok.size() == 1 || tok[0] != '0');
    }
    if (const int plain = plain_decimal_canonical(tok); plain >= 0) return plain == 1;
    double d = 0;
    auto r = std::from_chars(tok.data(), tok.data() + tok.size(), d);
    if (r.ec != std::errc() || r.ptr != tok.data() + tok.size() || !std::isfinite(d)) return false;
    buf_.clear();
    append_json_number_text(d, buf_);
    return buf_ == tok;
  }

  // A token [-]I.F of at most 15 digits, without exponent, decided without
  // converting it: 1 when canonical, 0 when not, -1 for any other token.
  // Such a decimal is the only one of 15 or fewer significant digits that
  // reads as its double, so that double's shortest digits are the token's
  // own (trailing zeros dropped), and the writer spells it I.F when I has no
  // leading zero and F no trailing one ("0" alone excepted: 3000.0), and
  // below 1 as 0.F with at most four zeros after the point.
  static int plain_decimal_canonical(std::string_view tok) {
    if (!tok.empty() && tok[0] == '-') tok.remove_prefix(1);
    const size_t dot = tok.find('.');
    if (dot == std::string_view::npos || tok.size() > 16) return -1;
    const std::string_view i = tok.substr(0, dot), f = tok.substr(dot + 1);
    if (i.empty() || f.empty()) return -1;
    for (const char c : i) {
      if (c < '0' || c > '9') return -1;
    }
    for (const char c : f) {
      if (c < '0' || c > '9') return -1;
    }
    if (f == "0") return i.size() == 1 || i[0] != '0';
    if (f.back() == '0') return 0;
    if (i[0] != '0') return 1;
    if (i.size() > 1) return 0;
    return f.find_first_not_of('0') <= 4;
  }

  bool array(int depth) {
    ++p_;
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return true;
    }
    while (true) {
      if (!value(depth)) return false;
      if (p_ == end_) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
    }
  }

  bool object(int depth) {
    ++p_;
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    std::string_view previous;
    bool first = true;
    while (true) {
      if (p_ == end_ || *p_ != '"') return false;
      const char* key_start = p_ + 1;
      bool escaped = false;
      if (!string(&escaped) || escaped) return false;  // keys with escapes: not decided here
      const std::string_view key(key_start, static_cast<size_t>(p_ - 1 - key_start));
      if (!first && !(previous < key)) return false;
      previous = key;
      first = false;
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      if (!value(depth)) return false;
      if (p_ == end_) return false;
      if (*p_ == '}') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
    }
  }

  const char* p_;
  const char* end_;
  const int max_levels_;
  std::string buf_;

 public:
  const char* cursor() const { return p_; }
};

}  // namespace

bool is_canonical_compact_for_testing(std::string_view text) {
  CanonicalScanner scanner(text, 4096);
  return scanner.value(0) && scanner.done();
}

size_t canonical_compact_value_length(std::string_view text, int max_levels) {
  CanonicalScanner scanner(text, max_levels);
  if (!scanner.value(0)) return 0;
  return static_cast<size_t>(scanner.cursor() - text.data());
}

}  // namespace vedra
