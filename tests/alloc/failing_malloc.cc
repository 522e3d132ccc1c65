#include "failing_malloc.h"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace vedra_testing {
namespace {

bool g_armed = false;
bool g_exhaust = false;  // every allocation from the n-th on fails
bool g_failed = false;
size_t g_countdown = 0;
size_t g_failures = 0;

// Whether this allocation is to fail.
bool fail_now() {
  if (!g_armed) return false;
  if (g_countdown > 1) {
    --g_countdown;
    return false;
  }
  g_failed = true;
  ++g_failures;
  if (!g_exhaust) g_armed = false;
  return true;
}

}  // namespace

void arm_allocation_failure(size_t n) {
  g_failed = false;
  g_failures = 0;
  g_exhaust = false;
  g_countdown = n;
  g_armed = n > 0;
}

void arm_allocation_exhaustion(size_t n) {
  arm_allocation_failure(n);
  g_exhaust = true;
}

size_t allocations_failed() { return g_failures; }

bool disarm_allocation_failure() {
  g_armed = false;
  return g_failed;
}

}  // namespace vedra_testing

using vedra_testing::fail_now;

extern "C" {

void* malloc(size_t n) {
  if (fail_now()) return nullptr;
  return __libc_malloc(n);
}

void* calloc(size_t n, size_t size) {
  if (fail_now()) return nullptr;
  return __libc_calloc(n, size);
}

void* realloc(void* p, size_t n) {
  if (fail_now()) return nullptr;
  return __libc_realloc(p, n);
}

void free(void* p) { __libc_free(p); }

void* memalign(size_t alignment, size_t n) {
  if (fail_now()) return nullptr;
  return __libc_memalign(alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) {
  if (fail_now()) return nullptr;
  return __libc_memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
  if (fail_now()) return ENOMEM;
  void* p = __libc_memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

// Anonymous mappings, the engine's buffers held outside the heap, are
// allocations too.  The C library's own calls (malloc's large blocks,
// thread stacks) go to its internal entry points and are not counted.
void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  if ((flags & MAP_ANONYMOUS) != 0 && fail_now()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return reinterpret_cast<void*>(syscall(SYS_mmap, addr, length, prot, flags, fd, offset));
}

// Growing a mapping takes memory; shrinking or moving it in place does not.
void* mremap(void* old, size_t old_size, size_t new_size, int flags, ...) {
  void* new_address = nullptr;
  if ((flags & MREMAP_FIXED) != 0) {
    va_list args;
    va_start(args, flags);
    new_address = va_arg(args, void*);
    va_end(args);
  }
  if (new_size > old_size && fail_now()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return reinterpret_cast<void*>(syscall(SYS_mremap, old, old_size, new_size, flags, new_address));
}

}  // extern "C"
