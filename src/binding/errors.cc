#include "binding/errors.h"

#include <cstdio>

#include "binding/once.h"

namespace vedra::py {
namespace {

OncePyObject g_qualname;
OncePyObject g_all;
OncePyObject g_panic;

// Set while a PanicException raised by the engine itself is pending, so that
// finish_call() does not mistake it for one raised by Python code.
thread_local bool t_own_panic = false;

const char kPanicDoc[] =
    "Raised when the metadata engine meets an internal fault (a broken internal\n"
    "invariant).\n\n"
    "Like SystemExit, this exception derives from BaseException, not Exception, so\n"
    "that it typically propagates through the whole stack and ends the interpreter.";

}  // namespace

PyObject* interned_qualname() {
  return g_qualname.get([] { return PyUnicode_InternFromString("__qualname__"); });
}

PyObject* interned_all() {
  return g_all.get([] { return PyUnicode_InternFromString("__all__"); });
}

PyObject* panic_exception_type() {
  return g_panic.get([] {
    return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  });
}

PyObject* raise_internal_fault(const char* message) {
  std::fprintf(stderr, "vedra_runtime: internal fault: %s\n", message);
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  PyErr_SetString(type, message);
  t_own_panic = true;
  return nullptr;
}

PyObject* raise_status(const Status& status) {
  PyErr_SetString(PyExc_ValueError, status.message().c_str());
  return nullptr;
}

void reword_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t(type), v(value), b(tb);
  Ref text(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (!text) return;  // str() failed: its exception is pending
  Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (v) {
    PyObject* cause = PyException_GetCause(v.get());  // new reference or null
    if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyObject* raise_argument_type_error(PyObject* obj, const char* name, const char* expected) {
  raise_type_mismatch(obj, expected);
  reword_argument_error(name);
  return nullptr;
}

PyObject* finish_call(PyObject* result) {
  const bool own_panic = t_own_panic;
  t_own_panic = false;
  if (result != nullptr) return result;
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  if (own_panic) return nullptr;
  // The class may not exist yet: create it with the pending error set aside.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return nullptr;
  }
  if (!PyErr_GivenExceptionMatches(type, panic)) {
    PyErr_Restore(type, value, tb);
    return nullptr;
  }
  // A PanicException raised by Python code that the engine called: report it
  // with its traceback and end this call with a fault of our own.
  PyErr_NormalizeException(&type, &value, &tb);
  std::string message = "Unwrapped panic from Python code";
  if (value != nullptr) {
    Ref text(PyObject_Str(value));
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (s != nullptr) message.assign(s, static_cast<size_t>(n));
    PyErr_Clear();
  }
  std::fputs("--- vedra_runtime: a PanicException raised by Python code ends this call. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  PyErr_Restore(type, value, tb);
  PyErr_PrintEx(0);
  PyErr_SetString(panic, message.c_str());
  return nullptr;
}

}  // namespace vedra::py
