// Bitmap: an owning handle to a CRoaring bitmap of 32-bit record numbers.
//
// Only calls present in both old and new CRoaring releases are used.
//
// Memory: every method that makes CRoaring allocate first secures, with
// roaring_reserve() (roaring_memory.h), room for all that the call can
// allocate, so that CRoaring itself never meets a failed allocation (the
// release we build against does not survive one).  Securing the room is the
// only step that fails: std::bad_alloc before CRoaring runs, the bitmap
// unchanged.  A new bitmap (constructor, copy(), range()) is also checked
// for null.  Read-only calls (empty(), cardinality(), to_vector()'s copy
// out, contains) allocate nothing inside CRoaring.
#pragma once

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include <roaring/roaring.h>

#include "index/roaring_memory.h"

namespace vedra {

class Bitmap {
 public:
  // Throws std::bad_alloc.
  Bitmap() : r_(create()) {}
  // Takes ownership of `adopt`.  REQUIRES: not null.
  explicit Bitmap(roaring_bitmap_t* adopt) : r_(adopt) {}
  ~Bitmap() {
    if (r_) roaring_bitmap_free(r_);
  }
  Bitmap(Bitmap&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}
  Bitmap& operator=(Bitmap&& o) noexcept {
    if (this != &o) {
      if (r_) roaring_bitmap_free(r_);
      r_ = std::exchange(o.r_, nullptr);
    }
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  // Every mutating method below throws std::bad_alloc with the bitmap
  // unchanged.
  Bitmap copy() const { return Bitmap(copy_of(r_)); }
  static roaring_bitmap_t* copy_of(const roaring_bitmap_t* r) {
    roaring_reserve(roaring_op_bound(r, nullptr));
    roaring_bitmap_t* c = roaring_bitmap_copy(r);
    if (c == nullptr) throw std::bad_alloc();
    return c;
  }
  // {0, 1, ..., n - 1}.
  static Bitmap range(uint32_t n) {
    if (n == 0) return Bitmap();
    roaring_reserve(roaring_range_bound(n));
    // from_range gives null for an empty range as for a failed allocation.
    roaring_bitmap_t* r = roaring_bitmap_from_range(0, n, 1);
    if (r == nullptr) throw std::bad_alloc();
    return Bitmap(r);
  }
  void add(uint32_t x) {
    roaring_reserve(roaring_add_bound(r_, 1, x));
    roaring_bitmap_add(r_, x);
  }
  // REQUIRES: n > 0 numbers, the largest of which is `max_number`.
  void add_many(const uint32_t* xs, size_t n, uint32_t max_number) {
    roaring_reserve(roaring_add_bound(r_, n, max_number));
    roaring_bitmap_add_many(r_, n, xs);
  }
  // REQUIRES: n > 0 numbers, the largest of which is `max_number`.
  void remove_many(const uint32_t* xs, size_t n, uint32_t max_number) {
    roaring_reserve(roaring_op_bound(r_, nullptr) + roaring_add_bound(r_, n, max_number));
    for (size_t i = 0; i < n; ++i) roaring_bitmap_remove(r_, xs[i]);
  }
  bool empty() const { return roaring_bitmap_is_empty(r_); }
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(r_); }
  bool contains(uint32_t x) const { return roaring_bitmap_contains(r_, x); }
  void or_inplace(const Bitmap& o) { or_inplace(o.r_); }
  void and_inplace(const Bitmap& o) { and_inplace(o.r_); }
  void andnot_inplace(const Bitmap& o) { andnot_inplace(o.r_); }
  void or_inplace(const roaring_bitmap_t* o) {
    roaring_reserve(roaring_op_bound(r_, o));
    roaring_bitmap_or_inplace(r_, o);
  }
  void and_inplace(const roaring_bitmap_t* o) {
    roaring_reserve(roaring_op_bound(r_, o));
    roaring_bitmap_and_inplace(r_, o);
  }
  void andnot_inplace(const roaring_bitmap_t* o) {
    roaring_reserve(roaring_op_bound(r_, o));
    roaring_bitmap_andnot_inplace(r_, o);
  }
  void clear() { *this = Bitmap(); }
  // Ascending record numbers.
  std::vector<uint32_t> to_vector() const {
    std::vector<uint32_t> out(cardinality());
    if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
    return out;
  }
  size_t memory_usage() const { return roaring_bitmap_size_in_bytes(r_); }

  // Gives up ownership.
  roaring_bitmap_t* release() { return std::exchange(r_, nullptr); }
  roaring_bitmap_t* raw() { return r_; }
  const roaring_bitmap_t* raw() const { return r_; }

 private:
  static roaring_bitmap_t* create() {
    roaring_reserve(0);
    roaring_bitmap_t* r = roaring_bitmap_create();
    if (r == nullptr) throw std::bad_alloc();
    return r;
  }

  roaring_bitmap_t* r_;
};

}  // namespace vedra
