// GrowArray<T>: a growable array of trivially copyable T for a long-lived
// list that only grows at its end (the engine's search pattern list).
//
// A std::vector grows by allocating a block twice the size, copying into it
// and freeing the old one: a list that reaches N bytes has copied about N
// bytes and faulted in about 2N bytes of fresh memory on the way.  This
// array holds a small list in one heap block, grown by realloc (a small
// engine costs no mapping of its own), and a large one in its own anonymous
// mapping (remap_pages, base/page_array.h), which grows by moving its pages:
// bytes already written are neither copied nor faulted in again.
//
// Linux only (mremap).  Thread safety: none; one owner at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "base/page_array.h"

namespace vedra {

template <typename T>
class GrowArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  GrowArray() = default;
  ~GrowArray() { release(); }
  GrowArray(GrowArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        mapped_(std::exchange(o.mapped_, 0)) {}
  GrowArray& operator=(GrowArray&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
      mapped_ = std::exchange(o.mapped_, 0);
    }
    return *this;
  }
  GrowArray(const GrowArray&) = delete;
  GrowArray& operator=(const GrowArray&) = delete;

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

  // Room for `n` elements in all, so that appends up to that many allocate
  // nothing.  Throws std::bad_alloc with the array unchanged.
  void reserve(size_t n) {
    if (n <= capacity_) return;
    if (n > SIZE_MAX / 2 / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(T);
    if (mapped_ != 0) {
      data_ = static_cast<T*>(remap_pages(data_, mapped_, bytes));
    } else if (bytes >= kMappedBytes) {
      size_t mapped = 0;
      T* pages = static_cast<T*>(remap_pages(nullptr, mapped, bytes));
      if (size_ != 0) std::memcpy(pages, data_, size_ * sizeof(T));
      std::free(data_);
      data_ = pages;
      mapped_ = mapped;
    } else {
      T* grown = static_cast<T*>(std::realloc(data_, bytes));
      if (grown == nullptr) throw std::bad_alloc();
      data_ = grown;
      capacity_ = n;
      return;
    }
    capacity_ = mapped_ / sizeof(T);
  }

  // Appends `n` elements from `from`, growing by doubling when the room is
  // short.  Throws std::bad_alloc with the array unchanged.
  void append(const T* from, size_t n) {
    if (n > capacity_ - size_) reserve(std::max(2 * capacity_, size_ + n));
    if (n != 0) std::memcpy(data_ + size_, from, n * sizeof(T));
    size_ += n;
  }
  void push_back(const T& v) { append(&v, 1); }

 private:
  // From this size on a list has its own mapping: a few pages' worth of
  // tail room at most is then held unused.
  static constexpr size_t kMappedBytes = size_t{1} << 20;

  void release() noexcept {
    if (mapped_ != 0) {
      unmap_pages(data_, mapped_);
    } else {
      std::free(data_);
    }
    data_ = nullptr;
    size_ = capacity_ = mapped_ = 0;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;  // elements
  size_t mapped_ = 0;    // bytes mapped from data_; 0: a heap block (or none)
};

}  // namespace vedra
