#include "snapshot/payload_encode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "store/json/json_writer.h"

namespace vedra {

namespace {

// The encoders' output buffer: text is written straight into it through a
// cursor, after asking room() for a bound of what comes next, and leaves in
// pieces of kPayloadChunk bytes or more.
class PieceWriter {
 public:
  explicit PieceWriter(const PayloadFlush& flush)
      : flush_(flush), capacity_(kPayloadChunk + kSlack), buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

  // The cursor, with at least `n` bytes writable from it; nullptr when a
  // piece had to leave and its flush failed (see status()).
  char* room(size_t n) {
    if (capacity_ - used_ >= n) return buffer_.get() + used_;
    return make_room(n);
  }
  // Ends what was written at the cursor: `w` is its new place.
  void advance(char* w) { used_ = static_cast<size_t>(w - buffer_.get()); }
  // Hands the text on once a piece is full.
  bool maybe_flush() {
    if (used_ < kPayloadChunk) return true;
    return flush();
  }
  // Hands on whatever is written; the last piece.
  bool flush() {
    status_ = flush_(std::string_view(buffer_.get(), used_));
    used_ = 0;
    return status_.ok();
  }
  const Status& status() const { return status_; }
  // Writes `c`; false when a piece had to leave and its flush failed.
  bool put(char c) {
    char* w = room(1);
    if (w == nullptr) return false;
    *w++ = c;
    advance(w);
    return true;
  }
  // Writes the closing `c` and hands on the last piece.
  Status finish(char c) {
    if (put(c)) flush();
    return status_;
  }

 private:
  // Room beyond a full piece for the record that passes it; a record
  // larger than that grows the buffer once the text before it has left.
  static constexpr size_t kSlack = 64 << 10;

  char* make_room(size_t n) {
    if (used_ != 0 && !flush()) return nullptr;
    if (n > capacity_) {
      buffer_ = std::make_unique_for_overwrite<char[]>(n);
      capacity_ = n;
    }
    return buffer_.get();
  }

  const PayloadFlush& flush_;
  size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  Status status_;
};

char* put_text(char* w, std::string_view text) {
  std::memcpy(w, text.data(), text.size());
  return w + text.size();
}

}  // namespace

Status emit_full_payload(const EngineState& s, const CodeOrder& order, const PayloadFlush& flush) {
  PieceWriter out(flush);
  out.put('{');
  char* w = nullptr;
  // Records come in code order, so their codes and payload views are read at
  // random: each is asked for ahead, the view two steps before its text.
  constexpr size_t kAhead = 16;
  bool first = true;
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
    const std::string_view code = order.code(i);
    const std::string_view payload = s.record_payloads[order.record(i)];
    w = out.room(json_string_bound(code.size()) + 2 + payload.size());
    if (w == nullptr) return out.status();
    if (!first) *w++ = ',';
    first = false;
    w = put_json_string(w, code);
    *w++ = ':';
    out.advance(put_text(w, payload));
    if (!out.maybe_flush()) return out.status();
  }
  return out.finish('}');
}

Status emit_full_payload(const EngineState& s, const PayloadFlush& flush) {
  return emit_full_payload(s, CodeOrder(s), flush);
}

Status emit_index_payload(const EngineState& s, const PayloadFlush& flush) {
  PieceWriter out(flush);
  out.put('[');
  char* w = nullptr;
  // The member names and punctuation of a document, fields aside.
  constexpr size_t kDocumentText = 48;
  // The texts a record owns lie on the heap: asked for a few records ahead.
  constexpr uint32_t kAhead = 8;
  for (uint32_t r = 0; r < s.next_record; ++r) {
    if (r + kAhead < s.next_record) {
      const uint32_t ahead = r + kAhead;
      s.record_texts.prefetch(ahead);
      if (ahead < s.record_fields.size()) s.record_fields[ahead].prefetch();
    }
    const auto [code, name, pinyin] = s.record_texts[r];
    w = out.room(kDocumentText + json_string_bound(code.size()) + json_string_bound(name.size()) +
                 json_string_bound(pinyin.size()));
    if (w == nullptr) return out.status();
    // The member names are constant and need no escaping: written as text.
    w = put_text(w, r ? ",{\"code\":" : "{\"code\":");
    w = put_json_string(w, code);
    w = put_text(w, ",\"name\":");
    w = put_json_string(w, name);
    w = put_text(w, ",\"pinyin\":");
    w = put_json_string(w, pinyin);
    w = put_text(w, ",\"fields\":{");
    out.advance(w);
    if (r < s.record_fields.size()) {
      bool first = true;
      for (const auto [field, value] : s.record_fields[r]) {
        w = out.room(2 + json_string_bound(field.size()) + json_string_bound(value.size()));
        if (w == nullptr) return out.status();
        if (!first) *w++ = ',';
        first = false;
        w = put_json_string(w, field);
        *w++ = ':';
        out.advance(put_json_string(w, value));
      }
    }
    w = out.room(2);
    if (w == nullptr) return out.status();
    *w++ = '}';
    *w++ = '}';
    out.advance(w);
    if (!out.maybe_flush()) return out.status();
  }
  return out.finish(']');
}

// A string's text in JSON is at most six times its length (\u00xx for each
// byte) plus its quotation marks.
constexpr uint64_t kEscapeGrowth = 6;

uint64_t full_payload_bound(const EngineState& s) {
  uint64_t n = 2;  // {}
  for (uint32_t r = 0; r < s.next_record; ++r) {
    n += kEscapeGrowth * s.record_texts.code(r).size() + 4 + s.record_payloads[r].size();  // ,"code":payload
  }
  return n;
}

uint64_t index_payload_bound(const EngineState& s) {
  // The member names and punctuation of one document, fields aside.
  constexpr uint64_t kDocument = 64;
  // A field's member `,"name":"value"` is at most kEscapeGrowth times its
  // entry in the map, which holds two lengths beside the texts.
  constexpr uint64_t kShortMap = 16;
  uint64_t n = 2;  // []
  for (uint32_t r = 0; r < s.next_record; ++r) {
    const RecordTexts::Entry texts = s.record_texts[r];
    n += kDocument + kEscapeGrowth * (texts.code.size() + texts.name.size() + texts.pinyin.size());
    if (r < s.record_fields.size()) n += kEscapeGrowth * std::max<uint64_t>(s.record_fields[r].memory_usage(), kShortMap);
  }
  return n;
}

std::string encode_full_payload(const EngineState& s) {
  std::string out;
  out.reserve(full_payload_bound(s));  // close: the payloads dominate, written as they are
  (void)emit_full_payload(s, [&out](std::string_view piece) {
    out += piece;
    return Status::Ok();
  });
  return out;
}

std::string encode_index_payload(const EngineState& s) {
  std::string out;
  (void)emit_index_payload(s, [&out](std::string_view piece) {
    out += piece;
    return Status::Ok();
  });
  return out;
}

}  // namespace vedra
