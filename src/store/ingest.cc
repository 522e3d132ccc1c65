#include "store/ingest.h"

#include "store/json_text.h"
#include "store/text.h"

namespace vedra {

uint32_t ingest_record(EngineState& s, std::string code, std::string name, std::string pinyin,
                       std::string payload_json, FieldMap fields, const FieldPosts* posts) {
  const uint32_t r = register_record(s, std::move(code), std::move(name), std::move(pinyin), std::move(payload_json));
  const std::string& c = s.record_codes[r];
  const std::string& n = s.record_names[r];
  post_value(s, "code", c, r);
  post_value(s, "name", n, r);
  register_patterns(s, c, n, s.record_pinyins[r], r);
  if (posts) {
    for (const auto& [field, text] : *posts) post_value(s, field, text, r);
  } else {
    for (const auto [field, text] : fields) post_value(s, field, text, r);
  }
  append_record_fields(s, std::move(fields));
  return r;
}

namespace {

std::string string_member(const JsonValue& record, std::string_view key) {
  const JsonValue* v = record.find(key);
  return (v && v->is_string()) ? v->as_string() : std::string();
}

}  // namespace

void flatten_json_value(std::string_view field, const JsonValue& value, CollectedValues& collected) {
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
      for (const JsonValue& item : value.as_array()) flatten_json_value(field, item, collected);
      return;
    case JsonValue::Kind::Object: {
      std::string child;
      for (const JsonMember& m : value.as_object()) {
        child.assign(field);
        if (!field.empty()) child += '.';
        child += m.key;
        flatten_json_value(child, m.value, collected);
      }
      return;
    }
  }
}

FlattenedRecord flatten_record(const JsonValue& record) {
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
    for (const JsonMember& m : g->as_object()) flatten_json_value(m.key, m.value, collected);
  }
  out.fields = join_field_values(collected);
  return out;
}

namespace {

// The text of a string member written by the engine, or empty when the member
// is missing or not a string.
Status string_member_text(std::string_view text, const MemberSpan* m, std::string& out) {
  out.clear();
  if (m == nullptr || text[m->begin] != '"') return Status::Ok();
  const std::string_view v = text.substr(m->begin, m->end - m->begin);
  if (v.find('\\') == std::string_view::npos) {
    out.assign(v.substr(1, v.size() - 2));
    return Status::Ok();
  }
  Result<JsonValue> parsed = parse_json(v);
  if (!parsed.ok()) return parsed.status();
  out = parsed.value().as_string();
  return Status::Ok();
}

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
    if (Status st = string_member_text(text, find(key), *dest); !st.ok()) return st;
  }
  CollectedValues collected;
  collect_field_value(collected, "market", std::move(market));
  collect_field_value(collected, "asset_type", std::move(asset_type));
  collect_field_value(collected, "region", std::move(region));
  for (const char* group : {"categories", "attributes"}) {
    const MemberSpan* m = find(group);
    if (m == nullptr || text[m->begin] != '{') continue;
    // The engine wrote this text; its nesting is bounded by the converter.
    Result<JsonValue> parsed = parse_json(text.substr(m->begin, m->end - m->begin), 1 << 20);
    if (!parsed.ok()) return parsed.status();
    for (const JsonMember& member : parsed.value().as_object()) flatten_json_value(member.key, member.value, collected);
  }
  out.fields = join_field_values(collected);
  return Status::Ok();
}

}  // namespace vedra
