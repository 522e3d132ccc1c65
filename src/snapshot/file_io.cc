#include "snapshot/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "snapshot/sha256.h"

namespace vedra {
namespace {

// Same bound as the kernel's limit on symbolic links followed in one lookup.
constexpr int kMaxSymlinkHops = 40;
// Longest file name (one path component) we create; NAME_MAX on Linux.
constexpr size_t kMaxNameLength = 255;
constexpr std::string_view kTempSuffix = ".vedra-tmp";

ReplaceFaultHook g_replace_fault_hook = nullptr;

Status os_error(int errnum) { return Status::Error(os_error_message(errnum)); }

Status check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::Error("file name contained an unexpected NUL byte");
  }
  return Status::Ok();
}

// Closes `fd` on scope exit; release() hands ownership back.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Status write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return Status::Error("failed to write whole buffer");
    p += n;
    left -= static_cast<size_t>(n);
  }
  return Status::Ok();
}

// Plain write: create or truncate, write all, close.
Status write_in_place(const std::string& path, std::string_view bytes) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  Status s = write_all(fd, bytes);
  if (::close(fd) != 0 && s.ok() && errno != EINTR) s = os_error(errno);
  return s;
}

mode_t current_umask() {
  // /proc avoids the set-and-restore race of umask(2) with other threads.
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned int mask = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::sscanf(line, "Umask: %o", &mask) == 1) {
        found = true;
        break;
      }
    }
    std::fclose(f);
    if (found) return static_cast<mode_t>(mask);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// Splits `path` (which does not end in '/') into its directory part, with
// the trailing '/' kept ("" for a bare name), and its last component.
void split_path(const std::string& path, std::string* dir, std::string* base) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir->clear();
    *base = path;
  } else {
    *dir = path.substr(0, slash + 1);
    *base = path.substr(slash + 1);
  }
}

std::string temp_path_for(const std::string& target) {
  std::string dir, base;
  split_path(target, &dir, &base);
  std::string name = "." + base + std::string(kTempSuffix);
  if (name.size() > kMaxNameLength) {
    name = "." + sha256_hex(base).substr(0, 40) + std::string(kTempSuffix);
  }
  return dir + name;
}

void sync_directory_of(const std::string& target) {
  std::string dir, base;
  split_path(target, &dir, &base);
  if (dir.empty()) dir = ".";
  const int fd = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens and exclusively locks the temporary file at `temp`, creating it if
// needed.  On success *fd_out is a writable descriptor of the file that is at
// `temp` now and stays there while the lock is held, since every writer
// removes or renames it only while holding the lock.
Status lock_temp_file(const std::string& temp, int* fd_out) {
  for (;;) {
    // O_NONBLOCK keeps a FIFO planted at the name from blocking the open.
    int fd = open_retrying(temp.c_str(),
                           O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    bool stale_read_only = false;
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
      // A stale temporary file left read-only by a killed writer: lock it
      // through a read-only descriptor, then remove it and start again.
      fd = open_retrying(temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
      if (fd < 0) return os_error(EACCES);
      stale_read_only = true;
    }
    if (fd < 0) return os_error(errno);
    FdCloser closer(fd);
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return os_error(errno);
    struct stat locked, current;
    if (::fstat(fd, &locked) != 0) return os_error(errno);
    if (::lstat(temp.c_str(), &current) != 0) {
      if (errno == ENOENT) continue;  // renamed or removed by the previous holder
      return os_error(errno);
    }
    if (!same_file(locked, current)) continue;  // replaced while we waited
    if (!S_ISREG(locked.st_mode)) return os_error(EEXIST);
    if (stale_read_only) {
      if (::unlink(temp.c_str()) != 0) return os_error(errno);
      continue;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return os_error(errno);
    *fd_out = closer.release();
    return Status::Ok();
  }
}

// Fills the locked temporary file and renames it over `target`.
Status fill_and_rename(int fd, const std::string& temp, const std::string& target,
                       std::string_view bytes, const struct stat* old) {
  if (::ftruncate(fd, 0) != 0) return os_error(errno);
  if (Status s = write_all(fd, bytes); !s.ok()) return s;
  mode_t mode;
  if (old != nullptr) {
    // Best effort: only a privileged writer can hand the file to another owner.
    if (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) {
      (void)::fchown(fd, old->st_uid, old->st_gid);
    }
    mode = old->st_mode & 07777;
  } else {
    mode = 0666 & ~current_umask();
  }
  if (::fchmod(fd, mode) != 0) return os_error(errno);
  if (::fsync(fd) != 0) return os_error(errno);
  if (g_replace_fault_hook != nullptr) {
    if (Status s = g_replace_fault_hook(temp); !s.ok()) return s;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) return os_error(errno);
  return Status::Ok();
}

Status replace_file(const std::string& target, std::string_view bytes, const struct stat* old) {
  const std::string temp = temp_path_for(target);
  int fd = -1;
  if (Status s = lock_temp_file(temp, &fd); !s.ok()) return s;
  Status s = fill_and_rename(fd, temp, target, bytes, old);
  if (!s.ok()) ::unlink(temp.c_str());  // still under the lock
  ::close(fd);
  if (s.ok()) sync_directory_of(target);
  return s;
}

}  // namespace

std::string os_error_message(int errnum) {
  char buf[256];
  // GNU strerror_r: returns the description, possibly not in buf.
  const char* text = ::strerror_r(errnum, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Result<std::string> read_file_prefix(const std::string& path, ReadLimit wanted) {
  if (Status s = check_path(path); !s.ok()) return s;
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return os_error(errno);
  FdCloser closer(fd);
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

Result<std::string> read_whole_file(const std::string& path) {
  return read_file_prefix(path, [](std::string_view) { return UINT64_MAX; });
}

Status write_whole_file(const std::string& path, std::string_view bytes) {
  if (Status s = check_path(path); !s.ok()) return s;
  // "name/" can only be a directory: let the plain open report it.
  if (path.empty() || path.back() == '/') return write_in_place(path, bytes);
  std::string target = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno == ENOENT) return replace_file(target, bytes, nullptr);
      // Unreachable or unnamable: the plain open gives the same answer.
      return write_in_place(target, bytes);
    }
    if (S_ISREG(st.st_mode)) return replace_file(target, bytes, &st);
    if (!S_ISLNK(st.st_mode)) return write_in_place(target, bytes);
    if (hops == kMaxSymlinkHops) return os_error(ELOOP);
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX), '\0');
    for (;;) {
      const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
      if (n < 0) return os_error(errno);
      if (static_cast<size_t>(n) < link.size()) {
        link.resize(static_cast<size_t>(n));
        break;
      }
      link.resize(link.size() * 2);  // the link changed size under us
    }
    if (link.empty()) return os_error(ENOENT);
    if (link.front() == '/') {
      target = std::move(link);
    } else {
      std::string dir, base;
      split_path(target, &dir, &base);
      target = dir + link;
    }
    if (target.back() == '/') return write_in_place(target, bytes);
  }
}

void set_replace_fault_hook_for_testing(ReplaceFaultHook hook) { g_replace_fault_hook = hook; }

}  // namespace vedra
