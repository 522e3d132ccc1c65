#include "snapshot/file_read.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "snapshot/file_commit.h"
#include "snapshot/file_path.h"

namespace vedra {

namespace {

// Reads from `fd` as read_file_prefix describes.
Result<std::string> read_fd_prefix(int fd, ReadLimit wanted) {
  struct stat st;
  // Size of a regular file, plus one spare byte that lets the final read see
  // end of file without growing; 0 when the size is not known in advance.
  uint64_t known = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    known = static_cast<uint64_t>(st.st_size) + 1;
  }
  std::string data;
  size_t used = 0;
  uint64_t want = wanted(std::string_view());
  while (used < want) {
    if (used == data.size()) {
      uint64_t target = known != 0 ? known : std::max<uint64_t>(8192, 2 * uint64_t{data.size()});
      if (target <= used) target = 2 * uint64_t{used};  // the file grew past its size
      target = std::min(target, want);
      data.resize(static_cast<size_t>(target));
    }
    const ssize_t n = ::read(fd, data.data() + used, data.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
    want = wanted(std::string_view(data.data(), used));
  }
  data.resize(std::min<uint64_t>(used, want));
  return data;
}

}  // namespace

Result<std::string> read_file_prefix(const std::string& path, ReadLimit wanted) {
  if (Status s = check_path(path); !s.ok()) return s;
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return os_error(errno);
  FdCloser closer(fd);
  return read_fd_prefix(fd, wanted);
}

std::vector<Result<std::string>> read_files_together(const std::vector<std::string>& paths,
                                                     ReadLimit wanted) {
  const size_t n = std::min(paths.size(), kMaxFilesTogether);
  // The directories a commit into these files would lock.  A path that does
  // not resolve is not locked; its open below reports the failure.
  std::vector<int> dir_fds;
  DirectoryLocks locks;
  for (size_t i = 0; i < n; ++i) {
    const std::string& path = paths[i];
    if (!check_path(path).ok() || path.empty() || path.back() == '/') continue;
    Resolved r;
    if (!resolve_target(path, &r).ok()) continue;
    std::string dir, base;
    split_path(r.target, &dir, &base);
    bool readable = false;
    const int fd = open_directory(dir, &readable);
    if (fd < 0) continue;
    struct stat st;
    if (!readable || ::fstat(fd, &st) != 0) {
      ::close(fd);
      continue;
    }
    dir_fds.push_back(fd);
    locks.add(fd, st, dir);
  }
  std::vector<Result<std::string>> out;
  const Status locked = locks.lock(LOCK_SH);
  int fds[kMaxFilesTogether];
  int errs[kMaxFilesTogether];
  for (size_t i = 0; i < n && locked.ok(); ++i) {
    fds[i] = -1;
    errs[i] = 0;
    if (!check_path(paths[i]).ok()) continue;
    // O_NONBLOCK: a FIFO opens at once here and is reopened, blocking, below.
    fds[i] = open_retrying(paths[i].c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fds[i] < 0) {
      errs[i] = errno;
      continue;
    }
    struct stat st;
    if (::fstat(fds[i], &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fds[i]);
      fds[i] = -2;  // not a regular file: open after unlocking
      continue;
    }
    const int flags = ::fcntl(fds[i], F_GETFL);
    if (flags >= 0) (void)::fcntl(fds[i], F_SETFL, flags & ~O_NONBLOCK);
  }
  locks.unlock();
  for (int fd : dir_fds) ::close(fd);
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!locked.ok()) {
      out.push_back(locked);
      continue;
    }
    if (i >= n) {
      out.push_back(Status::Error("too many files in one read"));
      continue;
    }
    if (Status s = check_path(paths[i]); !s.ok()) {
      out.push_back(s);
      continue;
    }
    if (fds[i] == -2) {
      out.push_back(read_file_prefix(paths[i], wanted));
      continue;
    }
    if (fds[i] < 0) {
      out.push_back(os_error(errs[i]));
      continue;
    }
    FdCloser closer(fds[i]);
    out.push_back(read_fd_prefix(fds[i], wanted));
  }
  return out;
}

Result<std::string> read_whole_file(const std::string& path) {
  return read_file_prefix(path, [](std::string_view) { return UINT64_MAX; });
}

}  // namespace vedra
