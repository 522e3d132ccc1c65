// The set work of filter() and find(), free of Python objects.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <string>

#include "absl/functional/function_ref.h"
#include "index/bitmap.h"
#include "index/field_index.h"
#include "index/matcher.h"
#include "index/posting.h"

namespace vedra {

// A field's inner map, or nullptr when no value was ever posted to it.
const FieldPostings* find_field(const FieldIndex& index, std::string_view field);

// What a filter key asks for: a key ending in "__not" excludes, and names
// the field left after every trailing "__not" is removed ("x__not__not" is
// field "x", excluded once; "__not" alone is the empty field, excluded).
// Any other key includes, and names the field spelled by the whole key.
struct FilterKey {
  std::string_view field;  // a view into the key
  bool exclude;
};
FilterKey parse_filter_key(std::string_view key);

// One filter evaluation, fed one entry at a time:
//
//   FilterQuery q(index, record_count);
//   for each entry:
//     q.begin_entry(key);
//     for each of the entry's value texts: q.add_text(text);
//     q.end_entry();
//     if (q.empty()) break;       // nothing later can change the answer
//   answer = q.records();
//
// The answer is every record below `record_count`, intersected with the
// union of each including entry's postings and minus the union of each
// excluding entry's postings; an entry's texts are alternatives.  A text is
// matched against the posted keys exactly: an empty text, a text that is not
// a key, or a field that is not in the index adds no record.  Since
// intersection and difference commute, the order of entries does not change
// the answer, only where empty() first turns true.
//
// Cost: only compressed-bitmap work until records().  The running result is
// materialised lazily: the first including entry starts it from its own
// postings, so a query without exclusions never copies the whole record set,
// and an excluding entry that matches nothing copies nothing.
//
// REQUIRES: `index` outlives the query and is not changed while the query
// lives (the query keeps pointers to its postings); every number posted in it
// is below `record_count`.  Thread safety: none; one query per caller.
// Failure: std::bad_alloc from bitmap work, leaving the query unusable.
class FilterQuery {
 public:
  FilterQuery(const FieldIndex& index, uint32_t record_count) : index_(index), record_count_(record_count) {}
  FilterQuery(const FilterQuery&) = delete;
  FilterQuery& operator=(const FilterQuery&) = delete;

  // Starts the next entry of filter key `key` (parse_filter_key).  The key
  // text need not outlive the call.
  void begin_entry(std::string_view key);
  // Adds one value text of the current entry.  REQUIRES: inside an entry.
  void add_text(std::string_view text);
  // Applies the current entry to the running result.  REQUIRES: inside an
  // entry.  Once the result is empty, entries change nothing.
  void end_entry();

  // True when the running result is empty, so that no later entry can bring
  // a record back.  Before the first entry: true exactly when there are no
  // records.
  bool empty() const { return started_ ? result_.empty() : record_count_ == 0; }

  // The selected record numbers, ascending.
  std::vector<uint32_t> records() const;

 private:
  const FieldIndex& index_;
  const uint32_t record_count_;
  bool started_ = false;  // false: the running result is every record
  Bitmap result_;         // the running result once started_
  const FieldPostings* field_ = nullptr;
  bool exclude_ = false;
  std::vector<const Posting*> postings_;  // of the current entry's texts; reused
};

// The records whose patterns occur in `text` (leftmost-longest,
// non-overlapping), one record per distinct code, ordered by the bytes of
// their codes.  Pattern i belongs to record owners[i], whose code is
// code_of(owners[i]); a null matcher (no patterns) finds nothing.
using RecordCodeFn = absl::FunctionRef<std::string_view(uint32_t)>;
std::vector<uint32_t> find_code_records(const Matcher* matcher, const std::vector<uint32_t>& owners,
                                        RecordCodeFn code_of, std::string_view text);

}  // namespace vedra
