// Saving and loading a whole engine as a snapshot: a full file (code ->
// payload), an index file (one document per record) and an optional manifest.
// The orchestration only: the payloads are encoded by payload_encode.h and
// decoded by payload_decode.h, framed by container.h, written by
// file_writer.h and read by file_read.h; the manifest is manifest.h's.
#pragma once

#include <string>

#include "base/status.h"
#include "snapshot/index_doc.h"
#include "snapshot/payload_decode.h"
#include "store/byte_buffer.h"
#include "store/engine_state.h"

namespace vedra {

// Writes the full file, the index file and (when manifest_path is not null)
// the manifest as one FileSetWriter set: every target is resolved first, every
// file is written to its temporary file and synced, and only then are they
// moved into place, in that order, under their commit markers.  A failure at
// any step, the commit included, leaves every old file as it was.  Refuses, before writing anything, a state
// whose snapshot could not be loaded back (a payload nested too deeply), and
// two paths with the same final target ("cannot save snapshot:
// full_file_path and index_file_path name the same file"); special files
// such as /dev/null may repeat.
Status save_snapshot(const EngineState& s, const std::string& full_path, const std::string& index_path,
                     const std::string* manifest_path);

// Reads and decodes both files completely (opened together, see
// read_snapshot_pair, so they come from one save); only then replaces `s` with the
// loaded records, their matcher already built.  The index payload is
// decompressed a piece at a time as it is decoded; faults are reported as
// if each payload were decompressed whole before anything is decoded: the
// full file's, the index file's (decompression included), the full
// payload's text, then the index payload's text and its records.  Any failure, std::bad_alloc
// included, leaves `s` untouched.
Status load_snapshot(EngineState& s, const std::string& full_path, const std::string& index_path);

// The state a load builds from the index payload text and the decoded full
// payload: one record per index document, in order, through the ingestion
// operations (each document is ingested as soon as it is decoded, so no
// document list is held); each record's payload is the text of its code or
// the default payload.  `texts` views into `full_payload` (the decompressed
// full payload), which the new state keeps to hold those texts in place.
// Fails as decode_index_payload(), with nothing of the partial state kept.
// The matcher is not built.
//
// `phases`, when given, is told as each step ends: "posting" (every document
// decoded and re-ingested), "sealing" (postings in their readable form),
// "payloads" (each record's payload in place).  For benchmarks; it changes
// nothing else.
class LoadPhaseObserver {
 public:
  virtual ~LoadPhaseObserver() = default;
  virtual void reached(const char* phase) = 0;
};
Result<EngineState> rebuild_state(std::string_view index_payload, FullPayloadTexts& texts, ByteBuffer full_payload,
                                  LoadPhaseObserver* phases = nullptr);
// The same, the index payload read from `index_payload` a piece at a time
// (decode_index_payload_each): a failure of the source comes before any
// fault of the text or of the ingestion.
Result<EngineState> rebuild_state(PayloadSource& index_payload, FullPayloadTexts& texts, ByteBuffer full_payload,
                                  LoadPhaseObserver* phases = nullptr);

}  // namespace vedra
