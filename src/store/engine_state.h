// EngineState: everything one MetadataCore object holds.
//
// Records are numbered 0, 1, 2, ... in registration order; a record number
// indexes every per-record vector below.  Records are never removed or
// changed: re-adding a code adds a new record and moves only the code lookup.
//
// Invariants after every completed ingestion call and load:
//   - record_codes, record_names, record_pinyins, record_payloads and
//     record_fields each hold next_record entries;
//   - code_to_record maps each code to the highest record number carrying it;
//   - pattern_texts and pattern_records have equal length and only grow;
//   - every number in a posting is below next_record.
//
// Thread safety: none.  The binding's borrow flag serialises writers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/bitmap.h"
#include "index/matcher.h"
#include "index/posting.h"
#include "lib/status.h"
#include "store/field_map.h"
#include "store/hash.h"
#include "store/pattern_list.h"
#include "store/payload_store.h"

namespace vedra {

// (field, text) pairs in posting order, duplicates and empty texts included.
using FieldPosts = std::vector<std::pair<std::string, std::string>>;

// Working list of one ingestion call: (field name, value text) in collection
// order; grouped by field only when joined.
using CollectedValues = std::vector<std::pair<std::string, std::string>>;

// Field -> value key -> records.  A field's posting map is held by pointer
// and never moves, so a pointer to it stays valid while the state lives
// (FieldSlotCache).
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
struct EngineState {
  FieldIndex field_index;                   // field -> value key -> records
  FieldSlotCache field_slots;               // lookups into field_index by position
  std::unique_ptr<Matcher> matcher;         // absent until a build over a non-empty list
  PatternList pattern_texts;                // registration order; pattern number = position
  std::vector<uint32_t> pattern_records;    // record whose code owns pattern i
  std::vector<std::string> record_codes;    // exactly as passed (untrimmed)
  TextMap<uint32_t> code_to_record;         // code -> newest record number
  std::vector<std::string> record_names;
  std::vector<std::string> record_pinyins;  // unsplit
  PayloadStore record_payloads;             // compact JSON text, members in key order
  std::vector<FieldMap> record_fields;
  uint32_t next_record = 0;

  // Records whose payload nests too deeply to be read back from a snapshot;
  // save refuses to write a snapshot that would hold one.
  std::vector<uint32_t> deep_payload_records;

  // Every record number, {0, ..., next_record - 1}, as a new bitmap.
  Bitmap all_records() const { return Bitmap::range(next_record); }

  // The code that owns pattern i (the owning record's code as passed).
  std::string_view pattern_code(size_t i) const { return record_codes[pattern_records[i]]; }

  // Heap bytes held, approximately (for benchmarks).
  size_t memory_usage() const;
};

// Fails when the store cannot take another record (2^32 - 1 records).
Status check_capacity(const EngineState& s);
Status capacity_error();

// Registers one record and returns its number.  The payload text is copied
// into the store.  REQUIRES: check_capacity(s).ok().
uint32_t register_record(EngineState& s, std::string code, std::string name, std::string pinyin,
                         std::string_view payload_json);

void append_record_fields(EngineState& s, FieldMap fields);

// The compact JSON text of the eight-member default payload.
std::string default_payload(std::string_view code, std::string_view name, std::string_view pinyin);

// Appends a non-empty value to the field's list (no trim, no de-duplication).
void collect_field_value(CollectedValues& collected, std::string_view field, std::string value);

// Distinct non-empty values per field joined with "|" in first-seen order;
// fields with no value are left out.  Fails, leaving `out` empty, when a
// joined value is longer than a field map holds (FieldMap::check_entry).
// Cost: linear in the collected values.
Status join_field_values(const CollectedValues& collected, FieldMap& out);

// Posts one (field, value) of record r: "|"-pieces (trimmed) and dotted
// prefixes each become a key.  An empty value does nothing (the field gets
// no posting map either).
void post_value(EngineState& s, std::string_view field, std::string_view value, uint32_t r);

// How postings take record numbers: kIncremental keeps every posting ready
// to read; kBulk (records arriving in ascending order, nothing read until
// seal_postings) appends and leaves the bitmaps to seal_postings.
enum class PostingMode { kIncremental, kBulk };

// post_value() into a posting map already looked up.  REQUIRES: !value.empty().
void post_value_to(FieldPostings& postings, std::string_view value, uint32_t r,
                   PostingMode mode = PostingMode::kIncremental);

// Ends a run of kBulk posting: every posting back in its readable form.
void seal_postings(EngineState& s);

// A hint that `value` is about to be posted to `postings`: starts loading the
// hash slots of its plain keys when the map is too large to stay in cache.
// Affects nothing but timing.
void prefetch_value_keys(const FieldPostings& postings, std::string_view value);


// Registers the record's code, name and trimmed non-empty pinyin pieces as
// search patterns owned by record r.
void register_patterns(EngineState& s, std::string_view code, std::string_view name,
                       std::string_view pinyin, uint32_t r);

// Compiles pattern_texts into matcher.  On failure the matcher is unchanged.
Status build_matcher(EngineState& s);

}  // namespace vedra
