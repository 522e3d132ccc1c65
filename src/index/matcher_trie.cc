#include "index/matcher_trie.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <tuple>
#include <utility>

namespace vedra::matcher_internal {

namespace {

// 32 bytes: the sort moves these records around, so they are kept small.
struct SortedPattern {
  uint64_t prefix[2];  // first 16 bytes, big-endian, zero-padded
  const char* data;
  uint32_t size;       // at most 2,147,483,646 (the build's limit)
  uint32_t number;
  std::string_view text() const { return std::string_view(data, size); }
};

uint64_t big_endian_word(std::string_view p, size_t from) {
  uint64_t w = 0;
  if (p.size() >= from + 8) {
    std::memcpy(&w, p.data() + from, 8);
    return __builtin_bswap64(w);
  }
  for (size_t k = from; k < from + 8; ++k) w = (w << 8) | (k < p.size() ? static_cast<uint8_t>(p[k]) : 0u);
  return w;
}

// Byte d of the pattern, from the key while d < 16.
inline uint8_t byte_at(const SortedPattern& sp, size_t d) {
  if (d < 16) return static_cast<uint8_t>(sp.prefix[d / 8] >> (56 - 8 * (d % 8)));
  return static_cast<uint8_t>(sp.data[d]);
}

// Length of the common prefix of the two 16-byte keys (16 when equal).  Zero
// padding may make it overshoot the shorter text; callers clamp it.
inline size_t common_key_prefix(const SortedPattern& a, const SortedPattern& b) {
  const uint64_t x0 = a.prefix[0] ^ b.prefix[0];
  if (x0 != 0) return static_cast<size_t>(__builtin_clzll(x0) / 8);
  const uint64_t x1 = a.prefix[1] ^ b.prefix[1];
  if (x1 != 0) return 8 + static_cast<size_t>(__builtin_clzll(x1) / 8);
  return 16;
}

// Sorts the non-empty patterns by (text, number). Compares the 16-byte
// prefix held in the key first, so that most comparisons touch neither the
// strings nor their buffers (names in CJK scripts share 8-byte prefixes
// often; 16 bytes settle nearly all).
std::vector<SortedPattern> sort_patterns(PatternSpan patterns) {
  std::vector<SortedPattern> keys;
  keys.reserve(patterns.size());
  for (size_t i = 0; i < patterns.size(); ++i) {
    const std::string_view p = patterns[i];
    if (p.empty()) continue;
    keys.push_back(SortedPattern{{big_endian_word(p, 0), big_endian_word(p, 8)}, p.data(), static_cast<uint32_t>(p.size()),
                                 static_cast<uint32_t>(i)});
  }
  // Differing prefixes order the texts correctly: at the first differing
  // byte either both texts have a byte, or the shorter text has ended and
  // is a prefix of the longer. Equal prefixes need the full comparison.
  std::sort(keys.begin(), keys.end(), [](const SortedPattern& a, const SortedPattern& b) {
    if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
    if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    // Equal keys of texts of 16 bytes or more: the first 16 bytes agree.
    const size_t skip = a.size >= 16 && b.size >= 16 ? 16 : 0;
    const int c = a.text().substr(skip).compare(b.text().substr(skip));
    return c < 0 || (c == 0 && a.number < b.number);
  });
  return keys;
}

}  // namespace

Status state_overflow(uint64_t limit, const char* what) {
  return Status::Error(
      "state identifier overflow: failed to create automaton state, too many states (the "
      "automaton for these patterns needs more than " +
      std::to_string(limit) + " " + what + "; use fewer or shorter patterns)");
}

Result<Trie> Trie::build(PatternSpan patterns, uint64_t max_states) {
  Trie t;
  if (max_states < 2) return state_overflow(max_states, "states");
  std::array<bool, 256> used{};
  for (const std::string_view p : patterns) {
    if (p.empty()) continue;
    for (unsigned char b : p) used[b] = true;
    t.first_bytes_[static_cast<unsigned char>(p[0])] = true;
  }
  t.prefilter_ = Prefilter::build(patterns, t.first_bytes_);
  const std::vector<SortedPattern> sorted = sort_patterns(patterns);
  t.classes_ = ByteClasses::from_used(used);

  // In sorted order, pattern i shares its first lcp[i] bytes with pattern
  // i - 1 and creates one state at each depth in (lcp[i], size]. (The
  // patterns between two that share a prefix of length d all share it, so
  // a state at depth d is new exactly when lcp[i] < d.) Bytes within the
  // 16-byte key prefix are read from the key, so short patterns never touch
  // their text here.
  std::vector<uint32_t> lcp(sorted.size());
  size_t max_size = 0;
  uint64_t states = 2;
  for (size_t i = 0; i < sorted.size(); ++i) {
    const SortedPattern& sp = sorted[i];
    if (i + 8 < sorted.size() && sorted[i + 8].size > 16) __builtin_prefetch(sorted[i + 8].data + 16);
    const size_t size = sp.size;
    size_t common = 0;
    if (i > 0) {
      const SortedPattern& prev = sorted[i - 1];
      const size_t limit = std::min<size_t>(prev.size, size);
      common = std::min(limit, common_key_prefix(prev, sp));
      if (common == 16) {
        while (common < limit && prev.data[common] == sp.data[common]) ++common;
      }
    }
    lcp[i] = static_cast<uint32_t>(common);
    max_size = std::max(max_size, size);
    states += size - common;
    if (states > max_states) return state_overflow(max_states, "states");
  }

  // Breadth-first ids: level by level, and within a level in the sorted
  // order of the prefixes. level_begin[d] is the first id at depth d.
  const uint32_t n = static_cast<uint32_t>(states);
  std::vector<uint32_t> next(max_size + 2, 0);  // first the per-depth counts
  for (size_t i = 0; i < sorted.size(); ++i) {
    ++next[lcp[i] + 1];
    --next[sorted[i].size + 1];  // wraps and unwraps: only sums are read
  }
  t.depth_.assign(n, 0);
  {
    uint32_t at = 2, count = 0;
    for (size_t d = 1; d <= max_size; ++d) {
      count += next[d];
      next[d] = at;
      std::fill(t.depth_.begin() + at, t.depth_.begin() + at + count, static_cast<uint8_t>(std::min<size_t>(d, 255)));
      at += count;
    }
  }
  t.level_begin_ = next;

  // One sweep creates every state: the state at depth d of pattern i takes
  // the next id of level d (one write stream per level), its parent is the
  // state at depth d - 1 on the path of pattern i.
  std::vector<uint32_t> parent(n, kDead);
  t.child_class_.assign(n, 0);
  t.reported_.assign(n, kNoPattern);
  t.reported_length_.assign(n, 0);
  parent[kStart] = kDead;
  std::vector<uint32_t> path(max_size + 1, kStart);
  for (size_t i = 0; i < sorted.size(); ++i) {
    const SortedPattern& sp = sorted[i];
    if (i + 8 < sorted.size() && sorted[i + 8].size > 16) __builtin_prefetch(sorted[i + 8].data + 16);
    const size_t size = sp.size;
    for (size_t d = lcp[i]; d < size; ++d) {
      const uint32_t s = next[d + 1]++;
      parent[s] = path[d];
      t.child_class_[s] = t.classes_.get(byte_at(sp, d));
      path[d + 1] = s;
    }
    const uint32_t s = path[size];
    if (t.reported_[s] == kNoPattern) {  // sorted by number among equal texts: the first is the lowest
      t.reported_[s] = sp.number;
      t.reported_length_[s] = static_cast<uint32_t>(size);
    }
  }
  t.walk_lcp_ = std::move(lcp);
  t.walk_size_.resize(sorted.size());
  for (size_t i = 0; i < sorted.size(); ++i) t.walk_size_[i] = sorted[i].size;
  next = {};

  // Parents are non-decreasing in id, so each state's children are the
  // consecutive ids [child_begin_[s], child_begin_[s + 1]).
  t.child_begin_.resize(static_cast<size_t>(n) + 1);
  {
    uint32_t p = 0;
    for (uint32_t s = 2; s < n; ++s) {
      while (p <= parent[s]) t.child_begin_[p++] = s;
    }
    while (p <= n) t.child_begin_[p++] = n;
  }
  t.fill_failure_links(parent);
  return t;
}

void Trie::fill_failure_links(const std::vector<uint32_t>& parent) {
  const uint32_t n = num_states();
  fail_.assign(n, kDead);
  fail_[kStart] = kStart;
  // Most failure chains end at the start state, whose child list is long:
  // its transitions by class, as a table.
  std::array<uint32_t, 256> start_child{};
  for_each_child(kStart, [&](uint32_t c, uint32_t s) { start_child[c] = s; });
  // Ids are breadth first: a state's parent, and every state on the
  // parent's failure chain, come before it.
  for (uint32_t v = 2; v < n; ++v) {
    if (reported_[v] != kNoPattern) {
      // A state that ends a pattern never fails: once its match is seen,
      // no match starting later may be reported instead.
      continue;  // fail_[v] is kDead already
    }
    const uint32_t u = parent[v];
    const uint32_t c = child_class_[v];
    uint32_t f;
    if (u == kStart) {
      f = kStart;
    } else {
      f = fail_[u];
      for (;;) {
        if (f == kDead) break;
        const uint32_t x = f == kStart ? start_child[c] : child(f, c);
        if (x != 0) {
          f = x;
          break;
        }
        if (f == kStart) break;
        f = fail_[f];
      }
    }
    fail_[v] = f;
    if (f != kDead) {
      reported_[v] = reported_[f];
      reported_length_[v] = reported_length_[f];
    }
  }
}

}  // namespace vedra::matcher_internal
