#include "index/query.h"

#include <algorithm>
#include <numeric>

namespace vedra {
namespace {

constexpr std::string_view kNotSuffix = "__not";

// One entry's alternatives as one bitmap.
Bitmap union_of(const std::vector<const Posting*>& postings) {
  if (postings.size() == 1) return postings[0]->to_bitmap();
  Bitmap u;
  for (const Posting* p : postings) p->union_into(u);
  return u;
}

}  // namespace

const FieldPostings* find_field(const FieldIndex& index, std::string_view field) {
  auto it = index.find(field);
  return it == index.end() ? nullptr : it->second.get();
}

FilterKey parse_filter_key(std::string_view key) {
  FilterKey k{key, false};
  while (k.field.size() >= kNotSuffix.size() && k.field.substr(k.field.size() - kNotSuffix.size()) == kNotSuffix) {
    k.field.remove_suffix(kNotSuffix.size());
    k.exclude = true;
  }
  return k;
}

void FilterQuery::begin_entry(std::string_view key) {
  const FilterKey k = parse_filter_key(key);
  field_ = find_field(index_, k.field);
  exclude_ = k.exclude;
  postings_.clear();
}

void FilterQuery::add_text(std::string_view text) {
  if (field_ == nullptr || text.empty()) return;
  auto it = field_->find(text);
  if (it != field_->end()) postings_.push_back(&it->second);
}

void FilterQuery::end_entry() {
  if (empty()) return;
  if (exclude_) {
    if (postings_.empty()) return;
    if (!started_) {
      result_ = Bitmap::range(record_count_);
      started_ = true;
    }
    for (const Posting* p : postings_) p->subtract_from(result_);
  } else if (!started_) {
    // Every posted number is a record, so the entry's union is the result.
    result_ = union_of(postings_);
    started_ = true;
  } else if (postings_.size() == 1) {
    postings_[0]->intersect_into(result_);
  } else {
    result_.and_inplace(union_of(postings_));
  }
}

std::vector<uint32_t> FilterQuery::records() const {
  if (started_) return result_.to_vector();
  std::vector<uint32_t> all(record_count_);
  std::iota(all.begin(), all.end(), uint32_t{0});
  return all;
}

std::vector<uint32_t> find_code_records(const Matcher* matcher, const std::vector<uint32_t>& owners,
                                        RecordCodeFn code_of, std::string_view text) {
  std::vector<uint32_t> records;
  if (matcher == nullptr || text.empty()) return records;
  const size_t n_patterns = owners.size();
  matcher->for_each_match(text, [&](const Match& m) {
    if (m.pattern < n_patterns) records.push_back(owners[m.pattern]);
  });
  if (records.size() <= 1) return records;
  std::sort(records.begin(), records.end());
  records.erase(std::unique(records.begin(), records.end()), records.end());
  // Distinct records may share a code: order by code bytes, keep one each.
  auto code_less = [&](uint32_t a, uint32_t b) { return code_of(a) < code_of(b); };
  auto code_equal = [&](uint32_t a, uint32_t b) { return code_of(a) == code_of(b); };
  std::sort(records.begin(), records.end(), code_less);
  records.erase(std::unique(records.begin(), records.end(), code_equal), records.end());
  return records;
}

}  // namespace vedra
