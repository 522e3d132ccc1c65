#include "store/text_blocks.h"

#include <algorithm>

namespace vedra {
namespace {
constexpr size_t kFirstBlockBytes = size_t{4} << 10;
constexpr size_t kLastBlockBytes = kLargeFrom;
}  // namespace

void TextBlocks::add_block(size_t size) {
  const size_t grown =
      blocks_.empty() ? kFirstBlockBytes : std::min(2 * blocks_.back().get_deleter().size, kLastBlockBytes);
  const size_t bytes = std::max(grown, size);
  // Room in the list first, so that a failure cannot leak the block.
  blocks_.reserve(blocks_.size() + 1);
  blocks_.push_back(Block(static_cast<char*>(allocate_large(bytes)), BlockFree{bytes}));
  tail_ = blocks_.back().get();
  tail_left_ = bytes;
}

size_t TextBlocks::memory_usage() const {
  size_t total = 0;
  for (const Block& b : blocks_) total += b.get_deleter().size;
  return total;
}

}  // namespace vedra
