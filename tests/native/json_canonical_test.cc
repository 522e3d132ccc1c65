// The canonical compact check against the writer: what the writer produces is
// canonical, and every other spelling of the same value is not.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "store/json/byte_scan.h"
#include "store/json/json_canonical.h"
#include "store/json/member_names.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "testing.h"

using namespace vedra;

TEST(JsonCanonical, Table) {
  const std::pair<const char*, bool> cases[] = {
      {"{}", true}, {"[]", true}, {"null", true}, {"true", true}, {"0", true}, {"-1", true},
      {"18446744073709551615", true}, {"18446744073709551616", false}, {"-9223372036854775808", true},
      {"-9223372036854775809", false}, {"-0", false}, {"0.5", true}, {"2.0", true}, {"2", true},
      {"1e+16", true}, {"1e16", false}, {"1E+16", false}, {"10000000000000000.0", false}, {"1.50", false},
      {"\"a\\\"b\\\\c\\n\\u001f\"", true}, {"\"\\u0041\"", false}, {"\"\\/\"", false}, {"\"\\u000a\"", false},
      {"\"\\u001F\"", false}, {"\"\x7f\xc3\xa9\"", true}, {"{\"a\":1,\"b\":2}", true}, {"{\"b\":1,\"a\":2}", false},
      {"{\"a\":1,\"a\":2}", false}, {"{\"B\":1,\"a\":2}", true}, {"{\"a\":1,\"ab\":2}", true},
      {"{ \"a\":1}", false}, {"[1, 2]", false}, {"[1,2] ", false}, {"{\"\\u0001\":1}", false},
      {"123456789012345678", true}, {"-123456789012345678", true}, {"1234567890123456789", true},
      {"-1234567890123456789", true}, {"00", false}, {"-00", false}, {"-01", false}, {"1-2", false},
      {"-0.5", true}, {"-0.50", false}, {"-00.5", false}, {"12345678901234.5", true}, {"-12345678901234.5", true},
      {"[true,false,null]", true}, {"[nul]", false}, {"fals", false},
  };
  for (const auto& [text, want] : cases) {
    EXPECT_EQ(is_canonical_compact_for_testing(text), want);
    if (is_canonical_compact_for_testing(text) != want) std::cerr << "  text: " << text << "\n";
  }
}

TEST(JsonCanonical, WriterOutputIsCanonical) {
  std::mt19937_64 rng(7);
  auto random_value = [&](auto& self, int depth) -> JsonValue {
    switch (rng() % (depth > 3 ? 5 : 7)) {
      case 0: return JsonValue::null();
      case 1: return JsonValue::boolean(rng() & 1);
      case 2: return JsonValue::uint(rng() >> (rng() % 64));
      case 3: return JsonValue::sint(-static_cast<int64_t>(rng() >> (1 + rng() % 63)) - 1);
      case 4: {
        double d;
        do {
          const uint64_t bits = rng();
          std::memcpy(&d, &bits, sizeof d);
        } while (!std::isfinite(d));
        return (rng() & 1) ? JsonValue::dbl(d) : JsonValue::string(std::string(1 + rng() % 3, char(rng() % 128)));
      }
      case 5: {
        JsonArray a;
        for (int i = rng() % 4; i > 0; --i) a.push_back(self(self, depth + 1));
        return JsonValue::array(std::move(a));
      }
      default: {
        JsonObject o;
        for (int i = rng() % 4; i > 0; --i) o.push_back({std::string(1, char('a' + rng() % 5)), self(self, depth + 1)});
        normalize_object(o);
        return JsonValue::object(std::move(o));
      }
    }
  };
  for (int i = 0; i < 3000; ++i) {
    const JsonValue v = random_value(random_value, 0);
    const std::string text = write_json_compact(v);
    // Keys holding escapes are left undecided (false) by design.
    if (text.find("\\u") != std::string::npos && text.find('{') != std::string::npos) continue;
    EXPECT_TRUE(is_canonical_compact_for_testing(text));
    if (!is_canonical_compact_for_testing(text)) std::cerr << "  text: " << text << "\n";
  }
}

// Many texts measured with one names table, as a load measures the members
// of a full payload: objects of a few names in any order, repeated or not,
// nested in arrays and objects.  A name recognised from the table must be
// checked as strictly as a scanned one: the answer is the reader's and the
// writer's (canonical exactly when the text is its own compact writing).
TEST(JsonCanonical, SharedNamesTableAgreesWithReaderAndWriter) {
  std::mt19937_64 rng(17);
  static const char* const names[] = {"a", "ab", "b", "c", "a_rather_long_member_name_beyond", "\xc3\xa9"};
  auto random_text = [&](auto& self, int depth) -> std::string {
    switch (depth == 0 ? 3 : rng() % (depth > 2 ? 2 : 4)) {
      case 0: return std::to_string(rng() % 100);
      case 1: return "\"x\"";
      case 2: {
        std::string t = "[";
        for (int i = rng() % 3; i > 0; --i) t += (t.size() > 1 ? "," : "") + self(self, depth + 1);
        return t + "]";
      }
      default: {
        std::vector<std::string> keys;
        for (int i = rng() % 5; i > 0; --i) keys.push_back(names[rng() % 6]);
        if (rng() % 3) std::sort(keys.begin(), keys.end());
        std::string t = "{";
        for (const std::string& k : keys) t += (t.size() > 1 ? ",\"" : "\"") + k + "\":" + self(self, depth + 1);
        return t + "}";
      }
    }
  };
  MemberNames shared;
  int canonical = 0, not_canonical = 0;
  for (int i = 0; i < 6000; ++i) {
    const std::string text = random_text(random_text, 0);
    Result<JsonValue> v = parse_json(text);
    const bool want = v.ok() && write_json_compact(v.value()) == text;
    const bool got = canonical_compact_value_length(text, 8, shared) == text.size();
    if (got != want) std::cerr << "  text: " << text << "\n";
    EXPECT_EQ(got, want);
    (want ? canonical : not_canonical)++;
  }
  EXPECT_TRUE(canonical > 1000 && not_canonical > 1000);
}

TEST(JsonCanonical, ValueLengthStopsAtTheValueAndRefusesWhatTheReaderRefuses) {
  EXPECT_EQ(canonical_compact_value_length("{\"a\":[1,2]},\"next\"", 8), 11u);
  EXPECT_EQ(canonical_compact_value_length("\"\xe4\xb8\xad\"}", 8), 5u);
  // Ill-formed UTF-8 (a lone continuation byte, an encoded surrogate, a cut
  // sequence) is not canonical: the reader would refuse it.
  for (const char* bad : {"\"\x80\"", "\"\xed\xa0\x80\"", "\"\xe4\xb8\"", "\"\xc0\xaf\""}) {
    EXPECT_EQ(canonical_compact_value_length(bad, 8), 0u);
  }
  // Exactly max_levels container levels are accepted, one more is not.
  const std::string three = "[[[1]]]", four = "[[[[1]]]]";
  EXPECT_EQ(canonical_compact_value_length(three, 3), three.size());
  EXPECT_EQ(canonical_compact_value_length(four, 3), 0u);
  EXPECT_EQ(canonical_compact_value_length("{\"a\":{\"b\":{}}}", 2), 0u);
  EXPECT_EQ(canonical_compact_value_length("1", 0), 1u);
  EXPECT_EQ(canonical_compact_value_length("[]", 0), 0u);
  // Anything the reader would refuse outright.
  for (const char* bad : {"", "-", "01", "1.", "[1,]", "{\"a\"}", "tru", "\"\x01\"", "\"abc"}) {
    EXPECT_EQ(canonical_compact_value_length(bad, 8), 0u);
  }
}

// Decimal texts of every shape near the writer's choices (leading and
// trailing zeros, up to 16 digits, both signs), against the writer's own
// spelling of the value they read as; strings long and short, ASCII and
// not, against the reader.
TEST(JsonCanonical, DecimalsAndStringsAgreeWithReaderAndWriter) {
  std::mt19937_64 rng(11);
  auto digits = [&](size_t n, bool zeros) {
    std::string d;
    for (size_t i = 0; i < n; ++i) d.push_back(zeros && (rng() & 1) ? '0' : char('0' + rng() % 10));
    return d;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string text = (rng() & 3) == 0 ? "-" : "";
    text += digits(1 + rng() % 9, (rng() & 3) == 0);
    text += '.';
    text += digits(1 + rng() % 8, (rng() & 3) == 0);
    Result<JsonValue> v = parse_json(text);
    const bool want = v.ok() && write_json_compact(v.value()) == text;
    EXPECT_EQ(is_canonical_compact_for_testing(text), want);
    if (is_canonical_compact_for_testing(text) != want) std::cerr << "  text: " << text << "\n";
  }
  const char* pieces[] = {"a", "Zq", "\xe4\xb8\xad", "\xc3\xa9", "\xf0\x9f\x98\x80", "\xe3\x80\x82", "\xe0\xa0\x80",
                          "\xed\x9f\xbf", "\\n", "\\\"", " ", "\x01", "\x80", "\xed\xa0\x80", "\\u0041", "\xe4\xb8",
                          "\xe0\x80\x80", "\xbf"};
  for (int i = 0; i < 20000; ++i) {
    std::string text = "\"";
    for (int n = rng() % 40; n > 0; --n) text += pieces[rng() % (rng() % 4 == 0 ? 18 : 8)];
    text += '"';
    Result<JsonValue> v = parse_json(text);
    const bool want = v.ok() && write_json_compact(v.value()) == text;
    EXPECT_EQ(is_canonical_compact_for_testing(text), want);
    if (is_canonical_compact_for_testing(text) != want) std::cerr << "  text: " << text << "\n";
  }
}

// The sixteen-byte stop scan: its SSE2 and word-at-a-time forms against a
// byte-by-byte oracle, on blocks mixing plain bytes with every kind of stop.
TEST(JsonCanonical, StringStopScanFormsAgree) {
  std::mt19937_64 rng(13);
  const unsigned char interesting[] = {'a', ' ', '~', 0x7f, '"', '\\', 0x00, 0x1f, 0x20, 0x80, 0xbf, 0xe4, 0xff, '!', '#', '[', ']'};
  for (int i = 0; i < 20000; ++i) {
    char block[16];
    for (char& c : block) c = static_cast<char>(rng() % 3 ? 'a' + rng() % 26 : interesting[rng() % sizeof interesting]);
    unsigned want = 16;
    for (unsigned k = 0; k < 16 && want == 16; ++k) {
      const unsigned char c = static_cast<unsigned char>(block[k]);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') want = k;
    }
    EXPECT_EQ(ascii_string_stop16(block), want);
    EXPECT_EQ(ascii_string_stop16_portable(block), want);
  }
  // The block scan that also takes three-byte sequences: its prefix is never
  // shorter than the ASCII one, never longer than the longest run of plain
  // bytes and whole sequences with leads E1..EC, EE, EF.
  const char* pieces[] = {"a", "\"", "\\", "\x01", "\xe4\xb8\xad", "\xe3\x80\x81", "\xef\xbf\xbf", "\xe0\xa0\x80",
                          "\xed\x9f\xbf", "\xc3\xa9", "\xf0\x9f\x98\x80", "\x80", "\xe4\xb8", "\xe4"};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    while (text.size() < 16) text += pieces[rng() % (rng() % 3 ? 7 : 14)];
    const unsigned char* b = reinterpret_cast<const unsigned char*>(text.data());
    unsigned longest = 0;
    for (;;) {
      if (longest < 16 && b[longest] >= 0x20 && b[longest] < 0x80 && b[longest] != '"' && b[longest] != '\\') {
        ++longest;
      } else if (longest + 3 <= 16 && b[longest] >= 0xe1 && b[longest] <= 0xef && b[longest] != 0xed &&
                 (b[longest + 1] & 0xc0) == 0x80 && (b[longest + 2] & 0xc0) == 0x80) {
        longest += 3;
      } else {
        break;
      }
    }
    const unsigned got = plain_string_prefix16(text.data());
    EXPECT_TRUE(got >= ascii_string_stop16(text.data()) && got <= longest);
    if (!(got >= ascii_string_stop16(text.data()) && got <= longest)) std::cerr << "  block: " << text << "\n";
  }
}
