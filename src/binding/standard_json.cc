#include "binding/standard_json.h"

#include <memory>
#include <utility>
#include <vector>

#include "binding/once.h"

namespace vedra::py {
namespace {

// ---------------------------------------------------------------------------
// Names and reference objects

OncePyObject g_name_code;
OncePyObject g_name_kwdefaults;
OncePyObject g_name_defaults;
OncePyObject g_name_default_decoder;
OncePyObject g_name_decode;
OncePyObject g_name_raw_decode;
OncePyObject g_name_scan_once;
OncePyObject g_name_getattribute;

struct Names {
  PyObject* code;
  PyObject* kwdefaults;
  PyObject* defaults;
  PyObject* default_decoder;
  PyObject* decode;
  PyObject* raw_decode;
  PyObject* scan_once;
  PyObject* getattribute;
};

bool get_names(Names& n) {
  n.code = g_name_code.get([] { return PyUnicode_InternFromString("__code__"); });
  n.kwdefaults = g_name_kwdefaults.get([] { return PyUnicode_InternFromString("__kwdefaults__"); });
  n.defaults = g_name_defaults.get([] { return PyUnicode_InternFromString("__defaults__"); });
  n.default_decoder = g_name_default_decoder.get([] { return PyUnicode_InternFromString("_default_decoder"); });
  n.decode = g_name_decode.get([] { return PyUnicode_InternFromString("decode"); });
  n.raw_decode = g_name_raw_decode.get([] { return PyUnicode_InternFromString("raw_decode"); });
  n.scan_once = g_name_scan_once.get([] { return PyUnicode_InternFromString("scan_once"); });
  n.getattribute = g_name_getattribute.get([] { return PyUnicode_InternFromString("__getattribute__"); });
  return n.code && n.kwdefaults && n.defaults && n.default_decoder && n.decode && n.raw_decode && n.scan_once &&
         n.getattribute;
}

// What the standard objects are compared with; made once (never released).
struct Reference {
  PyObject* function_type;  // types.FunctionType
  PyObject* scanner_type;   // _json.make_scanner
  PyObject* init_path;      // realpath of <stdlib>/json/__init__.py
  PyObject* decoder_path;   // realpath of <stdlib>/json/decoder.py
};
Reference* g_reference = nullptr;

// An import that bypasses builtins.__import__: these are the interpreter's
// own modules, whatever a hook would hand out for their names.
Ref import_module(const char* name) { return Ref(PyImport_ImportModuleLevel(name, nullptr, nullptr, nullptr, 0)); }

Ref attr(PyObject* o, const char* name) { return Ref(PyObject_GetAttrString(o, name)); }

// os.path.realpath(os.path.join(stdlib, "json", file)).
Ref stdlib_json_file(PyObject* os_path, PyObject* stdlib, const char* file) {
  Ref joined(PyObject_CallMethod(os_path, "join", "Oss", stdlib, "json", file));
  if (!joined) return Ref();
  return Ref(PyObject_CallMethod(os_path, "realpath", "O", joined.get()));
}

// The reference objects (borrowed), or nullptr with an exception set.  Runs
// Python code (imports), so no lock is held: concurrent first calls each
// build their own and the first published wins.
const Reference* reference() {
  if (g_reference != nullptr) return g_reference;
  Ref types = import_module("types");
  Ref json_c = types ? import_module("_json") : Ref();
  Ref sysconfig = json_c ? import_module("sysconfig") : Ref();
  Ref os_path = sysconfig ? import_module("os.path") : Ref();
  if (!os_path) return nullptr;
  // "os.path" imports as the package "os" at level 0 without a fromlist.
  Ref os_path_module = attr(os_path.get(), "path");
  if (!os_path_module) return nullptr;
  Ref function_type = attr(types.get(), "FunctionType");
  Ref scanner_type = function_type ? attr(json_c.get(), "make_scanner") : Ref();
  Ref stdlib = scanner_type ? Ref(PyObject_CallMethod(sysconfig.get(), "get_path", "s", "stdlib")) : Ref();
  if (!stdlib) return nullptr;
  Ref init_path = stdlib_json_file(os_path_module.get(), stdlib.get(), "__init__.py");
  Ref decoder_path = init_path ? stdlib_json_file(os_path_module.get(), stdlib.get(), "decoder.py") : Ref();
  if (!decoder_path) return nullptr;
  if (g_reference == nullptr) {
    g_reference = new Reference{function_type.release(), scanner_type.release(), init_path.release(),
                                decoder_path.release()};
  }
  return g_reference;
}

// ---------------------------------------------------------------------------
// The verified state

using Entries = std::vector<std::pair<Ref, Ref>>;

// Everything one verification looked at, with strong references so that
// identities cannot be recycled while recorded.
struct Verified {
  Ref loads;
  bool loads_is_function = false;
  Ref code, kwdefaults;
  Entries kwdefault_entries;
  Ref globals;
  bool loads_ok = false;  // the function part is standard
  Ref decoder, cls, instance_dict;
  Entries instance_entries;
  bool decoder_ok = false;  // ... and so are the decoder and its class
  Ref decode, raw_decode, decode_code, decode_defaults, raw_decode_code;
  Ref class_dict;  // a live view of the class's own attributes
};

// Shared so that a check in progress keeps its state alive if a re-entrant
// call publishes a new one.
std::shared_ptr<Verified>* g_verified = nullptr;

Ref hold(PyObject* o) {
  Py_XINCREF(o);
  return Ref(o);
}

Entries record_entries(PyObject* dict) {
  Entries out;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) out.emplace_back(hold(k), hold(v));
  return out;
}

// True when `dict` holds exactly the recorded keys and values, in order.
bool same_entries(PyObject* dict, const Entries& entries) {
  if (PyDict_Size(dict) != static_cast<Py_ssize_t>(entries.size())) return false;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  size_t i = 0;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (i >= entries.size() || entries[i].first.get() != k || entries[i].second.get() != v) return false;
    ++i;
  }
  return i == entries.size();
}

bool str_is(PyObject* s, const char* text) {
  return s != nullptr && PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// The verdict when verification stopped at a failure: 0 (not the standard
// loads) after clearing an ordinary exception or when none is set, -1 when
// the exception must propagate (one not derived from Exception, such as
// KeyboardInterrupt).
int not_standard_unless_fatal() {
  if (!PyErr_Occurred()) return 0;
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

// True when `function` (a FunctionType) has a code object named `name`
// from the file `path`.
int function_from(PyObject* function, const char* name, PyObject* path, Ref* code_out) {
  Ref code = attr(function, "__code__");
  if (!code) return -1;
  Ref co_name = attr(code.get(), "co_name");
  if (!co_name) return -1;
  if (!str_is(co_name.get(), name)) return 0;
  Ref filename = attr(code.get(), "co_filename");
  if (!filename) return -1;
  Ref os = import_module("os");
  Ref os_path = os ? attr(os.get(), "path") : Ref();
  Ref real = os_path ? Ref(PyObject_CallMethod(os_path.get(), "realpath", "O", filename.get())) : Ref();
  if (!real) return -1;
  const int same = PyObject_RichCompareBool(real.get(), path, Py_EQ);
  if (same <= 0) return same;
  *code_out = std::move(code);
  return 1;
}

// 1 when the class's own attributes (`class_dict`, a view) change what
// decode() reads from the instance: a __getattribute__ of its own, or any
// attribute named scan_once (a descriptor there can shadow the instance's
// scanner).  decode and raw_decode are compared by identity elsewhere.  The
// only base is object, which cannot change, and no other base can be
// assigned to a class whose instances have object's layout and deallocator
// (the interpreter refuses __bases__ = (a Python class,)).  -1 with an
// exception set.
int class_overrides(PyObject* class_dict, const Names& names) {
  for (PyObject* name : {names.getattribute, names.scan_once}) {
    const int r = PySequence_Contains(class_dict, name);
    if (r != 0) return r;
  }
  return 0;
}

// The decoder part of `v` (which holds a standard loads), recorded and
// judged.  Returns 1 / 0 / -1 as is_standard_json_loads.
int verify_decoder(Verified& v, const Reference& ref, const Names& names) {
  PyObject* decoder = PyDict_GetItemWithError(v.globals.get(), names.default_decoder);  // borrowed
  if (decoder == nullptr) return not_standard_unless_fatal();
  v.decoder = hold(decoder);
  v.cls = hold(reinterpret_cast<PyObject*>(Py_TYPE(decoder)));
  v.instance_dict = Ref(PyObject_GenericGetDict(decoder, nullptr));
  if (!v.instance_dict || !PyDict_Check(v.instance_dict.get())) return not_standard_unless_fatal();
  v.instance_entries = record_entries(v.instance_dict.get());

  PyObject* cls = v.cls.get();
  if (Py_TYPE(cls) != &PyType_Type) return 0;
  Ref module = attr(cls, "__module__");
  Ref qualname = module ? attr(cls, "__qualname__") : Ref();
  Ref mro = qualname ? attr(cls, "__mro__") : Ref();
  if (!mro) return not_standard_unless_fatal();
  if (!str_is(module.get(), "json.decoder") || !str_is(qualname.get(), "JSONDecoder")) return 0;
  if (!PyTuple_Check(mro.get()) || PyTuple_Size(mro.get()) != 2 ||
      PyTuple_GetItem(mro.get(), 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
    return 0;
  }
  v.class_dict = attr(cls, "__dict__");
  if (!v.class_dict) return not_standard_unless_fatal();
  const int overridden = class_overrides(v.class_dict.get(), names);
  if (overridden != 0) return overridden < 0 ? not_standard_unless_fatal() : 0;

  v.decode = Ref(PyObject_GetAttr(cls, names.decode));
  v.raw_decode = v.decode ? Ref(PyObject_GetAttr(cls, names.raw_decode)) : Ref();
  if (!v.raw_decode) return not_standard_unless_fatal();
  if (Py_TYPE(v.decode.get()) != reinterpret_cast<PyTypeObject*>(ref.function_type) ||
      Py_TYPE(v.raw_decode.get()) != reinterpret_cast<PyTypeObject*>(ref.function_type)) {
    return 0;
  }
  int r = function_from(v.decode.get(), "decode", ref.decoder_path, &v.decode_code);
  if (r == 1) r = function_from(v.raw_decode.get(), "raw_decode", ref.decoder_path, &v.raw_decode_code);
  if (r != 1) return r < 0 ? not_standard_unless_fatal() : 0;
  v.decode_defaults = Ref(PyObject_GetAttr(v.decode.get(), names.defaults));
  if (!v.decode_defaults) return not_standard_unless_fatal();
  PyObject* defaults = v.decode_defaults.get();
  if (!PyTuple_Check(defaults) || PyTuple_Size(defaults) != 1) return 0;
  PyObject* w = PyTuple_GetItem(defaults, 0);
  Ref w_name = attr(w, "__name__");
  Ref w_self = w_name ? attr(w, "__self__") : Ref();
  Ref w_pattern = w_self ? attr(w_self.get(), "pattern") : Ref();
  if (!w_pattern) return not_standard_unless_fatal();
  if (!str_is(w_name.get(), "match") || !str_is(w_pattern.get(), "[ \\t\\n\\r]*")) return 0;

  // The instance's own attributes.
  PyObject* d = v.instance_dict.get();
  auto item = [d](const char* key) { return PyDict_GetItemString(d, key); };  // borrowed or null
  if (item("decode") != nullptr || item("raw_decode") != nullptr) return 0;
  PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  if (item("object_hook") != Py_None || item("object_pairs_hook") != Py_None ||
      item("parse_float") != float_type || item("parse_int") != int_type ||
      item("strict") != Py_True) {
    return 0;
  }
  PyObject* scanner = item("scan_once");
  if (scanner == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(scanner)) != ref.scanner_type) return 0;
  const std::pair<const char*, PyObject*> settings[] = {
      {"strict", Py_True}, {"object_hook", Py_None}, {"object_pairs_hook", Py_None},
      {"parse_float", float_type}, {"parse_int", int_type}};
  for (const auto& [name, expected] : settings) {
    Ref value = attr(scanner, name);
    if (!value) return not_standard_unless_fatal();
    if (value.get() != expected) return 0;
  }
  v.decoder_ok = true;
  return 1;
}

// A complete verification of `loads`, recorded in `v`.
int verify(Verified& v, PyObject* loads, const Names& names) {
  v.loads = hold(loads);
  const Reference* ref = reference();
  if (ref == nullptr) return not_standard_unless_fatal();
  if (Py_TYPE(loads) != reinterpret_cast<PyTypeObject*>(ref->function_type)) return 0;
  v.loads_is_function = true;
  v.code = Ref(PyObject_GetAttr(loads, names.code));
  if (!v.code) return not_standard_unless_fatal();
  v.kwdefaults = Ref(PyObject_GetAttr(loads, names.kwdefaults));
  if (!v.kwdefaults) return not_standard_unless_fatal();
  if (PyDict_Check(v.kwdefaults.get())) v.kwdefault_entries = record_entries(v.kwdefaults.get());
  v.globals = attr(loads, "__globals__");
  if (!v.globals) return not_standard_unless_fatal();
  Ref code;
  const int from = function_from(loads, "loads", ref->init_path, &code);
  if (from != 1) return from < 0 ? not_standard_unless_fatal() : 0;
  if (code.get() != v.code.get()) return 0;

  Ref defaults(PyObject_GetAttr(loads, names.defaults));
  if (!defaults) return not_standard_unless_fatal();
  if (defaults.get() != Py_None || !PyDict_Check(v.kwdefaults.get()) || v.kwdefault_entries.size() != 6) return 0;
  static const char* const kHooks[] = {"cls", "object_hook", "parse_float", "parse_int", "parse_constant",
                                       "object_pairs_hook"};
  for (const char* hook : kHooks) {
    if (PyDict_GetItemString(v.kwdefaults.get(), hook) != Py_None) return 0;
  }
  if (!PyDict_Check(v.globals.get())) return 0;
  if (!str_is(PyDict_GetItemString(v.globals.get(), "__name__"), "json")) return 0;
  v.loads_ok = true;
  return verify_decoder(v, *ref, names);
}

// The function part of `v` still describes `loads` (REQUIRES: v.loads is
// loads and a function).  No Python code runs.
bool function_unchanged(const Verified& v, PyObject* loads, const Names& names) {
  Ref code(PyObject_GetAttr(loads, names.code));
  Ref kwdefaults(code ? PyObject_GetAttr(loads, names.kwdefaults) : nullptr);
  if (!kwdefaults) {
    PyErr_Clear();
    return false;
  }
  if (code.get() != v.code.get()) return false;
  if (kwdefaults.get() != v.kwdefaults.get()) return false;
  return !PyDict_Check(kwdefaults.get()) || same_entries(kwdefaults.get(), v.kwdefault_entries);
}

// The decoder part of `v` still holds (REQUIRES: v.loads_ok).
bool decoder_unchanged(const Verified& v, const Names& names) {
  PyObject* decoder = PyDict_GetItemWithError(v.globals.get(), names.default_decoder);  // borrowed
  if (decoder == nullptr) {
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    return !v.decoder;  // still missing: still not standard
  }
  if (decoder != v.decoder.get()) return false;
  if (reinterpret_cast<PyObject*>(Py_TYPE(decoder)) != v.cls.get()) return false;
  Ref dict(PyObject_GenericGetDict(decoder, nullptr));
  if (!dict) {
    PyErr_Clear();
    return !v.instance_dict;  // still without a dict: still not standard
  }
  if (dict.get() != v.instance_dict.get() || !same_entries(dict.get(), v.instance_entries)) return false;
  if (!v.decoder_ok) return true;  // unchanged, and still not standard
  const int overridden = class_overrides(v.class_dict.get(), names);
  if (overridden != 0) {
    if (overridden < 0) PyErr_Clear();
    return false;
  }
  Ref decode(PyObject_GetAttr(v.cls.get(), names.decode));
  Ref raw_decode(decode ? PyObject_GetAttr(v.cls.get(), names.raw_decode) : nullptr);
  Ref decode_code(raw_decode ? PyObject_GetAttr(v.decode.get(), names.code) : nullptr);
  Ref decode_defaults(decode_code ? PyObject_GetAttr(v.decode.get(), names.defaults) : nullptr);
  Ref raw_decode_code(decode_defaults ? PyObject_GetAttr(v.raw_decode.get(), names.code) : nullptr);
  if (!raw_decode_code) {
    PyErr_Clear();
    return false;
  }
  return decode.get() == v.decode.get() && raw_decode.get() == v.raw_decode.get() &&
         decode_code.get() == v.decode_code.get() && decode_defaults.get() == v.decode_defaults.get() &&
         raw_decode_code.get() == v.raw_decode_code.get();
}

int verdict(const Verified& v) { return v.loads_ok && v.decoder_ok ? 1 : 0; }

}  // namespace

int is_standard_json_loads(PyObject* loads) {
  Names names;
  if (!get_names(names)) return not_standard_unless_fatal() < 0 ? -1 : 0;
  if (g_verified != nullptr) {
    std::shared_ptr<Verified> v = *g_verified;  // alive through this check
    if (v->loads.get() == loads) {
      if (!v->loads_is_function) return 0;
      if (function_unchanged(*v, loads, names)) {
        if (!v->loads_ok) return 0;
        if (decoder_unchanged(*v, names)) return verdict(*v);
      }
    }
  }
  auto fresh = std::make_shared<Verified>();
  const int r = verify(*fresh, loads, names);
  if (r < 0) return -1;
  if (g_verified == nullptr) g_verified = new std::shared_ptr<Verified>();
  std::shared_ptr<Verified> old = std::exchange(*g_verified, fresh);
  old.reset();  // may release the last references to replaced objects
  return verdict(*fresh);
}

}  // namespace vedra::py
