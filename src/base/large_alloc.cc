#include "base/large_alloc.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace vedra {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t whole_pages(size_t bytes) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

// The mapping starts on a huge-page boundary and ends at the last small page
// the request needs: mapped with one huge page to spare, then cut to that.
// So every whole 2 MiB of the request can be a huge page, and nothing past
// its end is mapped (a huge page there would be resident and unused).
void* allocate_large(size_t bytes) {
  if (bytes < kLargeFrom) return ::operator new(bytes);
  if (bytes > SIZE_MAX / 2) throw std::bad_alloc();
  const size_t length = whole_pages(bytes);
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (begin + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned != begin) munmap(raw, aligned - begin);
  const uintptr_t end = aligned + length;
  if (end != begin + length + kHugePage) munmap(reinterpret_cast<void*>(end), begin + length + kHugePage - end);
  void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  (void)madvise(p, length, MADV_HUGEPAGE);
#endif
  return p;
}

void free_large(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kLargeFrom) {
    ::operator delete(p);
    return;
  }
  munmap(p, whole_pages(bytes));
}

}  // namespace vedra
