// Decoding of the two snapshot payloads (the decompressed JSON texts).
//
// Both decoders read the whole text before returning and leave nothing
// behind on failure.  Failure messages are the exact ValueError texts; those
// found while reading the text end in " at line L column C" (see
// store/json/json_reader.h for the position rules).
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "snapshot/index_doc.h"
#include "snapshot/payload_source.h"
#include "store/json/json_value.h"

namespace vedra {

// Decodes the index payload: a JSON array of SnapshotIndexDoc, in file order.
//
// Each element is either
//  - an object with the members "code", "name", "pinyin" (strings) and
//    "fields" (an object whose values are strings), in any order; other
//    members are skipped whatever their values (still within the nesting
//    limit); a repeated known member fails with "duplicate field `code`", a
//    missing one with "missing field `fields`" at the element's closing
//    brace (members are checked in the order code, name, pinyin, fields); or
//  - an array of exactly those four values in that order; any other length
//    fails with "invalid length N, expected struct SnapshotIndexDoc with 4
//    elements" at the closing bracket, N counting every element (so longer
//    arrays report their full length too).
// Inside "fields" the last occurrence of a repeated key wins.  Wrong kinds of
// values fail with "invalid type: <found>, expected <what>", <what> being "a
// sequence" (top level), "struct SnapshotIndexDoc" (element), "a string" or
// "a map".  The reading rules of parse_json() apply throughout.
//
// Cost: one pass over the text; no intermediate JsonValue is built.
Result<std::vector<SnapshotIndexDoc>> decode_index_payload(std::string_view bytes);

// One document of the index payload as decode_index_payload_each() hands it
// over: views into the text (or into the decoder's scratch where a string
// held escapes), valid only during the call.  `fields` is already reduced to
// the last occurrence of each repeated key, survivors in text order.
struct IndexDocView {
  using Field = std::pair<std::string_view, std::string_view>;
  std::string_view code, name, pinyin;
  std::span<const Field> fields;
  // Empty, or one per field: a small number naming the field's name, the
  // same for equal names and different for different ones throughout one
  // decoding (below kIndexFieldIds), so that a reader can tell the fields
  // of repeating documents apart without comparing their names.
  std::span<const uint32_t> field_ids;
};

// The bound of IndexDocView::field_ids.
inline constexpr uint32_t kIndexFieldIds = 256;

class IndexDocSink {
 public:
  virtual ~IndexDocSink() = default;
  // Takes one document; a failure stops the decoding and is returned as is.
  virtual Status take(const IndexDocView& doc) = 0;
};

// decode_index_payload() without the document list: each document goes to
// `sink` as soon as it is read, in file order.  Decoding faults are those of
// decode_index_payload(); on any failure the sink has seen only a prefix of
// the documents and the caller must discard what it built from them.
Status decode_index_payload_each(std::string_view bytes, IndexDocSink& sink);

// The window a streamed index payload is read into: big enough that the
// reads into it and the moves of a document cut at its end are rare, small
// enough to stay in the cache while it is decoded and read.
inline constexpr size_t kIndexPayloadPiece = size_t{256} << 10;

// decode_index_payload_each() of the text that `source` hands over, read a
// window of `piece` bytes at a time (a document longer than the window
// widens it).  The same documents reach the sink, and the same faults with
// the same positions are reported, as for the whole text, except that a
// failure of the source itself is reported before any decoding fault: the
// source is read to its end, its bytes discarded, once the decoding has
// failed.  A source whose text is whole() is decoded where it lies.
Status decode_index_payload_each(PayloadSource& source, IndexDocSink& sink, size_t piece = kIndexPayloadPiece);

// decode_index_payload_each() of a source never whole, with every member of
// a document and of its "fields" read by the general reading, never by the
// shortcuts for the shape the engine writes: the same documents and faults,
// for tests to compare.
Status decode_index_payload_each_generally_for_testing(PayloadSource& source, IndexDocSink& sink, size_t piece);

// Decodes the full payload: parse_json(), then "full payload must be a JSON
// object" (no position) when the value is not an object.  The result maps
// record codes to stored payloads, members in ascending byte order of keys.
Result<JsonValue> decode_full_payload(std::string_view bytes);

// The full payload as (code, compact payload text) members: what
// decode_full_payload() gives, each member written with write_json_compact().
// Members come in text order with repeated codes kept, so applying them in
// order lets the last occurrence win.  Texts already in compact form, and
// codes without escapes, are views into `bytes` (checked, not parsed into a
// JsonValue); others are held in `owned`.  Fails exactly as
// decode_full_payload().
struct FullPayloadTexts {
  std::vector<std::pair<std::string_view, std::string_view>> members;
  std::deque<std::string> owned;  // stable addresses
};
Result<FullPayloadTexts> decode_full_payload_texts(std::string_view bytes);

}  // namespace vedra
