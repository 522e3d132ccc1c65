// Adding one record to the engine: the one way every path adds a record
// (add_record, add_record_payload and snapshot loading).
//
// An add runs in two steps.  reserve_record() does every piece of work that
// can fail: it looks up or makes aside each field map and value key the
// record is posted under, copies the keys it will insert, and grows every
// list and hash table the record lands in so that the second step allocates
// nothing.  Only representation changes reach the state in the first step
// (capacity, a posting turned from array to bitmap, a table regrown), none
// that a reader or a snapshot can see.  append_record() links the prepared
// pieces in and cannot fail.
//
// PostingMode::kBulk is the same two steps for a state nobody reads until
// seal_postings() (a load building a fresh state, discarded whole on
// failure): record numbers arrive in ascending order, so the first step posts
// straight into the field index with ascending appends instead of preparing
// each key, and the bitmaps are made once at the end.  Values a field repeats
// reach their postings through the field's value memo (index/value_memo.h);
// the keys of a field that seldom repeats its values are held back
// (index/deferred_keys.h) and posted by seal_postings(), which ends the run;
// the code lookup is written with one probe, at the append.
//
// A bitmap posting's own growth inside CRoaring is prepared as room pledged
// in the caller's RoaringPledges scope (index/roaring_memory.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "absl/container/inlined_vector.h"
#include "base/status.h"
#include "index/field_index.h"
#include "index/index_build.h"
#include "store/engine_state.h"
#include "store/field_map.h"

namespace vedra {

// A record converted and ready to add.
struct RecordInput {
  std::string code, name, pinyin;  // exactly as passed
  std::string payload;             // compact JSON text
  FieldMap fields;                 // joined values, as stored for the record
  // The (field, text) pairs to post, in order; when null the joined `fields`
  // themselves are posted.
  const CollectedViews* posts = nullptr;
  bool deep = false;  // the payload nests too deeply for a snapshot
};

class BulkLookahead;

// For a kBulk run: the field map a posted value at one position goes to and
// that map's run state (value memo and held-back keys).
struct BulkTarget {
  FieldPostings* map = nullptr;  // null: not found yet
  FieldSlotCache::BulkRun* run = nullptr;
};

// What reserve_record() prepared and append_record() links in.  Owned by the
// caller between the two calls; one reservation per record.
class RecordReservation {
 public:
  RecordReservation() = default;
  RecordReservation(const RecordReservation&) = delete;
  RecordReservation& operator=(const RecordReservation&) = delete;

 private:
  friend Status reserve_record(EngineState&, RecordInput&, RecordReservation&, PostingMode, const BulkLookahead*);
  friend void append_record(EngineState&, RecordInput&, RecordReservation&) noexcept;

  // A value key the record adds to an existing field map, with the map's
  // hash of it.
  struct NewKey {
    FieldPostings* map;
    HashedKey key;
  };
  uint32_t record = 0;
  std::optional<FieldIndex> staged_fields;  // maps of fields new to the index
  // kIncremental: postings of existing keys, ready for one more number.
  // kBulk: within reserve_record(), postings found and not yet appended.
  absl::InlinedVector<Posting*, 32> grown;
  absl::InlinedVector<NewKey, 8> new_keys;
  bool new_code = false;
  TextKey code_key;  // the code_to_record key when new_code
};

// Step one: prepares `in` as record next_record.  On failure -- a full store
// (a Status) or std::bad_alloc (thrown) -- `s` reads and saves exactly as
// before (kIncremental) or must be discarded (kBulk), and `in` is unchanged.
// REQUIRES: nothing changes `s` before the matching append_record(); a
// RoaringPledges scope (index/roaring_memory.h) open from this call until
// that append_record() has run.
// With kBulk, `ahead` (when given) is what prefetch_record() found for `in`
// in `s`; without it the step finds the same itself.
Status reserve_record(EngineState& s, RecordInput& in, RecordReservation& plan,
                      PostingMode mode = PostingMode::kIncremental, const BulkLookahead* ahead = nullptr);

// Step two: adds the record prepared by reserve_record(), consuming `in`.
// REQUIRES: reserve_record(s, in, plan) succeeded.
void append_record(EngineState& s, RecordInput& in, RecordReservation& plan) noexcept;

// For a kBulk run: what prefetch_record() found for one record ahead of its
// add, so that the add finds none of it again -- each posted value's field
// map (made in the index when missing) and value memo.  Holds views of
// the record's texts: valid while the record's input is unchanged and until
// its add, whatever other records are added to the state in between.
class BulkLookahead {
 public:
  BulkLookahead() = default;
  BulkLookahead(const BulkLookahead&) = delete;
  BulkLookahead& operator=(const BulkLookahead&) = delete;

  // A posted value with the map it goes to.
  struct Value {
    std::string_view text;
    FieldPostings* map;
    FieldSlotCache::BulkRun* run;  // the map's value memo and held-back keys
  };

 private:
  friend void look_ahead(EngineState&, const RecordInput&, BulkLookahead&, bool, std::span<const BulkTarget>);
  friend Status reserve_record(EngineState&, RecordInput&, RecordReservation&, PostingMode, const BulkLookahead*);
  absl::InlinedVector<Value, 32> values_;
};

// A hint for a kBulk run: `in` is the record after the one about to be
// added.  Fills `ahead` for it (see BulkLookahead) and starts loading the
// hash slot of its code, so that its miss overlaps the add before it.
// Changes nothing a sealed state shows; throws std::bad_alloc (the state
// must then be discarded).
void prefetch_record(EngineState& s, const RecordInput& in, BulkLookahead& ahead);

// What prefetch_record() finds for a non-empty value of `field` at
// `position` (0 the code, 1 the name, 2 + i the record's field i): its map,
// made in the index when missing, and that map's run state.  Throws
// std::bad_alloc (the state must then be discarded).
BulkTarget bulk_target(EngineState& s, size_t position, std::string_view field);

// prefetch_record() told the target of each posted value by a caller that
// recognises repeating field names, so that none is looked up again:
// targets[p] for the value at position p (as bulk_target() numbers them).
// REQUIRES: in.posts is null; targets has 2 + in.fields.size() entries, and
// each position with a non-empty value has the bulk_target() of its field
// in `s` (from this record or an earlier one of the run).
void prefetch_record(EngineState& s, const RecordInput& in, BulkLookahead& ahead, std::span<const BulkTarget> targets);

// Both steps.  With kBulk the caller must call seal_postings() before the
// state is read.
Status add_record(EngineState& s, RecordInput& in, PostingMode mode = PostingMode::kIncremental);
// Both steps of a kBulk add, with what prefetch_record(s, in, ahead) found.
Status add_record(EngineState& s, RecordInput& in, const BulkLookahead& ahead);

}  // namespace vedra
