// FileSetWriter: the save's writer, which replaces up to kMaxFilesTogether
// files as one unit; and write_whole_file, a set of one.
//
// Failures have the forms of file_path.h.  Thread safety: see FileSetWriter;
// the test hook below is process-global.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"
#include "snapshot/file_commit.h"

namespace vedra {

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
//  3. The bytes are written (as append() delivers them), the file gets the target's permission bits (the
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
// Cost: each file's first append() scans the target's directory once; a
// temporary file costs kWriteBufferBytes of memory while it is written.
namespace file_writer_detail {
struct Entry;
struct EntryDeleter {
  void operator()(Entry* e) const;
};
}  // namespace file_writer_detail

class FileSetWriter {
 public:
  static constexpr size_t npos = static_cast<size_t>(-1);
  // Bytes a temporary file gathers before they are written to it.
  static constexpr size_t kWriteBufferBytes = size_t{1} << 20;

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
  // Appends the next bytes of file i's new contents; may be called any
  // number of times.  The first call (or finish(), for an empty file)
  // removes the target's dead temporaries and creates its temporary file.
  // A temporary file is written through a buffer of kWriteBufferBytes, so a
  // large file never has to exist whole in memory; a file written in place
  // or a special file keeps its bytes in memory for commit().
  // REQUIRES: every file of the set added; file i not finished.
  // On failure the temporary file is already removed and every later call
  // for file i fails the same way.
  Status append(size_t i, std::string_view bytes);
  // Ends file i: flushes it, gives it its mode and syncs it (see the
  // protocol), or keeps it for commit() when it is written in place.
  // REQUIRES: file i not finished.  Failures as append().
  Status finish(size_t i);
  // append(i, bytes), then finish(i).
  Status write(size_t i, std::string_view bytes);
  // Makes every file hold its new contents (see the protocol).
  // REQUIRES: every file finished; call once.
  Status commit();

 private:
  std::unique_ptr<file_writer_detail::Entry, file_writer_detail::EntryDeleter> entries_[kMaxFilesTogether];
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

}  // namespace vedra
