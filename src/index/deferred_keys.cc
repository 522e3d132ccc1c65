#include "index/deferred_keys.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>
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

// Bits of a radix digit: 2048 buckets, whose tails the cache holds at once.
constexpr unsigned kDigit = 11;
// Buckets too small for a counting pass over 2^kDigit counts.
constexpr size_t kSmallBucket = 48;

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

void DeferredKeys::add(FieldPostings& map, std::string_view key, size_t hash, uint32_t record) {
  // A field whose values seldom repeat may still repeat their keys (parts
  // of a list, the whole part of an amount): those need neither an entry
  // nor a sort when the map is small and already holds them.
  if (map.capacity() <= kProbedCapacity) {
    const auto it = map.find(HashedText{key, hash});
    if (it != map.end()) {
      it->second.add_ascending(record);
      return;
    }
  }
  hold(key, hash, record);
}

void DeferredKeys::hold(std::string_view key, size_t hash, uint32_t record) {
  static_assert(std::endian::native == std::endian::little);
  Entry e;
  e.hash = hash;
  e.record = record;
  if (key.size() <= kInlineKey) {
    e.size = static_cast<uint8_t>(key.size());
    std::memcpy(e.bytes, key.data(), key.size());
  } else {
    // Offsets of 56 bits and sizes of 32 cover any list this machine holds.
    if (key.size() > UINT32_MAX || bytes_.size() >> 56 != 0) throw std::bad_alloc();
    e.size = kLongKey;
    const uint32_t size = static_cast<uint32_t>(key.size());
    const uint64_t at = bytes_.size();
    std::memcpy(e.bytes, &size, sizeof size);
    std::memcpy(e.bytes + 4, &at, kInlineKey - 4);
    std::memcpy(bytes_.extend(key.size()), key.data(), key.size());
  }
  entries_.push_back(e);
}

void DeferredKeys::sort_by_slot(unsigned bits, SortRoom& room) {
  const size_t n = entries_.size();
  if (bits == 0 || n < 2) return;
  // The high digit first, into the room; then each of its buckets by the
  // low digit, back into the list, while the bucket is in the cache.  Both
  // passes are stable, so the list ends ordered by slot and, within a slot,
  // as added (records ascending).
  const unsigned low = bits > kDigit ? std::min(kDigit, bits / 2) : 0;
  const size_t mask = (size_t{1} << bits) - 1;
  const size_t low_mask = (size_t{1} << low) - 1;
  auto slot = [&](const Entry& e) { return slot_bits_of(e.hash, mask); };
  std::vector<size_t> starts((size_t{1} << (bits - low)) + 1, 0);
  for (const Entry& e : entries_) ++starts[(slot(e) >> low) + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  std::vector<size_t> next(starts.begin(), starts.end() - 1);
  PageArray<Entry>& other = room.entries_;
  other.resize_within(n);
  for (const Entry& e : entries_) other[next[slot(e) >> low]++] = e;
  if (low == 0) {
    entries_.swap(other);  // the room keeps the list's own buffer, as many elements written
    return;
  }
  std::vector<size_t> counts(low_mask + 2);
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    const size_t first = starts[b], last = starts[b + 1];
    if (last - first < kSmallBucket) {
      // Too few to count: insertion, stable.
      for (size_t i = first; i < last; ++i) {
        const Entry e = other[i];
        size_t j = i;
        for (; j > first && (slot(entries_[j - 1]) & low_mask) > (slot(e) & low_mask); --j) entries_[j] = entries_[j - 1];
        entries_[j] = e;
      }
      continue;
    }
    std::fill(counts.begin(), counts.end(), 0);
    for (size_t i = first; i < last; ++i) ++counts[(slot(other[i]) & low_mask) + 1];
    std::partial_sum(counts.begin(), counts.end(), counts.begin());
    for (size_t i = first; i < last; ++i) entries_[first + counts[slot(other[i]) & low_mask]++] = other[i];
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
  // A map with room for every entry as a new key needs no count.
  if (map_room(map) < entries_.size()) map.reserve(map.size() + new_keys(map, bits));

  // Each key is probed once per run of it.  Long keys are read from the
  // blocks at random: their loads are started a few entries ahead.
  // The records of a run are gathered and posted at its end, so that a new
  // posting is allocated once, at its final size.
  constexpr size_t kAhead = 8;
  Posting* posting = nullptr;
  std::vector<uint32_t> run;  // ascending, without repeats
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (i + kAhead < entries_.size() && entries_[i + kAhead].size == kLongKey) {
      __builtin_prefetch(bytes_.data() + long_at(entries_[i + kAhead]));
    }
    const Entry& e = entries_[i];
    if (i == 0 || !same_key(e, entries_[i - 1])) {
      if (posting != nullptr) posting->add_ascending(run.data(), run.size());
      run.clear();
      // With the table full to what was counted, a key met again after
      // another key's entries must not make it grow.
      auto held = map_room(map) == 0 ? map.find(HashedText{key(e), e.hash}) : map.end();
      posting = held != map.end() ? &held->second
                                  : &map.try_emplace(HashedKey{TextKey(key(e)), e.hash}).first->second;
    }
    if (run.empty() || run.back() != e.record) run.push_back(e.record);
  }
  if (posting != nullptr) posting->add_ascending(run.data(), run.size());
  entries_.release();
  bytes_.release();
}

}  // namespace vedra
