// Every record's code in ascending byte order: the order of the full
// payload's members and of the manifest's codes digest, sorted once per save
// and shared by both.
//
// Thread safety: as reading the state it was built from; immutable after
// construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "store/engine_state.h"

namespace vedra {

class CodeOrder {
 public:
  // REQUIRES: `s` outlives this object and is not changed meanwhile.
  // Cost: 16 bytes per record and one sort, which buckets the records by
  // the first eight bytes of their codes, a byte at a time in place, and
  // reads the codes only where those tie.
  explicit CodeOrder(const EngineState& s);

  // One entry per record: codes ascending (a prefix before the longer code),
  // records that share a code in ascending record number.
  size_t size() const { return entries_.size(); }
  uint32_t record(size_t i) const { return entries_[i].record; }
  std::string_view code(size_t i) const { return texts_->code(entries_[i].record); }
  // Asks the cache for entry i's code, ahead of reading it; prefetch_pointer()
  // for the pointer to it, further ahead.
  void prefetch(size_t i) const { texts_->prefetch(entries_[i].record); }
  void prefetch_pointer(size_t i) const { texts_->prefetch_pointer(entries_[i].record); }
  // True when entry i + 1 holds the same code as entry i.
  bool same_code_follows(size_t i) const {
    return i + 1 < entries_.size() && entries_[i].prefix == entries_[i + 1].prefix && code(i) == code(i + 1);
  }

 private:
  struct Entry {
    uint64_t prefix;  // the code's first eight bytes, big-endian, zero-padded
    uint32_t record;
  };
  template <typename Less>
  static void sort_from(Entry* first, Entry* last, int byte, const Less& less);

  const RecordTexts* texts_;
  std::vector<Entry> entries_;
};

}  // namespace vedra
