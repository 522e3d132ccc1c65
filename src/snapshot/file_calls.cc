#include "snapshot/file_calls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace vedra {
namespace {

FileCallHook g_hook = nullptr;

// Runs `call` unless the hook fails it; retries while interrupted.
template <typename Call>
auto run(const FileCall& what, Call&& call) -> decltype(call()) {
  for (;;) {
    if (g_hook != nullptr) {
      if (const int err = g_hook(what); err != 0) {
        if (err == EINTR) continue;
        errno = err;
        return static_cast<decltype(call())>(-1);
      }
    }
    const auto r = call();
    if (r == static_cast<decltype(call())>(-1) && errno == EINTR) continue;
    return r;
  }
}

FileCall on_fd(FileOp op, int fd) { return FileCall{op, fd, nullptr, -1, nullptr, 0}; }
FileCall on_name(FileOp op, int dir, const char* name) { return FileCall{op, dir, name, -1, nullptr, 0}; }

}  // namespace

void set_file_call_hook_for_testing(FileCallHook hook) { g_hook = hook; }

namespace sys {

int open(const char* path, int flags, mode_t mode) {
  return run(on_name(FileOp::kOpen, AT_FDCWD, path), [&] { return ::open(path, flags, mode); });
}
int openat(int dir, const char* name, int flags, mode_t mode) {
  return run(on_name(FileOp::kOpen, dir, name), [&] { return ::openat(dir, name, flags, mode); });
}
int stat(const char* path, struct stat* st) {
  return run(on_name(FileOp::kStat, AT_FDCWD, path), [&] { return ::stat(path, st); });
}
int lstat(const char* path, struct stat* st) {
  return run(on_name(FileOp::kStat, AT_FDCWD, path), [&] { return ::lstat(path, st); });
}
int fstat(int fd, struct stat* st) {
  return run(on_fd(FileOp::kStat, fd), [&] { return ::fstat(fd, st); });
}
int fstatat(int dir, const char* name, struct stat* st, int flags) {
  return run(on_name(FileOp::kStat, dir, name), [&] { return ::fstatat(dir, name, st, flags); });
}
int statx_attributes(int dir, const char* name, int flags, uint64_t* attributes, uint64_t* mask) {
  struct statx sx;
  const int r = run(on_name(FileOp::kStat, dir, name),
                    [&] { return ::statx(dir, name, flags, 0, &sx); });
  if (r == 0) {
    *attributes = sx.stx_attributes;
    *mask = sx.stx_attributes_mask;
  }
  return r;
}
int faccessat(int dir, const char* name, int mode, int flags) {
  return run(on_name(FileOp::kAccess, dir, name), [&] { return ::faccessat(dir, name, mode, flags); });
}
ssize_t readlink(const char* path, char* buf, size_t size) {
  return run(on_name(FileOp::kReadLink, AT_FDCWD, path), [&] { return ::readlink(path, buf, size); });
}
DIR* fdopendir(int fd) {
  if (g_hook != nullptr) {
    if (const int err = g_hook(on_fd(FileOp::kList, fd)); err != 0 && err != EINTR) {
      errno = err;
      return nullptr;
    }
  }
  return ::fdopendir(fd);
}
struct dirent* readdir(DIR* d) {
  for (;;) {
    if (g_hook != nullptr) {
      if (const int err = g_hook(on_fd(FileOp::kList, ::dirfd(d))); err != 0) {
        if (err == EINTR) continue;
        errno = err;
        return nullptr;
      }
    }
    return ::readdir(d);
  }
}
ssize_t read(int fd, void* buf, size_t size) {
  return run(on_fd(FileOp::kRead, fd), [&] { return ::read(fd, buf, size); });
}
ssize_t pread(int fd, void* buf, size_t size, off_t at) {
  return run(on_fd(FileOp::kRead, fd), [&] { return ::pread(fd, buf, size, at); });
}
ssize_t write(int fd, const void* buf, size_t size) {
  return run(on_fd(FileOp::kWrite, fd), [&] { return ::write(fd, buf, size); });
}
ssize_t pwrite(int fd, const void* buf, size_t size, off_t at) {
  return run(on_fd(FileOp::kWrite, fd), [&] { return ::pwrite(fd, buf, size, at); });
}
int fsync(int fd) { return run(on_fd(FileOp::kSync, fd), [&] { return ::fsync(fd); }); }
int start_write_back(int fd, off_t at, off_t size) {
  return run(on_fd(FileOp::kWriteBack, fd), [&] { return ::sync_file_range(fd, at, size, SYNC_FILE_RANGE_WRITE); });
}
int fchmod(int fd, mode_t mode) { return run(on_fd(FileOp::kChmod, fd), [&] { return ::fchmod(fd, mode); }); }
int ftruncate(int fd, off_t size) {
  return run(on_fd(FileOp::kTruncate, fd), [&] { return ::ftruncate(fd, size); });
}
int fallocate(int fd, int mode, off_t at, off_t size) {
  return run(on_fd(FileOp::kAllocate, fd), [&] { return ::fallocate(fd, mode, at, size); });
}
int renameat2(int dir, const char* from, int dir2, const char* to, unsigned flags) {
  return run(FileCall{FileOp::kRename, dir, from, dir2, to, flags},
             [&] { return ::renameat2(dir, from, dir2, to, flags); });
}
int unlinkat(int dir, const char* name, int flags) {
  return run(on_name(FileOp::kUnlink, dir, name), [&] { return ::unlinkat(dir, name, flags); });
}
int flock(int fd, int op) {
  FileCall what = on_fd(FileOp::kLock, fd);
  what.flags = static_cast<unsigned>(op);
  return run(what, [&] { return ::flock(fd, op); });
}
ssize_t getrandom(void* buf, size_t size, unsigned flags) {
  return run(on_fd(FileOp::kRandom, -1), [&] { return ::getrandom(buf, size, flags); });
}

}  // namespace sys
}  // namespace vedra
