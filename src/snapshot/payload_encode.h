// Encoding of the two snapshot payloads (the JSON texts inside the
// containers), the counterpart of payload_decode.h.
//
// Full payload: one compact JSON object from each code to the stored payload
// of the newest record with that code, keys in ascending byte order, so each
// code occurs once.  Index payload: a compact JSON array with one object
// {"code","name","pinyin","fields"} (members in that order) per record, in
// record order; "fields" holds the record's field map in the map's own
// order, which readers must not depend on.  Both are written with the
// engine's writer (store/json/json_writer.h).
//
// Encoding only reads the state and cannot fail by itself; the streaming
// forms return what the caller's flush returns.
// Thread safety: as reading `s`.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/status.h"
#include "snapshot/code_order.h"
#include "snapshot/payload_sink.h"
#include "store/engine_state.h"

namespace vedra {

// Writes the full payload into `out` and finishes it (its last piece
// passed on).  REQUIRES: `order` was built from `s`.
Status emit_full_payload(const EngineState& s, const CodeOrder& order, PayloadSink& out);
// Streams the full payload to `flush`.
Status emit_full_payload(const EngineState& s, const CodeOrder& order, const PayloadFlush& flush);
// The same, sorting the codes itself.
Status emit_full_payload(const EngineState& s, const PayloadFlush& flush);

// Writes the index payload into `out` and finishes it.
Status emit_index_payload(const EngineState& s, PayloadSink& out);
// Streams the index payload to `flush`.
Status emit_index_payload(const EngineState& s, const PayloadFlush& flush);

// Estimates of each payload's length, cheap to compute (lengths only, no
// text read), for reserving room ahead: at least the length for every state
// whose field maps hold their texts inline, and never 0.
uint64_t full_payload_bound(const EngineState& s);
uint64_t index_payload_bound(const EngineState& s);

// The whole full payload as one text.
std::string encode_full_payload(const EngineState& s);

// The whole index payload as one text.
std::string encode_index_payload(const EngineState& s);

}  // namespace vedra
