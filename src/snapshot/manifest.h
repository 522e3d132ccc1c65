// The snapshot manifest: a small indented JSON text written beside a
// snapshot's two files for other tools (never read back by the engine).
//
// Seven members, in this order: "created_at" (whole Unix seconds as a
// string, "0" for a clock before 1970), "full_codes_sha256", "full_file",
// "index_codes_sha256", "index_file", "record_count" and "version"
// (kSnapshotFormatVersion).  Both digests are codes_digest(); the paths are
// written exactly as given.  Layout: JsonObjectWriter's kIndented.
//
// Thread safety: as reading `s`.
#pragma once

#include <string>

#include "snapshot/code_order.h"
#include "store/engine_state.h"

namespace vedra {

// SHA-256 (hex) of the byte-sorted codes of every record joined with "|".
// Cost: one pass over the codes in `order` (which must be built from the state
// being described), hashed a buffer at a time; the form without it sorts
// them first.
std::string codes_digest(const CodeOrder& order);
std::string codes_digest(const EngineState& s);

// The manifest text for the given paths and clock reading.
// REQUIRES: `order` was built from `s`.
std::string manifest_text(const EngineState& s, const CodeOrder& order, const std::string& full_path,
                          const std::string& index_path, long long created_at);
std::string manifest_text(const EngineState& s, const std::string& full_path, const std::string& index_path,
                          long long created_at);

}  // namespace vedra
