// The white-space trim of the Unicode White_Space characters.
#include "base/text.h"

#include <string>
#include <utility>

#include "testing.h"

using namespace vedra;

TEST(Text, TrimWhiteSpace) {
  const std::pair<const char*, const char*> cases[] = {
      {"  a b  ", "a b"},
      {"\t\n\v\f\r a \x85", "a \x85"},  // a lone 0x85 byte is not U+0085
      {"\xc2\x85\xc2\xa0x\xe3\x80\x80", "x"},
      {"\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe1\x9a\x80y", "y"},
      {"\xe2\x80\x8b", "\xe2\x80\x8b"},  // U+200B is not White_Space
      {"", ""},
      {"   ", ""},
      {"中 文", "中 文"},
      {"\xe3\x80\x80中文\xe3\x80\x80", "中文"},
      {"中文 ", "中文"},
      {" 中", "中"},
      {"中\xc2\xa0", "中"},
      {"a\xe4\xb8\xad", "a\xe4\xb8\xad"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(std::string(trim_white_space(in)), std::string(out));
}
