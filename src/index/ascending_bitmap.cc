#include "index/ascending_bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "index/roaring_memory.h"

namespace vedra {
namespace {

// The portable form without run containers: a cookie, the container count,
// then per container its key and cardinality less one (16 bits each), then
// per container the offset of its contents, then the contents: an array's
// numbers (16 bits each) or a bitset's 65536 bits, little-endian.
constexpr uint32_t kNoRunCookie = 12346;
constexpr size_t kArrayMax = 4096;
constexpr size_t kBitsetBytes = 65536 / 8;

size_t contents_bytes(size_t card) { return card <= kArrayMax ? 2 * card : kBitsetBytes; }

void put16(unsigned char* at, uint16_t v) { std::memcpy(at, &v, sizeof v); }
void put32(unsigned char* at, uint32_t v) { std::memcpy(at, &v, sizeof v); }

}  // namespace

roaring_bitmap_t* AscendingBitmaps::make(const uint32_t* xs, size_t n) {
  static_assert(std::endian::native == std::endian::little);
  const uint32_t* const end = xs + n;
  // Containers, and the bytes their contents take.
  size_t containers = 0, contents = 0;
  for (const uint32_t* p = xs; p != end;) {
    const uint32_t* next = std::lower_bound(p, end, ((*p >> 16) + uint64_t{1}) << 16,
                                            [](uint32_t x, uint64_t bound) { return x < bound; });
    ++containers;
    contents += contents_bytes(next - p);
    p = next;
  }
  const size_t header = 8 + 8 * containers;
  const size_t total = header + contents;
  layout_.resize((total + 7) / 8);
  auto* const base = reinterpret_cast<unsigned char*>(layout_.data());
  put32(base, kNoRunCookie);
  put32(base + 4, static_cast<uint32_t>(containers));
  unsigned char* descriptive = base + 8;
  unsigned char* offsets = base + 8 + 4 * containers;
  size_t at = header;
  for (const uint32_t* p = xs; p != end;) {
    const uint32_t key = *p >> 16;
    const uint32_t* next = std::lower_bound(p, end, (key + uint64_t{1}) << 16,
                                            [](uint32_t x, uint64_t bound) { return x < bound; });
    const size_t card = next - p;
    put16(descriptive, static_cast<uint16_t>(key));
    put16(descriptive + 2, static_cast<uint16_t>(card - 1));
    put32(offsets, static_cast<uint32_t>(at));
    descriptive += 4;
    offsets += 4;
    unsigned char* out = base + at;
    if (card <= kArrayMax) {
      for (size_t i = 0; i < card; ++i) put16(out + 2 * i, static_cast<uint16_t>(p[i]));
    } else {
      std::memset(out, 0, kBitsetBytes);
      for (size_t i = 0; i < card; ++i) {
        const uint32_t low = p[i] & 0xffff;
        out[low >> 3] |= static_cast<unsigned char>(1u << (low & 7));
      }
    }
    at += contents_bytes(card);
    p = next;
  }
  // What reading allocates: the bitmap, its container index and, per
  // container, at most a bitset; all within what adding the numbers may.
  roaring_reserve(roaring_add_bound(nullptr, n, end[-1]));
  roaring_bitmap_t* r = roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(base), total);
  if (r == nullptr) throw std::bad_alloc();
  return r;
}

}  // namespace vedra
