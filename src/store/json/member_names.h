// Object member names of a long JSON text, recognised by their text.
//
// The objects of a snapshot payload spell the same few member names, mostly
// in the same order: every record has the same fields and payload members.
// A MemberNames table gives each name it has met a small id and remembers,
// for each id, the id of the name that followed it last time in an object
// (and the first name inside the value it named), so that the next name is
// usually recognised by comparing the text at the cursor with one expected
// text (`"name":`), with no scan and no lookup.  Ids also make the check for
// a repeated name within an object one bit test per name.
//
// Only plain names are held (printable ASCII without '"' or '\\', so that a
// name's text is its value), at most kMaxText bytes with quotes and colon,
// at most kCapacity names: a payload with more distinct names just finds
// fewer of them here.
//
// Thread safety: one table per scan, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vedra {

class MemberNames {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kCapacity = 256;
  static constexpr size_t kMaxText = 32;  // `"name":`

  MemberNames() {
    for (uint32_t& n : next_) n = kNone;
    for (uint32_t& n : second_) n = kNone;
    for (uint32_t& n : first_) n = kNone;
    for (uint32_t& s : slots_) s = kNone;
  }

  // The id expected after name `previous` in an object (kNone: the first
  // name of an object whose own name is not told apart), and the one that
  // was expected before it: objects of two shapes that share a name each
  // keep theirs.
  uint32_t predicted(uint32_t previous) const { return next_[slot_of(previous)]; }
  uint32_t predicted_second(uint32_t previous) const { return second_[slot_of(previous)]; }
  void set_prediction(uint32_t previous, uint32_t id) {
    const size_t slot = slot_of(previous);
    if (next_[slot] == id) return;
    second_[slot] = next_[slot];
    next_[slot] = id;
  }
  // The id expected first in an object that is the value of name `owner`.
  uint32_t predicted_first(uint32_t owner) const { return first_[slot_of(owner)]; }
  void set_first_prediction(uint32_t owner, uint32_t id) { first_[slot_of(owner)] = id; }

  // The length of name `id`'s text `"name":` when the bytes at p in [p, end)
  // begin with it; 0 otherwise.  REQUIRES: id < size().
  size_t match(uint32_t id, const char* p, const char* end) const {
    const Entry& e = entries_[id];
    if (static_cast<size_t>(end - p) < kMaxText) {
      return static_cast<size_t>(end - p) >= e.length && std::memcmp(p, e.text, e.length) == 0 ? e.length : 0;
    }
#if defined(__SSE2__)
    const __m128i* text = reinterpret_cast<const __m128i*>(e.text);
    const unsigned low = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_load_si128(text))));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), _mm_load_si128(text + 1))));
    const uint64_t equal = low | (uint64_t{high} << 16);
    return (~equal & e.mask) == 0 ? e.length : 0;
#else
    return std::memcmp(p, e.text, e.length) == 0 ? e.length : 0;
#endif
  }

  // The name with the given value.  `name` is plain (see above); kNone when
  // it is too long to be held or the table is full.
  uint32_t find_or_add(std::string_view name) {
    if (name.size() + 3 > kMaxText) return kNone;
    size_t slot = hash(name) & (kSlots - 1);
    for (; slots_[slot] != kNone; slot = (slot + 1) & (kSlots - 1)) {
      const Entry& e = entries_[slots_[slot]];
      if (e.length == name.size() + 3 && std::memcmp(e.text + 1, name.data(), name.size()) == 0) return slots_[slot];
    }
    if (size_ == kCapacity) return kNone;
    Entry& e = entries_[size_];
    std::memset(e.text, 0, sizeof e.text);
    e.text[0] = '"';
    std::memcpy(e.text + 1, name.data(), name.size());
    e.text[name.size() + 1] = '"';
    e.text[name.size() + 2] = ':';
    e.length = static_cast<uint32_t>(name.size() + 3);
    e.mask = (uint64_t{1} << e.length) - 1;
    slots_[slot] = size_;
    return size_++;
  }

  uint32_t size() const { return size_; }

 private:
  static constexpr size_t kSlots = 2 * kCapacity;  // a power of two

  static size_t slot_of(uint32_t id) { return id == kNone ? 0 : size_t{id} + 1; }

  // Length and first and last eight bytes: names of one payload differ
  // there, and equal hashes only cost a comparison.
  static size_t hash(std::string_view s) {
    uint64_t head = 0, tail = 0;
    if (s.size() >= 8) {
      std::memcpy(&head, s.data(), 8);
      std::memcpy(&tail, s.data() + s.size() - 8, 8);
    } else {
      std::memcpy(&head, s.data(), s.size());
    }
    const uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ ((tail + s.size()) * 0xBF58476D1CE4E5B9ull);
    return static_cast<size_t>(h ^ (h >> 29));
  }

  struct alignas(16) Entry {
    char text[kMaxText];  // `"name":`, zeros after it
    uint64_t mask;        // one bit per byte of the text
    uint32_t length;
  };
  Entry entries_[kCapacity];
  uint32_t size_ = 0;
  uint32_t next_[kCapacity + 1];    // by slot_of(): the name after it
  uint32_t second_[kCapacity + 1];  // by slot_of(): the one before that
  uint32_t first_[kCapacity + 1];  // by slot_of(): the first name in its value
  uint32_t slots_[kSlots];        // ids by hash of the name
};

// The ids met in one object, for the check for a repeated name.
class MemberNameSet {
 public:
  void clear() { std::memset(bits_, 0, sizeof bits_); }
  // Adds `id`; true when it was already there.  REQUIRES: id < kCapacity.
  bool add(uint32_t id) {
    const uint64_t bit = uint64_t{1} << (id & 63);
    const bool had = (bits_[id >> 6] & bit) != 0;
    bits_[id >> 6] |= bit;
    return had;
  }

 private:
  uint64_t bits_[MemberNames::kCapacity / 64] = {};
};

}  // namespace vedra
