// PatternSpan: the pattern texts a matcher is compiled from, pattern i being
// element i.  The texts are borrowed for the duration of the build only.
#pragma once

#include <span>
#include <string_view>

namespace vedra {

using PatternSpan = std::span<const std::string_view>;

}  // namespace vedra
