// Flattening of record payloads as ingestion does it, over the record's
// compact text, against the reference flattener over a JsonValue.
#include "store/flatten.h"

#include <algorithm>
#include <iostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reference_flatten.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::reference_flatten_record;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The record's compact text and its top-level member spans, as the
// converter makes them, flattened by flatten_record_text.
bool flatten_as_ingestion(const JsonObject& record, FlattenedRecord& out, std::string& text) {
  text = "{";
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
  return flatten_record_text(text, spans, out).ok();
}

Pairs sorted_fields(const FlattenedRecord& f) {
  Pairs p = f.fields.to_pairs();
  std::sort(p.begin(), p.end());
  return p;
}

}  // namespace

TEST(Flatten, WorkedExample) {
  Result<JsonValue> record = parse_json(
      R"({"code":"100001.XA","name":"Example","pinyin":"ex|example","market":"XA",
          "categories":{"industry":{"l1":"Bank","l2":"Bank.Joint"},"concept":["A","B","A"]},
          "attributes":{"lot":100,"st":false,"note":null,"x":2.0,"":{"r":" y "}}})");
  ASSERT_TRUE(record.ok());
  const Pairs want = {
      {"concept", "A|B"}, {"industry.l1", "Bank"}, {"industry.l2", "Bank.Joint"}, {"lot", "100"},
      {"market", "XA"},   {"r", "y"},              {"st", "False"},              {"x", "2.0"}};
  FlattenedRecord reference = reference_flatten_record(record.value());
  EXPECT_EQ(reference.code, std::string("100001.XA"));
  EXPECT_EQ(sorted_fields(reference), want);
  FlattenedRecord ingested;
  std::string text;
  ASSERT_TRUE(flatten_as_ingestion(record.value().as_object(), ingested, text));
  EXPECT_EQ(ingested.code, std::string("100001.XA"));
  EXPECT_EQ(ingested.name, std::string("Example"));
  EXPECT_EQ(ingested.pinyin, std::string("ex|example"));
  EXPECT_EQ(sorted_fields(ingested), want);
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
    FlattenedRecord from_text;
    std::string text;
    ASSERT_TRUE(flatten_as_ingestion(record, from_text, text));
    FlattenedRecord from_tree = reference_flatten_record(JsonValue::object(record));
    EXPECT_EQ(from_text.code, from_tree.code);
    EXPECT_EQ(from_text.name, from_tree.name);
    EXPECT_EQ(from_text.pinyin, from_tree.pinyin);
    const Pairs a = sorted_fields(from_text), b = sorted_fields(from_tree);
    EXPECT_EQ(a, b);
    if (a != b) {
      std::cerr << "  record: " << text << "\n";
      return;
    }
  }
}
