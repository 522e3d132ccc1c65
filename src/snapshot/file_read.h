// Whole-file reads whose failures are Status values ("<description> (os
// error N)", see file_path.h), and the read of several files as they stood at
// one moment with respect to FileSetWriter commits.
//
// Thread safety: no state; every function may be called from several threads
// at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace vedra {

// Reads the whole file at `path` into memory.
// Fails with the system's message when the file cannot be opened or read
// ("Is a directory (os error 21)" for a directory).  Interrupted reads are
// retried.  Cost: one buffer of the file's size, grown geometrically when the
// size is not known in advance (pipes, /proc files).
Result<std::string> read_whole_file(const std::string& path);

// How many bytes from the start of a file a reader needs, given the bytes
// read so far (UINT64_MAX: all of them).
using ReadLimit = uint64_t (*)(std::string_view head);

// Reads the file at `path` from its start until end of file or until
// wanted(bytes so far) bytes are in memory, and returns at most that many.
// `wanted` is asked before the first read and after every read, and no read
// goes past its answer, so a stream that never ends (a character device such
// as /dev/zero, a FIFO) or a huge sparse file costs no more memory than
// `wanted` grants.  Failures as read_whole_file.
Result<std::string> read_file_prefix(const std::string& path, ReadLimit wanted);

// Reads the files at `paths` (at most kMaxFilesTogether) as they stood at one
// moment with respect to FileSetWriter::commit, taking no lock: it opens
// every file, checks that no commit runs into any of them (no commit marker,
// file_commit.h) and that every path still names the file it opened, reads
// them from their descriptors, and checks that none was rewritten in place
// meanwhile (size and modification time); a failed check opens them again.
// Element i is file i's bytes (at most wanted(...) of them, as
// read_file_prefix) or its own failure.  FIFOs and other non-regular files
// are opened (blocking) only to be read, after the checks.  A marker still
// present after the commit wait fails every file with "timed out after N ms
// waiting for a save to finish replacing '<target>' (...)", and 16 openings
// that each saw a commit with "the files kept being replaced while they were
// read (16 times)".
std::vector<Result<std::string>> read_files_together(const std::vector<std::string>& paths,
                                                     ReadLimit wanted);

}  // namespace vedra
