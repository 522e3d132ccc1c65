#include "index/matcher_trie.h"

#include <algorithm>
#include <utility>

namespace vedra::matcher_internal {

Status state_overflow(uint64_t limit, const char* what) {
  return Status::Error(
      "state identifier overflow: failed to create automaton state, too many states (the "
      "automaton for these patterns needs more than " +
      std::to_string(limit) + " " + what + "; use fewer or shorter patterns)");
}

uint32_t Trie::add_state(uint32_t parent, uint32_t c) {
  const uint32_t s = num_states();
  first_child_.push_back(0);
  next_sibling_.push_back(0);
  in_class_.push_back(static_cast<uint8_t>(c));
  num_children_.push_back(0);
  depth_.push_back(parent == kDead ? 0 : static_cast<uint8_t>(std::min<uint32_t>(depth_[parent] + 1u, 255u)));
  ends_pattern_.push_back(0);
  row_.push_back(kNoRow);
  fail_.push_back(kDead);
  reported_.push_back(kNoPattern);
  return s;
}

Result<Trie> Trie::build(const std::vector<std::string>& patterns, uint64_t max_states) {
  Trie t;
  uint64_t total_bytes = 0;
  std::array<bool, 256> used{};
  for (const std::string& p : patterns) {
    total_bytes += p.size();
    for (unsigned char b : p) used[b] = true;
    if (!p.empty()) t.first_bytes_[static_cast<unsigned char>(p[0])] = true;
  }
  t.classes_ = ByteClasses::from_used(used);
  const uint32_t nclasses = t.classes_.count();

  // Every pattern byte creates at most one state, so total_bytes + 2 bounds
  // the state count; the per-state check below is needed only when that
  // bound exceeds the limit.
  const bool must_check = total_bytes + 2 > max_states;
  if (max_states < 2) return state_overflow(max_states, "states");
  const size_t reserve = static_cast<size_t>(std::min<uint64_t>(total_bytes + 2, max_states));
  t.first_child_.reserve(reserve);
  t.next_sibling_.reserve(reserve);
  t.in_class_.reserve(reserve);
  t.num_children_.reserve(reserve);
  t.depth_.reserve(reserve);
  t.ends_pattern_.reserve(reserve);
  t.row_.reserve(reserve);
  t.fail_.reserve(reserve);
  t.reported_.reserve(reserve);
  t.add_state(kDead, 0);  // kDead
  t.add_state(kDead, 0);  // kStart

  for (size_t i = 0; i < patterns.size(); ++i) {
    const std::string& p = patterns[i];
    if (p.empty()) continue;
    uint32_t s = kStart;
    for (unsigned char b : p) {
      const uint32_t c = t.classes_.get(b);
      uint32_t next = 0;
      uint32_t prev = 0;  // list predecessor of the insertion point
      if (t.row_[s] != kNoRow) {
        next = t.rows_[static_cast<size_t>(t.row_[s]) * nclasses + c];
      }
      if (next == 0) {
        // Walk the sorted child list to the match or the insertion point.
        // (Promoted states keep their list too; for_each_child reads the row.)
        uint32_t cur = t.first_child_[s];
        while (cur != 0 && t.in_class_[cur] < c) {
          prev = cur;
          cur = t.next_sibling_[cur];
        }
        if (cur != 0 && t.in_class_[cur] == c) {
          next = cur;
        } else {
          if (must_check && t.num_states() >= max_states) return state_overflow(max_states, "states");
          next = t.add_state(s, c);
          t.next_sibling_[next] = cur;
          if (prev == 0) {
            t.first_child_[s] = next;
          } else {
            t.next_sibling_[prev] = next;
          }
          const uint32_t n = ++t.num_children_[s];
          if (t.row_[s] != kNoRow) {
            t.rows_[static_cast<size_t>(t.row_[s]) * nclasses + c] = next;
          } else if (n >= kPromoteChildren) {
            t.row_[s] = static_cast<uint32_t>(t.rows_.size() / nclasses);
            const size_t base = t.rows_.size();
            t.rows_.resize(base + nclasses, 0);
            for (uint32_t x = t.first_child_[s]; x != 0; x = t.next_sibling_[x]) {
              t.rows_[base + t.in_class_[x]] = x;
            }
          }
        }
      }
      s = next;
    }
    if (!t.ends_pattern_[s]) {
      t.ends_pattern_[s] = 1;
      t.reported_[s] = static_cast<uint32_t>(i);
    }
  }
  t.fill_failure_links();
  return t;
}

void Trie::fill_failure_links() {
  bfs_.clear();
  bfs_.reserve(num_states() - 1);
  bfs_.push_back(kStart);
  fail_[kStart] = kStart;
  for (size_t head = 0; head < bfs_.size(); ++head) {
    const uint32_t u = bfs_[head];
    for_each_child(u, [&](uint32_t c, uint32_t v) {
      bfs_.push_back(v);
      uint32_t f;
      if (ends_pattern_[v]) {
        // A state that ends a pattern never fails: once its match is seen,
        // no match starting later may be reported instead.
        f = kDead;
      } else if (u == kStart) {
        f = kStart;
      } else {
        f = fail_[u];
        for (;;) {
          if (f == kDead) break;
          const uint32_t x = child(f, c);
          if (x != 0) {
            f = x;
            break;
          }
          if (f == kStart) break;
          f = fail_[f];
        }
      }
      fail_[v] = f;
      if (!ends_pattern_[v] && f != kDead) reported_[v] = reported_[f];
    });
  }
}

}  // namespace vedra::matcher_internal
