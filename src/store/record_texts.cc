#include "store/record_texts.h"


namespace vedra {

void RecordTexts::reserve_one(const Entry& e) {
  if (at_.size() == at_.capacity()) at_.reserve(at_.size() + 1);  // doubles
  blocks_.reserve(bytes_of(e));
}

void RecordTexts::push_back(const Entry& e) {
  const size_t bytes = bytes_of(e);
  reserve_one(e);
  char* p = blocks_.take(bytes);
  const uint32_t n[3] = {static_cast<uint32_t>(e.code.size()), static_cast<uint32_t>(e.name.size()),
                         static_cast<uint32_t>(e.pinyin.size())};
  std::memcpy(p, n, sizeof n);
  char* out = p + kHeader;
  for (const std::string_view t : {e.code, e.name, e.pinyin}) {
    if (!t.empty()) std::memcpy(out, t.data(), t.size());
    out += t.size();
  }
  at_.push_back(p);
}

size_t RecordTexts::memory_usage() const {
  size_t total = at_.capacity() * sizeof(const char*);
  return total + blocks_.memory_usage();
}

bool operator==(const RecordTexts& a, const RecordTexts& b) {
  if (a.size() != b.size()) return false;
  for (size_t r = 0; r < a.size(); ++r) {
    const RecordTexts::Entry x = a[r], y = b[r];
    if (x.code != y.code || x.name != y.name || x.pinyin != y.pinyin) return false;
  }
  return true;
}

}  // namespace vedra
