#include "store/payload_store.h"

#include <cstring>
#include <utility>

namespace vedra {

void PayloadStore::reserve_one(size_t size) {
  if (texts_.size() == texts_.capacity()) texts_.reserve(texts_.size() + 1);  // doubles
  blocks_.reserve(size);
}

std::string_view PayloadStore::copy(std::string_view text) {
  if (text.empty()) return std::string_view();
  blocks_.reserve(text.size());
  char* p = blocks_.take(text.size());
  std::memcpy(p, text.data(), text.size());
  return std::string_view(p, text.size());
}

std::string_view PayloadStore::adopt(ByteBuffer block) {
  adopted_.push_back(std::move(block));
  return adopted_.back().view();
}

size_t PayloadStore::memory_usage() const {
  size_t total = texts_.capacity() * sizeof(std::string_view);
  total += blocks_.memory_usage();
  for (const ByteBuffer& b : adopted_) total += b.capacity();
  return total;
}

}  // namespace vedra
