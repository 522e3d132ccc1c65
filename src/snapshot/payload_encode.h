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
#include <functional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "snapshot/code_order.h"
#include "store/engine_state.h"

namespace vedra {

// Streaming encoders pass their text on in pieces of about this many bytes.
inline constexpr size_t kPayloadChunk = 1 << 20;

// Called with each piece of the text in order, whenever the text passes
// kPayloadChunk bytes since the last piece and once at the end; the piece is
// valid only during the call.  A failure stops the encoding and is returned
// by it.
using PayloadFlush = std::function<Status(std::string_view)>;

// Streams the full payload to `flush`.
// REQUIRES: `order` was built from `s`.
Status emit_full_payload(const EngineState& s, const CodeOrder& order, const PayloadFlush& flush);
// The same, sorting the codes itself.
Status emit_full_payload(const EngineState& s, const PayloadFlush& flush);

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
