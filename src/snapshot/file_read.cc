#include "snapshot/file_read.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/page_array.h"
#include "snapshot/file_calls.h"
#include "snapshot/file_commit.h"
#include "snapshot/file_path.h"

namespace vedra {
namespace {

// Openings of a set of files before a read gives up on seeing one moment.
constexpr int kReadAttempts = 16;
// Room for a read, from which its pages are mapped before it is used.
constexpr uint64_t kPopulateFrom = uint64_t{1} << 20;

}  // namespace

namespace {

// Reads from `fd` as read_file_prefix describes.
Result<std::string> read_fd_prefix(int fd, ReadLimit wanted) {
  struct stat st;
  // Size of a regular file, plus one spare byte that lets the final read see
  // end of file without growing; 0 when the size is not known in advance.
  uint64_t known = 0;
  if (sys::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
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
      if (target - data.size() >= kPopulateFrom) {
        // The new room's pages mapped in one call, not faulted in one by
        // one as they are cleared and filled.
        data.reserve(static_cast<size_t>(target));
        populate_pages(data.data() + data.size(), static_cast<size_t>(target) - data.size());
      }
      data.resize(static_cast<size_t>(target));
    }
    const ssize_t n = sys::read(fd, data.data() + used, data.size() - used);
    if (n < 0) return os_error(errno);
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
  const int fd = sys::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  FdCloser closer(fd);
  return read_fd_prefix(fd, wanted);
}

namespace {

// Where a commit into one of the files would leave its marker.
struct Place {
  int dir_fd = -1;  // owned
  struct stat dir_st {};
  std::string dir;
  std::string name;
  Place() = default;
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  ~Place() {
    if (dir_fd >= 0) ::close(dir_fd);
  }
};

// One file as opened for one attempt.
struct Opened {
  int fd = -1;  // owned; -1 when the open failed or the file is not regular
  int err = 0;  // the open's errno
  bool special = false;  // not a regular file: opened (blocking) only to be read
  struct stat st {};
  Opened() = default;
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

bool same_version(const struct stat& a, const struct stat& b) {
  return same_file(a, b) && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Opens the regular file at `path` without blocking (a FIFO is only marked).
void open_one(const std::string& path, Opened* o) {
  o->close();
  o->err = 0;
  o->special = false;
  // O_NONBLOCK: a FIFO opens at once here and is reopened, blocking, later.
  const int fd = sys::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    o->err = errno;
    return;
  }
  if (sys::fstat(fd, &o->st) != 0) {
    o->err = errno;
    ::close(fd);
    return;
  }
  if (!S_ISREG(o->st.st_mode)) {
    ::close(fd);
    o->special = true;
    return;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  o->fd = fd;
}

}  // namespace

std::vector<Result<std::string>> read_files_together(const std::vector<std::string>& paths,
                                                     ReadLimit wanted) {
  const size_t n = std::min(paths.size(), kMaxFilesTogether);
  // The directories a commit into these files would mark.  A path that does
  // not resolve has no place; its open below reports the failure.
  Place places[kMaxFilesTogether];
  for (size_t i = 0; i < n; ++i) {
    const std::string& path = paths[i];
    if (!check_path(path).ok() || path.empty() || path.back() == '/') continue;
    Resolved r;
    if (!resolve_target(path, &r).ok()) continue;
    Place& p = places[i];
    split_path(r.target, &p.dir, &p.name);
    bool readable = false;
    p.dir_fd = open_directory(p.dir, &readable);
    if (p.dir_fd >= 0 && sys::fstat(p.dir_fd, &p.dir_st) != 0) {
      ::close(p.dir_fd);
      p.dir_fd = -1;
    }
  }
  std::vector<Result<std::string>> out;
  long long deadline = -1;  // set when a commit is first seen running
  Opened opened[kMaxFilesTogether];
  int changes = 0;
  for (;;) {
    // Open everything, then make sure that no commit ran into any of the
    // files since: none runs now (a commit holds its marker from before its
    // first rename to after its last), and every name still holds the file
    // opened.  Together they exclude a pair opened across a commit.
    for (size_t i = 0; i < n; ++i) {
      if (check_path(paths[i]).ok()) open_one(paths[i], &opened[i]);
    }
    std::string busy, busy_marker;  // a target a commit runs into, and its marker
    Status probe;
    for (size_t i = 0; i < n && busy.empty() && probe.ok(); ++i) {
      const Place& p = places[i];
      if (p.dir_fd < 0) continue;
      bool running = false;
      probe = commit_running(p.dir_fd, p.dir_st, p.name, &running);
      if (running) {
        busy = p.dir + p.name;
        busy_marker = p.dir + marker_name(p.name);
      }
    }
    bool changed = false;
    for (size_t i = 0; i < n && busy.empty() && probe.ok() && !changed; ++i) {
      if (opened[i].fd < 0) continue;
      struct stat now;
      changed = sys::stat(paths[i].c_str(), &now) != 0 || !same_file(now, opened[i].st);
    }
    if (!probe.ok()) {
      for (size_t i = 0; i < paths.size(); ++i) out.push_back(probe);
      return out;
    }
    if (busy.empty() && !changed) {
      // Read, then check that no file was rewritten in place meanwhile.
      out.clear();
      for (size_t i = 0; i < paths.size(); ++i) {
        if (i >= n) {
          out.push_back(Status::Error("too many files in one read"));
        } else if (Status s = check_path(paths[i]); !s.ok()) {
          out.push_back(s);
        } else if (opened[i].special) {
          out.push_back(read_file_prefix(paths[i], wanted));
        } else if (opened[i].fd < 0) {
          out.push_back(os_error(opened[i].err));
        } else {
          out.push_back(read_fd_prefix(opened[i].fd, wanted));
        }
      }
      for (size_t i = 0; i < n && !changed; ++i) {
        if (opened[i].fd < 0) continue;
        struct stat after;
        changed = sys::fstat(opened[i].fd, &after) != 0 || !same_version(after, opened[i].st);
      }
      if (!changed) return out;
    }
    changes += changed ? 1 : 0;
    if (!busy.empty() && deadline < 0) deadline = monotonic_ms() + commit_wait_ms();
    if ((!busy.empty() && monotonic_ms() >= deadline) || changes == kReadAttempts) {
      out.clear();
      const std::string text =
          !busy.empty() ? "timed out after " + std::to_string(commit_wait_ms()) +
                              " ms waiting for a save to finish replacing '" + busy +
                              "' (a save killed while replacing it leaves '" + busy_marker +
                              "' behind, which the next save removes)"
                        : "the files kept being replaced while they were read (" + std::to_string(changes) +
                              " times)";
      for (size_t i = 0; i < paths.size(); ++i) out.push_back(Status::Error(text));
      return out;
    }
    if (!busy.empty()) pause_briefly();
  }
}

Result<std::string> read_whole_file(const std::string& path) {
  return read_file_prefix(path, [](std::string_view) { return UINT64_MAX; });
}

}  // namespace vedra
