// KeyStrCache: strs of short payload strings, shared across get calls.
//
// Every record of a catalogue repeats the same few dozen keys ("code",
// "name", "attributes", ...) and many short values (market codes, type
// names, currencies, category paths), so making a fresh str for each of
// them in each payload returned costs more than the lookup that finds it.
// A str is made once and handed out again whenever the same bytes come back;
// strs are immutable, so sharing is invisible to callers (json.loads makes no
// promise about the identity of the strs it returns either).  An engine
// holds one cache for keys and one for values, so that values unique to a
// record (codes, names) cannot evict the keys.
//
// Bounded: a direct-mapped table of kSlots entries keyed by the UTF-8 bytes
// (texts longer than kMaxKeyBytes are not cached); a colliding text replaces
// the entry.  At most kSlots strs are held, whatever the number of records;
// nothing is held per record.  The table (32 KiB) is allocated on first use.
//
// Ownership: each entry owns one reference to its str; the strs hold no
// references, so the owner needs no GC support.  Owned by CoreObject.
// REQUIRES: the interpreter lock for every call.  No call runs Python code,
// so a lookup cannot be re-entered half way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "binding/py.h"
#include "store/json/byte_scan.h"

namespace vedra::py {

class KeyStrCache {
 public:
  static constexpr size_t kSlots = 512;  // a power of two
  static constexpr size_t kMaxKeyBytes = 48;

  KeyStrCache() = default;
  ~KeyStrCache() { clear(); }
  KeyStrCache(const KeyStrCache&) = delete;
  KeyStrCache& operator=(const KeyStrCache&) = delete;

  // A new reference to a str of the UTF-8 text [p, p + n), or nullptr with
  // an exception set (ill-formed UTF-8: UnicodeDecodeError; MemoryError).
  // Cost: a hash of the bytes and one compare on a hit; one str made on a
  // miss.
  PyObject* get(const char* p, size_t n) {
    return get(p, n, [](const char* q, size_t m) { return PyUnicode_FromStringAndSize(q, static_cast<Py_ssize_t>(m)); });
  }

  // As get(p, n), with the str of a miss made by make(p, n), which returns
  // a new reference to the str of exactly those bytes or nullptr with an
  // exception set, and runs no Python code.
  template <class Make>
  PyObject* get(const char* p, size_t n, Make&& make) {
    if (n > kMaxKeyBytes) return make(p, n);
    if (!slots_) {
      slots_.reset(new (std::nothrow) Slot[kSlots]());
      if (!slots_) return make(p, n);
    }
    const uint64_t h = hash(p, n);
    Slot& slot = slots_[h & (kSlots - 1)];
    if (slot.str != nullptr && slot.len == n && std::memcmp(slot.bytes, p, n) == 0) {
      Py_INCREF(slot.str);
      return slot.str;
    }
    PyObject* str = make(p, n);
    if (str == nullptr) return nullptr;
    PyObject* old = slot.str;
    Py_INCREF(str);
    slot.str = str;
    slot.len = static_cast<uint32_t>(n);
    std::memcpy(slot.bytes, p, n);
    Py_XDECREF(old);  // a str: its release runs no Python code
    return str;
  }

  // Drops every str.
  void clear() {
    std::unique_ptr<Slot[]> old(slots_.release());
    if (!old) return;
    for (size_t i = 0; i < kSlots; ++i) Py_XDECREF(old[i].str);
  }

 private:
  struct Slot {
    PyObject* str;  // owned; null when empty
    uint32_t len;
    char bytes[kMaxKeyBytes];
  };

  // Mixes every byte for keys of up to 16 bytes, and the first, middle
  // 8-byte words and last 8 bytes of longer ones.  REQUIRES: n <= kMaxKeyBytes.
  static uint64_t hash(const char* p, size_t n) {
    uint64_t a, b;
    if (n >= 8) {
      a = load8(p);
      b = load8(p + n - 8);
      for (size_t i = 8; i + 8 < n; i += 8) a = (a ^ load8(p + i)) * 0x9E3779B97F4A7C15ull;
    } else if (n >= 4) {
      uint32_t x, y;
      std::memcpy(&x, p, 4);
      std::memcpy(&y, p + n - 4, 4);
      a = x;
      b = y;
    } else {
      a = n == 0 ? 0
                 : (uint64_t{static_cast<unsigned char>(p[0])} | uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
                    uint64_t{static_cast<unsigned char>(p[n - 1])} << 16);
      b = 0;
    }
    uint64_t h = (a ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    h ^= (b + n) * 0x94D049BB133111EBull;
    return h ^ (h >> 29) ^ (h >> 41);
  }

  std::unique_ptr<Slot[]> slots_;  // kSlots entries; null until first use
};

}  // namespace vedra::py
