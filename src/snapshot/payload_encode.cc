#include "snapshot/payload_encode.h"

#include <string_view>

#include "store/json/json_writer.h"

namespace vedra {

Status emit_full_payload(const EngineState& s, const CodeOrder& order, std::string& out, const PayloadFlush& flush) {
  JsonObjectWriter full(out);
  // Records come in code order, so their codes and payload views are read at
  // random: each is asked for ahead, the view two steps before its text.
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + kAhead < order.size()) {
      const uint32_t ahead = order.record(i + kAhead);
      s.record_texts.prefetch_pointer(ahead);
      s.record_payloads.prefetch_view(ahead);
    }
    if (i + kAhead / 2 < order.size()) {
      const uint32_t ahead = order.record(i + kAhead / 2);
      s.record_texts.prefetch(ahead);
      __builtin_prefetch(s.record_payloads[ahead].data());
    }
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
  // The texts a record owns lie on the heap: asked for a few records ahead.
  constexpr uint32_t kAhead = 8;
  for (uint32_t r = 0; r < s.next_record; ++r) {
    if (r + kAhead < s.next_record) {
      const uint32_t ahead = r + kAhead;
      s.record_texts.prefetch(ahead);
      if (ahead < s.record_fields.size()) s.record_fields[ahead].prefetch();
    }
    // The member names are constant and need no escaping: written as text.
    out.append(r ? ",{\"code\":" : "{\"code\":");
    const RecordTexts::Entry texts = s.record_texts[r];
    write_json_string(texts.code, out);
    out.append(",\"name\":");
    write_json_string(texts.name, out);
    out.append(",\"pinyin\":");
    write_json_string(texts.pinyin, out);
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
