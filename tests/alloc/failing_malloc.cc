#include "failing_malloc.h"

#include <cerrno>
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

}  // extern "C"
