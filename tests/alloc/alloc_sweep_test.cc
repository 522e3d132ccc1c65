// Every allocation of the state-changing engine operations failed in turn:
// after each failure the operation reports it (std::bad_alloc or a Status)
// and the engine reads, finds and saves exactly as before; a save leaves
// every file as it was.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "failing_malloc.h"
#include "index/index_build.h"
#include "snapshot/snapshot_io.h"
#include "store/engine_state.h"
#include "store/ingest.h"
#include "store/record_add.h"
#include "testing.h"

namespace vedra {
namespace {

using vedra_testing::arm_allocation_failure;
using vedra_testing::disarm_allocation_failure;

// Everything a caller can observe of a state, in one text.
std::string observe(const EngineState& s) {
  std::ostringstream out;
  out << "records " << s.next_record << "\n";
  for (uint32_t r = 0; r < s.next_record; ++r) {
    out << r << " " << s.record_codes[r] << "|" << s.record_names[r] << "|" << s.record_pinyins[r] << " "
        << s.record_payloads[r];
    for (auto [f, v] : s.record_fields[r]) out << " " << f << "=" << v;
    out << "\n";
  }
  std::vector<std::string> lines;
  for (const auto& [code, r] : s.code_to_record) lines.push_back("code " + code + " " + std::to_string(r));
  for (const auto& [field, postings] : s.field_index) {
    lines.push_back("field " + field);
    for (const auto& [key, posting] : *postings) {
      std::string line = "post " + field + " " + key;
      for (uint32_t r : posting.to_bitmap().to_vector()) line += " " + std::to_string(r);
      lines.push_back(line);
    }
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string& l : lines) out << l << "\n";
  std::string haystack;
  for (size_t i = 0; i < s.pattern_texts.size(); ++i) {
    out << "pattern " << s.pattern_texts[i] << " " << s.pattern_records[i] << "\n";
    haystack += std::string(s.pattern_texts[i]) + " ";
  }
  for (uint32_t r : s.deep_payload_records) out << "deep " << r << "\n";
  out << "all " << s.all_records().cardinality() << "\n";
  if (s.matcher) {
    s.matcher->for_each_match(haystack, [&](const Match& m) { out << "match " << m.pattern << " " << m.start << "\n"; });
  } else {
    out << "no matcher\n";
  }
  return out.str();
}

// A record of the shape ingestion sees; `i` picks codes, names and values so
// that some keys are new and some already posted.
RecordInput record(int i, bool with_posts, FieldPosts& posts) {
  RecordInput in;
  in.code = "C" + std::to_string(i % 7 == 6 ? 0 : i);  // every seventh re-adds code C0
  in.name = "name " + std::to_string(i);
  in.pinyin = "py" + std::to_string(i) + "| mc" + std::to_string(i % 3) + " |";
  in.payload = "{\"code\":\"" + in.code + "\",\"n\":" + std::to_string(i) + "}";
  in.deep = i % 5 == 4;
  posts = {{"market", "SH"},
           {"industry", "bank.state." + std::to_string(i % 4) + "|a long value text beyond the short form"},
           {"field" + std::to_string(i % 3), "v" + std::to_string(i)},
           {"market", "SH"},
           {"empty", ""}};
  if (with_posts) {
    in.posts = &posts;
    (void)join_field_values(posts, in.fields);
  } else {
    (void)join_field_values(posts, in.fields);
  }
  return in;
}

void fill(EngineState& s, int records) {
  FieldPosts posts;
  for (int i = 0; i < records; ++i) {
    RecordInput in = record(i, i % 2 == 0, posts);
    if (!add_record(s, in).ok()) throw std::logic_error("fill");
  }
}

// Runs `op` on a fresh `setup` state with the 1st, 2nd, ... allocation
// failed until an attempt needs no more allocations than that; each failed
// attempt must leave what observe() sees unchanged, each attempt that
// absorbed its failure must end as a clean run does.  Returns the number of
// allocations swept.
size_t sweep(const std::function<void(EngineState&)>& setup, const std::function<Status(EngineState&)>& op,
             const std::function<std::string(const EngineState&)>& look = observe) {
  std::string after;
  {
    EngineState s;
    setup(s);
    Status st = op(s);
    EXPECT_TRUE(st.ok());
    after = look(s);
  }
  for (size_t n = 1;; ++n) {
    EngineState s;
    setup(s);
    const std::string before = look(s);
    bool failed_call = false;
    arm_allocation_failure(n);
    try {
      failed_call = !op(s).ok();
    } catch (const std::bad_alloc&) {
      failed_call = true;
    }
    const bool hit = disarm_allocation_failure();
    if (!hit) {
      EXPECT_FALSE(failed_call);
      EXPECT_EQ(look(s), after);
      return n - 1;
    }
    const std::string now = look(s);
    if (failed_call) {
      EXPECT_EQ(now, before);
      if (now != before) std::cerr << "  allocation " << n << " failed\n";
    } else {
      EXPECT_EQ(now, after);
    }
    if (now != (failed_call ? before : after)) return n;
  }
}

TEST(AllocationSweep, AddRecordAtEverySize) {
  size_t swept = 0;
  for (int size = 0; size <= 70; ++size) {
    for (bool with_posts : {true, false}) {
      FieldPosts posts;
      swept += sweep([&](EngineState& s) { fill(s, size); },
                     [&](EngineState& s) {
                       RecordInput in = record(size, with_posts, posts);
                       return add_record(s, in);
                     });
    }
  }
  std::cout << "add_record: " << swept << " allocations failed in turn\n";
  EXPECT_TRUE(swept > 1000);
}

TEST(AllocationSweep, AddRecordPayloadFlattenedFromText) {
  // The engine part of add_record_payload: flatten the converted text, add.
  const std::string text =
      "{\"attributes\":{\"lot\":100,\"tags\":[\"a\",\"b.c\"]},\"categories\":{\"industry\":\"bank.state\"},"
      "\"code\":\"600000\",\"market\":\"SH\",\"name\":\"Pufa\",\"pinyin\":\"pf|pfyh\"}";
  std::vector<MemberSpan> spans;
  for (const char* key : {"attributes", "categories", "code", "market", "name", "pinyin"}) {
    const std::string quoted = std::string("\"") + key + "\":";
    const size_t begin = text.find(quoted) + quoted.size();
    size_t end = begin, depth = 0;
    for (; end < text.size(); ++end) {
      const char c = text[end];
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') {
        if (depth == 0) break;
        --depth;
      }
      if (c == ',' && depth == 0) break;
    }
    spans.push_back(MemberSpan{key, begin, end});
  }
  const size_t swept = sweep([](EngineState& s) { fill(s, 40); },
                             [&](EngineState& s) {
                               FlattenedRecord flat;
                               if (Status st = flatten_record_text(text, spans, flat); !st.ok()) return st;
                               RecordInput in{flat.code, flat.name, flat.pinyin, text, std::move(flat.fields)};
                               return add_record(s, in);
                             });
  std::cout << "add_record_payload: " << swept << " allocations failed in turn\n";
  EXPECT_TRUE(swept > 10);
}

TEST(AllocationSweep, Build) {
  const size_t swept = sweep([](EngineState& s) { fill(s, 50); }, [](EngineState& s) { return build_matcher(s.pattern_texts, s.matcher); });
  std::cout << "build: " << swept << " allocations failed in turn\n";
  EXPECT_TRUE(swept > 10);
}

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/vedra-alloc-XXXXXX";
    path = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

// The directory's names and contents.
std::string files_in(const std::string& dir) {
  std::vector<std::string> lines;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    lines.push_back(e.path().filename().string() + " " +
                    std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

TEST(AllocationSweep, LoadSnapshot) {
  TempDir dir;
  const std::string full = dir.path + "/full", index = dir.path + "/index";
  {
    EngineState saved;
    fill(saved, 60);
    // A nested payload cannot be saved; replace the deep ones' flags.
    saved.deep_payload_records.clear();
    ASSERT_TRUE(save_snapshot(saved, full, index, nullptr).ok());
  }
  const size_t swept = sweep(
      [](EngineState& s) {
        fill(s, 5);
        (void)build_matcher(s.pattern_texts, s.matcher);
      },
      [&](EngineState& s) { return load_snapshot(s, full, index); });
  std::cout << "load_snapshot: " << swept << " allocations failed in turn\n";
  EXPECT_TRUE(swept > 50);
}

TEST(AllocationSweep, SaveSnapshotLeavesEveryFileAsItWas) {
  TempDir dir;
  const std::string full = dir.path + "/full", index = dir.path + "/index", manifest = dir.path + "/manifest";
  std::ofstream(full) << "old full";
  std::ofstream(index) << "old index";
  std::ofstream(manifest) << "old manifest";
  EngineState s;
  fill(s, 40);
  s.deep_payload_records.clear();
  const std::string before = files_in(dir.path);
  std::string after;
  for (size_t n = 1;; ++n) {
    arm_allocation_failure(n);
    bool failed_call;
    try {
      failed_call = !save_snapshot(s, full, index, &manifest).ok();
    } catch (const std::bad_alloc&) {
      failed_call = true;
    }
    const bool hit = disarm_allocation_failure();
    if (!hit) {
      EXPECT_FALSE(failed_call);
      EXPECT_TRUE(n > 20);
      std::cout << "save_snapshot: " << n - 1 << " allocations failed in turn\n";
      break;
    }
    if (failed_call) {
      EXPECT_EQ(files_in(dir.path), before);
    } else {
      // Absorbed: the files are the new ones; start again from the old.
      std::ofstream(full) << "old full";
      std::ofstream(index) << "old index";
      std::ofstream(manifest) << "old manifest";
    }
    if (files_in(dir.path) != before) {
      std::cerr << "  allocation " << n << " of the save\n";
      return;
    }
  }
}

}  // namespace
}  // namespace vedra
