// Paths of the snapshot files: their checks, the following of symbolic links
// to a final target, and the trust rules for entries of shared directories;
// plus the descriptor helpers that the file_* pairs share.
//
// Every operating-system failure is reported as "<description> (os error N)",
// for example "No such file or directory (os error 2)", where the description
// is the C library's text for errno N.  A path holding a NUL byte names no
// file and is refused before anything is opened.
//
// Thread safety: no state; every function may be called from several threads
// at once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "base/status.h"

namespace vedra {

// Returns "<strerror description> (os error <errnum>)".
std::string os_error_message(int errnum);

// Status::Error(os_error_message(errnum)).
Status os_error(int errnum);

// Fails with "file name contained an unexpected NUL byte" when `path` holds
// a NUL byte.
Status check_path(const std::string& path);

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

// open(2), retried while interrupted.
int open_retrying(const char* path, int flags, mode_t mode);

// Splits `path` (which does not end in '/') into its directory part, with
// the trailing '/' kept ("" for a bare name), and its last component.
void split_path(const std::string& path, std::string* dir, std::string* base);

// Whether two stat results describe the same file (st_dev and st_ino).
bool same_file(const struct stat& a, const struct stat& b);

// Whether an entry owned by `owner` may be used in directory `dir`.  In a
// sticky directory that everyone may write to (such as /tmp), only entries of
// our own or of the directory's owner are: the kernel's protected_symlinks,
// protected_regular and protected_fifos rules, applied whatever the sysctl
// settings, since the links are followed here by hand.
bool trusted_entry(const struct stat& dir, uid_t owner);

// What a plain open with O_CREAT reports for "name/".
Status trailing_slash_error(const std::string& path);

// `path` with its symbolic links followed to the final target.
struct Resolved {
  std::string target;
  bool exists = false;
  struct stat st {};  // lstat of the target when it exists
};

// Follows the symbolic links of `path` by hand, at most 40 hops (then
// ELOOP's message); a link refused by trusted_entry fails with EACCES's.
// REQUIRES: path is not empty and does not end in '/'.
Status resolve_target(const std::string& path, Resolved* out);

// Directory open for locking, syncing and listing when it can be read; an
// O_PATH descriptor (enough for *at calls) when it cannot.  Returns -1 with
// errno set on failure.
int open_directory(const std::string& dir, bool* readable);

}  // namespace vedra
