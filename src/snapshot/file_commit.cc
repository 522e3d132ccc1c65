#include "snapshot/file_commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/hex.h"
#include "snapshot/file_calls.h"
#include "snapshot/file_path.h"
#include "snapshot/sha256.h"

namespace vedra {
namespace {

// Longest file name (one path component) we create; NAME_MAX on Linux.
constexpr size_t kMaxNameLength = 255;

constexpr std::string_view kMarkerSuffix = ".vedra-commit";

int g_commit_wait_ms = 0;  // 0: kCommitWaitMs

// Whether the marker `marker` in `dir_fd` may belong to a live writer: it
// exists and is not provably unlocked.
bool marker_held(int dir_fd, const char* marker) {
  const int fd = sys::openat(dir_fd, marker, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  FdCloser closer(fd);
  return sys::flock(fd, LOCK_SH | LOCK_NB) != 0;
}

}  // namespace

long long monotonic_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int commit_wait_ms() { return g_commit_wait_ms > 0 ? g_commit_wait_ms : kCommitWaitMs; }

void pause_briefly() {
  struct timespec ts = {0, 200 * 1000};
  ::nanosleep(&ts, nullptr);
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
    if (lower_hex_digit_value(c) < 0) return false;
  }
  return true;
}

Status random_hex(std::string* out) {
  unsigned char bytes[kTempRandomHex / 2];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = sys::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) return os_error(errno);
    got += static_cast<size_t>(n);
  }
  out->clear();
  append_lower_hex(bytes, sizeof bytes, *out);
  return Status::Ok();
}

void remove_if_dead(int dir_fd, const char* name, const char* marker) {
  struct stat st;
  if (sys::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) return;
  const int fd = sys::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  FdCloser closer(fd);
  struct stat held;
  if (sys::fstat(fd, &held) != 0 || !same_file(held, st) || !S_ISREG(held.st_mode) ||
      held.st_uid != ::geteuid() || held.st_nlink != 1) {
    return;
  }
  if (sys::flock(fd, LOCK_EX | LOCK_NB) != 0) return;  // its writer lives
  // Writers trust their file only after locking it and seeing it still at
  // its name, so under our lock the name cannot become a live writer's.
  struct stat now;
  if (sys::fstatat(dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(now, held)) return;
  // A live commit may have moved the old file of its target to its
  // temporary name, and may still move it back.
  if (marker != nullptr && marker_held(dir_fd, marker)) return;
  (void)sys::unlinkat(dir_fd, name, 0);
}

std::string marker_name(const std::string& name) { return "." + temp_stem(name) + std::string(kMarkerSuffix); }

Status commit_running(int dir_fd, const struct stat& dir_st, const std::string& name, bool* running) {
  const std::string marker = marker_name(name);
  struct stat st;
  if (sys::fstatat(dir_fd, marker.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return os_error(errno);
    *running = false;
    return Status::Ok();
  }
  *running = trusted_entry(dir_st, st.st_uid);
  return Status::Ok();
}

void CommitMarkers::add(int dir_fd, const struct stat& dir_st, const std::string& dir_prefix,
                        const std::string& name) {
  for (const Marker& m : markers_) {
    if (m.dev == dir_st.st_dev && m.ino == dir_st.st_ino && m.target == name) return;
  }
  Marker m;
  m.dir_fd = dir_fd;
  m.dev = dir_st.st_dev;
  m.ino = dir_st.st_ino;
  m.dir_st = dir_st;
  m.dir_prefix = dir_prefix;
  m.target = name;
  m.name = marker_name(name);
  markers_.push_back(std::move(m));
}

Status CommitMarkers::make(Marker& m, long long deadline_ms) {
  const std::string path = m.dir_prefix + m.name;
  for (;;) {
    const int fd = sys::openat(m.dir_fd, m.name.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      m.fd = fd;
      if (sys::fstat(fd, &m.st) != 0) {
        const int err = errno;
        (void)sys::unlinkat(m.dir_fd, m.name.c_str(), 0);  // made by us an instant ago
        ::close(fd);
        m.fd = -1;
        return Status::Error("cannot inspect commit marker '" + path + "': " + os_error_message(err));
      }
      if (sys::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat now;
        if (sys::fstatat(m.dir_fd, m.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, m.st)) {
          return Status::Ok();
        }
        ::close(fd);  // a cleaner took it for a dead writer's and removed it
        m.fd = -1;
        continue;
      }
      const int err = errno;
      if (err != EWOULDBLOCK) (void)sys::unlinkat(m.dir_fd, m.name.c_str(), 0);  // made an instant ago
      ::close(fd);
      m.fd = -1;
      if (err == EWOULDBLOCK) continue;  // a cleaner holds it, and removes it
      return Status::Error("cannot lock commit marker '" + path + "': " + os_error_message(err));
    }
    const int err = errno;
    if (err == EACCES || err == EPERM || err == EROFS) return Status::Ok();  // no marker here
    if (err != EEXIST) return Status::Error("cannot create commit marker '" + path + "': " + os_error_message(err));
    bool running = false;
    if (Status s = commit_running(m.dir_fd, m.dir_st, m.target, &running); !s.ok()) return s;
    if (!running) return Status::Ok();  // planted by an untrusted user: ignored, as readers do
    remove_if_dead(m.dir_fd, m.name.c_str(), nullptr);
    struct stat st;
    if (sys::fstatat(m.dir_fd, m.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // removed: try again at once
      return os_error(errno);
    }
    if (monotonic_ms() >= deadline_ms) {
      return Status::Error("another save is replacing '" + m.dir_prefix + m.target + "' (commit marker '" + path +
                           "' is held)");
    }
    pause_briefly();
  }
}

Status CommitMarkers::acquire() {
  std::sort(markers_.begin(), markers_.end(), [](const Marker& a, const Marker& b) {
    if (a.dev != b.dev) return a.dev < b.dev;
    if (a.ino != b.ino) return a.ino < b.ino;
    return a.target < b.target;
  });
  const long long deadline = monotonic_ms() + commit_wait_ms();
  for (Marker& m : markers_) {
    if (Status s = make(m, deadline); !s.ok()) {
      release();
      return s;
    }
  }
  return Status::Ok();
}

void CommitMarkers::release() {
  for (auto it = markers_.rbegin(); it != markers_.rend(); ++it) {
    Marker& m = *it;
    if (m.fd < 0) continue;
    // A marker left behind makes loads refuse the files until the next save,
    // so a failed look or removal is tried once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
      struct stat now;
      if (sys::fstatat(m.dir_fd, m.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) break;
        continue;
      }
      if (!same_file(now, m.st) || sys::unlinkat(m.dir_fd, m.name.c_str(), 0) == 0) break;
    }
    ::close(m.fd);
    m.fd = -1;
  }
}

void set_commit_wait_for_testing(int milliseconds) { g_commit_wait_ms = milliseconds; }

}  // namespace vedra
