// Tests of the UTF-8 encoder and well-formedness check.

#include <cstdint>
#include <cstdio>
#include <string>

#include "store/json/utf8.h"
#include "testing.h"

namespace {

int sequence_length(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  return vedra::utf8_sequence_length(p, p + s.size());
}

}  // namespace

TEST(Utf8, EncodingBoundaries) {
  struct Case {
    const char* name;
    uint32_t cp;
    const char* want;          // append_utf8
    const char* want_replaced;  // append_utf8_replacing_surrogates
  };
  const Case cases[] = {
      {"enc000_nul", 0x0, "", ""},  // compared with an explicit length below
      {"enc010_last_ascii", 0x7F, "\x7f", "\x7f"},
      {"enc020_first_two_byte", 0x80, "\xc2\x80", "\xc2\x80"},
      {"enc030_last_two_byte", 0x7FF, "\xdf\xbf", "\xdf\xbf"},
      {"enc040_first_three_byte", 0x800, "\xe0\xa0\x80", "\xe0\xa0\x80"},
      {"enc050_before_surrogates", 0xD7FF, "\xed\x9f\xbf", "\xed\x9f\xbf"},
      {"enc060_first_surrogate", 0xD800, "\xed\xa0\x80", "\xef\xbf\xbd"},
      {"enc070_last_surrogate", 0xDFFF, "\xed\xbf\xbf", "\xef\xbf\xbd"},
      {"enc080_after_surrogates", 0xE000, "\xee\x80\x80", "\xee\x80\x80"},
      {"enc090_last_three_byte", 0xFFFF, "\xef\xbf\xbf", "\xef\xbf\xbf"},
      {"enc100_first_four_byte", 0x10000, "\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},
      {"enc110_last_code_point", 0x10FFFF, "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
  };
  for (const Case& c : cases) {
    std::string plain = "<", replaced = "<";
    vedra::append_utf8(c.cp, plain);
    vedra::append_utf8_replacing_surrogates(c.cp, replaced);
    const std::string want = c.cp == 0 ? std::string("<\0", 2) : std::string("<") + c.want;
    const std::string want_replaced = c.cp == 0 ? std::string("<\0", 2) : std::string("<") + c.want_replaced;
    if (plain != want || replaced != want_replaced) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(plain, want);
    EXPECT_EQ(replaced, want_replaced);
  }
}

TEST(Utf8, EveryCodePointAgainstTheCheck) {
  // Every scalar value encodes to a sequence the check accepts with its own
  // length (the oracle: 1, 2, 3 or 4 bytes by range); every surrogate encodes
  // to the three-byte form the check refuses, and its replacement is U+FFFD.
  int failures = 0;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string s;
    vedra::append_utf8(cp, s);
    const int want_len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    bool ok = static_cast<int>(s.size()) == want_len;
    if (cp >= 0x80) ok = ok && sequence_length(s) == (vedra::is_surrogate(cp) ? 0 : want_len);
    if (vedra::is_surrogate(cp)) {
      std::string r;
      vedra::append_utf8_replacing_surrogates(cp, r);
      ok = ok && r == "\xef\xbf\xbd";
    }
    if (!ok && ++failures <= 5) std::fprintf(stderr, "code point U+%04X\n", static_cast<unsigned>(cp));
  }
  EXPECT_EQ(failures, 0);
}

TEST(Utf8, IllFormedAndTruncatedSequences) {
  struct Case {
    const char* name;
    std::string in;
    int want;
  };
  const Case cases[] = {
      {"len000_stray_continuation", "\x80", 0},
      {"len010_overlong_c0", "\xc0\x80", 0},
      {"len020_overlong_c1", "\xc1\xbf", 0},
      {"len030_overlong_e0", "\xe0\x9f\xbf", 0},
      {"len040_overlong_f0", "\xf0\x8f\xbf\xbf", 0},
      {"len050_above_max", "\xf4\x90\x80\x80", 0},
      {"len060_f5", "\xf5\x80\x80\x80", 0},
      {"len070_bad_second", "\xc3\x41", 0},
      {"len080_bad_third", "\xe4\xb8\x41", 0},
      {"len090_truncated_two", "\xc3", -1},
      {"len100_truncated_four", "\xf0\x9f\x98", -1},
      {"len110_longer_text", "\xc3\xa9zz", 2},
  };
  for (const Case& c : cases) {
    const int got = sequence_length(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
}
