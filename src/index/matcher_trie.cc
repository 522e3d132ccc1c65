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
  sort_patterns(patterns, t.scratch_);
  const size_t count = t.scratch_.size();
  // The common prefixes follow the records in the same pages.
  t.scratch_.extend((count * sizeof(uint32_t) + sizeof(SortedPattern) - 1) / sizeof(SortedPattern));
  const SortedPattern* sorted = t.scratch_.data();
  uint32_t* lcp = reinterpret_cast<uint32_t*>(t.scratch_.data() + count);

  // In sorted order, pattern i shares its first lcp[i] bytes with pattern
  // i - 1 and creates one state at each depth in (lcp[i], size]. (The
  // patterns between two that share a prefix of length d all share it, so
  // a state at depth d is new exactly when lcp[i] < d.) Bytes within the
  // 16-byte key prefix are read from the key, so short patterns never touch
  // their text here.
  size_t max_size = 0;
  uint64_t states = 2;
  for (size_t i = 0; i < count; ++i) {
    const SortedPattern& sp = sorted[i];
    if (i + 8 < count && sorted[i + 8].size > 16) __builtin_prefetch(sorted[i + 8].data + 16);
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
  for (size_t i = 0; i < count; ++i) {
    ++next[lcp[i] + 1];
    --next[sorted[i].size + 1];  // wraps and unwraps: only sums are read
  }
  {
    uint32_t at = 2, level_count = 0;
    for (size_t d = 1; d <= max_size; ++d) {
      level_count += next[d];
      next[d] = at;
      at += level_count;
    }
    next[max_size + 1] = at;  // == n
  }
  next[0] = kStart;
  t.level_begin_ = next;

  // The per-state words that replace the records once they are consumed
  // (fill_failure_links()); growing moves pages, so the records are found
  // again after it.
  const size_t scratch_bytes = 2 * sizeof(uint32_t) * static_cast<size_t>(n);
  const size_t scratch_records = (scratch_bytes + sizeof(SortedPattern) - 1) / sizeof(SortedPattern);
  if (scratch_records > t.scratch_.size()) t.scratch_.extend(scratch_records - t.scratch_.size());
  sorted = t.scratch_.data();
  lcp = reinterpret_cast<uint32_t*>(t.scratch_.data() + count);

  // One sweep creates every state: the state at depth d of pattern i takes
  // the next id of level d (one write stream per level), and counts itself
  // as a child of the state at depth d - 1 on the path of pattern i. A
  // pattern's states below its end are prefixes of patterns sorted later
  // and never end a pattern themselves (a prefix sorts first).
  // Never written before: the counts start at zero and no state reports a
  // pattern, and the sweep writes only the states that end one.
  uint32_t* child_count = t.child_begin_.extend(static_cast<size_t>(n) + 1);
  uint8_t* child_class = t.child_class_.extend(n);
  uint32_t* reported = t.reported_.extend(n);
  child_class[kDead] = child_class[kStart] = 0;
  // Edges take their bytes first and their classes after the sweep: every
  // byte of every pattern labels some edge, so the edges alone say which
  // bytes are used, and reading them costs one pass over the states rather
  // than one over all the pattern bytes.
  std::array<bool, 256> used{};
  std::vector<uint32_t> path(max_size + 1, kStart);
  for (size_t i = 0; i < count; ++i) {
    const SortedPattern& sp = sorted[i];
    if (i + 8 < count && sorted[i + 8].size > 16) __builtin_prefetch(sorted[i + 8].data + 16);
    const size_t size = sp.size;
    if (lcp[i] == size) continue;  // a repeated text: the first (lowest number) reports
    for (size_t d = lcp[i]; d < size; ++d) {
      const uint32_t s = next[d + 1]++;
      ++child_count[path[d]];
      const uint8_t b = byte_at(sp, d);
      used[b] = true;
      child_class[s] = b;
      path[d + 1] = s;
    }
    reported[path[size]] = sp.number + 1;
  }
  t.classes_ = ByteClasses::from_used(used);
  for (uint32_t s = 2; s < n; ++s) child_class[s] = t.classes_.get(child_class[s]);

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
  uint32_t* const fail = fail_words();
  uint32_t* const length = fail + n;
  uint32_t* const reported = reported_.data();
  fail[kDead] = kDead;
  fail[kStart] = kStart;
  // Most failure chains end at the start state, whose child list is long:
  // its transitions by class, as a table.
  std::array<uint32_t, 256> start_child{};
  for_each_child(kStart, [&](uint32_t c, uint32_t s) {
    start_child[c] = s;
    fail[s] = reported[s] != 0 ? kDead : kStart;
    length[s] = 1;
  });
  // Parents in id order and each one's children: breadth first, so a
  // state's parent, and every state on the parent's failure chain, come
  // before it. A state that ends a pattern reports it at its own depth.
  uint32_t depth = 1;  // of u's children
  for (uint32_t u = first_child(kStart); u < n; ++u) {
    while (u >= level_begin_[depth]) ++depth;
    const uint32_t fu = fail[u];
    for (uint32_t v = child_begin_[u], end = child_begin_[u + 1]; v < end; ++v) {
      if (reported[v] != 0) {
        // A state that ends a pattern never fails: once its match is seen,
        // no match starting later may be reported instead.
        fail[v] = kDead;
        length[v] = depth;
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
        f = fail[f];
      }
      fail[v] = f;
      if (f != kDead) {
        reported[v] = reported[f];
        length[v] = length[f];
      }
    }
  }
}

}  // namespace vedra::matcher_internal
