// CodeStrCache: one Python str per record code, made on first use.
//
// filter() and find() answer with lists of codes; building a fresh str for
// every code of a large answer costs more than the set work itself.  Codes
// never change once registered, so each record's str is made once and shared
// by every answer (str objects are immutable, so sharing is invisible to
// callers).  The strs hold no references, so the owner needs no GC support.
//
// REQUIRES: the interpreter lock for every call.  Owned by CoreObject.
#pragma once

#include <cstdint>
#include <vector>

#include "binding/py.h"
#include "store/engine_state.h"

namespace vedra::py {

class CodeStrCache {
 public:
  CodeStrCache() = default;
  ~CodeStrCache() { clear(); }
  CodeStrCache(const CodeStrCache&) = delete;
  CodeStrCache& operator=(const CodeStrCache&) = delete;

  // A new list of the codes of `records`, in order.
  PyObject* code_list(const EngineState& s, const std::vector<uint32_t>& records) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(records.size());
    PyObject* list = PyList_New(n);
    if (list == nullptr) return nullptr;
    if (strs_.size() < s.next_record) strs_.resize(s.next_record, nullptr);
    PyObject** strs = strs_.data();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* str = strs[records[i]];
      if (str == nullptr) {
        const std::string_view c = s.record_texts.code(records[i]);
        str = PyUnicode_FromStringAndSize(c.data(), static_cast<Py_ssize_t>(c.size()));
        if (str == nullptr) {
          Py_DECREF(list);
          return nullptr;
        }
        strs[records[i]] = str;
      }
      Py_INCREF(str);
      PyList_SetItem(list, i, str);  // steals the new reference
    }
    return list;
  }

  // Drops every str; required whenever the records are replaced.
  void clear() {
    std::vector<PyObject*> old;
    old.swap(strs_);
    for (PyObject* o : old) Py_XDECREF(o);
  }

 private:
  std::vector<PyObject*> strs_;  // by record number; null until first use
};

}  // namespace vedra::py
