// Failure mapping: every engine failure becomes a Python exception here, and
// only here.
//
//   Status (engine)           -> ValueError(message)
//   wrong argument type       -> TypeError("argument '<name>': ...")
//   internal fault            -> pyo3_runtime.PanicException(message)
//   interpreter call failed without an exception -> SystemError
#pragma once

#include <string>

#include "base/status.h"
#include "binding/py.h"

namespace vedra::py {

// Interned "__qualname__" and "__all__" (created once per process).
PyObject* interned_qualname();
PyObject* interned_all();

// The PanicException class (BaseException subclass), created on first need.
// Returns a borrowed reference, or nullptr with an exception set.
PyObject* panic_exception_type();

// Reports an internal fault on standard error and sets PanicException(message).
// Always returns nullptr.
PyObject* raise_internal_fault(const char* message);

// Sets ValueError(status.message()).  Returns nullptr.
PyObject* raise_status(const Status& status);

// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* obj);

// Sets TypeError "'<type>' object is not an instance of '<expected>'", or
// "'None' is not an instance of '<expected>'" for None.  Returns nullptr.
PyObject* raise_type_mismatch(PyObject* obj, const char* expected);

// If the pending exception is a TypeError, replaces it by
// TypeError("argument '<name>': " + str(error)) whose __cause__ is the
// original error's __cause__.  Other exceptions are left pending unchanged.
void reword_argument_error(const char* name);

// Sets "argument '<name>': '<type>' object is not an instance of '<expected>'"
// (raise_type_mismatch, then reword_argument_error).  Returns nullptr.
PyObject* raise_argument_type_error(PyObject* obj, const char* name, const char* expected);

// Ends a method call: turns a missing exception into SystemError and a
// PanicException raised by Python code into a new internal fault.
PyObject* finish_call(PyObject* result);

// UTF-8 view of a dict key that must be a str: nullptr with TypeError
// "'<type>' object is not an instance of 'str'" (no argument prefix) for
// another type, or the UnicodeEncodeError of a str without a UTF-8 form.
const char* str_key_utf8(PyObject* key, Py_ssize_t* size);

}  // namespace vedra::py
