// RecordTexts: the code, name and pinyin text of every record, by record
// number.
//
// Texts are never changed or removed, so a record's three are packed
// together into large append-only blocks, behind their three lengths, and
// the record holds one pointer to them: 8 bytes per record and no allocation
// per text, against three string objects (96 bytes) and a heap block for
// each text longer than a string holds in place (names and pinyins mostly).
//
// The pointers are one page-backed list (base/page_array.h), which grows by
// moving pages rather than copying.
//
// Views returned stay valid for the store's lifetime; blocks never move.
// Thread safety: none; the owner's borrow serialises writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "base/page_array.h"
#include "store/text_blocks.h"

namespace vedra {

class RecordTexts {
 public:
  // One record's three texts.
  struct Entry {
    std::string_view code, name, pinyin;
  };

  RecordTexts() = default;
  RecordTexts(RecordTexts&&) noexcept = default;
  RecordTexts& operator=(RecordTexts&&) noexcept = default;

  size_t size() const { return at_.size(); }
  std::string_view code(size_t r) const { return text(r, 0); }
  std::string_view name(size_t r) const { return text(r, 1); }
  std::string_view pinyin(size_t r) const { return text(r, 2); }
  Entry operator[](size_t r) const { return {code(r), name(r), pinyin(r)}; }
  // Asks the cache for record r's texts, ahead of reading them at random;
  // prefetch_pointer() for the pointer to them, further ahead.
  void prefetch(size_t r) const { __builtin_prefetch(at_[r]); }
  void prefetch_pointer(size_t r) const { __builtin_prefetch(&at_[r]); }
  void reserve(size_t records) { at_.reserve(records); }

  // Makes the next push_back(e) allocate nothing.  Throws std::bad_alloc
  // with the texts unchanged.
  void reserve_one(const Entry& e);
  // Appends a record holding copies of e's texts.  REQUIRES: each text is
  // shorter than 2^32 bytes; allocates nothing after reserve_one(e).
  void push_back(const Entry& e);

  // Bytes held: blocks and the per-record pointers.
  size_t memory_usage() const;

  // Same texts for the same record numbers.
  friend bool operator==(const RecordTexts& a, const RecordTexts& b);

 private:
  static constexpr size_t kHeader = 3 * sizeof(uint32_t);
  static size_t bytes_of(const Entry& e) { return kHeader + e.code.size() + e.name.size() + e.pinyin.size(); }

  // Text i (0 code, 1 name, 2 pinyin) of record r.
  std::string_view text(size_t r, int i) const {
    const char* p = at_[r];
    uint32_t n[3];
    std::memcpy(n, p, sizeof n);
    size_t start = kHeader;
    for (int k = 0; k < i; ++k) start += n[k];
    return std::string_view(p + start, n[i]);
  }
  // Small stores keep the pointers in the heap (up to 128Ki records).
  static constexpr size_t kHeapBelow = size_t{1} << 20;
  PageArray<const char*, kHeapBelow> at_;  // record -> its lengths, then its texts
  TextBlocks blocks_;
};

}  // namespace vedra
