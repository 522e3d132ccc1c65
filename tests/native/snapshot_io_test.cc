// Snapshot save then load through the files: the loaded state equals the
// saved one in records, field maps, postings, patterns, find results and
// payloads (each record taking the payload of the newest record of its
// code), whether or not a manifest is written and the matcher was built.
#include "snapshot/snapshot_io.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "index/index_build.h"
#include "index/query.h"
#include "snapshot/container.h"
#include "snapshot/file_read.h"
#include "snapshot/manifest.h"
#include "snapshot/payload_encode.h"
#include "snapshot/sha256.h"
#include "store/engine_state.h"
#include "store/record_add.h"
#include "temp_dir.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::TempDir;

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Adds one record through the live ingestion path; `fields` are collected
// values (joined per field as ingestion joins them).  `payload` must be
// compact JSON text with its keys in order, as the converters write it.
void add(EngineState& s, std::string code, std::string name, std::string pinyin, std::string payload,
         const Fields& fields = {}) {
  CollectedValues collected;
  for (const auto& [f, v] : fields) collect_field_value(collected, f, v);
  RecordInput in;
  in.code = std::move(code);
  in.name = std::move(name);
  in.pinyin = std::move(pinyin);
  in.payload = payload.empty() ? default_payload(in.code, in.name, in.pinyin) : std::move(payload);
  if (!join_field_values(collected, in.fields).ok() || !add_record(s, in).ok()) {
    vedra_testing::record_failure(__FILE__, __LINE__, "could not add record '" + in.code + "'");
  }
}

struct NamedState {
  const char* name;
  std::function<void(EngineState&)> fill;
  std::vector<std::string> find_texts;
};

std::vector<NamedState> states() {
  return {
      {"000_empty", [](EngineState&) {}, {"", "anything"}},
      {"010_one_record",
       [](EngineState& s) {
         add(s, "600000.SH", "Alpha Bank", "ab|alpha",
             R"({"attributes":{"lot":100},"categories":{"tags":["x","y"]},"code":"600000.SH","market":"SH"})",
             {{"market", "SH"}, {"tags", "x"}, {"tags", "y"}, {"tags", "x"}, {"lot", "100"}});
       },
       {"Alpha Bank", "buy 600000.SH now", "ab", "nothing"}},
      {"020_past_32_records_bitmaps",
       [](EngineState& s) {
         // 45 records share market, name and a tag: those postings outgrow
         // the array form; codes repeat every 20 records, so older records
         // lose their payload to the newest one of their code.
         for (int i = 0; i < 45; ++i) {
           const std::string code = "C" + std::to_string(i % 20) + ".X";
           add(s, code, i % 2 ? "Bank" : "Bank " + std::to_string(i), "b|bank" + std::to_string(i % 7),
               R"({"code":")" + code + R"(","i":)" + std::to_string(i) + "}",
               {{"market", "SH"}, {"region", i % 3 ? "CN" : "HK|CN"}, {"seq", std::to_string(i)},
                {"cat", i < 40 ? "all" : "late"}});
         }
       },
       {"Bank 7 and C3.X", "bank3 b", "C19.X C0.X", "Bank"}},
      {"030_non_ascii_and_escapes",
       [](EngineState& s) {
         add(s, "贝塔.HK", "贝塔", "bt|贝塔", "", {{"市场", "香港"}, {"region", "亚洲.东亚"}});
         add(s, "é", "café \"q\"", " ca | fe ", R"({"code":"é","v":[1,2.5,null,true,"\t"]})",
             {{"k\t\"", "v\\"}, {"", "empty name"}});
         add(s, "q\"\t\n", "ctl\x01", "", R"({"v":"\u0001"})", {{"f", "a|b"}});
         add(s, "", "no code", "", "[]", {{"f", "b"}});
         add(s, "贝塔.HK", "贝塔 2", "", "null");
       },
       {"贝塔 and café \"q\" with no code", "bt fe ca", "q\"\t\n"}},
      {"040_repeated_values_while_maps_grow",
       [](EngineState& s) {
         // Three kinds of record put different fields at one position;
         // values repeat (the load reuses their postings) while new keys
         // keep the same maps growing past several capacities.
         for (int i = 0; i < 3000; ++i) {
           const std::string n = std::to_string(i);
           std::vector<std::pair<std::string, std::string>> fields = {{"market", i % 3 ? "SH" : "SZ"}};
           if (i % 3 == 0) fields.push_back({"lot", i % 2 ? "100" : "200"});
           if (i % 3 == 1) fields.push_back({"region", i % 4 ? "Asia.China| Asia.Japan " : "Asia.China"});
           fields.push_back({"mix", i % 5 == 0 ? "v" + n + ".w" : "hot.a|hot"});
           fields.push_back({"amount", n + "." + std::to_string(i % 7)});
           add(s, "K" + n + ".X", "n" + std::to_string(i % 50), "", "", fields);
         }
       },
       {"K17.X n3", "n49"}},
  };
}

// Field -> key -> records, leaving out fields without keys (a load may
// create the maps of "code" and "name" before it knows they stay empty).
std::map<std::string, std::map<std::string, std::vector<uint32_t>>> postings_of(const EngineState& s) {
  std::map<std::string, std::map<std::string, std::vector<uint32_t>>> out;
  for (const auto& [field, keys] : s.field_index) {
    for (const auto& [key, posting] : *keys) out[std::string(field)][std::string(key)] = posting.to_bitmap().to_vector();
  }
  return out;
}

std::vector<std::string> find_codes(const EngineState& s, const std::string& text) {
  std::vector<std::string> out;
  for (uint32_t r : find_code_records(s.matcher.get(), s.pattern_records, [&](uint32_t q) { return s.record_texts.code(q); }, text)) {
    out.emplace_back(s.record_texts.code(r));
  }
  return out;
}

std::vector<std::string> payloads_of(const EngineState& s) {
  std::vector<std::string> out;
  for (uint32_t r = 0; r < s.next_record; ++r) out.emplace_back(s.record_payloads[r]);
  return out;
}

// What a load gives each record: the payload of the newest record of its code.
std::vector<std::string> newest_payloads(const EngineState& s) {
  std::vector<std::string> out;
  for (uint32_t r = 0; r < s.next_record; ++r) out.emplace_back(s.record_payloads[s.code_to_record.find(s.record_texts.code(r))->second]);
  return out;
}

std::map<std::string, uint32_t> code_lookup(const EngineState& s) {
  std::map<std::string, uint32_t> out;
  for (const auto& [code, r] : s.code_to_record) out[std::string(code)] = r;
  return out;
}

std::vector<std::string> patterns_of(const EngineState& s) {
  std::vector<std::string> out;
  for (size_t i = 0; i < s.pattern_texts.size(); ++i) {
    out.push_back(std::string(s.pattern_texts[i]) + " @" + std::to_string(s.pattern_records[i]));
  }
  return out;
}

std::string stored_payload(const std::string& path, std::string_view magic) {
  Result<ByteBuffer> bytes = read_snapshot_container(path, magic);
  return bytes.ok() ? bytes.value().str() : "<error: " + bytes.status().message() + ">";
}

// The loaded state `b` equals the saved state `a`; `label` names the case.
void expect_same_state(const char* label, const EngineState& a, const EngineState& b,
                       const std::vector<std::string>& find_texts) {
  auto check = [&](bool same, const char* what) {
    if (!same) vedra_testing::record_failure(__FILE__, __LINE__, std::string(label) + ": " + what + " differ");
  };
  check(a.next_record == b.next_record, "record counts");
  check(Bitmap::range(a.next_record).to_vector() == Bitmap::range(b.next_record).to_vector(), "all_records");
  check(a.record_texts == b.record_texts, "codes, names and pinyins");
  check(a.record_fields == b.record_fields, "field maps (entries and their order)");
  check(code_lookup(a) == code_lookup(b), "code lookups");
  check(postings_of(a) == postings_of(b), "postings");
  check(patterns_of(a) == patterns_of(b), "patterns");
  check((a.matcher == nullptr) == (b.matcher == nullptr), "matcher presence");
  for (const std::string& text : find_texts) check(find_codes(a, text) == find_codes(b, text), "find results");
  check(newest_payloads(a) == payloads_of(b), "payloads");
  check(encode_full_payload(a) == encode_full_payload(b), "full payloads");
  check(encode_index_payload(a) == encode_index_payload(b), "index payloads");
}

// The manifest text without its clock reading.
std::string without_created_at(std::string manifest) {
  const std::string key = "\"created_at\": \"";
  const size_t at = manifest.find(key);
  if (at == std::string::npos) return manifest;
  const size_t end = manifest.find('"', at + key.size());
  return manifest.erase(at + key.size(), end - at - key.size());
}

}  // namespace

TEST(SnapshotIo, SaveThenLoadRestoresTheState) {
  for (const NamedState& c : states()) {
    for (const bool with_manifest : {false, true}) {
      for (const bool built : {false, true}) {
        EngineState saved;
        c.fill(saved);
        if (built) ASSERT_TRUE(build_matcher(saved.pattern_texts, saved.matcher).ok());
        TempDir dir;
        const std::string full = dir / "full.snap", index = dir / "index.snap", manifest = dir / "manifest.json";
        const Status st = save_snapshot(saved, full, index, with_manifest ? &manifest : nullptr);
        if (!st.ok()) std::cerr << "  " << c.name << ": " << st.message() << "\n";
        ASSERT_TRUE(st.ok());
        EXPECT_EQ(stored_payload(full, kSnapshotFullMagic), encode_full_payload(saved));
        EXPECT_EQ(stored_payload(index, kSnapshotIndexMagic), encode_index_payload(saved));
        const std::vector<std::string> want_files =
            with_manifest ? std::vector<std::string>{"full.snap", "index.snap", "manifest.json"}
                          : std::vector<std::string>{"full.snap", "index.snap"};
        EXPECT_TRUE(dir.entries() == want_files);  // no temporary file left behind

        // A load replaces whatever the engine held before.
        EngineState loaded;
        add(loaded, "OLD", "old", "o", "{}", {{"market", "XX"}});
        const Status ld = load_snapshot(loaded, full, index);
        if (!ld.ok()) std::cerr << "  " << c.name << ": " << ld.message() << "\n";
        ASSERT_TRUE(ld.ok());
        // The load builds its matcher; compare find results against a built original.
        if (!built) ASSERT_TRUE(build_matcher(saved.pattern_texts, saved.matcher).ok());
        expect_same_state(c.name, saved, loaded, c.find_texts);

        // Saving the loaded state writes the same payloads again.
        const std::string full2 = dir / "full2.snap", index2 = dir / "index2.snap";
        ASSERT_TRUE(save_snapshot(loaded, full2, index2, nullptr).ok());
        EXPECT_EQ(stored_payload(full2, kSnapshotFullMagic), stored_payload(full, kSnapshotFullMagic));
        EXPECT_EQ(stored_payload(index2, kSnapshotIndexMagic), stored_payload(index, kSnapshotIndexMagic));
      }
    }
  }
}

TEST(SnapshotIo, ManifestDescribesThePair) {
  for (const NamedState& c : states()) {
    EngineState s;
    c.fill(s);
    TempDir dir;
    const std::string full = dir / "f", index = dir / "i", manifest = dir / "m";
    ASSERT_TRUE(save_snapshot(s, full, index, &manifest).ok());
    Result<ByteBuffer> text = read_snapshot_container(manifest, kSnapshotFullMagic);
    EXPECT_FALSE(text.ok());  // plain text, no container
    std::string written;
    {
      Result<std::string> r = read_whole_file(manifest);
      ASSERT_TRUE(r.ok());
      written = r.value();
    }
    EXPECT_EQ(without_created_at(written), without_created_at(manifest_text(s, full, index, 0)));
    // The digest covers every code, sorted by bytes, joined with "|".
    std::vector<std::string> codes;
    for (uint32_t r = 0; r < s.next_record; ++r) codes.emplace_back(s.record_texts.code(r));
    std::sort(codes.begin(), codes.end());
    std::string joined;
    for (size_t i = 0; i < codes.size(); ++i) joined += (i ? "|" : "") + codes[i];
    EXPECT_EQ(codes_digest(s), sha256_hex(joined));
    EXPECT_TRUE(written.find("\"record_count\": " + std::to_string(s.next_record) + ",\n") != std::string::npos);
  }
}
