#include "store/engine_state.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/strings/string_view.h"

#include "base/map_room.h"
#include "store/json/json_writer.h"

namespace vedra {

Status capacity_error() { return Status::Error("record store is full: at most 4294967295 records"); }

Status check_capacity(const EngineState& s) {
  return s.next_record == UINT32_MAX ? capacity_error() : Status::Ok();
}

std::string default_payload(std::string_view code, std::string_view name, std::string_view pinyin) {
  std::string out;
  out.reserve(96 + code.size() + name.size() + pinyin.size());
  JsonObjectWriter o(out);
  o.string("asset_type", "");
  o.raw("attributes", "{}");
  o.raw("categories", "{}");
  o.string("code", code);
  o.string("market", "");
  o.string("name", name);
  o.string("pinyin", pinyin);
  o.string("region", "");
  o.end();
  return out;
}

void collect_field_value(CollectedValues& collected, std::string_view field, std::string value) {
  if (!value.empty()) collected.emplace_back(field, std::move(value));
}

namespace {

// Appends each group's joined values (already "|"-joined) to `out` under its
// field, in the order of `groups`, skipping groups with no value.  Every
// entry is checked before any is appended, so a failure leaves `out` as it
// was.
Status append_joined(const std::vector<std::pair<std::string_view, std::string>>& groups, FieldMap& out) {
  size_t bytes = 0;
  for (const auto& [field, joined] : groups) {
    if (joined.empty()) continue;
    if (Status st = FieldMap::check_entry(field, joined.size()); !st.ok()) return st;
    bytes += field.size() + joined.size();
  }
  out.reserve(groups.size(), bytes);
  for (const auto& [field, joined] : groups) {
    if (!joined.empty()) out.append(field, joined);
  }
  return Status::Ok();
}

void join_into(std::string& joined, std::string_view value) {
  if (!joined.empty()) joined += '|';
  joined.append(value);
}

// Few values: their fields are grouped through a small table on the stack
// instead of heap-built hash tables.  Each value is linked to the next of its
// field, and a field with one distinct value is appended without being copied
// into a joined text first.
constexpr size_t kScanJoinLimit = 32;
constexpr size_t kGroupSlots = 2 * kScanJoinLimit;  // a power of two

// Length and first and last bytes of a field name: enough to tell most
// names apart without comparing them.
uint64_t field_signature(std::string_view f) {
  uint64_t head = 0, tail = 0;
  if (f.size() >= 8) {
    // Copies of a fixed length are single loads.
    std::memcpy(&head, f.data(), 8);
    std::memcpy(&tail, f.data() + f.size() - 8, 8);
  } else if (f.size() >= 4) {
    uint32_t h4, t4;
    std::memcpy(&h4, f.data(), 4);
    std::memcpy(&t4, f.data() + f.size() - 4, 4);
    head = h4;
    tail = t4;
  } else {
    for (const char c : f) head = head << 8 | static_cast<unsigned char>(c);
    tail = head;
  }
  const uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail + f.size()) * 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

template <typename Collected>
Status join_few(const Collected& collected, FieldMap& out) {
  const size_t n = collected.size();
  uint8_t next[kScanJoinLimit];    // next value of the same field, or n
  uint8_t heads[kScanJoinLimit];   // first value of each field, in first-seen order
  uint8_t tails[kScanJoinLimit];
  uint8_t kept[kScanJoinLimit];    // distinct non-empty values of each field
  bool skip[kScanJoinLimit];       // empty, or a repeat of an earlier value of its field
  uint64_t group_hash[kScanJoinLimit];
  size_t joined_size[kScanJoinLimit];  // bytes of each field's joined value
  int8_t group_at[kGroupSlots];    // open addressing by field signature: group, or -1
  std::memset(group_at, -1, sizeof group_at);
  size_t groups = 0;
  size_t group_of_prev = 0;
  for (size_t i = 0; i < n; ++i) {
    next[i] = static_cast<uint8_t>(n);
    const std::string_view field = collected[i].first;
    size_t g = groups;
    // The items of one list, or of one array, share their field's very
    // text; any other repeat is found by the table.
    if (i > 0 && collected[i - 1].first.data() == field.data() && collected[i - 1].first.size() == field.size()) {
      g = group_of_prev;
    } else {
      const uint64_t h = field_signature(field);
      size_t slot = h & (kGroupSlots - 1);
      for (; group_at[slot] >= 0; slot = (slot + 1) & (kGroupSlots - 1)) {
        const size_t j = static_cast<size_t>(group_at[slot]);
        if (group_hash[j] == h && collected[heads[j]].first == field) {
          g = j;
          break;
        }
      }
      if (g == groups) {
        group_at[slot] = static_cast<int8_t>(groups);
        group_hash[groups] = h;
      }
    }
    const std::string_view value = collected[i].second;
    bool distinct = !value.empty();
    if (g == groups) {
      heads[g] = tails[g] = static_cast<uint8_t>(i);
      kept[g] = 0;
      ++groups;
    } else {
      for (size_t k = heads[g]; distinct && k != n; k = next[k]) distinct = collected[k].second != value;
      next[tails[g]] = static_cast<uint8_t>(i);
      tails[g] = static_cast<uint8_t>(i);
    }
    skip[i] = !distinct;
    if (distinct) ++kept[g];
    group_of_prev = g;
  }
  auto value_at = [&](size_t k) -> const auto* { return skip[k] ? nullptr : &collected[k].second; };
  auto follow = [&](size_t k) -> size_t { return next[k]; };
  size_t entries = 0, bytes = 0;
  for (size_t g = 0; g < groups; ++g) {
    if (kept[g] == 0) continue;
    ++entries;
    size_t joined = kept[g] - 1;
    for (size_t k = heads[g]; k != n; k = follow(k)) {
      if (const auto* v = value_at(k)) joined += v->size();
    }
    const std::string_view field = collected[heads[g]].first;
    // The check builds a Status: asked only of an entry that may fail it.
    if (field.size() > FieldMap::kMaxText || joined > FieldMap::kMaxText) {
      if (Status st = FieldMap::check_entry(field, joined); !st.ok()) return st;
    }
    joined_size[g] = joined;
    bytes += field.size() + joined;
  }
  // Written in place, in one allocation of exactly the map's size.
  out.write(entries, bytes, [&](FieldMap::Writer& w) {
    for (size_t g = 0; g < groups; ++g) {
      if (kept[g] == 0) continue;
      const std::string_view field = collected[heads[g]].first;
      w.text(field);
      if (kept[g] == 1) {
        for (size_t k = heads[g]; k != n; k = follow(k)) {
          if (const auto* v = value_at(k)) {
            w.text(*v);
            break;
          }
        }
        continue;
      }
      w.length(joined_size[g]);
      bool first = true;
      for (size_t k = heads[g]; k != n; k = follow(k)) {
        if (const auto* v = value_at(k)) {
          if (!first) w.part('|');
          first = false;
          w.part(*v);
        }
      }
    }
  });
  return Status::Ok();
}

template <typename Collected>
Status join_any(const Collected& collected, FieldMap& out) {
  out = FieldMap();
  if (collected.size() <= kScanJoinLimit) return join_few(collected, out);
  std::vector<std::pair<std::string_view, std::string>> groups;
  // Many values (a record with thousands of attributes): one hash lookup per
  // value keeps the join linear.
  GrowSafe<absl::flat_hash_map<absl::string_view, size_t>> group_of;
  GrowSafe<absl::flat_hash_set<std::pair<size_t, absl::string_view>>> seen;
  group_of.reserve(collected.size());
  seen.reserve(collected.size());
  for (const auto& [field, value] : collected) {
    auto [it, inserted] = group_of.try_emplace(absl::string_view(field.data(), field.size()), groups.size());
    if (inserted) groups.emplace_back(field, std::string());
    if (value.empty()) continue;
    if (!seen.emplace(it->second, absl::string_view(value.data(), value.size())).second) continue;
    join_into(groups[it->second].second, value);
  }
  return append_joined(groups, out);
}

}  // namespace

Status join_field_values(const CollectedValues& collected, FieldMap& out) { return join_any(collected, out); }
Status join_field_values(const CollectedViews& collected, FieldMap& out) { return join_any(collected, out); }

size_t EngineState::memory_usage() const {
  // A table's slots, each with its control byte; a key's own bytes are
  // counted with its entry.
  auto table_bytes = [](const auto& map) { return map.capacity() * (sizeof(typename std::decay_t<decltype(map)>::value_type) + 1); };
  size_t total = sizeof(*this) + table_bytes(field_index);
  for (const auto& [field, held] : field_index) {
    const FieldPostings& inner = *held;
    total += field.heap_bytes() + sizeof(FieldPostings) + table_bytes(inner);
    for (const auto& [key, posting] : inner) total += key.heap_bytes() + posting.memory_usage();
  }
  if (matcher) total += matcher->memory_usage();
  total += pattern_texts.memory_usage();
  total += pattern_records.capacity() * sizeof(uint32_t);
  total += record_payloads.memory_usage();
  total += record_texts.memory_usage();
  total += table_bytes(code_to_record);
  for (const auto& [code, r] : code_to_record) total += code.heap_bytes();
  for (const auto& m : record_fields) total += sizeof(FieldMap) + m.memory_usage();
  return total;
}

}  // namespace vedra
