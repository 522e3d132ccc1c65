#include "failing_malloc.h"

#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#include <cstdint>
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
bool g_failed = false;
size_t g_countdown = 0;
uintptr_t g_roaring_begin = 0, g_roaring_end = 0;

// The executable segment that holds CRoaring's code.
void find_roaring() {
  struct Range {
    uintptr_t probe, begin = 0, end = 0;
  } range{reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, "roaring_bitmap_create"))};
  dl_iterate_phdr(
      [](dl_phdr_info* obj, size_t, void* data) {
        auto* r = static_cast<Range*>(data);
        for (int i = 0; i < obj->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = obj->dlpi_phdr[i];
          const uintptr_t b = obj->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && r->probe >= b && r->probe < b + ph.p_memsz) {
            r->begin = b;
            r->end = b + ph.p_memsz;
            return 1;
          }
        }
        return 0;
      },
      &range);
  g_roaring_begin = range.begin;
  g_roaring_end = range.end;
}

// Whether this allocation, called from `caller`, is to fail.
bool fail_now(void* caller) {
  if (!g_armed) return false;
  const auto at = reinterpret_cast<uintptr_t>(caller);
  if (at >= g_roaring_begin && at < g_roaring_end) return false;
  if (--g_countdown != 0) return false;
  g_armed = false;
  g_failed = true;
  return true;
}

}  // namespace

void arm_allocation_failure(size_t n) {
  if (g_roaring_end == 0) find_roaring();
  g_failed = false;
  g_countdown = n;
  g_armed = n > 0;
}

bool disarm_allocation_failure() {
  g_armed = false;
  return g_failed;
}

}  // namespace vedra_testing

using vedra_testing::fail_now;

extern "C" {

void* malloc(size_t n) {
  if (fail_now(__builtin_return_address(0))) return nullptr;
  return __libc_malloc(n);
}

void* calloc(size_t n, size_t size) {
  if (fail_now(__builtin_return_address(0))) return nullptr;
  return __libc_calloc(n, size);
}

void* realloc(void* p, size_t n) {
  if (fail_now(__builtin_return_address(0))) return nullptr;
  return __libc_realloc(p, n);
}

void free(void* p) { __libc_free(p); }

void* memalign(size_t alignment, size_t n) {
  if (fail_now(__builtin_return_address(0))) return nullptr;
  return __libc_memalign(alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) {
  if (fail_now(__builtin_return_address(0))) return nullptr;
  return __libc_memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
  if (fail_now(__builtin_return_address(0))) return ENOMEM;
  void* p = __libc_memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
