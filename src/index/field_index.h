// The field index: field name -> value key -> the records posted under it.
//
// A field's posting map is held by pointer and never moves, so a pointer to
// it stays valid while the index lives, even when the index itself is moved
// or grows (FieldSlotCache relies on this).
//
// Thread safety: none; the owner serialises writers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "index/posting.h"

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
// snapshot being loaded): the map of each field position of the previous
// record is remembered, so a repeat costs one comparison instead of a hash
// lookup.  Belongs to one FieldIndex (whose maps never move, even when the
// index itself is moved) and travels with it.
class FieldSlotCache {
 public:
  FieldPostings& resolve(FieldIndex& index, size_t position, std::string_view field) {
    if (const Slot* slot = remembered(position, field)) return *slot->second;
    FieldPostings& postings = field_postings(index, field);
    if (position >= slots_.size()) slots_.resize(position + 1);
    slots_[position].first.assign(field);
    slots_[position].second = &postings;
    return postings;
  }

  // The map of `field` when the index has one, else null; inserts nothing
  // into the index.  Remembering a found map may throw std::bad_alloc, which
  // leaves the cache as it was.
  FieldPostings* lookup(FieldIndex& index, size_t position, std::string_view field) {
    if (const Slot* slot = remembered(position, field)) return slot->second;
    auto it = index.find(field);
    if (it == index.end()) return nullptr;
    if (position >= slots_.size()) slots_.resize(position + 1);
    slots_[position].first.assign(field);
    slots_[position].second = it->second.get();
    return it->second.get();
  }

 private:
  using Slot = std::pair<std::string, FieldPostings*>;
  // The slot of `position` when it remembers `field`.  A slot never filled
  // (its position skipped by a record) has no map and matches nothing, not
  // even the empty field name.
  const Slot* remembered(size_t position, std::string_view field) const {
    if (position >= slots_.size()) return nullptr;
    const Slot& slot = slots_[position];
    return slot.second != nullptr && slot.first == field ? &slot : nullptr;
  }

  std::vector<Slot> slots_;
};
}  // namespace vedra
