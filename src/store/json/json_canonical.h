// Recognising texts that are already in the engine's compact form.
//
// Snapshot loading keeps each stored payload as its compact text.  A payload
// read from a file the engine wrote is already compact, so it can be copied
// as is instead of being parsed into a JsonValue and written again; this
// check decides when that is safe.
#pragma once

#include <cstddef>
#include <string_view>

namespace vedra {

class MemberNames;

// True when `text` is byte for byte what write_json_compact writes for the
// value it denotes: no white space, canonical escapes and number texts, and
// object keys strictly ascending.  Conservative: may answer false for some
// compact texts (keys holding escapes), never true for a non-compact one.
// REQUIRES: `text` is one valid JSON value (as accepted by the reader).
// Test-only: loading asks canonical_compact_value_length() below.
bool is_canonical_compact_for_testing(std::string_view text);

// For the JSON value at the start of `text` (more text may follow it): its
// length in bytes when it is canonical compact as above and also acceptable
// to the reader on its own (well-formed UTF-8, containers nested at most
// `max_levels` levels); 0 otherwise, including when unsure.  A text the
// reader refuses is never accepted, so no prior check is needed.  Makes a
// names table of its own for the call (below).
size_t canonical_compact_value_length(std::string_view text, int max_levels);

// As above, recognising member names through `names`, which a caller that
// measures many values of one text keeps from one call to the next: the
// same answers, fewer scans of names (see member_names.h).
size_t canonical_compact_value_length(std::string_view text, int max_levels, MemberNames& names);

}  // namespace vedra
