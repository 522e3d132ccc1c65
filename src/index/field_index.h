// The field index: field name -> value key -> the records posted under it.
//
// A field's posting map is held by pointer and never moves, so a pointer to
// it stays valid while the index lives, even when the index itself is moved
// or grows (FieldSlotCache relies on this).
//
// Thread safety: none; the owner serialises writers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "index/deferred_keys.h"
#include "index/posting.h"
#include "index/value_memo.h"

namespace vedra {

// Value key -> records of one field; the index holds one per field.
using FieldPostings = TextMap<Posting>;
using FieldIndex = TextMap<std::unique_ptr<FieldPostings>>;

// The posting map of `field`, made empty when the index has none.
inline FieldPostings& field_postings(FieldIndex& index, std::string_view field) {
  auto it = index.find(field);
  if (it != index.end()) return *it->second;
  return *index.try_emplace(field, std::make_unique<FieldPostings>()).first->second;
}

// Looks up field posting maps for a run of records whose fields mostly come
// with the same names in the same order (a catalogue being ingested, a
// snapshot being loaded): each field position remembers the maps of the
// last few fields met there, so a repeat costs a comparison or two instead
// of a hash lookup.  In a kBulk run it also holds each map's value memo
// (value_memo.h) and the keys held back from it (deferred_keys.h); adds to
// a live index keep a value memo of their own per map.  Belongs
// to one FieldIndex (whose maps never move, even when the index itself is
// moved) and travels with it.
class FieldSlotCache {
 public:
  FieldPostings& resolve(FieldIndex& index, size_t position, std::string_view field) {
    if (Way* way = remembered(position, field)) return *way->map;
    FieldPostings& postings = field_postings(index, field);
    remember(position, field, &postings);
    return postings;
  }

  // The map of `field` when the index has one, else null; inserts nothing
  // into the index.  Remembering a found map may throw std::bad_alloc, which
  // leaves the cache as it was.
  FieldPostings* lookup(FieldIndex& index, size_t position, std::string_view field) {
    if (Way* way = remembered(position, field)) return way->map;
    auto it = index.find(field);
    if (it == index.end()) return nullptr;
    remember(position, field, it->second.get());
    return it->second.get();
  }

  // What a kBulk run keeps beside one posting map.
  struct BulkRun {
    ValueMemo memo;
    DeferredKeys deferred;  // keys of values the memo has stopped remembering
  };

  // The one T of `map` in `owned`, made when missing, with the way's
  // pointer to it in `cached`.  Throws std::bad_alloc, leaving both as they
  // were.
  template <typename T>
  static T& one_per_map(FieldPostings* map, T*& cached,
                        std::vector<std::pair<FieldPostings*, std::unique_ptr<T>>>& owned) {
    if (cached != nullptr) return *cached;
    for (const auto& [m, t] : owned) {
      if (m == map) return *(cached = t.get());
    }
    owned.reserve(owned.size() + 1);
    owned.emplace_back(map, std::make_unique<T>());
    return *(cached = owned.back().second.get());
  }

  // For a kBulk run: the run state of the map that the last resolve() for
  // `position` gave, one per map whatever the positions it comes at.
  // Throws std::bad_alloc.
  BulkRun& bulk_run(size_t position) {
    Way& way = slots_[position].ways[slots_[position].last];
    return one_per_map(way.map, way.run, runs_);
  }

  // For adds to a live index: the value memo of the map that the last
  // lookup() for `position` gave, one per map whatever the positions it comes
  // at, kept while the index lives.  Throws std::bad_alloc, leaving the cache
  // as it was.
  ValueMemo& live_memo(size_t position) {
    Way& way = slots_[position].ways[slots_[position].last];
    return one_per_map(way.map, way.memo, memos_);
  }

  // Ends a kBulk run: the keys held back are posted into their maps, and
  // every run state is dropped.  Throws std::bad_alloc (the index must then
  // be discarded).
  void end_bulk_run() {
    // Longest list first: the sort's buffer, shared, then only shrinks.
    std::stable_sort(runs_.begin(), runs_.end(),
                     [](const auto& a, const auto& b) { return a.second->deferred.size() > b.second->deferred.size(); });
    DeferredKeys::SortRoom room;
    for (auto& [map, run] : runs_) {
      run->deferred.insert_into(*map, room);
      run.reset();
    }
    for (Slot& slot : slots_) {
      for (Way& way : slot.ways) way.run = nullptr;
    }
    decltype(runs_)().swap(runs_);
  }

 private:
  // Records of a few kinds (say stocks, funds and bonds) put different
  // fields at one position: each position remembers a few.
  static constexpr size_t kWays = 4;
  struct Way {
    std::string field;
    FieldPostings* map = nullptr;  // null: never filled
    BulkRun* run = nullptr;        // owned by runs_; null until asked for
    ValueMemo* memo = nullptr;     // owned by memos_; null until asked for
  };
  struct Slot {
    Way ways[kWays];
    uint8_t last = 0;  // the way found or filled last
  };

  // a == b for the short names fields have: up to sixteen bytes compared as
  // two overlapping words (or halves, or bytes) instead of by a call.
  static bool same_name(std::string_view a, std::string_view b) {
    const size_t n = a.size();
    if (n != b.size()) return false;
    auto words_equal = [&](auto word) {
      decltype(word) a0, a1, b0, b1;
      constexpr size_t w = sizeof word;
      std::memcpy(&a0, a.data(), w);
      std::memcpy(&a1, a.data() + n - w, w);
      std::memcpy(&b0, b.data(), w);
      std::memcpy(&b1, b.data() + n - w, w);
      return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    };
    if (n >= 8 && n <= 16) return words_equal(uint64_t{});
    if (n >= 4 && n < 8) return words_equal(uint32_t{});
    if (n < 4) {
      for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
      }
      return true;
    }
    return a == b;
  }

  // The way of `position` that remembers `field`.  A way never filled has
  // no map and matches nothing, not even the empty field name.
  Way* remembered(size_t position, std::string_view field) {
    if (position >= slots_.size()) return nullptr;
    Slot& slot = slots_[position];
    for (uint8_t i = 0; i < kWays; ++i) {
      const uint8_t w = static_cast<uint8_t>((slot.last + i) % kWays);
      Way& way = slot.ways[w];
      if (way.map != nullptr && same_name(way.field, field)) {
        slot.last = w;
        return &way;
      }
    }
    return nullptr;
  }

  // Fills the way after the last one used.  Throws std::bad_alloc, leaving
  // the cache as it was.
  void remember(size_t position, std::string_view field, FieldPostings* map) {
    if (position >= slots_.size()) slots_.resize(position + 1);
    Slot& slot = slots_[position];
    const uint8_t w = static_cast<uint8_t>((slot.last + 1) % kWays);
    std::string name(field);
    Way& way = slot.ways[w];
    way.field.swap(name);
    way.map = map;
    way.run = nullptr;
    way.memo = nullptr;
    slot.last = w;
  }

  std::vector<Slot> slots_;
  std::vector<std::pair<FieldPostings*, std::unique_ptr<BulkRun>>> runs_;
  std::vector<std::pair<FieldPostings*, std::unique_ptr<ValueMemo>>> memos_;
};
}  // namespace vedra
