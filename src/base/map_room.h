// GrowSafe: an abseil flat map or set held behind the few calls the engine
// makes on it, each keeping the standard containers' promise: an insert or a
// reserve that throws std::bad_alloc leaves the map as it was, usable and
// destructible.
//
// Why it exists: the abseil release this is written against (20220623, the
// one Debian 12 ships; the wheels are built against Debian 11's older one)
// does not keep that promise.  Its own growth records the new capacity
// before it allocates, and an insert marks the slot full before it constructs
// the entry there, so a throw in either leaves a table that crashes when next
// touched, even when it is only being destroyed.  So the table never grows by
// itself: every insert first makes its entry aside (where a throw touches
// nothing), then makes room (below), and only then moves the entry in, which
// cannot throw.  Room is made by building a bigger table aside (a constructor
// that throws leaves nothing behind), moving the entries into it as nodes (no
// allocation, no copy of a key) and swapping the two.  A node map's values
// stay where they are; a flat map's move.
//
// The abseil calls that grow a table their own way or erase (insert_or_assign,
// emplace_hint, lazy_emplace, merge, erase, copies, rehash, ...) are not
// offered, so they cannot be reached.  Nothing is ever erased, so the table
// has no tombstones and the room counted here is room it really has.
//
// Every abseil map or set the engine keeps or builds aside is a GrowSafe (the
// field index and its posting maps through TextMap, base/hash.h).  Its other
// hash tables are standard containers, which keep the promise themselves, or
// fixed-size tables of its own: the repeated-key check of payload decoding,
// the binding's str caches, the matcher's prefilter.
//
// REQUIRES: the key and mapped types move without throwing.
// Thread safety: none, as the abseil map's.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace vedra {

// Texts a std::string holds without allocating (15 bytes in libstdc++, more
// in libc++).
inline constexpr size_t kInPlaceText = 15;

namespace map_room_detail {
// Keys that a short text builds without allocating: `size` is the longest
// such text.  A std::string whatever its allocator, or a key type that names
// its own limit as T::kInPlace.
template <typename T>
struct InPlaceText {
  static constexpr bool known = false;
};
template <typename Traits, typename Alloc>
struct InPlaceText<std::basic_string<char, Traits, Alloc>> {
  static constexpr bool known = true;
  static constexpr size_t size = kInPlaceText;
};
template <typename T>
  requires requires { size_t{T::kInPlace}; }
struct InPlaceText<T> {
  static constexpr bool known = true;
  static constexpr size_t size = T::kInPlace;
};
}  // namespace map_room_detail

template <typename Base>
class GrowSafe {
 public:
  using key_type = typename Base::key_type;
  using value_type = typename Base::value_type;
  using iterator = typename Base::iterator;
  using const_iterator = typename Base::const_iterator;

  GrowSafe() = default;
  GrowSafe(const GrowSafe&) = delete;
  GrowSafe& operator=(const GrowSafe&) = delete;
  GrowSafe(GrowSafe&&) noexcept = default;
  GrowSafe& operator=(GrowSafe&&) noexcept = default;

  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  // Slots of the table (for memory accounting).
  size_t capacity() const { return map_.capacity(); }
  // The table's hash function; a bigger table made for growth keeps it.
  typename Base::hasher hash_function() const { return map_.hash_function(); }

  template <typename K>
  iterator find(const K& key) {
    return map_.find(key);
  }
  template <typename K>
  const_iterator find(const K& key) const {
    return map_.find(key);
  }
  template <typename K>
  bool contains(const K& key) const {
    return map_.contains(key);
  }
  // Starts loading the slot group of `key`; a hint, with no effect on the map.
  template <typename K>
  void prefetch(const K& key) const {
    map_.prefetch(key);
  }

  // As the map's try_emplace: nothing is constructed when the key is held.
  // One probe when the entry is made without allocating (a key moved in or a
  // short text, a mapped value that cannot throw); else a lookup, then the
  // entry made aside and an insert.
  template <typename K, typename... A>
  std::pair<iterator, bool> try_emplace(K&& key, A&&... args) {
    if constexpr (std::is_nothrow_constructible_v<typename Base::mapped_type, A&&...>) {
      if constexpr (std::is_nothrow_constructible_v<key_type, K&&>) {
        ensure_room(1);
        return map_.try_emplace(std::forward<K>(key), std::forward<A>(args)...);
      } else if constexpr (map_room_detail::InPlaceText<key_type>::known &&
                           std::is_convertible_v<K&&, std::string_view>) {
        const std::string_view text(key);
        if (text.size() <= map_room_detail::InPlaceText<key_type>::size) {
          key_type short_key(text);
          ensure_room(1);
          return map_.try_emplace(std::move(short_key), std::forward<A>(args)...);
        }
      }
    }
    auto it = map_.find(key);
    if (it != map_.end()) return {it, false};
    typename Base::init_type entry(std::piecewise_construct, std::forward_as_tuple(std::forward<K>(key)),
                                   std::forward_as_tuple(std::forward<A>(args)...));
    ensure_room(1);
    return map_.insert(std::move(entry));
  }

  // As the map's emplace: the entry is built from `args` even when its key is
  // held (and then dropped).
  template <typename... A>
  std::pair<iterator, bool> emplace(A&&... args) {
    typename Base::init_type entry(std::forward<A>(args)...);
    ensure_room(1);
    return map_.insert(std::move(entry));
  }

  // Room for `n` entries in all.
  void reserve(size_t n) {
    if (n > size()) ensure_room(n - size());
  }

  // Moves every entry of `other` into this map and leaves `other` empty; a key
  // this map holds already keeps its entry (other's is destroyed).  Throws
  // std::bad_alloc with both maps unchanged; allocates nothing, and so cannot
  // throw, once ensure_map_room(*this, other.size()) has run.
  void take_all(GrowSafe&& other) {
    ensure_room(other.size());
    for (auto it = other.map_.begin(); it != other.map_.end();) {
      auto next = std::next(it);
      map_.insert(other.map_.extract(it));
      it = next;
    }
    other.map_.clear();  // the extracted slots' marks, so other holds no tombstone
  }

  // Grows `m` so that `extra` more inserts allocate nothing.  Throws
  // std::bad_alloc with `m` unchanged.  Moves a flat map's values.
  friend void ensure_map_room(GrowSafe& m, size_t extra) { m.ensure_room(extra); }
  // Inserts `m` surely takes without growing (a bulk load appends what it
  // has found before an insert that would move the values).
  friend size_t map_room(const GrowSafe& m) { return m.room(); }

 private:
  // Inserts the table surely takes without growing: seven eighths of the
  // slots, less one, whatever the group width.
  size_t room() const {
    const size_t usable = map_.capacity() * 7 / 8;
    return usable > map_.size() + 1 ? usable - map_.size() - 1 : 0;
  }

  void ensure_room(size_t extra) {
    if (room() >= extra) return;
    const size_t wanted = map_.size() + extra + 1;
    size_t buckets = wanted + wanted / 7 + 2;
    if (buckets < 2 * map_.capacity() + 1) buckets = 2 * map_.capacity() + 1;
    Base bigger(buckets, map_.hash_function(), map_.key_eq(), map_.get_allocator());
    if constexpr (kMovesEntries) {
      // The bigger table has room for every entry, so no insert below
      // allocates; an entry moves into it once, and the old table then only
      // frees what the moves left behind.  (Extracting each entry as a node
      // would move it twice and mark its slot free.)
      for (auto& entry : map_) {
        auto& key = const_cast<key_type&>(entry.first);
        bigger.try_emplace(std::move(key), std::move(entry.second));
      }
    } else {
      for (auto it = map_.begin(); it != map_.end();) {
        auto next = std::next(it);
        bigger.insert(map_.extract(it));
        it = next;
      }
    }
    map_.swap(bigger);
  }

  // A map whose keys and values move without throwing: growth moves its
  // entries in place of extracting them.  Keys are distinct, so each lands
  // in a fresh slot of the bigger table.
  static constexpr bool kMovesEntries = [] {
    if constexpr (requires { typename Base::mapped_type; }) {
      return std::is_nothrow_move_constructible_v<key_type> &&
             std::is_nothrow_move_constructible_v<typename Base::mapped_type>;
    } else {
      return false;
    }
  }();

  Base map_;
};

}  // namespace vedra
