// Recognising texts that are already in the engine's compact form.
//
// Snapshot loading keeps each stored payload as its compact text.  A payload
// read from a file the engine wrote is already compact, so it can be copied
// as is instead of being parsed into a JsonValue and written again; this
// check decides when that is safe.
#pragma once

#include <string_view>

namespace vedra {

// True when `text` is byte for byte what write_json_compact writes for the
// value it denotes: no white space, canonical escapes and number texts, and
// object keys strictly ascending.  Conservative: may answer false for some
// compact texts (keys holding escapes), never true for a non-compact one.
// REQUIRES: `text` is one valid JSON value (as accepted by the reader).
bool is_canonical_compact(std::string_view text);

}  // namespace vedra
