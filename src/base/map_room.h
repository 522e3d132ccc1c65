// Room for inserts that must not fail: growing an abseil hash map ahead of
// time so that the next `extra` inserts allocate nothing.
//
// reserve() and rehash() are no use for that: the release we build against
// records the new capacity before it allocates, so a std::bad_alloc there
// leaves a table that crashes when next touched.  Instead a bigger table is
// made aside (a constructor that throws leaves nothing behind), the entries
// are moved into it as nodes (no allocation, no copy of a key) and the two
// are swapped.  A node map's values stay where they are; a flat map's move.
//
// GrowSafe<Map> applies this to every insert, so that the table never grows
// by itself: every map the engine keeps or builds aside is one, because a
// map whose own growth threw cannot even be destroyed.
//
// REQUIRES: nothing is ever erased from the map (no tombstones), so that the
// room counted here is room the table really has.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vedra {

// Inserts `m` can surely take without growing.  Counted conservatively
// (seven eighths of the slots, less one), whatever the group width.
template <typename Map>
size_t map_room(const Map& m) {
  const size_t usable = m.capacity() * 7 / 8;
  return usable > m.size() + 1 ? usable - m.size() - 1 : 0;
}

// Grows `m` so that `extra` more inserts allocate nothing.  Throws
// std::bad_alloc with `m` unchanged; moves a flat map's values.
template <typename Map>
void ensure_map_room(Map& m, size_t extra) {
  if (map_room(m) >= extra) return;
  const size_t wanted = m.size() + extra + 1;
  size_t buckets = wanted + wanted / 7 + 2;
  if (buckets < 2 * m.capacity() + 1) buckets = 2 * m.capacity() + 1;
  Map bigger(buckets, m.hash_function(), m.key_eq());
  for (auto it = m.begin(); it != m.end();) {
    auto next = std::next(it);
    bigger.insert(m.extract(it));
    it = next;
  }
  m.swap(bigger);
}

// Texts a std::string holds without allocating (15 bytes in libstdc++, more
// in libc++).
inline constexpr size_t kInPlaceText = 15;

// An abseil flat map or set made safe against a throwing allocation.
//
// The release we build against is not: its own growth records the new
// capacity before allocating, and an insert marks the slot full before it
// constructs the entry there, so a throw in either leaves a table that
// crashes when next touched, even when it is only being destroyed.  Here
// every insert first makes its entry aside (where a throw touches nothing),
// grows the table through ensure_map_room(), and only then moves the entry
// in, which cannot throw.  Copies are left out: copying a table grows it the
// unsafe way.
//
// REQUIRES: the key and mapped types move without throwing.
template <typename Base>
class GrowSafe : public Base {
 public:
  using Base::Base;
  GrowSafe() = default;
  GrowSafe(const GrowSafe&) = delete;
  GrowSafe& operator=(const GrowSafe&) = delete;
  GrowSafe(GrowSafe&&) noexcept = default;
  GrowSafe& operator=(GrowSafe&&) noexcept = default;

  // As the map's try_emplace: nothing is constructed when the key is held.
  template <typename K, typename... A>
  std::pair<typename Base::iterator, bool> try_emplace(K&& key, A&&... args) {
    if constexpr (std::is_same_v<typename Base::key_type, std::string> &&
                  std::is_convertible_v<K&&, std::string_view> &&
                  std::is_nothrow_constructible_v<typename Base::mapped_type, A&&...>) {
      // A short text key is built without allocating, so the entry can be
      // made in its slot: one probe, as the plain map takes.
      const std::string_view text(key);
      if (text.size() <= kInPlaceText) {
        std::string short_key(text);
        ensure_map_room(*this, 1);
        return Base::try_emplace(std::move(short_key), std::forward<A>(args)...);
      }
    }
    auto it = this->find(key);
    if (it != this->end()) return {it, false};
    typename Base::init_type entry(std::piecewise_construct, std::forward_as_tuple(std::forward<K>(key)),
                                   std::forward_as_tuple(std::forward<A>(args)...));
    ensure_map_room(*this, 1);
    return Base::insert(std::move(entry));
  }
  template <typename... A>
  std::pair<typename Base::iterator, bool> emplace(A&&... args) {
    typename Base::init_type entry(std::forward<A>(args)...);
    ensure_map_room(*this, 1);
    return Base::insert(std::move(entry));
  }
  auto insert(typename Base::node_type&& node) {
    ensure_map_room(*this, 1);
    return Base::insert(std::move(node));
  }
  void reserve(size_t n) {
    if (n > this->size()) ensure_map_room(*this, n - this->size());
  }
  template <typename K>
  auto& operator[](K&& key) {
    return try_emplace(std::forward<K>(key)).first->second;
  }
  void rehash(size_t) = delete;
};

}  // namespace vedra
