// BuildArray<T>: the matcher build's transient per-pattern and per-state
// arrays.
//
// A large build (a load's, hundreds of thousands of patterns) holds them in
// mappings of their own, which leave the heap as it was and grow by moving
// pages (base/page_array.h).  A small build keeps them in the heap: builds
// of a few thousand patterns repeated in one process then reuse the
// allocator's warm blocks, where fresh mappings cost each build its faults
// and system calls (about 50 thousand states, a few hundred kilobytes an
// array, fit below the threshold).
//
// Thread safety: as PageArray.
#pragma once

#include <cstddef>

#include "base/page_array.h"

namespace vedra::matcher_internal {

inline constexpr size_t kBuildHeapBelow = size_t{1} << 20;

template <typename T>
using BuildArray = PageArray<T, kBuildHeapBelow>;

}  // namespace vedra::matcher_internal
