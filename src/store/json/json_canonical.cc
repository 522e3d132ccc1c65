#include "store/json/json_canonical.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/hex.h"
#include "store/json/byte_scan.h"
#include "store/json/json_writer.h"
#include "store/json/member_names.h"
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

// Bytes that may follow the first byte of a number inside its token.
constexpr std::array<bool, 256> make_number_bytes() {
  std::array<bool, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  for (const char c : {'-', '+', '.', 'e', 'E'}) t[static_cast<unsigned char>(c)] = true;
  return t;
}
constexpr std::array<bool, 256> kNumberByte = make_number_bytes();

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') <= 9; }

#if defined(__SSE2__)
constexpr bool kBlockScanTakesUtf8 = true;
#else
constexpr bool kBlockScanTakesUtf8 = false;
#endif

// Strict byte order of two keys, inline: object keys are short and usually
// differ in their first bytes.
inline bool key_less(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

// Each step takes the cursor and returns the cursor after what it checked,
// or nullptr when the text is not canonical there (or not readable): the
// cursor lives in a register, never in the scanner.
class CanonicalScanner {
 public:
  CanonicalScanner(std::string_view t, int max_levels, MemberNames& names)
      : end_(t.data() + t.size()), max_levels_(max_levels), names_(names) {}

  // `depth`: containers open around the value at p; `owner`: the id of the
  // member name whose value it is (or lies in, for array elements).
  const char* value(const char* p, int depth, uint32_t owner = MemberNames::kNone) {
    if (p == end_) return nullptr;
    switch (*p) {
      case '{':
        return depth >= max_levels_ ? nullptr : object(p, depth + 1, owner);
      case '[':
        return depth >= max_levels_ ? nullptr : array(p, depth + 1, owner);
      case '"':
        return string<false>(p);
      case 't':
        return literal(p, "true", 4);
      case 'f':
        return literal(p, "false", 5);
      case 'n':
        return literal(p, "null", 4);
      default:
        return number(p);
    }
  }

 private:
  const char* literal(const char* p, const char* word, size_t n) const {
    if (static_cast<size_t>(end_ - p) < n || std::memcmp(p, word, n) != 0) return nullptr;
    return p + n;
  }

  // Checks the string whose opening quote is at p.  Object keys
  // (`kKey`) holding escapes are not decided here: refused.
  template <bool kKey>
  [[gnu::always_inline]] const char* string(const char* p) const {
    ++p;  // opening quote
    for (;;) {
      // Plain bytes sixteen at a time, one at a time near the end.
      if (end_ - p >= 16) {
        const unsigned skip = plain_string_prefix16(p);
        p += skip;
        if (skip == 16) continue;
      } else {
        while (p != end_ && kPlainStringByte[static_cast<unsigned char>(*p)]) ++p;
        if (p == end_) return nullptr;
      }
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == '"') return p + 1;
      if (c >= 0x80) {
        // A run of multi-byte sequences (the reader accepts only well-formed
        // UTF-8); the common three-byte forms are decided here.
        // With SSE2 the block scan takes runs itself: one sequence here.
        do {
          const int len = utf8_sequence_length_inline(reinterpret_cast<const unsigned char*>(p),
                                                      reinterpret_cast<const unsigned char*>(end_));
          if (len <= 0) return nullptr;
          p += len;
        } while (!kBlockScanTakesUtf8 && p != end_ && static_cast<unsigned char>(*p) >= 0x80);
        continue;
      }
      if (c < 0x20) return nullptr;
      // A backslash.
      if (kKey || end_ - p < 2) return nullptr;
      const char e = p[1];
      if (e == '"' || e == '\\' || e == 'b' || e == 't' || e == 'n' || e == 'f' || e == 'r') {
        p += 2;
        continue;
      }
      // Only \u00xx for control characters without a short form, lowercase hex.
      if (e != 'u' || end_ - p < 6 || p[2] != '0' || p[3] != '0') return nullptr;
      const int high = lower_hex_digit_value(p[4]), low = lower_hex_digit_value(p[5]);
      if (high < 0 || high > 1 || low < 0) return nullptr;
      const int v = high * 16 + low;
      if (v == 0x08 || v == 0x09 || v == 0x0A || v == 0x0C || v == 0x0D) return nullptr;
      p += 6;
    }
  }

  // The token is the longest run of number bytes at p.  Its common shapes,
  // [-]D+ of at most 18 digits and [-]D+.D+ of at most 16 characters after
  // the sign, are decided where they lie; any other token by conversion.
  [[gnu::always_inline]] const char* number(const char* p) {
    const char* const start = p;
    const char* digits = p;
    if (digits != end_ && *digits == '-') ++digits;
    const char* q = digits;
    while (q != end_ && is_digit(*q)) ++q;
    const size_t whole = static_cast<size_t>(q - digits);
    if (whole != 0 && (q == end_ || !kNumberByte[static_cast<unsigned char>(*q)]) && whole <= 18) {
      // No leading zero ("0" alone excepted); below zero when negative.
      if (digits != start) return digits[0] != '0' ? q : nullptr;
      return whole == 1 || digits[0] != '0' ? q : nullptr;
    }
    if (whole != 0 && q != end_ && *q == '.') {
      const char* f = q + 1;
      const char* r = f;
      while (r != end_ && is_digit(*r)) ++r;
      const size_t fraction = static_cast<size_t>(r - f);
      if (fraction != 0 && (r == end_ || !kNumberByte[static_cast<unsigned char>(*r)]) &&
          static_cast<size_t>(r - digits) <= 16) {
        return plain_decimal_canonical(std::string_view(digits, whole), std::string_view(f, fraction)) ? r : nullptr;
      }
    }
    return general_number(start);
  }

  [[gnu::noinline]] const char* general_number(const char* p) {
    const char* start = p;
    bool fractional = false;
    while (p != end_) {
      const char c = *p;
      if ((c >= '0' && c <= '9') || c == '-' || c == '+') {
        ++p;
      } else if (c == '.' || c == 'e' || c == 'E') {
        fractional = true;
        ++p;
      } else {
        break;
      }
    }
    const std::string_view tok(start, static_cast<size_t>(p - start));
    if (tok.empty()) return nullptr;
    if (!fractional) {
      if (tok[0] == '-') {
        int64_t v = 0;
        auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
        // "-0" reads as a double; "-01" is not valid JSON anyway.
        return r.ec == std::errc() && r.ptr == tok.data() + tok.size() && v < 0 && tok[1] != '0' ? p : nullptr;
      }
      uint64_t v = 0;
      auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
      return r.ec == std::errc() && r.ptr == tok.data() + tok.size() && (tok.size() == 1 || tok[0] != '0') ? p
                                                                                                          : nullptr;
    }
    if (const int plain = plain_decimal_shape(tok); plain >= 0) return plain == 1 ? p : nullptr;
    double d = 0;
    auto r = std::from_chars(tok.data(), tok.data() + tok.size(), d);
    if (r.ec != std::errc() || r.ptr != tok.data() + tok.size() || !std::isfinite(d)) return nullptr;
    buf_.clear();
    append_json_number_text(d, buf_);
    return buf_ == tok ? p : nullptr;
  }

  // A decimal I.F (both non-empty digit runs, at most 15 digits together),
  // whatever its sign: whether it is canonical.  Such a decimal is the only
  // one of 15 or fewer significant digits that reads as its double, so that
  // double's shortest digits are the token's own (trailing zeros dropped),
  // and the writer spells it I.F when I has no leading zero and F no
  // trailing one ("0" alone excepted: 3000.0), and below 1 as 0.F with at
  // most four zeros after the point.
  static bool plain_decimal_canonical(std::string_view i, std::string_view f) {
    if (f.size() == 1 && f[0] == '0') return i.size() == 1 || i[0] != '0';
    if (f.back() == '0') return false;
    if (i[0] != '0') return true;
    if (i.size() > 1) return false;
    return f.find_first_not_of('0') <= 4;
  }

  // plain_decimal_canonical() for any token: 1 when canonical, 0 when not,
  // -1 for a token of another shape.
  static int plain_decimal_shape(std::string_view tok) {
    if (!tok.empty() && tok[0] == '-') tok.remove_prefix(1);
    const size_t dot = tok.find('.');
    if (dot == std::string_view::npos || tok.size() > 16) return -1;
    const std::string_view i = tok.substr(0, dot), f = tok.substr(dot + 1);
    if (i.empty() || f.empty()) return -1;
    for (const char c : i) {
      if (!is_digit(c)) return -1;
    }
    for (const char c : f) {
      if (!is_digit(c)) return -1;
    }
    return plain_decimal_canonical(i, f) ? 1 : 0;
  }

  // value() for the members of containers: scalars are checked in place,
  // only containers cost a call.
  [[gnu::always_inline]] const char* element(const char* p, int depth, uint32_t owner) {
    if (p == end_) return nullptr;
    const char c = *p;
    if (c == '"') return string<false>(p);
    if (is_digit(c) || c == '-') return number(p);
    if (c == 't') return literal(p, "true", 4);
    if (c == 'f') return literal(p, "false", 5);
    if (c == 'n') return literal(p, "null", 4);
    return value(p, depth, owner);
  }

  const char* array(const char* p, int depth, uint32_t owner) {
    ++p;
    if (p != end_ && *p == ']') return p + 1;
    for (;;) {
      p = element(p, depth, owner);
      if (p == nullptr || p == end_) return nullptr;
      if (*p == ']') return p + 1;
      if (*p != ',') return nullptr;
      ++p;
    }
  }

  // A member name is first looked for where the names table expects it: a
  // name it holds is plain, and the order of two names it predicted one
  // after the other was checked when that prediction was made, so a match
  // needs no scan and no comparison.  Predictions are made only from names
  // that passed every check, and only after a held name (an object's first
  // name needs no order check).
  const char* object(const char* p, int depth, uint32_t owner) {
    ++p;
    if (p != end_ && *p == '}') return p + 1;
    std::string_view previous;
    uint32_t previous_id = MemberNames::kNone;
    bool first = true;
    for (;;) {
      std::string_view key;
      size_t n = 0;
      uint32_t id = first ? names_.predicted_first(owner)
                          : previous_id == MemberNames::kNone ? MemberNames::kNone : names_.predicted(previous_id);
      if (id != MemberNames::kNone && (n = names_.match(id, p, end_)) == 0 && !first) {
        // Both predictions after a held name were checked in order.
        id = names_.predicted_second(previous_id);
        if (id != MemberNames::kNone && (n = names_.match(id, p, end_)) != 0) names_.set_prediction(previous_id, id);
      }
      if (n != 0) {
        key = std::string_view(p + 1, n - 3);
        p += n;
      } else {
        if (p == end_ || *p != '"') return nullptr;
        const char* key_start = p + 1;
        p = string<true>(p);
        if (p == nullptr) return nullptr;
        key = std::string_view(key_start, static_cast<size_t>(p - 1 - key_start));
        if (!first && !key_less(previous, key)) return nullptr;
        if (p == end_ || *p != ':') return nullptr;
        ++p;
        id = plain_ascii(key) ? names_.find_or_add(key) : MemberNames::kNone;
        if (first) {
          names_.set_first_prediction(owner, id);
        } else if (previous_id != MemberNames::kNone) {
          names_.set_prediction(previous_id, id);
        }
      }
      previous = key;
      previous_id = id;
      first = false;
      p = element(p, depth, id);
      if (p == nullptr || p == end_) return nullptr;
      if (*p == '}') return p + 1;
      if (*p != ',') return nullptr;
      ++p;
    }
  }

  // Printable ASCII other than '"' and '\\': what the names table holds.
  static bool plain_ascii(std::string_view key) {
    for (const char c : key) {
      if (!kPlainStringByte[static_cast<unsigned char>(c)]) return false;
    }
    return true;
  }

  const char* const end_;
  const int max_levels_;
  MemberNames& names_;
  std::string buf_;
};

}  // namespace

bool is_canonical_compact_for_testing(std::string_view text) {
  const std::unique_ptr<MemberNames> names = std::make_unique<MemberNames>();
  CanonicalScanner scanner(text, 4096, *names);
  const char* end = scanner.value(text.data(), 0);
  return end != nullptr && end == text.data() + text.size();
}

size_t canonical_compact_value_length(std::string_view text, int max_levels) {
  const std::unique_ptr<MemberNames> names = std::make_unique<MemberNames>();
  return canonical_compact_value_length(text, max_levels, *names);
}

size_t canonical_compact_value_length(std::string_view text, int max_levels, MemberNames& names) {
  CanonicalScanner scanner(text, max_levels, names);
  const char* end = scanner.value(text.data(), 0);
  return end == nullptr ? 0 : static_cast<size_t>(end - text.data());
}

}  // namespace vedra
