// GrowSafe's promise, swept: every call that may allocate is run with its
// k-th allocation failing, for every k until it succeeds, over maps of every
// size up to a few growths.  A call that throws leaves the map as it was; one
// that succeeds did what the call says; either way the map takes more entries
// and is destroyed cleanly (the AddressSanitizer stage sees a bad table).
// Keys, values and tables all allocate through one failing allocator.
#include "base/map_room.h"

#include <functional>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "base/hash.h"
#include "testing.h"

using vedra::GrowSafe;

namespace {

size_t g_fail_at = 0;  // the allocation that throws, counted from 1; 0: none
bool g_failed = false;

template <typename T>
struct FailingAllocator {
  using value_type = T;
  FailingAllocator() = default;
  template <typename U>
  FailingAllocator(const FailingAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (g_fail_at != 0 && --g_fail_at == 0) {
      g_failed = true;
      throw std::bad_alloc();
    }
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  friend bool operator==(const FailingAllocator&, const FailingAllocator&) { return true; }
};

using Text = std::basic_string<char, std::char_traits<char>, FailingAllocator<char>>;
using Values = std::vector<int, FailingAllocator<int>>;  // a mapped value that allocates
using Map = GrowSafe<absl::flat_hash_map<Text, Values, vedra::SeededStringHash, vedra::StringEq,
                                         FailingAllocator<std::pair<const Text, Values>>>>;
using Model = std::map<std::string, std::vector<int>>;

std::string key(size_t i, bool long_key) { return (long_key ? std::string(24, 'x') : "k") + std::to_string(i); }

Model model_of(const Map& m) {
  Model out;
  for (const auto& [k, v] : m) out.emplace(std::string(k), std::vector<int>(v.begin(), v.end()));
  return out;
}

void fill(Map& m, Model& model, size_t n, size_t from = 0) {
  for (size_t i = from; i < from + n; ++i) {
    m.try_emplace(key(i, i % 3 == 0), Values{int(i)});
    model[key(i, i % 3 == 0)] = {int(i)};
  }
}

// A call on the map, and what it does to the model when it succeeds.
struct Call {
  const char* name;
  std::function<void(Map&)> run;
  std::function<void(Model&)> effect;
};

void emplace_into(Model& model, const std::string& k, std::vector<int> v) { model.try_emplace(k, std::move(v)); }

const Call kCalls[] = {
    {"010-try_emplace_short_key", [](Map& m) { m.try_emplace(std::string_view("new")); },
     [](Model& s) { emplace_into(s, "new", {}); }},
    {"020-try_emplace_long_key", [](Map& m) { m.try_emplace(std::string_view(key(7, true) + "new")); },
     [](Model& s) { emplace_into(s, key(7, true) + "new", {}); }},
    {"030-try_emplace_held_key", [](Map& m) { m.try_emplace(std::string_view(key(0, true)), Values{9}); },
     [](Model& s) { emplace_into(s, key(0, true), {9}); }},
    {"040-try_emplace_allocating_value", [](Map& m) { m.try_emplace(std::string_view("new"), Values{1, 2}); },
     [](Model& s) { emplace_into(s, "new", {1, 2}); }},
    {"050-try_emplace_moved_key", [](Map& m) { m.try_emplace(Text(key(9, true) + "new"), Values{3}); },
     [](Model& s) { emplace_into(s, key(9, true) + "new", {3}); }},
    {"060-emplace_long_key", [](Map& m) { m.emplace(key(5, true) + "new", Values{4}); },
     [](Model& s) { emplace_into(s, key(5, true) + "new", {4}); }},
    {"070-reserve", [](Map& m) { m.reserve(m.size() + 20); }, [](Model&) {}},
    {"080-ensure_map_room", [](Map& m) { ensure_map_room(m, 5); }, [](Model&) {}},
    {"090-take_all", [](Map& m) {
       Map other;
       Model unused;
       fill(other, unused, 3, 100);
       other.try_emplace(std::string_view("k1"), Values{-1});  // held by m: m's entry stays
       m.take_all(std::move(other));
     },
     [](Model& s) {
       for (size_t i = 100; i < 103; ++i) emplace_into(s, key(i, i % 3 == 0), {int(i)});
       emplace_into(s, "k1", {-1});
     }},
};

}  // namespace

TEST(MapRoom, EveryAllocationOfEveryCallFailedInTurn) {
  for (const Call& call : kCalls) {
    for (size_t size = 0; size <= 40; ++size) {
      for (size_t k = 1;; ++k) {
        Map m;
        Model before;
        fill(m, before, size);
        g_failed = false;
        g_fail_at = k;
        bool threw = false;
        try {
          call.run(m);
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        g_fail_at = 0;
        Model want = before;
        if (!threw) call.effect(want);
        if (model_of(m) != want || threw != g_failed) {
          std::cerr << "  " << call.name << ", size " << size << ", allocation " << k << "\n";
        }
        EXPECT_EQ(model_of(m), want);
        EXPECT_EQ(threw, g_failed);
        fill(m, want, 20, 200);  // still usable, through growths
        EXPECT_EQ(model_of(m), want);
        if (!g_failed) break;
      }
    }
  }
}

TEST(MapRoom, RoomMadeIsRoomTaken) {
  for (size_t size = 0; size <= 40; size += 3) {
    for (size_t extra : {1, 2, 7, 30}) {
      Map m;
      Model model;
      fill(m, model, size);
      ensure_map_room(m, extra);
      g_fail_at = 1;  // any table allocation from here throws
      bool threw = false;
      try {
        for (size_t i = 0; i < extra; ++i) m.try_emplace(Text(key(300 + i, false)), Values());
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      g_fail_at = 0;
      EXPECT_FALSE(threw);
      EXPECT_EQ(m.size(), size + extra);
    }
  }
}

TEST(MapRoom, SetEmplaceFailedInTurn) {
  using Entry = std::pair<size_t, Text>;
  using Set = GrowSafe<absl::flat_hash_set<Entry, absl::Hash<Entry>, std::equal_to<Entry>, FailingAllocator<Entry>>>;
  for (size_t size = 0; size <= 20; ++size) {
    for (size_t k = 1;; ++k) {
      Set s;
      for (size_t i = 0; i < size; ++i) s.emplace(i, Text(key(i, i % 2 == 0)));
      g_failed = false;
      g_fail_at = k;
      bool inserted = false;
      try {
        inserted = s.emplace(size, Text(key(size, true))).second;
      } catch (const std::bad_alloc&) {
      }
      g_fail_at = 0;
      EXPECT_EQ(s.size(), size + (inserted ? 1 : 0));
      EXPECT_EQ(s.contains(std::make_pair(size, Text(key(size, true)))), inserted);
      for (size_t i = 0; i < size; ++i) EXPECT_TRUE(s.contains(std::make_pair(i, Text(key(i, i % 2 == 0)))));
      if (!g_failed) break;
    }
  }
}

TEST(MapRoom, TextKeysOfEverySizeAroundTheInPlaceLimit) {
  vedra::TextMap<size_t> m;
  std::map<std::string, size_t> model;
  for (size_t n = 0; n <= 40; ++n) {
    const std::string text = std::string(n, 'a') + std::string(n % 3, '\0');
    const size_t hash = m.hash_function()(text);
    vedra::TextKey key(text);
    EXPECT_EQ(key.heap_bytes(), text.size() > vedra::TextKey::kInPlace ? text.size() : 0);
    if (n % 2 == 0) {
      m.try_emplace(vedra::HashedKey{std::move(key), hash}, n);
      EXPECT_TRUE(key.empty());  // moved into the map
    } else {
      m.try_emplace(std::string_view(text), n);
    }
    model[text] = n;
  }
  std::map<std::string, size_t> held;
  for (const auto& [k, v] : m) {
    held[std::string(k)] = v;
    EXPECT_EQ(m.hash_function()(k), m.hash_function()(k.view()));
  }
  EXPECT_EQ(held, model);
  for (const auto& [text, v] : model) EXPECT_EQ(m.find(text)->second, v);
}
