// EngineState: everything one MetadataCore object holds.
//
// Records are numbered 0, 1, 2, ... in registration order; a record number
// indexes every per-record vector below.  Records are never removed or
// changed: re-adding a code adds a new record and moves only the code lookup.
//
// Invariants after every completed ingestion call and load:
//   - record_texts, record_payloads and record_fields each hold next_record
//     entries;
//   - code_to_record maps each code to the highest record number carrying it;
//   - pattern_texts and pattern_records have equal length and only grow;
//   - every number in a posting is below next_record.
//
// Names in the docs (README, docs/snapshot_format.md) and here:
//   record number            position in the per-record vectors; next_record
//                            is the record count
//   code, name, pinyin text  record_texts.code(r), .name(r), .pinyin(r)
//   payload, full payload    record_payloads[r]; the full file holds the
//                            payload of code_to_record[code] for each code
//   field map, `fields`      record_fields[r] (an index document's `fields`)
//   field index, postings    field_index: field -> value key -> records
//   search patterns          pattern_texts, owned by pattern_records
//   matcher, automaton       matcher, compiled from pattern_texts by build()
//   the newest record        code_to_record[code]
//
// Thread safety: none.  The binding's borrow flag serialises writers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/hash.h"
#include "base/status.h"
#include "index/field_index.h"
#include "index/matcher.h"
#include "index/pattern_list.h"
#include "store/field_map.h"
#include "store/json/json_reader.h"
#include "store/payload_store.h"
#include "store/record_texts.h"

namespace vedra {

// (field name, value text) pairs in the order met, repeats and empty texts
// included: what one ingestion call collects (grouped by field only when
// joined), and what a record posts.
using CollectedValues = std::vector<std::pair<std::string, std::string>>;
// The same pairs as views into texts that outlive the join.
using CollectedViews = std::vector<std::pair<std::string_view, std::string_view>>;

// Container nesting depth of a payload from which a snapshot cannot hold it:
// the full file wraps each payload in its object, one level more, so such a
// payload's innermost container lies past the reader's limit.
inline constexpr int kUnloadablePayloadDepth = kJsonMaxDepth;

struct EngineState {
  FieldIndex field_index;                   // field -> value key -> records
  FieldSlotCache field_slots;               // lookups into field_index by position
  std::unique_ptr<Matcher> matcher;         // absent until a build over a non-empty list
  PatternList pattern_texts;                // registration order; pattern number = position
  std::vector<uint32_t> pattern_records;    // record whose code owns pattern i
  RecordTexts record_texts;                 // exactly as passed (untrimmed; pinyin unsplit)
  TextMap<uint32_t> code_to_record;         // code -> newest record number
  PayloadStore record_payloads;             // compact JSON text, members in key order
  std::vector<FieldMap> record_fields;
  uint32_t next_record = 0;

  // Records whose payload nests kUnloadablePayloadDepth levels or more, too
  // deeply to be read back from a snapshot; save refuses to write a snapshot
  // that would hold one.
  std::vector<uint32_t> deep_payload_records;

  // Heap bytes held, approximately (for benchmarks).
  size_t memory_usage() const;
};

// Fails when the store cannot take another record (2^32 - 1 records).
Status check_capacity(const EngineState& s);
Status capacity_error();

// The compact JSON text of the eight-member default payload.
std::string default_payload(std::string_view code, std::string_view name, std::string_view pinyin);

// Appends a non-empty value to the field's list (no trim, no de-duplication).
void collect_field_value(CollectedValues& collected, std::string_view field, std::string value);

// Distinct non-empty values per field joined with "|" in first-seen order;
// fields with no value are left out.  Fails, leaving `out` empty, when a
// joined value is longer than a field map holds (FieldMap::check_entry).
// Cost: linear in the collected values.
Status join_field_values(const CollectedValues& collected, FieldMap& out);
Status join_field_values(const CollectedViews& collected, FieldMap& out);

}  // namespace vedra
