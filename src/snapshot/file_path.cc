#include "snapshot/file_path.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vedra {
namespace {

// Same bound as the kernel's limit on symbolic links followed in one lookup.
constexpr int kMaxSymlinkHops = 40;

}  // namespace

std::string os_error_message(int errnum) {
  char buf[256];
  // GNU strerror_r: returns the description, possibly not in buf.
  const char* text = ::strerror_r(errnum, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Status os_error(int errnum) { return Status::Error(os_error_message(errnum)); }

Status check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::Error("file name contained an unexpected NUL byte");
  }
  return Status::Ok();
}

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

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

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool trusted_entry(const struct stat& dir, uid_t owner) {
  const bool shared_sticky = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
  return !shared_sticky || owner == ::geteuid() || owner == dir.st_uid;
}

Status trailing_slash_error(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return os_error(errno == ENOENT ? EISDIR : errno);
  return os_error(S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR);
}

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

int open_directory(const std::string& dir, bool* readable) {
  const char* p = dir.empty() ? "." : dir.c_str();
  int fd = open_retrying(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  *readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = open_retrying(p, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  return fd;
}

}  // namespace vedra
