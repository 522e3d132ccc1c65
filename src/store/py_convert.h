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

#include "store/dict_shape.h"
#include "store/flatten.h"
#include "store/flatten_collector.h"
#include "store/py_ref.h"

namespace vedra::py {

// One field or filter value to its indexed text (appended to `out`).
bool value_to_text(PyObject* obj, std::string& out);

// What python_to_json_text keeps between the calls of one engine: the
// shapes of the dicts it met (store/dict_shape.h), for each place a dict was
// met the key objects of the last few shapes there (so that a dict with the
// very same key objects finds its shape without reading a key), and its
// per-level scratch buffers, so that a stream of records of a few shapes
// converts without working out key orders or growing buffers again.  The
// only Python objects it holds between calls are those keys (exact str,
// released with it, so it must be destroyed with the interpreter lock
// held); bounded (DictShapeCache, trim()).  One call at a time uses it (the
// engine's borrow).
class JsonConversionMemory {
 public:
  JsonConversionMemory();
  ~JsonConversionMemory();
  JsonConversionMemory(const JsonConversionMemory&) = delete;
  JsonConversionMemory& operator=(const JsonConversionMemory&) = delete;

  struct Level;  // scratch of one nesting level

 private:
  friend bool python_to_json_text(PyObject*, std::string&, int*, std::vector<MemberSpan>*, JsonConversionMemory*,
                                  FlattenCollector*);
  // Drops scratch grown by an unusually large record.
  void trim();

  DictShapeCache shapes_;
  std::vector<Level> levels_;
  size_t last_size_ = 0;  // text bytes of the last conversion: the next one's first guess
};

// Appends the compact JSON text of a Python object to `out` (the conversion
// rules of the JSON value form; objects with members in key byte order).
// `depth_out` receives the container nesting depth (0 for a scalar).  When
// `top_members` is given and the object is a dict, it receives the spans of
// its members in key order, their keys views into `memory` (which must then
// be given) valid until its next conversion.  Nesting beyond the native limit fails with
// RecursionError.  On failure `out` holds partial text.  `memory`, when
// given, carries what one conversion learnt to the next.  `flatten`, when
// given, gathers the flattening of the text written (flatten_collector.h):
// after a successful conversion of a dict, flatten->finish() gives what
// flatten_record_text() would read from `out`.
bool python_to_json_text(PyObject* obj, std::string& out, int* depth_out,
                         std::vector<MemberSpan>* top_members = nullptr, JsonConversionMemory* memory = nullptr,
                         FlattenCollector* flatten = nullptr);

// The deepest nesting python_to_json_text accepts.
inline constexpr int kMaxConvertDepth = 2048;

}  // namespace vedra::py
