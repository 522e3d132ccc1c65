#include "binding/errors.h"
#include "binding/methods.h"

namespace vedra::py {

PyObject* raise_argument_type_error(PyObject* obj, const char* name, const char* expected) {
  raise_type_mismatch(obj, expected);
  reword_argument_error(name);
  return nullptr;
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
