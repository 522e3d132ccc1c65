// FieldNames: the names of a field map's entries, in order, held once for
// every map whose entries carry exactly those names (FieldMap::write_named).
//
// Records of a catalogue mostly come in a few shapes -- the same fields in
// the same order -- so a map that shares its names keeps only its values:
// about half of its bytes, and half of the fresh pages a bulk load touches.
// A list is immutable once made and counts the maps holding it; the last to
// let go frees it.  The count is atomic, so that maps sharing a list may be
// copied and dropped on different threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "base/text_words.h"

namespace vedra {

class FieldNames {
 public:
  FieldNames(const FieldNames&) = delete;
  FieldNames& operator=(const FieldNames&) = delete;

  // A list of the names `names` gives (a range of string_view-likes), with
  // one reference, the caller's.  REQUIRES: each name passes
  // FieldMap::check_entry().  Throws std::bad_alloc.
  template <typename Range>
  static const FieldNames* make(const Range& names) {
    size_t bytes = 0, count = 0;
    for (const auto& name : names) {
      bytes += sizeof(uint32_t) + std::string_view(name).size();
      ++count;
    }
    FieldNames* list = new FieldNames();
    try {
      list->bytes_.resize(bytes);
    } catch (...) {
      delete list;
      throw;
    }
    char* out = list->bytes_.data();
    for (const auto& name : names) {
      const std::string_view s(name);
      const uint32_t n = static_cast<uint32_t>(s.size());
      std::memcpy(out, &n, sizeof n);
      copy_text(out + sizeof n, s.data(), n);
      out += sizeof n + n;
    }
    list->count_ = static_cast<uint32_t>(count);
    return list;
  }

  void ref() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  void unref() const noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  size_t size() const { return count_; }
  // The names, each as a 4-byte length and its bytes, in order.
  const char* begin() const { return bytes_.data(); }
  const char* end() const { return bytes_.data() + bytes_.size(); }
  size_t bytes() const { return bytes_.size(); }
  // Heap bytes held, the list itself included.
  size_t memory_usage() const { return sizeof(FieldNames) + (bytes_.capacity() > 15 ? bytes_.capacity() + 1 : 0); }
  // The maps holding the list.
  size_t holders() const { return refs_.load(std::memory_order_relaxed); }

 private:
  FieldNames() = default;
  ~FieldNames() = default;

  mutable std::atomic<size_t> refs_{1};
  uint32_t count_ = 0;
  std::string bytes_;
};

}  // namespace vedra
