// FieldMap: one record's flattened fields, field name -> joined values.
//
// A catalogue keeps one map per record, so the map is a single byte blob of
// length-prefixed (name, value) entries rather than a container of strings:
// one allocation per record instead of two per field.  Entries keep the order
// in which they were added; that order is the map's iteration order (what a
// snapshot writes), and nothing else may depend on it.
//
// A map may instead hold only its values and share its names, in order,
// with other maps of the same shape (FieldNames, made by write_named()): its
// blob then starts with the list's address, and its entries are the same.
// Nothing but the bytes held tells the two forms apart.
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
#include "store/field_names.h"

namespace vedra {

class FieldMap {
 public:
  using Entry = std::pair<std::string_view, std::string_view>;

  FieldMap() = default;
  // REQUIRES: the names are distinct, and each entry passes check_entry().
  FieldMap(std::initializer_list<Entry> entries) {
    for (const Entry& e : entries) append(e.first, e.second);
  }
  FieldMap(const FieldMap& o) : blob_(o.blob_), size_(o.size_), named_(o.named_) {
    if (named_) names()->ref();
  }
  FieldMap(FieldMap&& o) noexcept
      : blob_(std::move(o.blob_)), size_(std::exchange(o.size_, 0)), named_(std::exchange(o.named_, false)) {
    o.blob_.clear();
  }
  FieldMap& operator=(const FieldMap& o) {
    if (this != &o) FieldMap(o).swap(*this);
    return *this;
  }
  FieldMap& operator=(FieldMap&& o) noexcept {
    FieldMap(std::move(o)).swap(*this);
    return *this;
  }
  ~FieldMap() {
    if (named_) names()->unref();
  }
  void swap(FieldMap& o) noexcept {
    blob_.swap(o.blob_);
    std::swap(size_, o.size_);
    std::swap(named_, o.named_);
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
    if (named_) hold_names();
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
    take(blob, count, nullptr);
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
    take(blob, entries, nullptr);
  }

  // Makes the map hold one entry for each of the names in `names`, in
  // order, sharing the list, with the values, of `value_bytes` bytes
  // together, that fill(Writer&) writes in order with text(), in one
  // allocation.  REQUIRES: fill writes exactly that, each value as append()
  // requires; `names` is not empty.
  template <typename F>
  void write_named(const FieldNames* names, size_t value_bytes, F&& fill) {
    std::string blob(sizeof names + sizeof(uint32_t) * names->size() + value_bytes, '\0');
    std::memcpy(blob.data(), &names, sizeof names);
    Writer w(blob.data() + sizeof names);
    fill(w);
    take(blob, names->size(), names);
  }

  // Room for entries totalling `name_and_value_bytes` bytes of text over
  // `entries` entries, so that appending them allocates once.
  void reserve(size_t entries, size_t name_and_value_bytes) {
    if (named_) hold_names();
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
  // Heap bytes held: the blob's, and the map's share of a shared names list.
  size_t memory_usage() const {
    const size_t own = blob_.capacity() > 15 ? blob_.capacity() + 1 : 0;
    return named_ ? own + names()->memory_usage() / names()->holders() : own;
  }
  // The bytes the entries take in one blob of names and values with their
  // lengths, whether the names are shared or not.
  size_t entry_bytes() const { return named_ ? names()->bytes() + blob_.size() - sizeof(void*) : blob_.size(); }

  class const_iterator {
   public:
    Entry operator*() const {
      const std::string_view name = read(name_);
      return {name, read(value_ != nullptr ? value_ : name.data() + name.size())};
    }
    const_iterator& operator++() {
      const std::string_view name = read(name_);
      if (value_ != nullptr) {
        const std::string_view value = read(value_);
        value_ = value.data() + value.size();
        name_ = name.data() + name.size();
      } else {
        const std::string_view value = read(name.data() + name.size());
        name_ = value.data() + value.size();
      }
      return *this;
    }
    bool operator!=(const const_iterator& o) const { return name_ != o.name_; }
    bool operator==(const const_iterator& o) const { return name_ == o.name_; }

   private:
    friend class FieldMap;
    // `value` null: each name is followed by its value.
    const_iterator(const char* name, const char* value) : name_(name), value_(value) {}
    static std::string_view read(const char* p) {
      uint32_t n;
      std::memcpy(&n, p, sizeof n);
      return std::string_view(p + sizeof n, n);
    }
    const char* name_;
    const char* value_;
  };
  // The ends of the bytes holding the entries' names and their values: a
  // reader may load whole words of an entry's name (value) up to
  // names_end() (values_end()), past the text it is reading.
  const char* names_end() const { return named_ ? names()->end() : values_end(); }
  const char* values_end() const { return blob_.data() + blob_.size(); }
  const_iterator begin() const {
    return named_ ? const_iterator(names()->begin(), blob_.data() + sizeof(void*)) : const_iterator(blob_.data(), nullptr);
  }
  const_iterator end() const { return const_iterator(names_end(), nullptr); }

  // Same entries in the same order.
  friend bool operator==(const FieldMap& a, const FieldMap& b) {
    if (!a.named_ && !b.named_) return a.blob_ == b.blob_;
    if (a.size_ != b.size_) return false;
    for (const_iterator i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
      if (*i != *j) return false;
    }
    return true;
  }

 private:
  static char* put_at(char* out, std::string_view s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    std::memcpy(out, &n, sizeof n);
    copy_text(out + sizeof n, s.data(), n);  // names and values are short: no call
    return out + sizeof n + n;
  }

  const FieldNames* names() const {
    const FieldNames* p;
    std::memcpy(&p, blob_.data(), sizeof p);
    return p;
  }
  // Makes the map hold `blob` (swapped in) of `count` entries, its names in
  // `names` (taking a reference) or, when null, in the blob.
  void take(std::string& blob, size_t count, const FieldNames* names) noexcept {
    if (names != nullptr) names->ref();
    if (named_) this->names()->unref();
    blob_.swap(blob);
    size_ = static_cast<uint32_t>(count);
    named_ = names != nullptr;
  }
  // Names and values in the blob again, for a change to the entries.
  void hold_names() {
    FieldMap own;
    own.assign(*this);
    swap(own);
  }

  void put(std::string_view s) {
    const uint32_t n = static_cast<uint32_t>(s.size());
    blob_.append(reinterpret_cast<const char*>(&n), sizeof n);
    blob_.append(s);
  }

  // Repeated: u32 name length, name, u32 value length, value; or, when
  // named_, the FieldNames address, then repeated: u32 value length, value.
  std::string blob_;
  uint32_t size_ = 0;
  bool named_ = false;
};

}  // namespace vedra
