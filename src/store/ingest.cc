#include "store/ingest.h"

#include <algorithm>

#include "absl/container/inlined_vector.h"
#include "store/json_text.h"
#include "base/text.h"

namespace vedra {

uint32_t ingest_record(EngineState& s, std::string code, std::string name, std::string pinyin,
                       std::string_view payload_json, FieldMap fields, const FieldPosts* posts,
                       PostingMode mode) {
  const uint32_t r = register_record(s, std::move(code), std::move(name), std::move(pinyin), payload_json);
  const std::string& c = s.record_codes[r];
  const std::string& n = s.record_names[r];
  FieldSlotCache& slots = s.field_slots;
  // Resolve every posting map first and start fetching the slots of keys in
  // large maps (codes, names, rare values), so that their cache misses
  // overlap; then post.  Posting order and results are those of post_value.
  FieldPostings* code_postings = c.empty() ? nullptr : &slots.resolve(s.field_index, 0, "code");
  FieldPostings* name_postings = n.empty() ? nullptr : &slots.resolve(s.field_index, 1, "name");
  if (code_postings != nullptr) prefetch_value_keys(*code_postings, c);
  if (name_postings != nullptr) prefetch_value_keys(*name_postings, n);
  absl::InlinedVector<FieldPostings*, 32> targets(posts ? posts->size() : fields.size());
  size_t i = 0;
  auto resolve = [&](std::string_view field, std::string_view text) {
    // A field whose every value is empty gets no posting map (post_value).
    targets[i] = text.empty() ? nullptr : &slots.resolve(s.field_index, i + 2, field);
    if (targets[i] != nullptr) prefetch_value_keys(*targets[i], text);
    ++i;
  };
  if (posts) {
    for (const auto& [field, text] : *posts) resolve(field, text);
  } else {
    for (const auto [field, text] : fields) resolve(field, text);
  }
  if (code_postings != nullptr) post_value_to(*code_postings, c, r, mode);
  if (name_postings != nullptr) post_value_to(*name_postings, n, r, mode);
  register_patterns(s.pattern_texts, s.pattern_records, c, n, s.record_pinyins[r], r);
  i = 0;
  auto post = [&](std::string_view text) {
    if (targets[i] != nullptr) post_value_to(*targets[i], text, r, mode);
    ++i;
  };
  if (posts) {
    for (const auto& [field, text] : *posts) post(text);
  } else {
    for (const auto [field, text] : fields) post(text);
  }
  append_record_fields(s, std::move(fields));
  return r;
}

namespace {

// Decodes the JSON string at p (compact text written by the engine: the only
// escapes are \" \\ \b \f \n \r \t and \u00xx) into `out`; advances p past it.
void read_engine_string(const char*& p, std::string& out) {
  out.clear();
  ++p;  // opening quote
  while (true) {
    const char* run = p;
    while (*p != '"' && *p != '\\') ++p;
    out.append(run, static_cast<size_t>(p - run));
    if (*p == '"') {
      ++p;
      return;
    }
    const char e = p[1];
    switch (e) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
        out += static_cast<char>(hex(p[4]) * 16 + hex(p[5]));
        p += 4;
        break;
      }
      default: out += e; break;  // '"' or '\\'
    }
    p += 2;
  }
}

// Flattens one value of compact text the engine wrote: numbers are already
// in their flattened form (decimal integers, json_number_text doubles).
// `field` is the current field name; restored on return.
void flatten_text(const char*& p, std::string& field, CollectedValues& c, std::string& scratch) {
  auto add = [&](std::string_view value) {
    if (!value.empty()) c.emplace_back(field, value);
  };
  switch (*p) {
    case 'n':
      p += 4;
      return;
    case 't':
      p += 4;
      add("True");
      return;
    case 'f':
      p += 5;
      add("False");
      return;
    case '"':
      read_engine_string(p, scratch);
      add(trim_white_space(scratch));
      return;
    case '[':
      ++p;
      if (*p == ']') {
        ++p;
        return;
      }
      while (true) {
        flatten_text(p, field, c, scratch);
        if (*p++ == ']') return;  // else ','
      }
    case '{': {
      ++p;
      if (*p == '}') {
        ++p;
        return;
      }
      const size_t base = field.size();
      while (true) {
        read_engine_string(p, scratch);
        if (base > 0) field += '.';
        field += scratch;
        ++p;  // ':'
        flatten_text(p, field, c, scratch);
        field.resize(base);
        if (*p++ == '}') return;  // else ','
      }
    }
    default: {  // number
      const char* start = p;
      while (*p != ',' && *p != ']' && *p != '}' && *p != '\0') ++p;
      add(std::string_view(start, static_cast<size_t>(p - start)));
      return;
    }
  }
}

// The text of a string member written by the engine, or empty when the member
// is missing or not a string.
void string_member_text(std::string_view text, const MemberSpan* m, std::string& out) {
  out.clear();
  if (m == nullptr || text[m->begin] != '"') return;
  const char* p = text.data() + m->begin;
  read_engine_string(p, out);
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
    string_member_text(text, find(key), *dest);
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
    flatten_text(p, field, collected, scratch);
  }
  return join_field_values(collected, out.fields);
}

}  // namespace vedra
