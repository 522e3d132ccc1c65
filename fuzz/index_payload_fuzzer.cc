// libFuzzer target: the index payload decoder.
//
// decode_index_payload() either fails with a positioned message or returns
// documents; when it accepts, the text is also valid JSON for parse_json()
// (the decoder reads a subset of JSON), the array has one element per
// document, and re-encoding the documents in object form decodes to the same
// documents (fields with last-wins keys already applied).  The two full
// payload decoders run on the same bytes and must agree: same acceptance,
// same message, and each member text equal to the compact writing of the
// decoded member.  The text handed over in pieces of sizes drawn from the
// input, into windows of such sizes, decodes to the same documents or fails
// with the same message as the whole text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "snapshot/payload_decode.h"
#include "snapshot/payload_source.h"
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

// The documents a decoder hands over, written out, or its failure message.
struct Outcome : vedra::IndexDocSink {
  std::string seen;
  vedra::Status take(const vedra::IndexDocView& d) override {
    for (std::string_view t : {d.code, d.name, d.pinyin}) seen += std::to_string(t.size()) + ":" + std::string(t);
    for (const auto& [k, v] : d.fields) seen += std::to_string(k.size()) + ":" + std::string(k) + std::to_string(v.size()) + ":" + std::string(v);
    seen += ';';
    return vedra::Status::Ok();
  }
  std::string of(const vedra::Status& st) const { return st.ok() ? seen : "error: " + st.message(); }
};

// The text in reads of random sizes (seeded by the text: runs repeat).
struct PiecedSource : vedra::PayloadSource {
  std::string_view text;
  size_t pos = 0;
  std::minstd_rand rng;
  vedra::Result<size_t> read(char* to, size_t room) override {
    const size_t n = std::min({room, text.size() - pos, static_cast<size_t>(1 + rng() % (rng() % 2 ? 4 : 200))});
    pos += text.copy(to, n, pos);
    return n;
  }
};

void check_pieces(std::string_view text) {
  Outcome whole;
  const std::string want = whole.of(vedra::decode_index_payload_each(text, whole));
  for (uint32_t round = 0; round < 2; ++round) {
    PiecedSource source;
    source.text = text;
    source.rng.seed(static_cast<uint32_t>(text.size()) * 31 + round + 1);
    Outcome pieced;
    const size_t window = 2 + source.rng() % (round == 0 ? 16 : 1000);
    if (pieced.of(vedra::decode_index_payload_each(source, pieced, window)) != want) {
      fail("decoding in pieces differs from the whole text", text);
    }
  }
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

  check_pieces(text);
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
