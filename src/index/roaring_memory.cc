#include "index/roaring_memory.h"

#include <elf.h>
#include <link.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vedra {
namespace {

// ---- the reserve ------------------------------------------------------------
//
// A region is one block of the process allocator, carved from the front; it
// goes back to the process when its last block is freed and it is no longer
// the reserve.  Each block is preceded by its size.

struct Region {
  Region* next;  // older regions that still hold blocks
  size_t size;   // bytes, this header included
  size_t used;   // bytes carved from the front, this header included
  size_t live;   // blocks not yet freed
};

struct BlockHeader {
  size_t size;
  Region* region;
};

using roaring_memory_internal::kSlack;

Region* g_reserve = nullptr;  // where shortages are served from
Region* g_retired = nullptr;  // earlier reserves still holding blocks
size_t g_pledged = 0;         // promised inside the open RoaringPledges
bool& g_pledges_open = roaring_memory_internal::pledges_open;
size_t g_draws = 0;

size_t region_free_bytes(const Region* r) { return r == nullptr ? 0 : r->size - r->used; }
// Mirrors region_free_bytes(g_reserve) for the inline fast path.
void note_free() { roaring_memory_internal::free_bytes = region_free_bytes(g_reserve); }

void* region_alloc(size_t n, size_t align) {
  Region* r = g_reserve;
  if (r == nullptr) return nullptr;
  align = std::max(align, alignof(std::max_align_t));
  if ((align & (align - 1)) != 0) return nullptr;
  const uintptr_t base = reinterpret_cast<uintptr_t>(r);
  const uintptr_t at = (base + r->used + sizeof(BlockHeader) + align - 1) & ~(uintptr_t{align} - 1);
  if (at < base || n > r->size || at - base > r->size - n) return nullptr;
  auto* h = reinterpret_cast<BlockHeader*>(at) - 1;
  h->size = n;
  h->region = r;
  r->used = at - base + n;
  ++r->live;
  ++g_draws;
  note_free();
  return reinterpret_cast<void*>(at);
}

// The region that holds `p`, or null for a block of the process allocator.
Region* region_of(const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  for (Region* r = g_reserve; r != nullptr; r = (r == g_reserve ? g_retired : r->next)) {
    const auto base = reinterpret_cast<uintptr_t>(r);
    if (at > base && at < base + r->size) return r;
  }
  return nullptr;
}

void region_free(Region* r) {
  if (--r->live != 0) return;
  if (r == g_reserve) {
    r->used = sizeof(Region);
    note_free();
    return;
  }
  for (Region** link = &g_retired; *link != nullptr; link = &(*link)->next) {
    if (*link == r) {
      *link = r->next;
      break;
    }
  }
  std::free(r);
}

// ---- CRoaring's allocator ---------------------------------------------------

void* hooked_malloc(size_t n) {
  void* p = std::malloc(n);
  if (p == nullptr) p = region_alloc(n, 1);
  return p;
}

void* hooked_calloc(size_t k, size_t n) {
  void* p = std::calloc(k, n);
  if (p != nullptr) return p;
  size_t total;
  if (__builtin_mul_overflow(k, n, &total)) return nullptr;
  p = region_alloc(total, 1);
  if (p != nullptr) std::memset(p, 0, total);
  return p;
}

void hooked_free(void* p) {
  if (p == nullptr) return;
  if (Region* r = region_of(p)) {
    region_free(r);
  } else {
    std::free(p);
  }
}

void* hooked_realloc(void* p, size_t n) {
  if (p == nullptr) return hooked_malloc(n);
  if (n == 0) {
    hooked_free(p);
    return nullptr;
  }
  Region* r = region_of(p);
  if (r == nullptr) {
    if (void* q = std::realloc(p, n)) return q;
    void* q = region_alloc(n, 1);
    if (q == nullptr) return nullptr;
    std::memcpy(q, p, std::min(n, malloc_usable_size(p)));
    std::free(p);
    return q;
  }
  void* q = hooked_malloc(n);
  if (q == nullptr) return nullptr;
  std::memcpy(q, p, std::min(n, (static_cast<BlockHeader*>(p) - 1)->size));
  region_free(r);
  return q;
}

int hooked_posix_memalign(void** out, size_t align, size_t n) {
  const int rc = posix_memalign(out, align, n);
  if (rc != ENOMEM) return rc;
  void* p = region_alloc(n, align);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void* hooked_aligned_alloc(size_t align, size_t n) {
  void* p = nullptr;
  return hooked_posix_memalign(&p, align, n) == 0 ? p : nullptr;
}

// ---- redirecting CRoaring's imports ------------------------------------------

#if defined(__x86_64__)
constexpr uint32_t kJumpSlot = R_X86_64_JUMP_SLOT, kGlobDat = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr uint32_t kJumpSlot = R_AARCH64_JUMP_SLOT, kGlobDat = R_AARCH64_GLOB_DAT;
#endif

void* replacement_for(const char* name) {
  struct Entry {
    const char* name;
    void* fn;
  };
  static const Entry kEntries[] = {
      {"malloc", reinterpret_cast<void*>(&hooked_malloc)},
      {"calloc", reinterpret_cast<void*>(&hooked_calloc)},
      {"realloc", reinterpret_cast<void*>(&hooked_realloc)},
      {"free", reinterpret_cast<void*>(&hooked_free)},
      {"posix_memalign", reinterpret_cast<void*>(&hooked_posix_memalign)},
      {"aligned_alloc", reinterpret_cast<void*>(&hooked_aligned_alloc)},
      {"memalign", reinterpret_cast<void*>(&hooked_aligned_alloc)},
  };
  for (const Entry& e : kEntries) {
    if (std::strcmp(e.name, name) == 0) return e.fn;
  }
  return nullptr;
}

struct Patch {
  uintptr_t probe;  // an address inside CRoaring's code
  int slots = 0;    // slots rewritten
  bool found = false;
};

// Rewrites the allocator slots of the object that holds `probe`: every
// JUMP_SLOT and GLOB_DAT relocation that names an allocator function.
int patch_object(dl_phdr_info* obj, size_t, void* data) {
#if defined(__x86_64__) || defined(__aarch64__)
  auto* patch = static_cast<Patch*>(data);
  const ElfW(Dyn)* dynamic = nullptr;
  uintptr_t relro_begin = 0, relro_end = 0;
  bool holds_probe = false;
  for (int i = 0; i < obj->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = obj->dlpi_phdr[i];
    const uintptr_t begin = obj->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD && patch->probe >= begin && patch->probe < begin + ph.p_memsz) holds_probe = true;
    if (ph.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(begin);
    if (ph.p_type == PT_GNU_RELRO) {
      relro_begin = begin;
      relro_end = begin + ph.p_memsz;
    }
  }
  if (!holds_probe) return 0;
  patch->found = true;
  if (dynamic == nullptr) return 1;
  // The dynamic linker may or may not have relocated these in place.
  auto at = [&](ElfW(Addr) v) { return v < obj->dlpi_addr ? v + obj->dlpi_addr : v; };
  const ElfW(Sym)* symtab = nullptr;
  const char* strtab = nullptr;
  const ElfW(Rela)* tables[2] = {nullptr, nullptr};
  size_t sizes[2] = {0, 0};
  bool rela_plt = true;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB: symtab = reinterpret_cast<const ElfW(Sym)*>(at(d->d_un.d_ptr)); break;
      case DT_STRTAB: strtab = reinterpret_cast<const char*>(at(d->d_un.d_ptr)); break;
      case DT_JMPREL: tables[0] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr)); break;
      case DT_PLTRELSZ: sizes[0] = d->d_un.d_val; break;
      case DT_PLTREL: rela_plt = d->d_un.d_val == DT_RELA; break;
      case DT_RELA: tables[1] = reinterpret_cast<const ElfW(Rela)*>(at(d->d_un.d_ptr)); break;
      case DT_RELASZ: sizes[1] = d->d_un.d_val; break;
      default: break;
    }
  }
  if (symtab == nullptr || strtab == nullptr || !rela_plt) return 1;
  const long page = sysconf(_SC_PAGESIZE);
  for (int t = 0; t < 2; ++t) {
    if (tables[t] == nullptr) continue;
    for (size_t i = 0; i < sizes[t] / sizeof(ElfW(Rela)); ++i) {
      const ElfW(Rela)& rel = tables[t][i];
      const uint32_t type = ELF64_R_TYPE(rel.r_info);
      if (type != kJumpSlot && type != kGlobDat) continue;
      void* fn = replacement_for(strtab + symtab[ELF64_R_SYM(rel.r_info)].st_name);
      if (fn == nullptr) continue;
      const uintptr_t slot = obj->dlpi_addr + rel.r_offset;
      const bool relro = slot >= relro_begin && slot < relro_end;
      void* slot_page = reinterpret_cast<void*>(slot & ~static_cast<uintptr_t>(page - 1));
      if (relro && mprotect(slot_page, page, PROT_READ | PROT_WRITE) != 0) continue;
      __atomic_store_n(reinterpret_cast<void**>(slot), fn, __ATOMIC_RELEASE);
      if (relro) mprotect(slot_page, page, PROT_READ);
      ++patch->slots;
    }
  }
  return 1;
#else
  (void)obj;
  (void)data;
  return 0;
#endif
}

bool redirect_roaring() {
  Patch patch{reinterpret_cast<uintptr_t>(&roaring_bitmap_create)};
  dl_iterate_phdr(patch_object, &patch);
  return patch.slots > 0;
}

bool hooked() {
  static const bool done = redirect_roaring();
  return done;
}

constexpr size_t kPerContainer = (size_t{16} << 10) + 256;

size_t containers_of(const roaring_bitmap_t* r) {
  return r == nullptr || roaring_bitmap_is_empty(r) ? 0 : (roaring_bitmap_maximum(r) >> 16) + 1;
}

}  // namespace

namespace roaring_memory_internal {
size_t free_bytes = 0;
bool pledges_open = false;
}  // namespace roaring_memory_internal

void roaring_memory_internal::reserve_slow(size_t bytes) {
  if (!hooked()) return;  // nothing to prepare: CRoaring uses the C library's allocator
  const size_t need = g_pledged + bytes + kSlack;
  if (region_free_bytes(g_reserve) < need) {
    const size_t size = std::max(kMinReserve, need + sizeof(Region));
    auto* r = static_cast<Region*>(std::malloc(size));
    if (r == nullptr) throw std::bad_alloc();
    *r = Region{nullptr, size, sizeof(Region), 0};
    if (Region* old = g_reserve) {
      if (old->live == 0) {
        std::free(old);
      } else {
        old->next = g_retired;
        g_retired = old;
      }
    }
    g_reserve = r;
    note_free();
  }
  if (g_pledges_open) g_pledged += bytes + kSlack;
}

RoaringPledges::RoaringPledges() { g_pledges_open = true; }
RoaringPledges::~RoaringPledges() {
  g_pledges_open = false;
  g_pledged = 0;
}
bool roaring_pledges_open() { return g_pledges_open; }

bool roaring_hooked() { return hooked(); }

size_t roaring_reserve_draws() { return g_draws; }

size_t roaring_add_bound(const roaring_bitmap_t* r, size_t n, uint32_t max_number) {
  const size_t held = containers_of(r);
  const size_t touched = std::min<size_t>(n, (max_number >> 16) + 1);
  return touched * kPerContainer + 32 * (held + touched + 8);
}

size_t roaring_append_bound(uint32_t number) { return kPerContainer + 32 * (size_t{number >> 16} + 10); }

size_t roaring_op_bound(const roaring_bitmap_t* a, const roaring_bitmap_t* b) {
  const size_t ca = containers_of(a), cb = containers_of(b);
  const size_t sa = a == nullptr ? 0 : roaring_bitmap_size_in_bytes(a);
  const size_t sb = b == nullptr ? 0 : roaring_bitmap_size_in_bytes(b);
  return (ca + cb + 2) * kPerContainer + 4 * (sa + sb) + 32 * (ca + cb + 8);
}

size_t roaring_range_bound(uint32_t n) { return (size_t{n >> 16} + 3) * kPerContainer; }

}  // namespace vedra
