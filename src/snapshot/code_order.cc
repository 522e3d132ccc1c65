#include "snapshot/code_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace vedra {
namespace {

uint64_t prefix_of(std::string_view code) {
  if (code.size() >= 8) {
    uint64_t v;
    std::memcpy(&v, code.data(), sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < code.size(); ++i) v |= uint64_t{static_cast<unsigned char>(code[i])} << (56 - 8 * i);
  return v;
}

// Groups this small are left to a comparison sort.
constexpr size_t kSmallGroup = 48;

}  // namespace

// Sorts [first, last), whose prefixes agree on their bytes above `byte`
// (0 the most significant), by bucketing on that byte in place and going on
// into each bucket: a pass per byte instead of a comparison per entry and
// level, no memory beyond the entries, and the codes themselves read only
// where whole prefixes tie.
template <typename Less>
void CodeOrder::sort_from(Entry* first, Entry* last, int byte, const Less& less) {
  for (;;) {
    const size_t n = static_cast<size_t>(last - first);
    if (n < 2) return;
    if (n < kSmallGroup || byte == 8) {
      std::sort(first, last, less);
      return;
    }
    const int shift = 56 - 8 * byte;
    const auto digit = [shift](const Entry& e) { return static_cast<unsigned>(e.prefix >> shift) & 0xff; };
    std::array<size_t, 256> count{};
    for (const Entry* e = first; e != last; ++e) ++count[digit(*e)];
    // One bucket holding everything: nothing to move at this byte.
    if (count[digit(*first)] == n) {
      ++byte;
      continue;
    }
    std::array<size_t, 256> next{}, end{};
    size_t at = 0;
    for (unsigned d = 0; d < 256; ++d) {
      next[d] = at;
      at += count[d];
      end[d] = at;
    }
    // Each entry is swapped straight into its bucket's next free place.
    for (unsigned d = 0; d < 256; ++d) {
      while (next[d] != end[d]) {
        Entry e = first[next[d]];
        unsigned k = digit(e);
        while (k != d) {
          std::swap(e, first[next[k]++]);
          k = digit(e);
        }
        first[next[d]++] = e;
      }
    }
    // The largest bucket is sorted by this loop, the others by recursion,
    // which bounds the recursion's depth to the prefix's eight bytes.
    unsigned largest = 0;
    for (unsigned d = 1; d < 256; ++d) largest = count[d] > count[largest] ? d : largest;
    for (unsigned d = 0; d < 256; ++d) {
      if (d != largest && count[d] > 1) sort_from(first + (end[d] - count[d]), first + end[d], byte + 1, less);
    }
    const size_t start = end[largest] - count[largest];
    last = first + end[largest];
    first += start;
    ++byte;
  }
}

CodeOrder::CodeOrder(const EngineState& s) : texts_(&s.record_texts) {
  const RecordTexts& texts = s.record_texts;
  entries_.resize(texts.size());
  for (size_t r = 0; r < texts.size(); ++r) entries_[r] = Entry{prefix_of(texts.code(r)), static_cast<uint32_t>(r)};
  // Equal prefixes leave the order to the whole codes: a zero-padded prefix
  // cannot tell "ab" from "ab\0", the codes can.
  const auto less = [&texts](const Entry& a, const Entry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = texts.code(a.record).compare(texts.code(b.record));
    return c != 0 ? c < 0 : a.record < b.record;
  };
  sort_from(entries_.data(), entries_.data() + entries_.size(), 0, less);
}

}  // namespace vedra
