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

// FileSetWriter: replaces up to kMaxFilesTogether files as one unit.  After
// commit() every target holds its new bytes; a failure at any step, inside
// commit() included (std::bad_alloc too), leaves every old file as it was
// (bar the exceptions the protocol names: special files, and renames where
// the file system cannot exchange), and the message says otherwise only if
// undoing failed too; a process killed at any point leaves the old set, the
// new set, or a set that readers refuse until the next save, and at most
// its own temporary files, which the next write to the target removes.
//
// How (temporary files and their debris, commit markers, the renames, the
// targets written in place or the plain way, links, the messages) is the
// save protocol, described once, in docs/snapshot_format.md, "Writing", and
// implemented by file_writer.cc and file_commit.h.
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
  // directory, an unreachable directory, a refused link or file (the
  // protocol's "Before anything changes"), or when the set already holds
  // kMaxFilesTogether files.
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
  // Replaces the first bytes.size() bytes of what was appended to file i,
  // such as a header whose fields are known only once the rest is written.
  // REQUIRES: at least bytes.size() bytes appended; file i not finished.
  // Failures as append().
  Status rewrite_start(size_t i, std::string_view bytes);
  // Forgets everything appended to file i: its contents start again empty
  // (a temporary file is removed, and the next append makes a new one).
  // REQUIRES: file i not finished.  Fails as append() did, if it did.
  Status restart(size_t i);
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
