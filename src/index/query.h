// The set work of filter() and find(), free of Python objects.
#pragma once

#include <string_view>
#include <vector>

#include "index/bitmap.h"
#include "store/engine_state.h"

namespace vedra {

// A field's inner map, or nullptr when no value was ever posted to it.
const TextMap<Posting>* find_field(const EngineState& s, std::string_view field);

// Adds to `out` the postings of `text` in `field` (nothing when either is
// absent or the text is empty).
void union_posting(const TextMap<Posting>* field, std::string_view text, Bitmap& out);

// The records whose patterns occur in `text` (leftmost-longest,
// non-overlapping), one record per distinct code, ordered by the bytes of
// their codes.
std::vector<uint32_t> find_code_records(const EngineState& s, std::string_view text);

}  // namespace vedra
