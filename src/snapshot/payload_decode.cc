#include "snapshot/payload_decode.h"

#include "store/json_canonical.h"

#include <string>
#include <unordered_set>
#include <utility>

#include "store/json_reader.h"
#include "store/json_text.h"

namespace vedra {

namespace {

using FieldList = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kMemberNames[4] = {"code", "name", "pinyin", "fields"};
constexpr std::string_view kDocExpected = "struct SnapshotIndexDoc";

int member_index(const std::string& key) {
  for (int i = 0; i < 4; ++i) {
    if (key == kMemberNames[i]) return i;
  }
  return -1;
}

// Keeps the last occurrence of each repeated key; the survivors keep their
// relative order.  Cost: O(n^2) compares up to 16 entries, hashing above.
void keep_last_of_repeated_keys(FieldList& fields) {
  const size_t n = fields.size();
  if (n < 2) return;
  if (n <= 16) {
    bool repeated = false;
    for (size_t i = 0; i < n && !repeated; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        if (fields[i].first == fields[j].first) {
          repeated = true;
          break;
        }
      }
    }
    if (!repeated) return;
  }
  std::unordered_set<std::string_view> seen;
  seen.reserve(n);
  std::vector<char> keep(n);
  size_t kept = 0;
  for (size_t i = n; i-- > 0;) {
    keep[i] = seen.insert(fields[i].first).second;
    kept += keep[i];
  }
  if (kept == n) return;
  seen.clear();  // its views point into entries about to move
  size_t out = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!keep[i]) continue;
    if (out != i) fields[out] = std::move(fields[i]);
    ++out;
  }
  fields.resize(out);
}

// Reads the index payload straight from the text.  Depths follow
// JsonReader: the outer array is opened at depth 0, an element at depth 1,
// its members' values start at depth 2.
class IndexDecoder {
 public:
  explicit IndexDecoder(std::string_view text) : r_(text) {}

  Result<std::vector<SnapshotIndexDoc>> run() {
    std::vector<SnapshotIndexDoc> docs;
    if (!read_array(docs)) return r_.error();
    return docs;
  }

 private:
  bool read_array(std::vector<SnapshotIndexDoc>& docs) {
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here("EOF while parsing a value");
    if (r_.peek() != '[') return r_.fail_invalid_type(0, "a sequence");
    if (!r_.check_depth(0)) return false;
    r_.advance();
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here("EOF while parsing a list");
    if (r_.peek() == ']') {
      r_.advance();
    } else {
      for (;;) {
        docs.emplace_back();
        if (!read_element(docs.back())) return false;
        r_.skip_ws();
        if (r_.at_end()) return r_.fail_here("EOF while parsing a list");
        const char c = r_.peek();
        r_.advance();
        if (c == ']') break;
        if (c != ',') return r_.fail_prev("expected `,` or `]`");
      }
    }
    r_.skip_ws();
    if (!r_.at_end()) return r_.fail_here("trailing characters");
    return true;
  }

  bool read_element(SnapshotIndexDoc& doc) {
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here("EOF while parsing a value");
    if (r_.peek() == '{') return read_object_form(doc);
    if (r_.peek() == '[') return read_array_form(doc);
    return r_.fail_invalid_type(1, kDocExpected);
  }

  bool read_object_form(SnapshotIndexDoc& doc) {
    if (!r_.check_depth(1)) return false;
    r_.advance();
    bool seen[4] = {false, false, false, false};
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
    if (r_.peek() == '}') {
      r_.advance();
    } else {
      for (;;) {
        if (r_.peek() != '"') return r_.fail_here("key must be a string");
        if (!r_.parse_string(key_)) return false;
        const int index = member_index(key_);
        if (index >= 0 && seen[index]) {
          return r_.fail_prev(std::string("duplicate field `") + kMemberNames[index] + "`");
        }
        r_.skip_ws();
        if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
        if (r_.peek() != ':') return r_.fail_here("expected `:`");
        r_.advance();
        if (index >= 0) {
          seen[index] = true;
          if (!read_member(index, doc)) return false;
        } else if (!r_.skip_value(2)) {
          return false;
        }
        r_.skip_ws();
        if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
        const char c = r_.peek();
        r_.advance();
        if (c == '}') break;
        if (c != ',') return r_.fail_prev("expected `,` or `}`");
        r_.skip_ws();
        if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
      }
    }
    for (int i = 0; i < 4; ++i) {
      if (!seen[i]) return r_.fail_prev(std::string("missing field `") + kMemberNames[i] + "`");
    }
    return true;
  }

  bool read_array_form(SnapshotIndexDoc& doc) {
    if (!r_.check_depth(1)) return false;
    r_.advance();
    size_t count = 0;
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here("EOF while parsing a list");
    if (r_.peek() == ']') {
      r_.advance();
    } else {
      for (;;) {
        if (count < 4) {
          if (!read_member(static_cast<int>(count), doc)) return false;
        } else if (!r_.skip_value(2)) {
          return false;
        }
        ++count;
        r_.skip_ws();
        if (r_.at_end()) return r_.fail_here("EOF while parsing a list");
        const char c = r_.peek();
        r_.advance();
        if (c == ']') break;
        if (c != ',') return r_.fail_prev("expected `,` or `]`");
      }
    }
    if (count != 4) {
      return r_.fail_prev("invalid length " + std::to_string(count) + ", expected " +
                          std::string(kDocExpected) + " with 4 elements");
    }
    return true;
  }

  bool read_member(int index, SnapshotIndexDoc& doc) {
    switch (index) {
      case 0: return read_string(doc.code, 2);
      case 1: return read_string(doc.name, 2);
      case 2: return read_string(doc.pinyin, 2);
      default: return read_fields(doc.fields, 2);
    }
  }

  bool read_string(std::string& out, int depth) {
    r_.skip_ws();
    if (!r_.at_end() && r_.peek() == '"') return r_.parse_string(out);
    return r_.fail_invalid_type(depth, "a string");
  }

  bool read_fields(FieldList& fields, int depth) {
    r_.skip_ws();
    if (r_.at_end() || r_.peek() != '{') return r_.fail_invalid_type(depth, "a map");
    if (!r_.check_depth(depth)) return false;
    r_.advance();
    fields.clear();
    r_.skip_ws();
    if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
    if (r_.peek() == '}') {
      r_.advance();
      return true;
    }
    for (;;) {
      if (r_.peek() != '"') return r_.fail_here("key must be a string");
      fields.emplace_back();
      if (!r_.parse_string(fields.back().first)) return false;
      r_.skip_ws();
      if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
      if (r_.peek() != ':') return r_.fail_here("expected `:`");
      r_.advance();
      if (!read_string(fields.back().second, depth + 1)) return false;
      r_.skip_ws();
      if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
      const char c = r_.peek();
      r_.advance();
      if (c == '}') break;
      if (c != ',') return r_.fail_prev("expected `,` or `}`");
      r_.skip_ws();
      if (r_.at_end()) return r_.fail_here("EOF while parsing an object");
    }
    keep_last_of_repeated_keys(fields);
    return true;
  }

  JsonReader r_;
  std::string key_;  // scratch for member keys of the object form
};

}  // namespace

Result<std::vector<SnapshotIndexDoc>> decode_index_payload(std::string_view bytes) {
  return IndexDecoder(bytes).run();
}

Result<JsonValue> decode_full_payload(std::string_view bytes) {
  Result<JsonValue> parsed = parse_json(bytes);
  if (!parsed.ok()) return parsed;
  if (!parsed.value().is_object()) return Status::Error("full payload must be a JSON object");
  return parsed;
}

Result<TextMap<std::string>> decode_full_payload_texts(std::string_view bytes) {
  // Fast path: walk the top-level object, checking each member with the
  // reader and copying canonical members.  Any fault sends us to the plain
  // decoder, whose message is the one to report.
  TextMap<std::string> out;
  JsonReader reader(bytes);
  bool fast_ok = false;
  reader.skip_ws();
  if (!reader.at_end() && reader.peek() == '{') {
    reader.advance();
    reader.skip_ws();
    std::string key;
    if (!reader.at_end() && reader.peek() == '}') {
      reader.advance();
      fast_ok = true;
    }
    while (!fast_ok) {
      if (reader.at_end() || reader.peek() != '"' || !reader.parse_string(key)) break;
      reader.skip_ws();
      if (reader.at_end() || reader.peek() != ':') break;
      reader.advance();
      reader.skip_ws();
      const char* start = reader.cursor();
      if (!reader.skip_value(1)) break;
      const std::string_view text(start, static_cast<size_t>(reader.cursor() - start));
      std::string& slot = out[key];
      if (is_canonical_compact(text)) {
        slot.assign(text);
      } else {
        Result<JsonValue> value = parse_json(text);
        if (!value.ok()) break;
        slot.clear();
        write_json_compact(value.value(), slot);
      }
      reader.skip_ws();
      if (reader.at_end()) break;
      if (reader.peek() == ',') {
        reader.advance();
        reader.skip_ws();
        continue;
      }
      if (reader.peek() == '}') {
        reader.advance();
        fast_ok = true;
      }
      break;
    }
    if (fast_ok) {
      reader.skip_ws();
      fast_ok = reader.at_end();
    }
  }
  if (fast_ok) return out;
  Result<JsonValue> full = decode_full_payload(bytes);
  if (!full.ok()) return full.status();
  // Valid after all (a shape the fast path does not take): convert.
  out.clear();
  for (const JsonMember& m : full.value().as_object()) out[m.key] = write_json_compact(m.value);
  return out;
}

}  // namespace vedra
