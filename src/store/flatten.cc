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

// A text the flattening collects: a span of the record's text, or of the
// texts it had to build (decoded strings, dotted field names), which grow
// while the walk goes on and so are referred to by offset until it ends.
using Span = FlattenScratch::Span;

struct Walk {
  const char* text;      // the record's text
  std::string& built;    // texts made during the walk
  std::string& scratch;  // a decoded string, before it is kept
  std::vector<std::pair<Span, Span>>& pieces;  // (field, value) in collection order

  Span of_text(std::string_view v) const { return Span{static_cast<size_t>(v.data() - text), v.size(), false}; }
  Span keep(std::string_view v) {
    const Span s{built.size(), v.size(), true};
    built.append(v);
    return s;
  }
  // `v` as a span: where it lies when it is a part of the text, else kept.
  Span place(std::string_view v, const char* end) {
    return v.data() >= text && v.data() + v.size() <= end ? of_text(v) : keep(v);
  }
  std::string_view view(const Span& s) const {
    return std::string_view((s.built ? built.data() : text) + s.begin, s.size);
  }
};

// Flattens one value of compact text the engine wrote: numbers are already
// in their flattened form (decimal integers, json_number_text doubles).
// `field` names the current field.  False when a string is not in the
// written form (not text the engine wrote).
bool flatten_text(const char*& p, const char* end, Span field, Walk& w) {
  auto add = [&](Span value) {
    if (value.size != 0) w.pieces.emplace_back(field, value);
  };
  std::string_view text;
  // The string at p (its opening quote) into `text`.
  auto read_string = [&] {
    p = read_written_string(p, end, w.scratch, text);
    return p != nullptr;
  };
  switch (*p) {
    case 'n':
      p += 4;
      return true;
    case 't':
      p += 4;
      add(w.keep("True"));
      return true;
    case 'f':
      p += 5;
      add(w.keep("False"));
      return true;
    case '"': {
      if (!read_string()) return false;
      const std::string_view t = trim_white_space(text);
      if (!t.empty()) add(w.place(t, end));
      return true;
    }
    case '[':
      ++p;
      if (*p == ']') {
        ++p;
        return true;
      }
      while (true) {
        if (!flatten_text(p, end, field, w)) return false;
        if (*p++ == ']') return true;  // else ','
      }
    case '{': {
      ++p;
      if (*p == '}') {
        ++p;
        return true;
      }
      while (true) {
        if (!read_string()) return false;
        Span member;
        if (field.size == 0) {
          member = w.place(text, end);
        } else {
          // The member's name is built whole before the next text is kept.
          const size_t begin = w.built.size();
          w.built.append(w.view(field));
          w.built += '.';
          w.built.append(text);
          member = Span{begin, w.built.size() - begin, true};
        }
        ++p;  // ':'
        if (!flatten_text(p, end, member, w)) return false;
        if (*p++ == '}') return true;  // else ','
      }
    }
    default: {  // number
      const char* start = p;
      while (*p != ',' && *p != ']' && *p != '}' && *p != '\0') ++p;
      add(w.of_text(std::string_view(start, static_cast<size_t>(p - start))));
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

void FlattenScratch::trim() {
  constexpr size_t kKeptBytes = size_t{64} << 10, kKeptPieces = 1024;
  if (built.capacity() > kKeptBytes) std::string().swap(built);
  if (decoded.capacity() > kKeptBytes) std::string().swap(decoded);
  if (pieces.capacity() > kKeptPieces) decltype(pieces)().swap(pieces);
  if (collected.capacity() > kKeptPieces) CollectedViews().swap(collected);
}

Status flatten_record_text(std::string_view text, const std::vector<MemberSpan>& members, FlattenedRecord& out,
                           FlattenScratch* scratch) {
  // The members the flattening reads, picked out in one pass over the
  // members (in key order, a repeated key text at most once).
  enum Read { kCode, kName, kPinyin, kMarket, kAssetType, kRegion, kCategories, kAttributes, kReads };
  static constexpr std::string_view kReadKeys[kReads] = {"code",       "name",   "pinyin",     "market",
                                                         "asset_type", "region", "categories", "attributes"};
  const MemberSpan* read[kReads] = {};
  for (const MemberSpan& m : members) {
    const std::string_view k = m.key;
    if (k.size() < 4 || k.size() > 10) continue;
    for (int i = 0; i < kReads; ++i) {
      if (k == kReadKeys[i]) {
        read[i] = &m;
        break;
      }
    }
  }
  for (auto [i, dest] : {std::pair<int, std::string*>{kCode, &out.code}, {kName, &out.name}, {kPinyin, &out.pinyin}}) {
    if (!string_member_text(text, read[i], *dest)) return not_written_text();
  }
  FlattenScratch one_call;
  FlattenScratch& sc = scratch != nullptr ? *scratch : one_call;
  sc.trim();
  sc.built.clear();
  sc.pieces.clear();
  const char* const end = text.data() + text.size();
  Walk w{text.data(), sc.built, sc.decoded, sc.pieces};
  w.pieces.reserve(kUsualValues);
  // market, asset_type and region untrimmed, each under its own name.
  for (int i : {kMarket, kAssetType, kRegion}) {
    const MemberSpan* m = read[i];
    if (m == nullptr || text[m->begin] != '"') continue;
    std::string_view value;
    if (read_written_string(text.data() + m->begin, end, w.scratch, value) == nullptr) return not_written_text();
    if (!value.empty()) w.pieces.emplace_back(w.keep(kReadKeys[i]), w.place(value, end));
  }
  for (int i : {kCategories, kAttributes}) {
    const MemberSpan* m = read[i];
    if (m == nullptr || text[m->begin] != '{') continue;
    // Members of the group are flattened under their own keys: walk the
    // object with an empty field name.
    const char* p = text.data() + m->begin;
    if (!flatten_text(p, end, Span{0, 0, false}, w)) return not_written_text();
  }
  CollectedViews& collected = sc.collected;
  collected.clear();
  collected.reserve(w.pieces.size());
  for (const auto& [field, value] : w.pieces) collected.emplace_back(w.view(field), w.view(value));
  return join_field_values(collected, out.fields);
}

}  // namespace vedra
