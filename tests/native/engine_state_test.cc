// Record store operations, posting of values and pattern registration.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "index/query.h"
#include "store/engine_state.h"
#include "store/ingest.h"
#include "store/json_text.h"
#include "store/number_text.h"
#include "store/text.h"
#include "testing.h"

using namespace vedra;

namespace {

std::set<std::string> keys_of(const EngineState& s, const std::string& field) {
  std::set<std::string> out;
  const TextMap<Posting>* f = find_field(s, field);
  if (f == nullptr) return out;
  for (const auto& [k, p] : *f) out.insert(k);
  return out;
}

std::vector<uint32_t> records_of(const EngineState& s, const std::string& field, const std::string& key) {
  Bitmap b;
  union_posting(find_field(s, field), key, b);
  return b.to_vector();
}

}  // namespace

TEST(PostValue, Expansions) {
  struct Case {
    const char* value;
    std::set<std::string> keys;
  } cases[] = {
      {"x.y.z", {"x", "x.y", "x.y.z"}},
      {"p|q", {"p", "q"}},
      {" x . y | z ", {"x", "x.y", "z"}},
      {"x..y", {"x", "x.y"}},
      {".y", {".y"}},
      {"x.", {"x"}},
      {"..", {}},
      {"|", {}},
      {"  w  ", {"  w  "}},
      {"S.A. Corp", {"S", "S.A", "S.A.Corp"}},
      {"1.5", {"1", "1.5"}},
      {"a|\u3000b\u3000|", {"a", "b"}},
  };
  for (const Case& c : cases) {
    EngineState s;
    post_value(s, "f", c.value, 0);
    EXPECT_EQ(keys_of(s, "f") == c.keys, true);
    if (keys_of(s, "f") != c.keys) std::cerr << "  value: '" << c.value << "'\n";
    EXPECT_TRUE(find_field(s, "f") != nullptr);  // non-empty value creates the field
  }
  EngineState s;
  post_value(s, "f", "", 0);
  EXPECT_TRUE(find_field(s, "f") == nullptr);
}

TEST(PostValue, SetSemanticsAcrossPostingSizes) {
  EngineState s;
  for (uint32_t r = 0; r < 100; ++r) {
    post_value(s, "f", "k", r);
    post_value(s, "f", "k|k", r);
    if (r % 3 == 0) post_value(s, "g", "k", r);
  }
  const std::vector<uint32_t> all = records_of(s, "f", "k");
  EXPECT_EQ(all.size(), size_t{100});
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(records_of(s, "g", "k").size(), size_t{34});
  EXPECT_EQ(records_of(s, "g", "missing").size(), size_t{0});
}

TEST(Posting, OutOfOrderInsertsStaySorted) {
  Posting p;
  std::vector<uint32_t> want;
  for (uint32_t i = 0; i < 200; ++i) {
    const uint32_t v = (i * 7919u) % 1000u;
    p.add(v);
    want.push_back(v);
    Bitmap b;
    p.union_into(b);
    std::vector<uint32_t> sorted(want);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_EQ(b.to_vector() == sorted, true);
    EXPECT_EQ(p.cardinality(), uint64_t{sorted.size()});
  }
  Posting moved(std::move(p));
  EXPECT_TRUE(p.empty());
  EXPECT_EQ(moved.cardinality(), uint64_t{200});
}

TEST(RecordStore, RegisterAndInvariants) {
  EngineState s;
  EXPECT_EQ(s.next_record, 0u);
  EXPECT_TRUE(s.all_records.empty());
  ingest_record(s, "A", "n0", "p", "{}", {{"f", "1"}});
  ingest_record(s, "A", "n1", "", "[]", {});
  ingest_record(s, "", "", "", "null", {});
  EXPECT_EQ(s.next_record, 3u);
  EXPECT_EQ(s.all_records.to_vector() == std::vector<uint32_t>({0, 1, 2}), true);
  EXPECT_EQ(s.code_to_record.at("A"), 1u);
  EXPECT_EQ(s.code_to_record.at(""), 2u);
  EXPECT_EQ(s.record_fields.size(), size_t{3});
  EXPECT_EQ(s.record_payloads[0], std::string("{}"));
  EXPECT_EQ(records_of(s, "f", "1") == std::vector<uint32_t>({0}), true);
  EXPECT_EQ(records_of(s, "code", "A") == std::vector<uint32_t>({0, 1}), true);
  EXPECT_EQ(s.pattern_texts.size(), s.pattern_records.size());
}

TEST(RecordStore, PatternsTrimmedNotDeduplicated) {
  EngineState s;
  register_patterns(s, "A1", "A1", "", 0);
  register_patterns(s, " X ", "", " ab | cd ||", 1);
  const std::vector<std::string> want = {"A1", "A1", "X", "ab", "cd"};
  const std::vector<std::string_view> got = s.pattern_texts.views();
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.end()) == want, true);
  EXPECT_EQ(s.pattern_records == std::vector<uint32_t>({0, 0, 1, 1, 1}), true);
}

TEST(RecordStore, JoinFieldValues) {
  CollectedValues c;
  for (const char* v : {"b", "", "a", "b"}) collect_field_value(c, "f", v);
  for (const char* v : {"a|b", "a"}) collect_field_value(c, "g", v);
  collect_field_value(c, "empty", "");
  const FieldMap joined = join_field_values(c);
  const FieldMap want = {{"f", "b|a"}, {"g", "a|b|a"}};
  EXPECT_EQ(joined == want, true);
}

TEST(FieldMapBlob, SetAppendIterate) {
  FieldMap m;
  EXPECT_TRUE(m.empty());
  m.append("a", "1");
  m.append("", "");
  m.set("b", std::string("x\0y", 3));
  m.set("a", "2");
  const std::vector<std::pair<std::string, std::string>> want = {{"a", "2"}, {"", ""}, {"b", std::string("x\0y", 3)}};
  EXPECT_EQ(m.to_pairs() == want, true);
  EXPECT_EQ(m.size(), size_t{3});
  EXPECT_TRUE(m == (FieldMap{{"a", "2"}, {"", ""}, {"b", std::string_view("x\0y", 3)}}));
}

TEST(RecordStore, DefaultPayload) {
  EXPECT_EQ(default_payload("c\"", "名", "p"),
            std::string("{\"asset_type\":\"\",\"attributes\":{},\"categories\":{},\"code\":\"c\\\"\",\"market\":\"\","
                        "\"name\":\"名\",\"pinyin\":\"p\",\"region\":\"\"}"));
  Result<JsonValue> parsed = parse_json(default_payload("a", "b", "c"));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().as_object().size(), size_t{8});
}

TEST(Text, TrimWhiteSpace) {
  const std::pair<const char*, const char*> cases[] = {
      {"  a b  ", "a b"},
      {"\t\n\v\f\r a \x85", "a \x85"},  // a lone 0x85 byte is not U+0085
      {"\xc2\x85\xc2\xa0x\xe3\x80\x80", "x"},
      {"\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe1\x9a\x80y", "y"},
      {"\xe2\x80\x8b", "\xe2\x80\x8b"},  // U+200B is not White_Space
      {"", ""},
      {"   ", ""},
      {"中 文", "中 文"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(std::string(trim_white_space(in)), std::string(out));
}

TEST(NumberText, Positional) {
  const std::pair<double, const char*> cases[] = {
      {1.5, "1.5"}, {2.0, "2"}, {1e21, "1000000000000000000000"}, {1e-7, "0.0000001"},
      {-0.0, "-0"}, {18446744073709551616.0, "18446744073709552000"}, {123.456, "123.456"},
      {-2.5e-3, "-0.0025"}, {0.0, "0"},
  };
  for (const auto& [d, want] : cases) {
    std::string out;
    append_positional_double(d, out);
    EXPECT_EQ(out, std::string(want));
  }
}

TEST(Flatten, WorkedExample) {
  Result<JsonValue> record = parse_json(
      R"({"code":"100001.XA","name":"Example","pinyin":"ex|example","market":"XA",
          "categories":{"industry":{"l1":"Bank","l2":"Bank.Joint"},"concept":["A","B","A"]},
          "attributes":{"lot":100,"st":false,"note":null,"x":2.0,"":{"r":" y "}}})");
  ASSERT_TRUE(record.ok());
  FlattenedRecord f = flatten_record(record.value());
  EXPECT_EQ(f.code, std::string("100001.XA"));
  auto got = f.fields.to_pairs();
  std::sort(got.begin(), got.end());
  const std::vector<std::pair<std::string, std::string>> want = {
      {"concept", "A|B"}, {"industry.l1", "Bank"}, {"industry.l2", "Bank.Joint"}, {"lot", "100"},
      {"market", "XA"},   {"r", "y"},              {"st", "False"},              {"x", "2.0"}};
  EXPECT_EQ(got == want, true);
}
