#include "snapshot/code_order.h"

#include <algorithm>

namespace vedra {
namespace {

uint64_t prefix_of(std::string_view code) {
  uint64_t v = 0;
  const size_t n = std::min<size_t>(code.size(), 8);
  for (size_t i = 0; i < n; ++i) v |= uint64_t{static_cast<unsigned char>(code[i])} << (56 - 8 * i);
  return v;
}

}  // namespace

CodeOrder::CodeOrder(const EngineState& s) : texts_(&s.record_texts) {
  const RecordTexts& texts = s.record_texts;
  entries_.resize(texts.size());
  for (size_t r = 0; r < texts.size(); ++r) entries_[r] = Entry{prefix_of(texts.code(r)), static_cast<uint32_t>(r)};
  // Equal prefixes leave the order to the whole codes: a zero-padded prefix
  // cannot tell "ab" from "ab\0", the codes can.
  std::sort(entries_.begin(), entries_.end(), [&texts](const Entry& a, const Entry& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = texts.code(a.record).compare(texts.code(b.record));
    return c != 0 ? c < 0 : a.record < b.record;
  });
}

}  // namespace vedra
