// PatternList: the search pattern texts in registration order, pattern i
// being element i.
//
// Held as one arena of bytes plus end offsets: a catalogue registers several
// short patterns per record, and a std::string each (32 bytes plus a heap
// block for longer texts) would cost more than the texts themselves.  Both
// grow without copying what they hold once large (base/page_array.h): a load
// registers every pattern of a catalogue in one run.  Small lists stay in
// the heap, so a small engine costs no mapping of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/page_array.h"
#include "index/pattern_span.h"

namespace vedra {

class PatternList {
 public:
  void push_back(std::string_view text) {
    arena_.append(text.data(), text.size());
    ends_.push_back(arena_.size());
  }
  // Makes pushing `count` more texts of `bytes` bytes in all allocate
  // nothing.  Throws std::bad_alloc with the list unchanged.
  void reserve_more(size_t count, size_t bytes) {
    if (ends_.capacity() - ends_.size() < count) ends_.reserve(std::max(2 * ends_.capacity(), ends_.size() + count));
    if (arena_.capacity() - arena_.size() < bytes) arena_.reserve(std::max(2 * arena_.capacity(), arena_.size() + bytes));
  }
  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // REQUIRES: i < size().  Valid until the next push_back.
  std::string_view operator[](size_t i) const {
    const uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(arena_.data() + begin, static_cast<size_t>(ends_[i] - begin));
  }
  // Every text, in order (views valid until the next push_back).
  std::vector<std::string_view> views() const {
    std::vector<std::string_view> out;
    out.reserve(size());
    for (size_t i = 0; i < size(); ++i) out.push_back((*this)[i]);
    return out;
  }
  // Every text, borrowed in place (valid until the next push_back).
  PatternSpan span() const { return PatternSpan(arena_.data(), ends_.data(), ends_.size()); }
  size_t memory_usage() const { return arena_.capacity() + ends_.capacity() * sizeof(uint64_t); }

 private:
  // From 1 MiB on a list has its own mapping: a few pages' worth of tail
  // room at most is then held unused.
  static constexpr size_t kHeapBelow = size_t{1} << 20;
  PageArray<char, kHeapBelow> arena_;      // the texts back to back
  PageArray<uint64_t, kHeapBelow> ends_;  // ends_[i]: offset one past text i
};

}  // namespace vedra
