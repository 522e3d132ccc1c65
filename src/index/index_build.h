// The store-to-index step: posting field values, registering search patterns
// and compiling them into the matcher.  Ingestion and load call these with
// the parts of the engine state they write; nothing here knows the record
// store itself.
//
// Thread safety: none; each call writes the structures it is given.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "base/text.h"
#include "index/field_index.h"
#include "index/matcher.h"
#include "index/pattern_list.h"

namespace vedra {

// How postings take record numbers: kIncremental keeps every posting ready
// to read; kBulk (records arriving in ascending order, nothing read until
// seal_postings) appends and leaves the bitmaps to seal_postings.
enum class PostingMode { kIncremental, kBulk };

// Posts one value of record r to a field's posting map: "|"-pieces (trimmed)
// and dotted prefixes each become a key (index/value_keys.h).
// REQUIRES: !value.empty().
void post_value_to(FieldPostings& postings, std::string_view value, uint32_t r,
                   PostingMode mode = PostingMode::kIncremental);

// Ends a run of kBulk posting into `index`: the keys `slots` held back are
// posted, its run state is dropped, and every posting is back in its
// readable form.  Throws std::bad_alloc (the index must then be discarded).
void seal_postings(FieldIndex& index, FieldSlotCache& slots);

// Posting maps at least this large are taken to be out of the cache: only
// their keys are worth loading ahead.
inline constexpr size_t kCachedEntries = 1 << 13;

// Calls f(text) for each search pattern of a record, in registration order:
// its code, its name and its pinyin pieces ("|" separated), each trimmed of
// white space, empty ones left out.  The views point into the arguments.
template <typename F>
void for_each_pattern(std::string_view code, std::string_view name, std::string_view pinyin, F&& f) {
  auto one = [&](std::string_view text) {
    const std::string_view t = trim_white_space(text);
    if (!t.empty()) f(t);
  };
  one(code);
  one(name);
  size_t start = 0;
  while (true) {
    const size_t bar = pinyin.find('|', start);
    one(pinyin.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
}

// Appends the patterns of for_each_pattern() to `texts`, each owned by
// record r in `owners` (pattern i belongs to record owners[i]).
void register_patterns(PatternList& texts, std::vector<uint32_t>& owners, std::string_view code,
                       std::string_view name, std::string_view pinyin, uint32_t r);

// Compiles `texts` into `matcher` (reset when `texts` is empty).  On failure
// `matcher` is unchanged.
Status build_matcher(const PatternList& texts, std::unique_ptr<Matcher>& matcher);

}  // namespace vedra
