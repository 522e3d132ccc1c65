// PageArray<T>: a growable array of trivially copyable T in its own
// anonymous memory mapping, for large lists: those that live only for part
// of one operation, and long-lived ones that only grow at their end.
//
// Held outside the heap, such a list leaves nothing behind when dropped: no
// hole among the heap's live blocks, and no change to the allocator's own
// policy for where later large blocks go (glibc raises its mmap threshold
// each time it frees a mapped block), so the memory peak of the operation
// that follows is what it would be had the list never existed.  Growing
// moves pages (mremap) rather than copying: a list that reaches N bytes has
// neither copied them nor faulted in the 2N a doubling vector would.  No huge pages are asked for: a
// list is filled while the heap is large and busy, and the kernel's work to
// find huge pages then cost a bulk load more than the faults they save.
//
// A list that may stay small can name a size below which it lives in the
// heap instead (HeapBelow bytes, a whole number of pages): an operation
// repeated many times over small inputs then reuses the allocator's warm
// blocks rather than paying for fresh pages, a mapping and its removal on
// each run.  Such a list moves to its own mapping once it outgrows that
// size, and stays there.  Either way, elements never written read as zero.
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

namespace vedra {

// Anonymous mappings, whole pages, for every buffer of ours held outside the
// heap.  remap_pages() returns a mapping of at least `bytes` bytes holding
// what the `mapped` bytes at `old` held (null: a new mapping), which it
// replaces, and leaves its size in `mapped`.  Throws std::bad_alloc with
// `old` and `mapped` intact.
void* remap_pages(void* old, size_t& mapped, size_t bytes);
void unmap_pages(void* p, size_t bytes) noexcept;
// Gives back the whole pages of the mapping at `p` beyond its first `bytes`
// bytes and leaves the size kept in `mapped`.
void trim_pages(void* p, size_t& mapped, size_t bytes) noexcept;
// Has the kernel map, writable, every whole page within the `bytes` bytes
// at `p` that is not mapped yet, in one call: the first writes into them
// then take no page fault each, which for a buffer about to be filled
// sequentially costs a quarter of the time of filling it.  Advice only: a
// kernel without it, or short of memory, leaves the pages to be faulted in
// as they are written.
void populate_pages(void* p, size_t bytes) noexcept;

template <typename T, size_t HeapBelow = 0>
class PageArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  static_assert(HeapBelow % 4096 == 0, "a mapping never shrinks below HeapBelow: whole pages");

 public:
  PageArray() = default;
  ~PageArray() { release(); }
  PageArray(PageArray&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), mapped_(std::exchange(o.mapped_, 0)) {}
  PageArray& operator=(PageArray&& o) noexcept {
    PageArray(std::move(o)).swap(*this);
    return *this;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;

  size_t size() const { return size_; }
  // Elements held without growing.
  size_t capacity() const { return mapped_ / sizeof(T); }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Throws std::bad_alloc with the array unchanged.
  void push_back(const T& v) {
    if (size_ == mapped_ / sizeof(T)) grow(size_ + 1);
    data_[size_++] = v;
  }
  // Room for `n` elements in all, so that adding up to that many allocates
  // nothing.  Throws std::bad_alloc with the array unchanged.
  void reserve(size_t n) {
    if (n > capacity()) grow(n);
  }
  // Copies `n` elements from `from` to the end.  Throws std::bad_alloc,
  // unchanged.
  void append(const T* from, size_t n) {
    if (n != 0) std::memcpy(extend(n), from, n * sizeof(T));
  }
  // `n` more elements at the end, left as they are (zero when never
  // written); returns the first.  Throws std::bad_alloc, unchanged.
  T* extend(size_t n) {
    if (n > mapped_ / sizeof(T) - size_) grow(size_ + n);
    T* first = data_ + size_;
    size_ += n;
    return first;
  }
  // `n` elements, left as they are, in the array's own pages when it has
  // that many (those beyond are given back), else in more.  A buffer reused
  // by lists of falling sizes so has its pages cleared by the kernel once,
  // and holds no more than the list at hand needs.  Throws std::bad_alloc,
  // unchanged.
  void resize_within(size_t n) {
    if (n > mapped_ / sizeof(T)) {
      grow(n);
    } else if (n == 0) {
      release();
      return;
    } else if (!in_heap()) {
      // Kept at HeapBelow bytes at least, which tells a mapping from a
      // heap block.
      trim_pages(data_, mapped_, std::max(n * sizeof(T), HeapBelow));
    }
    size_ = n;
  }
  void swap(PageArray& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(mapped_, o.mapped_);
  }
  // Empty, with the memory given back.
  void release() noexcept {
    if (in_heap()) {
      std::free(data_);
    } else if (data_ != nullptr) {
      unmap_pages(data_, mapped_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
  }

 private:
  // A heap block: mapped_ bytes below HeapBelow (a mapping holds at least
  // that many).
  bool in_heap() const { return mapped_ < HeapBelow && data_ != nullptr; }

  void grow(size_t at_least) {
    if (at_least > SIZE_MAX / 2 / sizeof(T)) throw std::bad_alloc();
    const size_t want = std::max(at_least * sizeof(T), 2 * mapped_);
    if (std::max(want, kFirstBlock) < HeapBelow) {
      const size_t bytes = std::max(want, kFirstBlock);
      void* p = std::realloc(data_, bytes);
      if (p == nullptr) throw std::bad_alloc();
      std::memset(static_cast<char*>(p) + mapped_, 0, bytes - mapped_);
      data_ = static_cast<T*>(p);
      mapped_ = bytes;
    } else if (in_heap()) {
      size_t mapped = 0;
      void* p = remap_pages(nullptr, mapped, std::max(want, HeapBelow));
      std::memcpy(p, data_, mapped_);  // the fresh pages beyond are zero
      std::free(data_);
      data_ = static_cast<T*>(p);
      mapped_ = mapped;
    } else {
      data_ = static_cast<T*>(remap_pages(data_, mapped_, std::max({want, kFirstMapping, HeapBelow})));
    }
  }

  // A list's first mapping: a short list grows a few times at most.
  static constexpr size_t kFirstMapping = size_t{64} << 10;
  // A list's first heap block.
  static constexpr size_t kFirstBlock = size_t{4} << 10;

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;  // bytes mapped (or allocated in the heap) from data_
};

}  // namespace vedra
