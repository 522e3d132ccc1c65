// The field slot cache against the index it caches: whatever positions and
// names come, in whatever order, resolve() answers the index's map of the
// field (made when missing) and lookup() answers it or null, inserting
// nothing; so too after the index has been moved.
#include "index/field_index.h"

#include <string>
#include <utility>

#include "test_rng.h"
#include "testing.h"

using namespace vedra;

namespace {

FieldPostings* held(FieldIndex& index, std::string_view field) {
  auto it = index.find(field);
  return it == index.end() ? nullptr : it->second.get();
}

}  // namespace

// A record that skips positions leaves their slots unfilled; an empty field
// name met there later is a field like any other, not the unfilled slot.
TEST(FieldSlotCache, NeverFilledSlotMatchesNoFieldNotEvenTheEmptyName) {
  FieldIndex index;
  FieldSlotCache cache;
  cache.resolve(index, 3, "z");  // slots 0 to 2 never filled
  EXPECT_TRUE(cache.lookup(index, 2, "") == nullptr);
  FieldPostings* empty_name = &field_postings(index, "");  // made by another path
  EXPECT_TRUE(cache.lookup(index, 2, "") == empty_name);
  EXPECT_TRUE(&cache.resolve(index, 1, "") == empty_name);
}

TEST(FieldSlotCache, AnswersAsTheIndexWhateverTheOrder) {
  static const char* const kFields[] = {"", "a", "b", "code", "a "};
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    vedra_testing::Rng rng(seed);
    FieldIndex index;
    FieldSlotCache cache;
    for (int step = 0; step < 200; ++step) {
      const size_t position = rng.below(6);
      const std::string_view field = kFields[rng.below(std::size(kFields))];
      if (rng.below(40) == 0) index = FieldIndex(std::move(index));  // the cache travels with the index
      const size_t fields = index.size();
      const bool had = held(index, field) != nullptr;
      if (rng.below(2) == 0) {
        FieldPostings* got = cache.lookup(index, position, field);
        EXPECT_TRUE(got == held(index, field));
        EXPECT_EQ(index.size(), fields);
      } else {
        FieldPostings* got = &cache.resolve(index, position, field);
        EXPECT_TRUE(got == held(index, field));
        EXPECT_EQ(index.size(), fields + (had ? 0 : 1));
      }
    }
  }
}
