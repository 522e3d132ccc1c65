// The common tail of every ingestion path (add_record, add_record_payload and
// snapshot loading): register, post, register patterns, store the field map.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lib/status.h"
#include "store/engine_state.h"
#include "store/json_value.h"

namespace vedra {

// Registers one fully converted record.  `posts` are the (field, text) pairs
// to post in order; when null, the joined `fields` themselves are posted.
// With PostingMode::kBulk the caller must call seal_postings before the
// state is read.  REQUIRES: check_capacity(s).ok().
uint32_t ingest_record(EngineState& s, std::string code, std::string name, std::string pinyin,
                       std::string_view payload_json, FieldMap fields, const FieldPosts* posts = nullptr,
                       PostingMode mode = PostingMode::kIncremental);

// A record payload read by the flattening rules: code, name and pinyin from
// string members, fields from market/asset_type/region and the members of
// the "categories" and "attributes" objects.
struct FlattenedRecord {
  std::string code, name, pinyin;
  FieldMap fields;
};
// (Reference form over a JsonValue; ingestion uses flatten_record_text.)
FlattenedRecord flatten_record(const JsonValue& record);

// A member of a record's compact JSON text: its key and the byte range of its
// value's text.
struct MemberSpan {
  std::string key;
  size_t begin, end;
};

// flatten_record() over a record already written as compact JSON text, given
// the spans of its members in key order.  Only the members the flattening
// reads are parsed, trusting the written form (json_unescape.h).  REQUIRES:
// `text` was written by the engine's writer; a string not in the written
// form fails the call (the join's failures aside, never for such text).
Status flatten_record_text(std::string_view text, const std::vector<MemberSpan>& members, FlattenedRecord& out);

// Appends the texts of one JSON value under `field` (children of objects
// under "field.key", or "key" when field is empty).
void flatten_json_value(std::string_view field, const JsonValue& value, CollectedValues& collected);

// Container nesting depth of a payload at which the snapshot reader would
// refuse the full object that wraps it.
inline constexpr int kUnloadablePayloadDepth = 127;

}  // namespace vedra
