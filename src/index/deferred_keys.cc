#include "index/deferred_keys.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vedra {
namespace {

// The home slot of a hash in a table of 2^bits slots, but for the table's
// own salt, which only XORs bits above the lowest twelve: the order of home
// slots it gives is theirs within aligned blocks of 4096 slots, and the
// blocks are each visited whole.  (Only speed depends on this.)
inline size_t slot_bits_of(size_t hash, size_t mask) { return (hash >> 7) & mask; }

// Index bits of the table GrowSafe makes when `extra` keys join `m` (the
// same arithmetic as its ensure_room()).
unsigned bits_after_room(const FieldPostings& m, size_t extra) {
  size_t capacity = m.capacity();
  const size_t usable = capacity * 7 / 8;
  const size_t room = usable > m.size() + 1 ? usable - m.size() - 1 : 0;
  if (room < extra) {
    const size_t wanted = m.size() + extra + 1;
    const size_t buckets = std::max(wanted + wanted / 7 + 2, 2 * capacity + 1);
    capacity = ~size_t{0} >> std::countl_zero(buckets);
  }
  return static_cast<unsigned>(std::bit_width(capacity));
}

}  // namespace

void DeferredKeys::add(std::string_view key, size_t hash, uint32_t record) {
  Entry e;
  e.hash = hash;
  e.record = record;
  e.size = static_cast<uint32_t>(key.size());
  if (key.size() <= kInlineKey) {
    std::memcpy(e.bytes, key.data(), key.size());
  } else {
    e.at = bytes_.size();
    std::memcpy(bytes_.extend(key.size()), key.data(), key.size());
  }
  entries_.push_back(e);
}

void DeferredKeys::sort_by_slot(unsigned bits, SortRoom& room) {
  if (bits == 0 || entries_.size() < 2) return;
  // Least significant digit first; each pass is stable, so the list ends
  // ordered by slot and, within a slot, as added (records ascending).
  const unsigned passes = (bits + 10) / 11;
  const unsigned digit = (bits + passes - 1) / passes;
  const size_t mask = (size_t{1} << bits) - 1;
  const size_t buckets = size_t{1} << digit;
  std::vector<size_t> counts(passes * buckets, 0);
  for (const Entry& e : entries_) {
    const size_t slot = slot_bits_of(e.hash, mask);
    for (unsigned p = 0; p < passes; ++p) ++counts[p * buckets + ((slot >> (p * digit)) & (buckets - 1))];
  }
  // The room's buffer and the list's own trade places each pass.  Both end
  // with as many elements written, so which one the room keeps is all one.
  PageArray<Entry>& other = room.entries_;
  other.resize_within(entries_.size());
  for (unsigned p = 0; p < passes; ++p) {
    size_t* c = counts.data() + p * buckets;
    if (std::count(c, c + buckets, entries_.size()) == 1) continue;  // one digit value: already in order
    size_t at = 0;
    for (size_t b = 0; b < buckets; ++b) at += std::exchange(c[b], at);
    for (const Entry& e : entries_) other[c[(slot_bits_of(e.hash, mask) >> (p * digit)) & (buckets - 1)]++] = e;
    entries_.swap(other);
  }
}

size_t DeferredKeys::new_keys(const FieldPostings& map, unsigned bits) const {
  const size_t mask = (size_t{1} << bits) - 1;
  // Keys of a map that has room for every entry need not be looked for.
  const bool look = map.size() > 0 && map_room(map) < entries_.size();
  size_t count = 0;
  std::vector<size_t> firsts;  // the first entry of each key of the home slot
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (i == 0 || slot_bits_of(e.hash, mask) != slot_bits_of(entries_[i - 1].hash, mask)) {
      firsts.clear();
    } else if (std::any_of(firsts.begin(), firsts.end(), [&](size_t f) { return same_key(entries_[f], e); })) {
      continue;
    }
    firsts.push_back(i);
    count += !(look && map.contains(HashedText{key(e), e.hash}));
  }
  return count;
}

void DeferredKeys::insert_into(FieldPostings& map, SortRoom& room) {
  if (entries_.empty()) return;
  // Sorted for a table with room for every entry as a new key, which also
  // brings equal keys together to be counted.  When the keys repeat enough
  // for a smaller table, that order is kept: it sweeps the smaller table
  // front to back a few times, which the cache serves as well as once, and
  // a second sort would cost more than it saves.
  const unsigned bits = bits_after_room(map, entries_.size());
  sort_by_slot(bits, room);
  map.reserve(map.size() + new_keys(map, bits));

  // Each key is probed once per run of it.  Long keys are read from the
  // blocks at random: their loads are started a few entries ahead.
  constexpr size_t kAhead = 8;
  Posting* posting = nullptr;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i + kAhead < entries_.size() && entries_[i + kAhead].size > kInlineKey) {
      __builtin_prefetch(bytes_.data() + entries_[i + kAhead].at);
    }
    const Entry& e = entries_[i];
    if (i == 0 || !same_key(e, entries_[i - 1])) {
      // With the table full to what was counted, a key met again after
      // another key's entries must not make it grow.
      auto held = map_room(map) == 0 ? map.find(HashedText{key(e), e.hash}) : map.end();
      posting = held != map.end() ? &held->second
                                  : &map.try_emplace(HashedString{std::string(key(e)), e.hash}).first->second;
    }
    posting->add_ascending(e.record);
  }
  entries_.release();
  bytes_.release();
}

}  // namespace vedra
