#include "store/flatten.h"

#include <algorithm>
#include <cstdint>

#include "absl/container/inlined_vector.h"
#include "base/text.h"
#include "store/json/byte_scan.h"
#include "store/json/json_unescape.h"
#include "store/json/json_writer.h"

namespace vedra {

namespace {

// The string whose opening quotation mark is at p: a view of the text itself
// when it holds no escape (the usual case), else decoded into `scratch`.
// Returns the position past its closing mark, or nullptr when it is not in
// the written form.
const char* read_written_string(const char* p, const char* end, std::string& scratch, std::string_view& out) {
  ++p;
  uint64_t seen = 0;
  const char* q = skip_plain_string_bytes(p, end, seen);
  if (q != end && *q == '"') {
    out = std::string_view(p, static_cast<size_t>(q - p));
    return q + 1;
  }
  scratch.assign(p, static_cast<size_t>(q - p));
  const char* after = unescape_written_string(q, end, scratch);
  out = scratch;
  return after;
}

// Flattens one value of compact text the engine wrote: numbers are already
// in their flattened form (decimal integers, json_number_text doubles).
// `field` is the current field name; restored on return.  False when a
// string is not in the written form (not text the engine wrote).
bool flatten_text(const char*& p, const char* end, std::string& field, CollectedValues& c, std::string& scratch) {
  auto add = [&](std::string_view value) {
    if (!value.empty()) c.emplace_back(field, value);
  };
  std::string_view text;
  // The string at p (its opening quote) into `text`.
  auto read_string = [&] {
    p = read_written_string(p, end, scratch, text);
    return p != nullptr;
  };
  switch (*p) {
    case 'n':
      p += 4;
      return true;
    case 't':
      p += 4;
      add("True");
      return true;
    case 'f':
      p += 5;
      add("False");
      return true;
    case '"':
      if (!read_string()) return false;
      add(trim_white_space(text));
      return true;
    case '[':
      ++p;
      if (*p == ']') {
        ++p;
        return true;
      }
      while (true) {
        if (!flatten_text(p, end, field, c, scratch)) return false;
        if (*p++ == ']') return true;  // else ','
      }
    case '{': {
      ++p;
      if (*p == '}') {
        ++p;
        return true;
      }
      const size_t base = field.size();
      while (true) {
        if (!read_string()) return false;
        if (base > 0) field += '.';
        field += text;
        ++p;  // ':'
        if (!flatten_text(p, end, field, c, scratch)) return false;
        field.resize(base);
        if (*p++ == '}') return true;  // else ','
      }
    }
    default: {  // number
      const char* start = p;
      while (*p != ',' && *p != ']' && *p != '}' && *p != '\0') ++p;
      add(std::string_view(start, static_cast<size_t>(p - start)));
      return true;
    }
  }
}

// The text of a string member written by the engine into `out`, or empty
// when the member is missing or not a string.
bool string_member_text(std::string_view text, const MemberSpan* m, std::string& out) {
  out.clear();
  if (m == nullptr || text[m->begin] != '"') return true;
  return unescape_written_string(text.data() + m->begin + 1, text.data() + text.size(), out) != nullptr;
}

// Values a catalogue record usually flattens to: room for them at once
// instead of growing the list value by value.
constexpr size_t kUsualValues = 32;

Status not_written_text() { return Status::Error("record payload text is not in the engine's written form"); }

}  // namespace

Status flatten_record_text(std::string_view text, const std::vector<MemberSpan>& members, FlattenedRecord& out) {
  auto find = [&](std::string_view key) -> const MemberSpan* {
    for (const MemberSpan& m : members) {
      if (m.key == key) return &m;
    }
    return nullptr;
  };
  std::string market, asset_type, region;
  for (auto [key, dest] : {std::pair<const char*, std::string*>{"code", &out.code}, {"name", &out.name},
                           {"pinyin", &out.pinyin}, {"market", &market}, {"asset_type", &asset_type},
                           {"region", &region}}) {
    if (!string_member_text(text, find(key), *dest)) return not_written_text();
  }
  CollectedValues collected;
  collected.reserve(kUsualValues);
  collect_field_value(collected, "market", std::move(market));
  collect_field_value(collected, "asset_type", std::move(asset_type));
  collect_field_value(collected, "region", std::move(region));
  std::string field, scratch;
  for (const char* group : {"categories", "attributes"}) {
    const MemberSpan* m = find(group);
    if (m == nullptr || text[m->begin] != '{') continue;
    // Members of the group are flattened under their own keys: walk the
    // object with an empty field name.
    const char* p = text.data() + m->begin;
    field.clear();
    if (!flatten_text(p, text.data() + text.size(), field, collected, scratch)) return not_written_text();
  }
  return join_field_values(collected, out.fields);
}

}  // namespace vedra
