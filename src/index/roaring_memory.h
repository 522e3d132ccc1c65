// CRoaring's memory: every allocation CRoaring makes succeeds, or the engine
// refuses the work before CRoaring starts it.
//
// The CRoaring we build against (Debian's 0.2.66) has no allocation hooks
// and carries on after its own failed allocations: it asserts, or stores and
// later dereferences the null pointer, in the middle of a bitmap it has half
// changed.  No check of a result can repair that, so the engine keeps
// CRoaring from ever seeing a failure:
//
//   1. CRoaring's imports of malloc, calloc, realloc, posix_memalign,
//      aligned_alloc, memalign and free are redirected, once, to functions
//      of this file (its jump slots are rewritten; a CRoaring linked in any
//      other way keeps the C library's allocator, see roaring_hooked()).
//      They forward to the process allocator and, when that fails, serve the
//      request from a reserve.
//   2. Before each CRoaring call that may allocate, the caller asks for a
//      reserve at least as large as everything the call can allocate
//      (roaring_reserve() with one of the bounds below).  Getting that
//      reserve is the only step that can fail, and it fails before CRoaring
//      runs: std::bad_alloc, nothing changed.
//   3. A call that drew on the reserve completes correctly; the reserve is
//      made whole again at the next roaring_reserve().  Reserve memory held
//      by live bitmaps returns to the process when they free it.
//
// The reserve is process memory the engine keeps (address space, untouched
// until a shortage writes to it): at least kMinReserve, and as large as the
// largest bound asked for.
//
// Thread safety: none.  Every caller holds the interpreter lock (the module)
// or is the only thread doing bitmap work (the native tests).
#pragma once

#include <cstddef>
#include <cstdint>

#include <roaring/roaring.h>

namespace vedra {

inline constexpr size_t kMinReserve = size_t{256} << 10;

// Makes sure that CRoaring can allocate `bytes` more (beyond what an open
// RoaringPledges scope already promised) even when the process allocator
// fails.  Inside a RoaringPledges scope the bytes are promised until the
// scope closes.  Throws std::bad_alloc, promising nothing, when it cannot.
inline void roaring_reserve(size_t bytes);

// Promises made by roaring_reserve() are kept until this scope closes, so
// that several calls prepared one by one (a record's postings) can then run
// where nothing may fail.  Not nested.
class RoaringPledges {
 public:
  RoaringPledges();
  ~RoaringPledges();
  RoaringPledges(const RoaringPledges&) = delete;
  RoaringPledges& operator=(const RoaringPledges&) = delete;
};
// True inside a RoaringPledges scope.
bool roaring_pledges_open();

// True once CRoaring's allocations go through the reserve (false where the
// library could not be redirected: then a failed allocation inside CRoaring
// remains fatal, as in CRoaring itself).
bool roaring_hooked();

// How many of CRoaring's allocations the reserve has served so far (each
// one an allocation the process allocator refused).
size_t roaring_reserve_draws();

// Upper bounds of what one CRoaring call allocates, in bytes.  Each counts,
// per 65536-number container the call may touch, a new container of the
// largest kind with its old one still held, plus the growth of the
// container index and of every container's data.
//   adding (or removing) n numbers, none above `max_number`, to `r`:
size_t roaring_add_bound(const roaring_bitmap_t* r, size_t n, uint32_t max_number);
//   adding `number` to a bitmap whose numbers are all below it (no call
//   into CRoaring; the containers held are at most number / 65536 + 1):
size_t roaring_append_bound(uint32_t number);
//   combining `a` with `b` in place, or copying `a` (b null):
size_t roaring_op_bound(const roaring_bitmap_t* a, const roaring_bitmap_t* b);
//   a new bitmap of {0, ..., n - 1}:
size_t roaring_range_bound(uint32_t n);

namespace roaring_memory_internal {
inline constexpr size_t kSlack = 256;  // alignment and header of one block
extern size_t free_bytes;  // of the reserve, less what is pledged; 0 until hooked
extern bool pledges_open;
void reserve_slow(size_t bytes);
}  // namespace roaring_memory_internal

inline void roaring_reserve(size_t bytes) {
  namespace m = roaring_memory_internal;
  if (!m::pledges_open && bytes + m::kSlack <= m::free_bytes) [[likely]] return;
  m::reserve_slow(bytes);
}

}  // namespace vedra
