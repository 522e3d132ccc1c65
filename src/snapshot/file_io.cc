#include "snapshot/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
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
// Random hex digits in a temporary file's name (128 bits).
constexpr size_t kTempRandomHex = 32;

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

int g_lock_wait_ms = 0;  // 0: kCommitLockWaitSeconds

Status temp_error(const char* verb, const std::string& temp, const std::string& what) {
  return Status::Error(std::string("cannot ") + verb + " temporary file '" + temp + "': " + what);
}

Status temp_error(const char* verb, const std::string& temp, int errnum) {
  return temp_error(verb, temp, os_error_message(errnum));
}

// Writes all of `bytes`: 0 on success, an errno value, or -1 when a write
// accepted zero bytes.
int write_all_raw(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return -1;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

std::string write_failure_text(int code) {
  return code < 0 ? std::string("failed to write whole buffer") : os_error_message(code);
}

// Plain write: create or truncate, write all, close.
Status write_in_place(const std::string& path, std::string_view bytes) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  const int code = write_all_raw(fd, bytes);
  Status s = code == 0 ? Status::Ok() : Status::Error(write_failure_text(code));
  if (::close(fd) != 0 && s.ok() && errno != EINTR) s = os_error(errno);
  return s;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether an entry owned by `owner` may be used in directory `dir`.  In a
// sticky directory that everyone may write to (such as /tmp), only entries of
// our own or of the directory's owner are: the kernel's protected_symlinks,
// protected_regular and protected_fifos rules, applied whatever the sysctl
// settings, since the links are followed here by hand.
bool trusted_entry(const struct stat& dir, uid_t owner) {
  const bool shared_sticky = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
  return !shared_sticky || owner == ::geteuid() || owner == dir.st_uid;
}

// What a plain open with O_CREAT reports for "name/".
Status trailing_slash_error(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return os_error(errno == ENOENT ? EISDIR : errno);
  return os_error(S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
}

// `path` with its symbolic links followed to the final target.
struct Resolved {
  std::string target;
  bool exists = false;
  struct stat st {};  // lstat of the target when it exists
};

// REQUIRES: path is not empty and does not end in '/'.
Status resolve_target(const std::string& path, Resolved* out) {
  std::string target = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno != ENOENT) return os_error(errno);
      out->target = std::move(target);
      out->exists = false;
      return Status::Ok();
    }
    if (!S_ISLNK(st.st_mode)) {
      out->target = std::move(target);
      out->exists = true;
      out->st = st;
      return Status::Ok();
    }
    if (hops == kMaxSymlinkHops) return os_error(ELOOP);
    std::string dir, base;
    split_path(target, &dir, &base);
    struct stat dir_st;
    if (::stat(dir.empty() ? "." : dir.c_str(), &dir_st) != 0) return os_error(errno);
    if (!trusted_entry(dir_st, st.st_uid)) return os_error(EACCES);
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
    target = link.front() == '/' ? std::move(link) : dir + link;
    if (target.back() == '/') return trailing_slash_error(target);
  }
}

// Directory open for locking, syncing and listing when it can be read; an
// O_PATH descriptor (enough for *at calls) when it cannot.
int open_directory(const std::string& dir, bool* readable) {
  const char* p = dir.empty() ? "." : dir.c_str();
  int fd = open_retrying(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  *readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = open_retrying(p, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  return fd;
}

int lock_wait_ms() { return g_lock_wait_ms > 0 ? g_lock_wait_ms : kCommitLockWaitSeconds * 1000; }

std::string wait_text(int ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

long long monotonic_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// flock(op) on the directory `fd`, polled with LOCK_NB for at most
// lock_wait_ms().  A file system that does not support flock leaves the
// directory unlocked.
Status lock_directory(int fd, int op, const std::string& dir) {
  const int wait = lock_wait_ms();
  const long long deadline = monotonic_ms() + wait;
  long pause_us = 200;
  for (;;) {
    if (::flock(fd, op | LOCK_NB) == 0) return Status::Ok();
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Status::Ok();
    const long long left = deadline - monotonic_ms();
    if (left <= 0) {
      return Status::Error("timed out after " + wait_text(wait) +
                           " waiting for another snapshot save or load to release directory '" +
                           (dir.empty() ? std::string(".") : dir) + "'");
    }
    const long long us = std::min<long long>(pause_us, left * 1000);
    struct timespec ts = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    ::nanosleep(&ts, nullptr);
    pause_us = std::min<long>(pause_us * 2, 50000);
  }
}

// A set of directories, each locked once, in (st_dev, st_ino) order; unlocked
// on destruction.  Does not own the descriptors.
class DirectoryLocks {
 public:
  DirectoryLocks() = default;
  DirectoryLocks(const DirectoryLocks&) = delete;
  DirectoryLocks& operator=(const DirectoryLocks&) = delete;
  ~DirectoryLocks() { unlock(); }
  void unlock() {
    for (Dir& d : dirs_) {
      if (d.locked) ::flock(d.fd, LOCK_UN);
      d.locked = false;
    }
  }
  // Adds a directory; one already present (same st_dev and st_ino) is skipped.
  void add(int fd, const struct stat& st, const std::string& path) {
    for (const Dir& d : dirs_) {
      if (d.dev == st.st_dev && d.ino == st.st_ino) return;
    }
    dirs_.push_back(Dir{fd, st.st_dev, st.st_ino, path, false});
  }
  Status lock(int op) {
    std::sort(dirs_.begin(), dirs_.end(), [](const Dir& a, const Dir& b) {
      return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
    });
    for (Dir& d : dirs_) {
      if (Status s = lock_directory(d.fd, op, d.path); !s.ok()) return s;
      d.locked = true;
    }
    return Status::Ok();
  }
  void sync_all() const {
    for (const Dir& d : dirs_) (void)::fsync(d.fd);
  }

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

// The part of a temporary file's name that names its target.
std::string temp_stem(const std::string& name) {
  constexpr size_t kFixed = 1 + 1 + kTempRandomHex + kTempSuffix.size();
  if (name.size() + kFixed <= kMaxNameLength) return name;
  return sha256_hex(name).substr(0, 40);
}

// Whether `entry` is a name this protocol makes for a target of stem `stem`.
bool is_temp_name_of(std::string_view entry, const std::string& stem) {
  const size_t size = 1 + stem.size() + 1 + kTempRandomHex + kTempSuffix.size();
  if (entry.size() != size || entry[0] != '.' || entry.substr(1, stem.size()) != stem ||
      entry[1 + stem.size()] != '.' || entry.substr(size - kTempSuffix.size()) != kTempSuffix) {
    return false;
  }
  for (char c : entry.substr(2 + stem.size(), kTempRandomHex)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

Status random_hex(std::string* out) {
  unsigned char bytes[kTempRandomHex / 2];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out->clear();
  for (unsigned char b : bytes) {
    *out += kHex[b >> 4];
    *out += kHex[b & 15];
  }
  return Status::Ok();
}

// Removes `name` in `dir_fd` if it is provably a dead temporary file: a
// regular file of ours with one link that no live writer holds locked.
void remove_if_dead(int dir_fd, const char* name) {
  struct stat st;
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) return;
  int fd;
  do {
    fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  FdCloser closer(fd);
  struct stat held;
  if (::fstat(fd, &held) != 0 || !same_file(held, st) || !S_ISREG(held.st_mode) ||
      held.st_uid != ::geteuid() || held.st_nlink != 1) {
    return;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return;  // its writer lives
  // Writers trust their file only after locking it and seeing it still at
  // its name, so under our lock the name cannot become a live writer's.
  struct stat now;
  if (::fstatat(dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, held)) return;
  (void)::unlinkat(dir_fd, name, 0);
}

}  // namespace

std::string os_error_message(int errnum) {
  char buf[256];
  // GNU strerror_r: returns the description, possibly not in buf.
  const char* text = ::strerror_r(errnum, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

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

namespace file_io_detail {

enum class Kind { kReplace, kInPlace, kSpecial };

struct Entry {
  std::string target;      // the final target, symbolic links followed
  std::string dir_prefix;  // target's directory with its '/' ("" for a bare name)
  std::string name;        // target's last component
  int dir_fd = -1;
  bool dir_readable = false;
  struct stat dir_st {};
  Kind kind = Kind::kReplace;
  bool exists = false;
  struct stat old {};     // the existing regular target
  std::string temp_name;  // empty until created
  int temp_fd = -1;       // holds flock(LOCK_EX) while the file lives
  struct stat temp_st {};
  bool written = false;
  bool renamed = false;
  std::string bytes;  // contents of a file written in place

  Entry() = default;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() {
    remove_temp();
    if (dir_fd >= 0) ::close(dir_fd);
  }

  std::string temp_path() const { return dir_prefix + temp_name; }
  bool same_directory(const Entry& o) const {
    return dir_st.st_dev == o.dir_st.st_dev && dir_st.st_ino == o.dir_st.st_ino;
  }
  // Whether the temporary file is still the one we created, at its name.
  bool temp_in_place() const {
    struct stat now;
    return ::fstatat(dir_fd, temp_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(now, temp_st);
  }
  // Removes the temporary file if it is still ours at its name.
  void remove_temp() {
    if (temp_fd < 0) return;
    if (!renamed && temp_in_place()) (void)::unlinkat(dir_fd, temp_name.c_str(), 0);
    ::close(temp_fd);
    temp_fd = -1;
  }
};

void EntryDeleter::operator()(Entry* e) const { delete e; }

}  // namespace file_io_detail

namespace {

using file_io_detail::Entry;
using file_io_detail::Kind;

constexpr int kCreateAttempts = 16;

// Creates, locks and checks a fresh temporary file for `e`.  On failure
// *create_errno is the errno of a refused create, 0 for any other failure.
Status create_temp(Entry& e, int* create_errno) {
  *create_errno = 0;
  const std::string stem = temp_stem(e.name);
  std::string last;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    std::string hex;
    if (Status s = random_hex(&hex); !s.ok()) return s;
    // Every text is made before the file exists, and `e` owns the file from
    // the moment it is inspected, so that no failure, an exhausted memory
    // included, can leave it behind.
    e.temp_name = "." + stem + "." + hex + std::string(kTempSuffix);
    last = e.dir_prefix + e.temp_name;
    int fd;
    do {
      fd = ::openat(e.dir_fd, e.temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      const int err = errno;
      e.temp_name.clear();
      if (err == EEXIST) continue;  // taken, by chance or by someone else
      *create_errno = err;
      return temp_error("create", last, err);
    }
    struct stat held;
    if (::fstat(fd, &held) != 0) {
      const int err = errno;
      ::close(fd);
      e.temp_name.clear();
      return temp_error("inspect", last, err);
    }
    e.temp_st = held;
    e.temp_fd = fd;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      if (err == EWOULDBLOCK) {
        // A cleaner took it for debris in the instant before we locked it,
        // and removes it.
        ::close(fd);
        e.temp_fd = -1;
        e.temp_name.clear();
        continue;
      }
      e.remove_temp();
      e.temp_name.clear();
      return temp_error("lock", last, err);
    }
    if (e.temp_in_place()) return Status::Ok();
    e.remove_temp();  // removed by a cleaner before we locked it
    e.temp_name.clear();
  }
  return temp_error("create", last, EEXIST);
}

// Fills the locked temporary file of `e` with `bytes` and syncs it.
Status fill_temp(Entry& e, std::string_view bytes) {
  const std::string path = e.temp_path();
  if (const int code = write_all_raw(e.temp_fd, bytes); code != 0) {
    return temp_error("write", path, write_failure_text(code));
  }
  const mode_t mode = e.exists ? (e.old.st_mode & 07777) : (0666 & ~current_umask());
  if (::fchmod(e.temp_fd, mode) != 0) return temp_error("set the mode of", path, errno);
  if (::fsync(e.temp_fd) != 0) return temp_error("sync", path, errno);
  if (g_replace_fault_hook != nullptr) {
    if (Status s = g_replace_fault_hook(ReplaceStage::kWritten, path); !s.ok()) return s;
  }
  return Status::Ok();
}

// Truncates and rewrites the regular file `e` names, under the commit lock.
Status rewrite_in_place(const Entry& e) {
  int fd;
  do {
    fd = ::openat(e.dir_fd, e.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  FdCloser closer(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return os_error(EEXIST);
  if (::ftruncate(fd, 0) != 0) return os_error(errno);
  if (const int code = write_all_raw(fd, e.bytes); code != 0) return Status::Error(write_failure_text(code));
  if (::fsync(fd) != 0) return os_error(errno);
  return Status::Ok();
}

}  // namespace

FileSetWriter::FileSetWriter() = default;
FileSetWriter::~FileSetWriter() = default;

Status FileSetWriter::add(const std::string& path) {
  if (count_ == kMaxFilesTogether) return Status::Error("too many files in one write");
  if (Status s = check_path(path); !s.ok()) return s;
  if (path.empty()) return os_error(ENOENT);
  if (path.back() == '/') return trailing_slash_error(path);
  Resolved r;
  if (Status s = resolve_target(path, &r); !s.ok()) return s;
  if (r.exists && S_ISDIR(r.st.st_mode)) return os_error(EISDIR);
  std::unique_ptr<Entry, file_io_detail::EntryDeleter> e(new Entry);
  e->target = r.target;
  split_path(e->target, &e->dir_prefix, &e->name);
  e->dir_fd = open_directory(e->dir_prefix, &e->dir_readable);
  if (e->dir_fd < 0) return os_error(errno);
  if (::fstat(e->dir_fd, &e->dir_st) != 0) return os_error(errno);
  // Decide by what the opened directory holds now.
  struct stat st;
  if (::fstatat(e->dir_fd, e->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return os_error(errno);
    e->kind = Kind::kReplace;
  } else if (S_ISREG(st.st_mode)) {
    if (!trusted_entry(e->dir_st, st.st_uid)) return os_error(EACCES);
    e->kind = Kind::kReplace;
    e->exists = true;
    e->old = st;
  } else if (S_ISDIR(st.st_mode)) {
    return os_error(EISDIR);
  } else {
    // A device, socket or FIFO (or a link that appeared since the walk,
    // which the plain open follows under the kernel's own rules).
    if (S_ISFIFO(st.st_mode) && !trusted_entry(e->dir_st, st.st_uid)) return os_error(EACCES);
    e->kind = Kind::kSpecial;
  }
  entries_[count_++] = std::move(e);
  return Status::Ok();
}

size_t FileSetWriter::same_target(size_t i) const {
  if (i >= count_ || entries_[i]->kind == Kind::kSpecial) return npos;
  const Entry& e = *entries_[i];
  for (size_t j = 0; j < i; ++j) {
    const Entry& o = *entries_[j];
    if (o.kind != Kind::kSpecial && o.same_directory(e) && o.name == e.name) return j;
  }
  return npos;
}

Status FileSetWriter::write(size_t i, std::string_view bytes) {
  if (i >= count_ || entries_[i]->written || committed_) {
    return Status::Error("file set written out of order");
  }
  Entry& e = *entries_[i];
  if (e.kind == Kind::kSpecial) {
    e.bytes.assign(bytes);
    e.written = true;
    return Status::Ok();
  }
  if (e.dir_readable) {
    // Dead temporaries of this target; never a file this set is to write.
    const std::string stem = temp_stem(e.name);
    std::vector<std::string> dead;
    const int list_fd = ::openat(e.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* d = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr) {
      while (const struct dirent* de = ::readdir(d)) {
        if (!is_temp_name_of(de->d_name, stem)) continue;
        bool targeted = false;
        for (size_t j = 0; j < count_; ++j) {
          targeted |= entries_[j]->same_directory(e) && entries_[j]->name == de->d_name;
        }
        if (!targeted) dead.emplace_back(de->d_name);
      }
      ::closedir(d);
    } else if (list_fd >= 0) {
      ::close(list_fd);
    }
    for (const std::string& name : dead) remove_if_dead(e.dir_fd, name.c_str());
  }
  int create_errno = 0;
  if (Status s = create_temp(e, &create_errno); !s.ok()) {
    const bool refused = create_errno == EACCES || create_errno == EPERM || create_errno == EROFS;
    if (!refused || !e.exists) return s;
    // The directory refuses new files: write the target in place if it lets
    // us, as a plain write would.
    int fd;
    do {
      fd = ::openat(e.dir_fd, e.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno);
    ::close(fd);
    e.kind = Kind::kInPlace;
    e.bytes.assign(bytes);
    e.written = true;
    return Status::Ok();
  }
  Status s = fill_temp(e, bytes);
  if (!s.ok()) {
    e.remove_temp();
    return s;
  }
  e.written = true;
  return Status::Ok();
}

Status FileSetWriter::commit() {
  if (committed_) return Status::Error("file set committed twice");
  for (size_t i = 0; i < count_; ++i) {
    if (!entries_[i]->written) return Status::Error("file set committed before every file was written");
  }
  committed_ = true;
  // Devices and FIFOs first, unlocked: their writes are not atomic anyway and
  // a FIFO's open may wait for a reader.
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = *entries_[i];
    if (e.kind != Kind::kSpecial) continue;
    if (Status s = write_in_place(e.target, e.bytes); !s.ok()) return s;
  }
  DirectoryLocks locks;
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = *entries_[i];
    if (e.kind != Kind::kSpecial && e.dir_readable) locks.add(e.dir_fd, e.dir_st, e.dir_prefix);
  }
  if (Status s = locks.lock(LOCK_EX); !s.ok()) return s;
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = *entries_[i];
    if (e.kind != Kind::kInPlace) continue;
    if (Status s = rewrite_in_place(e); !s.ok()) return s;
  }
  // The paths are made before the first rename: from there on, nothing but
  // a failing rename may stop the set half-way.
  std::vector<std::string> paths(count_);
  for (size_t i = 0; i < count_; ++i) {
    if (entries_[i]->kind == Kind::kReplace) paths[i] = entries_[i]->temp_path();
  }
  for (size_t i = 0; i < count_; ++i) {
    Entry& e = *entries_[i];
    if (e.kind != Kind::kReplace) continue;
    const std::string& path = paths[i];
    if (g_replace_fault_hook != nullptr) {
      if (Status s = g_replace_fault_hook(ReplaceStage::kRenaming, path); !s.ok()) return s;
    }
    // Someone who may write the directory could have swapped the name.
    if (!e.temp_in_place()) return temp_error("rename", path, ENOENT);
    if (::renameat(e.dir_fd, e.temp_name.c_str(), e.dir_fd, e.name.c_str()) != 0) {
      return temp_error("rename", path, "to '" + e.target + "': " + os_error_message(errno));
    }
    e.renamed = true;
  }
  locks.sync_all();
  return Status::Ok();
}

Status write_whole_file(const std::string& path, std::string_view bytes) {
  FileSetWriter files;
  if (Status s = files.add(path); !s.ok()) return s;
  if (Status s = files.write(0, bytes); !s.ok()) return s;
  return files.commit();
}

void set_replace_fault_hook_for_testing(ReplaceFaultHook hook) { g_replace_fault_hook = hook; }

void set_lock_wait_for_testing(int milliseconds) { g_lock_wait_ms = milliseconds; }

}  // namespace vedra
