// The file-system calls of the snapshot files.  Each goes through one of the
// wrappers below, so that a test can count them, see what they act on and
// fail any one of them (set_file_call_hook_for_testing).
//
// Every wrapper behaves as the call it names (-1, or nullptr, with errno set
// on failure), except that a call interrupted by a signal (EINTR) is retried;
// close() is not wrapped (it is never retried and its failure is ignored).
//
// Thread safety: the hook is process-global; set it only while no snapshot
// file call runs.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace vedra {

// What a wrapped call does.
enum class FileOp : uint8_t {
  kOpen,      // open, openat
  kStat,      // stat, lstat, fstat, fstatat, statx
  kAccess,    // faccessat
  kReadLink,  // readlink
  kList,      // fdopendir, readdir
  kRead,      // read, pread
  kWrite,     // write, pwrite
  kSync,      // fsync
  kChmod,     // fchmod
  kTruncate,  // ftruncate
  kAllocate,  // fallocate
  kRename,    // renameat2
  kUnlink,    // unlinkat
  kLock,      // flock
  kRandom,    // getrandom
  kWriteBack, // sync_file_range (starting write-back only)
};

// One call as the hook sees it.
struct FileCall {
  FileOp op;
  int fd;             // the descriptor acted on, or the directory `name` is
                      // relative to (AT_FDCWD for a plain path)
  const char* name;   // the path or name acted on, or nullptr
  int fd2;            // renameat2: the new name's directory
  const char* name2;  // renameat2: the new name
  unsigned flags;     // renameat2's flags, flock's operation
};

// Returns 0 to let the call run, or the errno value it fails with instead
// (EINTR: the wrapper retries, asking the hook again).
using FileCallHook = int (*)(const FileCall& call);
// Test-only.  Pass nullptr to clear.
void set_file_call_hook_for_testing(FileCallHook hook);

namespace sys {

int open(const char* path, int flags, mode_t mode = 0);
int openat(int dir, const char* name, int flags, mode_t mode = 0);
int stat(const char* path, struct stat* st);
int lstat(const char* path, struct stat* st);
int fstat(int fd, struct stat* st);
int fstatat(int dir, const char* name, struct stat* st, int flags);
// statx's stx_attributes and stx_attributes_mask for `name` in `dir`.
int statx_attributes(int dir, const char* name, int flags, uint64_t* attributes, uint64_t* mask);
int faccessat(int dir, const char* name, int mode, int flags);
ssize_t readlink(const char* path, char* buf, size_t size);
DIR* fdopendir(int fd);
struct dirent* readdir(DIR* d);
ssize_t read(int fd, void* buf, size_t size);
ssize_t pread(int fd, void* buf, size_t size, off_t at);
ssize_t write(int fd, const void* buf, size_t size);
ssize_t pwrite(int fd, const void* buf, size_t size, off_t at);
int fsync(int fd);
// Starts writing the file's dirty pages in [at, at + size) to its device,
// without waiting for them (sync_file_range with SYNC_FILE_RANGE_WRITE):
// advice that makes a later fsync() shorter, never a substitute for it.
int start_write_back(int fd, off_t at, off_t size);
int fchmod(int fd, mode_t mode);
int ftruncate(int fd, off_t size);
int fallocate(int fd, int mode, off_t at, off_t size);
int renameat2(int dir, const char* from, int dir2, const char* to, unsigned flags);
int unlinkat(int dir, const char* name, int flags);
int flock(int fd, int op);
ssize_t getrandom(void* buf, size_t size, unsigned flags);

}  // namespace sys
}  // namespace vedra
