#include "index/matcher_compact.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vedra::matcher_internal {

namespace {

constexpr uint32_t kDenseTag = 255;
// Header bits of the states where a search may have to stop and look: dead
// and match states always, the start state while the prefilter is in use.
constexpr uint32_t kStopBit = 1u << 16;
constexpr uint32_t kStartBit = 1u << 17;

// States at most this deep are dense (within the budget): the search passes
// through them after almost every failure. (Depth 3 saves about a tenth of
// the search work on Chinese names but takes a third more memory.)
constexpr uint32_t kDenseDepth = 2;
// Deeper states with at least this many children are dense (within the
// budget): a sparse scan of them would be long.
constexpr uint32_t kDenseChildren = 16;
// Dense rows may take at most this many words per state on average, plus a
// fixed allowance, which keeps memory linear in the number of states.
constexpr uint64_t kDenseWordsPerState = 2;
constexpr uint64_t kDenseWordsBase = 1u << 16;
// Until dense rows take this many words, a state of any depth may be dense
// (within the budget): a small automaton is then dense where a search spends
// its time, while a large one spends the words on depth 1 and 2 before it
// gets deeper and is not changed. (Dictionary words over English text: 270 to
// about 400 MB/s for 2,663 words.)
constexpr uint64_t kDenseWordsAnyDepth = 1u << 17;
// Trailing words so that a 16-byte class scan never reads past repr_.
constexpr size_t kPadWords = 4;

uint32_t sparse_words(uint32_t n) { return n == 1 ? 1 : (n + 3) / 4 + n; }

// The next state from s (whose header word is `header`) on byte class c,
// following failure links from sparse states until a transition or a dense
// state is found. The 16-byte class scan may read up to 15 bytes past a
// class list; they belong to the same state's next ids (n > 4), and a hit
// there is rejected by the bound check.
inline uint32_t next_state(const uint32_t* repr, uint32_t s, uint32_t header, uint32_t c) {
  for (;;) {
    const uint32_t* p = repr + s;
    const uint32_t n = header & 0xFF;
    if (n == kDenseTag) {
      return p[2 + c];
    } else if (n == 1) {
      if (((header >> 8) & 0xFF) == c) return p[2];
    } else if (n != 0) {
      const uint8_t* cls = reinterpret_cast<const uint8_t*>(p + 2);
      const uint32_t* next = p + 2 + (n + 3) / 4;
#if defined(__SSE2__)
      if (n > 4) {
        const __m128i key = _mm_set1_epi8(static_cast<char>(c));
        for (uint32_t i = 0; i < n; i += 16) {
          const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cls + i));
          const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, key)));
          if (m != 0) {
            const uint32_t j = i + static_cast<uint32_t>(__builtin_ctz(m));
            if (j < n) return next[j];
            break;
          }
        }
      } else
#endif
      {
        for (uint32_t i = 0; i < n; ++i) {
          if (cls[i] == c) return next[i];
        }
      }
    }
    s = p[1];
    header = repr[s];
  }
}

}  // namespace

Result<CompactNfa> CompactNfa::build(Trie& trie, uint64_t max_words) {
  CompactNfa a;
  a.classes_ = trie.classes();
  a.prefilter_ = trie.prefilter();
  a.empty_ = trie.bfs_order().size() <= 1;
  const uint32_t nclasses = a.classes_.count();
  const auto bfs = trie.bfs_order();
  const uint32_t nstates = trie.num_states();
  auto match_words = [&](uint32_t s) -> uint64_t { return trie.reported_pattern(s) != kNoPattern ? 2 : 0; };

  // Calls f(s, n, dense) for every state below kStart in breadth-first
  // order, n being its number of children: the dense states are chosen
  // shallowest first, within the budget.
  auto choose_dense = [&](auto&& f) {
    uint64_t budget = kDenseWordsBase + kDenseWordsPerState * nstates;
    uint64_t spent = 0;
    for (uint32_t d = 1; d < trie.num_levels(); ++d) {
      for (uint32_t s : trie.level(d)) {
        const uint32_t n = trie.num_children(s);
        bool want = n >= kDenseTag;  // too many for the sparse encoding
        if (!want && n > 0 && budget >= nclasses &&
            (d <= kDenseDepth || n >= kDenseChildren || spent + nclasses <= kDenseWordsAnyDepth)) {
          want = true;
        }
        if (want) {
          budget -= std::min<uint64_t>(budget, nclasses);
          spent += nclasses;
        }
        f(s, n, want);
      }
    }
  };

  // Layout: dead, start and the other dense states (breadth first), then
  // the sparse states in depth-first preorder, so that walking along one
  // pattern reads consecutive words.
  std::vector<uint64_t> dense_bit((nstates + 63) / 64, 0);
  auto is_dense = [&](uint32_t s) { return (dense_bit[s / 64] >> (s % 64) & 1) != 0; };
  dense_bit[0] = uint64_t{1} << kDead | uint64_t{1} << kStart;
  uint64_t dense_words = 2 * (2 + static_cast<uint64_t>(nclasses));  // dead, start
  uint64_t sparse_total = 0;
  choose_dense([&](uint32_t s, uint32_t n, bool dense) {
    if (dense) {
      dense_bit[s / 64] |= uint64_t{1} << (s % 64);
      dense_words += match_words(s) + 2 + nclasses;
    } else {
      sparse_total += match_words(s) + 2 + sparse_words(n);
    }
  });
  const uint64_t words = dense_words + sparse_total;
  if (words + kPadWords > max_words) return state_overflow(max_words, "transition table entries");

  // Every word is written below: fresh pages need no zeroing pass first.
  a.words_ = static_cast<size_t>(words + kPadWords);
  a.repr_.reset(new uint32_t[a.words_]);
  uint32_t* repr = a.repr_.get();
  std::fill(repr + words, repr + a.words_, 0u);

  // Placing a state writes the words that come from its reported match and
  // its children's classes, then its id, into the word of its reported
  // length (trie.length_words()), which is not read again: after placing,
  // the trie's reports are no longer needed, and the ids take no memory of
  // their own. Returns the word after the state's.
  uint32_t* id = trie.length_words();
  auto place = [&](uint32_t s, uint64_t at) -> uint64_t {
    const uint32_t pattern = trie.reported_pattern(s);
    uint32_t special = s == kStart ? kStartBit : 0;
    if (pattern != kNoPattern) {
      repr[at] = pattern;
      repr[at + 1] = trie.reported_length(s);
      at += 2;
      special |= kStopBit;
    }
    id[s] = static_cast<uint32_t>(at);
    uint32_t* p = repr + at;
    const uint32_t n = trie.num_children(s);
    if (is_dense(s)) {
      p[0] = kDenseTag | special;
      return at + 2 + nclasses;
    }
    if (n == 1) {
      trie.for_each_child(s, [&](uint32_t c, uint32_t) { p[0] = 1u | (c << 8) | special; });
    } else {
      p[0] = n | special;
      if (n != 0) {
        uint8_t* cls = reinterpret_cast<uint8_t*>(p + 2);
        p[2 + (n + 3) / 4 - 1] = 0;  // the padding after the last class
        uint32_t i = 0;
        trie.for_each_child(s, [&](uint32_t c, uint32_t) { cls[i++] = static_cast<uint8_t>(c); });
      }
    }
    return at + 2 + sparse_words(n);
  };
  // Dead: a dense row of zeros, failing to itself.
  place(kDead, 0);
  repr[0] = kDenseTag | kStopBit;
  std::fill(repr + 1, repr + 2 + nclasses, 0u);
  a.dense_states_ = 1;
  uint64_t at = 2 + nclasses;
  for (uint32_t s : bfs) {
    if (is_dense(s)) at = place(s, at);
  }
  a.start_ = id[kStart];

  // The sparse states in preorder (sequential in repr_, one stream per
  // level in the trie). A state's id is known once it is placed, and is
  // then written into its parent's list of next ids, which the walk keeps
  // for each sparse state on its path (a dense parent's row is written
  // below), and into the failure links that follow: a state whose failure
  // state is placed already gets its link now; the others are marked late
  // and linked after the walk.
  std::vector<uint64_t> known_bit(dense_bit);
  std::vector<uint64_t> late_bit(dense_bit.size(), 0);
  auto is_known = [&](uint32_t s) { return (known_bit[s / 64] >> (s % 64) & 1) != 0; };
  // The context of a state in the walk: its next ids still to write, or
  // null for a dense state.
  trie.for_each_preorder(static_cast<uint32_t*>(nullptr), [&](uint32_t s, uint32_t*& parent_next_ids) {
    uint32_t* next_ids = nullptr;
    if (!is_dense(s)) {
      at = place(s, at);
      known_bit[s / 64] |= uint64_t{1} << (s % 64);
      const uint32_t n = trie.num_children(s);
      uint32_t* p = repr + id[s];
      next_ids = p + 2 + (n == 1 ? 0 : (n + 3) / 4);
      const uint32_t fail = trie.fail(s);
      if (is_known(fail)) {
        p[1] = id[fail];
      } else {
        late_bit[s / 64] |= uint64_t{1} << (s % 64);
      }
    }
    if (parent_next_ids != nullptr) *parent_next_ids++ = id[s];
    return next_ids;
  });

  for (size_t w = 0; w < late_bit.size(); ++w) {
    for (uint64_t bits = late_bit[w]; bits != 0; bits &= bits - 1) {
      const uint32_t s = static_cast<uint32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
      repr[id[s] + 1] = id[trie.fail(s)];
    }
  }

  // The dense states in breadth-first order: a dense row is resolved from
  // the rows on its failure chain, which must all be written by then.
  for (uint32_t s : bfs) {
    if (!is_dense(s)) continue;
    ++a.dense_states_;
    uint32_t* p = repr + id[s];
    const uint32_t fail = trie.fail(s);
    p[1] = id[fail];
    uint32_t* row = p + 2;
    if (s == kStart) {
      std::fill(row, row + nclasses, a.start_);
    } else if (fail == kDead) {
      std::fill(row, row + nclasses, 0u);
    } else if (is_dense(fail)) {
      std::memcpy(row, repr + id[fail] + 2, nclasses * sizeof(uint32_t));
    } else {
      for (uint32_t c = 0; c < nclasses; ++c) row[c] = next_state(repr, id[fail], repr[id[fail]], c);
    }
    trie.for_each_child(s, [&](uint32_t c, uint32_t child) { row[c] = id[child]; });
  }
  return a;
}

bool CompactNfa::find(const uint8_t* h, size_t n, size_t at, PrefilterState* state, Match* out) const {
  if (empty_) return false;
  const uint32_t* repr = repr_.get();
  const uint8_t* classes = classes_.table();
  const uint32_t start = start_;
  uint32_t s = start;
  uint32_t header = repr[s];
  uint32_t last = kDead;
  size_t last_end = 0;
  const bool prefilter = prefilter_.active() && !state->inert;
  uint32_t look = prefilter ? kStopBit | kStartBit : kStopBit;
  if (prefilter) at = prefilter_.next_candidate(h, at, n, state);
  while (at < n) {
    s = next_state(repr, s, header, classes[h[at]]);
    header = repr[s];
    ++at;
    if (header & look) {
      if (s == start) {
        at = prefilter_.next_candidate(h, at, n, state);
        if (state->inert) look = kStopBit;
      } else if (s == kDead) {
        break;
      } else {
        last = s;
        last_end = at;
      }
    }
  }
  if (last == kDead) return false;
  out->pattern = repr[last - 2];
  out->start = last_end - repr[last - 1];
  out->end = last_end;
  return true;
}

size_t CompactNfa::memory_usage() const { return words_ * sizeof(uint32_t) + prefilter_.memory_usage(); }

}  // namespace vedra::matcher_internal
