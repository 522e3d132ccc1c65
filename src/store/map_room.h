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
// REQUIRES: nothing is ever erased from `m` (no tombstones), so that the
// room counted here is room the table really has.
#pragma once

#include <cstddef>
#include <iterator>
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

}  // namespace vedra
