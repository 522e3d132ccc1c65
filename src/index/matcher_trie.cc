#include "index/matcher_trie.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <tuple>
#include <utility>

namespace vedra::matcher_internal {

namespace {

struct SortedPattern {
  uint64_t prefix[2];  // first 16 bytes, big-endian, zero-padded
  std::string_view text;
  uint32_t number;
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
  return static_cast<uint8_t>(sp.text[d]);
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
    keys.push_back(SortedPattern{{big_endian_word(p, 0), big_endian_word(p, 8)}, p, static_cast<uint32_t>(i)});
  }
  // Differing prefixes order the texts correctly: at the first differing
  // byte either both texts have a byte, or the shorter text has ended and
  // is a prefix of the longer. Equal prefixes need the full comparison.
  std::sort(keys.begin(), keys.end(), [](const SortedPattern& a, const SortedPattern& b) {
    if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
    if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
    const int c = a.text.compare(b.text);
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
  uint64_t total_bytes = 0;
  for (const std::string_view p : patterns) {
    if (p.empty()) continue;
    total_bytes += p.size();
    for (unsigned char b : p) used[b] = true;
    t.first_bytes_[static_cast<unsigned char>(p[0])] = true;
  }
  const std::vector<SortedPattern> sorted = sort_patterns(patterns);
  t.classes_ = ByteClasses::from_used(used);

  // Insert in sorted order: each pattern shares its longest common prefix
  // with the previous one and adds states for the rest, so states are
  // created in depth-first preorder and children in ascending byte (hence
  // class) order. path[d] is the state of the previous pattern's prefix of
  // length d.  Bytes within the 16-byte key prefix are read from the key,
  // so short patterns never touch their text here.
  const size_t reserve = static_cast<size_t>(std::min<uint64_t>(total_bytes + 2, max_states));
  std::vector<uint32_t> parent;
  std::vector<uint8_t> in_class;
  std::vector<uint8_t> ends_pattern;
  parent.reserve(reserve);
  in_class.reserve(reserve);
  ends_pattern.reserve(reserve);
  t.depth_.reserve(reserve);
  for (int i = 0; i < 2; ++i) {  // kDead, kStart
    parent.push_back(kDead);
    in_class.push_back(0);
    ends_pattern.push_back(0);
    t.depth_.push_back(0);
  }
  std::vector<uint32_t> path = {kStart};
  const SortedPattern* prev = nullptr;
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> ended;  // (state, pattern, length)
  ended.reserve(sorted.size());
  for (size_t i = 0; i < sorted.size(); ++i) {
    const SortedPattern& sp = sorted[i];
    if (i + 8 < sorted.size() && sorted[i + 8].text.size() > 16) __builtin_prefetch(sorted[i + 8].text.data() + 16);
    const size_t size = sp.text.size();
    size_t common = 0;
    if (prev != nullptr) {
      const size_t limit = std::min(prev->text.size(), size);
      common = std::min(limit, common_key_prefix(*prev, sp));
      if (common == 16) {
        while (common < limit && prev->text[common] == sp.text[common]) ++common;
      }
    }
    if (size + 1 > path.size()) path.resize(size + 1);
    for (size_t d = common; d < size; ++d) {
      if (parent.size() >= max_states) return state_overflow(max_states, "states");
      const uint32_t s = static_cast<uint32_t>(parent.size());
      parent.push_back(path[d]);
      in_class.push_back(t.classes_.get(byte_at(sp, d)));
      ends_pattern.push_back(0);
      t.depth_.push_back(static_cast<uint8_t>(std::min<size_t>(d + 1, 255)));
      path[d + 1] = s;
    }
    const uint32_t s = path[size];
    if (!ends_pattern[s]) {  // sorted by number among equal texts: the first is the lowest
      ends_pattern[s] = 1;
      ended.emplace_back(s, sp.number, static_cast<uint32_t>(size));
    }
    prev = &sp;
  }

  // Gather children per parent. Preorder ids visit each parent's children in
  // ascending class order, so the lists come out sorted.
  const uint32_t n = static_cast<uint32_t>(parent.size());
  t.child_begin_.assign(static_cast<size_t>(n) + 1, 0);
  for (uint32_t s = 2; s < n; ++s) ++t.child_begin_[parent[s] + 1];
  for (uint32_t s = 0; s < n; ++s) t.child_begin_[s + 1] += t.child_begin_[s];
  t.child_id_.resize(n > 2 ? n - 2 : 0);
  t.child_class_.resize(t.child_id_.size());
  {
    std::vector<uint32_t> fill(t.child_begin_.begin(), t.child_begin_.end() - 1);
    for (uint32_t s = 2; s < n; ++s) {
      const uint32_t at = fill[parent[s]]++;
      t.child_id_[at] = s;
      t.child_class_[at] = in_class[s];
    }
  }
  parent = {};
  in_class = {};
  t.reported_.assign(n, kNoPattern);
  t.reported_length_.assign(n, 0);
  for (const auto& [s, pattern, length] : ended) {
    t.reported_[s] = pattern;
    t.reported_length_[s] = length;
  }
  ended = {};
  t.fill_failure_links(ends_pattern);
  return t;
}

void Trie::fill_failure_links(const std::vector<uint8_t>& ends_pattern) {
  fail_.assign(depth_.size(), kDead);
  bfs_.clear();
  bfs_.reserve(num_states() - 1);
  bfs_.push_back(kStart);
  fail_[kStart] = kStart;
  // Most failure chains end at the start state, whose child list is long:
  // its transitions by class, as a table.
  std::array<uint32_t, 256> start_child{};
  for_each_child(kStart, [&](uint32_t c, uint32_t s) { start_child[c] = s; });
  constexpr size_t kAhead = 16;  // queue entries whose rows are fetched early
  for (size_t head = 0; head < bfs_.size(); ++head) {
    if (head + kAhead < bfs_.size()) {
      const uint32_t next = bfs_[head + kAhead];
      __builtin_prefetch(&child_begin_[next]);
      __builtin_prefetch(&fail_[next]);
    }
    const uint32_t u = bfs_[head];
    const uint32_t fail_u = fail_[u];
    for (uint32_t i = child_begin_[u], end = child_begin_[u + 1]; i < end; ++i) {
      const uint32_t v = child_id_[i];
      const uint32_t c = child_class_[i];
      bfs_.push_back(v);
      if (ends_pattern[v]) {
        // A state that ends a pattern never fails: once its match is seen,
        // no match starting later may be reported instead.
        continue;  // fail_[v] is kDead already
      }
      uint32_t f;
      if (u == kStart) {
        f = kStart;
      } else {
        f = fail_u;
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
}

}  // namespace vedra::matcher_internal
