// Posting: the set of record numbers that carry one value key of one field.
//
// Most keys (codes, names, rare values) are carried by one or a few records,
// so a posting starts inline (one number), grows into a small sorted array,
// and becomes a Roaring bitmap only past kArrayLimit numbers.  This keeps a
// catalogue of a million records from paying a bitmap header per code.
//
// Thread safety: none; callers hold the object's borrow.
#pragma once

#include <cstdint>
#include <cstddef>

#include "index/bitmap.h"

namespace vedra {

class Posting {
 public:
  static constexpr uint32_t kArrayLimit = 32;

  Posting() noexcept : n_(0), cap_(0) { one_ = 0; }
  // Inline: a posting map's growth moves every posting and destroys the
  // moved-from ones, which hold nothing.
  ~Posting() {
    if (cap_ != 0) release();
  }
  Posting(Posting&& o) noexcept : n_(o.n_), cap_(o.cap_) {
    arr_ = nullptr;
    if (o.is_bitmap()) {
      bm_ = o.bm_;
    } else if (o.cap_ > 0) {
      arr_ = o.arr_;
    } else {
      one_ = o.one_;
    }
    o.n_ = 0;
    o.cap_ = 0;
    o.one_ = 0;
  }
  Posting& operator=(Posting&& other) noexcept;
  Posting(const Posting&) = delete;
  Posting& operator=(const Posting&) = delete;

  // Set semantics: adding a number already present has no effect.
  void add(uint32_t record);

  // Makes the next add() of a number above every number held unable to
  // fail: it allocates nothing, or (a bitmap) only from room secured in the
  // open RoaringPledges scope (roaring_memory.h), which must stay open until
  // that add().  May change the representation, never the numbers.  Throws
  // std::bad_alloc with the posting unchanged.
  void reserve_one();
  // The same for the next add(record), cheaper for a bitmap.  REQUIRES:
  // record >= every number held.
  void reserve_one(uint32_t record);

  // Bulk loading (a snapshot being loaded): numbers arrive in ascending
  // order and nothing reads the posting until seal().  The array grows past
  // kArrayLimit with one append per number and no bitmap work; seal() turns
  // a long array into a bitmap with one bulk insert.
  // REQUIRES: record >= every number held.
  void add_ascending(uint32_t record) {
    // An array with room takes a new number in place: the common case, kept
    // inline for the loops that post a record's values.
    if (cap_ != 0 && cap_ != kBitmapMode && n_ < cap_ && arr_[n_ - 1] != record) {
      arr_[n_++] = record;
      return;
    }
    add_ascending_slow(record);
  }
  // A hint that add_ascending() follows soon: starts loading the array's
  // last number, which that call reads.  Affects nothing but timing.
  void prefetch_tail() const {
    if (cap_ != 0 && !is_bitmap()) __builtin_prefetch(arr_ + (n_ - 1), 1);
  }
  // Back to the representation add() maintains.  Idempotent.
  void seal();
  bool empty() const { return n_ == 0; }
  uint64_t cardinality() const;

  // out |= this.  Cost: O(size) for small postings, a bitmap union otherwise.
  void union_into(Bitmap& out) const;
  // out &= this.  Cost: O(size) probes for small postings.
  void intersect_into(Bitmap& out) const;
  // out -= this.
  void subtract_from(Bitmap& out) const;
  // The numbers as a new bitmap.
  Bitmap to_bitmap() const;

  size_t memory_usage() const;

 private:
  bool is_bitmap() const { return cap_ == kBitmapMode; }
  // Frees the array or bitmap.  REQUIRES: cap_ != 0.
  void release() noexcept;
  void add_ascending_slow(uint32_t record);
  void to_bitmap();
  void add_to_bitmap(uint32_t record);
  static constexpr uint32_t kBitmapMode = UINT32_MAX;

  uint32_t n_;    // numbers held (not maintained in bitmap mode beyond non-zero)
  uint32_t cap_;  // 0: inline (n_ <= 1); array capacity; kBitmapMode: bitmap
  union {
    uint32_t one_;
    uint32_t* arr_;
    roaring_bitmap_t* bm_;
  };
};

}  // namespace vedra
