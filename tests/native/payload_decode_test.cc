// Tests of the snapshot payload decoders: index documents in both element
// forms, the failure message families, and agreement with a DOM-based oracle
// on random and mutated payloads.

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "snapshot/payload_decode.h"
#include "snapshot/payload_source.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"
#include "testing.h"

using vedra::JsonValue;
using vedra::SnapshotIndexDoc;

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// A text handed over in reads of random sizes, mostly tiny.
class PiecedSource : public vedra::PayloadSource {
 public:
  PiecedSource(std::string_view text, std::mt19937_64& rng) : text_(text), rng_(rng) {}
  vedra::Result<size_t> read(char* to, size_t room) override {
    const size_t n = std::min({room, text_.size() - pos_, static_cast<size_t>(1 + rng_() % (rng_() % 4 ? 5 : 300))});
    text_.copy(to, n, pos_);
    pos_ += n;
    return n;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  std::mt19937_64& rng_;
};

// What a decoder hands over, written out, or its failure message; and
// whether the field ids it gave name the fields' names one to one.
struct Outcome : vedra::IndexDocSink {
  std::string seen;
  std::map<uint32_t, std::string> name_of_id;
  std::map<std::string, uint32_t> id_of_name;
  bool ids_match_names = true;
  size_t docs_with_ids = 0;
  vedra::Status take(const vedra::IndexDocView& d) override {
    if (!d.field_ids.empty()) {
      ++docs_with_ids;
      ids_match_names &= d.field_ids.size() == d.fields.size();
      for (size_t i = 0; i < d.fields.size() && i < d.field_ids.size(); ++i) {
        const std::string name(d.fields[i].first);
        const uint32_t id = d.field_ids[i];
        ids_match_names &= id < vedra::kIndexFieldIds && name_of_id.try_emplace(id, name).first->second == name &&
                           id_of_name.try_emplace(name, id).first->second == id;
      }
    }
    for (std::string_view t : {d.code, d.name, d.pinyin}) seen += std::to_string(t.size()) + ":" + std::string(t);
    for (const auto& [k, v] : d.fields) seen += " " + std::to_string(k.size()) + ":" + std::string(k) + "=" + std::string(v);
    seen += "\n";
    return vedra::Status::Ok();
  }
  std::string of(const vedra::Status& st) { return st.ok() ? seen : "error: " + st.message(); }
};

// The outcome of the whole text, and of the text read in pieces into windows
// of random sizes (two bytes and up), which must be the same.
std::string whole_outcome(std::string_view text) {
  Outcome o;
  return o.of(vedra::decode_index_payload_each(text, o));
}
std::string pieced_outcome(std::string_view text, std::mt19937_64& rng) {
  Outcome o;
  PiecedSource source(text, rng);
  const size_t window = rng() % 4 ? 2 + rng() % 40 : 2 + rng() % 3000;
  return o.of(vedra::decode_index_payload_each(source, o, window));
}
bool same_in_pieces(std::string_view text, std::mt19937_64& rng) {
  const std::string whole = whole_outcome(text);
  for (int i = 0; i < 3; ++i) {
    const std::string pieced = pieced_outcome(text, rng);
    if (pieced != whole) {
      std::fprintf(stderr, "in pieces: %s\n  whole:  %s\n  pieces: %s\n", std::string(text).c_str(), whole.c_str(),
                   pieced.c_str());
      return false;
    }
  }
  return true;
}

std::string index_message(std::string_view text) {
  auto r = vedra::decode_index_payload(text);
  static std::mt19937_64 rng(99);
  EXPECT_TRUE(same_in_pieces(text, rng));
  return r.ok() ? "<ok>" : r.status().message();
}

Fields sorted(Fields f) {
  std::sort(f.begin(), f.end());
  return f;
}

SnapshotIndexDoc doc(std::string code, std::string name, std::string pinyin, Fields fields) {
  return SnapshotIndexDoc{std::move(code), std::move(name), std::move(pinyin), std::move(fields)};
}

bool same_docs(std::vector<SnapshotIndexDoc> a, std::vector<SnapshotIndexDoc> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    a[i].fields = sorted(a[i].fields);
    b[i].fields = sorted(b[i].fields);
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

}  // namespace

TEST(IndexPayload, DecodesBothElementForms) {
  struct Case {
    const char* name;
    std::string in;
    std::vector<SnapshotIndexDoc> want;
  };
  const SnapshotIndexDoc a = doc("600000.SH", "Alpha", "a|alpha", {{"market", "SH"}, {"region", "CN|HK"}});
  const Case cases[] = {
      {"ok000_empty", "[]", {}},
      {"ok010_empty_ws", " \n[ \t]\r\n", {}},
      {"ok020_object",
       R"([{"code":"600000.SH","name":"Alpha","pinyin":"a|alpha","fields":{"market":"SH","region":"CN|HK"}}])",
       {a}},
      {"ok030_object_any_order",
       R"([{"fields":{"region":"CN|HK","market":"SH"},"pinyin":"a|alpha","name":"Alpha","code":"600000.SH"}])",
       {a}},
      {"ok040_array_form", R"([["600000.SH","Alpha","a|alpha",{"market":"SH","region":"CN|HK"}]])", {a}},
      {"ok050_unknown_keys_skipped",
       R"([{"payload":{"x":[1,2.5,{"y":null}],"z":"\"}"},"code":"600000.SH","extra":[],"name":"Alpha",)"
       R"("n":-1e5,"pinyin":"a|alpha","t":true,"fields":{"market":"SH","region":"CN|HK"},"last":"]"}])",
       {a}},
      {"ok060_empty_fields", R"([{"code":"c","name":"","pinyin":"","fields":{}}])", {doc("c", "", "", {})}},
      {"ok070_fields_last_wins", R"([{"code":"c","name":"n","pinyin":"p","fields":{"k":"1","j":"2","k":"3"}}])",
       {doc("c", "n", "p", {{"j", "2"}, {"k", "3"}})}},
      {"ok080_escapes", R"([["a\tb","\"q\"","\u00e9",{"k\n":"v\\"}]])",
       {doc("a\tb", "\"q\"", "\xc3\xa9", {{"k\n", "v\\"}})}},
      {"ok090_same_code_twice", R"([["A","x","",{}],["A","y","",{}]])",
       {doc("A", "x", "", {}), doc("A", "y", "", {})}},
      {"ok100_ws_everywhere", " [ { \"code\" : \"c\" , \"name\" : \"n\" , \"pinyin\" : \"p\" , \"fields\" : { } } ] ",
       {doc("c", "n", "p", {})}},
      // Strings longer than a scanning step, with their first other byte
      // early, late or past a step.
      {"ok110_long_strings", R"([["abcdefghijklmnopqrstu\u00e9","abcdefghijklmnop\u4e2d\u6587x\tx",)"
                             R"("abcdefghijklmnopqrstuvwxyz0123456789\\",{"k":"abcdefghijklmnopqrst"}]])",
       {doc("abcdefghijklmnopqrstu\xc3\xa9", "abcdefghijklmnop\xe4\xb8\xad\xe6\x96\x87x\tx",
            "abcdefghijklmnopqrstuvwxyz0123456789\\", {{"k", "abcdefghijklmnopqrst"}})}},
      {"ok120_long_raw_utf8", "[[\"abcdefghijklmnopq\xe4\xb8\xad\xc3\xa9rstuvwxyz\xe6\x96\x87\",\"\",\"\",{}]]",
       {doc("abcdefghijklmnopq\xe4\xb8\xad\xc3\xa9rstuvwxyz\xe6\x96\x87", "", "", {})}},
  };
  std::mt19937_64 rng(5);
  for (const Case& c : cases) {
    EXPECT_TRUE(same_in_pieces(c.in, rng));
    auto r = vedra::decode_index_payload(c.in);
    if (!r.ok()) std::fprintf(stderr, "case %s: %s\n", c.name, r.status().message().c_str());
    ASSERT_TRUE(r.ok());
    const bool same = same_docs(r.value(), c.want);
    if (!same) std::fprintf(stderr, "case %s: wrong documents\n", c.name);
    EXPECT_TRUE(same);
  }
}

TEST(IndexPayload, ManyRepeatedFieldKeysKeepLast) {
  // Above the small-map threshold the hashing path removes repeats; past the
  // names table's capacity (256) repeats are found without its ids.
  for (const int names : {25, 400}) {
    std::string text = R"([{"code":"c","name":"n","pinyin":"p","fields":{)";
    Fields want;
    const int members = names + names * 3 / 5;
    for (int i = 0; i < members; ++i) {
      if (i) text += ",";
      text += "\"k" + std::to_string(i % names) + "\":\"v" + std::to_string(i) + "\"";
    }
    for (int k = 0; k < names; ++k) {
      want.push_back({"k" + std::to_string(k), "v" + std::to_string(k < members - names ? k + names : k)});
    }
    text += "}}]";
    auto r = vedra::decode_index_payload(text);
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(r.value().size() == 1);
    EXPECT_EQ(r.value()[0].fields.size(), static_cast<size_t>(names));
    EXPECT_TRUE(sorted(r.value()[0].fields) == sorted(want));
  }
}

TEST(IndexPayload, FailureMessages) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  const std::string kOk = R"("code":"c","name":"n","pinyin":"p")";
  const Case cases[] = {
      // Top level.
      {"top000_empty", "", "EOF while parsing a value at line 1 column 0"},
      {"top010_map", "{}", "invalid type: map, expected a sequence at line 1 column 1"},
      {"top020_string", R"("abc")", "invalid type: string \"abc\", expected a sequence at line 1 column 5"},
      {"top030_integer", "5", "invalid type: integer `5`, expected a sequence at line 1 column 1"},
      {"top040_negative", " -7", "invalid type: integer `-7`, expected a sequence at line 1 column 3"},
      {"top050_float", "1.5", "invalid type: floating point `1.5`, expected a sequence at line 1 column 3"},
      {"top060_bool", "true", "invalid type: boolean `true`, expected a sequence at line 1 column 4"},
      {"top070_null", "null", "invalid type: null, expected a sequence at line 1 column 4"},
      {"top080_malformed_scalar", "tru", "EOF while parsing a value at line 1 column 3"},
      {"top090_trailing", "[] x", "trailing characters at line 1 column 4"},
      {"top100_open", "[", "EOF while parsing a list at line 1 column 1"},
      {"top110_missing_comma", R"([["c","n","p",{}] 1])", "expected `,` or `]` at line 1 column 19"},
      {"top120_trailing_comma", R"([["c","n","p",{}],])", "expected value at line 1 column 19"},
      // Elements.
      {"elt000_integer", "[5]", "invalid type: integer `5`, expected struct SnapshotIndexDoc at line 1 column 2"},
      {"elt010_string", R"(["x"])", "invalid type: string \"x\", expected struct SnapshotIndexDoc at line 1 column 4"},
      {"elt020_null", "[null]", "invalid type: null, expected struct SnapshotIndexDoc at line 1 column 5"},
      {"elt030_empty_object", "[{}]", "missing field `code` at line 1 column 3"},
      {"elt040_missing_fields", "[{" + kOk + "}]", "missing field `fields` at line 1 column 37"},
      {"elt050_missing_name", R"([{"code":"c","fields":{}}])", "missing field `name` at line 1 column 25"},
      {"elt060_duplicate_code", R"([{"code":"a","code":"b"}])", "duplicate field `code` at line 1 column 19"},
      {"elt070_duplicate_fields", "[{\"fields\":{},\"fields\":{}}]", "duplicate field `fields` at line 1 column 22"},
      {"elt080_duplicate_unknown_ok", "[{" + kOk + R"(,"x":1,"x":2,"fields":{}}])", "<ok>"},
      {"elt090_short_array", R"([["a","b","c"]])", "invalid length 3, expected struct SnapshotIndexDoc with 4 elements at line 1 column 14"},
      {"elt100_empty_array", "[[]]", "invalid length 0, expected struct SnapshotIndexDoc with 4 elements at line 1 column 3"},
      {"elt110_long_array", R"([["a","b","c",{},1])", "invalid length 5, expected struct SnapshotIndexDoc with 4 elements at line 1 column 19"},
      {"elt120_long_array_closed", R"([["a","b","c",{},1,[2]]])", "invalid length 6, expected struct SnapshotIndexDoc with 4 elements at line 1 column 23"},
      {"elt130_key_not_string", "[{1:2}]", "key must be a string at line 1 column 3"},
      {"elt140_missing_colon", R"([{"code" "c"}])", "expected `:` at line 1 column 10"},
      {"elt150_eof_in_object", R"([{"code":"a")", "EOF while parsing an object at line 1 column 12"},
      {"elt160_missing_comma", R"([{"code":"a" "name":"b"}])", "expected `,` or `}` at line 1 column 14"},
      // Member values.
      {"mem000_code_integer", R"([{"code":5}])", "invalid type: integer `5`, expected a string at line 1 column 10"},
      {"mem010_name_null", R"([["c",null,"p",{}]])", "invalid type: null, expected a string at line 1 column 10"},
      {"mem020_pinyin_map", R"([["c","n",{},{}]])", "invalid type: map, expected a string at line 1 column 11"},
      {"mem030_fields_sequence", "[{" + kOk + R"(,"fields":[]}])", "invalid type: sequence, expected a map at line 1 column 47"},
      {"mem040_fields_string", R"([["c","n","p","f"]])", "invalid type: string \"f\", expected a map at line 1 column 17"},
      {"mem050_field_value_number", "[{" + kOk + R"(,"fields":{"k":1}}])", "invalid type: integer `1`, expected a string at line 1 column 52"},
      {"mem060_field_value_float", "[{" + kOk + R"(,"fields":{"k":2.0}}])", "invalid type: floating point `2.0`, expected a string at line 1 column 54"},
      {"mem070_field_value_bool", "[{" + kOk + R"(,"fields":{"k":false}}])", "invalid type: boolean `false`, expected a string at line 1 column 56"},
      {"mem080_field_key_number", "[{" + kOk + R"(,"fields":{1:"v"}}])", "key must be a string at line 1 column 48"},
      {"mem090_malformed_value", R"([{"code":01}])", "invalid number at line 1 column 11"},
      {"mem100_bad_utf8", "[[\"\xff\",\"n\",\"p\",{}]]", "invalid UTF-8 in string at line 1 column 4"},
      {"mem110_bad_utf8_late", "[[\"aaaaaaaaaaaaaaaaaaaa\xff\",\"n\",\"p\",{}]]", "invalid UTF-8 in string at line 1 column 24"},
      {"mem120_control_late", "[[\"aaaaaaaaaaaaaaaaaaaa\x01\",\"n\",\"p\",{}]]",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 24"},
      {"mem130_cut_utf8_late", "[[\"aaaaaaaaaaaaaaaaaa\xe4\xb8\",\"n\",\"p\",{}]]", "invalid UTF-8 in string at line 1 column 22"},
      {"mem140_bad_utf8_after_utf8", "[[\"aaaaaaaaaaaaaaaaaa\xc3\xa9" "aa\xc3\",\"n\",\"p\",{}]]",
       "invalid UTF-8 in string at line 1 column 26"},
  };
  for (const Case& c : cases) {
    const std::string got = index_message(c.in);
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
  EXPECT_EQ(index_message(R"([{"code":"a\"b\n","name":1}])"),
            std::string("invalid type: integer `1`, expected a string at line 1 column 26"));
  EXPECT_EQ(index_message(R"([["c",{"x":1},"p",{}]])"),
            std::string("invalid type: map, expected a string at line 1 column 7"));
  EXPECT_EQ(index_message(R"(["a\"\n"])"),
            std::string("invalid type: string \"a\\\"\\n\", expected struct SnapshotIndexDoc at line 1 column 8"));
}

TEST(IndexPayload, NestingLimitAppliesToSkippedValues) {
  // The outer array is level 1 and an element level 2, so an unknown
  // member's value may open 125 more levels.
  auto with_unknown = [](int levels) {
    return R"([{"code":"c","name":"n","pinyin":"p","fields":{},"x":)" + std::string(levels, '[') +
           std::string(levels, ']') + "}]";
  };
  EXPECT_EQ(index_message(with_unknown(125)), std::string("<ok>"));
  const std::string deep = with_unknown(126);
  const std::string got = index_message(deep);
  EXPECT_EQ(got, "recursion limit exceeded at line 1 column " + std::to_string(deep.find('[', 2) + 126));
}

TEST(FullPayload, Decodes) {
  auto r = vedra::decode_full_payload(R"({"a":{"x":1},"B":[],"10":null,"9":"s"})");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(vedra::write_json_compact(r.value()), std::string(R"({"10":null,"9":"s","B":[],"a":{"x":1}})"));
  auto e = vedra::decode_full_payload(" {} ");
  ASSERT_TRUE(e.ok());
  EXPECT_TRUE(e.value().is_object());
}

TEST(FullPayload, FailureMessages) {
  struct Case {
    const char* name;
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"full000_array", "[]", "full payload must be a JSON object"},
      {"full010_string", R"("x")", "full payload must be a JSON object"},
      {"full020_trailing", "{} a", "trailing characters at line 1 column 4"},
      {"full030_empty", "", "EOF while parsing a value at line 1 column 0"},
      {"full040_deep", "{\"a\":" + std::string(127, '[') + std::string(127, ']') + "}",
       "recursion limit exceeded at line 1 column 132"},
  };
  for (const Case& c : cases) {
    auto r = vedra::decode_full_payload(c.in);
    const std::string got = r.ok() ? "<ok>" : r.status().message();
    if (got != c.want) std::fprintf(stderr, "case %s\n", c.name);
    EXPECT_EQ(got, c.want);
  }
}

// ---------------------------------------------------------------------------
// Agreement with a DOM-based oracle
// ---------------------------------------------------------------------------

namespace {

// Naive decoder: parse_json, then check the shape on the value.  A DOM loses
// repeated keys, so it cannot see "duplicate field" faults.
bool naive_decode(std::string_view text, std::vector<SnapshotIndexDoc>& out) {
  auto r = vedra::parse_json(text);
  if (!r.ok() || r.value().kind() != JsonValue::Kind::Array) return false;
  for (const JsonValue& e : r.value().as_array()) {
    const JsonValue* m[4] = {nullptr, nullptr, nullptr, nullptr};
    if (e.kind() == JsonValue::Kind::Object) {
      const char* names[4] = {"code", "name", "pinyin", "fields"};
      for (int i = 0; i < 4; ++i) m[i] = e.find(names[i]);
    } else if (e.kind() == JsonValue::Kind::Array && e.as_array().size() == 4) {
      for (int i = 0; i < 4; ++i) m[i] = &e.as_array()[i];
    } else {
      return false;
    }
    SnapshotIndexDoc d;
    std::string* strings[3] = {&d.code, &d.name, &d.pinyin};
    for (int i = 0; i < 3; ++i) {
      if (m[i] == nullptr || !m[i]->is_string()) return false;
      *strings[i] = m[i]->as_string();
    }
    if (m[3] == nullptr || !m[3]->is_object()) return false;
    for (const auto& member : m[3]->as_object()) {
      if (!member.value.is_string()) return false;
      d.fields.emplace_back(member.key, member.value.as_string());
    }
    out.push_back(std::move(d));
  }
  return true;
}

std::string random_text(std::mt19937_64& rng) {
  static const char* const pieces[] = {"a", "SH", "\xc3\xa9", "|", "\\n", "\\\"", " ", "\\u4e2d", "x.y"};
  std::string s;
  const int n = static_cast<int>(rng() % 4);
  for (int i = 0; i < n; ++i) s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
  return "\"" + s + "\"";
}

std::string random_index_payload(std::mt19937_64& rng) {
  std::string out = "[";
  const int docs = static_cast<int>(rng() % 4);
  for (int d = 0; d < docs; ++d) {
    if (d) out += ",";
    std::string fields = "{";
    const int nf = static_cast<int>(rng() % 4);
    for (int f = 0; f < nf; ++f) {
      if (f) fields += ",";
      fields += "\"" + std::string(1, static_cast<char>('a' + rng() % 3)) + "\":" + random_text(rng);
    }
    fields += "}";
    if (rng() % 3 == 0) {
      out += "[" + random_text(rng) + "," + random_text(rng) + "," + random_text(rng) + "," + fields + "]";
      continue;
    }
    std::vector<std::string> members = {"\"code\":" + random_text(rng), "\"name\":" + random_text(rng),
                                        "\"pinyin\":" + random_text(rng), "\"fields\":" + fields};
    if (rng() % 2) members.push_back(R"("payload":{"k":[1,-2.5e3,true,null,{"q":"\"]"}]})");
    std::shuffle(members.begin(), members.end(), rng);
    out += "{";
    for (size_t i = 0; i < members.size(); ++i) out += (i ? "," : "") + members[i];
    out += "}";
  }
  return out + "]";
}

}  // namespace

TEST(IndexPayload, AgreesWithDomOracle) {
  std::mt19937_64 rng(4242);
  const char alphabet[] = "{}[],:\"\\1 x-.e\xc3\x80\n";
  int accepted = 0, refused = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string text = random_index_payload(rng);
    if (i % 2) {  // mutate half of the cases
      const int edits = 1 + static_cast<int>(rng() % 2);
      for (int e = 0; e < edits && !text.empty(); ++e) {
        const size_t at = rng() % text.size();
        const char c = alphabet[rng() % (sizeof alphabet - 1)];
        switch (rng() % 3) {
          case 0: text.erase(at, 1); break;
          case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
          default: text[at] = c; break;
        }
      }
    }
    EXPECT_TRUE(same_in_pieces(text, rng));
    std::vector<SnapshotIndexDoc> want;
    const bool naive_ok = naive_decode(text, want);
    auto got = vedra::decode_index_payload(text);
    if (got.ok()) {
      ++accepted;
      if (!naive_ok || !same_docs(got.value(), want)) std::fprintf(stderr, "accepted: %s\n", text.c_str());
      EXPECT_TRUE(naive_ok);
      EXPECT_TRUE(naive_ok && same_docs(got.value(), want));
    } else {
      ++refused;
      const std::string& m = got.status().message();
      const bool explained = !naive_ok || m.rfind("duplicate field `", 0) == 0;
      if (!explained) std::fprintf(stderr, "refused: %s\n  %s\n", text.c_str(), m.c_str());
      EXPECT_TRUE(explained);
      EXPECT_TRUE(m.find(" at line ") != std::string::npos);
    }
  }
  EXPECT_TRUE(accepted > 1000);
  EXPECT_TRUE(refused > 1000);
}

// Catalogue-like payloads: a few field-name sequences that documents share,
// names up to past the cached length, values with CJK text across the
// sixteen-byte blocks, sometimes a repeated name, an escape, white space or
// a nested value; half of them mutated.  The shortcut for the written shape
// must change nothing: the same documents and the same fault, positioned
// alike, as the general reading, whole and in pieces.
std::string catalogue_payload(std::mt19937_64& rng) {
  static const char* const names[] = {"market", "asset_type", "region", "concept", "industry.l1", "industry.l2",
                                      "a_field_name_longer_than_the_cached_texts", "lot", "x", "\\u0061b"};
  static const char* const values[] = {"IB", "Asia.China.Ningxia", "\xe5\x88\xb8\xe5\x95\x86|\xe4\xba\x92\xe8\x81\x94",
                                       "", "2033-07-03", "0123456789abcdef\xe4\xb8\xad", "a\\\"b", "\xc3\xa9"};
  auto pick = [&](auto& table) { return table[rng() % (sizeof table / sizeof table[0])]; };
  std::vector<std::vector<const char*>> shapes(3);
  for (auto& shape : shapes) {
    const size_t n = rng() % 6;
    for (size_t i = 0; i < n; ++i) shape.push_back(pick(names));
  }
  std::string out = "[";
  const int docs = 1 + static_cast<int>(rng() % 6);
  for (int d = 0; d < docs; ++d) {
    out += d ? "," : "";
    static const char* const extras[] = {"\"name\":\"n\",", "\"fields\":{},", "\"extra\":[1],"};
    out += std::string("{") + (rng() % 16 ? "" : pick(extras)) + R"("code":"c)" + std::to_string(d) + R"(","name":")" + pick(values) +
           R"(","pinyin":"p","fields":{)";
    const auto& shape = shapes[rng() % shapes.size()];
    for (size_t i = 0; i < shape.size(); ++i) {
      out += i ? (rng() % 20 ? "," : " ,") : "";
      out += std::string("\"") + shape[i] + (rng() % 20 ? "\":\"" : "\" : \"") + pick(values) + "\"";
    }
    out += "}}";
  }
  out += "]";
  for (int e = rng() % 2 ? 0 : 1 + static_cast<int>(rng() % 3); e > 0; --e) {
    const size_t at = rng() % out.size();
    static const char edits[] = "{}[],:\" \\\x80\xe4";
    const char c = edits[rng() % (sizeof edits - 1)];
    switch (rng() % 3) {
      case 0: out.erase(at, 1); break;
      case 1: out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), c); break;
      default: out[at] = c; break;
    }
  }
  return out;
}

TEST(IndexPayload, WrittenShapeShortcutChangesNothing) {
  std::mt19937_64 rng(77);
  int accepted = 0;
  size_t with_ids = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = catalogue_payload(rng);
    Outcome general;
    PiecedSource source(text, rng);
    const std::string want = general.of(
        vedra::decode_index_payload_each_generally_for_testing(source, general, 2 + rng() % (text.size() + 2)));
    const std::string got = whole_outcome(text);
    if (got != want) std::fprintf(stderr, "shortcut: %s\n  general:  %s\n  shortcut: %s\n", text.c_str(), want.c_str(), got.c_str());
    EXPECT_TRUE(got == want);
    EXPECT_TRUE(same_in_pieces(text, rng));
    accepted += want.rfind("error: ", 0) != 0;
    EXPECT_EQ(general.docs_with_ids, size_t{0});
    Outcome ids;
    (void)vedra::decode_index_payload_each(text, ids);
    EXPECT_TRUE(ids.ids_match_names);
    with_ids += ids.docs_with_ids;
  }
  EXPECT_TRUE(accepted > 1000);
  EXPECT_TRUE(with_ids > 1000);
}

TEST(IndexPayload, StreamingHandsOverDocumentsInOrderAndStopsAtASinkFailure) {
  struct Sink : vedra::IndexDocSink {
    std::vector<std::string> seen;
    vedra::Status take(const vedra::IndexDocView& d) override {
      std::string line = std::string(d.code) + "/" + std::string(d.name) + "/" + std::string(d.pinyin);
      for (const auto& [k, v] : d.fields) line += " " + std::string(k) + "=" + std::string(v);
      seen.push_back(line);
      if (d.code == "STOP") return vedra::Status::Error("sink refused");
      return vedra::Status::Ok();
    }
  };
  // Escaped strings land in scratch and must survive until the document is
  // handed over, members in any order, repeated field keys resolved.
  Sink sink;
  const std::string text =
      "[{\"fields\":{\"k\\u0031\":\"v\\n\",\"a\":\"1\",\"k1\":\"w\"},\"pinyin\":\"p\\\"\",\"name\":\"n\",\"code\":\"c\\\\\"},"
      "[\"d\",\"\",\"\",{}],{\"code\":\"STOP\",\"name\":\"\",\"pinyin\":\"\",\"fields\":{}},[\"never\"]]";
  const vedra::Status st = vedra::decode_index_payload_each(text, sink);
  EXPECT_EQ(st.message(), std::string("sink refused"));
  EXPECT_EQ(sink.seen.size(), 3u);
  EXPECT_EQ(sink.seen[0], std::string("c\\/n/p\" a=1 k1=w"));
  EXPECT_EQ(sink.seen[1], std::string("d//"));
}

TEST(IndexPayload, ASourceFailureComesBeforeAnyFaultOfTheText) {
  // The source fails after handing over the whole text; whatever the
  // decoding met first (nothing, a fault of the text, a sink's refusal),
  // the source's failure is the one reported.
  struct Failing : vedra::PayloadSource {
    std::string_view text;
    size_t pos = 0;
    vedra::Result<size_t> read(char* to, size_t room) override {
      if (pos == text.size()) return vedra::Status::Error("source broke");
      const size_t n = text.copy(to, std::min<size_t>(room, 3), pos);
      pos += n;
      return n;
    }
  };
  struct Refusing : vedra::IndexDocSink {
    vedra::Status take(const vedra::IndexDocView&) override { return vedra::Status::Error("sink refused"); }
  };
  for (const std::string_view text : {"[]", "[x", R"([["c","n","p",{}]] x)", R"([["c","n","p",{}],["d"]])"}) {
    for (const bool refuse : {false, true}) {
      Failing source;
      source.text = text;
      Outcome collect;
      Refusing refusing;
      vedra::IndexDocSink& sink = refuse ? static_cast<vedra::IndexDocSink&>(refusing) : collect;
      const vedra::Status st = vedra::decode_index_payload_each(source, sink, 4);
      EXPECT_EQ(st.message(), std::string("source broke"));
      EXPECT_EQ(source.pos, text.size());
    }
  }
}
