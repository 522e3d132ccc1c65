#include "snapshot/payload_encode.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "store/json_writer.h"

namespace vedra {

Status emit_full_payload(const EngineState& s, std::string& out, const PayloadFlush& flush) {
  // code_to_record already names the newest record per code.
  std::vector<std::pair<std::string_view, uint32_t>> winners;
  winners.reserve(s.code_to_record.size());
  for (const auto& [code, r] : s.code_to_record) winners.emplace_back(code, r);
  std::sort(winners.begin(), winners.end());
  JsonObjectWriter full(out);
  for (const auto& [code, r] : winners) {
    full.raw(code, s.record_payloads[r]);
    if (out.size() >= kPayloadChunk) {
      if (Status st = flush(); !st.ok()) return st;
    }
  }
  full.end();
  return flush();
}

Status emit_index_payload(const EngineState& s, std::string& out, const PayloadFlush& flush) {
  out += '[';
  for (uint32_t r = 0; r < s.next_record; ++r) {
    if (r) out += ',';
    JsonObjectWriter doc(out);
    doc.string("code", s.record_codes[r]);
    doc.string("name", s.record_names[r]);
    doc.string("pinyin", s.record_pinyins[r]);
    doc.key("fields");
    JsonObjectWriter fields(out);
    if (r < s.record_fields.size()) {
      for (const auto [field, value] : s.record_fields[r]) fields.string(field, value);
    }
    fields.end();
    doc.end();
    if (out.size() >= kPayloadChunk) {
      if (Status st = flush(); !st.ok()) return st;
    }
  }
  out += ']';
  return flush();
}

std::string encode_full_payload(const EngineState& s) {
  std::string out;
  (void)emit_full_payload(s, out, [] { return Status::Ok(); });
  return out;
}

std::string encode_index_payload(const EngineState& s) {
  std::string out;
  (void)emit_index_payload(s, out, [] { return Status::Ok(); });
  return out;
}

}  // namespace vedra
