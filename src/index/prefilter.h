// Prefilter: skips haystack bytes that cannot begin a match while a search is
// in the automaton's start state.
//
// Built from the patterns, by the first of these that applies:
//   1, 2 or 3 distinct first bytes -> a vectorised scan for those bytes
//                                     (memchr, and SSE2 loops for 2 and 3);
//   every pattern at least kMinShiftWindow bytes long
//                                  -> a window shift: a window as long as the
//                                     shortest pattern (at most 255 bytes)
//                                     slides along the haystack; the hash of
//                                     its last 4 bytes looks up how far it may
//                                     move without passing the start of a
//                                     match (the least distance from such 4
//                                     bytes to the window end over the
//                                     patterns' first window bytes; a hash
//                                     collision only shortens moves); where
//                                     it may not move, a second table of the
//                                     patterns' 4 bytes before the last 4
//                                     says whether a match can begin there;
//   4 to 255 distinct first bytes  -> a 256-entry "may start a match" table
//                                     walked byte by byte;
//   all 256 bytes, or none         -> no prefilter.
// The table walk has no loop-carried dependency through the automaton, so it
// runs several times faster than stepping the start state over bytes that
// lead back to it; the byte scans skip whole 16-byte blocks; the window
// shift reads about one haystack position per window length when the
// patterns' 4-byte pieces are rare in the text (long words over prose).
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

  // As above, choosing the window shift where it applies. Empty patterns
  // are ignored (they never match). Cost: one pass over the first bytes of
  // every pattern (at most 255 each); 4 to 256 KiB for the shift table.
  static Prefilter build(PatternSpan patterns, const std::array<bool, 256>& first_bytes);

  // Patterns must all be at least this long for the window shift.
  static constexpr size_t kMinShiftWindow = 8;

  // The window length of the window shift, 0 for the other kinds. Exposed
  // for tests.
  size_t shift_window() const { return kind_ == Kind::kShift ? window_ : 0; }

  size_t memory_usage() const { return shift_.capacity() + inner_.capacity(); }

  // False when the prefilter cannot skip anything (kind none).
  bool active() const { return kind_ != Kind::kNone; }

  // Number of distinct first bytes the scan looks for: 1..3 for the byte
  // scans, 0 for the table walk and for no prefilter. Exposed for tests.
  int scan_bytes() const;

  // Returns the least i in [at, n) at which a match may begin, or n when there
  // is none. REQUIRES: active(), !state->inert, at <= n. Cost: O(i - at).
  size_t next_candidate(const uint8_t* h, size_t at, size_t n, PrefilterState* state) const {
    size_t found;
    if (kind_ == Kind::kTable) {
      found = walk_table(h, at, n);
    } else if (kind_ == Kind::kShift) {
      found = slide_window(h, at, n);
    } else {
      return scan(h, at, n, state);
    }
    account(found - at, kMinAverageTableSkip, state);
    return found;
  }

 private:
  enum class Kind : uint8_t { kNone, kByte1, kByte2, kByte3, kTable, kShift };

  // The shift table has 2^bits entries, bits in [kMinShiftBits,
  // kMaxShiftBits]: about two per 4-byte piece of the patterns, as few as
  // keep the table in a fast cache, as many as keep collisions rare.
  static constexpr uint32_t kMinShiftBits = 12;
  static constexpr uint32_t kMaxShiftBits = 18;
  uint32_t hash4(const uint8_t* p) const {
    uint32_t x;
    std::memcpy(&x, p, 4);
    return (x * 0x9E3779B1u) >> hash_shift_;
  }

  // The least i >= at at which a match may begin, or n. Every pattern is at
  // least window_ bytes long, so none begins with fewer than window_ bytes
  // left, and none begins in [at, at + shift) when the window at `at` ends
  // in 4 bytes whose shift is `shift` (see build()).
  size_t slide_window(const uint8_t* h, size_t at, size_t n) const {
    const uint8_t* t = shift_.data();
    const size_t w = window_;
    const uint8_t* inner = inner_.data();
    while (at + w <= n) {
      const uint8_t s = t[hash4(h + at + w - 4)];
      if (s != 0) {
        at += s;
      } else if (inner[hash4(h + at + w - 8)] != 0) {
        return at;
      } else {
        ++at;  // the window's end fits a pattern, its bytes before that fit none
      }
    }
    return n;
  }

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

  Kind kind_ = Kind::kNone;
  uint8_t bytes_[3] = {0, 0, 0};      // the first bytes, for the byte scans
  std::array<uint8_t, 256> start_{};  // start_[b] != 0 iff b may begin a match
  // Window shift: window_ in [kMinShiftWindow, 255]; shift_[hash4(x)] is the
  // distance the window may move when it ends in the 4 bytes x.
  size_t window_ = 0;
  uint32_t hash_shift_ = 32 - kMinShiftBits;
  std::vector<uint8_t> shift_;
  // inner_[hash4(x)] != 0 iff some pattern has the 4 bytes x at w - 8 .. w - 5:
  // a match beginning at the window's start needs them there.
  std::vector<uint8_t> inner_;
};

}  // namespace vedra::matcher_internal
