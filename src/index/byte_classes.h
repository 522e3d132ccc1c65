// ByteClasses: the partition of the 256 byte values into equivalence classes
// for one pattern set.
//
// Every byte that occurs in some pattern is a class of its own; all bytes that
// occur in no pattern share one class. Two bytes of one class lead every
// automaton state to the same next state, so a transition row needs one entry
// per class instead of one per byte: Chinese names with ASCII codes use about
// 150 of the 256 byte values.
//
// Thread safety: immutable after construction.
#pragma once

#include <array>
#include <cstdint>

namespace vedra::matcher_internal {

class ByteClasses {
 public:
  // All bytes in one class.
  ByteClasses() = default;

  // REQUIRES: used[b] is true iff byte b occurs in some pattern.
  // The unused bytes (if any) form class 0; the used bytes get classes
  // 1, 2, ... in ascending byte order (0, 1, ... when every byte is used).
  static ByteClasses from_used(const std::array<bool, 256>& used) {
    ByteClasses c;
    bool all_used = true;
    for (bool u : used) all_used = all_used && u;
    uint32_t next = all_used ? 0 : 1;
    for (int b = 0; b < 256; ++b) c.map_[b] = used[b] ? static_cast<uint8_t>(next++) : 0;
    c.count_ = next;
    return c;
  }

  uint8_t get(uint8_t b) const { return map_[b]; }

  // Number of classes, 1..256.
  uint32_t count() const { return count_; }

  // The 256-entry byte -> class table, for search loops.
  const uint8_t* table() const { return map_.data(); }

 private:
  std::array<uint8_t, 256> map_{};
  uint32_t count_ = 1;
};

}  // namespace vedra::matcher_internal
