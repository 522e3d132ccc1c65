// vedra_runtime: the extension module.
//
// In Python terms the module is:
//
//     class MetadataCore:
//         def add_record(self, code, name, pinyin, fields, payload=None): ...
//         def add_record_payload(self, record): ...
//         def build(self): ...
//         def filter(self, filters): ...          # -> list[str]
//         def find(self, text): ...               # -> list[str]
//         def get(self, code): ...                # -> object | None
//         def get_many(self, codes): ...          # -> list[object]
//         def save_snapshot(self, full_file_path, index_file_path, manifest_file_path=None): ...
//         def load_snapshot(self, full_file_path, index_file_path): ...
//     __all__ = ["MetadataCore"]
#include "binding/core_object.h"
#include "binding/errors.h"
#include "binding/thread_prime.h"

namespace vedra::py {
namespace {

// ---- module execution -------------------------------------------------------

int module_exec(PyObject* module) {
  // The importing thread's thread-local storage, before anything can throw.
  find_thread_blocks();
  if (!prime_thread()) return -1;
  PyObject* type = core_type();
  if (type == nullptr) return -1;
  Ref name(PyUnicode_FromString("MetadataCore"));
  if (!name) return -1;
  PyObject* all_name = interned_all();
  if (all_name == nullptr) return -1;
  Ref all(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    raise_internal_fault("could not append __name__ to __all__");
    return -1;
  }
  Py_INCREF(type);
  if (PyModule_AddObject(module, "MetadataCore", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "vedra_runtime",
    "",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vedra::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vedra_runtime(void) {
  return PyModuleDef_Init(&vedra::py::kModuleDef);
}
