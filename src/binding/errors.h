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
#include "store/py_type.h"  // type_name_of, raise_type_mismatch, str_key_utf8

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

}  // namespace vedra::py
