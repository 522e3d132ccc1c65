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

// Codes of the records whose patterns occur in `text` (leftmost-longest,
// non-overlapping), sorted by bytes and de-duplicated.  Views point into
// s.record_codes and stay valid while s is unchanged.
std::vector<std::string_view> find_codes(const EngineState& s, std::string_view text);

}  // namespace vedra
