// Prefilter: skips haystack bytes that cannot begin a match while a search is
// in the automaton's start state.
//
// Built from the patterns, by the first of these that applies:
//   1, 2 or 3 distinct first bytes -> a vectorised scan for those bytes
//                                     (memchr, and SSE2 loops for 2 and 3);
//   every pattern at least kMinRunWindow bytes long
//                                  -> a run filter: with r the shortest
//                                     pattern's length (at most 64), a match
//                                     can begin only where r consecutive
//                                     bytes all occur in the patterns' first
//                                     r bytes and the first of them begins a
//                                     pattern. Both byte sets are widened to
//                                     four ranges (byte_ranges.h), tested 16
//                                     bytes at a time, and the runs of 64
//                                     positions are found at once by shifting
//                                     and and-ing their bit masks; each
//                                     survivor is checked exactly against the
//                                     first-byte table and, by a hash of its
//                                     first 4 or 8 bytes, against the
//                                     patterns' beginnings;
//   4 to 255 distinct first bytes  -> a 256-entry "may start a match" table
//                                     walked byte by byte;
//   all 256 bytes, or none         -> no prefilter.
// The table walk has no loop-carried dependency through the automaton, so it
// runs several times faster than stepping the start state over bytes that
// lead back to it; the byte scans skip whole 16-byte blocks; the run filter
// reads 64 positions in a few dozen instructions without a branch per byte,
// and finds few survivors wherever the text's common bytes (spaces,
// punctuation, line ends) occur in no pattern: long words over prose.
//
// Every use costs something even when it skips nothing: a byte scan is a
// call, and each return to the start state becomes a hard-to-predict branch
// in the search loop. Each search carries a PrefilterState; once the
// prefilter has been used often and skipped little on average (Chinese text
// against Chinese names: nearly every character can begin a name), the state
// turns inert and the search runs the automaton alone for the rest of that
// haystack. The choice affects speed only, never results.
//
// Thread safety: a Prefilter is immutable; each search owns its
// PrefilterState.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "index/byte_ranges.h"
#include "index/pattern_span.h"

namespace vedra::matcher_internal {

// Per-search effectiveness record. Owned by one search over one haystack.
struct PrefilterState {
  uint32_t calls = 0;   // prefilter uses so far
  size_t skipped = 0;   // bytes those uses skipped
  bool inert = false;   // true once the prefilter stopped paying for itself
};

class Prefilter {
 public:
  // No prefilter: every position is a candidate.
  Prefilter() = default;

  // first_bytes[b] is true iff some pattern begins with byte b.
  static Prefilter from_first_bytes(const std::array<bool, 256>& first_bytes);

  // As above, choosing the run filter where it applies. Empty patterns are
  // ignored (they never match). Cost: one pass over the first 64 bytes of
  // every pattern; 8 bytes to 128 KiB for the table of beginnings.
  static Prefilter build(PatternSpan patterns, const std::array<bool, 256>& first_bytes);

  // Patterns must all be at least this long for the run filter.
  static constexpr size_t kMinRunWindow = 4;

  // The run length r of the run filter, 0 for the other kinds. Exposed for
  // tests.
  size_t run_window() const { return kind_ == Kind::kRuns ? run_ : 0; }

  size_t memory_usage() const { return beginnings_.capacity() * sizeof(uint64_t); }

  // False when the prefilter cannot skip anything (kind none).
  bool active() const { return kind_ != Kind::kNone; }

  // Number of distinct first bytes the scan looks for: 1..3 for the byte
  // scans, 0 for the other kinds. Exposed for tests.
  int scan_bytes() const;

  // Returns the least i in [at, n) at which a match may begin, or n when there
  // is none. REQUIRES: active(), !state->inert, at <= n. Cost: O(i - at).
  size_t next_candidate(const uint8_t* h, size_t at, size_t n, PrefilterState* state) const {
    size_t found;
    if (kind_ == Kind::kTable) {
      found = walk_table(h, at, n);
      account(found - at, kMinAverageTableSkip, state);
    } else if (kind_ == Kind::kRuns) {
      found = find_run(h, at, n);
      account(found - at, kMinAverageRunSkip, state);
    } else {
      found = scan(h, at, n, state);
    }
    return found;
  }

 private:
  enum class Kind : uint8_t { kNone, kByte1, kByte2, kByte3, kTable, kRuns };

  // The table of beginnings has 2^bits bits, bits in [kMinBeginningBits,
  // kMaxBeginningBits]: about 16 per pattern, so that a position whose first
  // bytes begin no pattern passes with a chance of about one in 16.
  static constexpr uint32_t kMinBeginningBits = 6;
  static constexpr uint32_t kMaxBeginningBits = 20;

  // The hash of the `beginning_` (4 or 8) bytes at p, as a bit index.
  uint64_t beginning_hash(const uint8_t* p) const {
    uint64_t x;
    if (beginning_ == 8) {
      std::memcpy(&x, p, 8);
    } else {
      uint32_t y;
      std::memcpy(&y, p, 4);
      x = y;
    }
    return (x * 0x9E3779B97F4A7C15ull) >> hash_shift_;
  }

  // Whether a match may begin at p, the start of a run: the haystack holds a
  // shortest pattern from there, its byte begins a pattern and its first
  // bytes hash like a pattern's.
  bool may_begin(const uint8_t* h, size_t p, size_t n) const {
    if (n - p < shortest_ || !start_[h[p]]) return false;
    const uint64_t bit = beginning_hash(h + p);
    return (beginnings_[bit >> 6] >> (bit & 63)) & 1;
  }

  // Bit i: byte at + i is in `set`, for at + i < n (clear beyond n).
  static uint64_t block_mask(const ByteRanges& set, const uint8_t* h, size_t at, size_t n) {
    if (at >= n) return 0;
    return n - at >= 64 ? set.mask64(h + at) : set.mask_tail(h + at, n - at);
  }

  // The least i >= at at which a match may begin, or n: 64 positions a
  // round. Out of line: a search loop that inlined it would keep fewer of
  // its own values in registers, on every text.
  size_t find_run(const uint8_t* h, size_t at, size_t n) const;

  size_t walk_table(const uint8_t* h, size_t at, size_t n) const {
    const uint8_t* t = start_.data();
    while (at + 4 <= n) {
      if (t[h[at]]) return at;
      if (t[h[at + 1]]) return at + 1;
      if (t[h[at + 2]]) return at + 2;
      if (t[h[at + 3]]) return at + 3;
      at += 4;
    }
    while (at < n && !t[h[at]]) ++at;
    return at;
  }

  // The 1-3 byte scans, with the effectiveness bookkeeping.
  size_t scan(const uint8_t* h, size_t at, size_t n, PrefilterState* state) const;

  // Records one use that skipped `skipped` bytes. After kMinUses uses, a
  // prefilter that skips fewer than `min_average` bytes per use on average
  // costs more than it saves (each use also breaks the search's rhythm) and
  // turns inert.
  static void account(size_t skipped, size_t min_average, PrefilterState* state) {
    ++state->calls;
    state->skipped += skipped;
    if (state->calls >= kMinUses && state->skipped < static_cast<size_t>(state->calls) * min_average) {
      state->inert = true;
    }
  }

  static constexpr uint32_t kMinUses = 32;
  static constexpr size_t kMinAverageTableSkip = 4;
  static constexpr size_t kMinAverageScanSkip = 8;
  // A round of the run filter costs about as much as the automaton's steps
  // over 16 bytes.
  static constexpr size_t kMinAverageRunSkip = 16;

  Kind kind_ = Kind::kNone;
  uint8_t bytes_[3] = {0, 0, 0};      // the first bytes, for the byte scans
  std::array<uint8_t, 256> start_{};  // start_[b] != 0 iff b may begin a match
  // Run filter: run_ = min(shortest_, 64) in [kMinRunWindow, 64]; body_
  // covers every byte within the first run_ bytes of a pattern, first_ every
  // first byte; bit beginning_hash(x) of beginnings_ is set for the first
  // beginning_ bytes x of every pattern (beginning_ is 8 when shortest_ is 8
  // or more, else 4).
  size_t run_ = 0;
  size_t shortest_ = 0;
  size_t beginning_ = 4;
  uint32_t hash_shift_ = 64 - kMinBeginningBits;
  ByteRanges body_;
  ByteRanges first_;
  std::vector<uint64_t> beginnings_;
};

}  // namespace vedra::matcher_internal
