#include "index/matcher_trie.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "index/pattern_sort.h"

namespace vedra::matcher_internal {

Status state_overflow(uint64_t limit, const char* what) {
  return Status::Error(
      "state identifier overflow: failed to create automaton state, too many states (the "
      "automaton for these patterns needs more than " +
      std::to_string(limit) + " " + what + "; use fewer or shorter patterns)");
}

Result<Trie> Trie::build(PatternSpan patterns, uint64_t max_states) {
  Trie t;
  if (max_states < 2) return state_overflow(max_states, "states");
  for (const std::string_view p : patterns) {
    if (!p.empty()) t.first_bytes_[static_cast<unsigned char>(p[0])] = true;
  }
  t.prefilter_ = Prefilter::build(patterns, t.first_bytes_);
  const std::vector<SortedPattern> sorted = sort_patterns(patterns);

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
  {
    uint32_t at = 2, count = 0;
    for (size_t d = 1; d <= max_size; ++d) {
      count += next[d];
      next[d] = at;
      at += count;
    }
    next[max_size + 1] = at;  // == n
  }
  next[0] = kStart;
  t.level_begin_ = next;

  // One sweep creates every state: the state at depth d of pattern i takes
  // the next id of level d (one write stream per level), and counts itself
  // as a child of the state at depth d - 1 on the path of pattern i. A
  // pattern's states below its end are prefixes of patterns sorted later
  // and never end a pattern themselves (a prefix sorts first).
  t.child_begin_.assign(static_cast<size_t>(n) + 1, 0);
  t.child_class_.resize(n);
  // Filled ahead in one sequential pass each: the sweep then writes only the
  // states that end a pattern, instead of one more stream per depth.
  t.reported_.assign(n, kNoPattern);
  t.reported_length_.assign(n, 0);
  t.child_class_[kDead] = t.child_class_[kStart] = 0;
  // Edges take their bytes first and their classes after the sweep: every
  // byte of every pattern labels some edge, so the edges alone say which
  // bytes are used, and reading them costs one pass over the states rather
  // than one over all the pattern bytes.
  uint32_t* child_count = t.child_begin_.data();
  std::array<bool, 256> used{};
  std::vector<uint32_t> path(max_size + 1, kStart);
  for (size_t i = 0; i < sorted.size(); ++i) {
    const SortedPattern& sp = sorted[i];
    if (i + 8 < sorted.size() && sorted[i + 8].size > 16) __builtin_prefetch(sorted[i + 8].data + 16);
    const size_t size = sp.size;
    if (lcp[i] == size) continue;  // a repeated text: the first (lowest number) reports
    for (size_t d = lcp[i]; d < size; ++d) {
      const uint32_t s = next[d + 1]++;
      ++child_count[path[d]];
      const uint8_t b = byte_at(sp, d);
      used[b] = true;
      t.child_class_[s] = b;
      path[d + 1] = s;
    }
    const uint32_t s = path[size];
    t.reported_[s] = sp.number;
    t.reported_length_[s] = static_cast<uint32_t>(size);
  }
  t.classes_ = ByteClasses::from_used(used);
  for (uint32_t s = 2; s < n; ++s) t.child_class_[s] = t.classes_.get(t.child_class_[s]);
  t.walk_lcp_ = std::move(lcp);
  t.walk_size_.resize(sorted.size());
  for (size_t i = 0; i < sorted.size(); ++i) t.walk_size_[i] = sorted[i].size;

  // Parents are non-decreasing in id, so each state's children are the
  // consecutive ids [child_begin_[s], child_begin_[s + 1]) and the counts
  // become offsets by a running sum from the first child id, 2.
  {
    uint32_t at = 2;
    for (uint32_t s = 0; s <= n; ++s) {
      const uint32_t c = child_count[s];
      child_count[s] = at;
      at += c;
    }
  }
  t.fill_failure_links();
  return t;
}

void Trie::fill_failure_links() {
  const uint32_t n = num_states();
  fail_.resize(n);
  fail_[kDead] = kDead;
  fail_[kStart] = kStart;
  // Most failure chains end at the start state, whose child list is long:
  // its transitions by class, as a table.
  std::array<uint32_t, 256> start_child{};
  for_each_child(kStart, [&](uint32_t c, uint32_t s) {
    start_child[c] = s;
    fail_[s] = reported_[s] != kNoPattern ? kDead : kStart;
  });
  // Parents in id order and each one's children: breadth first, so a
  // state's parent, and every state on the parent's failure chain, come
  // before it.
  for (uint32_t u = first_child(kStart); u < n; ++u) {
    const uint32_t fu = fail_[u];
    for (uint32_t v = child_begin_[u], end = child_begin_[u + 1]; v < end; ++v) {
      if (reported_[v] != kNoPattern) {
        // A state that ends a pattern never fails: once its match is seen,
        // no match starting later may be reported instead.
        fail_[v] = kDead;
        continue;
      }
      const uint32_t c = child_class_[v];
      uint32_t f = fu;
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
      fail_[v] = f;
      if (f != kDead) {
        reported_[v] = reported_[f];
        reported_length_[v] = reported_length_[f];
      }
    }
  }
}

}  // namespace vedra::matcher_internal
