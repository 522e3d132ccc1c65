// Conversions of Python values for ingestion and filtering.
//
// Both run Python code (__str__, __index__, __float__, __bool__) and so may
// raise anything; they return false with the exception set.  Errors met while
// probing the bool, integer and double rules are cleared only when they are
// Exception subclasses: a KeyboardInterrupt or SystemExit raised there ends
// the call.
#pragma once

#include <string>

#include "binding/py.h"
#include "store/json_value.h"

namespace vedra::py {

// One field or filter value to its indexed text (appended to `out`).
bool value_to_text(PyObject* obj, std::string& out);

// A Python object to a JSON value.  `depth_out` receives the container
// nesting depth of the result (0 for a scalar).  Nesting beyond the native
// limit fails with RecursionError.
bool python_to_json(PyObject* obj, JsonValue& out, int* depth_out);

// The deepest nesting python_to_json accepts.
inline constexpr int kMaxConvertDepth = 2048;

}  // namespace vedra::py
