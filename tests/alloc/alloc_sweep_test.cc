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

#include "base/page_array.h"
#include "failing_malloc.h"
#include "index/index_build.h"
#include "index/query.h"
#include "index/roaring_memory.h"
#include "snapshot/snapshot_io.h"
#include "store/engine_state.h"
#include "store/flatten.h"
#include "store/record_add.h"
#include "testing.h"

namespace vedra {
namespace {

using vedra_testing::allocations_failed;
using vedra_testing::arm_allocation_exhaustion;
using vedra_testing::arm_allocation_failure;
using vedra_testing::disarm_allocation_failure;

// Everything a caller can observe of a state, in one text.
std::string observe(const EngineState& s) {
  std::ostringstream out;
  out << "records " << s.next_record << "\n";
  for (uint32_t r = 0; r < s.next_record; ++r) {
    out << r << " " << s.record_texts.code(r) << "|" << s.record_texts.name(r) << "|" << s.record_texts.pinyin(r) << " "
        << s.record_payloads[r];
    for (auto [f, v] : s.record_fields[r]) out << " " << f << "=" << v;
    out << "\n";
  }
  std::vector<std::string> lines;
  for (const auto& [code, r] : s.code_to_record) lines.push_back("code " + std::string(code) + " " + std::to_string(r));
  for (const auto& [field, postings] : s.field_index) {
    lines.push_back("field " + std::string(field));
    for (const auto& [key, posting] : *postings) {
      std::string line = "post " + std::string(field) + " " + std::string(key);
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
  out << "all " << s.next_record << "\n";
  if (s.matcher) {
    s.matcher->for_each_match(haystack, [&](const Match& m) { out << "match " << m.pattern << " " << m.start << "\n"; });
  } else {
    out << "no matcher\n";
  }
  return out.str();
}

// A record of the shape ingestion sees; `i` picks codes, names and values so
// that some keys are new and some already posted.
RecordInput record(int i, bool with_posts, CollectedValues& posts, CollectedViews& views) {
  RecordInput in;
  in.code = "C" + std::to_string(i % 7 == 6 ? 0 : i);  // every seventh re-adds code C0
  if (i % 7 != 6 && i % 4 == 2) in.code += " a code beyond the short form";
  in.name = "name " + std::to_string(i);
  in.pinyin = "py" + std::to_string(i) + "| mc" + std::to_string(i % 3) + " |";
  in.payload = "{\"code\":\"" + in.code + "\",\"n\":" + std::to_string(i) + "}";
  in.deep = i % 5 == 4;
  posts = {{"market", "SH"},
           {"industry", "bank.state." + std::to_string(i % 4) + "|a long value text beyond the short form"},
           {"field" + std::to_string(i % 3), "v" + std::to_string(i)},
           {"market", "SH"},
           {"empty", ""}};
  views.assign(posts.begin(), posts.end());
  if (with_posts) {
    in.posts = &views;
    (void)join_field_values(posts, in.fields);
  } else {
    (void)join_field_values(posts, in.fields);
  }
  return in;
}

void fill(EngineState& s, int records) {
  CollectedValues posts;
  CollectedViews views;
  for (int i = 0; i < records; ++i) {
    RecordInput in = record(i, i % 2 == 0, posts, views);
    if (!add_record(s, in).ok()) throw std::logic_error("fill");
  }
}

// How a sweep fails allocations: the k-th alone (a transient shortage), or
// the k-th and every later one (memory run out).
enum class Mode { kOne, kFromKth };

// Allocations failed over a whole sweep, and how many of them were
// CRoaring's (served from the engine's reserve instead).
struct Swept {
  size_t failed = 0;
  size_t roaring = 0;
  Swept& operator+=(const Swept& o) {
    failed += o.failed;
    roaring += o.roaring;
    return *this;
  }
};

// Runs `op` on a fresh `setup` state with the 1st, 2nd, ... allocation
// failed (in `mode`) until an attempt needs no more allocations than that;
// each failed attempt must leave what look() sees unchanged, each attempt
// that absorbed its failures must end as a clean run does.
Swept sweep_mode(Mode mode, const std::function<void(EngineState&)>& setup,
                 const std::function<Status(EngineState&)>& op,
                 const std::function<std::string(const EngineState&)>& look) {
  std::string after;
  {
    EngineState s;
    setup(s);
    Status st = op(s);
    EXPECT_TRUE(st.ok());
    after = look(s);
  }
  Swept swept;
  for (size_t n = 1;; ++n) {
    EngineState s;
    setup(s);
    const std::string before = look(s);
    bool failed_call = false;
    const size_t draws = roaring_reserve_draws();
    if (mode == Mode::kOne) {
      arm_allocation_failure(n);
    } else {
      arm_allocation_exhaustion(n);
    }
    try {
      failed_call = !op(s).ok();
    } catch (const std::bad_alloc&) {
      failed_call = true;
    }
    const bool hit = disarm_allocation_failure();
    swept.failed += allocations_failed();
    swept.roaring += roaring_reserve_draws() - draws;
    if (!hit) {
      EXPECT_FALSE(failed_call);
      EXPECT_EQ(look(s), after);
      return swept;
    }
    const std::string now = look(s);
    if (failed_call) {
      EXPECT_EQ(now, before);
      if (now != before) std::cerr << "  allocation " << n << " failed\n";
    } else {
      EXPECT_EQ(now, after);
    }
    if (now != (failed_call ? before : after)) return swept;
  }
}

// Both modes; prints the figures under `name` and returns those of the
// one-at-a-time mode.
Swept sweep(const std::function<void(EngineState&)>& setup, const std::function<Status(EngineState&)>& op,
            const std::function<std::string(const EngineState&)>& look = observe, const char* name = nullptr) {
  const Swept one = sweep_mode(Mode::kOne, setup, op, look);
  const Swept all = sweep_mode(Mode::kFromKth, setup, op, look);
  if (name != nullptr) {
    std::cout << name << ": " << one.failed << " allocations failed in turn (" << one.roaring << " CRoaring's); "
              << all.failed << " failed from the k-th on (" << all.roaring << " CRoaring's)\n";
  }
  return one;
}

TEST(AllocationSweep, AddRecordAtEverySize) {
  Swept one, all;
  for (int size = 0; size <= 70; ++size) {
    for (bool with_posts : {true, false}) {
      CollectedValues posts;
      CollectedViews views;
      auto setup = [&](EngineState& s) { fill(s, size); };
      auto op = [&](EngineState& s) {
        RecordInput in = record(size, with_posts, posts, views);
        return add_record(s, in);
      };
      one += sweep_mode(Mode::kOne, setup, op, observe);
      all += sweep_mode(Mode::kFromKth, setup, op, observe);
    }
  }
  std::cout << "add_record: " << one.failed << " allocations failed in turn (" << one.roaring << " CRoaring's); "
            << all.failed << " failed from the k-th on (" << all.roaring << " CRoaring's)\n";
  EXPECT_TRUE(one.failed > 500);
  EXPECT_TRUE(one.roaring > 0);
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
  const Swept swept = sweep([](EngineState& s) { fill(s, 40); },
                            [&](EngineState& s) {
                              FlattenedRecord flat;
                              if (Status st = flatten_record_text(text, spans, flat); !st.ok()) return st;
                              RecordInput in{flat.code, flat.name, flat.pinyin, text, std::move(flat.fields)};
                              return add_record(s, in);
                            },
                            observe, "add_record_payload");
  EXPECT_TRUE(swept.failed > 5);
}

TEST(AllocationSweep, Build) {
  const Swept swept = sweep([](EngineState& s) { fill(s, 50); },
                            [](EngineState& s) { return build_matcher(s.pattern_texts, s.matcher); }, observe, "build");
  EXPECT_TRUE(swept.failed > 10);
}

// A list that starts in the heap and moves to pages of its own: each of its
// allocations (heap blocks, the first mapping, the moves by mremap) failed
// in turn leaves the list as it was, and the list then grows on.
TEST(AllocationSweep, PageArrayFromHeapToPages) {
  size_t failed = 0;
  for (size_t n = 1;; ++n) {
    PageArray<uint32_t, 4 * 4096> a;
    arm_allocation_failure(n);
    bool threw = false;
    for (uint32_t i = 0; i < 40000; ++i) {
      try {
        a.push_back(i);
      } catch (const std::bad_alloc&) {
        threw = true;
        EXPECT_EQ(a.size(), size_t{i});
        a.push_back(i);
      }
    }
    const bool reached = disarm_allocation_failure();
    EXPECT_EQ(reached, threw);
    for (uint32_t i = 0; i < a.size(); ++i) ASSERT_TRUE(a[i] == i);
    EXPECT_EQ(a.size(), size_t{40000});
    if (!reached) break;
    ++failed;
  }
  EXPECT_TRUE(failed >= 5);
}

// A table that grows from the heap into a mapping of its own (a slot array
// past kLargeFrom): each growth failed in turn throws with the table as it
// was, and the table then grows on.
TEST(AllocationSweep, TableFromHeapToItsOwnMapping) {
  const uint32_t n = 420000;  // the last growth takes some 10 MiB of slots
  size_t failed = 0;
  for (size_t k = 1;; ++k) {
    TextMap<uint32_t> m;
    arm_allocation_failure(k);
    bool threw = false;
    for (uint32_t i = 0; i < n; ++i) {
      try {
        ensure_map_room(m, 1);
      } catch (const std::bad_alloc&) {
        threw = true;
        EXPECT_EQ(m.size(), size_t{i});
        ensure_map_room(m, 1);
      }
      m.try_emplace(TextKey(std::to_string(i)), i);
    }
    const bool reached = disarm_allocation_failure();
    EXPECT_EQ(reached, threw);
    EXPECT_EQ(m.size(), size_t{n});
    for (uint32_t i = 0; i < n; i += 4099) ASSERT_TRUE(m.find(std::string_view(std::to_string(i)))->second == i);
    if (!reached) break;
    ++failed;
  }
  EXPECT_TRUE(failed >= 15);
}

// The read-only methods: each must answer as a clean run does, or fail with
// the state untouched.  Their answers, as text, checked on every success.
void sweep_query(const char* name, const std::function<std::string(const EngineState&)>& query, size_t at_least) {
  auto setup = [](EngineState& s) {
    fill(s, 70);
    (void)build_matcher(s.pattern_texts, s.matcher);
  };
  std::string expected;
  {
    EngineState s;
    setup(s);
    expected = query(s);
  }
  const Swept swept = sweep(
      setup,
      [&](EngineState& s) {
        EXPECT_EQ(query(s), expected);
        return Status::Ok();
      },
      observe, name);
  EXPECT_TRUE(swept.failed >= at_least);
}

std::string codes_of(const EngineState& s, const std::vector<uint32_t>& records) {
  std::string out;
  for (uint32_t r : records) out += std::string(s.record_texts.code(r)) + " ";
  return out;
}

TEST(AllocationSweep, Filter) {
  // "market" is one bitmap posting; "industry" keys are short arrays.
  using Entry = std::pair<std::string, std::vector<std::string>>;
  const std::vector<std::vector<Entry>> filters = {
      {{"market", {"SH"}}, {"industry__not", {"bank.state.1", "bank.state.2"}}},
      {{"industry", {"bank.state.0", "bank.state.3"}}, {"market", {"SH", "SZ"}}},
      {{"industry__not", {"bank.state.0"}}},
      {{"market__not", {"SH"}}},
      {{"industry", {"bank"}}, {"field1", {"v1", "v4", "v7", "v10"}}},
  };
  sweep_query(
      "filter",
      [&](const EngineState& s) {
        std::string out;
        for (const auto& entries : filters) {
          FilterQuery q(s.field_index, s.next_record);
          for (const auto& [key, texts] : entries) {
            q.begin_entry(key);
            for (const std::string& t : texts) q.add_text(t);
            q.end_entry();
            if (q.empty()) break;
          }
          out += codes_of(s, q.records()) + "\n";
        }
        return out;
      },
      10);
}

TEST(AllocationSweep, Find) {
  sweep_query(
      "find",
      [](const EngineState& s) {
        return codes_of(s, find_code_records(s.matcher.get(), s.pattern_records, [&](uint32_t r) { return s.record_texts.code(r); },
                                             "name 1 and C12, py3 then mc2 and name 69"));
      },
      1);
}

TEST(AllocationSweep, GetMany) {
  sweep_query(
      "get_many",
      [](const EngineState& s) {
        std::vector<std::string> payloads;
        for (const char* code : {"C1", "missing", "C0", "C1", "C68", "C2 a code beyond the short form"}) {
          auto it = s.code_to_record.find(std::string_view(code));
          if (it != s.code_to_record.end()) payloads.emplace_back(s.record_payloads[it->second]);
        }
        std::string out;
        for (const std::string& p : payloads) out += p + "\n";
        return out;
      },
      1);
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
  const Swept swept = sweep(
      [](EngineState& s) {
        fill(s, 5);
        (void)build_matcher(s.pattern_texts, s.matcher);
      },
      [&](EngineState& s) { return load_snapshot(s, full, index); }, observe, "load_snapshot");
  EXPECT_TRUE(swept.failed > 50);
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
  for (Mode mode : {Mode::kOne, Mode::kFromKth}) {
    size_t failed = 0;
    for (size_t n = 1;; ++n) {
      if (mode == Mode::kOne) {
        arm_allocation_failure(n);
      } else {
        arm_allocation_exhaustion(n);
      }
      bool failed_call;
      try {
        failed_call = !save_snapshot(s, full, index, &manifest).ok();
      } catch (const std::bad_alloc&) {
        failed_call = true;
      }
      const bool hit = disarm_allocation_failure();
      failed += allocations_failed();
      if (!hit) {
        EXPECT_FALSE(failed_call);
        EXPECT_TRUE(n > 20);
        std::cout << "save_snapshot: " << failed << (mode == Mode::kOne ? " allocations failed in turn\n" : " failed from the k-th on\n");
        std::ofstream(full) << "old full";
        std::ofstream(index) << "old index";
        std::ofstream(manifest) << "old manifest";
        break;
      }
      if (failed_call) {
        EXPECT_EQ(files_in(dir.path), before);
      }
      if (!failed_call || files_in(dir.path) != before) {
        // Absorbed: the files are the new ones; start again from the old.
        if (failed_call) std::cerr << "  allocation " << n << " of the save\n";
        std::ofstream(full) << "old full";
        std::ofstream(index) << "old index";
        std::ofstream(manifest) << "old manifest";
        if (failed_call) return;
      }
    }
  }
}

}  // namespace
}  // namespace vedra
