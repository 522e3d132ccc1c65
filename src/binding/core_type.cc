// The MetadataCore heap type: constructor, deallocator and the type spec.
#include <new>
#include <utility>

#include "binding/args.h"
#include "binding/core_object.h"
#include "binding/errors.h"
#include "binding/once.h"
#include "binding/thread_prime.h"
#include "lib/method_table.h"

namespace vedra::py {
namespace {

OncePyObject g_core_type;

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!prime_thread()) return nullptr;
  if (!check_no_arguments(args, kwargs)) return finish_call(nullptr);
  try {
    EngineState state;  // built first; destroyed here if allocation fails
    auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    Ref empty(PyTuple_New(0));
    if (!empty) return nullptr;
    PyObject* self = object_new(type, empty.get(), nullptr);
    if (self == nullptr) return nullptr;
    CoreObject* core = &as_core(self);
    new (&core->state) EngineState(std::move(state));
    new (&core->borrow_flag) std::atomic<intptr_t>(0);
    new (&core->code_strs) CodeStrCache();
    new (&core->key_strs) KeyStrCache();
    new (&core->value_strs) KeyStrCache();
    new (&core->conversion) JsonConversionMemory();
    new (&core->flattening) FlattenCollector();
    new (&core->record_buffers) RecordBuffers();
    return self;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void core_dealloc(PyObject* self) {
  CoreObject* core = &as_core(self);
  core->record_buffers.~RecordBuffers();
  core->flattening.~FlattenCollector();
  core->conversion.~JsonConversionMemory();
  core->value_strs.~KeyStrCache();
  core->key_strs.~KeyStrCache();
  core->code_strs.~CodeStrCache();
  core->state.~EngineState();
  PyTypeObject* type = Py_TYPE(self);
  auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyType_Slot kCoreSlots[] = {
    {Py_tp_doc, const_cast<char*>(kCoreClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_methods, kCoreMethods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {0, nullptr},
};

PyType_Spec kCoreSpec = {
    "builtins.MetadataCore",
    static_cast<int>(sizeof(CoreObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kCoreSlots,
};

}  // namespace

PyObject* core_type() {
  return g_core_type.get([] { return PyType_FromSpec(&kCoreSpec); });
}

}  // namespace vedra::py
