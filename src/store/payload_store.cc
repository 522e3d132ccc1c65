#include "store/payload_store.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vedra {

namespace {
// Block sizes double from the first to the last (a few thousand payloads),
// so a small store stays small.
constexpr size_t kFirstBlockBytes = size_t{4} << 10;
constexpr size_t kLastBlockBytes = size_t{1} << 20;
}  // namespace

void PayloadStore::reserve_tail(size_t size) {
  if (size <= tail_left_) return;
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

void PayloadStore::reserve_one(size_t size) {
  if (texts_.size() == texts_.capacity()) texts_.reserve(std::max<size_t>(16, 2 * texts_.capacity()));
  reserve_tail(size);
}

std::string_view PayloadStore::copy(std::string_view text) {
  if (text.empty()) return std::string_view();
  reserve_tail(text.size());
  std::memcpy(tail_, text.data(), text.size());
  const std::string_view held(tail_, text.size());
  tail_ += text.size();
  tail_left_ -= text.size();
  return held;
}

std::string_view PayloadStore::adopt(ByteBuffer block) {
  adopted_.push_back(std::move(block));
  return adopted_.back().view();
}

size_t PayloadStore::memory_usage() const {
  size_t total = texts_.capacity() * sizeof(std::string_view);
  for (size_t s : block_sizes_) total += s;
  for (const ByteBuffer& b : adopted_) total += b.capacity();
  return total;
}

}  // namespace vedra
