// An allocator that fails on request: the test executable's own malloc,
// calloc, realloc and aligned allocators, which every library in the process
// uses (operator new included) in place of the C library's, and its own
// mmap and mremap for anonymous mappings.
//
// arm_allocation_failure(n) makes the n-th allocation counted from then on
// fail (malloc returns null, so operator new throws std::bad_alloc), and only
// that one: each later one succeeds, as after a transient shortage.
// arm_allocation_exhaustion(n) makes the n-th and every later allocation
// fail, as when memory has run out.  CRoaring's allocations are counted and
// failed like any other: the engine routes them through its reserve
// (index/roaring_memory.h), whose own allocations are counted here too.
//
// Thread safety: arm and disarm from the one thread that runs the code
// under test.
#pragma once

#include <cstddef>

namespace vedra_testing {

void arm_allocation_failure(size_t n);
void arm_allocation_exhaustion(size_t n);
// Disarms; true when the n-th allocation was reached and failed.
bool disarm_allocation_failure();
// Allocations failed since the last arm.
size_t allocations_failed();

}  // namespace vedra_testing
