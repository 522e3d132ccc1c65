// FlattenCollector: the flattening of a record payload gathered while the
// payload is written, so that the written text need not be read again.
//
// The writer reports what it writes: each string's text (before escaping),
// each number's written text, each boolean; and, per dict, where each
// member's values begin and end.  What it collects is exactly what
// flatten_record_text() reads from the finished text (same texts, same
// order), because it follows the writer's own choices: a member that the
// written object leaves out (a repeated key text) is left out here too, and
// members come in the object's key order.
//
// Texts are copied into the collector as they are reported: nothing it holds
// refers to a Python object or to the writer's buffers, so a value's
// callback that changes the dict being walked cannot leave it a dangling
// view.  Buffers are reused from record to record (trim() drops what an
// unusually large one grew).  One record at a time; owned by one engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "store/flatten.h"

namespace vedra {

// What the flattening reads a top-level member for, by its key text.
enum class FlattenRole : uint8_t {
  kOther,
  kCode,
  kName,
  kPinyin,
  kMarket,
  kAssetType,
  kRegion,
  kCategories,
  kAttributes,
};
FlattenRole flatten_role(std::string_view key);

class FlattenCollector {
 public:
  // A text the collector refers to: a range of its own buffer, or, when
  // `outside` is set, the text there, which its giver keeps unchanged until
  // finish() (the key texts of a shape held for the conversion's pass).
  struct Span {
    const char* outside = nullptr;
    size_t begin = 0, size = 0;
  };

  // Starts a record: forgets the last one.
  void begin();

  // Where the values of a member whose key is `key` go, inside a value
  // collected under `parent`: parent.key, or the key alone when the parent
  // name is empty.  `key_stays` says that `key` stays unchanged until
  // finish(), so that it need not be copied.
  Span child_field(Span parent, std::string_view key, bool key_stays) {
    if (parent.size == 0) return key_stays ? Span{key.data(), 0, key.size()} : keep(key);
    return dotted(parent, key);
  }

  // Collects `value` (already trimmed where the rules trim) under `field`;
  // an empty value is dropped.
  void add(Span field, std::string_view value) {
    if (!value.empty()) pieces_.emplace_back(field, keep(value));
  }
  // A copy of `text`, for a top-level string member the rules read whole.
  Span keep(std::string_view text) {
    const size_t n = text.size();
    if (capacity_ - size_ < n) grow(n);
    char* const w = text_.get() + size_;
    // Catalogue texts are short: a word or two, not a call.
    if (n >= 8 && n <= 16) {
      uint64_t head, tail;
      std::memcpy(&head, text.data(), 8);
      std::memcpy(&tail, text.data() + n - 8, 8);
      std::memcpy(w, &head, 8);
      std::memcpy(w + n - 8, &tail, 8);
    } else if (n != 0) {
      std::memcpy(w, text.data(), n);
    }
    const Span s{nullptr, size_, n};
    size_ += n;
    return s;
  }

  // Values collected so far: member boundaries for reorder().
  size_t pieces() const { return pieces_.size(); }
  // Puts the values collected since `from` in the order of the written
  // object: `ends[i]` is where the values of the i-th member in iteration
  // order end, and member j of the object is member source(j).
  template <typename Source>
  void reorder(size_t from, const std::vector<size_t>& ends, size_t members, Source&& source) {
    bool in_place = members == ends.size();
    for (size_t j = 0; in_place && j < members; ++j) in_place = source(j) == j;
    if (in_place) return;
    moved_.assign(pieces_.begin() + static_cast<std::ptrdiff_t>(from), pieces_.end());
    // The members written are some of those met, each once: their values
    // fit where all were, and are copied there one by one (a member gives
    // a value or two, too few for a range's call).
    size_t w = from;
    for (size_t j = 0; j < members; ++j) {
      const size_t i = source(j);
      const size_t b = (i == 0 ? from : ends[i - 1]) - from, e = ends[i] - from;
      for (size_t k = b; k < e; ++k) pieces_[w++] = moved_[k];
    }
    pieces_.resize(w);
  }

  // The top-level members the rules read, in the written object's order:
  // for a named string member the copy of its text (or none when the value
  // was not written as a string); for a group the range of its values
  // (empty unless the value was written as an object).
  struct TopMember {
    FlattenRole role;
    bool is_string;
    Span text;
    size_t pieces_begin, pieces_end;
  };
  void top_member(const TopMember& m) { top_[static_cast<size_t>(m.role)] = m; }

  // The record as flatten_record_text() gives it for the text written.
  // Fails only as it does (a joined value too long for a field map).
  Status finish(FlattenedRecord& out);

  // Drops buffers grown beyond what ordinary records need.
  void trim();

 private:
  std::string_view view(Span s) const {
    return std::string_view(s.outside != nullptr ? s.outside : text_.get() + s.begin, s.size);
  }
  Span dotted(Span parent, std::string_view key);
  // Room for `n` more bytes of texts (their offsets stay valid).
  void grow(size_t n);

  std::unique_ptr<char[]> text_;  // every text kept in the record: size_ bytes of capacity_
  size_t size_ = 0, capacity_ = 0;
  std::vector<std::pair<Span, Span>> pieces_, moved_;  // (field, value)
  TopMember top_[static_cast<size_t>(FlattenRole::kAttributes) + 1];
  CollectedViews collected_;
};

}  // namespace vedra
