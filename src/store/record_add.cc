#include "store/record_add.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "base/map_room.h"
#include "base/text.h"
#include "index/index_build.h"
#include "index/roaring_memory.h"
#include "index/value_keys.h"

namespace vedra {
namespace {

template <typename T>
void reserve_one(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() < 8 ? 8 : 2 * v.capacity());
}

// The patterns register_patterns() will add: how many, and their bytes.
void count_patterns(std::string_view code, std::string_view name, std::string_view pinyin, size_t& count,
                    size_t& bytes) {
  auto one = [&](std::string_view text) {
    const std::string_view t = trim_white_space(text);
    if (t.empty()) return;
    ++count;
    bytes += t.size();
  };
  one(code);
  one(name);
  size_t start = 0;
  while (true) {
    const size_t bar = pinyin.find('|', start);
    one(pinyin.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
}

// A value key the record adds to an existing field map.
struct NewKey {
  FieldPostings* map;
  std::string key;
};

}  // namespace

Status add_record(EngineState& s, RecordInput& in) {
  if (Status st = check_capacity(s); !st.ok()) return st;
  const uint32_t r = s.next_record;

  // The (field, text) pairs posted, in posting order, each with its position
  // in the field slot cache (as ingest_record numbers them).
  struct Value {
    std::string_view field, text;
    size_t position;
  };
  absl::InlinedVector<Value, 32> values;
  if (!in.code.empty()) values.push_back({"code", in.code, 0});
  if (!in.name.empty()) values.push_back({"name", in.name, 1});
  size_t position = 2;
  auto collect = [&](std::string_view field, std::string_view text) {
    if (!text.empty()) values.push_back({field, text, position});
    ++position;
  };
  if (in.posts != nullptr) {
    for (const auto& [field, text] : *in.posts) collect(field, text);
  } else {
    for (const auto [field, text] : in.fields) collect(field, text);
  }

  s.code_to_record.prefetch(in.code);

  // Phase one: everything that can fail.  Room for the bitmap postings'
  // growth is pledged until the commit has run.
  RoaringPledges pledges;
  // Field maps: existing ones, or made aside in `staged_fields` (made only
  // when the record brings a new field, rare once a catalogue is under way).
  std::optional<FieldIndex> staged_fields;
  absl::InlinedVector<FieldPostings*, 32> maps(values.size());
  absl::InlinedVector<bool, 32> staged(values.size());
  // Keys each existing map may gain: a list while the maps are few, a hash
  // map for a record with very many fields.
  constexpr size_t kListedMaps = 32;
  absl::InlinedVector<std::pair<FieldPostings*, size_t>, 16> keys_per_map;
  GrowSafe<absl::flat_hash_map<FieldPostings*, size_t>> keys_per_many;
  auto count_keys = [&](FieldPostings* m, size_t n) {
    if (keys_per_many.empty()) {
      auto it = std::find_if(keys_per_map.begin(), keys_per_map.end(), [&](const auto& e) { return e.first == m; });
      if (it != keys_per_map.end()) {
        it->second += n;
        return;
      }
      if (keys_per_map.size() < kListedMaps) {
        keys_per_map.emplace_back(m, n);
        return;
      }
      for (const auto& [listed, count] : keys_per_map) keys_per_many.try_emplace(listed, count);
    }
    keys_per_many.try_emplace(m, 0).first->second += n;
  };
  std::string acc;
  for (size_t i = 0; i < values.size(); ++i) {
    const Value& v = values[i];
    FieldPostings* m = s.field_slots.lookup(s.field_index, v.position, v.field);
    if (m == nullptr) {
      if (!staged_fields) staged_fields.emplace();
      m = &field_postings(*staged_fields, v.field);
      staged[i] = true;
    } else {
      // Start loading the slots of the value's keys in large maps (codes,
      // names, rare values), so that their cache misses overlap.
      prefetch_value_keys(*m, v.text);
      size_t n = 0;
      for_each_value_key(v.text, acc, [&](std::string_view) { ++n; });
      count_keys(m, n);
    }
    maps[i] = m;
  }
  // Room for every key an existing map may gain (an over-count when keys
  // repeat), then for the new maps, the code and the per-record lists.
  // Growing a map moves its postings, so no posting is held before this.
  if (keys_per_many.empty()) {
    for (auto& [m, n] : keys_per_map) ensure_map_room(*m, n);
  } else {
    for (auto& [m, n] : keys_per_many) ensure_map_room(*m, n);
  }
  if (staged_fields) ensure_map_room(s.field_index, staged_fields->size());
  const bool new_code = !s.code_to_record.contains(in.code);
  std::string code_key;
  if (new_code) {
    ensure_map_room(s.code_to_record, 1);
    code_key = in.code;
  }
  reserve_one(s.record_codes);
  reserve_one(s.record_names);
  reserve_one(s.record_pinyins);
  reserve_one(s.record_fields);
  if (in.deep) reserve_one(s.deep_payload_records);
  s.record_payloads.reserve_one(in.payload.size());
  size_t pattern_count = 0, pattern_bytes = 0;
  count_patterns(in.code, in.name, in.pinyin, pattern_count, pattern_bytes);
  s.pattern_texts.reserve_more(pattern_count, pattern_bytes);
  if (s.pattern_records.capacity() - s.pattern_records.size() < pattern_count) {
    s.pattern_records.reserve(std::max(2 * s.pattern_records.capacity(), s.pattern_records.size() + pattern_count));
  }
  // Postings: keys of existing maps found and made ready for one more
  // number, or copied for insertion; keys of new maps posted aside.
  absl::InlinedVector<Posting*, 32> grown;
  absl::InlinedVector<NewKey, 8> new_keys;
  for (size_t i = 0; i < values.size(); ++i) {
    FieldPostings& m = *maps[i];
    if (staged[i]) {
      for_each_value_key(values[i].text, acc, [&](std::string_view key) { m.try_emplace(key).first->second.add(r); });
      continue;
    }
    for_each_value_key(values[i].text, acc, [&](std::string_view key) {
      auto it = m.find(key);
      if (it != m.end()) {
        it->second.reserve_one(r);
        grown.push_back(&it->second);
      } else {
        new_keys.push_back(NewKey{&m, std::string(key)});
      }
    });
  }
  // Last: the views in `values` may point into the field map.
  in.fields.shrink_to_fit();

  // Phase two: link everything in.  Nothing below allocates outside a
  // bitmap posting, so nothing can fail half-way.
  [&]() noexcept {
    if (staged_fields) {
      for (auto it = staged_fields->begin(); it != staged_fields->end();) {
        auto next = std::next(it);
        s.field_index.insert(staged_fields->extract(it));
        it = next;
      }
    }
    for (Posting* p : grown) p->add(r);
    // A key repeated within the record is inserted once; the repeat finds it.
    for (NewKey& k : new_keys) k.map->try_emplace(std::move(k.key)).first->second.add(r);
    if (new_code) {
      s.code_to_record.try_emplace(std::move(code_key), r);
    } else {
      s.code_to_record.find(in.code)->second = r;
    }
    s.next_record = r + 1;
    s.record_payloads.push_back(in.payload);
    s.record_codes.push_back(std::move(in.code));
    s.record_names.push_back(std::move(in.name));
    s.record_pinyins.push_back(std::move(in.pinyin));
    register_patterns(s.pattern_texts, s.pattern_records, s.record_codes[r], s.record_names[r], s.record_pinyins[r], r);
    s.record_fields.push_back(std::move(in.fields));
    if (in.deep) s.deep_payload_records.push_back(r);
  }();
  return Status::Ok();
}

}  // namespace vedra
