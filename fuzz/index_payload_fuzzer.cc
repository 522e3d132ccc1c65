// libFuzzer target: the index payload decoder.
//
// decode_index_payload() either fails with a positioned message or returns
// documents; when it accepts, the text is also valid JSON for parse_json()
// (the decoder reads a subset of JSON), the array has one element per
// document, and re-encoding the documents in object form decodes to the same
// documents (fields with last-wins keys already applied).  The two full
// payload decoders run on the same bytes and must agree: same acceptance,
// same message, and each member text equal to the compact writing of the
// decoded member.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "snapshot/payload_decode.h"
#include "store/json/json_reader.h"
#include "store/json/json_writer.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "index_payload_fuzzer: %s\n  %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

std::string encode(const std::vector<vedra::SnapshotIndexDoc>& docs) {
  std::string out = "[";
  for (size_t i = 0; i < docs.size(); ++i) {
    if (i) out += ',';
    out += "{\"code\":";
    vedra::write_json_string(docs[i].code, out);
    out += ",\"name\":";
    vedra::write_json_string(docs[i].name, out);
    out += ",\"pinyin\":";
    vedra::write_json_string(docs[i].pinyin, out);
    out += ",\"fields\":{";
    for (size_t j = 0; j < docs[i].fields.size(); ++j) {
      if (j) out += ',';
      vedra::write_json_string(docs[i].fields[j].first, out);
      out += ':';
      vedra::write_json_string(docs[i].fields[j].second, out);
    }
    out += "}}";
  }
  out += ']';
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The full payload decoders: the text form must agree with the value form,
  // member by member (each text is the compact writing of the member).
  vedra::Result<vedra::JsonValue> full = vedra::decode_full_payload(text);
  if (!full.ok() && full.status().message().empty()) fail("empty full payload error", text);
  vedra::Result<vedra::FullPayloadTexts> texts = vedra::decode_full_payload_texts(text);
  if (texts.ok() != full.ok()) fail("full payload decoders disagree on acceptance", text);
  if (!full.ok()) {
    if (texts.status().message() != full.status().message()) fail("full payload decoders disagree", text);
  } else {
    const vedra::JsonObject& members = full.value().as_object();
    std::unordered_map<std::string_view, std::string_view> by_code;  // the last member wins
    for (const auto& [code, member_text] : texts.value().members) by_code[code] = member_text;
    if (by_code.size() != members.size()) fail("full payload member count differs", text);
    for (const vedra::JsonMember& m : members) {
      auto it = by_code.find(m.key);
      if (it == by_code.end()) fail("full payload member missing from texts", m.key);
      if (it->second != vedra::write_json_compact(m.value)) fail("full payload member text differs", it->second);
    }
  }

  vedra::Result<std::vector<vedra::SnapshotIndexDoc>> docs = vedra::decode_index_payload(text);
  if (!docs.ok()) {
    if (docs.status().message().find(" at line ") == std::string::npos) {
      fail("unpositioned error", docs.status().message());
    }
    return 0;
  }
  vedra::Result<vedra::JsonValue> generic = vedra::parse_json(text);
  if (!generic.ok()) fail("decoder accepted invalid JSON", generic.status().message());
  if (generic.value().kind() != vedra::JsonValue::Kind::Array ||
      generic.value().as_array().size() != docs.value().size()) {
    fail("document count differs from the array length", text);
  }
  for (const vedra::SnapshotIndexDoc& d : docs.value()) {
    for (size_t i = 0; i < d.fields.size(); ++i) {
      for (size_t j = i + 1; j < d.fields.size(); ++j) {
        if (d.fields[i].first == d.fields[j].first) fail("repeated field key survived", d.fields[i].first);
      }
    }
  }
  const std::string again = encode(docs.value());
  vedra::Result<std::vector<vedra::SnapshotIndexDoc>> round = vedra::decode_index_payload(again);
  if (!round.ok()) fail("re-encoded documents do not decode", round.status().message());
  if (!(round.value() == docs.value())) fail("re-encoded documents differ", again);
  return 0;
}
