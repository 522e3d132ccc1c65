// FieldKeyMemo: the keys of the last `fields` dict add_record took, with
// their UTF-8 texts.
//
// A caller builds the fields dicts of one catalogue from the same key
// objects in the same order (literals, or the keys of one template), so the
// key at position i of the next dict is most often the very object held at
// position i here: its text is then known without asking the interpreter,
// and the memo's reference keeps the text alive for the whole call.  Only
// exact str keys are held: a str's text never changes, a held object's
// address cannot be reused, and a str refers to no other object, so the
// memo needs no GC support.
//
// Bounded: the first kMaxKeys keys of one dict.  Changed only by
// replace(), which a call makes once it holds no view of the texts held
// before.  Owned by CoreObject; destroyed with the interpreter lock held.
#pragma once

#include <cstddef>
#include <new>
#include <string_view>
#include <vector>

#include "binding/py.h"

namespace vedra::py {

class FieldKeyMemo {
 public:
  static constexpr size_t kMaxKeys = 64;

  FieldKeyMemo() = default;
  ~FieldKeyMemo() { clear(); }
  FieldKeyMemo(const FieldKeyMemo&) = delete;
  FieldKeyMemo& operator=(const FieldKeyMemo&) = delete;

  // The text of `key` when it is the object held at `position`, else null.
  const std::string_view* find(size_t position, PyObject* key) const {
    return position < keys_.size() && keys_[position] == key ? &texts_[position] : nullptr;
  }

  // Holds keys[0, n) (the first kMaxKeys of them, up to the first that is
  // not an exact str) with their texts, in place of those held.  Never
  // fails: when memory is short the memo is left empty.
  void replace(PyObject* const* keys, const std::string_view* texts, size_t n) noexcept {
    size_t kept = 0;
    while (kept < n && kept < kMaxKeys && PyUnicode_CheckExact(keys[kept])) ++kept;
    for (size_t i = 0; i < kept; ++i) Py_INCREF(keys[i]);  // before the old ones go: they may be the same
    clear();
    try {
      keys_.assign(keys, keys + kept);
      texts_.assign(texts, texts + kept);
    } catch (const std::bad_alloc&) {
      for (size_t i = 0; i < kept; ++i) Py_DECREF(keys[i]);
      keys_.clear();
      texts_.clear();
    }
  }

 private:
  void clear() noexcept {
    for (PyObject* k : keys_) Py_DECREF(k);
    keys_.clear();
    texts_.clear();
  }

  std::vector<PyObject*> keys_;  // owned references
  std::vector<std::string_view> texts_;
};

}  // namespace vedra::py
