#include "snapshot/file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "snapshot/file_calls.h"
#include "snapshot/file_commit.h"
#include "snapshot/file_path.h"

namespace vedra {
namespace {

ReplaceFaultHook g_replace_fault_hook = nullptr;

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
    const ssize_t n = sys::write(fd, p, left);
    if (n < 0) return errno;
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
  const int fd = sys::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  const int code = write_all_raw(fd, bytes);
  Status s = code == 0 ? Status::Ok() : Status::Error(write_failure_text(code));
  if (::close(fd) != 0 && s.ok() && errno != EINTR) s = os_error(errno);
  return s;
}

}  // namespace

namespace file_writer_detail {

enum class Kind { kReplace, kInPlace, kSpecial };

// How commit() moved a replaced file's new contents to its name.
enum class Moved {
  kNo,
  kExchanged,  // renameat2 RENAME_EXCHANGE: the old file is at the temporary name
  kCreated,    // renameat2 RENAME_NOREPLACE: there was no old file
  kRenamed,    // plain rename (the file system exchanges nothing): no undo
};

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
  bool started = false;  // temporary created or kind decided (first append)
  bool written = false;  // finished
  bool renamed = false;  // the new contents are at the target's name
  Moved moved = Moved::kNo;
  // In place (commit() only): the target open for writing, its size and
  // contents before, kept to undo the rewrite.
  int place_fd = -1;
  off_t old_size = 0;
  bool old_kept = false;
  bool reserved = false;  // blocks past old_size reserved by fallocate
  std::string old_bytes;
  bool rewritten = false;
  bool no_marker = false;  // its directory keeps what is made in it
  Status failure;        // the first failure of append() or finish()
  std::string bytes;     // the buffered bytes of a temporary file; the whole
                         // contents of a file written in place or special
  uint64_t flushed = 0;  // bytes of a temporary file already written to it

  Entry() = default;
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  ~Entry() {
    remove_temp();
    if (place_fd >= 0) ::close(place_fd);
    if (dir_fd >= 0) ::close(dir_fd);
  }

  std::string temp_path() const { return dir_prefix + temp_name; }
  bool same_directory(const Entry& o) const {
    return dir_st.st_dev == o.dir_st.st_dev && dir_st.st_ino == o.dir_st.st_ino;
  }
  // Whether the temporary file is still the one we created, at its name.
  bool temp_in_place() const {
    struct stat now;
    return sys::fstatat(dir_fd, temp_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(now, temp_st);
  }
  // Removes the temporary file if it is still ours at its name.
  void remove_temp() {
    if (temp_fd < 0) return;
    if (!renamed && temp_in_place()) (void)sys::unlinkat(dir_fd, temp_name.c_str(), 0);
    ::close(temp_fd);
    temp_fd = -1;
  }
};

void EntryDeleter::operator()(Entry* e) const { delete e; }

}  // namespace file_writer_detail

namespace {

using file_writer_detail::Entry;
using file_writer_detail::Kind;
using file_writer_detail::Moved;

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
    const int fd = sys::openat(e.dir_fd, e.temp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int err = errno;
      e.temp_name.clear();
      if (err == EEXIST) continue;  // taken, by chance or by someone else
      *create_errno = err;
      return temp_error("create", last, err);
    }
    struct stat held;
    if (sys::fstat(fd, &held) != 0) {
      const int err = errno;
      (void)sys::unlinkat(e.dir_fd, e.temp_name.c_str(), 0);  // created an instant ago
      ::close(fd);
      e.temp_name.clear();
      return temp_error("inspect", last, err);
    }
    e.temp_st = held;
    e.temp_fd = fd;
    if (sys::flock(fd, LOCK_EX | LOCK_NB) != 0) {
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

// Lets the system start writing out the `size` bytes just written at `at`,
// while the save goes on producing the next ones, so that the sync at the
// end waits for the last of them only.  Advice: a failure changes nothing.
void start_write_back(const Entry& e, uint64_t at, size_t size) {
  (void)sys::start_write_back(e.temp_fd, static_cast<off_t>(at), static_cast<off_t>(size));
}

// Writes the buffered bytes of `e` to its temporary file.
Status flush_temp(Entry& e) {
  if (e.bytes.empty()) return Status::Ok();
  const int code = write_all_raw(e.temp_fd, e.bytes);
  if (code == 0) start_write_back(e, e.flushed, e.bytes.size());
  e.flushed += e.bytes.size();
  e.bytes.clear();
  if (code != 0) return temp_error("write", e.temp_path(), write_failure_text(code));
  return Status::Ok();
}

// Appends `bytes` to the temporary file of `e` through its buffer: bytes
// that fit are gathered, a piece at least as large as the buffer is written
// directly after the buffer's contents.
Status append_temp(Entry& e, std::string_view bytes) {
  if (e.bytes.size() + bytes.size() <= FileSetWriter::kWriteBufferBytes) {
    if (e.bytes.capacity() == 0) e.bytes.reserve(FileSetWriter::kWriteBufferBytes);
    e.bytes.append(bytes);
    return Status::Ok();
  }
  if (Status s = flush_temp(e); !s.ok()) return s;
  if (bytes.size() < FileSetWriter::kWriteBufferBytes) {
    e.bytes.append(bytes);
    return Status::Ok();
  }
  if (const int code = write_all_raw(e.temp_fd, bytes); code != 0) {
    return temp_error("write", e.temp_path(), write_failure_text(code));
  }
  start_write_back(e, e.flushed, bytes.size());
  e.flushed += bytes.size();
  return Status::Ok();
}

// Overwrites the start of what was appended to `e`: in its file as far as
// that was written out, in its buffer beyond.
Status rewrite_temp_start(Entry& e, std::string_view bytes) {
  const size_t in_file = static_cast<size_t>(std::min<uint64_t>(bytes.size(), e.flushed));
  if (in_file > 0) {
    size_t done = 0;
    while (done < in_file) {
      const ssize_t n = sys::pwrite(e.temp_fd, bytes.data() + done, in_file - done, static_cast<off_t>(done));
      if (n <= 0) return temp_error("write", e.temp_path(), write_failure_text(n < 0 ? errno : -1));
      done += static_cast<size_t>(n);
    }
  }
  bytes.copy(e.bytes.data(), bytes.size() - in_file, in_file);
  return Status::Ok();
}

// Writes out the temporary file of `e`, gives it its mode and syncs it.
Status finish_temp(Entry& e) {
  if (Status s = flush_temp(e); !s.ok()) return s;
  std::string().swap(e.bytes);
  const std::string path = e.temp_path();
  const mode_t mode = e.exists ? (e.old.st_mode & 07777) : (0666 & ~current_umask());
  if (sys::fchmod(e.temp_fd, mode) != 0) return temp_error("set the mode of", path, errno);
  if (sys::fsync(e.temp_fd) != 0) return temp_error("sync", path, errno);
  if (g_replace_fault_hook != nullptr) {
    if (Status s = g_replace_fault_hook(ReplaceStage::kWritten, path); !s.ok()) return s;
  }
  return Status::Ok();
}

// Writes all of `bytes` at offset 0 of `fd`: 0, an errno value, or -1 when a
// write accepted zero bytes.
int pwrite_all(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = sys::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0) return errno;
    if (n == 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string in_place_error(const Entry& e, const std::string& what) {
  return "cannot write '" + e.target + "' in place: " + what;
}

// Opens the in-place target of `e`, reserves the blocks its new contents
// need (without changing its size) and keeps its old contents for undoing.
Status prepare_in_place(Entry& e) {
  int fd = sys::openat(e.dir_fd, e.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  e.old_kept = fd >= 0;
  if (fd < 0 && errno == EACCES) {
    // Writable but not readable: rewritten without a copy to undo it.
    fd = sys::openat(e.dir_fd, e.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) return os_error(errno);
  e.place_fd = fd;
  struct stat st;
  if (sys::fstat(fd, &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return os_error(EEXIST);
  e.old_size = st.st_size;
  if (!e.bytes.empty()) {
    if (sys::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(e.bytes.size())) != 0) {
      const int err = errno;
      return Status::Error(in_place_error(e, "the space for its " + std::to_string(e.bytes.size()) +
                                                 " bytes cannot be reserved: " + os_error_message(err)));
    }
    e.reserved = true;
  }
  if (!e.old_kept) return Status::Ok();
  e.old_bytes.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < e.old_bytes.size()) {
    const ssize_t n = sys::pread(fd, e.old_bytes.data() + got, e.old_bytes.size() - got, static_cast<off_t>(got));
    if (n < 0) return Status::Error(in_place_error(e, "cannot read its old contents: " + os_error_message(errno)));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  e.old_bytes.resize(got);
  return Status::Ok();
}

// Releases blocks that prepare_in_place() reserved past the end of the file.
void unreserve_in_place(Entry& e) {
  if (!e.reserved || e.bytes.size() <= static_cast<size_t>(e.old_size)) return;
  (void)sys::fallocate(e.place_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, e.old_size,
                       static_cast<off_t>(e.bytes.size()) - e.old_size);
}

// Overwrites the reserved blocks with `bytes`, cuts the file to their length
// and syncs it.
Status put_in_place(Entry& e, std::string_view bytes) {
  if (const int code = pwrite_all(e.place_fd, bytes); code != 0) return Status::Error(write_failure_text(code));
  if (sys::ftruncate(e.place_fd, static_cast<off_t>(bytes.size())) != 0) return os_error(errno);
  if (sys::fsync(e.place_fd) != 0) return os_error(errno);
  return Status::Ok();
}

// Appends `what` to *failures; allocation failures lose the text only.
void note_failure(std::string* failures, const std::string& target, const char* what, int err) {
  try {
    if (!failures->empty()) *failures += "; ";
    *failures += "'" + target + "' " + what + (err != 0 ? ": " + os_error_message(err) : std::string());
  } catch (...) {
  }
}

// Puts back what `e` held before commit() touched it, noting on *failures
// what could not be undone.  Allocates nothing unless something fails, so
// that it also serves while an exception (std::bad_alloc) unwinds.
void undo_entry(Entry& e, std::string* failures) {
  if (e.kind == Kind::kInPlace) {
    if (!e.rewritten) {
      unreserve_in_place(e);
      return;
    }
    if (!e.old_kept) {
      note_failure(failures, e.target, "was written in place and could not be read to keep its old contents", 0);
      return;
    }
    int err = pwrite_all(e.place_fd, e.old_bytes);
    if (err == 0 && sys::ftruncate(e.place_fd, e.old_size) != 0) err = errno;
    if (err == 0 && sys::fsync(e.place_fd) != 0) err = errno;
    if (err != 0) {
      note_failure(failures, e.target, "could not get its old contents back", err > 0 ? err : EIO);
      return;
    }
    e.rewritten = false;
    return;
  }
  switch (e.moved) {
    case Moved::kNo:
      return;
    case Moved::kExchanged:
      if (sys::renameat2(e.dir_fd, e.temp_name.c_str(), e.dir_fd, e.name.c_str(), RENAME_EXCHANGE) != 0) {
        note_failure(failures, e.target, "could not get its old file back from its temporary name", errno);
        return;
      }
      break;
    case Moved::kCreated: {
      struct stat now;
      if (sys::fstatat(e.dir_fd, e.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, e.temp_st) &&
          sys::unlinkat(e.dir_fd, e.name.c_str(), 0) != 0) {
        note_failure(failures, e.target, "could not be removed again", errno);
        return;
      }
      break;
    }
    case Moved::kRenamed:
      note_failure(failures, e.target, "was replaced on a file system that cannot exchange files", 0);
      return;
  }
  e.moved = Moved::kNo;
  e.renamed = false;
}

// Moves the temporary file of `e` to its target's name: by exchange over an
// old file, so that it can be undone, or without replacing anything where
// there was none; a plain rename where the file system has neither.
Status move_into_place(Entry& e) {
  const std::string path = e.temp_path();
  if (g_replace_fault_hook != nullptr) {
    if (Status s = g_replace_fault_hook(ReplaceStage::kRenaming, path); !s.ok()) return s;
  }
  // Someone who may write the directory could have swapped the name.
  struct stat now;
  if (sys::fstatat(e.dir_fd, e.temp_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    return temp_error("rename", path, errno);
  }
  if (!same_file(now, e.temp_st)) return temp_error("rename", path, ENOENT);
  const char* from = e.temp_name.c_str();
  const char* to = e.name.c_str();
  Moved how = e.exists ? Moved::kExchanged : Moved::kCreated;
  int r = sys::renameat2(e.dir_fd, from, e.dir_fd, to, e.exists ? RENAME_EXCHANGE : RENAME_NOREPLACE);
  if (r != 0 && errno == ENOENT && e.exists) {
    how = Moved::kCreated;  // the old file went away since add()
    r = sys::renameat2(e.dir_fd, from, e.dir_fd, to, RENAME_NOREPLACE);
  } else if (r != 0 && errno == EEXIST && !e.exists) {
    how = Moved::kExchanged;  // a file appeared since add()
    r = sys::renameat2(e.dir_fd, from, e.dir_fd, to, RENAME_EXCHANGE);
  }
  if (r != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
    how = Moved::kRenamed;
    r = sys::renameat2(e.dir_fd, from, e.dir_fd, to, 0);
  }
  if (r != 0) return temp_error("rename", path, "to '" + e.target + "': " + os_error_message(errno));
  e.moved = how;
  e.renamed = true;
  return Status::Ok();
}

// The old file that an exchange left at the temporary name, removed.
void drop_old_file(Entry& e) {
  if (e.moved != Moved::kExchanged) return;
  struct stat now;
  if (sys::fstatat(e.dir_fd, e.temp_name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(now.st_mode)) {
    (void)sys::unlinkat(e.dir_fd, e.temp_name.c_str(), 0);
  }
}

}  // namespace

namespace {

// Attributes of `name` in `dir_fd` ("" with AT_EMPTY_PATH: the directory
// itself) that statx reports as supported; 0 when it cannot tell.
uint64_t file_attributes(int dir_fd, const char* name, int flags) {
  uint64_t attributes = 0, mask = 0;
  if (sys::statx_attributes(dir_fd, name, flags, &attributes, &mask) != 0) return 0;
  return attributes & mask;
}

// How an existing regular target `e` is written, decided before anything
// changes: refused as a plain write would be (read-only for us, immutable,
// append-only), written in place where a rename cannot replace it (a mount
// point such as a bind-mounted file, an append-only directory, another
// user's file in a sticky directory), replaced otherwise.
Status decide_regular(Entry& e) {
  if (sys::faccessat(e.dir_fd, e.name.c_str(), W_OK, AT_EACCESS) != 0) {
    const int err = errno;
    if (err == EPERM && (file_attributes(e.dir_fd, e.name.c_str(), AT_SYMLINK_NOFOLLOW) & STATX_ATTR_IMMUTABLE)) {
      return Status::Error("cannot write '" + e.target + "': it is immutable: " + os_error_message(err));
    }
    return os_error(err);
  }
  const uint64_t attributes = file_attributes(e.dir_fd, e.name.c_str(), AT_SYMLINK_NOFOLLOW);
  if (attributes & STATX_ATTR_IMMUTABLE) {
    return Status::Error("cannot write '" + e.target + "': it is immutable: " + os_error_message(EPERM));
  }
  if (attributes & STATX_ATTR_APPEND) {
    return Status::Error("cannot write '" + e.target + "': it is append-only: " + os_error_message(EPERM));
  }
  const uid_t me = ::geteuid();
  const bool mount_point = (attributes & STATX_ATTR_MOUNT_ROOT) != 0 || e.old.st_dev != e.dir_st.st_dev;
  const bool sticky_other = (e.dir_st.st_mode & S_ISVTX) != 0 && me != 0 && e.old.st_uid != me &&
                            e.dir_st.st_uid != me;
  if (mount_point || sticky_other) {
    e.kind = Kind::kInPlace;
  } else if (file_attributes(e.dir_fd, "", AT_EMPTY_PATH) & STATX_ATTR_APPEND) {
    e.kind = Kind::kInPlace;
    e.no_marker = true;  // nothing made there could be removed again
  }
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
  std::unique_ptr<Entry, file_writer_detail::EntryDeleter> e(new Entry);
  e->target = r.target;
  split_path(e->target, &e->dir_prefix, &e->name);
  e->dir_fd = open_directory(e->dir_prefix, &e->dir_readable);
  if (e->dir_fd < 0) return os_error(errno);
  if (sys::fstat(e->dir_fd, &e->dir_st) != 0) return os_error(errno);
  // Decide by what the opened directory holds now.
  struct stat st;
  if (sys::fstatat(e->dir_fd, e->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return os_error(errno);
    e->kind = Kind::kReplace;
  } else if (S_ISREG(st.st_mode)) {
    if (!trusted_entry(e->dir_st, st.st_uid)) return os_error(EACCES);
    e->kind = Kind::kReplace;
    e->exists = true;
    e->old = st;
    if (Status s = decide_regular(*e); !s.ok()) return s;
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

namespace {

// The first step of writing `e` (file `i` of `entries`): removes the dead
// temporaries of its target and creates its temporary file, or decides that
// it is written in place.
Status start_entry(Entry& e, const std::unique_ptr<Entry, file_writer_detail::EntryDeleter>* entries,
                   size_t count) {
  if (e.kind != Kind::kReplace) return Status::Ok();  // decided by add()
  if (e.dir_readable) {
    // Dead temporaries of this target; never a file this set is to write.
    const std::string stem = temp_stem(e.name);
    std::vector<std::string> dead;
    const int list_fd = sys::openat(e.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* d = list_fd >= 0 ? sys::fdopendir(list_fd) : nullptr) {
      while (const struct dirent* de = sys::readdir(d)) {
        if (!is_temp_name_of(de->d_name, stem)) continue;
        bool targeted = false;
        for (size_t j = 0; j < count; ++j) {
          targeted |= entries[j]->same_directory(e) && entries[j]->name == de->d_name;
        }
        if (!targeted) dead.emplace_back(de->d_name);
      }
      ::closedir(d);
    } else if (list_fd >= 0) {
      ::close(list_fd);
    }
    const std::string marker = marker_name(e.name);
    for (const std::string& name : dead) remove_if_dead(e.dir_fd, name.c_str(), marker.c_str());
  }
  int create_errno = 0;
  if (Status s = create_temp(e, &create_errno); !s.ok()) {
    const bool refused = create_errno == EACCES || create_errno == EPERM || create_errno == EROFS;
    if (!refused || !e.exists) return s;
    // The directory refuses new files: write the target in place if it lets
    // us, as a plain write would.
    const int fd = sys::openat(e.dir_fd, e.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return os_error(errno);
    ::close(fd);
    e.kind = Kind::kInPlace;
  }
  return Status::Ok();
}

}  // namespace

Status FileSetWriter::append(size_t i, std::string_view bytes) {
  if (i >= count_ || entries_[i]->written || committed_) {
    return Status::Error("file set written out of order");
  }
  Entry& e = *entries_[i];
  if (!e.failure.ok()) return e.failure;
  Status s;
  if (!e.started) {
    e.started = true;
    s = start_entry(e, entries_, count_);
  }
  if (s.ok()) {
    if (e.kind == Kind::kReplace) {
      s = append_temp(e, bytes);
    } else {
      e.bytes.append(bytes);
    }
  }
  if (!s.ok()) {
    e.remove_temp();
    std::string().swap(e.bytes);
    e.failure = s;
  }
  return s;
}

Status FileSetWriter::rewrite_start(size_t i, std::string_view bytes) {
  if (i >= count_ || entries_[i]->written || committed_) {
    return Status::Error("file set written out of order");
  }
  Entry& e = *entries_[i];
  if (!e.failure.ok()) return e.failure;
  const uint64_t appended = e.flushed + e.bytes.size();
  if (!e.started || appended < bytes.size()) return Status::Error("file set rewritten past its end");
  if (e.kind != Kind::kReplace) {
    bytes.copy(e.bytes.data(), bytes.size());
    return Status::Ok();
  }
  Status s = rewrite_temp_start(e, bytes);
  if (!s.ok()) {
    e.remove_temp();
    std::string().swap(e.bytes);
    e.failure = s;
  }
  return s;
}

Status FileSetWriter::restart(size_t i) {
  if (i >= count_ || entries_[i]->written || committed_) {
    return Status::Error("file set written out of order");
  }
  Entry& e = *entries_[i];
  if (!e.failure.ok()) return e.failure;
  if (e.kind == Kind::kReplace) {
    e.remove_temp();
    e.temp_name.clear();
    e.started = false;
  }
  e.flushed = 0;
  e.bytes.clear();
  return Status::Ok();
}

Status FileSetWriter::finish(size_t i) {
  if (Status s = append(i, std::string_view()); !s.ok()) return s;
  Entry& e = *entries_[i];
  if (e.kind == Kind::kReplace) {
    if (Status s = finish_temp(e); !s.ok()) {
      e.remove_temp();
      std::string().swap(e.bytes);
      e.failure = s;
      return s;
    }
  }
  e.written = true;
  return Status::Ok();
}

Status FileSetWriter::write(size_t i, std::string_view bytes) {
  if (Status s = append(i, bytes); !s.ok()) return s;
  return finish(i);
}

Status FileSetWriter::commit() {
  if (committed_) return Status::Error("file set committed twice");
  for (size_t i = 0; i < count_; ++i) {
    if (!entries_[i]->written) return Status::Error("file set committed before every file was written");
  }
  committed_ = true;
  // Devices and FIFOs first, unmarked: their writes are not atomic anyway and
  // a FIFO's open may wait for a reader.
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = *entries_[i];
    if (e.kind != Kind::kSpecial) continue;
    if (Status s = write_in_place(e.target, e.bytes); !s.ok()) return s;
  }
  CommitMarkers markers;
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = *entries_[i];
    if (e.kind != Kind::kSpecial && !e.no_marker) markers.add(e.dir_fd, e.dir_st, e.dir_prefix, e.name);
  }
  if (Status s = markers.acquire(); !s.ok()) return s;
  Status s = commit_marked();
  markers.release();
  if (!s.ok()) return s;
  // Done: what remains is tidying, whose failures change nothing the caller
  // relies on (an old file left at a temporary name is a dead temporary).
  for (size_t i = 0; i < count_; ++i) drop_old_file(*entries_[i]);
  for (size_t i = 0; i < count_; ++i) {
    const Entry& e = *entries_[i];
    if (e.kind == Kind::kSpecial || !e.dir_readable) continue;
    bool first = true;
    for (size_t j = 0; j < i; ++j) {
      const Entry& o = *entries_[j];
      first &= !(o.kind != Kind::kSpecial && o.dir_readable && o.same_directory(e));
    }
    if (first) (void)sys::fsync(e.dir_fd);
  }
  return Status::Ok();
}

Status FileSetWriter::commit_marked() {
  Status s;
  try {
    // In place: every file's space reserved before the first byte of any is
    // written, then each rewritten.
    for (size_t i = 0; i < count_ && s.ok(); ++i) {
      Entry& e = *entries_[i];
      if (e.kind == Kind::kInPlace) s = prepare_in_place(e);
    }
    for (size_t i = 0; i < count_ && s.ok(); ++i) {
      Entry& e = *entries_[i];
      if (e.kind != Kind::kInPlace) continue;
      e.rewritten = true;  // from the first write on, undo restores the old bytes
      s = put_in_place(e, e.bytes);
      if (!s.ok()) s = Status::Error(in_place_error(e, s.message()));
    }
    for (size_t i = 0; i < count_ && s.ok(); ++i) {
      Entry& e = *entries_[i];
      if (e.kind == Kind::kReplace) s = move_into_place(e);
    }
  } catch (...) {
    std::string ignored;
    for (size_t i = count_; i-- > 0;) undo_entry(*entries_[i], &ignored);
    throw;
  }
  if (s.ok()) return s;
  std::string undo_failures;
  for (size_t i = count_; i-- > 0;) undo_entry(*entries_[i], &undo_failures);
  if (undo_failures.empty()) return s;
  return Status::Error(s.message() + " (and the save could not be undone: " + undo_failures + ")");
}

Status write_whole_file(const std::string& path, std::string_view bytes) {
  FileSetWriter files;
  if (Status s = files.add(path); !s.ok()) return s;
  if (Status s = files.write(0, bytes); !s.ok()) return s;
  return files.commit();
}

void set_replace_fault_hook_for_testing(ReplaceFaultHook hook) { g_replace_fault_hook = hook; }

}  // namespace vedra
