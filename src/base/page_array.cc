#include "base/page_array.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace vedra {
namespace {

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

void* remap_pages(void* old, size_t& mapped, size_t bytes) {
  const size_t page = page_size();
  if (bytes > SIZE_MAX - page) throw std::bad_alloc();
  bytes = (bytes + page - 1) / page * page;
  void* p = old == nullptr ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                           : mremap(old, mapped, bytes, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  mapped = bytes;
  return p;
}

void unmap_pages(void* p, size_t bytes) noexcept { munmap(p, bytes); }

void trim_pages(void* p, size_t& mapped, size_t bytes) noexcept {
  const size_t page = page_size();
  const size_t kept = (bytes + page - 1) / page * page;
  if (kept >= mapped) return;
  if (munmap(static_cast<char*>(p) + kept, mapped - kept) == 0) mapped = kept;
}

void populate_pages(void* p, size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  const size_t page = page_size();
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + page - 1) / page * page;
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / page * page;
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace vedra
