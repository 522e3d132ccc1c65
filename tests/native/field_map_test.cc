// FieldMap: one record's flattened fields as a single blob of entries, in
// insertion order.
#include "store/field_map.h"

#include <string>
#include <utility>
#include <vector>

#include "testing.h"

using namespace vedra;

TEST(FieldMapBlob, SetAppendIterate) {
  FieldMap m;
  EXPECT_TRUE(m.empty());
  m.append("a", "1");
  m.append("", "");
  m.set("b", std::string("x\0y", 3));
  m.set("a", "2");
  const std::vector<std::pair<std::string, std::string>> want = {{"a", "2"}, {"", ""}, {"b", std::string("x\0y", 3)}};
  EXPECT_EQ(m.to_pairs(), want);
  EXPECT_EQ(m.size(), size_t{3});
  EXPECT_TRUE(m == (FieldMap{{"a", "2"}, {"", ""}, {"b", std::string_view("x\0y", 3)}}));
}
