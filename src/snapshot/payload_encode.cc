#include "snapshot/payload_encode.h"

#include <string_view>

#include "store/json/json_writer.h"

namespace vedra {

Status emit_full_payload(const EngineState& s, const CodeOrder& order, std::string& out, const PayloadFlush& flush) {
  JsonObjectWriter full(out);
  for (size_t i = 0; i < order.size(); ++i) {
    // Of the records sharing a code, the last in the order is the newest
    // (code_to_record's), whose payload is written.
    if (order.same_code_follows(i)) continue;
    full.raw(order.code(i), s.record_payloads[order.record(i)]);
    if (out.size() >= kPayloadChunk) {
      if (Status st = flush(); !st.ok()) return st;
    }
  }
  full.end();
  return flush();
}

Status emit_full_payload(const EngineState& s, std::string& out, const PayloadFlush& flush) {
  return emit_full_payload(s, CodeOrder(s), out, flush);
}

Status emit_index_payload(const EngineState& s, std::string& out, const PayloadFlush& flush) {
  out += '[';
  for (uint32_t r = 0; r < s.next_record; ++r) {
    // The member names are constant and need no escaping: written as text.
    out.append(r ? ",{\"code\":" : "{\"code\":");
    write_json_string(s.record_codes[r], out);
    out.append(",\"name\":");
    write_json_string(s.record_names[r], out);
    out.append(",\"pinyin\":");
    write_json_string(s.record_pinyins[r], out);
    out.append(",\"fields\":");
    JsonObjectWriter fields(out);
    if (r < s.record_fields.size()) {
      for (const auto [field, value] : s.record_fields[r]) fields.string(field, value);
    }
    fields.end();
    out += '}';
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
