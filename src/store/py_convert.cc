#include "store/py_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "store/json/json_writer.h"
#include "store/json/number_text.h"
#include "store/json/utf8.h"
#include "store/py_type.h"

namespace vedra::py {
namespace {

// Clears a probing error unless it must propagate (BaseException that is not
// an Exception: KeyboardInterrupt, SystemExit, GeneratorExit, ...).
// Returns false when the error must propagate.
bool clear_probe_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

// UTF-8 of a str with every lone surrogate replaced by U+FFFD.
bool str_to_utf8_lossy(PyObject* s, std::string& out) {
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) {
    out.append(p, static_cast<size_t>(n));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  Py_UCS4* ucs4 = PyUnicode_AsUCS4Copy(s);
  if (ucs4 == nullptr) return false;
  const Py_ssize_t len = PyUnicode_GetLength(s);
  for (Py_ssize_t i = 0; i < len; ++i) append_utf8_replacing_surrogates(ucs4[i], out);
  PyMem_Free(ucs4);
  return true;
}

// str(obj) as UTF-8, lone surrogates replaced.
bool str_of(PyObject* obj, std::string& out) {
  Ref s(PyObject_Str(obj));
  if (!s) return false;
  return str_to_utf8_lossy(s.get(), out);
}

// 1 true, 0 false, -1 not a NumPy boolean, -2 error that must propagate.
int numpy_bool_value(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  if (!module) return clear_probe_error() ? -1 : -2;
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return -1;
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!name) return clear_probe_error() ? -1 : -2;
  if (!PyUnicode_Check(name.get()) || (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
                                       PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)) {
    return -1;
  }
  Ref method(PyObject_GetAttrString(type, "__bool__"));
  if (!method) return clear_probe_error() ? -1 : -2;
  Ref result(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) return clear_probe_error() ? -1 : -2;
  const int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return clear_probe_error() ? -1 : -2;
  return truth;
}

// Types whose values never reach the NumPy test.
inline bool is_plain_builtin(PyObject* obj) {
  return PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyUnicode_CheckExact(obj) || PyDict_CheckExact(obj) ||
         PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
}

enum class Probe { kNo, kYes, kError };

// The bool, integer and double rules shared by both conversions.
struct Scalar {
  enum Kind { kBool, kInt, kDouble } kind;
  bool b;
  long long i;
  double d;
};

Probe probe_scalar(PyObject* obj, Scalar& out) {
  if (PyBool_Check(obj)) {
    out.kind = Scalar::kBool;
    out.b = obj == Py_True;
    return Probe::kYes;
  }
  if (!is_plain_builtin(obj)) {
    const int nb = numpy_bool_value(obj);
    if (nb == -2) return Probe::kError;
    if (nb >= 0) {
      out.kind = Scalar::kBool;
      out.b = nb == 1;
      return Probe::kYes;
    }
  }
  if (!PyFloat_CheckExact(obj)) {
    const long long v = PyLong_AsLongLong(obj);
    if (!(v == -1 && PyErr_Occurred())) {
      out.kind = Scalar::kInt;
      out.i = v;
      return Probe::kYes;
    }
    if (!clear_probe_error()) return Probe::kError;
  }
  const double d = PyFloat_AsDouble(obj);
  if (!(d == -1.0 && PyErr_Occurred())) {
    out.kind = Scalar::kDouble;
    out.d = d;
    return Probe::kYes;
  }
  if (!clear_probe_error()) return Probe::kError;
  return Probe::kNo;
}

class RecursionGuard {
 public:
  bool enter(int depth) {
    if (depth > kMaxConvertDepth) {
      PyErr_SetString(PyExc_RecursionError, "maximum nesting depth exceeded while converting a record");
      return false;
    }
    if (Py_EnterRecursiveCall(" while converting a record")) return false;
    entered_ = true;
    return true;
  }
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }

 private:
  bool entered_ = false;
};

// ---- Python object -> compact JSON text --------------------------------------
//
// Values are written straight into one buffer, in the dict's own iteration
// order (so Python callbacks run in that order, once each).  A dict's members
// are then reordered by key bytes: each member's text is a span of the
// buffer, and the object is reassembled from the sorted spans.  Scratch
// buffers are reused per nesting level, so steady-state conversion does not
// allocate.

struct MemberText {
  std::string_view key;  // UTF-8 of the key (kept alive by `keys`)
  size_t begin, end;     // value text in the output buffer
};

struct Level {
  std::vector<MemberText> members;
  std::vector<PyObject*> keys;  // owned references
  std::string assembled;
};

class JsonTextWriter {
 public:
  explicit JsonTextWriter(std::string& out) : out_(out) {}
  ~JsonTextWriter() {
    for (Level& l : levels_) release_keys(l);
  }

  bool write(PyObject* obj, int depth, std::vector<MemberSpan>* spans);
  int max_depth() const { return max_depth_; }

 private:
  static void release_keys(Level& l) {
    for (PyObject* k : l.keys) Py_DECREF(k);
    l.keys.clear();
  }
  bool write_dict(PyObject* dict, int depth, std::vector<MemberSpan>* spans);
  bool write_sequence(PyObject* obj, int depth);
  bool write_scalar(PyObject* obj);

  std::string& out_;
  std::vector<Level> levels_;
  int max_depth_ = 0;
};

bool JsonTextWriter::write_dict(PyObject* dict, int depth, std::vector<MemberSpan>* spans) {
  if (levels_.size() < static_cast<size_t>(depth)) levels_.resize(depth);
  // References into levels_ are re-taken after every recursive call, which
  // may grow the vector.
  levels_[depth - 1].members.clear();
  const size_t start = out_.size();
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    Py_INCREF(key);
    levels_[depth - 1].keys.push_back(key);
    Py_ssize_t n = 0;
    const char* k = str_key_utf8(key, &n);
    if (k == nullptr) return false;
    Py_INCREF(value);
    Ref hold_value(value);
    const size_t begin = out_.size();
    if (!write(value, depth, nullptr)) return false;
    levels_[depth - 1].members.push_back(MemberText{std::string_view(k, static_cast<size_t>(n)), begin, out_.size()});
  }
  Level& level = levels_[depth - 1];
  auto by_key = [](const MemberText& a, const MemberText& b) { return a.key < b.key; };
  if (!std::is_sorted(level.members.begin(), level.members.end(), by_key)) {
    std::stable_sort(level.members.begin(), level.members.end(), by_key);
  }
  // Distinct str-subclass keys may share a text: keep the last, as a JSON
  // object with repeated keys reads back.
  auto& ms = level.members;
  size_t kept = 0;
  for (size_t i = 0; i < ms.size(); ++i) {
    if (i + 1 < ms.size() && ms[i + 1].key == ms[i].key) continue;
    ms[kept++] = ms[i];
  }
  ms.resize(kept);
  std::string& tmp = level.assembled;
  tmp.clear();
  tmp.reserve(out_.size() - start + level.members.size() * 8 + 2);
  JsonObjectWriter object(tmp);
  for (const MemberText& m : level.members) {
    object.key(m.key);
    if (spans) spans->push_back(MemberSpan{std::string(m.key), start + tmp.size(), start + tmp.size() + (m.end - m.begin)});
    tmp.append(out_, m.begin, m.end - m.begin);
  }
  object.end();
  out_.resize(start);
  out_ += tmp;
  release_keys(level);
  return true;
}

bool JsonTextWriter::write_sequence(PyObject* obj, int depth) {
  out_ += '[';
  bool first = true;
  auto item_out = [&](PyObject* item) {
    if (!first) out_ += ',';
    first = false;
    return write(item, depth, nullptr);
  };
  if (PyList_Check(obj)) {
    // A callback may change the list while it is walked: re-read the size.
    for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
      PyObject* item = PyList_GetItem(obj, i);
      if (item == nullptr) return false;
      Py_INCREF(item);
      Ref hold(item);
      if (!item_out(item)) return false;
    }
  } else if (PyTuple_Check(obj)) {
    const Py_ssize_t n = PyTuple_Size(obj);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!item_out(PyTuple_GetItem(obj, i))) return false;
    }
  } else {
    Ref it(PyObject_GetIter(obj));
    if (!it) return false;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      if (!item_out(raw)) return false;
    }
    if (PyErr_Occurred()) return false;
  }
  out_ += ']';
  return true;
}

bool JsonTextWriter::write_scalar(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
      write_json_string(std::string_view(s, static_cast<size_t>(n)), out_);
      return true;
    }
    if (!clear_probe_error()) return false;
  } else {
    Scalar sc;
    switch (probe_scalar(obj, sc)) {
      case Probe::kError:
        return false;
      case Probe::kYes:
        if (sc.kind == Scalar::kBool) {
          out_ += sc.b ? "true" : "false";
        } else if (sc.kind == Scalar::kInt) {
          append_int64(sc.i, out_);
        } else if (std::isfinite(sc.d)) {
          append_json_number_text(sc.d, out_);
        } else {
          out_ += "null";
        }
        return true;
      case Probe::kNo:
        break;
    }
  }
  std::string text;
  if (!str_of(obj, text)) return false;
  write_json_string(text, out_);
  return true;
}

bool JsonTextWriter::write(PyObject* obj, int depth, std::vector<MemberSpan>* spans) {
  if (obj == Py_None) {
    out_ += "null";
    return true;
  }
  const bool is_dict = PyDict_Check(obj);
  if (is_dict || PyList_Check(obj) || PyTuple_Check(obj) || PySet_Check(obj)) {
    RecursionGuard guard;
    if (!guard.enter(depth + 1)) return false;
    if (depth + 1 > max_depth_) max_depth_ = depth + 1;
    return is_dict ? write_dict(obj, depth + 1, spans) : write_sequence(obj, depth + 1);
  }
  return write_scalar(obj);
}

}  // namespace

bool value_to_text(PyObject* obj, std::string& out) {
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
      out.append(trim_white_space(std::string_view(s, static_cast<size_t>(n))));
      return true;
    }
    if (!clear_probe_error()) return false;
  } else {
    Scalar sc;
    switch (probe_scalar(obj, sc)) {
      case Probe::kError:
        return false;
      case Probe::kYes:
        if (sc.kind == Scalar::kBool) {
          out += sc.b ? "True" : "False";
        } else if (sc.kind == Scalar::kInt) {
          append_int64(sc.i, out);
        } else {
          append_positional_double(sc.d, out);
        }
        return true;
      case Probe::kNo:
        break;
    }
  }
  std::string text;
  if (!str_of(obj, text)) return false;
  out.append(trim_white_space(text));
  return true;
}

bool python_to_json_text(PyObject* obj, std::string& out, int* depth_out, std::vector<MemberSpan>* top_members) {
  JsonTextWriter writer(out);
  const bool ok = writer.write(obj, 0, top_members);
  if (depth_out) *depth_out = writer.max_depth();
  return ok;
}

}  // namespace vedra::py
