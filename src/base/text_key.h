// TextKey: the key type of the engine's text-keyed hash maps (base/hash.h).
//
// Sixteen bytes where a std::string takes thirty-two: the maps' tables are
// made of such keys side by side with their values, and a large table is
// mostly slots, filled or empty, so the key's size is most of what a table
// costs to make and to walk.  A text of up to kInPlace bytes -- most value
// keys and codes -- is held in the key itself; a longer one in a heap block
// of exactly its size, which the key owns.
//
// Building a key allocates only for a long text (and may then throw
// std::bad_alloc); moving one never allocates nor throws, and leaves the
// source empty.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/text_words.h"

namespace vedra {

class TextKey {
 public:
  // The longest text held in the key itself.
  static constexpr size_t kInPlace = 15;

  TextKey() noexcept { std::memset(bytes_, 0, sizeof bytes_); }
  explicit TextKey(std::string_view text) {
    std::memset(bytes_, 0, sizeof bytes_);
    if (text.size() <= kInPlace) {
      copy_text(bytes_, text.data(), text.size());
      bytes_[kTag] = static_cast<char>(text.size());
      return;
    }
    char* block = std::allocator<char>().allocate(text.size());
    std::memcpy(block, text.data(), text.size());
    std::memcpy(bytes_, &block, sizeof block);
    const uint64_t size_word = held_size_word(text.size());
    std::memcpy(bytes_ + 8, &size_word, sizeof size_word);
  }
  // A copy allocates as building from its text does.  The maps move their
  // keys; a copy is only declared for the map templates' sake.
  TextKey(const TextKey& other) : TextKey(other.view()) {}
  TextKey& operator=(const TextKey&) = delete;
  TextKey(TextKey&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memset(other.bytes_, 0, sizeof other.bytes_);
  }
  TextKey& operator=(TextKey&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      std::memset(other.bytes_, 0, sizeof other.bytes_);
    }
    return *this;
  }
  ~TextKey() { release(); }

  std::string_view view() const noexcept {
    const auto tag = static_cast<unsigned char>(bytes_[kTag]);
    if (tag <= kInPlace) return std::string_view(bytes_, tag);
    return std::string_view(held_data(), held_size());
  }
  operator std::string_view() const noexcept { return view(); }
  const char* data() const noexcept { return view().data(); }
  size_t size() const noexcept { return view().size(); }
  bool empty() const noexcept { return bytes_[kTag] == 0; }

  // Bytes held outside the key (its block, for a long text).
  size_t heap_bytes() const noexcept { return held() ? held_size() : 0; }

 private:
  // bytes_[kTag] is the size of a text held in place (0..kInPlace), the
  // text being bytes_[0, size); or kHeld, the block's address then being in
  // bytes_[0, 8) and its size in the other seven bytes of the word at
  // bytes_[8] (held_size_word).
  static constexpr size_t kTag = 15;
  static constexpr unsigned char kHeld = 0x80;
  static constexpr int kSizeShift = std::endian::native == std::endian::little ? 0 : 8;
  static constexpr int kTagShift = std::endian::native == std::endian::little ? 56 : 0;

  static uint64_t held_size_word(size_t size) noexcept {
    return (uint64_t{size} << kSizeShift) | (uint64_t{kHeld} << kTagShift);
  }
  bool held() const noexcept { return static_cast<unsigned char>(bytes_[kTag]) == kHeld; }
  const char* held_data() const noexcept {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  size_t held_size() const noexcept {
    uint64_t w;
    std::memcpy(&w, bytes_ + 8, sizeof w);
    return static_cast<size_t>(((w & ~(uint64_t{0xff} << kTagShift)) >> kSizeShift));
  }
  void release() noexcept {
    if (held()) std::allocator<char>().deallocate(const_cast<char*>(held_data()), held_size());
  }

  // Byte-aligned, read through memcpy: a slot of a key and a 4-byte value
  // takes 20 bytes, not 24.
  char bytes_[16];
};

static_assert(sizeof(TextKey) == 16 && alignof(TextKey) == 1);
static_assert(sizeof(char*) == 8, "a held text's address and size share the key's sixteen bytes");

}  // namespace vedra
