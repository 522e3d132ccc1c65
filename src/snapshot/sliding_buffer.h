// SlidingBuffer: a text that grows at its end at a fixed address while only
// its last bytes stay in memory.
//
// libzstd compresses fastest when the whole input lies in one buffer that it
// never has to copy (its match finder then sees one contiguous window),
// which a streamed payload cannot offer in real memory.  This buffer offers
// it in address space instead: it reserves room for the whole text up front
// and hands the pages that lie wholly more than `keep` bytes behind a given
// position back (moving them ahead of the text, for reuse, where the system
// can), so the resident part stays near `keep` plus what was appended
// since.  An address handed back reads as zeros.
//
// Thread safety: one thread at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace vedra {

class SlidingBuffer {
 public:
  SlidingBuffer() = default;
  ~SlidingBuffer();
  SlidingBuffer(const SlidingBuffer&) = delete;
  SlidingBuffer& operator=(const SlidingBuffer&) = delete;

  // Reserves address space for `capacity` bytes.  False (nothing held) when
  // the system refuses it, e.g. under an address-space limit or strict
  // overcommit accounting: the caller then does without.
  // REQUIRES: not yet reserved.
  bool reserve(size_t capacity, size_t keep);
  bool reserved() const { return base_ != nullptr; }
  // Gives everything back: unreserved again.
  void reset();

  // The start of the text; fixed from reserve() on.
  const char* data() const { return base_; }
  size_t size() const { return size_; }
  // Room left before the reservation ends.
  size_t room() const { return capacity_ - size_; }
  // Appends `bytes`.  REQUIRES: bytes.size() <= room().
  void append(std::string_view bytes);
  // Where the next bytes go, for a producer that writes them in place
  // (room() bytes writable from it); extend() then makes them part of the
  // text.  REQUIRES: reserved().
  char* tail() { return base_ + size_; }
  // Takes the `n` bytes written at tail() into the text.  REQUIRES: n <= room().
  void extend(size_t n) { size_ += n; }
  // Hands back the pages wholly before `pos` - keep.  REQUIRES: pos <= size().
  void release_before(size_t pos);

 private:
  char* base_ = nullptr;
  size_t capacity_ = 0;  // usable bytes from base_
  size_t mapped_ = 0;    // bytes of the mapping from base_
  size_t keep_ = 0;
  size_t size_ = 0;
  size_t released_ = 0;  // bytes from base_ handed back, a multiple of kStep
  size_t recycled_end_ = 0;  // end of the pages moved ahead of the text
  bool moving_ = true;       // the system moves pages (else they are dropped)
};

}  // namespace vedra
