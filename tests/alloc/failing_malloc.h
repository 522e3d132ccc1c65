// An allocator that fails on request: the test executable's own malloc,
// calloc, realloc and aligned allocators, which every library in the process
// uses (operator new included) in place of the C library's.
//
// arm_allocation_failure(n) makes the n-th allocation counted from then on
// fail (malloc returns null, so operator new throws std::bad_alloc), and only
// that one: each later one succeeds, as after a transient shortage.
// Allocations made by CRoaring are never failed and never counted: the
// release we build against dereferences its own failed allocations, which no
// caller can prepare for.
//
// Thread safety: arm and disarm from the one thread that runs the code
// under test.
#pragma once

#include <cstddef>

namespace vedra_testing {

void arm_allocation_failure(size_t n);
// Disarms; true when the n-th allocation was reached and failed.
bool disarm_allocation_failure();

}  // namespace vedra_testing
