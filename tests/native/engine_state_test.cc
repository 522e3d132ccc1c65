// The record store: registration and its invariants, the join of collected
// field values and the default payload.
#include "store/engine_state.h"

#include <string>
#include <vector>

#include "state_probe.h"
#include "store/record_add.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::records_of;

TEST(RecordStore, RegisterAndInvariants) {
  EngineState s;
  EXPECT_EQ(s.next_record, 0u);
  EXPECT_TRUE(s.all_records().empty());
  for (RecordInput in : {RecordInput{"A", "n0", "p", "{}", {{"f", "1"}}}, RecordInput{"A", "n1", "", "[]", {}},
                         RecordInput{"", "", "", "null", {}}}) {
    EXPECT_TRUE(add_record(s, in).ok());
  }
  EXPECT_EQ(s.next_record, 3u);
  EXPECT_EQ(s.all_records().to_vector(), std::vector<uint32_t>({0, 1, 2}));
  EXPECT_EQ(s.code_to_record.at("A"), 1u);
  EXPECT_EQ(s.code_to_record.at(""), 2u);
  EXPECT_EQ(s.record_fields.size(), size_t{3});
  EXPECT_EQ(s.record_payloads[0], std::string("{}"));
  EXPECT_EQ(records_of(s, "f", "1"), std::vector<uint32_t>({0}));
  EXPECT_EQ(records_of(s, "code", "A"), std::vector<uint32_t>({0, 1}));
  EXPECT_EQ(s.pattern_texts.size(), s.pattern_records.size());
}

TEST(RecordStore, JoinFieldValues) {
  CollectedValues c;
  for (const char* v : {"b", "", "a", "b"}) collect_field_value(c, "f", v);
  for (const char* v : {"a|b", "a"}) collect_field_value(c, "g", v);
  collect_field_value(c, "empty", "");
  FieldMap joined;
  ASSERT_TRUE(join_field_values(c, joined).ok());
  const FieldMap want = {{"f", "b|a"}, {"g", "a|b|a"}};
  EXPECT_EQ(joined, want);
}

TEST(RecordStore, DefaultPayload) {
  EXPECT_EQ(default_payload("c\"", "名", "p"),
            std::string("{\"asset_type\":\"\",\"attributes\":{},\"categories\":{},\"code\":\"c\\\"\",\"market\":\"\","
                        "\"name\":\"名\",\"pinyin\":\"p\",\"region\":\"\"}"));
  Result<JsonValue> parsed = parse_json(default_payload("a", "b", "c"));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().as_object().size(), size_t{8});
}
