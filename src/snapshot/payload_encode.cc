#include "snapshot/payload_encode.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "store/json/json_writer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vedra {

namespace {

char* put_text(char* w, std::string_view text) {
  std::memcpy(w, text.data(), text.size());
  return w + text.size();
}

// A string's text in JSON is at most six times its length (\u00xx for each
// byte) plus its quotation marks.
constexpr uint64_t kEscapeGrowth = 6;

// A field map's members `"name":"value"` and the commas between them take
// at most kEscapeGrowth times the map's entry bytes, where each entry holds
// its two texts and two 4-byte lengths: 6(k + v) + 6 + 16 <= 6(k + v + 8),
// which also leaves the 16 bytes that put_document_text may write past a
// text.  A map of entries shorter than kShortMap is counted as that long.
constexpr uint64_t kShortMap = 16;
size_t fields_text_bound(const FieldMap& fields) {
  return kEscapeGrowth * std::max<size_t>(fields.entry_bytes() + 1, kShortMap);
}

#if defined(__SSE2__)
// The bytes of `x` that need an escape in a JSON string (below 0x20, the
// quotation mark and the backslash), one bit each.
inline unsigned stop_mask(__m128i x) {
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1f)), x);
  const __m128i quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#endif

// put_json_string for the texts of an index document, which lie before
// `readable_end` in memory the store owns.  These texts are short and mostly
// plain, and a document has dozens of them: a text is checked and copied
// 16 bytes at a time as it is stored, the last 16 bytes overlapping what
// came before, so a plain text costs no branch per byte.  A text shorter
// than 16 bytes is loaded whole with the bytes after it, where those are
// readable, and stored with them: up to 16 bytes past its end are written,
// which later text overwrites.  A text that needs an escape is written
// again by put_json_string.
// REQUIRES: json_string_bound(s.size()) + 16 writable bytes at `w`.
inline char* put_document_text(char* w, std::string_view s, const char* readable_end) {
#if defined(__SSE2__)
  const char* p = s.data();
  const size_t n = s.size();
  const auto load = [](const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
  const auto store = [](char* at, __m128i x) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), x); };
  if (n >= 16) {
    const char* const end = p + n;
    unsigned stops = 0;
    char* o = w + 1;
    for (; end - p > 16; p += 16, o += 16) {
      const __m128i x = load(p);
      stops |= stop_mask(x);
      store(o, x);
    }
    const __m128i last = load(end - 16);
    stops |= stop_mask(last);
    if (stops == 0) {
      *w = '"';
      store(w + 1 + n - 16, last);
      w[n + 1] = '"';
      return w + n + 2;
    }
  } else if (readable_end - p >= 16) {
    const __m128i x = load(p);
    if ((stop_mask(x) & ((1u << n) - 1)) == 0) {
      *w = '"';
      store(w + 1, x);
      w[n + 1] = '"';
      return w + n + 2;
    }
  }
#else
  (void)readable_end;
#endif
  return put_json_string(w, s);
}

}  // namespace

Status emit_full_payload(const EngineState& s, const CodeOrder& order, PayloadSink& out) {
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

Status emit_full_payload(const EngineState& s, const CodeOrder& order, const PayloadFlush& flush) {
  FlushSink out(flush);
  return emit_full_payload(s, order, out);
}

Status emit_full_payload(const EngineState& s, const PayloadFlush& flush) {
  return emit_full_payload(s, CodeOrder(s), flush);
}

Status emit_index_payload(const EngineState& s, const PayloadFlush& flush) {
  FlushSink out(flush);
  return emit_index_payload(s, out);
}

Status emit_index_payload(const EngineState& s, PayloadSink& out) {
  out.put('[');
  char* w = nullptr;
  // The member names and punctuation of a document (40 bytes), fields
  // aside, and the 16 bytes put_document_text may write past a text.
  constexpr size_t kDocumentText = 64;
  // The texts a record owns lie on the heap: asked for a few records ahead.
  constexpr uint32_t kAhead = 8;
  for (uint32_t r = 0; r < s.next_record; ++r) {
    if (r + kAhead < s.next_record) {
      const uint32_t ahead = r + kAhead;
      s.record_texts.prefetch(ahead);
      if (ahead < s.record_fields.size()) s.record_fields[ahead].prefetch_all();
    }
    const auto [code, name, pinyin] = s.record_texts[r];
    const FieldMap* fields = r < s.record_fields.size() ? &s.record_fields[r] : nullptr;
    // One bound for the whole document, fields included, so that the field
    // loop writes without asking for room.
    w = out.room(kDocumentText + json_string_bound(code.size()) + json_string_bound(name.size()) +
                 json_string_bound(pinyin.size()) + (fields != nullptr ? fields_text_bound(*fields) : 0));
    if (w == nullptr) return out.status();
    // The member names are constant and need no escaping: written as text.
    w = put_text(w, r ? ",{\"code\":" : "{\"code\":");
    // A record's three texts lie together, the pinyin last.
    const char* const texts_end = pinyin.data() + pinyin.size();
    w = put_document_text(w, code, texts_end);
    w = put_text(w, ",\"name\":");
    w = put_document_text(w, name, texts_end);
    w = put_text(w, ",\"pinyin\":");
    w = put_document_text(w, pinyin, texts_end);
    w = put_text(w, ",\"fields\":{");
    if (fields != nullptr) {
      const char* const names_end = fields->names_end();
      const char* const values_end = fields->values_end();
      bool first = true;
      for (const auto [field, value] : *fields) {
        if (!first) *w++ = ',';
        first = false;
        w = put_document_text(w, field, names_end);
        *w++ = ':';
        w = put_document_text(w, value, values_end);
      }
    }
    *w++ = '}';
    *w++ = '}';
    out.advance(w);
    if (!out.maybe_flush()) return out.status();
  }
  return out.finish(']');
}

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
  uint64_t n = 2;  // []
  for (uint32_t r = 0; r < s.next_record; ++r) {
    const RecordTexts::Entry texts = s.record_texts[r];
    n += kDocument + kEscapeGrowth * (texts.code.size() + texts.name.size() + texts.pinyin.size());
    if (r < s.record_fields.size()) n += fields_text_bound(s.record_fields[r]);
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
