// FieldMap: one record's flattened fields, field name -> joined values.
//
// A catalogue keeps one map per record, so the map is a single byte blob of
// length-prefixed (name, value) entries rather than a container of strings:
// one allocation per record instead of two per field.  Entries keep the order
// in which they were added; that order is the map's iteration order (what a
// snapshot writes), and nothing else may depend on it.
//
// Cost: lookups are linear; a record has a few dozen fields at most.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"
#include "base/text_words.h"

namespace vedra {

class FieldMap {
 public:
  using Entry = std::pair<std::string_view, std::string_view>;

  FieldMap() = default;
  // REQUIRES: the names are distinct, and each entry passes check_entry().
  FieldMap(std::initializer_list<Entry> entries) {
    for (const Entry& e : entries) append(e.first, e.second);
  }

  // Longest name or value an entry holds (lengths are stored in 32 bits).
  static constexpr size_t kMaxText = UINT32_MAX;

  // Fails, naming the field, when an entry of this name and value length
  // cannot be held.  Every producer of field maps checks before appending.
  static Status check_entry(std::string_view name, size_t value_size) {
    if (name.size() > kMaxText) return Status::Error("field name too long: at most 4294967295 bytes");
    if (value_size <= kMaxText) return Status::Ok();
    return Status::Error("value of field '" + std::string(name) + "' too long: " + std::to_string(value_size) +
                         " bytes, at most 4294967295");
  }

  // Appends an entry.  REQUIRES: `name` is not in the map, and
  // check_entry(name, value.size()).ok().
  void append(std::string_view name, std::string_view value) {
    put(name);
    put(value);
    ++size_;
  }
  // Makes the map hold exactly `entries`, in order, in one allocation.
  // REQUIRES: as append() for each entry.
  template <typename Range>
  void assign(const Range& entries) {
    size_t bytes = 0, count = 0;
    for (const auto& [name, value] : entries) {
      bytes += 2 * sizeof(uint32_t) + name.size() + value.size();
      ++count;
    }
    std::string blob(bytes, '\0');
    char* out = blob.data();
    for (const auto& [name, value] : entries) {
      out = put_at(out, name);
      out = put_at(out, value);
    }
    blob_.swap(blob);
    size_ = static_cast<uint32_t>(count);
  }

  // Writes the texts of entries straight into the map's blob (write()).
  class Writer {
   public:
    // A whole name or value.
    void text(std::string_view s) { p_ = put_at(p_, s); }
    // A value written in parts: its total length first, then its parts.
    void length(size_t n) {
      const uint32_t v = static_cast<uint32_t>(n);
      std::memcpy(p_, &v, sizeof v);
      p_ += sizeof v;
    }
    void part(std::string_view s) {
      if (!s.empty()) std::memcpy(p_, s.data(), s.size());
      p_ += s.size();
    }
    void part(char c) { *p_++ = c; }

   private:
    friend class FieldMap;
    explicit Writer(char* p) : p_(p) {}
    char* p_;
  };

  // Makes the map hold exactly the `entries` entries, of `text_bytes` bytes
  // of names and values together, that fill(Writer&) writes in order, in one
  // allocation.  REQUIRES: fill writes exactly that, each entry as append()
  // requires.
  template <typename F>
  void write(size_t entries, size_t text_bytes, F&& fill) {
    std::string blob(2 * sizeof(uint32_t) * entries + text_bytes, '\0');
    Writer w(blob.data());
    fill(w);
    blob_.swap(blob);
    size_ = static_cast<uint32_t>(entries);
  }

  // Room for entries totalling `name_and_value_bytes` bytes of text over
  // `entries` entries, so that appending them allocates once.
  void reserve(size_t entries, size_t name_and_value_bytes) {
    blob_.reserve(blob_.size() + 2 * sizeof(uint32_t) * entries + name_and_value_bytes);
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void shrink_to_fit() { blob_.shrink_to_fit(); }
  // Asks the cache for the first entries, ahead of reading them.
  void prefetch() const { __builtin_prefetch(blob_.data()); }
  // The same for every entry, for a reader that will go through them all.
  void prefetch_all() const {
    constexpr size_t kLine = 64;
    for (size_t at = 0; at < blob_.size(); at += kLine) __builtin_prefetch(blob_.data() + at);
  }
  size_t memory_usage() const { return blob_.capacity() > 15 ? blob_.capacity() + 1 : 0; }

  class const_iterator {
   public:
    const_iterator(const char* p) : p_(p) {}
    Entry operator*() const {
      const std::string_view name = read(p_);
      const std::string_view value = read(name.data() + name.size());
      return {name, value};
    }
    const_iterator& operator++() {
      const std::string_view name = read(p_);
      const std::string_view value = read(name.data() + name.size());
      p_ = value.data() + value.size();
      return *this;
    }
    bool operator!=(const const_iterator& o) const { return p_ != o.p_; }
    bool operator==(const const_iterator& o) const { return p_ == o.p_; }

   private:
    static std::string_view read(const char* p) {
      uint32_t n;
      std::memcpy(&n, p, sizeof n);
      return std::string_view(p + sizeof n, n);
    }
    const char* p_;
  };
  // The end of the entries' bytes: a reader may load whole words of an
  // entry's texts up to here, past the text it is reading.
  const char* bytes_end() const { return blob_.data() + blob_.size(); }
  const_iterator begin() const { return const_iterator(blob_.data()); }
  const_iterator end() const { return const_iterator(blob_.data() + blob_.size()); }

  // Same entries in the same order.
  friend bool operator==(const FieldMap& a, const FieldMap& b) { return a.blob_ == b.blob_; }

 private:
  static char* put_at(char* out, std::string_view s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    std::memcpy(out, &n, sizeof n);
    copy_text(out + sizeof n, s.data(), n);  // names and values are short: no call
    return out + sizeof n + n;
  }

  void put(std::string_view s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    blob_.append(reinterpret_cast<const char*>(&n), sizeof n);
    blob_.append(s);
  }

  std::string blob_;  // repeated: u32 name length, name, u32 value length, value
  uint32_t size_ = 0;
};

}  // namespace vedra
