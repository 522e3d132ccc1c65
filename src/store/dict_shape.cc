#include "store/dict_shape.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "store/json/json_writer.h"

namespace vedra {

void DictShape::build(const std::string_view* keys, size_t n) {
  text_.clear();
  key_end_.clear();
  roles_.clear();
  source_.clear();
  prefix_end_.clear();
  size_t key_bytes = 0;
  for (size_t i = 0; i < n; ++i) key_bytes += keys[i].size();
  text_.reserve(2 * key_bytes + 4 * n);
  key_end_.reserve(n);
  roles_.reserve(n);
  source_.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    text_ += keys[i];
    key_end_.push_back(text_.size());
    roles_.push_back(flatten_role(keys[i]));
    source_.push_back(i);
  }
  auto by_key = [&](size_t a, size_t b) { return keys[a] < keys[b]; };
  if (!std::is_sorted(source_.begin(), source_.end(), by_key)) std::stable_sort(source_.begin(), source_.end(), by_key);
  // Distinct keys may share a text (str subclasses): keep the last, as a
  // JSON object with repeated keys reads back.
  size_t kept = 0;
  for (size_t j = 0; j < source_.size(); ++j) {
    if (j + 1 < source_.size() && keys[source_[j + 1]] == keys[source_[j]]) continue;
    source_[kept++] = source_[j];
  }
  source_.resize(kept);
  prefixes_begin_ = text_.size();
  prefix_end_.reserve(kept);
  for (size_t j = 0; j < kept; ++j) {
    if (j > 0) text_ += ',';
    write_json_string(keys[source_[j]], text_);
    text_ += ':';
    prefix_end_.push_back(text_.size());
  }
}

bool DictShape::matches(const std::string_view* keys, size_t n) const {
  if (n != key_end_.size()) return false;
  size_t b = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t e = key_end_[i];
    if (keys[i].size() != e - b || std::memcmp(keys[i].data(), text_.data() + b, e - b) != 0) return false;
    b = e;
  }
  return true;
}

uint64_t DictShapeCache::fold(uint64_t signature, std::string_view key) {
  uint64_t head = 0;
  std::memcpy(&head, key.data(), std::min<size_t>(key.size(), 8));
  return (signature ^ head ^ (uint64_t{key.size()} << 56)) * 0x9E3779B97F4A7C15ull + key.size();
}

namespace {
size_t pair_of(uint64_t signature) {
  const uint64_t h = signature ^ (signature >> 29) ^ (signature >> 43);
  return (h & (DictShapeCache::kSlots / 2 - 1)) * 2;
}
}  // namespace

const DictShape* DictShapeCache::find(uint64_t signature, const std::string_view* keys, size_t n, Handle* where) {
  if (!slots_) return nullptr;
  const size_t first = pair_of(signature);
  for (size_t i = first; i < first + 2; ++i) {
    Slot& s = slots_[i];
    if (s.shape && s.signature == signature && s.shape->matches(keys, n)) {
      use(i);
      if (where) *where = Handle{static_cast<uint32_t>(i), s.serial};
      return s.shape.get();
    }
  }
  return nullptr;
}

const DictShape* DictShapeCache::keep(uint64_t signature, const std::string_view* keys, size_t n,
                                      Handle* where) noexcept {
  if (n > kMaxKeys) return nullptr;
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) bytes += keys[i].size();
  if (bytes > kMaxKeyBytes) return nullptr;
  try {
    if (!slots_) slots_.reset(new Slot[kSlots]);
    auto shape = std::make_unique<DictShape>();
    shape->build(keys, n);
    const size_t first = pair_of(signature);
    Slot* pair = &slots_[first];
    // A shape this pass used may still be in use by it: never replaced.
    auto free_to_take = [&](const Slot& s) { return !s.shape || s.pass != pass_; };
    size_t w;
    if (!pair[0].shape) {
      w = 0;
    } else if (!pair[1].shape) {
      w = 1;
    } else {
      w = pair[0].recent ? 1 : 0;
      if (!free_to_take(pair[w])) w = 1 - w;
      if (!free_to_take(pair[w])) return nullptr;
    }
    Slot& victim = pair[w];
    victim.signature = signature;
    victim.shape = std::move(shape);
    victim.serial = ++serials_;
    use(first + w);
    if (where) *where = Handle{static_cast<uint32_t>(first + w), victim.serial};
    return victim.shape.get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace vedra
