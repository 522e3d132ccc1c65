#include "store/py_type.h"

namespace vedra::py {

std::string type_name_of(PyObject* obj) {
  // Only failure messages ask, so the attribute name is not kept interned.
  Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(qualname.get(), &n);
  if (s == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(s, static_cast<size_t>(n));
}

PyObject* raise_type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    const std::string name = type_name_of(obj);
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), expected);
  }
  return nullptr;
}

const char* str_key_utf8(PyObject* key, Py_ssize_t* size) {
  if (!PyUnicode_Check(key)) {
    raise_type_mismatch(key, "str");
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(key, size);
}

}  // namespace vedra::py
