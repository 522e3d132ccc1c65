// Argument matching for METH_FASTCALL | METH_KEYWORDS methods, and the
// conversion of str arguments.
//
// Matching works in place on the argument array and allocates nothing unless
// it fails.  Unfilled optional parameters are set to None (borrowed).
#pragma once

#include "binding/py.h"

namespace vedra::py {

struct MethodSignature {
  const char* full_name;     // "MetadataCore.get()"
  const char* const* names;  // parameter names, in order
  int count;                 // P
  int required;              // R: the first R parameters are required
};

inline constexpr int kMaxParams = 5;

// Fills out[0..count) with borrowed references.  On failure sets TypeError
// with the interpreter-style message and returns false.
bool match_arguments(const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out);

// The constructor's check: no positional and no keyword arguments.
bool check_no_arguments(PyObject* args, PyObject* kwargs);

// Converts a str argument to UTF-8 (a view owned by `obj`).  A non-str sets
// the argument TypeError naming `name`; a lone surrogate the
// UnicodeEncodeError, unchanged.
bool extract_str(PyObject* obj, const char* name, const char** data, Py_ssize_t* size);

}  // namespace vedra::py
