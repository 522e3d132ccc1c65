// Record store operations, posting of values and pattern registration.
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/index_build.h"
#include "index/query.h"
#include "store/engine_state.h"
#include "store/ingest.h"
#include "store/json_text.h"
#include "store/number_text.h"
#include "base/text.h"
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
    post_value(s.field_index, "f", c.value, 0);
    EXPECT_EQ(keys_of(s, "f") == c.keys, true);
    if (keys_of(s, "f") != c.keys) std::cerr << "  value: '" << c.value << "'\n";
    EXPECT_TRUE(find_field(s, "f") != nullptr);  // non-empty value creates the field
  }
  EngineState s;
  post_value(s.field_index, "f", "", 0);
  EXPECT_TRUE(find_field(s, "f") == nullptr);
}

TEST(PostValue, SetSemanticsAcrossPostingSizes) {
  EngineState s;
  for (uint32_t r = 0; r < 100; ++r) {
    post_value(s.field_index, "f", "k", r);
    post_value(s.field_index, "f", "k|k", r);
    if (r % 3 == 0) post_value(s.field_index, "g", "k", r);
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

TEST(Posting, BulkAppendsThenSealMatchIncrementalAdds) {
  std::mt19937 rng(11);
  for (uint32_t size : {0u, 1u, 2u, 31u, 32u, 33u, 100u, 5000u}) {
    Posting bulk, incremental;
    std::vector<uint32_t> want;
    uint32_t v = rng() % 3;
    for (uint32_t i = 0; i < size; ++i) {
      // Ascending with repeats (a record posting one key twice).
      const int times = rng() % 4 == 0 ? 2 : 1;
      for (int t = 0; t < times; ++t) {
        bulk.add_ascending(v);
        incremental.add(v);
      }
      want.push_back(v);
      v += 1 + rng() % (size > 1000 ? 3 : 70000);  // dense and sparse containers
    }
    bulk.seal();
    bulk.seal();  // idempotent
    EXPECT_EQ(bulk.cardinality(), uint64_t{want.size()});
    auto contents = [](const Posting& p) { return p.to_bitmap().to_vector(); };
    EXPECT_TRUE(contents(bulk) == want);
    EXPECT_TRUE(contents(incremental) == want);
    // Sealed postings answer set operations like the incremental ones.
    Bitmap probe;
    for (uint32_t x = 0; x < 200; ++x) probe.add(x * 37);
    Bitmap a = probe.copy(), b = probe.copy();
    bulk.intersect_into(a);
    incremental.intersect_into(b);
    EXPECT_TRUE(a.to_vector() == b.to_vector());
    // Back in incremental use after sealing.
    bulk.add(v + 5);
    EXPECT_EQ(bulk.cardinality(), uint64_t{want.size() + 1});
  }
}

TEST(RecordStore, RegisterAndInvariants) {
  EngineState s;
  EXPECT_EQ(s.next_record, 0u);
  EXPECT_TRUE(s.all_records().empty());
  ingest_record(s, "A", "n0", "p", "{}", {{"f", "1"}});
  ingest_record(s, "A", "n1", "", "[]", {});
  ingest_record(s, "", "", "", "null", {});
  EXPECT_EQ(s.next_record, 3u);
  EXPECT_EQ(s.all_records().to_vector() == std::vector<uint32_t>({0, 1, 2}), true);
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
  register_patterns(s.pattern_texts, s.pattern_records, "A1", "A1", "", 0);
  register_patterns(s.pattern_texts, s.pattern_records, " X ", "", " ab | cd ||", 1);
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
  FieldMap joined;
  ASSERT_TRUE(join_field_values(c, joined).ok());
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

// The text walk that ingestion uses agrees with the tree walk on random
// records: same code, name, pinyin and field map (as sets of entries).
TEST(Flatten, TextWalkMatchesTreeWalk) {
  std::mt19937_64 rng(11);
  const char* keys[] = {"", "a", "b", "market", "x.y", " k ", "l1", "q\"k\\\t"};
  const char* texts[] = {"", " v ", "A", "A.B", "p|q", "\t", "中 文", "q\"u\\o\n"};
  auto scalar = [&]() -> JsonValue {
    switch (rng() % 6) {
      case 0: return JsonValue::null();
      case 1: return JsonValue::boolean(rng() & 1);
      case 2: return JsonValue::uint(rng() % 1000);
      case 3: return JsonValue::sint(-static_cast<int64_t>(rng() % 1000) - 1);
      case 4: return JsonValue::dbl(static_cast<double>(rng() % 100000) / 64.0 + ((rng() & 1) ? 1e16 : 0.0));
      default: return JsonValue::string(texts[rng() % 8]);
    }
  };
  auto value = [&](auto& self, int depth) -> JsonValue {
    const unsigned pick = rng() % (depth > 2 ? 1 : 3);
    if (pick == 0) return scalar();
    if (pick == 1) {
      JsonArray a;
      for (int i = rng() % 3; i > 0; --i) a.push_back(self(self, depth + 1));
      return JsonValue::array(std::move(a));
    }
    JsonObject o;
    for (int i = rng() % 3; i > 0; --i) o.push_back({keys[rng() % 8], self(self, depth + 1)});
    normalize_object(o);
    return JsonValue::object(std::move(o));
  };
  for (int round = 0; round < 2000; ++round) {
    JsonObject record;
    for (const char* k : {"asset_type", "attributes", "categories", "code", "market", "name", "pinyin", "region"}) {
      if (rng() % 4 == 0) continue;
      const bool group = std::string_view(k) == "attributes" || std::string_view(k) == "categories";
      record.push_back({k, group ? value(value, 0) : ((rng() % 3) ? JsonValue::string(texts[rng() % 8]) : scalar())});
    }
    normalize_object(record);
    const JsonValue tree = JsonValue::object(record);
    // The compact text and its top-level member spans, as the converter makes them.
    std::string text = "{";
    std::vector<MemberSpan> spans;
    for (size_t i = 0; i < record.size(); ++i) {
      if (i) text += ',';
      write_json_string(record[i].key, text);
      text += ':';
      const size_t begin = text.size();
      write_json_compact(record[i].value, text);
      spans.push_back(MemberSpan{record[i].key, begin, text.size()});
    }
    text += '}';
    FlattenedRecord from_text;
    ASSERT_TRUE(flatten_record_text(text, spans, from_text).ok());
    FlattenedRecord from_tree = flatten_record(tree);
    EXPECT_EQ(from_text.code, from_tree.code);
    EXPECT_EQ(from_text.name, from_tree.name);
    EXPECT_EQ(from_text.pinyin, from_tree.pinyin);
    auto a = from_text.fields.to_pairs(), b = from_tree.fields.to_pairs();
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a == b, true);
    if (a != b) {
      std::cerr << "  record: " << text << "\n";
      return;
    }
  }
}
