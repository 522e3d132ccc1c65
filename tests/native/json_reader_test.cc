// Tests of the JSON reader: accepted texts, number classes, failure messages
// and nesting, plus write/read round-trip properties.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json_test_support.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "store/json/utf8.h"
#include "testing.h"

using vedra::JsonArray;
using vedra::JsonMember;
using vedra::JsonObject;
using vedra::JsonValue;
using vedra_test::object_of;
using vedra_test::parse_message;
using vedra_test::random_finite_double;

namespace {

std::string roundtrip_text(std::string_view text) {
  auto r = vedra::parse_json(text);
  return r.ok() ? vedra::write_json_compact(r.value()) : "<err> " + r.status().message();
}

}  // namespace

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

std::string random_string(std::mt19937_64& rng) {
  std::string s;
  const int n = static_cast<int>(rng() % 12);
  for (int i = 0; i < n; ++i) {
    switch (rng() % 6) {
      case 0: s += static_cast<char>(rng() % 0x20); break;          // control
      case 1: s += "\"\\/\x7f"[rng() % 4]; break;                    // specials
      case 2: vedra::append_utf8(0x80 + rng() % 0x780, s); break;     // 2-byte
      case 3: {                                                       // 3-byte, no surrogates
        unsigned cp = 0x800 + rng() % (0x10000 - 0x800);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x1000;
        vedra::append_utf8(cp, s);
        break;
      }
      case 4: vedra::append_utf8(0x10000 + rng() % 0x100000, s); break;  // 4-byte
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
