#include "index/matcher_dense.h"

#include <algorithm>
#include <cstring>

namespace vedra::matcher_internal {

namespace {

uint32_t stride_shift(uint32_t nclasses) {
  uint32_t shift = 0;
  while ((1u << shift) < nclasses) ++shift;
  return shift;
}

}  // namespace

uint64_t DenseDfa::table_entries(const Trie& trie) {
  return static_cast<uint64_t>(trie.num_states()) << stride_shift(trie.classes().count());
}

Result<DenseDfa> DenseDfa::build(const Trie& trie, uint64_t max_table_entries) {
  const uint64_t entries = table_entries(trie);
  if (entries > max_table_entries) return state_overflow(max_table_entries, "transition table entries");

  DenseDfa d;
  d.classes_ = trie.classes();
  d.prefilter_ = trie.prefilter();
  d.stride2_ = stride_shift(d.classes_.count());
  d.empty_ = trie.bfs_order().size() <= 1;
  const uint32_t nclasses = d.classes_.count();
  const auto bfs = trie.bfs_order();

  // Row order: dead, match states, start, the rest.
  std::vector<uint32_t> row_of(trie.num_states(), 0);
  uint32_t next_row = 1;
  for (uint32_t s : bfs) {
    const uint32_t p = trie.reported_pattern(s);
    if (p == kNoPattern) continue;
    row_of[s] = next_row++;
    d.match_pattern_.push_back(p);
    d.match_len_.push_back(trie.reported_length(s));
  }
  row_of[kStart] = next_row++;
  for (uint32_t s : bfs) {
    if (s != kStart && trie.reported_pattern(s) == kNoPattern) row_of[s] = next_row++;
  }
  const uint32_t shift = d.stride2_;
  auto id = [&](uint32_t s) { return row_of[s] << shift; };
  d.start_ = id(kStart);

  d.table_.assign(static_cast<size_t>(entries), 0);
  uint32_t* table = d.table_.data();
  // Breadth-first order fills a state's failure row before the state's own.
  for (uint32_t s : bfs) {
    uint32_t* row = table + id(s);
    if (s == kStart) {
      std::fill(row, row + nclasses, d.start_);
    } else if (trie.fail(s) != kDead) {
      std::memcpy(row, table + id(trie.fail(s)), nclasses * sizeof(uint32_t));
    }
    trie.for_each_child(s, [&](uint32_t c, uint32_t child) { row[c] = id(child); });
  }
  return d;
}

bool DenseDfa::find(const uint8_t* h, size_t n, size_t at, PrefilterState* state, Match* out) const {
  if (empty_) return false;
  const uint32_t* table = table_.data();
  const uint8_t* classes = classes_.table();
  const uint32_t start = start_;
  // Ids up to `special` need a look: dead, the match states and, while the
  // prefilter is in use, the start state (see the row order).
  const bool prefilter = prefilter_.active() && !state->inert;
  uint32_t special = prefilter ? start : start - (1u << stride2_);
  uint32_t s = start;
  uint32_t last = kDead;
  size_t last_end = 0;
  if (prefilter) at = prefilter_.next_candidate(h, at, n, state);
  while (at < n) {
    s = table[s + classes[h[at]]];
    ++at;
    if (s <= special) {
      if (s == start) {
        at = prefilter_.next_candidate(h, at, n, state);
        if (state->inert) special = start - (1u << stride2_);
      } else if (s == kDead) {
        break;
      } else {
        last = s;
        last_end = at;
      }
    }
  }
  if (last == kDead) return false;
  const uint32_t m = (last >> stride2_) - 1;
  out->pattern = match_pattern_[m];
  out->start = last_end - match_len_[m];
  out->end = last_end;
  return true;
}

size_t DenseDfa::memory_usage() const {
  return table_.capacity() * sizeof(uint32_t) + match_pattern_.capacity() * sizeof(uint32_t) +
         match_len_.capacity() * sizeof(uint32_t) + prefilter_.memory_usage();
}

}  // namespace vedra::matcher_internal
