// Whole-file reads and writes whose failures are Status values.
//
// Every operating-system failure is reported as "<description> (os error N)",
// for example "No such file or directory (os error 2)", where the description
// is the C library's text for errno N.  A path holding a NUL byte names no
// file and is refused before anything is opened.
//
// Thread safety: the functions keep no state of their own and may be called
// from several threads at once; concurrent writes to the same path, from
// threads or processes, are serialised by a lock file (see write_whole_file).
// The fault hook below is process-global and is for tests only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lib/status.h"

namespace vedra {

// Returns "<strerror description> (os error <errnum>)".
std::string os_error_message(int errnum);

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

// Makes the file at `path` hold exactly `bytes`.
//
// Symbolic links are followed to their final target, which is what gets
// replaced; the links themselves are kept.
//
// A target that is a regular file, or does not exist yet, is replaced
// atomically: the bytes go to the temporary file ".<name>.vedra-tmp" beside
// it (a hashed name when that would be too long), which is locked with
// flock(LOCK_EX), truncated, written, given the old file's permissions (or
// 0666 & ~umask for a new file), fsynced and renamed over the target; then
// the directory is fsynced, best effort.  On any failure the temporary file
// is removed and the old file is left untouched.  Because the temporary name
// is fixed per target, a writer killed outright leaves at most one stale
// temporary file, which the next write to the same path reuses.  Replacing
// gives the target a new inode: other hard links keep the old contents.
// A directory that does not allow creating the temporary file makes the write
// fail even when the target itself is writable.
//
// Any other existing target (a character device such as /dev/null, a FIFO)
// is written in place: open with create and truncate, write all, close.  A
// directory fails with "Is a directory (os error 21)".
//
// Interrupted writes are retried; a write that accepts zero bytes fails with
// "failed to write whole buffer".
Status write_whole_file(const std::string& path, std::string_view bytes);

// Test-only fault injection.  While set, write_whole_file calls `hook` with
// the temporary file's path after the temporary file is written and synced
// and before it is renamed; a failed Status aborts the replace exactly as an
// operating-system failure at that point would.  Pass nullptr to clear.
// Not thread-safe: set it only while no write is running.
using ReplaceFaultHook = Status (*)(const std::string& temp_path);
void set_replace_fault_hook_for_testing(ReplaceFaultHook hook);

}  // namespace vedra
