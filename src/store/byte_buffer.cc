#include "store/byte_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

namespace vedra {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Above this size huge pages stop paying: the kernel may have to compact
// memory to find that many, and a load of a million records (a 670 MB
// buffer) decompressed three times slower with them than without.
constexpr size_t kHugePagesUpTo = size_t{128} << 20;

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

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
  const size_t page = page_size();
  if (n > SIZE_MAX - page) throw std::bad_alloc();
  const size_t capacity = (n + page - 1) / page * page;
  void* p = data_ == nullptr
                ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                : mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  // Advice only: without transparent huge pages nothing changes.
  if (capacity >= kHugePage && capacity <= kHugePagesUpTo) madvise(p, capacity, MADV_HUGEPAGE);
  data_ = static_cast<char*>(p);
  capacity_ = capacity;
  size_ = n;
}

void ByteBuffer::clear() {
  if (data_ != nullptr) munmap(data_, capacity_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

}  // namespace vedra
