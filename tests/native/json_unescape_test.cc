// Tests of the decoder of strings the engine wrote, against the writer and
// the reader.

#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "store/json/json_reader.h"
#include "store/json/json_unescape.h"
#include "store/json/json_writer.h"
#include "store/json/utf8.h"
#include "testing.h"

namespace {

const char* const kRefused = "<refused>";

// Decodes the string text `quoted` (with its opening quote); the decoded text,
// then "|" and what follows the closing quote, or kRefused.
std::string decode(std::string_view quoted) {
  std::string out;
  const char* end = quoted.data() + quoted.size();
  const char* after = vedra::unescape_written_string(quoted.data() + 1, end, out);
  if (after == nullptr) return kRefused;
  return out + "|" + std::string(after, end);
}

}  // namespace

TEST(JsonUnescape, WrittenFormsAndRefusals) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"une000_empty", R"("")", "|"},
      {"une010_plain_then_more", R"("abc",1)", "abc|,1"},
      {"une020_short_escapes", R"("\"\\\b\f\n\r\t")", "\"\\\b\f\n\r\t|"},
      {"une030_control_escapes", R"("\u0000\u0001\u001f")", std::string("\0\x01\x1f|", 4)},
      {"une040_raw_utf8_and_del", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f/\"", "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\x7f/|"},
      {"une050_escape_after_long_run", R"("abcdefghijklmnop\nq")", "abcdefghijklmnop\nq|"},
      {"une060_solidus_escape", R"("a\/b")", kRefused},
      {"une070_beyond_controls", R"("\u0020")", kRefused},
      {"une080_non_ascii_escape", R"("\u00e9")", kRefused},
      {"une090_surrogate_escape", R"("\ud800")", kRefused},
      {"une100_uppercase_hex", R"("\u001F")", kRefused},
      {"une110_short_hex", R"("\u00)", kRefused},
      {"une120_unknown_escape", R"("\x")", kRefused},
      {"une130_raw_control", "\"a\x01\"", kRefused},
      {"une140_raw_line_feed_after_run", "\"abcdefghij\n\"", kRefused},
      {"une150_no_closing_quote", R"("abc)", kRefused},
      {"une160_backslash_at_end", "\"abc\\", kRefused},
  };
  for (const Case& c : cases) {
    const std::string got = decode(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
}

TEST(JsonUnescape, ResumesInsideAString) {
  // Started past a prefix already taken by the caller, as the payload
  // builder does after its own scan of a plain run.
  const std::string text = R"("plain part\tthen more")";
  std::string out = "plain part";
  const char* p = text.data() + 1 + out.size();
  const char* after = vedra::unescape_written_string(p, text.data() + text.size(), out);
  ASSERT_TRUE(after == text.data() + text.size());
  EXPECT_EQ(out, std::string("plain part\tthen more"));
}

namespace {

std::string random_text(std::mt19937_64& rng) {
  std::string s;
  const int n = static_cast<int>(rng() % 40);
  for (int i = 0; i < n; ++i) {
    switch (rng() % 5) {
      case 0: s += static_cast<char>(rng() % 0x20); break;
      case 1: s += "\"\\/\x7f"[rng() % 4]; break;
      case 2: vedra::append_utf8(static_cast<uint32_t>(0x80 + rng() % 0xD000), s); break;
      default: s += static_cast<char>('a' + rng() % 26); break;
    }
  }
  return s;
}

}  // namespace

TEST(JsonUnescape, WriterOutputDecodesToItsInput) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 5000; ++i) {
    const std::string s = random_text(rng);
    std::string quoted;
    vedra::write_json_string(s, quoted);
    EXPECT_EQ(decode(quoted), s + "|");
  }
}

TEST(JsonUnescape, AcceptsOnlyWhatTheReaderReadsAlike) {
  // Mutated writer output: whatever the decoder accepts, the reader reads as
  // a string with the same text (the reader being the oracle of meaning).
  std::mt19937_64 rng(11);
  const char alphabet[] = "\"\\u0019aFf/\x01\n";
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string quoted;
    vedra::write_json_string(random_text(rng), quoted);
    // Inserted between characters: raw bytes from 0x80 up are the writer's
    // copy of well-formed text, which the decoder does not check again.
    size_t at = 1 + rng() % quoted.size();
    while (at < quoted.size() && (static_cast<unsigned char>(quoted[at]) & 0xC0) == 0x80) ++at;
    quoted.insert(quoted.begin() + static_cast<std::ptrdiff_t>(at), alphabet[rng() % (sizeof alphabet - 1)]);
    std::string out;
    const char* end = quoted.data() + quoted.size();
    const char* after = vedra::unescape_written_string(quoted.data() + 1, end, out);
    if (after == nullptr) continue;
    ++accepted;
    auto read = vedra::parse_json(std::string_view(quoted.data(), static_cast<size_t>(after - quoted.data())));
    ASSERT_TRUE(read.ok());
    ASSERT_TRUE(read.value().is_string());
    EXPECT_EQ(read.value().as_string(), out);
  }
  EXPECT_TRUE(accepted > 1000);
}
