#include "store/byte_buffer.h"

#include <sys/mman.h>

#include <cstring>
#include <new>
#include <utility>

#include "base/page_array.h"

namespace vedra {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Above this size huge pages stop paying: the kernel may have to compact
// memory to find that many, and a load of a million records (a 670 MB
// buffer) decompressed three times slower with them than without.
constexpr size_t kHugePagesUpTo = size_t{128} << 20;

}  // namespace

ByteBuffer::~ByteBuffer() { clear(); }

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    clear();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

ByteBuffer ByteBuffer::copy_of(std::string_view bytes) {
  ByteBuffer b;
  b.resize(bytes.size());
  if (!bytes.empty()) std::memcpy(b.data(), bytes.data(), bytes.size());
  return b;
}

void ByteBuffer::resize(size_t n) {
  if (n <= capacity_) {
    size_ = n;
    return;
  }
  void* p = remap_pages(data_, capacity_, n);
  // Advice only: without transparent huge pages nothing changes.
  if (capacity_ >= kHugePage && capacity_ <= kHugePagesUpTo) madvise(p, capacity_, MADV_HUGEPAGE);
  data_ = static_cast<char*>(p);
  size_ = n;
}

void ByteBuffer::clear() {
  if (data_ != nullptr) unmap_pages(data_, capacity_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace vedra
