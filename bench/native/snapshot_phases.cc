// Times the phases of a snapshot save and load over a pair of snapshot files:
//
//   vedra_bench_snapshot FULL INDEX [REPEATS]
//   vedra_bench_snapshot FULL INDEX once      (one load, untimed: for callgrind)
//   vedra_bench_snapshot FULL INDEX steps     (one load, as load_snapshot makes
//                                              it, with the thread CPU time and
//                                              minor faults of each step)
//
// Load: read (file to memory), decompress (the full payload; the index
// payload whole, for reference), parse (full payload; the index payload
// alone, for the split: from the whole text, and decompressed in pieces),
// decompress + parse index + rebuild (the load's one pass that decompresses,
// decodes and re-ingests every record, with its steps: posting, which
// includes the index decompression and parse, sealing and payloads), build
// (matcher).  Rows marked "(alone)" are not in the load total.  Save: encode
// both payloads, compress, write; the compression floor (the two payloads
// compressed by libzstd at level 3 alone, one call each, into buffers made
// and touched beforehand); and the whole
// save_snapshot with a manifest, in thread CPU time and in wall time (which
// includes waiting for the syncs).  Prints the median of REPEATS runs
// (default 3) for each phase.
//
//   vedra_bench_snapshot FULL INDEX save [N]  (N save_snapshot calls of the
//                                              loaded engine, default 1, untimed:
//                                              for callgrind or perf)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <sys/resource.h>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <zstd.h>

#include "index/index_build.h"
#include "snapshot/container.h"
#include "snapshot/file_read.h"
#include "snapshot/file_writer.h"
#include "snapshot/payload_decode.h"
#include "snapshot/payload_encode.h"
#include "snapshot/snapshot_io.h"
#include "store/flatten.h"

using namespace vedra;

namespace {

// CPU time of this thread: steadier than wall time on a shared machine.
struct CpuClock {
  using time_point = double;
  static double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
  }
};

double seconds_since(double t0) { return CpuClock::now() - t0; }

// A "Name:  N kB" line of /proc/self/status, in kB.
long status_kb(const char* name) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, name, std::strlen(name)) == 0) kb = std::atol(line + std::strlen(name));
  }
  std::fclose(f);
  return kb;
}

double wall_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}


[[noreturn]] void die(const Status& st) {
  std::fprintf(stderr, "error: %s\n", st.message().c_str());
  std::exit(1);
}

template <typename T>
T take(Result<T> r) {
  if (!r.ok()) die(r.status());
  return std::move(r.value());
}

// The compression floor: libzstd at the container's level, one call over
// each whole payload and nothing else.  The context and the output buffers
// are made and touched before the clock starts, so that the timed part pays
// neither allocation nor page faults (a save's own buffers are warm too).
class FloorCompressor {
 public:
  FloorCompressor(const std::string& a, const std::string& b) : cctx_(ZSTD_createCCtx()) {
    if (cctx_ == nullptr) die(Status::Error("cannot create a zstd context"));
    for (const std::string* p : {&a, &b}) {
      outs_.emplace_back(ZSTD_compressBound(p->size()), '\1');
      ins_.push_back(p);
    }
  }
  ~FloorCompressor() { ZSTD_freeCCtx(cctx_); }
  // Compresses both payloads; returns the compressed bytes in all.  Kept out
  // of line so that callgrind can count it alone (bench/scale.py).
  [[gnu::noinline]] size_t run() {
    size_t total = 0;
    for (size_t i = 0; i < ins_.size(); ++i) {
      const size_t n = ZSTD_compressCCtx(cctx_, outs_[i].data(), outs_[i].size(), ins_[i]->data(), ins_[i]->size(),
                                         kSnapshotCompressionLevel);
      if (ZSTD_isError(n)) die(Status::Error(ZSTD_getErrorName(n)));
      total += n;
    }
    return total;
  }

 private:
  ZSTD_CCtx* cctx_;
  std::vector<std::string> outs_;
  std::vector<const std::string*> ins_;
};

void print_memory(const EngineState& s) {
  size_t index = 0, keys = 0, postings = 0;
  for (const auto& [field, held] : s.field_index) {
    const auto& inner = *held;
    index += inner.capacity() * (sizeof(FieldPostings::value_type) + 1);
    for (const auto& [k, p] : inner) {
      keys += k.heap_bytes();
      postings += p.memory_usage();
    }
  }
  const size_t patterns = s.pattern_texts.memory_usage() + s.pattern_records.capacity() * 4;
  size_t payloads = 0, strings = 0, fields = 0;
  payloads = s.record_payloads.memory_usage();
  strings = s.record_texts.memory_usage();
  for (const auto& f : s.record_fields) fields += sizeof(FieldMap) + f.memory_usage();
  size_t lookup = s.code_to_record.capacity() * (sizeof(decltype(s.code_to_record)::value_type) + 1);
  for (const auto& [code, r] : s.code_to_record) lookup += code.heap_bytes();
  const double n = s.next_record ? s.next_record : 1;
  size_t pattern_bytes = 0;
  for (size_t i = 0; i < s.pattern_texts.size(); ++i) pattern_bytes += s.pattern_texts[i].size();
  if (s.matcher && pattern_bytes) {
    std::printf("matcher: %zu patterns, %zu pattern bytes, %zu bytes held, %.2f bytes per pattern byte\n",
                s.pattern_texts.size(), pattern_bytes, s.matcher->memory_usage(),
                double(s.matcher->memory_usage()) / double(pattern_bytes));
  }
  std::printf("memory per record (bytes): index tables %.0f, index keys %.0f, postings %.0f, patterns %.0f, "
              "payloads %.0f, code/name/pinyin %.0f, field maps %.0f, code lookup %.0f, matcher %.0f\n",
              index / n, keys / n, postings / n, patterns / n, payloads / n, strings / n, fields / n, lookup / n,
              (s.matcher ? s.matcher->memory_usage() : 0) / n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FULL INDEX [REPEATS | once]\n", argv[0]);
    return 2;
  }
  const std::string full_path = argv[1], index_path = argv[2];
  if (argc > 3 && std::string(argv[3]) == "save") {
    // One load (not of interest), then one save_snapshot with a manifest.
    EngineState s;
    if (Status st = load_snapshot(s, full_path, index_path); !st.ok()) die(st);
    const std::string manifest = full_path + ".bench-manifest";
    const int saves = argc > 4 ? std::atoi(argv[4]) : 1;
    // The save's peak above the loaded engine: the load's garbage returned,
    // the resident high-water mark reset, then read after the saves.
    malloc_trim(0);
    const long before = status_kb("VmRSS:");
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", f);
      std::fclose(f);
    }
    for (int i = 0; i < saves; ++i) {
      if (Status st = save_snapshot(s, full_path + ".bench", index_path + ".bench", &manifest); !st.ok()) die(st);
    }
    std::printf("%u records saved %d times; peak RSS %.1f MB above the engine's %.1f MB\n", s.next_record, saves,
                (status_kb("VmHWM:") - before) / 1e3, before / 1e3);
    for (const std::string& p : {full_path + ".bench", index_path + ".bench", manifest}) std::remove(p.c_str());
    return 0;
  }
  if (argc > 3 && std::string(argv[3]) == "once") {
    // One load_snapshot and nothing else: for instruction counts
    // (valgrind --tool=callgrind vedra_bench_snapshot FULL INDEX once).
    EngineState s;
    if (Status st = load_snapshot(s, full_path, index_path); !st.ok()) die(st);
    std::printf("%u records loaded\n", s.next_record);
    return 0;
  }
  if (argc > 3 && std::string(argv[3]) == "steps") {
    // The steps of load_snapshot, each with its thread CPU time and the minor
    // faults met in it (a fresh page costs about as much as a few thousand
    // instructions, which callgrind does not see).
    struct Steps : LoadPhaseObserver {
      double t = CpuClock::now();
      long faults = minor_faults();
      static long minor_faults() {
        rusage u;
        getrusage(RUSAGE_THREAD, &u);
        return u.ru_minflt;
      }
      void reached(const char* phase) override {
        const double now = CpuClock::now();
        const long f = minor_faults();
        std::printf("  %-34s %9.1f ms %9ld faults\n", phase, (now - t) * 1e3, f - faults);
        t = now;
        faults = f;
      }
    } steps;
    SnapshotPair pair = take(read_snapshot_pair(full_path, index_path));
    steps.reached("read");
    size_t records = 0;
    {
      PayloadReader index_reader(pair.index());
      FullPayloadTexts texts = take(decode_full_payload_texts(pair.full.view()));
      steps.reached("parse full");
      EngineState s = take(rebuild_state(index_reader, texts, std::move(pair.full), &steps));
      std::string().swap(pair.index_file);
      if (Status st = build_matcher(s.pattern_texts, s.matcher); !st.ok()) die(st);
      steps.reached("build");
      records = s.next_record;
    }
    std::printf("%zu records loaded; peak RSS %ld kB\n", records, status_kb("VmHWM:"));
    return 0;
  }
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
  std::map<std::string, std::vector<double>> times;
  size_t records = 0;
  for (int rep = 0; rep < repeats; ++rep) {
    auto t = CpuClock::now();
    std::string full_file = take(read_whole_file(full_path));
    std::string index_file = take(read_whole_file(index_path));
    times["load.1 read"].push_back(seconds_since(t));

    t = CpuClock::now();
    vedra::ByteBuffer full_bytes = take(decode_snapshot_container(full_file, kSnapshotFullMagic));
    times["load.2 decompress full"].push_back(seconds_since(t));
    // A load decompresses the index payload a piece at a time while decoding
    // it; decompressing it whole (as loads once did) is timed for reference.
    const StoredPayload index_stored = take(check_snapshot_container(index_file, kSnapshotIndexMagic));
    t = CpuClock::now();
    vedra::ByteBuffer index_bytes = take(decode_snapshot_container(index_file, kSnapshotIndexMagic));
    times["load.2b decompress index whole (alone)"].push_back(seconds_since(t));

    t = CpuClock::now();
    FullPayloadTexts full = take(decode_full_payload_texts(full_bytes.view()));
    times["load.3a parse full"].push_back(seconds_since(t));
    // A load decodes the index payload and re-ingests each document in one
    // pass; decoding alone is timed separately to split the two: from the
    // whole text, and decompressed in pieces into the decoder.
    t = CpuClock::now();
    take(decode_index_payload(index_bytes.view()));
    times["load.3b parse index (alone)"].push_back(seconds_since(t));
    index_bytes.clear();
    // The millions of small blocks of those documents, freed above, are
    // merged by the allocator at its next large request; that work (some
    // 0.5 s at 10^6 records) belongs to neither row, so it is done here.
    malloc_trim(0);
    {
      struct Count : IndexDocSink {
        size_t docs = 0;
        Status take(const IndexDocView&) override {
          ++docs;
          return Status::Ok();
        }
      } count;
      t = CpuClock::now();
      PayloadReader reader(index_stored);
      if (Status st = decode_index_payload_each(reader, count); !st.ok()) die(st);
      times["load.3c decompress + parse index in pieces (alone)"].push_back(seconds_since(t));
    }

    // The one pass that decodes and re-ingests, split where it reports its
    // steps: posting (parse index included), sealing, payloads.
    struct Marks : LoadPhaseObserver {
      std::map<std::string, std::vector<double>>& times;
      double t;
      explicit Marks(std::map<std::string, std::vector<double>>& out) : times(out), t(CpuClock::now()) {}
      void reached(const char* phase) override {
        const double now = CpuClock::now();
        times[std::string("load.4 rebuild: ") + phase].push_back(now - t);
        t = now;
      }
    } marks(times);
    t = CpuClock::now();
    PayloadReader index_reader(index_stored);
    EngineState s = take(rebuild_state(index_reader, full, std::move(full_bytes), &marks));
    times["load.4 decompress + parse index + rebuild"].push_back(seconds_since(t));
    records = s.next_record;

    t = CpuClock::now();
    if (Status st = build_matcher(s.pattern_texts, s.matcher); !st.ok()) die(st);
    times["load.5 build"].push_back(seconds_since(t));
    if (rep == 0) print_memory(s);

    t = CpuClock::now();
    std::string fp = encode_full_payload(s);
    times["save.1a encode full"].push_back(seconds_since(t));
    t = CpuClock::now();
    std::string ip = encode_index_payload(s);
    times["save.1b encode index"].push_back(seconds_since(t));
    t = CpuClock::now();
    std::string fc = take(encode_snapshot_container(kSnapshotFullMagic, fp));
    std::string ic = take(encode_snapshot_container(kSnapshotIndexMagic, ip));
    times["save.2 compress"].push_back(seconds_since(t));
    t = CpuClock::now();
    if (Status st = write_whole_file(full_path + ".bench", fc); !st.ok()) die(st);
    if (Status st = write_whole_file(index_path + ".bench", ic); !st.ok()) die(st);
    times["save.3 write"].push_back(seconds_since(t));
    {
      FloorCompressor floor(fp, ip);
      floor.run();  // warms the context's tables as a save's own context is warm
      t = CpuClock::now();
      floor.run();
      times["save.0 floor (libzstd level 3 alone)"].push_back(seconds_since(t));
    }
    fp = std::string();
    ip = std::string();
    fc = std::string();
    ic = std::string();

    const std::string manifest = full_path + ".bench-manifest";
    t = CpuClock::now();
    const double w = wall_now();
    if (Status st = save_snapshot(s, full_path + ".bench", index_path + ".bench", &manifest); !st.ok()) die(st);
    times["save.9 save_snapshot (CPU)"].push_back(seconds_since(t));
    times["save.9 save_snapshot (wall)"].push_back(wall_now() - w);
    std::remove(manifest.c_str());
    std::remove((full_path + ".bench").c_str());
    std::remove((index_path + ".bench").c_str());
  }
  std::printf("%zu records, median (minimum) of %d runs, thread CPU time\n", records, repeats);
  double load = 0;
  for (auto& [phase, v] : times) {
    std::sort(v.begin(), v.end());
    std::printf("  %-38s %8.1f ms (%6.1f)\n", phase.c_str(), v[v.size() / 2] * 1e3, v[0] * 1e3);
    if (phase.rfind("load.", 0) == 0 && phase.find("(alone)") == std::string::npos &&
        phase.find("rebuild:") == std::string::npos) {
      load += v[v.size() / 2];
    }
  }
  std::printf("  %-38s %8.1f ms\n", "load total (medians)", load * 1e3);
  auto median = [&](const char* phase) { auto& v = times[phase]; return v[v.size() / 2]; };
  const double floor = median("save.0 floor (libzstd level 3 alone)");
  std::printf("  %-38s %8.2f x floor (CPU), %.2f x floor (wall)\n", "save_snapshot",
              median("save.9 save_snapshot (CPU)") / floor, median("save.9 save_snapshot (wall)") / floor);
  return 0;
}
