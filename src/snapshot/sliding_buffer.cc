#include "snapshot/sliding_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

// Older C libraries' headers (the wheels are built against one) lack the
// flag; its value is the kernel's, and a kernel before 5.7 refuses it, which
// release_before() answers by dropping pages instead.
#ifndef MREMAP_DONTUNMAP
#define MREMAP_DONTUNMAP 4
#endif

namespace vedra {
namespace {

// Pages are handed back in steps of this many bytes, the size of a
// transparent huge page, so that huge pages, where the system backs the
// buffer with them, are moved whole rather than split.  (They are not asked
// for: once the first steps are resident, moving pages costs no faults.)
constexpr size_t kStep = size_t{2} << 20;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

SlidingBuffer::~SlidingBuffer() { reset(); }

void SlidingBuffer::reset() {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  base_ = nullptr;
  capacity_ = mapped_ = keep_ = size_ = released_ = recycled_end_ = 0;
  moving_ = true;
}

bool SlidingBuffer::reserve(size_t capacity, size_t keep) {
  if (capacity > SIZE_MAX / 2) return false;
  const size_t mapped = round_up(capacity == 0 ? 1 : capacity, kStep) + kStep;
  // Only touched pages take memory; none is accounted up front.
  void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  // The text starts on a step boundary so that whole huge pages can be
  // handed back.
  char* const start = static_cast<char*>(p);
  const size_t skip = round_up(reinterpret_cast<uintptr_t>(start), kStep) - reinterpret_cast<uintptr_t>(start);
  base_ = start + skip;
  mapped_ = mapped;
  capacity_ = capacity;
  keep_ = keep;
  // The unaligned head is never used: returned at once.
  if (skip != 0) {
    (void)::munmap(start, skip);
    mapped_ -= skip;
  }
  return true;
}

void SlidingBuffer::append(std::string_view bytes) {
  if (bytes.empty()) return;  // may have no data pointer at all
  std::memcpy(base_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

void SlidingBuffer::release_before(size_t pos) {
  if (pos <= keep_) return;
  const size_t to = (pos - keep_) / kStep * kStep;
  if (to <= released_) return;
  const size_t length = to - released_;
  // The pages are moved ahead of the text, to addresses it has not reached
  // yet, where they serve again without the fault and the clearing that a
  // fresh page costs; their old addresses read as zeros.  Where the system
  // cannot move them, they are dropped instead.  Either is advice only:
  // pages that stay merely stay resident.
  const size_t ahead = std::max(recycled_end_, (size_ + kStep - 1) / kStep * kStep);
  if (moving_ && ahead + length <= mapped_) {
    if (::mremap(base_ + released_, length, length, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, base_ + ahead) !=
        MAP_FAILED) {
      recycled_end_ = ahead + length;
      released_ = to;
      return;
    }
    moving_ = false;
  }
  (void)::madvise(base_ + released_, length, MADV_DONTNEED);
  released_ = to;
}

}  // namespace vedra
