// FieldMap: one record's flattened fields as a single blob of entries, in
// insertion order.
#include "store/field_map.h"

#include <string>
#include <utility>
#include <vector>

#include "field_pairs.h"
#include "testing.h"

using namespace vedra;

TEST(FieldMapBlob, AppendIterate) {
  FieldMap m;
  EXPECT_TRUE(m.empty());
  m.append("a", "2");
  m.append("", "");
  m.append("b", std::string("x\0y", 3));
  const vedra_testing::FieldPairs want = {{"a", "2"}, {"", ""}, {"b", std::string("x\0y", 3)}};
  EXPECT_EQ(vedra_testing::pairs_of(m), want);
  EXPECT_EQ(m.size(), size_t{3});
  EXPECT_TRUE(m == (FieldMap{{"a", "2"}, {"", ""}, {"b", std::string_view("x\0y", 3)}}));
  EXPECT_FALSE(m == (FieldMap{{"a", "2"}, {"b", std::string_view("x\0y", 3)}, {"", ""}}));
  // assign() makes the same blob as appending, replacing what was held.
  FieldMap assigned{{"old", "entry"}};
  std::vector<FieldMap::Entry> entries;
  for (const FieldMap::Entry e : m) entries.push_back(e);
  assigned.assign(entries);
  EXPECT_TRUE(assigned == m);
  EXPECT_EQ(assigned.size(), size_t{3});
  assigned.assign(std::vector<FieldMap::Entry>{});
  EXPECT_TRUE(assigned == FieldMap() && assigned.empty());
}
