#include "store/engine_state.h"

#include <algorithm>

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

uint32_t register_record(EngineState& s, std::string code, std::string name, std::string pinyin,
                         std::string_view payload_json) {
  const uint32_t r = s.next_record;
  s.next_record = r + 1;
  auto [it, inserted] = s.code_to_record.try_emplace(code, r);
  if (!inserted) it->second = r;
  s.record_codes.push_back(std::move(code));
  s.record_names.push_back(std::move(name));
  s.record_pinyins.push_back(std::move(pinyin));
  s.record_payloads.push_back(payload_json);
  return r;
}

void append_record_fields(EngineState& s, FieldMap fields) {
  fields.shrink_to_fit();
  s.record_fields.push_back(std::move(fields));
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

// Appends each group's distinct values joined with "|" to `out`, groups in
// `order`, skipping groups with no value.
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

// Few values: a scan per field beats building hash tables.
constexpr size_t kScanJoinLimit = 32;

}  // namespace

Status join_field_values(const CollectedValues& collected, FieldMap& out) {
  out = FieldMap();
  // Groups in the order their field first appears (empty values included, so
  // a field's position does not depend on whether its first value is empty).
  std::vector<std::pair<std::string_view, std::string>> groups;
  if (collected.size() <= kScanJoinLimit) {
    std::vector<bool> done(collected.size());
    std::vector<std::string_view> kept;
    for (size_t i = 0; i < collected.size(); ++i) {
      if (done[i]) continue;
      kept.clear();
      std::string& joined = groups.emplace_back(collected[i].first, std::string()).second;
      for (size_t j = i; j < collected.size(); ++j) {
        if (done[j] || collected[j].first != collected[i].first) continue;
        done[j] = true;
        const std::string_view v = collected[j].second;
        if (v.empty() || std::find(kept.begin(), kept.end(), v) != kept.end()) continue;
        kept.push_back(v);
        join_into(joined, v);
      }
    }
    return append_joined(groups, out);
  }
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

size_t EngineState::memory_usage() const {
  auto str_bytes = [](const std::string& s) { return sizeof(std::string) + (s.capacity() > 15 ? s.capacity() + 1 : 0); };
  size_t total = sizeof(*this);
  for (const auto& [field, held] : field_index) {
    const FieldPostings& inner = *held;
    total += str_bytes(field) + sizeof(FieldPostings) + inner.capacity() * (sizeof(std::pair<std::string, Posting>) + 1);
    for (const auto& [key, posting] : inner) {
      total += (key.capacity() > 15 ? key.capacity() + 1 : 0) + posting.memory_usage();
    }
  }
  if (matcher) total += matcher->memory_usage();
  total += pattern_texts.memory_usage();
  total += pattern_records.capacity() * sizeof(uint32_t);
  total += record_payloads.memory_usage();
  for (const auto& v : {&record_codes, &record_names, &record_pinyins}) {
    for (const auto& s : *v) total += str_bytes(s);
  }
  total += code_to_record.capacity() * (sizeof(std::pair<std::string, uint32_t>) + 1);
  for (const auto& m : record_fields) total += sizeof(FieldMap) + m.memory_usage();
  return total;
}

}  // namespace vedra
