// The MetadataCore methods, one function per Python method, and the call
// protocol they share: match arguments, take the borrow, convert arguments in
// parameter order, run the body, release the borrow, return or raise.
// run_method() is that protocol; a method supplies its signature, its borrow
// and the body that converts and works.
#pragma once

#include <exception>
#include <new>

#include "binding/args.h"
#include "binding/borrow.h"
#include "binding/core_object.h"
#include "binding/errors.h"
#include "binding/py.h"
#include "binding/thread_prime.h"

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

// Runs `body` (returning a new reference, or nullptr with an exception set),
// mapping C++ exceptions that escape the engine (exhausted memory, broken
// invariants) to MemoryError or an internal fault, then ends the call through
// finish_call().
template <typename Body>
PyObject* guarded(Body&& body) {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  } catch (const std::exception& e) {
    result = raise_internal_fault(e.what());
  } catch (...) {
    result = raise_internal_fault("unknown internal fault");
  }
  return finish_call(result);
}

// One METH_FASTCALL | METH_KEYWORDS call of a method of `self`:
//   1. matches the arguments against `sig`; on failure the parsing TypeError
//      is raised with no borrow taken and nothing converted;
//   2. takes the borrow of `kind`; a conflict raises its RuntimeError before
//      any argument is converted;
//   3. returns body(CoreObject& core, PyObject* const* a), where a[0..count)
//      are the matched arguments in parameter order (borrowed; an unfilled
//      optional one is None).  The body converts them in that order and runs
//      the method's work.
// The borrow is released when the body returns or throws, before the result
// or exception is handed back (guarded()).  Before all of it, the thread's
// thread-local storage is made to exist (prime_thread()).
// REQUIRES: sig.count <= kMaxParams.
template <typename Body>
PyObject* run_method(PyObject* self, const MethodSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Borrow::Kind kind, Body&& body) {
  if (!prime_thread()) return nullptr;
  return guarded([&]() -> PyObject* {
    PyObject* a[kMaxParams];
    if (!match_arguments(sig, args, nargs, kwnames, a)) return nullptr;
    CoreObject& core = as_core(self);
    Borrow borrow(core.borrow_flag, kind);
    if (!borrow.ok()) return nullptr;
    return body(core, static_cast<PyObject* const*>(a));
  });
}

// The same for a METH_NOARGS method, whose arguments the interpreter has
// already refused: takes the borrow and returns body(CoreObject& core).
template <typename Body>
PyObject* run_method(PyObject* self, Borrow::Kind kind, Body&& body) {
  if (!prime_thread()) return nullptr;
  return guarded([&]() -> PyObject* {
    CoreObject& core = as_core(self);
    Borrow borrow(core.borrow_flag, kind);
    if (!borrow.ok()) return nullptr;
    return body(core);
  });
}

}  // namespace vedra::py
