// Flattening of record payloads: the fields add_record_payload takes from a
// record already written as compact JSON text.  The only ingestion path
// that flattens: add_record takes its fields as given, and a load reads
// each record's from its index document.  add_record_payload gathers the
// same flattening while it writes the text (flatten_collector.h); this
// reading of a finished text is what that gathering must equal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "index/index_build.h"
#include "store/engine_state.h"
#include "store/json/json_value.h"

namespace vedra {

// A record payload read by the flattening rules: code, name and pinyin from
// string members, fields from market/asset_type/region and the members of
// the "categories" and "attributes" objects.
struct FlattenedRecord {
  std::string code, name, pinyin;
  FieldMap fields;
};

// A member of a record's compact JSON text: its key (a view into a text
// that outlives the flattening) and the byte range of its value's text.
struct MemberSpan {
  std::string_view key;
  size_t begin, end;
};

// What flatten_record_text() keeps between the records of one engine: its
// working lists and texts, so that a stream of records flattens without
// growing them again.  Nothing in it is read from one call to the next;
// what an unusually large record grew is dropped by the next call.
class FlattenScratch {
 public:
  // A collected text: a span of the record's text, or of `built`.
  struct Span {
    size_t begin, size;
    bool built;
  };

  // Drops buffers grown beyond what ordinary records need.
  void trim();

 private:
  friend Status flatten_record_text(std::string_view, const std::vector<MemberSpan>&, FlattenedRecord&,
                                    FlattenScratch*);
  std::string built;    // texts made during a walk
  std::string decoded;  // one decoded string, before it is kept
  std::vector<std::pair<Span, Span>> pieces;  // (field, value) in collection order
  CollectedViews collected;
};

// Flattens a record already written as compact JSON text, given the spans of
// its members in key order.  code, name, pinyin, market, asset_type and
// region are taken from string members (empty otherwise; the last three
// untrimmed); each member of an object "categories" or "attributes" is
// flattened under its own key: null gives nothing, booleans "True"/"False",
// numbers their text, strings their white-space-trimmed text, arrays each
// element under the same name, objects each member under "field.key" (or
// "key" when field is empty).  Only the members the flattening reads are
// parsed, trusting the written form (json_unescape.h).  REQUIRES: `text` was written by the engine's writer; a
// string not in the written form fails the call.  Fails too when a joined
// value is too long for a field map.
// `scratch`, when given, lends its buffers (one call at a time).
Status flatten_record_text(std::string_view text, const std::vector<MemberSpan>& members, FlattenedRecord& out,
                           FlattenScratch* scratch = nullptr);

}  // namespace vedra
