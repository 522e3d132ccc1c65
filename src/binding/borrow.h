// Borrow: the per-object guard that arbitrates overlapping calls on one
// MetadataCore.
//
// Every method holds a borrow of its object's flag for the whole call: shared
// for the methods that only read the engine, exclusive for those that change
// it.  Calls overlap when Python code that a method runs (a value's __str__,
// a caller's iterator, json.loads) calls the same object again, or lets
// another thread in; a borrow that conflicts with one held is refused at once
// with RuntimeError, and nothing waits or retries.
//
// The flag: 0 free; n > 0 while n shared borrows are held; -1 while the one
// exclusive borrow is held.  It is updated with atomic compare-and-swap and
// decrement, so its accounting stays exact even without the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py.h"

namespace vedra::py {

// Takes a shared or exclusive borrow of `flag` for the lifetime of the guard.
// When the borrow cannot be taken, ok() is false and RuntimeError is set:
// "Already mutably borrowed" for a shared borrow while the exclusive one is
// held, "Already borrowed" for an exclusive borrow while any is held.
// REQUIRES: the interpreter lock (to set the error); `flag` outlives the guard.
class Borrow {
 public:
  enum Kind { kShared, kExclusive };
  Borrow(std::atomic<intptr_t>& flag, Kind kind) : flag_(&flag), kind_(kind) {
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

}  // namespace vedra::py
