// Tests of the JSON text form: compact writer, number texts, reader results
// and failure messages, plus write/read round-trip properties.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/json_text.h"
#include "testing.h"

using vedra::JsonArray;
using vedra::JsonMember;
using vedra::JsonObject;
using vedra::JsonValue;

namespace {

std::string parse_message(std::string_view text) {
  auto r = vedra::parse_json(text);
  return r.ok() ? "<ok>" : r.status().message();
}

std::string roundtrip_text(std::string_view text) {
  auto r = vedra::parse_json(text);
  return r.ok() ? vedra::write_json_compact(r.value()) : "<err> " + r.status().message();
}

JsonValue object_of(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [k, v] : members) o.push_back(JsonMember{k, std::move(v)});
  vedra::normalize_object(o);
  return JsonValue::object(std::move(o));
}

}  // namespace

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

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
    if (out != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(out, c.want);
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

double random_finite_double(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0: {  // any bit pattern
      for (;;) {
        const uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) return d;
      }
    }
    case 1:  // short decimals
      return static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0;
    case 2:  // integral values around the positional/scientific border
      return std::ldexp(static_cast<double>(rng() % (uint64_t{1} << 53)), static_cast<int>(rng() % 12));
    case 3:  // decimal powers, scaled
      return static_cast<double>(rng() % 100 + 1) * std::pow(10.0, static_cast<int>(rng() % 44) - 22);
    default:  // small magnitudes around 1e-5 .. 1e-7
      return static_cast<double>(rng() % 100000) * 1e-10;
  }
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
// Reader: accepted texts
// ---------------------------------------------------------------------------

TEST(JsonReader, AcceptedTexts) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;  // compact text of the value read
  };
  const Case cases[] = {
      {"ok000_null", "null", "null"},
      {"ok010_ws_around", " \t\r\n true \n", "true"},
      {"ok020_false", "false", "false"},
      {"ok030_zero", "0", "0"},
      {"ok040_minus_one", "-1", "-1"},
      {"ok050_u64_max", "18446744073709551615", "18446744073709551615"},
      {"ok060_u64_overflow", "18446744073709551616", "1.8446744073709552e+19"},
      {"ok070_i64_min", "-9223372036854775808", "-9223372036854775808"},
      {"ok080_i64_underflow", "-9223372036854775809", "-9.223372036854776e+18"},
      {"ok090_minus_zero_integer", "-0", "0"},
      {"ok095_minus_zero_double", "-0.0", "-0.0"},
      {"ok096_minus_zero_exponent", "-0e0", "-0.0"},
      {"ok100_one_point_zero", "1.0", "1.0"},
      {"ok110_exponent", "1e2", "100.0"},
      {"ok120_exponent_upper_signed", "1E+2", "100.0"},
      {"ok130_negative_exponent", "15e-8", "1.5e-7"},
      {"ok140_underflow_to_zero", "1e-400", "0.0"},
      {"ok150_negative_underflow", "-1e-400", "-0.0"},
      {"ok160_zero_huge_exponent", "0e999999999999", "0.0"},
      {"ok170_subnormal", "5e-324", "5e-324"},
      {"ok180_long_mantissa", "0.1000000000000000055511151231257827021181583404541015625", "0.1"},
      {"ok190_many_int_digits", "123456789012345678901234567890", "1.2345678901234568e+29"},
      {"ok200_string", R"("abc")", R"("abc")"},
      {"ok210_short_escapes", R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
      {"ok220_unicode_escape", R"("\u00e9\u4E2D")", "\"\xc3\xa9\xe4\xb8\xad\""},
      {"ok230_surrogate_pair", R"("\ud83d\ude00")", "\"\xf0\x9f\x98\x80\""},
      {"ok240_escaped_nul", R"("\u0000")", R"("\u0000")"},
      {"ok250_raw_utf8", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\"", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\""},
      {"ok260_raw_del", "\"\x7f\"", "\"\x7f\""},
      {"ok270_empty_containers", "[ [ ] , { } ]", "[[],{}]"},
      {"ok280_object_sorted", R"({"b":1,"a":2,"B":3})", R"({"B":3,"a":2,"b":1})"},
      {"ok290_duplicate_last_wins", R"({"a":1,"a":2})", R"({"a":2})"},
      {"ok300_duplicate_unsorted", R"({"b":1,"a":2,"b":3,"a":4,"c":5})", R"({"a":4,"b":3,"c":5})"},
      {"ok310_nested", R"( { "x" : [ 1 , { "y" : null } ] } )", R"({"x":[1,{"y":null}]})"},
      {"ok320_trailing_space_newline", "[] \n", "[]"},
      {"ok330_escaped_keys_sort_by_bytes", R"({"\u00e9":1,"z":2})", "{\"z\":2,\"\xc3\xa9\":1}"},
  };
  for (const Case& c : cases) {
    const std::string got = roundtrip_text(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
}

TEST(JsonReader, NumberClasses) {
  using K = JsonValue::Kind;
  struct Case {
    const char* text;
    K kind;
  };
  const Case cases[] = {
      {"18446744073709551615", K::UInt}, {"18446744073709551616", K::Double}, {"-1", K::Int},
      {"1.0", K::Double},                {"1e2", K::Double},                  {"0", K::UInt},
      {"-9223372036854775808", K::Int},  {"-9223372036854775809", K::Double}, {"-0", K::UInt},
      {"-0.0", K::Double},
  };
  for (const Case& c : cases) {
    auto r = vedra::parse_json(c.text);
    ASSERT_TRUE(r.ok());
    if (r.value().kind() != c.kind) std::fprintf(stderr, "number %s\n", c.text);
    EXPECT_TRUE(r.value().kind() == c.kind);
  }
  auto u = vedra::parse_json("18446744073709551615");
  EXPECT_EQ(std::get<uint64_t>(u.value().v), 18446744073709551615ull);
  auto i = vedra::parse_json("-1");
  EXPECT_EQ(std::get<int64_t>(i.value().v), int64_t{-1});
  auto d = vedra::parse_json("18446744073709551616");
  EXPECT_EQ(std::get<double>(d.value().v), 18446744073709551616.0);
  auto z = vedra::parse_json("-0");
  EXPECT_EQ(std::get<uint64_t>(z.value().v), uint64_t{0});
  // Written as "0", it must read back as the same value.
  EXPECT_TRUE(z.value() == vedra::parse_json("0").value());
  auto nz = vedra::parse_json("-0.0");
  EXPECT_TRUE(std::signbit(std::get<double>(nz.value().v)));
}

TEST(JsonReader, DuplicateKeysLastWins) {
  auto r = vedra::parse_json(R"({"a":1,"a":2})");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), object_of({{"a", JsonValue::uint(2)}}));
  const JsonValue* a = r.value().find("a");
  ASSERT_TRUE(a != nullptr);
  EXPECT_EQ(*a, JsonValue::uint(2));
}

// ---------------------------------------------------------------------------
// Reader: failures
// ---------------------------------------------------------------------------

TEST(JsonReader, FailureMessages) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"err000_empty", "", "EOF while parsing a value at line 1 column 0"},
      {"err010_only_ws", "   ", "EOF while parsing a value at line 1 column 3"},
      {"err020_open_list", "[", "EOF while parsing a list at line 1 column 1"},
      {"err030_list_after_comma", "[1,", "EOF while parsing a value at line 1 column 3"},
      {"err040_list_after_value", "[1", "EOF while parsing a list at line 1 column 2"},
      {"err050_open_object", "{", "EOF while parsing an object at line 1 column 1"},
      {"err060_object_after_key", R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {"err070_object_after_value", R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {"err080_object_after_colon", R"({"a":)", "EOF while parsing a value at line 1 column 5"},
      {"err090_open_string", R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {"err100_string_after_backslash", R"("a\)", "EOF while parsing a string at line 1 column 3"},
      {"err110_string_in_hex", R"("\u00)", "EOF while parsing a string at line 1 column 5"},
      {"err120_bad_start", "x", "expected value at line 1 column 1"},
      {"err130_bad_literal", "trux", "expected value at line 1 column 4"},
      {"err140_short_literal", "nul", "EOF while parsing a value at line 1 column 3"},
      {"err150_list_missing_comma", "[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"err160_list_trailing_comma", "[1,]", "expected value at line 1 column 4"},
      {"err170_object_missing_comma", R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"err180_object_missing_colon", R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"err190_object_number_key", "{1:2}", "key must be a string at line 1 column 2"},
      {"err200_object_trailing_comma", R"({"a":1,})", "key must be a string at line 1 column 8"},
      {"err210_leading_zero", "01", "invalid number at line 1 column 2"},
      {"err220_lone_minus", "-", "EOF while parsing a value at line 1 column 1"},
      {"err230_minus_letter", "-x", "invalid number at line 1 column 2"},
      {"err240_dot_letter", "1.x", "invalid number at line 1 column 3"},
      {"err250_dot_eof", "1.", "EOF while parsing a value at line 1 column 2"},
      {"err260_exp_eof", "1e", "EOF while parsing a value at line 1 column 2"},
      {"err270_exp_sign_eof", "1e+", "EOF while parsing a value at line 1 column 3"},
      {"err280_exp_letter", "1ex", "invalid number at line 1 column 3"},
      {"err290_leading_plus", "+1", "expected value at line 1 column 1"},
      {"err300_leading_dot", ".5", "expected value at line 1 column 1"},
      {"err310_out_of_range", "1e400", "number out of range at line 1 column 5"},
      {"err320_negative_out_of_range", "[-1.5e309]", "number out of range at line 1 column 9"},
      {"err330_huge_integer_digits", std::string(400, '9'), "number out of range at line 1 column 400"},
      {"err340_invalid_escape", R"("\x")", "invalid escape at line 1 column 3"},
      {"err350_bad_hex", R"("\u12g4")", "invalid escape at line 1 column 6"},
      {"err360_lone_trailing_surrogate", R"("\udc00")", "invalid unicode code point at line 1 column 7"},
      {"err370_lone_leading_surrogate", R"("\ud800")", "lone leading surrogate in hex escape at line 1 column 8"},
      {"err380_leading_then_other_escape", R"("\ud800\n")", "lone leading surrogate in hex escape at line 1 column 8"},
      {"err390_leading_then_non_surrogate", R"("\ud800\u0041")", "invalid unicode code point at line 1 column 13"},
      {"err400_leading_then_leading", R"("\ud800\ud800")", "invalid unicode code point at line 1 column 13"},
      {"err410_raw_tab", "\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"err420_raw_nul", std::string("\"\0\"", 3), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"err430_trailing", "[]x", "trailing characters at line 1 column 3"},
      {"err440_trailing_next_line", "[] \n x", "trailing characters at line 2 column 2"},
      {"err450_second_value", "1 2", "trailing characters at line 1 column 3"},
      {"err460_third_line", "[1,\n2,\n!]", "expected value at line 3 column 1"},
      {"err470_eof_after_newline", "[\n", "EOF while parsing a list at line 1 column 2"},
      {"err480_bom", "\xef\xbb\xbf[]", "expected value at line 1 column 1"},
      {"err490_nan", "NaN", "expected value at line 1 column 1"},
      {"err500_single_quotes", "['a']", "expected value at line 1 column 2"},
      {"err510_object_close_in_list", "[}", "expected value at line 1 column 2"},
      {"err520_list_close_in_object", R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
  };
  for (const Case& c : cases) {
    const std::string got = parse_message(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
}

TEST(JsonReader, InvalidUtf8Refused) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  const std::string bad = "invalid UTF-8 in string at line 1 column ";
  const Case cases[] = {
      {"utf000_ff", "\"\xff\"", bad + "2"},
      {"utf010_stray_continuation", "\"ab\x80\"", bad + "4"},
      {"utf020_overlong_2", "\"\xc0\x80\"", bad + "2"},
      {"utf030_overlong_c1", "\"\xc1\xbf\"", bad + "2"},
      {"utf040_overlong_3", "\"\xe0\x80\x80\"", bad + "2"},
      {"utf050_overlong_4", "\"\xf0\x80\x80\x80\"", bad + "2"},
      {"utf060_surrogate", "\"\xed\xa0\x80\"", bad + "2"},
      {"utf070_above_max", "\"\xf4\x90\x80\x80\"", bad + "2"},
      {"utf080_f5", "\"\xf5\x80\x80\x80\"", bad + "2"},
      {"utf090_truncated_before_quote", "\"\xc3\"", bad + "2"},
      {"utf100_truncated_3", "\"x\xe4\xb8\"", bad + "3"},
      {"utf110_in_key", "{\"\xfe\":1}", bad + "3"},
      {"utf120_truncated_at_eof", "\"\xe4\xb8", "EOF while parsing a string at line 1 column 3"},
      {"utf130_outside_string", "\xc3\xa9", "expected value at line 1 column 1"},
  };
  for (const Case& c : cases) {
    const std::string got = parse_message(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
}

TEST(JsonReader, NestingLimit) {
  const std::string limit = "recursion limit exceeded at line 1 column 128";
  auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  auto objects = [](int n) {
    std::string s;
    for (int i = 0; i < n - 1; ++i) s += "{\"a\":";
    s += "{}";
    for (int i = 0; i < n - 1; ++i) s += "}";
    return s;
  };
  EXPECT_EQ(parse_message(arrays(127)), std::string("<ok>"));
  EXPECT_EQ(parse_message(arrays(128)), limit);
  EXPECT_EQ(parse_message(objects(127)), std::string("<ok>"));
  // The 128th opening brace is byte 127 * 5 + 1.
  EXPECT_EQ(parse_message(objects(128)), std::string("recursion limit exceeded at line 1 column 636"));
  // Mixed containers count alike; scalars do not add a level.
  std::string mixed;
  for (int i = 0; i < 127; ++i) mixed += i % 2 ? "{\"k\":" : "[";
  mixed += "1";
  for (int i = 126; i >= 0; --i) mixed += i % 2 ? "}" : "]";
  EXPECT_EQ(parse_message(mixed), std::string("<ok>"));
  EXPECT_EQ(parse_message("[" + arrays(127) + "]"), limit);
  auto deep = vedra::parse_json(arrays(127));
  ASSERT_TRUE(deep.ok());
  EXPECT_EQ(vedra::write_json_compact(deep.value()), arrays(127));
}

// ---------------------------------------------------------------------------
// Round-trip properties
// ---------------------------------------------------------------------------

namespace {

void append_code_point(unsigned cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string random_string(std::mt19937_64& rng) {
  std::string s;
  const int n = static_cast<int>(rng() % 12);
  for (int i = 0; i < n; ++i) {
    switch (rng() % 6) {
      case 0: s += static_cast<char>(rng() % 0x20); break;          // control
      case 1: s += "\"\\/\x7f"[rng() % 4]; break;                    // specials
      case 2: append_code_point(0x80 + rng() % 0x780, s); break;     // 2-byte
      case 3: {                                                       // 3-byte, no surrogates
        unsigned cp = 0x800 + rng() % (0x10000 - 0x800);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x1000;
        append_code_point(cp, s);
        break;
      }
      case 4: append_code_point(0x10000 + rng() % 0x100000, s); break;  // 4-byte
      default: s += static_cast<char>('a' + rng() % 26); break;
    }
  }
  return s;
}

JsonValue random_value(std::mt19937_64& rng, int depth) {
  const int pick = static_cast<int>(rng() % (depth < 6 ? 9 : 7));
  switch (pick) {
    case 0: return JsonValue::null();
    case 1: return JsonValue::boolean(rng() % 2 == 0);
    case 2: return JsonValue::uint(rng() % 3 == 0 ? rng() : rng() % 1000);
    case 3: {
      const int64_t v = -static_cast<int64_t>(rng() >> 1) - 1;
      return JsonValue::sint(rng() % 3 == 0 ? v : -static_cast<int64_t>(rng() % 1000) - 1);
    }
    case 4: return JsonValue::dbl(random_finite_double(rng));
    case 5:
    case 6: return JsonValue::string(random_string(rng));
    case 7: {
      JsonArray a;
      const int n = static_cast<int>(rng() % 5);
      for (int i = 0; i < n; ++i) a.push_back(random_value(rng, depth + 1));
      return JsonValue::array(std::move(a));
    }
    default: {
      JsonObject o;
      const int n = static_cast<int>(rng() % 5);
      for (int i = 0; i < n; ++i) {
        o.push_back(JsonMember{rng() % 3 == 0 ? std::string(1, static_cast<char>('a' + rng() % 3))
                                              : random_string(rng),
                               random_value(rng, depth + 1)});
      }
      vedra::normalize_object(o);
      return JsonValue::object(std::move(o));
    }
  }
}

// Inserts random white space after every structural byte outside strings.
std::string sprinkle_white_space(const std::string& compact, std::mt19937_64& rng) {
  std::string out;
  bool in_string = false;
  for (size_t i = 0; i < compact.size(); ++i) {
    const char c = compact[i];
    out += c;
    if (in_string) {
      if (c == '\\') {
        out += compact[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
      continue;
    }
    if (c == '[' || c == '{' || c == ',' || c == ':') {
      const int n = static_cast<int>(rng() % 3);
      for (int k = 0; k < n; ++k) out += " \t\n\r"[rng() % 4];
    }
  }
  return out;
}

}  // namespace

TEST(JsonRoundTrip, RandomValuesWriteThenRead) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 4000; ++i) {
    const JsonValue v = random_value(rng, 0);
    const std::string text = vedra::write_json_compact(v);
    auto back = vedra::parse_json(text);
    if (!back.ok()) std::fprintf(stderr, "text %s: %s\n", text.c_str(), back.status().message().c_str());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), v);
    // Signed zeros compare equal as doubles; the texts tell them apart.
    EXPECT_EQ(vedra::write_json_compact(back.value()), text);
    auto spaced = vedra::parse_json(" " + sprinkle_white_space(text, rng) + "\n");
    ASSERT_TRUE(spaced.ok());
    EXPECT_EQ(spaced.value(), v);
  }
}

TEST(JsonRoundTrip, MutatedTextsNeverCrashAndStayStable) {
  // Any text the reader accepts is written back to a text that reads to the
  // same value; refused texts carry a positioned message.
  std::mt19937_64 rng(99);
  const char alphabet[] = "{}[],:\"\\u0123456789abcdef-+.eE tnrl\x01\x80\xc3\xed\xff";
  int accepted = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string text = vedra::write_json_compact(random_value(rng, 0));
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = rng() % text.size();
      const char c = alphabet[rng() % (sizeof alphabet - 1)];
      switch (rng() % 4) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        case 2: text[at] = c; break;
        default: text.resize(at); break;
      }
    }
    auto r = vedra::parse_json(text);
    if (r.ok()) {
      ++accepted;
      const std::string again = vedra::write_json_compact(r.value());
      auto r2 = vedra::parse_json(again);
      ASSERT_TRUE(r2.ok());
      EXPECT_EQ(r2.value(), r.value());
    } else {
      EXPECT_TRUE(r.status().message().find(" at line ") != std::string::npos);
    }
  }
  EXPECT_TRUE(accepted > 0);
}
