// Adding one record to a live engine, all or nothing.
//
// The add runs in two phases.  The first does every piece of work that can
// fail: it looks up or makes aside each field map and value key the record is
// posted under, copies the keys it will insert, and grows every list and hash
// table the record lands in so that the second phase allocates nothing.  Only
// representation changes reach the state in the first phase (capacity, a
// posting turned from array to bitmap, a table regrown), none that a reader
// or a snapshot can see.  The second phase links the prepared pieces in and
// cannot fail.
//
// The one allocation the first phase cannot prepare is a bitmap posting's own
// growth inside CRoaring, whose allocations are not reported to the caller in
// every release we build against.
#pragma once

#include <string>

#include "base/status.h"
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
  const FieldPosts* posts = nullptr;
  bool deep = false;  // the payload nests too deeply for a snapshot
};

// Adds `in` as record next_record.  On failure -- a full store (a Status) or
// std::bad_alloc (thrown) -- `s` reads and saves exactly as before; `in` may
// have been consumed only on success.
Status add_record(EngineState& s, RecordInput& in);

}  // namespace vedra
