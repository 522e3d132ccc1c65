#include "binding/args.h"

#include <cstring>
#include <string>

#include "binding/errors.h"

namespace vedra::py {
namespace {

const char* verb(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const char* const* names, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (count == 2) {
        out += " and ";
      } else {
        out += (i == count - 1) ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Index of the parameter named by `key`, or -1.
int parameter_index(const MethodSignature& sig, PyObject* key) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < sig.count; ++i) {
    const size_t len = std::strlen(sig.names[i]);
    if (static_cast<size_t>(n) == len && std::memcmp(s, sig.names[i], len) == 0) return i;
  }
  return -1;
}

}  // namespace

bool match_arguments(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
  if (nargs > sig.count) {
    if (sig.required == sig.count) {
      PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.full_name, sig.count,
                   nargs, verb(nargs));
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given", sig.full_name,
                   sig.required, sig.count, nargs, verb(nargs));
    }
    return false;
  }
  for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    const int i = parameter_index(sig, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, key);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.full_name, key);
      return false;
    }
    out[i] = args[nargs + k];
  }
  const char* missing[kMaxParams];
  int n_missing = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing[n_missing++] = sig.names[i];
  }
  if (n_missing > 0) {
    const std::string list = quoted_list(missing, n_missing);
    PyErr_Format(PyExc_TypeError, "%s missing %d required positional argument%s: %s", sig.full_name, n_missing,
                 n_missing == 1 ? "" : "s", list.c_str());
    return false;
  }
  for (int i = sig.required; i < sig.count; ++i) {
    if (out[i] == nullptr) out[i] = Py_None;
  }
  return true;
}

bool check_no_arguments(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t n = args ? PyTuple_Size(args) : 0;
  if (n > 0) {
    PyErr_Format(PyExc_TypeError, "MetadataCore.__new__() takes 0 positional arguments but %zd %s given", n,
                 verb(n));
    return false;
  }
  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyDict_Next(kwargs, &pos, &key, &value);
    Ref text(PyObject_Str(key));
    if (!text) return false;
    PyErr_Format(PyExc_TypeError, "MetadataCore.__new__() got an unexpected keyword argument '%U'", text.get());
    return false;
  }
  return true;
}

bool extract_str(PyObject* obj, const char* name, const char** data, Py_ssize_t* size) {
  if (!PyUnicode_Check(obj)) {
    raise_argument_type_error(obj, name, "str");
    return false;
  }
  *data = PyUnicode_AsUTF8AndSize(obj, size);
  return *data != nullptr;
}

}  // namespace vedra::py
