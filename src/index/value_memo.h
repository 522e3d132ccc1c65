// ValueMemo: for a run of kBulk posting into one field, the postings that
// recent value texts were posted to.
//
// The records of a catalogue repeat most of their values (a market, a
// currency, a region path): a value met again reuses the postings it reached
// before instead of being split into keys and probed key by key.  A field
// whose values seldom repeat (codes, names, amounts) stops being remembered
// after a trial, so it pays only for the trial.
//
// Entries point into the field's posting map.  The map never erases, so its
// slots move only when it grows: each entry keeps the map's capacity at the
// time it was made and is void once the capacity differs.  Cost: a mix of a
// few words of the value text per lookup; about 6 KB per field.
//
// Thread safety: none; belongs to the state being loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "base/text_words.h"
#include "index/posting.h"

namespace vedra {

class ValueMemo {
 public:
  // The postings `text` went to, in posting order, when remembered and
  // still valid for a map of capacity `map_capacity`; else empty (and
  // remember() may follow).
  std::span<Posting* const> find(size_t map_capacity, std::string_view text) {
    if (!active_) return {};
    const Entry& e = entries_[slot_of(text)];
    const bool hit = e.capacity == map_capacity && same_text(e.text, text);
    ++lookups_;
    hits_ += hit;
    // Too few repeats after the trial: this field is not remembered.
    if (lookups_ == kTrialLookups && 2 * hits_ < lookups_) active_ = false;
    if (!hit) return {};
    return {e.postings.data(), e.postings.size()};
  }

  // False once the trial has shown the field's values seldom repeat: find()
  // then finds nothing, ever.
  bool active() const { return active_; }

  // Remembers that `text` went to `postings` in a map now of capacity
  // `map_capacity`.  Throws std::bad_alloc (the entry is then forgotten).
  void remember(size_t map_capacity, std::string_view text, std::span<Posting* const> postings) {
    if (!active_) return;
    Entry& e = entries_[slot_of(text)];
    e.capacity = kNoCapacity;
    e.text.assign(text);
    e.postings.assign(postings.begin(), postings.end());
    e.capacity = map_capacity;
  }

 private:
  static constexpr size_t kEntries = 64;
  static_assert(kEntries == 64, "slot_of() takes six bits");
  static constexpr uint64_t kTrialLookups = 1024;
  static constexpr size_t kNoCapacity = SIZE_MAX;

  struct Entry {
    size_t capacity = kNoCapacity;  // of the map when made; kNoCapacity: empty
    std::string text;
    absl::InlinedVector<Posting*, 4> postings;
  };

  // Every eight bytes of the text and its length, mixed: values of one field
  // are short, and a cheap mix spreads them as well as the maps' hash does
  // (two sharing a slot only cost misses).
  static size_t slot_of(std::string_view text) {
    const char* const p = text.data();
    const size_t n = text.size();
    uint64_t h = n * 0x9E3779B97F4A7C15ull;
    size_t at = 0;
    for (; n - at >= 8; at += 8) h = (h ^ text_word(p + at)) * 0xBF58476D1CE4E5B9ull;
    if (at != n) h = (h ^ (n >= 8 ? text_word(p + n - 8) : short_text_word(p, n))) * 0xBF58476D1CE4E5B9ull;
    return static_cast<size_t>(h >> 58);  // the top six bits: kEntries slots
  }

  Entry entries_[kEntries];
  uint64_t lookups_ = 0;
  uint64_t hits_ = 0;
  bool active_ = true;
};

}  // namespace vedra
