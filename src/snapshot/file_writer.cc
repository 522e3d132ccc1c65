#include "snapshot/file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

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

}  // namespace

namespace file_writer_detail {

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
  bool started = false;  // temporary created or kind decided (first append)
  bool written = false;  // finished
  bool renamed = false;
  Status failure;        // the first failure of append() or finish()
  std::string bytes;     // the buffered bytes of a temporary file; the whole
                         // contents of a file written in place or special

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

}  // namespace file_writer_detail

namespace {

using file_writer_detail::Entry;
using file_writer_detail::Kind;

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

// Writes the buffered bytes of `e` to its temporary file.
Status flush_temp(Entry& e) {
  if (e.bytes.empty()) return Status::Ok();
  const int code = write_all_raw(e.temp_fd, e.bytes);
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
  return Status::Ok();
}

// Writes out the temporary file of `e`, gives it its mode and syncs it.
Status finish_temp(Entry& e) {
  if (Status s = flush_temp(e); !s.ok()) return s;
  std::string().swap(e.bytes);
  const std::string path = e.temp_path();
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
  std::unique_ptr<Entry, file_writer_detail::EntryDeleter> e(new Entry);
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

namespace {

// The first step of writing `e` (file `i` of `entries`): removes the dead
// temporaries of its target and creates its temporary file, or decides that
// it is written in place.
Status start_entry(Entry& e, const std::unique_ptr<Entry, file_writer_detail::EntryDeleter>* entries,
                   size_t count) {
  if (e.kind == Kind::kSpecial) return Status::Ok();
  if (e.dir_readable) {
    // Dead temporaries of this target; never a file this set is to write.
    const std::string stem = temp_stem(e.name);
    std::vector<std::string> dead;
    const int list_fd = ::openat(e.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* d = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr) {
      while (const struct dirent* de = ::readdir(d)) {
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

}  // namespace vedra
