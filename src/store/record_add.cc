#include "store/record_add.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "base/map_room.h"
#include "index/prefix_keys.h"
#include "index/roaring_memory.h"
#include "index/value_keys.h"
#include "store/json/byte_scan.h"

namespace vedra {
namespace {

template <typename T>
void reserve_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() < 8 ? 8 : 2 * v.capacity());
}

// Every per-record list of the state with the entry the record gives it:
// reserve_record() grows each by one and append_record() appends to each, so
// a list named here is reserved and appended alike.  The visitor takes
// (list, entry).
template <typename F>
void for_each_record_list(EngineState& s, RecordInput& in, F&& f) {
  const RecordTexts::Entry texts{in.code, in.name, in.pinyin};
  f(s.record_texts, texts);
  f(s.record_payloads, in.payload);
  f(s.record_fields, in.fields);
  uint32_t r = s.next_record;
  if (in.deep) f(s.deep_payload_records, r);
}

// Every (field, text) the record posts, in posting order, with its position
// in the field slot cache: "code" 0, "name" 1, then the record's pairs from
// 2, empty texts counted but not passed on.
template <typename F>
void for_each_posted_value(const RecordInput& in, F&& f) {
  if (!in.code.empty()) f(std::string_view("code"), std::string_view(in.code), size_t{0});
  if (!in.name.empty()) f(std::string_view("name"), std::string_view(in.name), size_t{1});
  size_t position = 2;
  auto one = [&](std::string_view field, std::string_view text) {
    if (!text.empty()) f(field, text, position);
    ++position;
  };
  if (in.posts != nullptr) {
    for (const auto& [field, text] : *in.posts) one(field, text);
  } else {
    for (const auto [field, text] : in.fields) one(field, text);
  }
}

// At least as many keys as for_each_value_key() gives for `text`: each key
// ends where a "."- or "|"-separated piece ends, at most one per piece.
// Counting separators is cheaper than making the keys; room for a few keys
// more than needed only brings a table's growth a few inserts forward.
// Eight bytes at a time; a word's test may mark a byte above a separator as
// one more, which only over-counts.
size_t value_key_bound(std::string_view text) {
  size_t n = 1;
  const char* p = text.data();
  const char* const end = p + text.size();
  // Each byte's mark is its high bit: moved to its low bit, the bytes sum to
  // the marks in the top byte.
  auto count = [&](uint64_t w) { n += (((bytes_equal(w, '.') | bytes_equal(w, '|')) >> 7) * kByteOnes) >> 56; };
  for (; end - p >= 8; p += 8) count(load8(p));
  if (p == end) return n;
  const size_t rest = static_cast<size_t>(end - p);
  if (std::endian::native == std::endian::little && text.size() >= 8) {
    // The last eight bytes, those already counted shifted out.
    count(load8(end - 8) >> (8 * (8 - rest)));
  } else {
    uint64_t w = 0;
    std::memcpy(&w, p, rest);
    count(w);
  }
  return n;
}

// A posted value with the map it goes to (kIncremental).
struct Target {
  std::string_view text;
  FieldPostings* map;
  bool staged;         // the map is one of the reservation's staged maps
  bool plain = false;  // kIncremental: no "." or "|", so the text is its only key
  // The map's value memo (null for a staged map), and when it knew the
  // value, where its postings were copied in the reservation's list of
  // known postings; they are valid while the map's capacity is
  // known_capacity.
  ValueMemo* memo = nullptr;
  uint32_t known_begin = 0, known_size = 0;
  size_t known_capacity = 0;
  // When `hashed`, the map's hashes of `text` and of its first prefix_size
  // bytes (the key before the first dot; SIZE_MAX: no dot).
  bool hashed = false;
  size_t prefix_size = SIZE_MAX;
  size_t whole_hash = 0, prefix_hash = 0;
};

// kBulk: the posting of `key` in `m`, made when missing.  `hash` is the
// map's hash of `key`.  One probe, unless the key is too long to build
// without allocating: then it is looked for first, so that a key held
// costs no copy.  REQUIRES: room for one insert (map_room(m) > 0).
Posting& bulk_posting(FieldPostings& m, std::string_view key, size_t hash) {
  static_assert(std::is_nothrow_constructible_v<TextKey, HashedKey&&> &&
                    std::is_nothrow_default_constructible_v<Posting>,
                "the insert must take a built key in one probe");
  if (key.size() > TextKey::kInPlace) {
    auto it = m.find(HashedText{key, hash});
    if (it != m.end()) return it->second;
  }
  return m.try_emplace(HashedKey{TextKey(key), hash}).first->second;
}

// Counts of keys each existing map may gain: a small open-addressed table
// while the maps are few (a record's fields are mostly distinct maps, so a
// list would be searched whole at every value), a hash map for a record with
// very many fields.
class KeyCounts {
 public:
  void add(FieldPostings* m, size_t n) {
    if (many_.empty()) {
      const uintptr_t h = reinterpret_cast<uintptr_t>(m) * 0x9E3779B97F4A7C15ull;
      for (size_t slot = h >> (64 - kSlotBits);; slot = (slot + 1) & (kSlots - 1)) {
        const uint64_t bit = uint64_t{1} << slot;
        if ((used_ & bit) == 0) {
          if (listed_ == kListedMaps) break;
          few_[slot] = Entry{m, n};
          used_ |= bit;
          ++listed_;
          return;
        }
        if (few_[slot].map == m) {
          few_[slot].count += n;
          return;
        }
      }
      for (uint64_t u = used_; u != 0; u &= u - 1) {
        const Entry& e = few_[std::countr_zero(u)];
        many_.try_emplace(e.map, e.count);
      }
    }
    many_.try_emplace(m, 0).first->second += n;
  }
  // Room in every counted map for its keys (an over-count when keys repeat).
  void make_room() {
    if (many_.empty()) {
      for (uint64_t u = used_; u != 0; u &= u - 1) {
        const Entry& e = few_[std::countr_zero(u)];
        ensure_map_room(*e.map, e.count);
      }
    } else {
      for (auto& [m, n] : many_) ensure_map_room(*m, n);
    }
  }

 private:
  static constexpr size_t kListedMaps = 32;
  static constexpr size_t kSlotBits = 6;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;  // twice kListedMaps: probes stay short
  struct Entry {
    FieldPostings* map;
    size_t count;
  };
  Entry few_[kSlots];  // only the slots marked in used_ are set
  uint64_t used_ = 0;
  size_t listed_ = 0;
  GrowSafe<absl::flat_hash_map<FieldPostings*, size_t>> many_;
};

}  // namespace

// Resolving the maps makes missing ones in the index: a kBulk state is
// discarded whole on failure, and each value resolves its map at its own
// position, as the add would.  Nothing is hashed here: the keys of a field
// whose values seldom repeat are held back, so their slots are not loaded
// ahead, and the add hashes them once, for the list that holds them.
// With `targets`, the record's fields take theirs from there.
void look_ahead(EngineState& s, const RecordInput& in, BulkLookahead& ahead, bool prefetch,
                std::span<const BulkTarget> targets) {
  ahead.values_.clear();
  if (prefetch) s.code_to_record.prefetch(in.code);
  for_each_posted_value(in, [&](std::string_view field, std::string_view text, size_t position) {
    const BulkTarget t = targets.empty() ? bulk_target(s, position, field) : targets[position];
    ahead.values_.push_back(BulkLookahead::Value{text, t.map, t.run});
  });
}

BulkTarget bulk_target(EngineState& s, size_t position, std::string_view field) {
  FieldPostings& m = s.field_slots.resolve(s.field_index, position, field);
  return BulkTarget{&m, &s.field_slots.bulk_run(position)};
}

namespace {

// f(key) for each key of `text` (for_each_value_key()), found in one scan
// when they are all prefixes of it (index/prefix_keys.h).
template <typename F>
void for_each_bulk_key(std::string_view text, std::string& acc, F&& f) {
  PrefixKeys keys;
  if (!find_prefix_keys(text, keys)) {
    for_each_value_key(text, acc, f);
    return;
  }
  for (size_t i = 0; i < keys.count; ++i) f(keys.key(text, i));
}

}  // namespace

Status reserve_record(EngineState& s, RecordInput& in, RecordReservation& plan, PostingMode mode,
                      const BulkLookahead* ahead) {
  if (Status st = check_capacity(s); !st.ok()) return st;
  const uint32_t r = s.next_record;
  plan.record = r;
  if (mode == PostingMode::kIncremental) s.code_to_record.prefetch(in.code);

  // Field maps.  kBulk makes missing ones in the index (the lookahead has
  // usually done so); kIncremental finds existing ones and makes the others
  // aside (rare once a catalogue is under way).  Keys of large existing maps
  // start loading here, so that their cache misses overlap.
  absl::InlinedVector<Target, 32> targets;
  BulkLookahead own;
  if (mode == PostingMode::kBulk && ahead == nullptr) {
    look_ahead(s, in, own, false, {});
    ahead = &own;
  }
  KeyCounts counts;
  std::string acc;
  // kIncremental: a value its map's memo knows needs no key, no probe and no
  // room; its postings are copied here at once, before another value of the
  // same map can replace the memo's entry.
  absl::InlinedVector<Posting*, 32> known;
  if (mode == PostingMode::kIncremental) {
    for_each_posted_value(in, [&](std::string_view field, std::string_view text, size_t position) {
      FieldPostings* m = s.field_slots.lookup(s.field_index, position, field);
      if (m == nullptr) {
        if (!plan.staged_fields) plan.staged_fields.emplace();
        targets.push_back({text, &field_postings(*plan.staged_fields, field), true});
        return;
      }
      Target& t = targets.emplace_back(Target{text, m, false});
      t.memo = &s.field_slots.live_memo(position);
      if (const std::span<Posting* const> hit = t.memo->find(m->capacity(), text); !hit.empty()) {
        t.known_begin = static_cast<uint32_t>(known.size());
        t.known_size = static_cast<uint32_t>(hit.size());
        t.known_capacity = m->capacity();
        for (Posting* p : hit) known.push_back(p);
        return;
      }
      // A map too large to stay in cache: the slots of the value's plain
      // keys start loading now, so that their misses overlap, and their
      // hashes serve the probes below.
      if (m->size() >= kCachedEntries && text.find('|') == std::string_view::npos) {
        const auto hash = m->hash_function();
        t.hashed = true;
        t.whole_hash = hash(text);
        m->prefetch(HashedText{text, t.whole_hash});
        if (const size_t dot = text.find('.'); dot != std::string_view::npos) {
          t.prefix_size = dot;
          t.prefix_hash = hash(text.substr(0, dot));
          m->prefetch(HashedText{text.substr(0, dot), t.prefix_hash});
        }
      }
      const size_t bound = value_key_bound(text);
      counts.add(m, bound);
      t.plain = bound == 1;
    });
  }

  // Room for every key an existing map may gain, then for the new maps, the
  // code, the patterns and the per-record lists.  Growing a map moves its
  // postings, so no posting is held before this.
  counts.make_room();
  if (plan.staged_fields) ensure_map_room(s.field_index, plan.staged_fields->size());
  // kBulk takes the code's slot with one probe when appending; kIncremental
  // probes now, so that the append copies no key it does not insert.
  plan.new_code = mode == PostingMode::kBulk || !s.code_to_record.contains(in.code);
  if (plan.new_code) {
    ensure_map_room(s.code_to_record, 1);
    plan.code_key = TextKey(in.code);
  }
  size_t pattern_count = 0, pattern_bytes = 0;
  for_each_pattern(in.code, in.name, in.pinyin, [&](std::string_view t) {
    ++pattern_count;
    pattern_bytes += t.size();
  });
  s.pattern_texts.reserve_more(pattern_count, pattern_bytes);
  if (s.pattern_records.capacity() - s.pattern_records.size() < pattern_count) {
    s.pattern_records.reserve(std::max(2 * s.pattern_records.capacity(), s.pattern_records.size() + pattern_count));
  }
  for_each_record_list(s, in, [&](auto& list, const auto& entry) {
    using List = std::decay_t<decltype(list)>;
    if constexpr (std::is_same_v<List, PayloadStore>) {
      list.reserve_one(entry.size());
    } else if constexpr (std::is_same_v<List, RecordTexts>) {
      list.reserve_one(entry);
    } else {
      reserve_one(list);
    }
  });

  // Postings.  kBulk posts now: nothing reads the state before it is sealed.
  // kIncremental finds each key of an existing map and makes its posting
  // ready for one more number, or copies the key for insertion; keys of
  // staged maps are posted aside.
  // kBulk finds every posting of the record first, starting the load of
  // each one's array tail, and appends once they are all found, so that the
  // cache misses of the tails overlap.  A map about to grow would move the
  // postings already found: those are appended first.  A value the field's
  // memo knows takes its postings from there, without a key or a probe, and
  // is appended at once: a value met that often keeps its postings' tails in
  // the cache.  The keys of a value the memo has stopped remembering are held
  // back.
  auto append_found = [&] {
    for (Posting* p : plan.grown) p->add_ascending(r);
    plan.grown.clear();
  };
  if (mode == PostingMode::kBulk) {
    for (const BulkLookahead::Value& v : ahead->values_) {
      FieldPostings& m = *v.map;
      ValueMemo& memo = v.run->memo;
      if (const std::span<Posting* const> known = memo.find(m.capacity(), v.text); !known.empty()) {
        for (Posting* p : known) p->add_ascending(r);
        continue;
      }
      const auto hash = m.hash_function();
      if (!memo.active()) {
        for_each_bulk_key(v.text, acc, [&](std::string_view key) { v.run->deferred.add(m, key, hash(key), r); });
        continue;
      }
      const size_t first = plan.grown.size();
      bool appended = false;
      for_each_bulk_key(v.text, acc, [&](std::string_view key) {
        if (map_room(m) == 0) {
          append_found();
          appended = true;
        }
        Posting& p = bulk_posting(m, key, hash(key));
        p.prefetch_tail();
        plan.grown.push_back(&p);
      });
      if (!appended) memo.remember(m.capacity(), v.text, std::span<Posting* const>(plan.grown).subspan(first));
    }
  }
  for (const Target& t : targets) {
    FieldPostings& m = *t.map;
    if (t.staged) {
      for_each_value_key(t.text, acc, [&](std::string_view key) { m.try_emplace(key).first->second.add(r); });
    } else {
      auto reserve_posting = [&](Posting& p) {
        p.reserve_one(r);
        // The append reads the array's tail: its load starts now, so that
        // the misses of a record's postings overlap instead of queuing.
        p.prefetch_tail();
        plan.grown.push_back(&p);
      };
      // A known value whose map has not grown since; one whose map grew
      // has only held keys and is looked up again below.
      if (t.known_size != 0 && m.capacity() == t.known_capacity) {
        for (Posting* p : std::span<Posting* const>(known).subspan(t.known_begin, t.known_size)) reserve_posting(*p);
        continue;
      }
      const size_t first = plan.grown.size();
      const size_t new_before = plan.new_keys.size();
      // Each key is hashed once, for its probe here and its insert at the
      // append; a key that is the value or its part before the first dot
      // was hashed above (same bytes, same map).
      auto hash_of = [&](std::string_view key) {
        if (t.hashed && key.data() == t.text.data()) {
          if (key.size() == t.text.size()) return t.whole_hash;
          if (key.size() == t.prefix_size) return t.prefix_hash;
        }
        return m.hash_function()(key);
      };
      auto reserve_key = [&](std::string_view key) {
        const size_t hash = hash_of(key);
        auto it = m.find(HashedText{key, hash});
        if (it != m.end()) {
          reserve_posting(it->second);
        } else {
          plan.new_keys.push_back(RecordReservation::NewKey{&m, HashedKey{TextKey(key), hash}});
        }
      };
      if (t.plain) {
        reserve_key(t.text);
      } else {
        for_each_value_key(t.text, acc, reserve_key);
      }
      // Only a value all of whose keys are held is remembered: the postings
      // of the others do not exist before the append.  The map grows no more
      // before the append, so the postings stay where they are until its
      // next growth changes its capacity.
      if (plan.new_keys.size() == new_before) {
        t.memo->remember(m.capacity(), t.text, std::span<Posting* const>(plan.grown).subspan(first));
      }
    }
  }
  if (mode == PostingMode::kBulk) append_found();
  // Last: the views in `targets` may point into the field map.
  in.fields.shrink_to_fit();
  return Status::Ok();
}

void append_record(EngineState& s, RecordInput& in, RecordReservation& plan) noexcept {
  // Nothing below allocates outside a bitmap posting.
  const uint32_t r = plan.record;
  if (plan.staged_fields) s.field_index.take_all(std::move(*plan.staged_fields));
  for (Posting* p : plan.grown) p->add(r);
  // A key repeated within the record is inserted once; the repeat finds it.
  // A built key with its hash is inserted with one probe.
  for (RecordReservation::NewKey& k : plan.new_keys) k.map->try_emplace(std::move(k.key)).first->second.add(r);
  if (plan.new_code) {
    auto [it, inserted] = s.code_to_record.try_emplace(std::move(plan.code_key), r);
    if (!inserted) it->second = r;  // kBulk did not probe ahead
  } else {
    s.code_to_record.find(in.code)->second = r;
  }
  register_patterns(s.pattern_texts, s.pattern_records, in.code, in.name, in.pinyin, r);
  for_each_record_list(s, in, [&](auto& list, auto& entry) {
    using List = std::decay_t<decltype(list)>;
    if constexpr (std::is_same_v<List, PayloadStore> || std::is_same_v<List, RecordTexts>) {
      list.push_back(entry);
    } else {
      list.push_back(std::move(entry));
    }
  });
  s.next_record = r + 1;
}

void prefetch_record(EngineState& s, const RecordInput& in, BulkLookahead& ahead) { look_ahead(s, in, ahead, true, {}); }

void prefetch_record(EngineState& s, const RecordInput& in, BulkLookahead& ahead, std::span<const BulkTarget> targets) {
  look_ahead(s, in, ahead, true, targets);
}

Status add_record(EngineState& s, RecordInput& in, PostingMode mode) {
  // Room for the bitmap postings' growth is pledged from the first step
  // until the second has run.
  RoaringPledges pledges;
  RecordReservation plan;
  if (Status st = reserve_record(s, in, plan, mode); !st.ok()) return st;
  append_record(s, in, plan);
  return Status::Ok();
}

Status add_record(EngineState& s, RecordInput& in, const BulkLookahead& ahead) {
  RoaringPledges pledges;
  RecordReservation plan;
  if (Status st = reserve_record(s, in, plan, PostingMode::kBulk, &ahead); !st.ok()) return st;
  append_record(s, in, plan);
  return Status::Ok();
}

}  // namespace vedra
