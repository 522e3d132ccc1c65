// TextBlocks: append-only blocks of bytes for texts that are never changed
// or removed once written (payload texts; codes, names and pinyins).
//
// Block sizes double from 4 KiB up to kLargeFrom (8 MiB), so a small store
// stays small and a large one costs one allocation per 8 MiB; a text longer
// than a block gets a block of its own.  Blocks come from allocate_large()
// (base/large_alloc.h), so the largest sit on huge pages: a store's texts
// are read back at random, and there each costs fewer faults and TLB misses.  Bytes taken never move: views into them
// stay valid for the owner's lifetime.
// Thread safety: none.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "base/large_alloc.h"

namespace vedra {

class TextBlocks {
 public:
  TextBlocks() = default;
  TextBlocks(TextBlocks&&) noexcept = default;
  TextBlocks& operator=(TextBlocks&&) noexcept = default;

  // Makes the next take(size) allocate nothing.  Throws std::bad_alloc with
  // nothing changed.
  void reserve(size_t size) {
    if (size > tail_left_) add_block(size);
  }
  // `size` bytes at the end of the newest block.  REQUIRES: reserve(n) with
  // n >= size since the last take().
  char* take(size_t size) {
    char* p = tail_;
    tail_ += size;
    tail_left_ -= size;
    return p;
  }
  // Bytes of every block made.
  size_t memory_usage() const;

 private:
  void add_block(size_t size);

  // One block, given back as it was taken; its size is its deleter's.
  struct BlockFree {
    size_t size;
    void operator()(char* p) const noexcept { free_large(p, size); }
  };
  using Block = std::unique_ptr<char[], BlockFree>;

  std::vector<Block> blocks_;
  char* tail_ = nullptr;  // free space of the newest block
  size_t tail_left_ = 0;
};

}  // namespace vedra
