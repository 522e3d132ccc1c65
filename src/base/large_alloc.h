// Memory for large long-lived arrays that are touched at random: the hash
// tables of the index and the code lookup, and the blocks of stored texts.
//
// Such an array of a million entries costs a page fault for every 4 KiB
// first touched and a TLB miss for most accesses.  From kLargeFrom bytes
// on, allocate_large() maps the array on its own, from a huge-page
// boundary, and asks for transparent huge pages there; smaller requests go
// to the heap, so a small engine stays small.  Asking is advice only: where
// huge pages are off or none is free, the mapping simply has small ones.
//
// Arrays written from front to back in one stream keep their own mappings
// and policies (base/page_array.h, store/byte_buffer.cc): their faults are
// sequential and cheap, and a very large one is where the kernel's search
// for huge pages has cost more than it saved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace vedra {

// Below this a request goes to the heap: an array whose last huge page is
// partly filled holds up to 2 MiB more than it uses, a share that only a
// large array makes small.
inline constexpr size_t kLargeFrom = size_t{8} << 20;

// At least `bytes` bytes, aligned as operator new aligns.  Throws
// std::bad_alloc.
void* allocate_large(size_t bytes);
// Gives back what allocate_large(bytes) returned, with the same `bytes`.
void free_large(void* p, size_t bytes) noexcept;

// A stateless allocator over allocate_large(), for containers whose large
// arrays are touched at random.
template <typename T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor): rebinding
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { free_large(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace vedra
