#include "store/record_texts.h"

#include <algorithm>

namespace vedra {

namespace {
// Block sizes double from the first to the last (some ten thousand
// records), so a small store stays small.
constexpr size_t kFirstBlockBytes = size_t{4} << 10;
constexpr size_t kLastBlockBytes = size_t{1} << 20;
}  // namespace

void RecordTexts::reserve_tail(size_t size) {
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

void RecordTexts::reserve_one(const Entry& e) {
  if (at_.size() == at_.capacity()) at_.reserve(std::max<size_t>(16, 2 * at_.capacity()));
  reserve_tail(bytes_of(e));
}

void RecordTexts::push_back(const Entry& e) {
  const size_t bytes = bytes_of(e);
  reserve_one(e);
  char* p = tail_;
  const uint32_t n[3] = {static_cast<uint32_t>(e.code.size()), static_cast<uint32_t>(e.name.size()),
                         static_cast<uint32_t>(e.pinyin.size())};
  std::memcpy(p, n, sizeof n);
  char* out = p + kHeader;
  for (const std::string_view t : {e.code, e.name, e.pinyin}) {
    if (!t.empty()) std::memcpy(out, t.data(), t.size());
    out += t.size();
  }
  tail_ += bytes;
  tail_left_ -= bytes;
  at_.push_back(p);
}

size_t RecordTexts::memory_usage() const {
  size_t total = at_.capacity() * sizeof(const char*);
  for (size_t s : block_sizes_) total += s;
  return total;
}

bool operator==(const RecordTexts& a, const RecordTexts& b) {
  if (a.size() != b.size()) return false;
  for (size_t r = 0; r < a.size(); ++r) {
    const RecordTexts::Entry x = a[r], y = b[r];
    if (x.code != y.code || x.name != y.name || x.pinyin != y.pinyin) return false;
  }
  return true;
}

}  // namespace vedra
