// One-time initialisation of a process-wide Python object.
//
// At most one thread runs `make`; a thread that must wait for it waits with
// the interpreter lock released, so the initialising thread can take the lock.
// REQUIRES: the caller holds the interpreter lock.
#pragma once

#include <atomic>
#include <mutex>

#include "binding/py.h"

namespace vedra::py {

class OncePyObject {
 public:
  // Returns the object (borrowed; kept alive for the process), or nullptr with
  // an exception set when `make` failed (a later call retries).
  template <typename Make>
  PyObject* get(Make&& make) {
    if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
    if (!mutex_.try_lock()) {
      Py_BEGIN_ALLOW_THREADS
      mutex_.lock();
      Py_END_ALLOW_THREADS
    }
    PyObject* v = value_.load(std::memory_order_acquire);
    if (v == nullptr) {
      v = make();
      if (v != nullptr) value_.store(v, std::memory_order_release);
    }
    mutex_.unlock();
    return v;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace vedra::py
