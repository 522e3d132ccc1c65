// RecordTexts: each record's three texts read back as written, in place,
// while the store grows across blocks.
#include <string>
#include <vector>

#include "store/record_texts.h"
#include "testing.h"

using namespace vedra;

TEST(RecordTexts, TextsStayPutAcrossBlocks) {
  RecordTexts store, same, other;
  std::vector<std::string> want;
  std::vector<const char*> where;
  for (int i = 0; i < 3000; ++i) {
    // Sizes from empty to larger than the largest block, with bytes that a
    // string's length prefix could be mistaken for.
    std::string code = i % 997 == 0 ? std::string(1 << 21, 'c') : std::string(i % 17, static_cast<char>(i % 256));
    std::string name(i % 40, static_cast<char>('a' + i % 26));
    std::string pinyin = i % 3 == 0 ? std::string() : "p" + std::to_string(i) + "|P";
    const RecordTexts::Entry e{code, name, pinyin};
    store.reserve_one(e);
    store.push_back(e);
    same.push_back(e);
    other.push_back(i == 2999 ? RecordTexts::Entry{code, name, pinyin + "x"} : e);
    for (const std::string& t : {code, name, pinyin}) want.push_back(t);
    where.push_back(store.code(i).data());
  }
  ASSERT_TRUE(store.size() == 3000);
  for (size_t r = 0; r < store.size(); ++r) {
    EXPECT_EQ(std::string(store.code(r)), want[3 * r]);
    EXPECT_EQ(std::string(store.name(r)), want[3 * r + 1]);
    EXPECT_EQ(std::string(store[r].pinyin), want[3 * r + 2]);
    EXPECT_TRUE(store.code(r).data() == where[r]);
  }
  EXPECT_TRUE(store == same);
  EXPECT_TRUE(!(store == other));
  EXPECT_TRUE(store.memory_usage() >= 4 * (size_t{1} << 21));
}
