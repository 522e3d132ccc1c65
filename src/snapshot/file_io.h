// Whole-file reads and writes whose failures are Status values.
//
// Every operating-system failure is reported as "<description> (os error N)",
// for example "No such file or directory (os error 2)", where the description
// is the C library's text for errno N.  A path holding a NUL byte names no
// file and is refused before anything is opened.
//
// Thread safety: the functions keep no state of their own and may be called
// from several threads at once; writers of the same files, in threads or
// processes, are serialised by directory locks (see FileSetWriter).  The
// test hooks below are process-global.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

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

// How long FileSetWriter::commit() and read_files_together() wait for a
// directory lock before failing with "timed out after 10 s waiting for
// another snapshot save or load to release directory '<dir>'".
inline constexpr int kCommitLockWaitSeconds = 10;

// Reads the files at `paths` (at most kMaxFilesTogether) as they stood at one
// moment with respect to FileSetWriter::commit: every file is opened while
// shared locks are held on the directories a commit into them would lock, so
// no commit renames anything in between.  Then the locks are dropped and the
// files are read from their descriptors: element i is file i's bytes (at
// most wanted(...) of them, as read_file_prefix) or its own failure.  FIFOs
// and other non-regular files are opened only after the locks are dropped,
// so one that blocks its open holds no lock.  A lock
// not obtained within the commit lock wait fails every file with the same
// message; a directory that cannot be opened for reading is not locked.
inline constexpr size_t kMaxFilesTogether = 4;
std::vector<Result<std::string>> read_files_together(const std::vector<std::string>& paths,
                                                     ReadLimit wanted);

// FileSetWriter: replaces up to kMaxFilesTogether files as one unit.
//
// Protocol, per target (after symbolic links are followed, see add()):
//  1. A temporary file is created exclusively in the target's directory
//     (O_CREAT | O_EXCL | O_NOFOLLOW, mode 0600), named
//     ".<name>.<32 random hex digits>.vedra-tmp" (a SHA-256 prefix of <name>
//     when the name would not fit in 255 bytes), and flock(LOCK_EX)ed for as
//     long as its writer lives.  Nothing found at any name is ever opened for
//     writing, followed or adopted, so nothing planted can be written through
//     or handed the new bytes.
//  2. Before that, dead temporaries of the same target are removed: a name of
//     the form above for this target, a regular file owned by our euid with
//     one link, that is not flock-locked (so its writer is gone), and that is
//     not the target of any file of the same set.  Anything else is left
//     alone.  Debris from killed writers is therefore bounded: the next write
//     to the target removes it.
//  3. The bytes are written, the file gets the target's permission bits (the
//     old file's, or 0666 & ~umask for a new file; the owner is never
//     changed), and it is fsynced.
//  4. commit() runs only after every file is written and synced.  It takes an
//     exclusive flock on each target directory (one per directory, in
//     (st_dev, st_ino) order so two sets cannot deadlock), polled up to
//     kCommitLockWaitSeconds; then renames the temporaries in the order the
//     files were added, fsyncs the directories, and unlocks.  Two sets with a
//     common directory never interleave their renames, and read_files_together
//     never opens one file before and another after a commit.
// Any failure before commit() renames anything removes every temporary file
// of the set and leaves every old file untouched; a process killed at any
// point can leave at most its own temporaries (dead debris, see 2) and, only
// if killed between two renames of commit(), a set of which the first files
// are new and the rest old.
//
// Kinds of targets:
//  - a regular file or nothing (the usual case): replaced as above; other hard
//    links to the old file keep the old contents.
//  - a regular file in a directory that refuses the temporary file (EACCES,
//    EPERM or EROFS on create) while the file itself can be opened for
//    writing: written in place, under the commit lock, before the renames
//    (truncate, write, fsync).  A failure there can leave that file partly
//    written.  A missing target in such a directory fails, naming the
//    temporary path.
//  - any other existing non-directory (a character device such as /dev/null,
//    a FIFO): written the plain way (open with create and truncate, write
//    all, close), at the start of commit(), before any lock or rename.
//  - a directory: "Is a directory (os error 21)".
//
// Symbolic links are followed to their final target, which is what gets
// replaced; the links are kept.  More than 40 hops fail with ELOOP's message.
// As the kernel's protected_symlinks, protected_regular and protected_fifos
// rules do for a plain open, a link, a regular file or a FIFO in a sticky
// world-writable directory (such as /tmp) that belongs neither to us nor to
// the directory's owner is refused with "Permission denied (os error 13)":
// it is not followed, replaced or written.
//
// Messages: failures on a target or its directory have the form
// "<description> (os error N)"; failures on a temporary file name it, as
// "cannot <verb> temporary file '<path>': <description> (os error N)".
// Interrupted calls are retried; a write that accepts zero bytes fails with
// "failed to write whole buffer".
//
// Thread safety: one object per thread; different objects may run at once,
// also on the same targets (their commits then serialise on the locks).
// Cost: each write() scans the target's directory once.
namespace file_io_detail {
struct Entry;
struct EntryDeleter {
  void operator()(Entry* e) const;
};
}  // namespace file_io_detail

class FileSetWriter {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);

  FileSetWriter();
  // Removes every temporary file that was not renamed, closes everything.
  ~FileSetWriter();
  FileSetWriter(const FileSetWriter&) = delete;
  FileSetWriter& operator=(const FileSetWriter&) = delete;

  // Resolves `path` to its final target, opens the target's directory and
  // decides the kind of write.  Fails (the set unchanged) on a NUL byte, a
  // directory, an unreachable directory, a refused link or file (see above),
  // or when the set already holds kMaxFilesTogether files.
  Status add(const std::string& path);
  // The position of an earlier file of the set whose final target is the
  // same name in the same directory as file i's, or npos.  Special files
  // (devices, FIFOs) never count as the same: writing one twice is harmless.
  size_t same_target(size_t i) const;
  // Writes file i's new contents: into its temporary file, synced (see the
  // protocol), or kept for commit() when it is written in place.
  // REQUIRES: every file of the set added; each i written at most once.
  // On failure the temporary file is already removed.
  Status write(size_t i, std::string_view bytes);
  // Makes every file hold its new contents (see the protocol).
  // REQUIRES: every file written; call once.
  Status commit();

 private:
  std::unique_ptr<file_io_detail::Entry, file_io_detail::EntryDeleter> entries_[kMaxFilesTogether];
  size_t count_ = 0;
  bool committed_ = false;
};

// Makes the file at `path` hold exactly `bytes`: a FileSetWriter of one file.
Status write_whole_file(const std::string& path, std::string_view bytes);

// Test-only fault injection.  While set, FileSetWriter calls `hook` with the
// temporary file's path at two points: kWritten after the temporary file is
// written and synced, kRenaming just before commit() renames it.  A failed
// Status aborts the write exactly as an operating-system failure at that
// point would.  Pass nullptr to clear.  Not thread-safe: set it only while no
// write is running.
enum class ReplaceStage { kWritten, kRenaming };
using ReplaceFaultHook = Status (*)(ReplaceStage stage, const std::string& temp_path);
void set_replace_fault_hook_for_testing(ReplaceFaultHook hook);

// Test-only: the lock wait in milliseconds (0 restores kCommitLockWaitSeconds).
void set_lock_wait_for_testing(int milliseconds);

}  // namespace vedra
