// The common include of every file that touches Python objects, in the
// binding and in the store's Python conversions: the limited API of Python
// 3.10 (so one abi3 build serves every later CPython) and an owned-reference
// holder.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vedra::py {

// An owned reference, released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}  // steals o (may be null)
  ~Ref() { Py_XDECREF(o_); }
  Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
  Ref& operator=(Ref&& r) noexcept {
    if (this != &r) {
      Py_XDECREF(o_);
      o_ = r.o_;
      r.o_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  PyObject* get() const { return o_; }
  PyObject* release() {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

}  // namespace vedra::py
