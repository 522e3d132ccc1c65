// PayloadStore: the compact JSON text of every record's payload, by record
// number.
//
// Texts are never changed or removed, so they are packed into large blocks
// that are only ever appended to, and a record holds a view into one: 16
// bytes per record and no allocation per text, against a string object and a
// heap block each.  A load hands over its whole decompressed payload buffer
// as a block of its own (adopt), so stored texts are used where they lie
// instead of being copied out one by one.  Records sharing a text (older
// records of a re-added code after a load) share its bytes.
//
// The views themselves are one page-backed list (base/page_array.h): at a
// million records it grows by moving pages, so it neither copies the views
// held nor faults in twice their size, as a doubling vector would.
//
// Views returned stay valid for the store's lifetime; blocks never move.
// Thread safety: none; the owner's borrow serialises writers.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "base/page_array.h"
#include "store/byte_buffer.h"
#include "store/text_blocks.h"

namespace vedra {

class PayloadStore {
 public:
  PayloadStore() = default;
  PayloadStore(PayloadStore&&) noexcept = default;
  PayloadStore& operator=(PayloadStore&&) noexcept = default;

  size_t size() const { return texts_.size(); }
  std::string_view operator[](size_t r) const { return texts_[r]; }
  // Asks the cache for record r's view, ahead of reading it at random.
  void prefetch_view(size_t r) const { __builtin_prefetch(&texts_[r]); }
  void reserve(size_t records) { texts_.reserve(records); }

  // Makes the next push_back(text) of `size` bytes allocate nothing.
  // Throws std::bad_alloc with the texts unchanged.
  void reserve_one(size_t size);

  // Appends a record whose payload is a copy of `text`.
  void push_back(std::string_view text) { texts_.push_back(copy(text)); }
  // Makes record r's payload a copy of `text`.  REQUIRES: r < size().
  void set(size_t r, std::string_view text) { texts_[r] = copy(text); }
  // Makes record r's payload `text`, which must be held by this store
  // already: another record's payload, or bytes of an adopted block.
  void set_held(size_t r, std::string_view text) { texts_[r] = text; }

  // Keeps `block` for the store's lifetime; returns its bytes, which may then
  // be given to set_held().
  std::string_view adopt(ByteBuffer block);

  // Bytes held: blocks, adopted buffers and the per-record views.
  size_t memory_usage() const;

 private:
  std::string_view copy(std::string_view text);

  // Small stores keep their views in the heap (up to 64Ki records).
  static constexpr size_t kHeapBelow = size_t{1} << 20;
  PageArray<std::string_view, kHeapBelow> texts_;
  TextBlocks blocks_;
  std::vector<ByteBuffer> adopted_;
};

}  // namespace vedra
