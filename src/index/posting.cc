#include "index/posting.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vedra {

void Posting::release() noexcept {
  if (is_bitmap()) {
    roaring_bitmap_free(bm_);
  } else {
    std::free(arr_);
  }
}

Posting& Posting::operator=(Posting&& o) noexcept {
  if (this != &o) {
    this->~Posting();
    new (this) Posting(std::move(o));
  }
  return *this;
}

void Posting::to_bitmap() {
  Bitmap bm;
  if (cap_ == 0) {
    if (n_ == 1) bm.add(one_);
  } else {
    bm.add_many(arr_, n_, arr_[n_ - 1]);
    std::free(arr_);
  }
  bm_ = bm.release();
  cap_ = kBitmapMode;
}

// Bitmap mode: one more number.  Inside a record's commit (RoaringPledges
// open) reserve_one() has secured the room; elsewhere it is secured here.
void Posting::add_to_bitmap(uint32_t record) {
  if (!roaring_pledges_open()) roaring_reserve(roaring_add_bound(bm_, 1, record));
  roaring_bitmap_add(bm_, record);
}

void Posting::add(uint32_t record) {
  if (is_bitmap()) {
    add_to_bitmap(record);
    return;
  }
  if (cap_ == 0) {
    if (n_ == 0) {
      one_ = record;
      n_ = 1;
      return;
    }
    if (one_ == record) return;
    uint32_t* arr = static_cast<uint32_t*>(std::malloc(4 * sizeof(uint32_t)));
    if (arr == nullptr) throw std::bad_alloc();
    const uint32_t first = one_;
    arr[0] = std::min(first, record);
    arr[1] = std::max(first, record);
    arr_ = arr;
    cap_ = 4;
    n_ = 2;
    return;
  }
  // Sorted array.  Ingestion posts ascending record numbers, so the common
  // case is an append or a repeat of the last number.
  uint32_t* end = arr_ + n_;
  uint32_t* pos = (record > end[-1]) ? end : std::lower_bound(arr_, end, record);
  if (pos != end && *pos == record) return;
  if (n_ >= kArrayLimit) {
    to_bitmap();
    add_to_bitmap(record);
    return;
  }
  if (n_ == cap_) {
    const uint32_t new_cap = std::min<uint32_t>(cap_ * 2, kArrayLimit);
    const size_t offset = pos - arr_;
    uint32_t* arr = static_cast<uint32_t*>(std::realloc(arr_, new_cap * sizeof(uint32_t)));
    if (arr == nullptr) throw std::bad_alloc();
    arr_ = arr;
    cap_ = new_cap;
    pos = arr_ + offset;
    end = arr_ + n_;
  }
  std::memmove(pos + 1, pos, (end - pos) * sizeof(uint32_t));
  *pos = record;
  ++n_;
}

void Posting::reserve_one(uint32_t record) {
  if (is_bitmap()) {
    roaring_reserve(roaring_append_bound(record));
    return;
  }
  reserve_one();
}

void Posting::reserve_one() {
  if (is_bitmap()) {
    roaring_reserve(roaring_add_bound(bm_, 1, 0));
    return;
  }
  if (cap_ == 0) {
    if (n_ == 0) return;
    uint32_t* arr = static_cast<uint32_t*>(std::malloc(4 * sizeof(uint32_t)));
    if (arr == nullptr) throw std::bad_alloc();
    arr[0] = one_;
    arr_ = arr;
    cap_ = 4;
    return;
  }
  // The same tests in the same order as add().
  if (n_ >= kArrayLimit) {
    to_bitmap();
    roaring_reserve(roaring_add_bound(bm_, 1, 0));
    return;
  }
  if (n_ < cap_) return;
  const uint32_t new_cap = std::min<uint32_t>(cap_ * 2, kArrayLimit);
  uint32_t* arr = static_cast<uint32_t*>(std::realloc(arr_, new_cap * sizeof(uint32_t)));
  if (arr == nullptr) throw std::bad_alloc();
  arr_ = arr;
  cap_ = new_cap;
}

void Posting::add_ascending_slow(uint32_t record) {
  if (is_bitmap() || cap_ == 0) {
    add(record);
    return;
  }
  if (arr_[n_ - 1] == record) return;
  if (n_ == cap_) {
    if (cap_ >= (1u << 30)) {  // no array that long: fall back to the bitmap
      to_bitmap();
      add_to_bitmap(record);
      return;
    }
    uint32_t* arr = static_cast<uint32_t*>(std::realloc(arr_, 2 * size_t{cap_} * sizeof(uint32_t)));
    if (arr == nullptr) throw std::bad_alloc();
    arr_ = arr;
    cap_ *= 2;
  }
  arr_[n_++] = record;
}

void Posting::seal() {
  if (!is_bitmap() && n_ > kArrayLimit) to_bitmap();
}

uint64_t Posting::cardinality() const {
  if (is_bitmap()) return roaring_bitmap_get_cardinality(bm_);
  return n_;
}

void Posting::union_into(Bitmap& out) const {
  if (is_bitmap()) {
    out.or_inplace(bm_);
  } else if (cap_ == 0) {
    if (n_ == 1) out.add(one_);
  } else {
    out.add_many(arr_, n_, arr_[n_ - 1]);
  }
}

void Posting::intersect_into(Bitmap& out) const {
  if (is_bitmap()) {
    out.and_inplace(bm_);
    return;
  }
  const uint32_t* xs = cap_ == 0 ? &one_ : arr_;
  uint32_t kept[kArrayLimit];
  uint32_t n = 0;
  for (uint32_t i = 0; i < n_; ++i) {
    if (out.contains(xs[i])) kept[n++] = xs[i];
  }
  Bitmap b;
  if (n > 0) b.add_many(kept, n, kept[n - 1]);
  out = std::move(b);
}

void Posting::subtract_from(Bitmap& out) const {
  if (is_bitmap()) {
    out.andnot_inplace(bm_);
    return;
  }
  if (n_ == 0) return;
  const uint32_t* xs = cap_ == 0 ? &one_ : arr_;
  out.remove_many(xs, n_, xs[n_ - 1]);
}

Bitmap Posting::to_bitmap() const {
  if (is_bitmap()) return Bitmap(Bitmap::copy_of(bm_));
  Bitmap b;
  union_into(b);
  return b;
}

size_t Posting::memory_usage() const {
  if (is_bitmap()) return roaring_bitmap_size_in_bytes(bm_);
  return cap_ * sizeof(uint32_t);
}

}  // namespace vedra
