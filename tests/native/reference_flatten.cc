#include "reference_flatten.h"

#include <string>

#include "base/text.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"

namespace vedra_testing {

using namespace vedra;

namespace {

std::string string_member(const JsonValue& record, std::string_view key) {
  const JsonValue* v = record.find(key);
  return (v && v->is_string()) ? v->as_string() : std::string();
}

}  // namespace

void reference_flatten_value(std::string_view field, const JsonValue& value, CollectedValues& collected) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return;
    case JsonValue::Kind::Bool:
      collect_field_value(collected, field, std::get<bool>(value.v) ? "True" : "False");
      return;
    case JsonValue::Kind::UInt:
      collect_field_value(collected, field, std::to_string(std::get<uint64_t>(value.v)));
      return;
    case JsonValue::Kind::Int:
      collect_field_value(collected, field, std::to_string(std::get<int64_t>(value.v)));
      return;
    case JsonValue::Kind::Double:
      collect_field_value(collected, field, json_number_text(std::get<double>(value.v)));
      return;
    case JsonValue::Kind::String:
      collect_field_value(collected, field, std::string(trim_white_space(value.as_string())));
      return;
    case JsonValue::Kind::Array:
      for (const JsonValue& item : value.as_array()) reference_flatten_value(field, item, collected);
      return;
    case JsonValue::Kind::Object: {
      std::string child;
      for (const JsonMember& m : value.as_object()) {
        child.assign(field);
        if (!field.empty()) child += '.';
        child += m.key;
        reference_flatten_value(child, m.value, collected);
      }
      return;
    }
  }
}

FlattenedRecord reference_flatten_record(const JsonValue& record) {
  FlattenedRecord out;
  out.code = string_member(record, "code");
  out.name = string_member(record, "name");
  out.pinyin = string_member(record, "pinyin");
  CollectedValues collected;
  collect_field_value(collected, "market", string_member(record, "market"));
  collect_field_value(collected, "asset_type", string_member(record, "asset_type"));
  collect_field_value(collected, "region", string_member(record, "region"));
  for (const char* group : {"categories", "attributes"}) {
    const JsonValue* g = record.find(group);
    if (g == nullptr || !g->is_object()) continue;
    for (const JsonMember& m : g->as_object()) reference_flatten_value(m.key, m.value, collected);
  }
  // Test records are small: no joined value can be too long for a field map.
  (void)join_field_values(collected, out.fields);
  return out;
}

}  // namespace vedra_testing
