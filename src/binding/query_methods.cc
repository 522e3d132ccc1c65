// filter and find: read-only queries under the shared borrow.
#include <string>
#include <vector>

#include "binding/methods.h"
#include "index/query.h"
#include "store/py_convert.h"

namespace vedra::py {
namespace {

const char* const kFilterParams[] = {"filters"};
const MethodSignature kFilterSig = {"MetadataCore.filter()", kFilterParams, 1, 1};
const char* const kFindParams[] = {"text"};
const MethodSignature kFindSig = {"MetadataCore.find()", kFindParams, 1, 1};

struct FilterEntry {
  std::string_view key;  // view into the dict key's UTF-8 (kept alive by `hold_key`)
  PyObject* value;       // held by `hold_value`
  Ref hold_key, hold_value;
};

// Feeds the texts of one entry's value to `query`, converting its items one
// by one.  Returns false with an exception set when a conversion fails.
bool add_entry_texts(PyObject* value, std::string& text, FilterQuery& query) {
  auto add = [&](PyObject* item) {
    text.clear();
    if (!value_to_text(item, text)) return false;
    query.add_text(text);
    return true;
  };
  if (PyList_Check(value)) {
    for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
      PyObject* item = PyList_GetItem(value, i);
      if (item == nullptr) return false;
      Ref hold((Py_INCREF(item), item));
      if (!add(item)) return false;
    }
    return true;
  }
  if (PyTuple_Check(value)) {
    const Py_ssize_t n = PyTuple_Size(value);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!add(PyTuple_GetItem(value, i))) return false;
    }
    return true;
  }
  if (PySet_Check(value)) {
    Ref it(PyObject_GetIter(value));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      if (!add(item.get())) return false;
    }
    return !PyErr_Occurred();
  }
  return add(value);
}

}  // namespace

PyObject* method_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kFilterSig, args, nargs, kwnames, Borrow::kShared,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    PyObject* filters = a[0];
    if (!PyDict_Check(filters)) return raise_argument_type_error(filters, "filters", "dict");

    // One entry per key text.  Exact str keys of equal text are one dict key
    // already; str subclasses with their own equality can put the same text
    // under several keys, and then the last value in dict order is taken, at
    // the position of the first (as assigning into a dict keyed by text would).
    std::vector<FilterEntry> entries;
    entries.reserve(static_cast<size_t>(PyDict_Size(filters)));
    TextMap<size_t> entry_of_key;  // filled only once a str subclass key is seen
    bool all_exact = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(filters, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) return raise_argument_type_error(key, "filters", "str");
      Py_ssize_t n = 0;
      const char* k = PyUnicode_AsUTF8AndSize(key, &n);
      if (k == nullptr) return nullptr;
      const std::string_view text(k, static_cast<size_t>(n));
      if (all_exact && !PyUnicode_CheckExact(key)) {
        all_exact = false;
        for (size_t i = 0; i < entries.size(); ++i) entry_of_key.emplace(entries[i].key, i);
      }
      if (!all_exact) {
        auto [it, inserted] = entry_of_key.emplace(text, entries.size());
        if (!inserted) {
          FilterEntry& earlier = entries[it->second];
          Py_INCREF(value);
          earlier.value = value;
          earlier.hold_value = Ref(value);
          continue;
        }
      }
      Py_INCREF(key);
      Py_INCREF(value);
      entries.push_back(FilterEntry{text, value, Ref(key), Ref(value)});
    }

    // Every entry's values are converted before it is applied; once the
    // result is empty the remaining entries are neither applied nor converted.
    const EngineState& s = core.state;
    FilterQuery query(s.field_index, s.next_record);
    std::string text;
    for (const FilterEntry& e : entries) {
      query.begin_entry(e.key);
      if (!add_entry_texts(e.value, text, query)) return nullptr;
      query.end_entry();
      if (query.empty()) break;
    }
    const std::vector<uint32_t> records = query.records();
    if (records.empty()) return PyList_New(0);
    return core.code_strs.code_list(s, records);
  });
}

PyObject* method_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kFindSig, args, nargs, kwnames, Borrow::kShared,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    const char* text;
    Py_ssize_t size;
    if (!extract_str(a[0], "text", &text, &size)) return nullptr;
    return core.code_strs.code_list(
        core.state, find_code_records(core.state.matcher.get(), core.state.pattern_records, [&](uint32_t r) { return core.state.record_texts.code(r); }, std::string_view(text, static_cast<size_t>(size))));
  });
}

}  // namespace vedra::py
