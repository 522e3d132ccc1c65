// The calling thread's thread-local storage, made to exist before any work.
//
// The C++ runtime, this module and the libraries it brings arrive by
// dlopen, so their thread-local blocks (the runtime's per-thread exception
// state among them) are dynamic: glibc allocates a thread's block at the
// first access from that thread, and when that allocation fails it ends the
// process ("cannot allocate memory for thread-local data").  A thread's first
// C++ throw is such an access, and throws happen when memory is short.
//
// So every entry point calls prime_thread() first.  The first time in a
// thread it checks that the process allocator can give every such block
// (one malloc and free of each block's size, which leaves the chunks in the
// thread's cache for the allocation that follows), then makes glibc
// allocate them all; when the check fails it raises MemoryError instead,
// before any work.  Later calls from the same thread compare its thread
// state with the last one primed: two interpreter calls and two compares.
//
// What remains: glibc may also have to grow the thread's table of blocks
// (threads started before many libraries were loaded), an allocation no
// check here covers; and a library loaded after this module whose blocks
// the module's calls reach is not primed.
//
// Thread safety: called with the interpreter lock held.
#pragma once

#include <cstdint>

#include "binding/py.h"

namespace vedra::py {

// Finds the blocks to prime (once, at module execution).
void find_thread_blocks();

// The thread last primed, and the slow path of prime_thread().
extern PyThreadState* g_primed_state;
extern uint64_t g_primed_id;
bool prime_thread_slow(PyThreadState* ts);

// True when the calling thread's blocks exist; false with MemoryError set
// (and then nothing thread-local may be touched: return to the interpreter).
inline bool prime_thread() {
  PyThreadState* ts = PyThreadState_Get();
  if (ts == g_primed_state && PyThreadState_GetID(ts) == g_primed_id) [[likely]] return true;
  return prime_thread_slow(ts);
}

}  // namespace vedra::py
