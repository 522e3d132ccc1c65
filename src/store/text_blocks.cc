#include "store/text_blocks.h"

#include <algorithm>

namespace vedra {
namespace {
constexpr size_t kFirstBlockBytes = size_t{4} << 10;
constexpr size_t kLastBlockBytes = size_t{1} << 20;
}  // namespace

void TextBlocks::add_block(size_t size) {
  const size_t grown = block_sizes_.empty() ? kFirstBlockBytes : std::min(2 * block_sizes_.back(), kLastBlockBytes);
  const size_t bytes = std::max(grown, size);
  // Room in both lists first, so that a failure leaves no block half-listed.
  blocks_.reserve(blocks_.size() + 1);
  block_sizes_.reserve(block_sizes_.size() + 1);
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
  block_sizes_.push_back(bytes);
  tail_ = blocks_.back().get();
  tail_left_ = bytes;
}

size_t TextBlocks::memory_usage() const {
  size_t total = 0;
  for (size_t s : block_sizes_) total += s;
  return total;
}

}  // namespace vedra
