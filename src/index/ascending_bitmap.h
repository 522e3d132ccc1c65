// AscendingBitmaps: CRoaring bitmaps made whole from ascending record
// numbers, in one call into CRoaring instead of one insert per number.
//
// The numbers are laid out in CRoaring's portable serialized form, which
// every release reads the same way, and read back: CRoaring then makes each
// container once, at its final size, and copies its contents in.  The
// containers are those inserting the numbers one by one would have made (an
// array up to 4096 numbers, a bitset above), so the bitmap answers, sizes
// and serializes exactly as such a bitmap would.
//
// The layout goes through a buffer the object keeps: whoever makes many
// bitmaps in turn (the end of a bulk load) has its pages cleared once.
//
// Thread safety: none; one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <roaring/roaring.h>

namespace vedra {

class AscendingBitmaps {
 public:
  // A new bitmap of xs[0], ..., xs[n - 1].  REQUIRES: n > 0, xs strictly
  // ascending.  Throws std::bad_alloc, having made nothing.
  roaring_bitmap_t* make(const uint32_t* xs, size_t n);

 private:
  std::vector<uint64_t> layout_;
};

}  // namespace vedra
