// DictShape and DictShapeCache: how an object with a given sequence of keys
// is written as compact JSON text, worked out once per sequence.
//
// Writing a dict orders its members by key bytes, keeps only the last of
// keys that share a text, and escapes every key: work that depends on the
// sequence of key texts alone, not on the values.  The records of one
// catalogue repeat a handful of such sequences (the same keys in the same
// order at each level), so the conversion looks the sequence up and reuses
// the member order and the escaped `"key":` texts instead of redoing them.
//
// A shape is matched by the key texts themselves, byte for byte, never by
// the identity of the key objects: records decoded one by one repeat texts
// but not objects, and a cache keyed by object addresses would have to keep
// those objects alive to be safe.  The cache holds no Python object.
//
// Bounded: kSlots shapes (two-way associative, the older of a pair
// replaced), each of at most kMaxKeys keys and kMaxKeyBytes bytes of key
// text; larger key sequences are worked out per call and never kept.  The
// slot table is allocated on first use.
//
// Lifetime: the cache's user works in passes (one conversion each, begun by
// begin_pass()).  A shape found, kept or reached through its handle in a pass
// is never replaced before the next pass begins, so the shapes and key views
// a pass holds stay valid throughout it; between passes only a Handle is
// kept, and it says so when its shape has gone.
//
// Thread safety: none; owned by one engine object and used under its borrow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/flatten_collector.h"

namespace vedra {

class DictShape {
 public:
  // Works out the shape of the key sequence keys[0, n).  Throws
  // std::bad_alloc, leaving `this` unusable until the next successful build.
  void build(const std::string_view* keys, size_t n);

  // True when keys[0, n) is exactly the sequence this shape was built from.
  bool matches(const std::string_view* keys, size_t n) const;

  // Members written, in key byte order (repeated key texts once).
  size_t members() const { return source_.size(); }
  // Position, in the key sequence, of the member written j-th.
  size_t source(size_t j) const { return source_[j]; }
  // What comes before member j's value: "," (except for the first), the
  // escaped key in quotes, ":".
  std::string_view prefix(size_t j) const {
    const size_t b = j == 0 ? prefixes_begin_ : prefix_end_[j - 1];
    return std::string_view(text_).substr(b, prefix_end_[j] - b);
  }
  // Key text (unescaped) of member j.
  std::string_view member_key(size_t j) const { return key(source_[j]); }
  // Bytes of all prefixes together.
  size_t prefix_bytes() const { return text_.size() - prefixes_begin_; }
  // What the flattening reads the i-th key for, were the dict a record.
  FlattenRole role(size_t i) const { return roles_[i]; }
  // Key text of the i-th key of the sequence the shape was built from.
  std::string_view key(size_t i) const {
    const size_t b = i == 0 ? 0 : key_end_[i - 1];
    return std::string_view(text_).substr(b, key_end_[i] - b);
  }

 private:
  std::string text_;             // the keys in sequence order, then the prefixes
  std::vector<size_t> key_end_;  // end of key i in text_
  std::vector<FlattenRole> roles_;  // of key i
  std::vector<size_t> source_;
  std::vector<size_t> prefix_end_;  // end of prefix j in text_
  size_t prefixes_begin_ = 0;
};

class DictShapeCache {
 public:
  static constexpr size_t kSlots = 256;  // a power of two
  static constexpr size_t kMaxKeys = 64;
  static constexpr size_t kMaxKeyBytes = 2048;

  // Signature of a key sequence, folded one key at a time from kSeed: what
  // selects the slots a sequence may be held in.  Cheap; not a full hash.
  static constexpr uint64_t kSeed = 0x243F6A8885A308D3ull;
  static uint64_t fold(uint64_t signature, std::string_view key);

  // Names one held shape across passes: the slot and the number the shape
  // was given when kept (numbers are never reused).  The default names none.
  struct Handle {
    uint32_t slot = 0;
    uint64_t serial = 0;
  };

  // Begins a pass: shapes used in earlier passes may be replaced again.
  void begin_pass() { ++pass_; }

  // The shape held for keys[0, n), whose signature is `signature`, or null.
  // `where`, when given, receives its handle.
  const DictShape* find(uint64_t signature, const std::string_view* keys, size_t n, Handle* where = nullptr);

  // Holds a shape built for keys[0, n) and returns it, or null when the
  // sequence is too large to hold, both slots it may go to hold shapes used
  // in this pass, or memory is short (nothing changes then).  `where`, when
  // given, receives its handle.
  const DictShape* keep(uint64_t signature, const std::string_view* keys, size_t n,
                        Handle* where = nullptr) noexcept;

  // The shape `h` names when it is still held, else null.  Counts as a use.
  const DictShape* at(Handle h) {
    if (!slots_ || h.serial == 0) return nullptr;
    Slot& s = slots_[h.slot];
    if (s.serial != h.serial) return nullptr;
    use(h.slot);
    return s.shape.get();
  }

 private:
  struct Slot {
    uint64_t signature = 0;
    std::unique_ptr<DictShape> shape;  // null when empty
    uint64_t serial = 0;               // of the shape held; 0 when empty
    uint64_t pass = 0;                 // the last pass that used it
    bool recent = false;               // the more recently used of its pair
  };
  void use(size_t slot) {
    slots_[slot].recent = true;
    slots_[slot ^ 1].recent = false;
    slots_[slot].pass = pass_;
  }
  std::unique_ptr<Slot[]> slots_;  // kSlots; null until first keep()
  uint64_t pass_ = 1;
  uint64_t serials_ = 0;
};

}  // namespace vedra
