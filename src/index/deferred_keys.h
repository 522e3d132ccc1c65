// DeferredKeys: the value keys a bulk load posts to one field's posting map
// whose values seldom repeat (codes, names, amounts), held back and inserted
// all at once at the end of the run.
//
// Inserted as they come, such keys land at random in a table far larger than
// the cache: every insert waits for its control bytes and its slot.  Held
// back, they are inserted in the order of their home slots instead, so the
// table fills front to back and its memory is walked in order; and the
// table is made at its final size once, instead of growing (and moving every
// entry) as it fills.
//
// Short keys are held in the entry itself; longer ones are copied into
// bytes the list owns.  So the list depends on no text of
// the caller's after add() returns.  The list and its bytes are held outside
// the heap (base/page_array.h): they are gone without a trace before
// whatever the load does next.
//
// Thread safety: none; belongs to the state being loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/hash.h"
#include "base/page_array.h"
#include "index/posting.h"

namespace vedra {

using FieldPostings = TextMap<Posting>;

class DeferredKeys {
  // Keys of up to kInlineKey bytes are held in the entry; a longer one is
  // held in bytes_, its entry holding its size and offset there.  24 bytes
  // an entry: the sort moves each entry once or twice.
  static constexpr size_t kInlineKey = 11;
  static constexpr uint8_t kLongKey = 0xff;
  struct Entry {
    size_t hash;
    uint32_t record;
    uint8_t size;                // kLongKey: the key is in bytes_
    char bytes[kInlineKey];      // the key; kLongKey: its size (4 bytes) and offset (7)
  };
  static_assert(sizeof(Entry) == 24);
  // Maps of up to this many slots (about 3 MB) are probed at add().
  static constexpr size_t kProbedCapacity = (size_t{1} << 16) - 1;

 public:
  DeferredKeys() = default;
  DeferredKeys(const DeferredKeys&) = delete;
  DeferredKeys& operator=(const DeferredKeys&) = delete;

  // `key`, whose hash under `map`'s hash function is `hash`, is posted to
  // `map` for `record`: at once when `map` is small enough to be probed in
  // the cache and holds the key, else held back.  (A small map gains no
  // key until insert_into(), so each key is either always posted at once
  // or always held.)  REQUIRES: `record` >= every record added before;
  // `map` gains keys only through this list until insert_into().  Throws
  // std::bad_alloc (the list must then be discarded with its map).
  void add(FieldPostings& map, std::string_view key, size_t hash, uint32_t record);

  size_t size() const { return entries_.size(); }

  // The buffer a sort moves entries through, lent by whoever inserts
  // several lists in turn: its pages are cleared by the kernel once, not
  // once per list.  Lend it to lists of falling sizes, so that it holds no
  // more than the list at hand needs.  Outside the heap, as the lists are.
  class SortRoom {
   public:
    SortRoom() = default;
    SortRoom(const SortRoom&) = delete;
    SortRoom& operator=(const SortRoom&) = delete;

   private:
    friend class DeferredKeys;
    PageArray<Entry> entries_;
  };

  // Posts every key held into `map` (made when missing) with ascending
  // appends, as if each had been posted there in the order added, and
  // empties the list, returning its memory.  REQUIRES: the records `map`
  // holds are all <= every record added here; `map` is the map whose hash
  // function made the hashes.  Throws std::bad_alloc (the map must then be
  // discarded).  Cost: one radix sort of the list and one probe per run of
  // a key, in slot order.
  void insert_into(FieldPostings& map, SortRoom& room);
  void insert_into(FieldPostings& map) {
    SortRoom room;
    insert_into(map, room);
  }

 private:
  static size_t long_size(const Entry& e) {
    uint32_t size;
    std::memcpy(&size, e.bytes, sizeof size);
    return size;
  }
  static size_t long_at(const Entry& e) {
    uint64_t at = 0;
    std::memcpy(&at, e.bytes + 4, kInlineKey - 4);  // little-endian
    return static_cast<size_t>(at);
  }
  std::string_view key(const Entry& e) const {
    return e.size != kLongKey ? std::string_view(e.bytes, e.size)
                              : std::string_view(bytes_.data() + long_at(e), long_size(e));
  }
  bool same_key(const Entry& a, const Entry& b) const { return a.hash == b.hash && key(a) == key(b); }

  void hold(std::string_view key, size_t hash, uint32_t record);

  // Stable sort of entries_ by the low `bits` bits of hash >> 7, through
  // `room`.
  void sort_by_slot(unsigned bits, SortRoom& room);
  // Keys held that `map` lacks, each counted once.  REQUIRES: sorted by the
  // low `bits` bits of hash >> 7.
  size_t new_keys(const FieldPostings& map, unsigned bits) const;

  PageArray<Entry> entries_;  // in the order added
  PageArray<char> bytes_;     // the keys too long for their entries
};

}  // namespace vedra
