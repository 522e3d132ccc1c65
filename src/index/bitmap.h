// Bitmap: an owning handle to a CRoaring bitmap of 32-bit record numbers.
//
// Only calls present in both old and new CRoaring releases are used.
#pragma once

#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include <roaring/roaring.h>

namespace vedra {

class Bitmap {
 public:
  Bitmap() : r_(roaring_bitmap_create()) {}
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

  Bitmap copy() const { return Bitmap(roaring_bitmap_copy(r_)); }
  // {0, 1, ..., n - 1}.
  static Bitmap range(uint32_t n) {
    // from_range gives null for an empty range as for a failed allocation.
    roaring_bitmap_t* r = n == 0 ? roaring_bitmap_create() : roaring_bitmap_from_range(0, n, 1);
    if (r == nullptr) throw std::bad_alloc();
    return Bitmap(r);
  }
  void add(uint32_t x) { roaring_bitmap_add(r_, x); }
  void add_many(const uint32_t* xs, size_t n) { roaring_bitmap_add_many(r_, n, xs); }
  bool empty() const { return roaring_bitmap_is_empty(r_); }
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(r_); }
  void or_inplace(const Bitmap& o) { roaring_bitmap_or_inplace(r_, o.r_); }
  void and_inplace(const Bitmap& o) { roaring_bitmap_and_inplace(r_, o.r_); }
  void andnot_inplace(const Bitmap& o) { roaring_bitmap_andnot_inplace(r_, o.r_); }
  void clear() {
    roaring_bitmap_free(r_);
    r_ = roaring_bitmap_create();
  }
  // Ascending record numbers.
  std::vector<uint32_t> to_vector() const {
    std::vector<uint32_t> out(cardinality());
    if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
    return out;
  }
  size_t memory_usage() const { return roaring_bitmap_size_in_bytes(r_); }

  roaring_bitmap_t* raw() { return r_; }
  const roaring_bitmap_t* raw() const { return r_; }

 private:
  roaring_bitmap_t* r_;
};

}  // namespace vedra
