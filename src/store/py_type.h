// The type of a Python value in messages, and the TypeError for a value of
// the wrong type: shared by the store's Python conversions and the binding's
// argument errors.
//
// Thread safety: call with the interpreter lock held.
#pragma once

#include <string>

#include "store/py_ref.h"

namespace vedra::py {

// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* obj);

// Sets TypeError "'<type>' object is not an instance of '<expected>'", or
// "'None' is not an instance of '<expected>'" for None.  Returns nullptr.
PyObject* raise_type_mismatch(PyObject* obj, const char* expected);

// UTF-8 view of a dict key that must be a str: nullptr with TypeError
// "'<type>' object is not an instance of 'str'" (no argument prefix) for
// another type, or the UnicodeEncodeError of a str without a UTF-8 form.
const char* str_key_utf8(PyObject* key, Py_ssize_t* size);

}  // namespace vedra::py
