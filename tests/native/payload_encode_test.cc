// Tests of the snapshot payload encoders, read back by the decoders.

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "snapshot/manifest.h"
#include "snapshot/payload_decode.h"
#include "snapshot/payload_encode.h"
#include "snapshot/sha256.h"
#include "store/engine_state.h"
#include "store/json/json_writer.h"
#include "store/record_add.h"
#include "test_rng.h"
#include "testing.h"

using vedra::EngineState;
using vedra::FieldMap;

namespace {

void add(EngineState& s, std::string code, std::string name, std::string pinyin, std::string payload,
         FieldMap fields = {}) {
  vedra::RecordInput in{std::move(code), std::move(name), std::move(pinyin), std::move(payload), std::move(fields)};
  EXPECT_TRUE(vedra::add_record(s, in).ok());
}

}  // namespace

TEST(PayloadEncode, CodeOrderAgainstSortedCopies) {
  // Codes that tie on their first eight bytes, hold NUL or 0xFF bytes, are
  // prefixes of each other or repeat: the full payload (newest record per
  // code, byte order) and the digest (every code, sorted) match naive ones.
  // Many records with longer codes spread over many buckets of every byte.
  static const char kBytes[] = {'A', 'B', 'a', '\0', '\xff', '.', '0', '1', '7', '9'};
  for (uint64_t seed = 10; seed < 50; seed += 10) {
    vedra_testing::Rng rng(seed);
    EngineState s;
    std::map<std::string, std::string> newest;
    std::vector<std::string> codes;
    const bool many = seed > 30;
    for (int r = 0; r < (many ? 5000 : 300); ++r) {
      std::string code = rng.below(2) ? "ABCDEFGH" : "";
      for (size_t n = rng.below(many ? 12 : 4); n > 0; --n) code += kBytes[rng.below(many ? sizeof kBytes : 6)];
      const std::string payload = std::to_string(r);
      add(s, code, "", "", payload);
      newest[code] = payload;
      codes.push_back(code);
    }
    std::string full = "{", joined;
    for (const auto& [code, payload] : newest) {
      std::string key;
      vedra::write_json_string(code, key);
      full += (full.size() > 1 ? "," : "") + key + ":" + payload;
    }
    std::sort(codes.begin(), codes.end());
    for (size_t i = 0; i < codes.size(); ++i) joined += (i ? "|" : "") + codes[i];
    EXPECT_EQ(vedra::encode_full_payload(s), full + "}");
    EXPECT_EQ(vedra::codes_digest(s), vedra::sha256_hex(joined));
  }
}

TEST(PayloadEncode, EmptyEngine) {
  EngineState s;
  EXPECT_EQ(vedra::encode_full_payload(s), std::string("{}"));
  EXPECT_EQ(vedra::encode_index_payload(s), std::string("[]"));
}

TEST(PayloadEncode, NewestPayloadPerCodeAndEveryRecordIndexed) {
  EngineState s;
  add(s, "a", "first", "p|q", R"({"v":0})", FieldMap{{"market", "SH|SZ"}});
  add(s, "B", "tab\there", "", R"({"v":1})");
  add(s, "a", "quote\"\xc3\xa9", "x", R"([2])", FieldMap{{"k\n", "v"}, {"", "e"}});
  add(s, "10", "", "", "null");
  add(s, "9", "", "", "3");
  // Keys in byte order ("10" before "9", "B" before "a"); "a" keeps record 2's payload.
  EXPECT_EQ(vedra::encode_full_payload(s), std::string(R"({"10":null,"9":3,"B":{"v":1},"a":[2]})"));
  EXPECT_EQ(vedra::encode_index_payload(s),
            std::string(R"([{"code":"a","name":"first","pinyin":"p|q","fields":{"market":"SH|SZ"}},)"
                        R"({"code":"B","name":"tab\there","pinyin":"","fields":{}},)"
                        "{\"code\":\"a\",\"name\":\"quote\\\"\xc3\xa9\",\"pinyin\":\"x\",\"fields\":{\"k\\n\":\"v\",\"\":\"e\"}},"
                        R"({"code":"10","name":"","pinyin":"","fields":{}},)"
                        R"({"code":"9","name":"","pinyin":"","fields":{}}])"));
  // What is written reads back as the records it came from.
  auto docs = vedra::decode_index_payload(vedra::encode_index_payload(s));
  ASSERT_TRUE(docs.ok());
  ASSERT_TRUE(docs.value().size() == 5);
  for (uint32_t r = 0; r < 5; ++r) {
    const vedra::SnapshotIndexDoc& d = docs.value()[r];
    EXPECT_EQ(d.code, s.record_texts.code(r));
    EXPECT_EQ(d.name, s.record_texts.name(r));
    EXPECT_EQ(d.pinyin, s.record_texts.pinyin(r));
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto [k, v] : s.record_fields[r]) fields.emplace_back(k, v);
    EXPECT_TRUE(d.fields == fields);
  }
  auto full = vedra::decode_full_payload(vedra::encode_full_payload(s));
  ASSERT_TRUE(full.ok());
  EXPECT_TRUE(full.value().as_object().size() == 4);
}

TEST(PayloadEncode, DocumentTextsOfEveryShortLengthEscapedAnywhere) {
  // Texts of 0 to 40 bytes, plain or with one byte that needs an escape (or
  // one that does not) at each place, as names, pinyins, field names and
  // values, the last text of a record and of a map among them: the index
  // payload writes them as write_json_string does.
  static const char kOdd[] = {'"', '\\', '\n', '\x1f', '\0', '\x7f', '\x80', ' '};
  EngineState s;
  std::string expected = "[";
  int r = 0;
  for (size_t n = 0; n <= 40; ++n) {
    for (size_t at = 0; at <= n; ++at) {
      const char odd = kOdd[(n + at) % sizeof kOdd];
      std::string text(n, 'x');
      if (at < n) text[at] = odd;
      const std::string other(n % 7, 'y');
      FieldMap fields{{text, other}, {other + "k", text}};
      const std::string code = std::to_string(r++), pinyin = r % 2 ? text : other;
      std::string doc = std::string(r > 1 ? "," : "") + "{\"code\":\"" + code + "\",\"name\":";
      vedra::write_json_string(text, doc);
      doc += ",\"pinyin\":";
      vedra::write_json_string(pinyin, doc);
      doc += ",\"fields\":{";
      bool first = true;
      for (const auto [k, v] : fields) {
        vedra::write_json_string_member(k, v, first, doc);
        first = false;
      }
      expected += doc + "}}";
      add(s, code, text, pinyin, "0", std::move(fields));
    }
  }
  EXPECT_EQ(vedra::encode_index_payload(s), expected + "]");
}

TEST(PayloadEncode, StreamedInPiecesAsWritten) {
  // Enough text to pass the chunk size a few times: the pieces handed to
  // the flush join to the whole payload, and a failing flush stops encoding.
  EngineState s;
  const std::string payload = "{\"pad\":\"" + std::string(600, 'x') + "\"}";
  for (int i = 0; i < 5000; ++i) {
    add(s, "c" + std::to_string(i), "n" + std::string(300, 'y'), "p", payload, FieldMap{{"f", "v"}});
  }
  for (int which = 0; which < 2; ++which) {
    std::string joined;
    int flushes = 0;
    using Emit = vedra::Status (*)(const EngineState&, const vedra::PayloadFlush&);
    const Emit emit = which == 0 ? static_cast<Emit>(vedra::emit_full_payload) : static_cast<Emit>(vedra::emit_index_payload);
    vedra::Status st = emit(s, [&](std::string_view piece) {
      ++flushes;
      joined += piece;
      return vedra::Status::Ok();
    });
    EXPECT_TRUE(st.ok());
    EXPECT_TRUE(flushes >= 2);  // at least one piece before the end
    EXPECT_EQ(joined, which == 0 ? vedra::encode_full_payload(s) : vedra::encode_index_payload(s));
    flushes = 0;
    st = emit(s, [&](std::string_view) {
      ++flushes;
      return vedra::Status::Error("disk full");
    });
    EXPECT_EQ(st.message(), std::string("disk full"));
    EXPECT_EQ(flushes, 1);
  }
}
