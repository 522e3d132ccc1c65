// Times the matcher alone: build over a pattern file, and searches over text
// files, in thread CPU time (median of REPEATS runs).
//
//   vedra_bench_matcher PATTERNS [TEXTS ...] [--repeats N] [--kind auto|dense|compact]
//                       [--lines] [--once]
//
// PATTERNS and TEXTS hold length-prefixed items (a little-endian u32 byte
// count, then the bytes), as bench/matchers.py --dump writes them; with
// --lines they are newline-separated lines instead (the pattern lists of
// the public corpora), and each text file is one text. Prints the build
// time, the automaton's bytes (and per pattern byte), and per text file the
// search rate and the number of matches. --once builds and searches once,
// untimed apart from the one run (for callgrind).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "index/matcher.h"

using namespace vedra;

namespace {

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> split_items(const std::string& data, bool lines) {
  std::vector<std::string_view> out;
  if (lines) {
    size_t at = 0;
    while (at < data.size()) {
      size_t nl = data.find('\n', at);
      if (nl == std::string::npos) nl = data.size();
      if (nl > at) out.emplace_back(data.data() + at, nl - at);
      at = nl + 1;
    }
    return out;
  }
  size_t at = 0;
  while (at + 4 <= data.size()) {
    uint32_t len;
    std::memcpy(&len, data.data() + at, 4);
    at += 4;
    out.emplace_back(data.data() + at, len);
    at += len;
  }
  return out;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> files;
  int repeats = 5;
  bool lines = false;
  bool once = false;
  MatcherKind kind = MatcherKind::Auto;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--repeats" && i + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--kind" && i + 1 < argc) {
      const std::string k = argv[++i];
      kind = k == "dense" ? MatcherKind::Dense : k == "compact" ? MatcherKind::Compact : MatcherKind::Auto;
    } else if (a == "--lines") {
      lines = true;
    } else if (a == "--once") {
      once = true;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: vedra_bench_matcher PATTERNS [TEXTS ...] [--repeats N] [--kind K] [--lines] [--once]\n");
    return 2;
  }
  if (once) repeats = 1;
  const std::string pattern_data = read_file(files[0]);
  const std::vector<std::string_view> patterns = split_items(pattern_data, lines);
  size_t pattern_bytes = 0;
  for (std::string_view p : patterns) pattern_bytes += p.size();

  std::vector<double> build_s;
  std::unique_ptr<Matcher> m;
  for (int r = 0; r < repeats; ++r) {
    m.reset();
    const double t0 = cpu_now();
    auto built = Matcher::build(PatternSpan(patterns), kind);
    build_s.push_back(cpu_now() - t0);
    if (!built.ok()) {
      std::fprintf(stderr, "build failed: %s\n", built.status().message().c_str());
      return 1;
    }
    m = std::move(built.value());
  }
  std::printf("patterns %zu (%zu bytes): build %.3f s cpu, %s, %zu bytes (%.2f per pattern byte)\n",
              patterns.size(), pattern_bytes, median(build_s),
              m->kind() == MatcherKind::Dense ? "dense" : "compact", m->memory_usage(),
              static_cast<double>(m->memory_usage()) / static_cast<double>(std::max<size_t>(1, pattern_bytes)));

  for (size_t f = 1; f < files.size(); ++f) {
    const std::string data = read_file(files[f]);
    std::vector<std::string_view> texts;
    if (lines) {
      texts.emplace_back(data);
    } else {
      texts = split_items(data, false);
    }
    size_t bytes = 0;
    for (std::string_view t : texts) bytes += t.size();
    size_t matches = 0;
    std::vector<double> secs;
    for (int r = 0; r < repeats; ++r) {
      size_t count = 0;
      const double t0 = cpu_now();
      int loops = 0;
      do {
        for (std::string_view t : texts) m->for_each_match(t, [&](const Match&) { ++count; });
        ++loops;
      } while (!once && cpu_now() - t0 < 0.05);
      secs.push_back((cpu_now() - t0) / loops);
      matches = count / static_cast<size_t>(loops);
    }
    const double s = median(secs);
    std::printf("  %s: %zu texts, %zu bytes, %zu matches: %.1f MB/s, %.3f us per text\n", files[f], texts.size(),
                bytes, matches, static_cast<double>(bytes) / s / 1e6, s / static_cast<double>(texts.size()) * 1e6);
  }
  return 0;
}
