// The MetadataCore methods, one function per Python method.  Each follows
// the same protocol: match arguments, take the borrow, convert arguments in
// parameter order, run the body, release the borrow, return or raise.
#pragma once

#include "binding/py.h"

namespace vedra::py {

PyObject* method_add_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_add_record_payload(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_build(PyObject* self, PyObject* unused);
PyObject* method_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_save_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_load_snapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs `body`, mapping C++ exceptions that escape the engine (exhausted
// memory, broken invariants) to MemoryError or an internal fault, then ends
// the call through finish_call().
template <typename Body>
PyObject* guarded(Body&& body);

// Converts a str argument to UTF-8 (borrowed view).  A non-str sets the
// argument TypeError naming `name`; a lone surrogate the UnicodeEncodeError.
bool extract_str(PyObject* obj, const char* name, const char** data, Py_ssize_t* size);

// Sets "argument '<name>': '<type>' object is not an instance of '<expected>'".
PyObject* raise_argument_type_error(PyObject* obj, const char* name, const char* expected);

}  // namespace vedra::py

#include "binding/methods_inl.h"
