#include "store/flatten.h"

#include <algorithm>

#include "absl/container/inlined_vector.h"
#include "base/text.h"
#include "store/json/json_unescape.h"
#include "store/json/json_writer.h"

namespace vedra {

namespace {

// Flattens one value of compact text the engine wrote: numbers are already
// in their flattened form (decimal integers, json_number_text doubles).
// `field` is the current field name; restored on return.  False when a
// string is not in the written form (not text the engine wrote).
bool flatten_text(const char*& p, const char* end, std::string& field, CollectedValues& c, std::string& scratch) {
  auto add = [&](std::string_view value) {
    if (!value.empty()) c.emplace_back(field, value);
  };
  // The string at p (its opening quote) into scratch.
  auto read_string = [&] {
    scratch.clear();
    p = unescape_written_string(p + 1, end, scratch);
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
      add(trim_white_space(scratch));
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
        field += scratch;
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
