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

Result<CompactNfa> CompactNfa::build(const Trie& trie, uint64_t max_words) {
  CompactNfa a;
  a.classes_ = trie.classes();
  a.prefilter_ = trie.prefilter();
  a.empty_ = trie.bfs_order().size() <= 1;
  const uint32_t nclasses = a.classes_.count();
  const auto bfs = trie.bfs_order();
  const uint32_t nstates = trie.num_states();

  // Choose the dense states, shallowest first.
  std::vector<uint8_t> dense(nstates, 0);
  dense[kDead] = 1;
  dense[kStart] = 1;
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
        dense[s] = 1;
        budget -= std::min<uint64_t>(budget, nclasses);
        spent += nclasses;
      }
    }
  }

  // Layout: dead, start and the other dense states (breadth first), then
  // the sparse states in depth-first preorder, so that walking along one
  // pattern reads consecutive words.
  std::vector<uint32_t> id(nstates, 0);
  uint64_t words = 0;
  auto place = [&](uint32_t s) {
    if (trie.reported_pattern(s) != kNoPattern) words += 2;
    id[s] = static_cast<uint32_t>(std::min<uint64_t>(words, UINT32_MAX));
    words += 2 + (dense[s] ? nclasses : sparse_words(trie.num_children(s)));
  };
  place(kDead);
  for (uint32_t s : bfs) {
    if (dense[s]) place(s);
  }
  trie.for_each_preorder([&](uint32_t s) {
    if (!dense[s]) place(s);
  });
  if (words + kPadWords > max_words) return state_overflow(max_words, "transition table entries");

  a.start_ = id[kStart];
  a.repr_.assign(static_cast<size_t>(words + kPadWords), 0);
  uint32_t* repr = a.repr_.data();

  // Dead: a dense row of zeros, failing to itself.
  repr[0] = kDenseTag | kStopBit;
  ++a.dense_states_;
  // Sparse states first, in preorder (sequential in repr_, one stream per
  // level in the trie), then dense states in breadth-first order: a dense
  // row is resolved from the rows on its failure chain, which must all be
  // written by then.
  auto write_state = [&](uint32_t s) {
    uint32_t* p = repr + id[s];
    const uint32_t pattern = trie.reported_pattern(s);
    if (pattern != kNoPattern) {
      p[-2] = pattern;
      p[-1] = trie.reported_length(s);
    }
    p[1] = id[trie.fail(s)];
    const uint32_t special = (pattern != kNoPattern ? kStopBit : 0) | (s == kStart ? kStartBit : 0);
    const uint32_t n = trie.num_children(s);
    if (dense[s]) {
      ++a.dense_states_;
      p[0] = kDenseTag | special;
      uint32_t* row = p + 2;
      if (s == kStart) {
        std::fill(row, row + nclasses, a.start_);
      } else if (trie.fail(s) != kDead) {
        const uint32_t f = trie.fail(s);
        if (dense[f]) {
          std::memcpy(row, repr + id[f] + 2, nclasses * sizeof(uint32_t));
        } else {
          for (uint32_t c = 0; c < nclasses; ++c) row[c] = next_state(repr, id[f], repr[id[f]], c);
        }
      }
      trie.for_each_child(s, [&](uint32_t c, uint32_t child) { row[c] = id[child]; });
    } else if (n == 1) {
      trie.for_each_child(s, [&](uint32_t c, uint32_t child) {
        p[0] = 1u | (c << 8) | special;
        p[2] = id[child];
      });
    } else {
      p[0] = n | special;
      uint8_t* cls = reinterpret_cast<uint8_t*>(p + 2);
      uint32_t* next = p + 2 + (n + 3) / 4;
      uint32_t i = 0;
      trie.for_each_child(s, [&](uint32_t c, uint32_t child) {
        cls[i] = static_cast<uint8_t>(c);
        next[i] = id[child];
        ++i;
      });
    }
  };
  trie.for_each_preorder([&](uint32_t s) {
    if (!dense[s]) write_state(s);
  });
  for (uint32_t s : bfs) {
    if (dense[s]) write_state(s);
  }
  return a;
}

bool CompactNfa::find(const uint8_t* h, size_t n, size_t at, PrefilterState* state, Match* out) const {
  if (empty_) return false;
  const uint32_t* repr = repr_.data();
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

size_t CompactNfa::memory_usage() const { return repr_.capacity() * sizeof(uint32_t) + prefilter_.memory_usage(); }

}  // namespace vedra::matcher_internal
