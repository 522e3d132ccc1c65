// Adding records: the bulk mode a load uses builds the same state as the
// live add, record for record.
#include "store/record_add.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include "index/value_keys.h"
#include "state_probe.h"
#include "test_rng.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::keys_of;
using vedra_testing::records_of;
using vedra_testing::Rng;

namespace {

// Few distinct texts, so that keys repeat across records (postings past the
// array limit turn into bitmaps) and within one (dotted prefixes, pieces),
// some longer than a key held back keeps in place.
std::string pick_text(Rng& rng) {
  static const char* const kParts[] = {"", " ", "a", "b.c", " x . y ", "p|q", "|", "..", "a.", "S.A. Corp", "1.5",
                                       "Eastern Holdings Group. Co Ltd", "\xe3\x80\x80", "q.r.s.t.u.v.w.x.y"};
  std::string out;
  for (size_t i = 0, n = 1 + rng.below(3); i < n; ++i) out += kParts[rng.below(std::size(kParts))];
  return out;
}

RecordInput random_record(Rng& rng) {
  RecordInput in;
  in.code = rng.below(4) == 0 ? std::string("dup.A") : "c" + std::to_string(rng.next() % 1000) + ".X";
  in.name = pick_text(rng);
  in.pinyin = pick_text(rng);
  in.payload = "{}";
  static const char* const kFields[] = {"market", "region", "", "tags", "code"};
  for (size_t i = 0, n = rng.below(4); i < n; ++i) {
    const std::string field = kFields[rng.below(std::size(kFields))];
    bool seen = false;
    for (const auto [f, v] : in.fields) seen = seen || f == field;
    std::string value = pick_text(rng);
    if (!seen && !value.empty()) in.fields.append(field, value);
  }
  return in;
}

std::set<std::string> fields_of(const EngineState& s) {
  std::set<std::string> out;
  for (const auto& [field, postings] : s.field_index) out.emplace(field.view());
  return out;
}

}  // namespace

TEST(RecordAdd, BulkModeBuildsWhatTheLiveAddBuilds) {
  // Seeds past 20 add as a load does: each record is looked ahead of before
  // the one before it is added, and the runs are long enough for the value
  // memos of codes and names to give up, so that their keys are held back;
  // the last seeds tell the look-ahead the fields' targets.
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    Rng rng(seed);
    EngineState live, bulk;
    const bool looked_ahead = seed > 20;
    std::vector<RecordInput> held(looked_ahead ? 2000 : 150);
    BulkLookahead ahead[2];
    for (size_t i = 0; i < held.size(); ++i) {
      held[i] = random_record(rng);
      RecordInput a = held[i];
      ASSERT_TRUE(add_record(live, a).ok());
      if (!looked_ahead) {
        ASSERT_TRUE(add_record(bulk, held[i], PostingMode::kBulk).ok());
        continue;
      }
      if (seed > 22) {
        const RecordInput& in = held[i];
        std::vector<BulkTarget> targets = {in.code.empty() ? BulkTarget{} : bulk_target(bulk, 0, "code"),
                                           in.name.empty() ? BulkTarget{} : bulk_target(bulk, 1, "name")};
        size_t position = 2;
        for (const auto [field, value] : in.fields) {
          targets.push_back(value.empty() ? BulkTarget{} : bulk_target(bulk, position, field));
          ++position;
        }
        prefetch_record(bulk, held[i], ahead[i % 2], targets);
      } else {
        prefetch_record(bulk, held[i], ahead[i % 2]);
      }
      if (i > 0) ASSERT_TRUE(add_record(bulk, held[i - 1], ahead[(i - 1) % 2]).ok());
    }
    if (looked_ahead) ASSERT_TRUE(add_record(bulk, held.back(), ahead[(held.size() - 1) % 2]).ok());
    seal_postings(bulk.field_index, bulk.field_slots);
    ASSERT_TRUE(live.next_record == bulk.next_record);
    EXPECT_EQ(live.record_texts == bulk.record_texts, true);
    EXPECT_EQ(live.pattern_records == bulk.pattern_records, true);
    EXPECT_EQ(live.pattern_texts.views() == bulk.pattern_texts.views(), true);
    for (uint32_t r = 0; r < live.next_record; ++r) {
      const std::string_view code = live.record_texts.code(r);
      EXPECT_EQ(live.code_to_record.find(code)->second, bulk.code_to_record.find(code)->second);
    }
    for (uint32_t r = 0; r < live.next_record; ++r) {
      EXPECT_EQ(live.record_fields[r] == bulk.record_fields[r], true);
      EXPECT_EQ(live.record_payloads[r], bulk.record_payloads[r]);
    }
    ASSERT_TRUE(fields_of(live) == fields_of(bulk));
    for (const std::string& field : fields_of(live)) {
      const std::set<std::string> keys = keys_of(live, field);
      EXPECT_EQ(keys == keys_of(bulk, field), true);
      for (const std::string& key : keys) EXPECT_EQ(records_of(live, field, key) == records_of(bulk, field, key), true);
    }
  }
}

TEST(RecordAdd, LiveAddPostsEveryKeyOfEveryValue) {
  // Fields come in changing orders, so that a position meets different
  // fields; a field may be posted at several positions of one record; most
  // values repeat, so that the maps' memos serve them, while unique values
  // keep the maps growing past what the memos hold.
  static const char* const kFields[] = {"market", "region", "tags", "kind", "code"};
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    Rng rng(seed);
    EngineState s;
    std::map<std::pair<std::string, std::string>, std::vector<uint32_t>> expected;
    auto expect = [&](std::string_view field, std::string_view text, uint32_t r) {
      std::string acc;
      for_each_value_key(text, acc, [&](std::string_view key) {
        std::vector<uint32_t>& records = expected[{std::string(field), std::string(key)}];
        if (records.empty() || records.back() != r) records.push_back(r);
      });
    };
    for (uint32_t r = 0; r < 3000; ++r) {
      CollectedValues posts;
      for (size_t i = 0, n = rng.below(7); i < n; ++i) {
        std::string value = rng.below(6) == 0 ? "u" + std::to_string(r) + "." + std::to_string(i) : pick_text(rng);
        posts.emplace_back(kFields[rng.below(std::size(kFields))], std::move(value));
      }
      const CollectedViews views(posts.begin(), posts.end());
      RecordInput in;
      in.code = "c" + std::to_string(r % 700);
      in.name = pick_text(rng);
      in.payload = "{}";
      in.posts = &views;
      ASSERT_TRUE(join_field_values(views, in.fields).ok());
      expect("code", in.code, r);
      expect("name", in.name, r);
      for (const auto& [field, text] : posts) expect(field, text, r);
      ASSERT_TRUE(add_record(s, in).ok());
    }
    size_t keys = 0;
    for (const std::string field : {"code", "name", "market", "region", "tags", "kind"}) keys += keys_of(s, field).size();
    EXPECT_EQ(keys, expected.size());
    for (const auto& [at, records] : expected) EXPECT_EQ(records_of(s, at.first, at.second) == records, true);
  }
}
