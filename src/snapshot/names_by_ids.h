// NamesByIds: shared field name lists (store/field_names.h) for the
// documents of one index payload decoding, found by the ids the decoder
// gives their field names (IndexDocView::field_ids: equal ids, equal names).
//
// A list is made the second time a sequence of ids comes, and handed out
// from then on, so that the documents of each repeating shape share their
// names while a catalogue whose documents all differ in shape makes none
// (each of its maps keeps its own names, costing no more than before).  The
// table tracks a bounded number of shapes; those beyond keep their own names.
//
// Cost: one hash over a document's ids and one comparison with the ids of
// its shape.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "store/field_names.h"

namespace vedra {

class NamesByIds {
 public:
  NamesByIds() = default;
  NamesByIds(const NamesByIds&) = delete;
  NamesByIds& operator=(const NamesByIds&) = delete;
  ~NamesByIds() {
    for (const Slot& s : slots_) {
      if (s.names != nullptr) s.names->unref();
    }
  }

  // The list of the names of `fields`, whose ids are `ids`, when a document
  // with these ids came before; null otherwise.  The list stays valid while
  // the table lives; a map taking it takes its own reference.
  // REQUIRES: ids.size() == fields.size(), not empty.  Throws std::bad_alloc.
  template <typename Field>
  const FieldNames* find(std::span<const uint32_t> ids, std::span<const Field> fields) {
    uint64_t h = ids.size();
    for (const uint32_t id : ids) h = (h ^ id) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    for (size_t i = h & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
      Slot& s = slots_[i];
      if (!s.used) {
        if (shapes_ == kShapes) return nullptr;
        s.ids.assign(ids.begin(), ids.end());
        s.hash = h;
        s.used = true;
        ++shapes_;
        return nullptr;
      }
      if (s.hash != h || !std::equal(ids.begin(), ids.end(), s.ids.begin(), s.ids.end())) continue;
      if (s.names == nullptr) {
        struct Names {
          std::span<const Field> fields;
          struct It {
            const Field* f;
            std::string_view operator*() const { return f->first; }
            It& operator++() {
              ++f;
              return *this;
            }
            bool operator!=(const It& o) const { return f != o.f; }
          };
          It begin() const { return It{fields.data()}; }
          It end() const { return It{fields.data() + fields.size()}; }
        };
        s.names = FieldNames::make(Names{fields});
      }
      return s.names;
    }
  }

 private:
  static constexpr size_t kShapes = 64;
  static constexpr size_t kSlots = 2 * kShapes;  // a power of two: probes stay short
  struct Slot {
    bool used = false;
    uint64_t hash = 0;
    std::vector<uint32_t> ids;
    const FieldNames* names = nullptr;  // one reference, the table's
  };
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
  size_t shapes_ = 0;
};

}  // namespace vedra
