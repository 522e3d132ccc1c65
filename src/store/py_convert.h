// Conversions of Python values for ingestion and filtering.
//
// Both run Python code (__str__, __index__, __float__, __bool__) and so may
// raise anything; they return false with the exception set.  Errors met while
// probing the bool, integer and double rules are cleared only when they are
// Exception subclasses: a KeyboardInterrupt or SystemExit raised there ends
// the call.
#pragma once

#include <string>
#include <vector>

#include "store/flatten.h"
#include "store/py_ref.h"

namespace vedra::py {

// One field or filter value to its indexed text (appended to `out`).
bool value_to_text(PyObject* obj, std::string& out);

// Appends the compact JSON text of a Python object to `out` (the conversion
// rules of the JSON value form; objects with members in key byte order).
// `depth_out` receives the container nesting depth (0 for a scalar).  When
// `top_members` is given and the object is a dict, it receives the spans of
// its members in key order.  Nesting beyond the native limit fails with
// RecursionError.  On failure `out` holds partial text.
bool python_to_json_text(PyObject* obj, std::string& out, int* depth_out,
                         std::vector<MemberSpan>* top_members = nullptr);

// The deepest nesting python_to_json_text accepts.
inline constexpr int kMaxConvertDepth = 2048;

}  // namespace vedra::py
