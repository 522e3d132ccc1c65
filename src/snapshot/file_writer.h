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
//  3. The bytes are written (as append() delivers them), the file gets the
//     target's permission bits (the old file's, or 0666 & ~umask for a new
//     file; the owner is never changed), and it is fsynced.
//  4. commit() runs only after every file is written and synced.  It makes
//     the commit marker of every target (file_commit.h), waiting at most the
//     commit wait for another writer's, so two sets with a common target
//     never interleave and read_files_together never accepts one file from
//     before and another from after a commit.  Then it rewrites the in-place
//     files and moves the temporaries to their names in the order the files
//     were added: renameat2 RENAME_EXCHANGE over an old file (which then
//     sits at the temporary name), RENAME_NOREPLACE where there was none.
//     Then it removes the markers and the old files and fsyncs each
//     directory once.
// A save can be undone until it is complete: any failure before commit()
// removes every temporary file of the set and leaves every old file
// untouched; any failure inside commit() (std::bad_alloc included) undoes
// every step already taken, in reverse (exchanged back, created name
// removed, in-place file given its old bytes back), and the message says so
// only if undoing failed too.  A process killed at any point can leave at
// most its own temporaries (dead debris, see 2) and, only if killed inside
// commit(), a set of which the first files are new and the rest old beside
// its markers, which readers then refuse until the next save.
//
// Kinds of targets, decided by add() before anything changes:
//  - nothing, or a regular file a rename can replace (the usual case):
//    replaced as above; other hard links to the old file keep the old
//    contents.
//  - a regular file the caller may not write (a read-only file, for root
//    only what a plain write would refuse), an immutable or an append-only
//    one: refused, with the message a plain write gives ("Permission denied
//    (os error 13)"), or "cannot write '<target>': it is immutable: ..." /
//    "... it is append-only: ...".
//  - a regular file a rename cannot replace but that can be written (a mount
//    point such as a bind-mounted file, a file in an append-only directory,
//    another user's file in a sticky directory), or one in a directory that
//    refuses the temporary file (EACCES, EPERM or EROFS on create): written
//    in place inside commit(), before the renames.  The space of every
//    in-place file is reserved (fallocate, size kept) before the first byte
//    of any is written; if that fails nothing is written ("cannot write
//    '<target>' in place: the space for its N bytes cannot be reserved:
//    ...").  Each file's old contents are kept in memory to undo its rewrite.
//    A missing target in a directory that refuses new files fails, naming the
//    temporary path.
//  - any other existing non-directory (a character device such as /dev/null,
//    a FIFO): written the plain way (open with create and truncate, write
//    all, close), at the start of commit(), before any marker; never undone.
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
// Interrupted calls are retried (file_calls.h); a write that accepts zero
// bytes fails with
// "failed to write whole buffer".
//
// Thread safety: one object per thread; different objects may run at once,
// also on the same targets (their commits then serialise on the markers).
// Cost: each file's first append() scans the target's directory once; a
// temporary file costs kWriteBufferBytes of memory while it is written, an
// in-place file its new and its old contents.
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
  // The part of commit() under the commit markers: in-place files, then
  // renames; everything undone on failure.
  Status commit_marked();

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
