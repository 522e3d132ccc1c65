#include "snapshot/file_commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "snapshot/file_path.h"
#include "snapshot/sha256.h"

namespace vedra {
namespace {

// Longest file name (one path component) we create; NAME_MAX on Linux.
constexpr size_t kMaxNameLength = 255;

int g_lock_wait_ms = 0;  // 0: kCommitLockWaitSeconds

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

}  // namespace

void DirectoryLocks::unlock() {
  for (Dir& d : dirs_) {
    if (d.locked) ::flock(d.fd, LOCK_UN);
    d.locked = false;
  }
}

void DirectoryLocks::add(int fd, const struct stat& st, const std::string& path) {
  for (const Dir& d : dirs_) {
    if (d.dev == st.st_dev && d.ino == st.st_ino) return;
  }
  dirs_.push_back(Dir{fd, st.st_dev, st.st_ino, path, false});
}

Status DirectoryLocks::lock(int op) {
  std::sort(dirs_.begin(), dirs_.end(), [](const Dir& a, const Dir& b) {
    return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
  });
  for (Dir& d : dirs_) {
    if (Status s = lock_directory(d.fd, op, d.path); !s.ok()) return s;
    d.locked = true;
  }
  return Status::Ok();
}

void DirectoryLocks::sync_all() const {
  for (const Dir& d : dirs_) (void)::fsync(d.fd);
}

std::string temp_stem(const std::string& name) {
  constexpr size_t kFixed = 1 + 1 + kTempRandomHex + kTempSuffix.size();
  if (name.size() + kFixed <= kMaxNameLength) return name;
  return sha256_hex(name).substr(0, 40);
}

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

void set_lock_wait_for_testing(int milliseconds) { g_lock_wait_ms = milliseconds; }

}  // namespace vedra
