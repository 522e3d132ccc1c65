// Tests of the JSON writer: string escapes, number texts, compact values and
// the object writer.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "json_test_support.h"
#include "store/json/json_writer.h"
#include "testing.h"

using vedra::JsonArray;
using vedra::JsonValue;
using vedra_test::object_of;
using vedra_test::parse_message;
using vedra_test::random_finite_double;

namespace {

// put_json_string into a buffer of exactly its bound (so that the sanitizer
// runs catch a write past it).
std::string put_string(const std::string& in) {
  std::unique_ptr<char[]> buf(new char[vedra::json_string_bound(in.size())]);
  const char* end = vedra::put_json_string(buf.get(), in);
  return std::string(buf.get(), static_cast<size_t>(end - buf.get()));
}

}  // namespace

TEST(JsonWriter, StringEscapes) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"esc000_empty", "", R"("")"},
      {"esc010_plain", "abc", R"("abc")"},
      {"esc020_quote", "a\"b", R"("a\"b")"},
      {"esc030_backslash", "a\\b", R"("a\\b")"},
      {"esc040_short_forms", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"esc050_nul", std::string("\0", 1), R"("\u0000")"},
      {"esc060_soh", "\x01", R"("\u0001")"},
      {"esc070_vt", "\x0b", R"("\u000b")"},
      {"esc080_unit_sep", "\x1f", R"("\u001f")"},
      {"esc090_esc", "\x1b", R"("\u001b")"},
      {"esc100_del_raw", "\x7f", "\"\x7f\""},
      {"esc110_solidus_raw", "a/b", R"("a/b")"},
      {"esc120_non_ascii_raw", "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\""},
      {"esc130_tab_quote_e_acute", "\t\"\xc3\xa9", "\"\\t\\\"\xc3\xa9\""},
      {"esc140_run_then_escape", "abcdef\nghij", R"("abcdef\nghij")"},
      {"esc150_escape_at_end", "abc\\", R"("abc\\")"},
      {"esc160_space_and_tilde", " ~", R"(" ~")"},
  };
  for (const Case& c : cases) {
    std::string out;
    vedra::write_json_string(c.in, out);
    if (out != c.want || put_string(c.in) != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(out, c.want);
    EXPECT_EQ(put_string(c.in), c.want);
  }
}

TEST(JsonWriter, StringEscapesAtEveryPosition) {
  // One byte that stops the plain run (or none) at each position of texts
  // around the word sizes of the scan, against a byte-at-a-time escaper.
  auto naive = [](const std::string& in) {
    std::string out = "\"";
    for (const unsigned char c : in) {
      static const char hex[] = "0123456789abcdef";
      const char* shorts = c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\b' ? "\\b" : c == '\t' ? "\\t"
                         : c == '\n' ? "\\n" : c == '\f' ? "\\f" : c == '\r' ? "\\r" : nullptr;
      if (shorts) {
        out += shorts;
      } else if (c < 0x20) {
        out += std::string("\\u00") + hex[c >> 4] + hex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  };
  for (size_t n = 1; n <= 40; ++n) {
    for (size_t at = 0; at <= n; ++at) {
      for (const char stop : {'"', '\\', '\0', '\x1f'}) {
        std::string in(n, '\xe4');
        if (at < n) in[at] = stop;
        std::string out;
        vedra::write_json_string(in, out);
        EXPECT_EQ(out, naive(in));
        EXPECT_EQ(put_string(in), out);
        EXPECT_EQ(vedra::json_plain_prefix(in), at);
        // A second stop in the last word, after the first.
        if (at + 1 < n && n - at <= 8) {
          in[n - 1] = '\n';
          EXPECT_EQ(put_string(in), naive(in));
        }
      }
    }
  }
}

TEST(JsonWriter, StringEscapeAppendsToExistingText) {
  std::string out = "prefix:";
  vedra::write_json_string("x\ny", out);
  EXPECT_EQ(out, std::string("prefix:\"x\\ny\""));
}

TEST(JsonWriter, NumberTexts) {
  struct Case {
    const char* name;
    double in;
    const char* want;
  };
  const Case cases[] = {
      {"num000_zero", 0.0, "0.0"},
      {"num010_negative_zero", -0.0, "-0.0"},
      {"num020_half", 0.5, "0.5"},
      {"num030_two", 2.0, "2.0"},
      {"num040_hundred", 100.0, "100.0"},
      {"num050_decimal", 123.45, "123.45"},
      {"num060_1e15", 1e15, "1000000000000000.0"},
      {"num070_1e-5", 1e-5, "0.00001"},
      {"num080_1e-6", 1e-6, "1e-6"},
      {"num090_1e16", 1e16, "1e+16"},
      {"num100_1p5e-7", 1.5e-7, "1.5e-7"},
      {"num110_1e300", 1e300, "1e+300"},
      {"num120_two_pow_64", 18446744073709551616.0, "1.8446744073709552e+19"},
      {"num130_minus_three", -3.0, "-3.0"},
      {"num140_tenth", 0.1, "0.1"},
      {"num150_third", 1.0 / 3.0, "0.3333333333333333"},
      {"num160_below_1e16", 9999999999999998.0, "9999999999999998.0"},
      {"num170_1p5e15", 1.5e15, "1500000000000000.0"},
      {"num180_1234p5678e-5", 1.2345678e-5, "0.000012345678"},
      {"num190_max", 1.7976931348623157e308, "1.7976931348623157e+308"},
      {"num200_min_subnormal", 4.9406564584124654e-324, "5e-324"},
      {"num210_negative_small", -2.5e-10, "-2.5e-10"},
      {"num220_integral_with_digits", 123456789012345.0, "123456789012345.0"},
      {"num230_fraction_at_e15", 1234567890123456.7, "1234567890123456.8"},
      {"num240_e_minus_100", 1e-100, "1e-100"},
      {"num250_e_plus_100", 1.25e100, "1.25e+100"},
  };
  for (const Case& c : cases) {
    const std::string got = vedra::json_number_text(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, std::string(c.want));
  }
}

namespace {

// Naive oracle for json_number_text: the shortest %.*e precision that reads
// back exactly, then the positional/scientific layout rules spelled out.
std::string naive_number_text(double d) {
  if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
  char buf[64];
  for (int prec = 0; prec < 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*e", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  std::string s = buf;
  std::string out;
  size_t i = 0;
  if (s[0] == '-') {
    out = "-";
    i = 1;
  }
  std::string digits;
  for (; s[i] != 'e'; ++i) {
    if (s[i] != '.') digits += s[i];
  }
  const int e = std::atoi(s.c_str() + i + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int n = static_cast<int>(digits.size());
  if (e >= -5 && e <= 15) {
    if (e < 0) return out + "0." + std::string(-e - 1, '0') + digits;
    if (n - 1 <= e) return out + digits + std::string(e - (n - 1), '0') + ".0";
    return out + digits.substr(0, e + 1) + "." + digits.substr(e + 1);
  }
  out += digits.substr(0, 1);
  if (n > 1) out += "." + digits.substr(1);
  return out + "e" + (e < 0 ? "-" : "+") + std::to_string(e < 0 ? -e : e);
}

}  // namespace

TEST(JsonWriter, NumberTextMatchesNaiveOracle) {
  std::mt19937_64 rng(20240611);
  int mismatches = 0;
  for (int i = 0; i < 20000; ++i) {
    const double d = random_finite_double(rng);
    const std::string got = vedra::json_number_text(d);
    const std::string want = naive_number_text(d);
    if (got != want && ++mismatches <= 5) {
      std::fprintf(stderr, "number %.17g: got %s want %s\n", d, got.c_str(), want.c_str());
    }
    // The text reads back as the same double, never as an integer.
    EXPECT_TRUE(std::strtod(got.c_str(), nullptr) == d);
    EXPECT_TRUE(got.find_first_of(".e") != std::string::npos);
  }
  EXPECT_EQ(mismatches, 0);
}

// Catalogue doubles carry a few decimals (prices, rates, sizes): values
// m / 10^k, their neighbours, and the ends of the range those take.
TEST(JsonWriter, FewDecimalNumberTextMatchesNaiveOracle) {
  std::mt19937_64 rng(20261210);
  int mismatches = 0;
  auto check = [&](double d) {
    const std::string got = vedra::json_number_text(d);
    const std::string want = naive_number_text(d);
    if (got != want && ++mismatches <= 5) {
      std::fprintf(stderr, "number %.17g: got %s want %s\n", d, got.c_str(), want.c_str());
    }
  };
  const double pow10[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
  for (int i = 0; i < 40000; ++i) {
    const int k = static_cast<int>(rng() % std::size(pow10));
    const uint64_t digits = rng() >> (rng() % 64);
    const double d = static_cast<double>(digits) / pow10[k] * ((rng() & 1) ? -1 : 1);
    check(d);
    check(std::nextafter(d, 0.0));
    check(std::nextafter(d, d * 2));
  }
  for (double edge : {1e-4, 1e14, 9007199254740992.0 / 1e7, 9007199254740991.0, 0.3, 2935.08, 1e14 - 0.5}) {
    check(edge);
    check(std::nextafter(edge, 0.0));
    check(std::nextafter(edge, 1e300));
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(JsonWriter, CompactValues) {
  struct Case {
    const char* name;
    JsonValue in;
    const char* want;
  };
  const Case cases[] = {
      {"val000_null", JsonValue::null(), "null"},
      {"val010_true", JsonValue::boolean(true), "true"},
      {"val020_false", JsonValue::boolean(false), "false"},
      {"val030_uint", JsonValue::uint(18446744073709551615ull), "18446744073709551615"},
      {"val040_zero", JsonValue::uint(0), "0"},
      {"val050_int", JsonValue::sint(-3), "-3"},
      {"val060_int_min", JsonValue::sint(INT64_MIN), "-9223372036854775808"},
      {"val070_double", JsonValue::dbl(-3.0), "-3.0"},
      {"val080_empty_array", JsonValue::array({}), "[]"},
      {"val090_empty_object", JsonValue::object({}), "{}"},
      {"val100_array",
       JsonValue::array({JsonValue::uint(1), JsonValue::string("x"), JsonValue::null(), JsonValue::array({})}),
       R"([1,"x",null,[]])"},
      {"val110_object_order",
       object_of({{"b", JsonValue::uint(1)}, {"a", JsonValue::uint(2)}, {"B", JsonValue::uint(3)}}),
       R"({"B":3,"a":2,"b":1})"},
      {"val120_prefix_key_first",
       object_of({{"ab", JsonValue::uint(1)}, {"a", JsonValue::uint(2)}, {"", JsonValue::uint(3)}}),
       R"({"":3,"a":2,"ab":1})"},
      {"val130_escaped_key", object_of({{"k\"\n", JsonValue::boolean(false)}}), R"({"k\"\n":false})"},
      {"val140_nested",
       object_of({{"x", JsonValue::array({object_of({{"y", JsonValue::dbl(0.5)}})})}}),
       R"({"x":[{"y":0.5}]})"},
  };
  for (const Case& c : cases) {
    const std::string got = vedra::write_json_compact(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, std::string(c.want));
  }
}

TEST(JsonWriter, AppendsToCallerString) {
  std::string out = "[";
  vedra::write_json_compact(JsonValue::uint(7), out);
  EXPECT_EQ(out, std::string("[7"));
}

TEST(JsonWriter, DeepNestingBeyondReaderLimit) {
  // Ingestion accepts values nested far deeper than the reader does; writing
  // them must not fail.
  const int depth = 4096;
  JsonValue v = JsonValue::array({});
  for (int i = 1; i < depth; ++i) {
    JsonArray a;
    a.push_back(std::move(v));
    v = JsonValue::array(std::move(a));
  }
  const std::string text = vedra::write_json_compact(v);
  EXPECT_EQ(text, std::string(depth, '[') + std::string(depth, ']'));
  EXPECT_EQ(parse_message(text), std::string("recursion limit exceeded at line 1 column 128"));
  // Tear down iteratively: the destructor of a 4096-deep value recurses too.
  while (!v.as_array().empty()) {
    JsonValue inner = std::move(v.as_array()[0]);
    v = std::move(inner);
  }
}


// ---------------------------------------------------------------------------
// Object writer
// ---------------------------------------------------------------------------

TEST(JsonObjectWriter, Layouts) {
  using Layout = vedra::JsonObjectWriter::Layout;
  struct Case {
    const char* name;
    Layout layout;
    int members;  // how many of the members below are written
    const char* want;
  };
  const Case cases[] = {
      {"obj000_compact_empty", Layout::kCompact, 0, "{}"},
      {"obj010_compact_one", Layout::kCompact, 1, R"({"s":"x\ty"})"},
      {"obj020_compact_all", Layout::kCompact, 4, R"({"s":"x\ty","k\"\n":{},"n":18446744073709551615,"o":{"a":"b"}})"},
      {"obj030_indented_empty", Layout::kIndented, 0, "{}"},
      {"obj040_indented_one", Layout::kIndented, 1, "{\n  \"s\": \"x\\ty\"\n}"},
      {"obj050_indented_all", Layout::kIndented, 4,
       "{\n  \"s\": \"x\\ty\",\n  \"k\\\"\\n\": {},\n  \"n\": 18446744073709551615,\n  \"o\": {\"a\":\"b\"}\n}"},
  };
  for (const Case& c : cases) {
    std::string out = "<";
    {
      vedra::JsonObjectWriter o(out, c.layout);
      if (c.members > 0) o.string("s", "x\ty");
      if (c.members > 1) o.raw("k\"\n", "{}");
      if (c.members > 2) o.number("n", UINT64_MAX);
      if (c.members > 3) {
        o.key("o");
        vedra::JsonObjectWriter inner(out);  // nested objects are compact
        inner.string("a", "b");
        inner.end();
      }
      o.end();
    }
    const std::string want = std::string("<") + c.want;
    if (out != want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(out, want);
  }
}

TEST(JsonObjectWriter, SameTextAsTheValueWriter) {
  // Members written one by one give the text write_json_compact gives for
  // the object holding them, and the text may be handed off between members.
  std::mt19937_64 rng(31);
  for (int i = 0; i < 500; ++i) {
    vedra::JsonObject members;
    const int n = static_cast<int>(rng() % 6);
    for (int k = 0; k < n; ++k) {
      // Short keys and long ones (past one word of the escape scan), plain or not.
      std::string key(rng() % 4 ? 1 + rng() % 3 : 60 + rng() % 80, 'a');
      const bool plain = rng() % 2;
      for (char& ch : key) ch = plain ? 'a' + static_cast<char>(rng() % 3) : "ab\"\\\n\x01\xc3\xa9"[rng() % 8];
      members.push_back(vedra::JsonMember{key, JsonValue::string(key + "v")});
    }
    vedra::normalize_object(members);
    const JsonValue object = JsonValue::object(members);
    std::string out, handed_off;
    vedra::JsonObjectWriter o(out);
    for (const vedra::JsonMember& m : object.as_object()) {
      if (rng() % 2) {
        o.string(m.key, m.value.as_string());
      } else {
        o.raw(m.key, vedra::write_json_compact(m.value));
      }
      handed_off += out;
      out.clear();
    }
    o.end();
    handed_off += out;
    EXPECT_EQ(handed_off, vedra::write_json_compact(object));
  }
}

TEST(JsonWriter, IntegerTexts) {
  struct Case {
    const char* name;
    bool is_signed;
    uint64_t u;
    int64_t i;
    const char* want;
  };
  const Case cases[] = {
      {"int000_zero", false, 0, 0, "0"},
      {"int010_u64_max", false, UINT64_MAX, 0, "18446744073709551615"},
      {"int020_minus_one", true, 0, -1, "-1"},
      {"int030_i64_min", true, 0, INT64_MIN, "-9223372036854775808"},
      {"int040_i64_max", true, 0, INT64_MAX, "9223372036854775807"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    if (c.is_signed) {
      vedra::append_json_integer(c.i, out);
    } else {
      vedra::append_json_integer(c.u, out);
    }
    if (out != std::string("x") + c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(out, std::string("x") + c.want);
  }
}
