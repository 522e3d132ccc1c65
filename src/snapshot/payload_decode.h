// Decoding of the two snapshot payloads (the decompressed JSON texts).
//
// Both decoders read the whole text before returning and leave nothing
// behind on failure.  Failure messages are the exact ValueError texts; those
// found while reading the text end in " at line L column C" (see
// store/json_reader.h for the position rules).
#pragma once

#include <string_view>
#include <vector>

#include "lib/status.h"
#include "snapshot/index_doc.h"
#include "store/hash.h"
#include "store/json_value.h"

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

// Decodes the full payload: parse_json(), then "full payload must be a JSON
// object" (no position) when the value is not an object.  The result maps
// record codes to stored payloads, members in ascending byte order of keys.
Result<JsonValue> decode_full_payload(std::string_view bytes);

// The full payload as compact payload texts by code (the last member wins for
// a repeated code): what decode_full_payload() gives, each member written with
// write_json_compact().  Members that are already compact are copied without
// being parsed into a JsonValue.  Fails exactly as decode_full_payload().
Result<TextMap<std::string>> decode_full_payload_texts(std::string_view bytes);

}  // namespace vedra
