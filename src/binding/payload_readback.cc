// get and get_many: stored payloads handed back as fresh Python objects.
//
// A payload is kept as its compact JSON text, so reading one back is: import
// "json" (through the import machinery every time, so a replaced json.loads
// is honoured), read its loads, make a str of the text and call it.  When
// that loads is the standard library's own (standard_json.h), its result is
// built straight from the text instead (payload_builder.h): the same objects,
// without the str, the call into Python code and the second parse.
#include <algorithm>
#include <string>
#include <vector>

#include "binding/methods.h"
#include "binding/once.h"
#include "binding/payload_builder.h"
#include "binding/standard_json.h"

namespace vedra::py {
namespace {

const char* const kGetParams[] = {"code"};
const MethodSignature kGetSig = {"MetadataCore.get()", kGetParams, 1, 1};
const char* const kGetManyParams[] = {"codes"};
const MethodSignature kGetManySig = {"MetadataCore.get_many()", kGetManyParams, 1, 1};

OncePyObject g_json_name;
OncePyObject g_loads_name;
OncePyObject g_sequence_class;

// The qualified name of collections.abc.Sequence, for one error message.
std::string sequence_name() {
  PyObject* cls = g_sequence_class.get([]() -> PyObject* {
    Ref module(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "Sequence");
  });
  if (cls == nullptr) {
    PyErr_Clear();
    return "Sequence";
  }
  Ref qualname(PyObject_GetAttr(cls, interned_qualname()));
  Py_ssize_t n = 0;
  const char* s = (qualname && PyUnicode_Check(qualname.get())) ? PyUnicode_AsUTF8AndSize(qualname.get(), &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return "Sequence";
  }
  return std::string(s, static_cast<size_t>(n));
}

// Starts loading the first cache lines of a payload text.
void prefetch_text(std::string_view text) {
  const size_t lines = std::min<size_t>(text.size(), 1024) / 64;
  for (size_t k = 0; k <= lines; ++k) __builtin_prefetch(text.data() + 64 * k);
}

// The decoded payload (new reference), or nullptr with the exception set.
PyObject* payload_to_python(std::string_view text, CoreObject& core) {
  prefetch_text(text);  // arrives while the import machinery runs
  PyObject* json_name = g_json_name.get([] { return PyUnicode_InternFromString("json"); });
  PyObject* loads_name = g_loads_name.get([] { return PyUnicode_InternFromString("loads"); });
  if (json_name == nullptr || loads_name == nullptr) return nullptr;
  Ref module(PyImport_Import(json_name));
  if (!module) return nullptr;
  Ref loads(PyObject_GetAttr(module.get(), loads_name));
  if (!loads) return nullptr;
  const int standard = is_standard_json_loads(loads.get());
  if (standard < 0) return nullptr;
  if (standard == 1) {
    if (PyObject* built = build_payload_objects(text, core.key_strs, core.value_strs)) return built;
  }
  Ref str(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return nullptr;
  Ref call_args(PyTuple_Pack(1, str.get()));
  if (!call_args) return nullptr;
  return PyObject_Call(loads.get(), call_args.get(), nullptr);
}

// Capacity hint from len(codes); never more than a modest bound, because the
// length is only a hint and may be huge or false.
bool length_hint(PyObject* codes, size_t* hint) {
  *hint = 0;
  const Py_ssize_t n = PyObject_Size(codes);
  if (n < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
  }
  *hint = static_cast<size_t>(n < 4096 ? n : 4096);
  return true;
}

// One code of get_many's argument: the str (kept alive) and its UTF-8 text.
struct CodeArg {
  Ref str;
  std::string_view text;
};

bool convert_codes(PyObject* codes, std::vector<CodeArg>& out) {
  if (PyUnicode_Check(codes)) {
    PyErr_SetString(PyExc_TypeError, "argument 'codes': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(codes)) {
    raise_argument_type_error(codes, "codes", sequence_name().c_str());
    return false;
  }
  size_t hint = 0;
  if (!length_hint(codes, &hint)) return false;
  out.reserve(hint);
  Ref it(PyObject_GetIter(codes));
  if (!it) {
    reword_argument_error("codes");
    return false;
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    if (!PyUnicode_Check(raw)) {
      raise_argument_type_error(raw, "codes", "str");
      return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(raw, &n);
    if (s == nullptr) {
      reword_argument_error("codes");
      return false;
    }
    out.push_back(CodeArg{std::move(item), std::string_view(s, static_cast<size_t>(n))});
  }
  if (PyErr_Occurred()) {
    reword_argument_error("codes");
    return false;
  }
  return true;
}

}  // namespace

PyObject* method_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kGetSig, args, nargs, kwnames, Borrow::kShared,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    const char* code;
    Py_ssize_t size;
    if (!extract_str(a[0], "code", &code, &size)) return nullptr;
    const EngineState& s = core.state;
    auto it = s.code_to_record.find(std::string_view(code, static_cast<size_t>(size)));
    if (it == s.code_to_record.end()) Py_RETURN_NONE;
    return payload_to_python(s.record_payloads[it->second], core);
  });
}

PyObject* method_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_method(self, kGetManySig, args, nargs, kwnames, Borrow::kShared,
                    [&](CoreObject& core, PyObject* const* a) -> PyObject* {
    std::vector<CodeArg> codes;
    if (!convert_codes(a[0], codes)) return nullptr;
    const EngineState& s = core.state;
    // Look every code up first (the state cannot change during the call:
    // writers are refused while the shared borrow is held), then decode,
    // starting to fetch each payload's text while the previous one is read.
    std::vector<std::string_view> payloads;
    payloads.reserve(codes.size());
    for (const CodeArg& code : codes) {
      auto it = s.code_to_record.find(code.text);
      if (it != s.code_to_record.end()) payloads.push_back(s.record_payloads[it->second]);
    }
    codes.clear();
    std::vector<Ref> results;
    results.reserve(payloads.size());
    for (size_t i = 0; i < payloads.size(); ++i) {
      if (i + 1 < payloads.size()) prefetch_text(payloads[i + 1]);
      PyObject* value = payload_to_python(payloads[i], core);
      if (value == nullptr) return nullptr;  // collected results are released by `results`
      results.emplace_back(value);
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < results.size(); ++i) PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), results[i].release());
    return list.release();
  });
}

}  // namespace vedra::py
