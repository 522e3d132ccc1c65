// ByteBuffer: a growable byte array in its own anonymous memory mapping, for
// decompressed snapshot payloads (tens of megabytes, written once by the
// decompressor, read once by a decoder, then dropped).
//
// Against std::string it saves what dominates at that size: growing moves
// pages (mremap) instead of copying bytes, new bytes are not zero-filled by a
// pass of our own (the kernel hands out zero pages on first touch), and
// buffers of 2 MiB or more ask for transparent huge pages, which cuts the
// page-fault work of filling them several-fold (up to 128 MiB; see
// byte_buffer.cc).  Memory is mapped in whole
// pages: capacity() is the size asked for, rounded up to the page size.
//
// Linux only (mremap).  Thread safety: none; one owner at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vedra {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // A buffer holding a copy of `bytes`.
  static ByteBuffer copy_of(std::string_view bytes);

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return std::string_view(data_, size_); }
  std::string str() const { return std::string(view()); }

  // Makes size() == n, keeping the first min(n, size()) bytes.  Bytes beyond
  // the old size are unspecified (zero when never written).  Grows the
  // capacity to n rounded up to the page size, never more.  Throws
  // std::bad_alloc when the memory cannot be mapped.
  void resize(size_t n);
  // Releases the memory.
  void clear();

  friend bool operator==(const ByteBuffer& a, std::string_view b) { return a.view() == b; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace vedra
