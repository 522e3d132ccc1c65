// FieldMap: one record's flattened fields as a single blob of entries, in
// insertion order.
#include "store/field_map.h"

#include <string>
#include <string_view>
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

// A map sharing its names holds the same entries as one keeping them: equal
// either way round, through copies and moves, and kept equal by a change.
TEST(FieldMapBlob, SharedNamesReadAsOwn) {
  const std::vector<std::string_view> names = {"a", "", "long.field.name.past.sixteen"};
  const std::vector<std::string_view> values = {"2", "", std::string_view("x\0y", 3)};
  const FieldNames* list = FieldNames::make(names);
  FieldMap own, named;
  size_t value_bytes = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    own.append(names[i], values[i]);
    value_bytes += values[i].size();
  }
  named.write_named(list, value_bytes, [&](FieldMap::Writer& w) {
    for (const std::string_view v : values) w.text(v);
  });
  list->unref();
  EXPECT_EQ(vedra_testing::pairs_of(named), vedra_testing::pairs_of(own));
  EXPECT_TRUE(named == own && own == named && named.size() == own.size());
  EXPECT_EQ(named.entry_bytes(), own.entry_bytes());
  FieldMap copy = named;
  FieldMap moved = std::move(named);
  EXPECT_TRUE(copy == own && moved == own && named.empty());
  copy.append("b", "3");
  own.append("b", "3");
  EXPECT_TRUE(copy == own && !(moved == own));
  copy = moved;
  EXPECT_EQ(vedra_testing::pairs_of(copy), vedra_testing::pairs_of(moved));
}
