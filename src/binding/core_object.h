// The MetadataCore instance layout and its per-object borrow.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/code_cache.h"
#include "binding/key_cache.h"
#include "binding/py.h"
#include "store/engine_state.h"

namespace vedra::py {

struct CoreObject {
  PyObject_HEAD
  EngineState state;                     // owned; built by tp_new, destroyed by tp_dealloc
  std::atomic<intptr_t> borrow_flag;     // 0 free; n > 0 shared borrows; -1 exclusive
  CodeStrCache code_strs;                // owned; strs of codes handed out by filter/find
  KeyStrCache key_strs;                  // owned; strs of payload keys handed out by get/get_many
  KeyStrCache value_strs;                // owned; short payload string values handed out by get/get_many
};

// Takes a shared or exclusive borrow for the lifetime of the guard.  When the
// borrow cannot be taken, ok() is false and RuntimeError is set; nothing waits.
class Borrow {
 public:
  enum Kind { kShared, kExclusive };
  Borrow(CoreObject* self, Kind kind) : flag_(&self->borrow_flag), kind_(kind) {
    if (kind == kExclusive) {
      intptr_t expected = 0;
      ok_ = flag_->compare_exchange_strong(expected, -1, std::memory_order_acquire);
      if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    intptr_t seen = flag_->load(std::memory_order_relaxed);
    while (true) {
      if (seen == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        ok_ = false;
        return;
      }
      if (flag_->compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) break;
    }
    ok_ = true;
  }
  ~Borrow() {
    if (!ok_) return;
    if (kind_ == kExclusive) {
      flag_->store(0, std::memory_order_release);
    } else {
      flag_->fetch_sub(1, std::memory_order_release);
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return ok_; }

 private:
  std::atomic<intptr_t>* flag_;
  Kind kind_;
  bool ok_ = false;
};

// The class object, created once per process; borrowed, or nullptr with an
// exception set.
PyObject* core_type();

}  // namespace vedra::py
