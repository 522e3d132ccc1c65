#include "snapshot/sliding_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

namespace vedra {
namespace {

// Pages are handed back in steps of this many bytes, the size of a
// transparent huge page: smaller steps would split the huge pages that the
// system backs the buffer with, and cost one fault per 4 KiB instead.
constexpr size_t kStep = size_t{2} << 20;

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

SlidingBuffer::~SlidingBuffer() { reset(); }

void SlidingBuffer::reset() {
  if (base_ != nullptr) ::munmap(base_, mapped_);
  base_ = nullptr;
  capacity_ = mapped_ = keep_ = size_ = released_ = 0;
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
  (void)::madvise(start + skip, mapped - skip, MADV_HUGEPAGE);
  base_ = start + skip;
  mapped_ = mapped;
  capacity_ = mapped - kStep;
  keep_ = keep;
  // The unaligned head is never used: returned at once.
  if (skip != 0) {
    (void)::munmap(start, skip);
    mapped_ -= skip;
  }
  return true;
}

void SlidingBuffer::append(std::string_view bytes) {
  std::memcpy(base_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

void SlidingBuffer::release_before(size_t pos) {
  if (pos <= keep_) return;
  const size_t to = (pos - keep_) / kStep * kStep;
  if (to <= released_) return;
  // Advice only: pages it fails to drop merely stay resident.
  (void)::madvise(base_ + released_, to - released_, MADV_DONTNEED);
  released_ = to;
}

}  // namespace vedra
