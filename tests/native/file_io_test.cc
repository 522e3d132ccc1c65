// Tests of whole-file reads and the safe-replace write: error texts, symbolic
// links, special files, failures that must keep the old file, killed and
// concurrent writers, and the absence of stale temporary files.
#include "snapshot/file_path.h"
#include "snapshot/file_read.h"
#include "snapshot/file_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "testing.h"

namespace {

namespace fs = std::filesystem;
using vedra::read_whole_file;
using vedra::write_whole_file;
using vedra_testing::TempDir;

std::string slurp(const std::string& path) {
  vedra::Result<std::string> r = read_whole_file(path);
  return r.ok() ? r.value() : "<error: " + r.status().message() + ">";
}

std::string outcome(const vedra::Status& s) { return s.ok() ? "ok" : s.message(); }

void put(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

ino_t inode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

using Names = std::vector<std::string>;

vedra::Status fail_before_rename(vedra::ReplaceStage stage, const std::string&) {
  return stage == vedra::ReplaceStage::kWritten ? vedra::Status::Error("injected fault") : vedra::Status::Ok();
}

vedra::Status die_before_rename(vedra::ReplaceStage stage, const std::string&) {
  if (stage == vedra::ReplaceStage::kWritten) ::raise(SIGKILL);
  return vedra::Status::Ok();
}

// Whether `name` has the form of a temporary file of target `target`.
bool is_temp_of(const std::string& name, const std::string& target) {
  const std::string head = "." + target + ".";
  return name.size() == head.size() + 32 + 10 && name.compare(0, head.size(), head) == 0 &&
         name.compare(name.size() - 10, 10, ".vedra-tmp") == 0;
}

}  // namespace

TEST(FileIo, OsErrorMessageForm) {
  EXPECT_EQ(vedra::os_error_message(2), std::string("No such file or directory (os error 2)"));
  EXPECT_EQ(vedra::os_error_message(21), std::string("Is a directory (os error 21)"));
  EXPECT_EQ(vedra::os_error_message(13), std::string("Permission denied (os error 13)"));
}

TEST(FileIo, ErrorTexts) {
  TempDir dir;
  put(dir / "plain", "x");
  ASSERT_TRUE(::mkdir((dir / "sub").c_str(), 0755) == 0);
  const std::string nul_path = dir / std::string("new\0file", 8);
  struct Case {
    const char* name;
    std::string path;
    std::string read_message;   // "" when the read succeeds
    std::string write_message;  // "ok" when the write succeeds
  } cases[] = {
      {"missing000_file", dir / "new_file", "No such file or directory (os error 2)", "ok"},
      {"missing010_directory", dir / "absent_dir/file", "No such file or directory (os error 2)",
       "No such file or directory (os error 2)"},
      {"missing020_empty_path", "", "No such file or directory (os error 2)",
       "No such file or directory (os error 2)"},
      {"dir000_plain", dir / "sub", "Is a directory (os error 21)", "Is a directory (os error 21)"},
      {"dir010_trailing_slash", dir / "sub/", "Is a directory (os error 21)",
       "Is a directory (os error 21)"},
      {"dir020_dot", dir / "sub/.", "Is a directory (os error 21)", "Is a directory (os error 21)"},
      {"notdir000_file_as_directory", dir / "plain/x", "Not a directory (os error 20)",
       "Not a directory (os error 20)"},
      {"nul000_in_name", nul_path, "file name contained an unexpected NUL byte",
       "file name contained an unexpected NUL byte"},
      {"nul010_leading", std::string("\0", 1), "file name contained an unexpected NUL byte",
       "file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    vedra::Result<std::string> r = read_whole_file(c.path);
    EXPECT_EQ(std::string(c.name) + " read: " + (r.ok() ? "" : r.status().message()),
              std::string(c.name) + " read: " + c.read_message);
    EXPECT_EQ(std::string(c.name) + " write: " + outcome(write_whole_file(c.path, "data")),
              std::string(c.name) + " write: " + c.write_message);
  }
  // Nothing was created for the refused names, and no temporary file is left.
  EXPECT_TRUE((dir.entries() == Names{"new_file", "plain", "sub"}));
  EXPECT_TRUE(fs::is_empty(dir / "sub"));
}

TEST(FileIo, ReadWriteRoundTrip) {
  TempDir dir;
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  const std::string cases[] = {"", "a", std::string("\0\xff\n", 3), big, "shorter"};
  const std::string path = dir / "data.bin";
  for (const std::string& bytes : cases) {
    ASSERT_TRUE(write_whole_file(path, bytes).ok());
    EXPECT_TRUE(slurp(path) == bytes);
    EXPECT_TRUE((dir.entries() == Names{"data.bin"}));
  }
}

TEST(FileIo, ReadsFilesOfUnknownSize) {
  const std::string status = slurp("/proc/self/status");
  EXPECT_TRUE(status.find("Umask:") != std::string::npos);
  EXPECT_EQ(slurp("/dev/null"), std::string());
}

TEST(FileIo, RelativePathInCurrentDirectory) {
  TempDir dir;
  char old_cwd[4096];
  ASSERT_TRUE(::getcwd(old_cwd, sizeof old_cwd) != nullptr);
  ASSERT_TRUE(::chdir(dir.path.c_str()) == 0);
  const vedra::Status first = write_whole_file("rel.bin", "one");
  const vedra::Status second = write_whole_file("rel.bin", "two");
  const std::string back = slurp("rel.bin");
  ASSERT_TRUE(::chdir(old_cwd) == 0);
  EXPECT_EQ(outcome(first), std::string("ok"));
  EXPECT_EQ(outcome(second), std::string("ok"));
  EXPECT_EQ(back, std::string("two"));
  EXPECT_TRUE((dir.entries() == Names{"rel.bin"}));
}

TEST(FileIo, ReplaceGivesNewInodeAndKeepsMode) {
  TempDir dir;
  const std::string path = dir / "snap";
  put(path, "old contents");
  ASSERT_TRUE(::chmod(path.c_str(), 0640) == 0);
  ASSERT_TRUE(::link(path.c_str(), (dir / "hardlink").c_str()) == 0);
  const ino_t before = inode_of(path);
  ASSERT_TRUE(write_whole_file(path, "new").ok());
  EXPECT_EQ(slurp(path), std::string("new"));
  EXPECT_EQ(mode_of(path), mode_t{0640});
  EXPECT_FALSE(inode_of(path) == before);
  EXPECT_EQ(slurp(dir / "hardlink"), std::string("old contents"));  // a separate name, untouched

  ASSERT_TRUE(::chmod(path.c_str(), 0604) == 0);
  ASSERT_TRUE(write_whole_file(path, "again").ok());
  EXPECT_EQ(mode_of(path), mode_t{0604});
  EXPECT_TRUE((dir.entries() == Names{"hardlink", "snap"}));
}

TEST(FileIo, NewFileModeFollowsUmask) {
  TempDir dir;
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    const mode_t old_mask = ::umask(mask);
    const std::string path = dir / ("new" + std::to_string(mask));
    const vedra::Status s = write_whole_file(path, "x");
    ::umask(old_mask);
    EXPECT_EQ(outcome(s), std::string("ok"));
    EXPECT_EQ(mode_of(path), mode_t{0666 & ~mask});
  }
}

TEST(FileIo, FailedReplaceKeepsOldFile) {
  TempDir dir;
  const std::string path = dir / "full.bin";
  put(path, "previous good snapshot");
  vedra::set_replace_fault_hook_for_testing(&fail_before_rename);
  const vedra::Status over_old = write_whole_file(path, "half-written new snapshot");
  const vedra::Status new_file = write_whole_file(dir / "fresh.bin", "never appears");
  vedra::set_replace_fault_hook_for_testing(nullptr);
  EXPECT_EQ(outcome(over_old), std::string("injected fault"));
  EXPECT_EQ(outcome(new_file), std::string("injected fault"));
  EXPECT_EQ(slurp(path), std::string("previous good snapshot"));
  EXPECT_TRUE((dir.entries() == Names{"full.bin"}));
}

TEST(FileIo, WriteErrorKeepsOldFile) {
  // A file-size limit makes the kernel refuse the write half-way (EFBIG),
  // which works for root too.
  TempDir dir;
  const std::string path = dir / "full.bin";
  put(path, "previous good snapshot");
  struct rlimit old_limit;
  ASSERT_TRUE(::getrlimit(RLIMIT_FSIZE, &old_limit) == 0);
  struct sigaction ignore = {}, old_action;
  ignore.sa_handler = SIG_IGN;
  ASSERT_TRUE(::sigaction(SIGXFSZ, &ignore, &old_action) == 0);
  struct rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_TRUE(::setrlimit(RLIMIT_FSIZE, &small) == 0);
  const vedra::Status s = write_whole_file(path, std::string(100000, 'n'));
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::sigaction(SIGXFSZ, &old_action, nullptr);
  const std::string m = outcome(s);
  EXPECT_TRUE(m.rfind("cannot write temporary file '" + dir.path + "/.full.bin.", 0) == 0);
  const std::string tail = "': File too large (os error 27)";
  EXPECT_TRUE(m.size() > tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0);
  EXPECT_EQ(slurp(path), std::string("previous good snapshot"));
  EXPECT_TRUE((dir.entries() == Names{"full.bin"}));
}

namespace {

// Runs body() in a child process that can write `file` but cannot create
// files in `dir`: as nobody, owner of `file`, when we are root (root may
// create files anywhere), else as ourselves with `dir` made read-only.
// Returns the child's exit status (body's result), or -1 when it did not exit.
template <typename Body>
int exit_status_where_files_cannot_be_created(const TempDir& dir, const std::string& file, Body body) {
  const bool root = ::geteuid() == 0;
  if (root && ::chown(file.c_str(), 65534, 65534) != 0) return -1;
  if (::chmod(dir.path.c_str(), 0755) != 0) return -1;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (root && ::setuid(65534) != 0) ::_exit(3);
    if (!root) ::chmod(dir.path.c_str(), 0555);
    ::_exit(body());
  }
  int status = 0;
  const bool waited = ::waitpid(child, &status, 0) == child;
  ::chmod(dir.path.c_str(), 0700);
  return waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FileIo, ReadOnlyDirectoryWritesInPlace) {
  // Run as another user when we are root, who may create files anywhere.
  TempDir dir;
  const std::string path = dir / "full.bin";
  put(path, "previous good snapshot");
  const int status = exit_status_where_files_cannot_be_created(dir, path, [&] {
    const vedra::Status ok = write_whole_file(path, "new in place");
    const vedra::Status missing = write_whole_file(dir / "absent.bin", "x");
    const bool named = missing.message().rfind("cannot create temporary file '" + dir.path + "/.absent.bin.", 0) == 0 &&
                       missing.message().find("Permission denied (os error 13)") != std::string::npos;
    return ok.ok() ? (named ? 0 : 2) : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(slurp(path), std::string("new in place"));
  EXPECT_TRUE((dir.entries() == Names{"full.bin"}));
}

TEST(FileIo, SymbolicLinksReplaceTheirTarget) {
  TempDir dir;
  ASSERT_TRUE(::mkdir((dir / "real").c_str(), 0755) == 0);
  put(dir / "real/target", "old");
  ASSERT_TRUE(::chmod((dir / "real/target").c_str(), 0600) == 0);
  ASSERT_TRUE(::symlink("real/target", (dir / "relative").c_str()) == 0);
  ASSERT_TRUE(::symlink((dir / "relative").c_str(), (dir / "chain").c_str()) == 0);
  ASSERT_TRUE(::symlink("real/not-yet", (dir / "dangling").c_str()) == 0);
  ASSERT_TRUE(::symlink("loop_b", (dir / "loop_a").c_str()) == 0);
  ASSERT_TRUE(::symlink("loop_a", (dir / "loop_b").c_str()) == 0);

  EXPECT_EQ(outcome(write_whole_file(dir / "relative", "via relative")), std::string("ok"));
  EXPECT_EQ(slurp(dir / "real/target"), std::string("via relative"));
  EXPECT_EQ(outcome(write_whole_file(dir / "chain", "via chain")), std::string("ok"));
  EXPECT_EQ(slurp(dir / "real/target"), std::string("via chain"));
  EXPECT_EQ(mode_of(dir / "real/target"), mode_t{0600});
  EXPECT_EQ(outcome(write_whole_file(dir / "dangling", "created")), std::string("ok"));
  EXPECT_EQ(slurp(dir / "real/not-yet"), std::string("created"));
  EXPECT_EQ(outcome(write_whole_file(dir / "loop_a", "x")),
            std::string("Too many levels of symbolic links (os error 40)"));

  for (const char* link : {"relative", "chain", "dangling", "loop_a", "loop_b"}) {
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / link)));
  }
  EXPECT_EQ(fs::read_symlink(dir / "relative").string(), std::string("real/target"));
  EXPECT_TRUE(
      (dir.entries() == Names{"chain", "dangling", "loop_a", "loop_b", "real", "relative"}));
  std::vector<std::string> real;
  for (const auto& e : fs::directory_iterator(dir / "real")) real.push_back(e.path().filename());
  std::sort(real.begin(), real.end());
  EXPECT_TRUE((real == Names{"not-yet", "target"}));
}

TEST(FileIo, SpecialFilesAreWrittenInPlace) {
  EXPECT_EQ(outcome(write_whole_file("/dev/null", "discarded")), std::string("ok"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_FALSE(fs::exists("/dev/.null.vedra-tmp"));

  TempDir dir;
  const std::string fifo = dir / "pipe";
  ASSERT_TRUE(::mkfifo(fifo.c_str(), 0600) == 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_TRUE(reader >= 0);
  EXPECT_EQ(outcome(write_whole_file(fifo, "through the pipe")), std::string("ok"));
  char buf[64];
  const ssize_t n = ::read(reader, buf, sizeof buf);
  ::close(reader);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), std::string("through the pipe"));
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE((dir.entries() == Names{"pipe"}));
}

TEST(FileIo, DeadTemporaryFilesAreRemovedAndNothingElse) {
  TempDir dir;
  const std::string path = dir / "index.bin";
  put(path, "old");
  const std::string hex(32, 'a'), hex2(32, 'b'), hex3(32, 'c'), hex4(32, 'd');
  put(dir / (".index.bin." + hex + ".vedra-tmp"), std::string(10000, 'j'));  // dead debris
  put(dir / (".index.bin." + hex2 + ".vedra-tmp"), "read-only debris");
  ASSERT_TRUE(::chmod((dir / (".index.bin." + hex2 + ".vedra-tmp")).c_str(), 0444) == 0);
  put(dir / ".index.bin.vedra-tmp", "the old fixed name: not ours to remove");
  put(dir / "victim", "hard-linked");
  ASSERT_TRUE(::link((dir / "victim").c_str(), (dir / (".index.bin." + hex3 + ".vedra-tmp")).c_str()) == 0);
  ASSERT_TRUE(::symlink("victim", (dir / (".index.bin." + hex4 + ".vedra-tmp")).c_str()) == 0);
  put(dir / (".other.bin." + hex + ".vedra-tmp"), "another target's");
  // A live writer's temporary file: held locked by a child.
  const std::string live = dir / (".index.bin." + std::string(32, 'e') + ".vedra-tmp");
  put(live, "live");
  int ready[2];
  ASSERT_TRUE(::pipe(ready) == 0);
  const pid_t holder = ::fork();
  ASSERT_TRUE(holder >= 0);
  if (holder == 0) {
    const int fd = ::open(live.c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  ASSERT_TRUE(::read(ready[0], &c, 1) == 1);
  EXPECT_EQ(outcome(write_whole_file(path, "new")), std::string("ok"));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(slurp(path), std::string("new"));
  EXPECT_EQ(slurp(dir / "victim"), std::string("hard-linked"));
  EXPECT_TRUE((dir.entries() == Names{".index.bin." + hex3 + ".vedra-tmp", ".index.bin." + hex4 + ".vedra-tmp",
                                      ".index.bin." + std::string(32, 'e') + ".vedra-tmp", ".index.bin.vedra-tmp",
                                      ".other.bin." + hex + ".vedra-tmp", "index.bin", "victim"}));
  // The holder is dead now: its file is debris for the next write.
  EXPECT_EQ(outcome(write_whole_file(path, "newer")), std::string("ok"));
  EXPECT_FALSE(fs::exists(live));
}

TEST(FileIo, KilledWriterLeavesOneTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "full.bin";
  put(path, "old");
  for (int round = 0; round < 3; ++round) {
    const pid_t child = ::fork();
    ASSERT_TRUE(child >= 0);
    if (child == 0) {
      vedra::set_replace_fault_hook_for_testing(&die_before_rename);
      (void)write_whole_file(path, "killed half-way " + std::to_string(round));
      ::_exit(0);
    }
    int status = 0;
    ASSERT_TRUE(::waitpid(child, &status, 0) == child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(slurp(path), std::string("old"));
    const Names names = dir.entries();
    EXPECT_TRUE(names.size() == 2 && is_temp_of(names[0], "full.bin") && names[1] == "full.bin");
  }
  EXPECT_EQ(outcome(write_whole_file(path, "recovered")), std::string("ok"));
  EXPECT_EQ(slurp(path), std::string("recovered"));
  EXPECT_TRUE((dir.entries() == Names{"full.bin"}));
}

TEST(FileIo, LongNameUsesHashedTemporaryName) {
  TempDir dir;
  const std::string name(250, 'n');
  const std::string path = dir / name;
  EXPECT_EQ(outcome(write_whole_file(path, "first")), std::string("ok"));
  EXPECT_EQ(outcome(write_whole_file(path, "second")), std::string("ok"));
  EXPECT_EQ(slurp(path), std::string("second"));
  EXPECT_TRUE((dir.entries() == Names{name}));
}

TEST(FileIo, ConcurrentWritersNeverTearTheFile) {
  TempDir dir;
  const std::string path = dir / "shared.bin";
  const std::string a(300000, 'a');
  const std::string b(200000, 'b');
  const std::string initial(100000, 'i');
  put(path, initial);
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = ::fork();
    ASSERT_TRUE(writers[w] >= 0);
    if (writers[w] == 0) {
      int failures = 0;
      for (int i = 0; i < 40; ++i) failures += write_whole_file(path, w == 0 ? a : b).ok() ? 0 : 1;
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  int torn = 0, reads = 0, live = 2;
  while (live > 0) {
    for (pid_t& w : writers) {
      int status = 0;
      if (w > 0 && ::waitpid(w, &status, WNOHANG) == w) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        w = -1;
        --live;
      }
    }
    const std::string now = slurp(path);
    ++reads;
    if (now != a && now != b && now != initial) ++torn;
  }
  EXPECT_EQ(torn, 0);
  EXPECT_TRUE(reads > 0);
  const std::string last = slurp(path);
  EXPECT_TRUE(last == a || last == b);
  EXPECT_TRUE((dir.entries() == Names{"shared.bin"}));
}

namespace {

int g_renames_before_death = 0;

vedra::Status die_at_rename(vedra::ReplaceStage stage, const std::string&) {
  if (stage == vedra::ReplaceStage::kRenaming && g_renames_before_death-- == 0) ::raise(SIGKILL);
  return vedra::Status::Ok();
}

vedra::Status fail_last_write(vedra::ReplaceStage stage, const std::string& temp) {
  if (stage == vedra::ReplaceStage::kWritten && temp.find("/.c.") != std::string::npos) {
    return vedra::Status::Error("injected fault");
  }
  return vedra::Status::Ok();
}

vedra::Status write_set(const std::vector<std::pair<std::string, std::string>>& files) {
  vedra::FileSetWriter set;
  for (const auto& f : files) {
    if (vedra::Status s = set.add(f.first); !s.ok()) return s;
  }
  for (size_t i = 0; i < files.size(); ++i) {
    if (vedra::Status s = set.write(i, files[i].second); !s.ok()) return s;
  }
  return set.commit();
}

}  // namespace

TEST(FileSet, FailureBeforeAnyRenameKeepsEveryOldFile) {
  TempDir dir;
  for (const char* n : {"a", "b", "c"}) put(dir / n, std::string("old ") + n);
  vedra::set_replace_fault_hook_for_testing(&fail_last_write);
  const vedra::Status s = write_set({{dir / "a", "new a"}, {dir / "b", "new b"}, {dir / "c", "new c"}});
  vedra::set_replace_fault_hook_for_testing(nullptr);
  EXPECT_EQ(outcome(s), std::string("injected fault"));
  for (const char* n : {"a", "b", "c"}) EXPECT_EQ(slurp(dir / n), std::string("old ") + n);
  EXPECT_TRUE((dir.entries() == Names{"a", "b", "c"}));
  // A directory among the targets is refused before anything is written.
  ASSERT_TRUE(::mkdir((dir / "d").c_str(), 0755) == 0);
  EXPECT_EQ(outcome(write_set({{dir / "a", "new a"}, {dir / "d", "x"}})), std::string("Is a directory (os error 21)"));
  EXPECT_EQ(slurp(dir / "a"), std::string("old a"));
}

std::string read_pair(const std::string& a, const std::string& b);

TEST(FileSet, KillBetweenRenamesLeavesOnlyAPrefixNew) {
  for (int renamed = 0; renamed < 3; ++renamed) {
    TempDir dir;
    for (const char* n : {"a", "b", "c"}) put(dir / n, "old");
    const pid_t child = ::fork();
    ASSERT_TRUE(child >= 0);
    if (child == 0) {
      g_renames_before_death = renamed;
      vedra::set_replace_fault_hook_for_testing(&die_at_rename);
      (void)write_set({{dir / "a", "new"}, {dir / "b", "new"}, {dir / "c", "new"}});
      ::_exit(0);
    }
    int status = 0;
    ASSERT_TRUE(::waitpid(child, &status, 0) == child);
    EXPECT_TRUE(WIFSIGNALED(status));
    const char* names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(slurp(dir / names[i]), std::string(i < renamed ? "new" : "old"));
    // Each target's temporary name holds its new file (not renamed yet) or
    // its old one (exchanged), and the commit markers stay: a read of the
    // mixed set is refused until the next save.
    EXPECT_EQ(dir.entries().size(), size_t{3 + 3 + 3});
    vedra::set_commit_wait_for_testing(1);
    EXPECT_TRUE(read_pair(dir / "a", dir / "c").rfind("timed out after 1 ms waiting for a save", 0) == 0);
    vedra::set_commit_wait_for_testing(0);
    ASSERT_TRUE(write_set({{dir / "a", "next"}, {dir / "b", "next"}, {dir / "c", "next"}}).ok());
    EXPECT_TRUE((dir.entries() == Names{"a", "b", "c"}));
  }
}

namespace {

// A child that holds flock(op) on `path` (as nobody when `other_user` and we
// are root) until killed; returns its pid once the lock is held, or -1.
pid_t hold_flock(const std::string& path, int op, bool other_user) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t holder = ::fork();
  if (holder == 0) {
    if (other_user && ::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(3);
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::flock(fd, op) != 0) ::_exit(4);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char c;
  const bool held = holder > 0 && ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  ::close(ready[1]);
  if (!held && holder > 0) {
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    return -1;
  }
  return holder;
}

void stop(pid_t holder) {
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
}

}  // namespace

std::string read_pair(const std::string& a, const std::string& b) {
  std::vector<vedra::Result<std::string>> r =
      vedra::read_files_together({a, b}, [](std::string_view) { return uint64_t{UINT64_MAX}; });
  return r[0].ok() && r[1].ok() ? r[0].value() + "+" + r[1].value()
                                : (r[0].ok() ? r[1] : r[0]).status().message();
}

TEST(FileSet, LocksOfOtherProgramsNeverMeetTheProtocol) {
  // flock on the directory or on the files, shared or exclusive, by this
  // process or by another user: saves and reads go on at once.
  struct Case {
    const char* name;
    const char* locked;  // "" for the directory
    int op;
    int holder;  // 0: this process, 1: a child, 2: a child as another user (when root)
  } cases[] = {
      {"dir000_exclusive_this_process", "", LOCK_EX, 0},
      {"dir010_exclusive_child", "", LOCK_EX, 1},
      {"dir020_shared_other_user", "", LOCK_SH, 2},
      {"dir030_exclusive_other_user", "", LOCK_EX, 2},
      {"file000_exclusive_on_target", "a", LOCK_EX, 0},
      {"file010_shared_on_target_other_user", "b", LOCK_SH, 2},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(::chmod(dir.path.c_str(), 0755) == 0);
    put(dir / "a", "old a");
    put(dir / "b", "old b");
    ::chmod((dir / "a").c_str(), 0644);
    ::chmod((dir / "b").c_str(), 0644);
    const std::string locked = *c.locked ? dir / c.locked : dir.path;
    int own = -1;
    pid_t holder = 0;
    if (c.holder == 0) {
      own = ::open(locked.c_str(), O_RDONLY);
      ASSERT_TRUE(own >= 0 && ::flock(own, c.op) == 0);
    } else {
      holder = hold_flock(locked, c.op, c.holder == 2);
      ASSERT_TRUE(holder > 0);
    }
    const vedra::Status saved = write_set({{dir / "a", "new a"}, {dir / "b", "new b"}});
    const std::string read = read_pair(dir / "a", dir / "b");
    if (holder > 0) stop(holder);
    if (own >= 0) ::close(own);
    EXPECT_EQ(std::string(c.name) + ": " + outcome(saved), std::string(c.name) + ": ok");
    EXPECT_EQ(std::string(c.name) + ": " + read, std::string(c.name) + ": new a+new b");
    EXPECT_TRUE((dir.entries() == Names{"a", "b"}));
  }
}

TEST(FileSet, CommitMarkerOfALiveWriterIsWaitedForBriefly) {
  // A writer that stops inside its commit (here: a child holding the marker)
  // makes other saves and reads of the target fail after the commit wait,
  // never wait for longer; a killed writer's marker is removed by the next
  // save.
  TempDir dir;
  put(dir / "a", "old a");
  put(dir / "b", "old b");
  const std::string marker = dir / ".a.vedra-commit";
  put(marker, "");
  const pid_t holder = hold_flock(marker, LOCK_EX, false);
  ASSERT_TRUE(holder > 0);
  vedra::set_commit_wait_for_testing(5);
  const vedra::Status saved = write_set({{dir / "b", "new b"}, {dir / "a", "new a"}});
  const std::string read = read_pair(dir / "a", dir / "b");
  stop(holder);
  EXPECT_EQ(outcome(saved), "another save is replacing '" + dir.path + "/a' (commit marker '" + marker + "' is held)");
  EXPECT_EQ(read, "timed out after 5 ms waiting for a save to finish replacing '" + dir.path +
                      "/a' (a save killed while replacing it leaves '" + marker + "' behind, which the next save removes)");
  EXPECT_EQ(slurp(dir / "a") + slurp(dir / "b"), std::string("old aold b"));
  EXPECT_TRUE((dir.entries() == Names{".a.vedra-commit", "a", "b"}));
  // The holder is gone: its marker is dead.
  EXPECT_EQ(outcome(write_set({{dir / "a", "new a"}, {dir / "b", "new b"}})), std::string("ok"));
  vedra::set_commit_wait_for_testing(0);
  EXPECT_EQ(read_pair(dir / "a", dir / "b"), std::string("new a+new b"));
  EXPECT_TRUE((dir.entries() == Names{"a", "b"}));
}

TEST(FileSet, SameTargetIsReported) {
  TempDir dir;
  ASSERT_TRUE(::symlink("x", (dir / "alias").c_str()) == 0);
  vedra::FileSetWriter set;
  ASSERT_TRUE(set.add(dir / "x").ok());
  ASSERT_TRUE(set.add(dir / "y").ok());
  ASSERT_TRUE(set.add(dir / "alias").ok());
  ASSERT_TRUE(set.add("/dev/null").ok());
  EXPECT_EQ(set.same_target(1), vedra::FileSetWriter::npos);
  EXPECT_EQ(set.same_target(2), size_t{0});
  EXPECT_EQ(set.same_target(3), vedra::FileSetWriter::npos);
  EXPECT_FALSE(set.add(dir / "z").ok());  // the set is full
}

TEST(FileSet, StreamedWriteEqualsWholeWrite) {
  // Pieces below, across and above the write buffer, and an empty file; into
  // a new file, over an old one, and in place (a directory that refuses new
  // files, as another user when we are root).
  TempDir dir;
  const size_t buffer = vedra::FileSetWriter::kWriteBufferBytes;
  std::string big(3 * buffer + 12345, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  const std::vector<size_t> cuts[] = {{}, {1, 2, 3}, {buffer - 1, buffer + 1}, {2 * buffer + 7}, {0, 0, big.size()}};
  put(dir / "old", "old contents");
  for (const auto& pieces : cuts) {
    for (const char* name : {"new", "old"}) {
      const std::string path = dir / name;
      vedra::FileSetWriter set;
      ASSERT_TRUE(set.add(path).ok());
      size_t at = 0;
      for (size_t cut : pieces) {
        const size_t n = std::min(cut, big.size() - at);
        ASSERT_TRUE(set.append(0, std::string_view(big).substr(at, n)).ok());
        at += n;
      }
      ASSERT_TRUE(set.append(0, std::string_view(big).substr(at)).ok());
      ASSERT_TRUE(set.finish(0).ok());
      EXPECT_EQ(outcome(set.append(0, "late")), std::string("file set written out of order"));
      ASSERT_TRUE(set.commit().ok());
      EXPECT_TRUE(slurp(path) == big);
    }
  }
  EXPECT_TRUE((dir.entries() == Names{"new", "old"}));
  vedra::FileSetWriter empty;
  ASSERT_TRUE(empty.add(dir / "old").ok());
  ASSERT_TRUE(empty.finish(0).ok());
  ASSERT_TRUE(empty.commit().ok());
  EXPECT_EQ(slurp(dir / "old"), std::string());

  const int status = exit_status_where_files_cannot_be_created(dir, dir / "old", [&] {
    vedra::FileSetWriter set;
    bool ok = set.add(dir / "old").ok();
    for (size_t at = 0; ok && at < big.size(); at += buffer / 3) {
      ok = set.append(0, std::string_view(big).substr(at, buffer / 3)).ok();
    }
    ok = ok && set.finish(0).ok() && set.commit().ok();
    return ok ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(slurp(dir / "old") == big);
  EXPECT_TRUE((dir.entries() == Names{"new", "old"}));
}

namespace {

int g_renames_before_failure = 0;

vedra::Status fail_at_rename(vedra::ReplaceStage stage, const std::string&) {
  if (stage == vedra::ReplaceStage::kRenaming && g_renames_before_failure-- == 0) {
    return vedra::Status::Error("injected rename fault");
  }
  return vedra::Status::Ok();
}

}  // namespace

TEST(FileSet, FailureAtEachRenameUndoesTheEarlierOnes) {
  // Over old files and beside a file that does not exist yet: whichever
  // rename fails, every target is as before and nothing else is left.
  for (int failing = 0; failing < 3; ++failing) {
    TempDir dir;
    put(dir / "a", "old a");
    put(dir / "c", "old c");  // b is new
    g_renames_before_failure = failing;
    vedra::set_replace_fault_hook_for_testing(&fail_at_rename);
    const vedra::Status s = write_set({{dir / "a", "new a"}, {dir / "b", "new b"}, {dir / "c", "new c"}});
    vedra::set_replace_fault_hook_for_testing(nullptr);
    EXPECT_EQ(outcome(s), std::string("injected rename fault"));
    EXPECT_EQ(slurp(dir / "a") + "|" + slurp(dir / "c"), std::string("old a|old c"));
    EXPECT_TRUE((dir.entries() == Names{"a", "c"}));
    EXPECT_EQ(read_pair(dir / "a", dir / "c"), std::string("old a+old c"));
  }
}
