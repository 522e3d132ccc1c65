// The directory side of the save protocol: the names of temporary files, the
// removal of dead ones, and the directory locks under which a set of files is
// renamed into place and read back as one.
//
// Thread safety: no shared state apart from the process-global test hook
// below; DirectoryLocks objects are used by one thread each.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace vedra {

// The most files one FileSetWriter set, or one read_files_together, handles.
inline constexpr size_t kMaxFilesTogether = 4;

// How long FileSetWriter::commit() and read_files_together() wait for a
// directory lock before failing with "timed out after 10 s waiting for
// another snapshot save or load to release directory '<dir>'".
inline constexpr int kCommitLockWaitSeconds = 10;

// A temporary file is named ".<stem>.<kTempRandomHex hex digits><kTempSuffix>".
inline constexpr size_t kTempRandomHex = 32;  // 128 random bits
inline constexpr std::string_view kTempSuffix = ".vedra-tmp";

// A set of directories, each locked once, in (st_dev, st_ino) order so that
// two sets cannot deadlock; unlocked on destruction.  Does not own the
// descriptors.
class DirectoryLocks {
 public:
  DirectoryLocks() = default;
  DirectoryLocks(const DirectoryLocks&) = delete;
  DirectoryLocks& operator=(const DirectoryLocks&) = delete;
  ~DirectoryLocks() { unlock(); }
  void unlock();
  // Adds a directory; one already present (same st_dev and st_ino) is skipped.
  void add(int fd, const struct stat& st, const std::string& path);
  // flock(op) on every directory, each polled with LOCK_NB for at most the
  // lock wait; a file system that does not support flock leaves the
  // directory unlocked.
  Status lock(int op);
  // fsyncs every directory; failures are ignored.
  void sync_all() const;

 private:
  struct Dir {
    int fd;
    dev_t dev;
    ino_t ino;
    std::string path;
    bool locked;
  };
  std::vector<Dir> dirs_;
};

// The part of a temporary file's name that names its target: the name, or a
// SHA-256 prefix of it when ".<name>.<hex>.vedra-tmp" would not fit in 255
// bytes.
std::string temp_stem(const std::string& name);

// Whether `entry` is a name this protocol makes for a target of stem `stem`.
bool is_temp_name_of(std::string_view entry, const std::string& stem);

// kTempRandomHex lowercase hex digits from getrandom.
Status random_hex(std::string* out);

// Removes `name` in `dir_fd` if it is provably a dead temporary file: a
// regular file of ours with one link that no live writer holds locked.
void remove_if_dead(int dir_fd, const char* name);

// Test-only: the lock wait in milliseconds (0 restores kCommitLockWaitSeconds).
void set_lock_wait_for_testing(int milliseconds);

}  // namespace vedra
