#include "index/index_build.h"

#include <string>
#include <utility>

#include "index/value_keys.h"

namespace vedra {
namespace {

// One probe: the map hashes `key` once and builds the std::string key only
// when it inserts.
inline void post_key(TextMap<Posting>& inner, std::string_view key, uint32_t r, PostingMode mode) {
  Posting& p = inner.try_emplace(key).first->second;
  if (mode == PostingMode::kBulk) {
    p.add_ascending(r);
  } else {
    p.add(r);
  }
}

}  // namespace


void post_value_to(FieldPostings& inner, std::string_view value, uint32_t r, PostingMode mode) {
  std::string acc;
  for_each_value_key(value, acc, [&](std::string_view key) { post_key(inner, key, r, mode); });
}

void seal_postings(FieldIndex& index, FieldSlotCache& slots) {
  slots.end_bulk_run();
  AscendingBitmaps bitmaps;
  for (auto& [field, postings] : index) {
    for (auto& [key, posting] : *postings) posting.seal(bitmaps);
  }
}

void register_patterns(PatternList& texts, std::vector<uint32_t>& owners, std::string_view code,
                       std::string_view name, std::string_view pinyin, uint32_t r) {
  for_each_pattern(code, name, pinyin, [&](std::string_view t) {
    texts.push_back(t);
    owners.push_back(r);
  });
}

Status build_matcher(const PatternList& texts, std::unique_ptr<Matcher>& matcher) {
  if (texts.empty()) {
    matcher.reset();
    return Status::Ok();
  }
  Result<std::unique_ptr<Matcher>> built = Matcher::build(texts.span());
  if (!built.ok()) return built.status();
  matcher = std::move(built.value());
  return Status::Ok();
}

}  // namespace vedra
