#include "binding/thread_prime.h"

#include <link.h>

#include <algorithm>
#include <cstdlib>

extern "C" void* __tls_get_addr(void*);

namespace vedra::py {

PyThreadState* g_primed_state = nullptr;
uint64_t g_primed_id = 0;

namespace {

struct Block {
  unsigned long module;  // glibc's TLS module id
  size_t probe;          // what glibc asks malloc for this block
};
constexpr int kMaxBlocks = 32;
Block g_blocks[kMaxBlocks];
int g_block_count = 0;

// Every object loaded now that has thread-local data.
int note_block(dl_phdr_info* obj, size_t, void*) {
  if (obj->dlpi_tls_modid == 0 || g_block_count == kMaxBlocks) return 0;
  for (int i = 0; i < obj->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = obj->dlpi_phdr[i];
    if (ph.p_type != PT_TLS) continue;
    // glibc mallocs the block's size, plus its alignment past 16.
    const size_t align = std::max<size_t>(ph.p_align, 1);
    g_blocks[g_block_count++] = Block{obj->dlpi_tls_modid, ph.p_memsz + (align > 16 ? align : 0)};
  }
  return 0;
}

}  // namespace

void find_thread_blocks() {
  if (g_block_count == 0) dl_iterate_phdr(note_block, nullptr);
}

bool prime_thread_slow(PyThreadState* ts) {
  void* probes[kMaxBlocks];
  for (int i = 0; i < g_block_count; ++i) {
    probes[i] = std::malloc(std::max<size_t>(g_blocks[i].probe, 1));
    if (probes[i] == nullptr) {
      while (i > 0) std::free(probes[--i]);
      PyErr_NoMemory();
      return false;
    }
  }
  for (int i = g_block_count; i > 0;) std::free(probes[--i]);
  for (int i = 0; i < g_block_count; ++i) {
    struct {
      unsigned long module, offset;
    } index{g_blocks[i].module, 0};
    (void)__tls_get_addr(&index);
  }
  g_primed_state = ts;
  g_primed_id = PyThreadState_GetID(ts);
  return true;
}

}  // namespace vedra::py
