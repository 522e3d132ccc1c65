// Text helpers shared by ingestion, posting and pattern registration.
// All text is UTF-8 and compared as exact bytes.
#pragma once

#include <string_view>

namespace vedra {

// Removes every leading and trailing character with the Unicode White_Space
// property (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000); interior characters are kept.
// REQUIRES: `s` is valid UTF-8.  The result is a view into `s`.
std::string_view trim_white_space(std::string_view s);

}  // namespace vedra
