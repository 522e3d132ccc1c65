// The I/O failure sweep: every file-system call of one save and of one load
// failed in turn, as EIO, ENOSPC and EINTR.  A failed save leaves every file
// byte-equal to before and no temporary file; a save that absorbed its
// failure ends as a clean one (a dead temporary it could not remove goes with
// the next save); a failed load leaves the engine as it was; an EINTR is
// retried, so the call succeeds.  A recording hook checks the order of the
// syncs: every file before its rename, every directory once after its last.
#include "snapshot/file_calls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "snapshot/snapshot_io.h"
#include "store/engine_state.h"
#include "store/record_add.h"
#include "temp_dir.h"
#include "testing.h"

using namespace vedra;
using vedra_testing::TempDir;

namespace {

void fill(EngineState& s, const std::string& which, int records) {
  for (int i = 0; i < records; ++i) {
    RecordInput in;
    in.code = which + std::to_string(i);
    in.name = "name " + in.code;
    in.pinyin = "p" + std::to_string(i);
    in.payload = default_payload(in.code, in.name, in.pinyin);
    if (!add_record(s, in).ok()) vedra_testing::record_failure(__FILE__, __LINE__, "fill");
  }
}

// Name -> contents of every entry, the manifest's save time masked.
std::map<std::string, std::string> files_in(const std::string& dir) {
  static const std::regex created_at("\"created_at\": \"[0-9]+\"");
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out[e.path().filename()] = std::regex_replace(bytes, created_at, "\"created_at\": \"T\"");
  }
  return out;
}

// Makes `dir` hold exactly `files`, writing in place (the directory may
// refuse new files).
void restore(const std::string& dir, const std::map<std::string, std::string>& files) {
  for (const auto& [name, bytes] : files_in(dir)) {
    if (files.count(name) == 0) ::unlink((dir + "/" + name).c_str());
  }
  for (const auto& [name, bytes] : files) {
    std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
  }
}

bool is_temporary(const std::string& name) {
  return name.size() > 10 && name.compare(name.size() - 10, 10, ".vedra-tmp") == 0;
}

// The hook's plan: count every call; fail call number g_fail_at with g_errno.
long g_calls = 0;
long g_fail_at = -1;
int g_errno = 0;
bool g_hit = false;
std::string g_failed_call;  // what the failed call did, for messages

int counting_hook(const FileCall& c) {
  if (g_calls++ == g_fail_at) {
    g_hit = true;
    g_failed_call = "op " + std::to_string(static_cast<int>(c.op)) + " " + (c.name != nullptr ? c.name : "");
    return g_errno;
  }
  return 0;
}

struct SweepFigures {
  long calls = 0;   // calls of one clean run
  long failed = 0;  // failures that failed the call (EIO and ENOSPC runs)
  long absorbed = 0;
};

// Sweeps `op` (a save or a load) over every call, for each errno.  `reset`
// puts the world back before a run; `check(ok)` judges one run.
SweepFigures sweep(const std::function<void()>& reset, const std::function<bool()>& op,
                   const std::function<void(bool ok, int err)>& check) {
  SweepFigures f;
  reset();
  g_calls = 0;
  g_fail_at = -1;
  set_file_call_hook_for_testing(&counting_hook);
  const bool clean = op();
  set_file_call_hook_for_testing(nullptr);
  EXPECT_TRUE(clean);
  check(clean, 0);
  f.calls = g_calls;
  for (int err : {EIO, ENOSPC, EINTR}) {
    for (long k = 0; k < f.calls; ++k) {
      reset();
      g_calls = 0;
      g_fail_at = k;
      g_errno = err;
      g_hit = false;
      set_file_call_hook_for_testing(&counting_hook);
      const bool ok = op();
      set_file_call_hook_for_testing(nullptr);
      EXPECT_TRUE(g_hit);
      if (err == EINTR) {
        EXPECT_TRUE(ok);
      } else {
        f.failed += ok ? 0 : 1;
        f.absorbed += ok ? 1 : 0;
      }
      check(ok, err);
    }
  }
  return f;
}

struct SaveVariant {
  const char* name;
  bool existing;  // old files at the targets
  bool manifest;
  bool in_place;  // a directory that refuses new files
};

// Sweeps one save variant; returns its figures.
SweepFigures sweep_save(const SaveVariant& v) {
  TempDir dir;
  const std::string full = dir / "full", index = dir / "index", manifest = dir / "manifest";
  EngineState old_state, new_state;
  fill(old_state, "A", 3);
  fill(new_state, "B", 5);
  std::map<std::string, std::string> before;
  if (v.existing) {
    EXPECT_TRUE(save_snapshot(old_state, full, index, &manifest).ok());
    before = files_in(dir.path);
  }
  EXPECT_TRUE(save_snapshot(new_state, full, index, v.manifest ? &manifest : nullptr).ok());
  std::map<std::string, std::string> after = files_in(dir.path);
  if (v.in_place) ::chmod(dir.path.c_str(), 0555);
  SweepFigures f = sweep([&] { restore(dir.path, before); },
                         [&] { return save_snapshot(new_state, full, index, v.manifest ? &manifest : nullptr).ok(); },
                         [&](bool ok, int err) {
                           std::map<std::string, std::string> now = files_in(dir.path);
                           if (!ok) {
                             if (now != before) {
                               vedra_testing::record_failure(__FILE__, __LINE__,
                                   std::string(v.name) + ": a failed save changed the files (call " +
                                   std::to_string(g_fail_at) + ", errno " + std::to_string(err) + ", " + g_failed_call + ")");
                             }
                             return;
                           }
                           // Absorbed: the new files, and at most dead temporaries.
                           for (auto it = now.begin(); it != now.end();) {
                             it = is_temporary(it->first) ? now.erase(it) : std::next(it);
                           }
                           if (now != after) {
                             vedra_testing::record_failure(__FILE__, __LINE__,
                                 std::string(v.name) + ": a save that succeeded left other files (call " +
                                 std::to_string(g_fail_at) + ", errno " + std::to_string(err) + ", " + g_failed_call + ")");
                           }
                         });
  // The next save removes any debris; in place, the files keep their inodes.
  struct stat was, now;
  ::stat(full.c_str(), &was);
  EXPECT_TRUE(save_snapshot(new_state, full, index, v.manifest ? &manifest : nullptr).ok());
  EXPECT_TRUE(files_in(dir.path) == after);
  ::stat(full.c_str(), &now);
  EXPECT_EQ(was.st_ino == now.st_ino, v.in_place);
  ::chmod(dir.path.c_str(), 0700);
  return f;
}

// What a recording hook learns of one save.
std::set<std::pair<dev_t, ino_t>> g_synced;     // files synced so far
std::map<std::pair<dev_t, ino_t>, int> g_dir_syncs;  // directory -> syncs after its last rename
std::vector<std::string> g_order_faults;

int recording_hook(const FileCall& c) {
  struct stat st;
  if (c.op == FileOp::kSync && ::fstat(c.fd, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ++g_dir_syncs[{st.st_dev, st.st_ino}];
    } else {
      g_synced.insert({st.st_dev, st.st_ino});
    }
  } else if (c.op == FileOp::kRename && ::fstatat(c.fd, c.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (g_synced.count({st.st_dev, st.st_ino}) == 0) g_order_faults.push_back(std::string("renamed unsynced ") + c.name);
    struct stat d;
    if (::fstat(c.fd, &d) == 0) g_dir_syncs[{d.st_dev, d.st_ino}] = 0;  // counts restart at each rename
  }
  return 0;
}

}  // namespace

TEST(FileCalls, EveryCallOfASaveFailedInTurn) {
  const bool root = ::geteuid() == 0;
  const SaveVariant variants[] = {
      {"save000_new_files", false, false, false},
      {"save010_new_files_manifest", false, true, false},
      {"save020_over_old_files", true, false, false},
      {"save030_over_old_files_manifest", true, true, false},
      {"save040_in_place", true, false, true},
      {"save050_in_place_manifest", true, true, true},
  };
  for (const SaveVariant& v : variants) {
    if (!v.in_place || !root) {
      const SweepFigures f = sweep_save(v);
      std::cout << v.name << ": " << f.calls << " file-system calls, " << f.failed << " failures failed the save, "
                << f.absorbed << " absorbed, " << f.calls << " EINTR retried\n";
      EXPECT_TRUE(f.calls > 10 && f.failed > 0);
      continue;
    }
    // Root creates files anywhere: the directory refuses them to nobody.
    std::cout.flush();
    const pid_t child = ::fork();
    ASSERT_TRUE(child >= 0);
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
      const SweepFigures f = sweep_save(v);
      std::cout << v.name << ": " << f.calls << " file-system calls, " << f.failed << " failures failed the save, "
                << f.absorbed << " absorbed, " << f.calls << " EINTR retried\n";
      std::cout.flush();
      ::_exit(vedra_testing::registry().empty() || (f.calls > 10 && f.failed > 0) ? 0 : 1);
    }
    int status = 0;
    ASSERT_TRUE(::waitpid(child, &status, 0) == child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

TEST(FileCalls, EveryCallOfALoadFailedInTurn) {
  TempDir dir;
  const std::string full = dir / "full", index = dir / "index";
  EngineState saved, s;
  fill(saved, "B", 5);
  ASSERT_TRUE(save_snapshot(saved, full, index, nullptr).ok());
  const auto codes = [](const EngineState& e) {
    std::string out;
    for (uint32_t r = 0; r < e.next_record; ++r) out += std::string(e.record_texts.code(r)) + " " + std::string(e.record_payloads[r]) + "\n";
    return out;
  };
  std::string expected_before, expected_after = codes(saved);
  const SweepFigures f = sweep([&] {
                                 s = EngineState();
                                 fill(s, "A", 3);
                                 expected_before = codes(s);
                               },
                               [&] { return load_snapshot(s, full, index).ok(); },
                               [&](bool ok, int) { EXPECT_EQ(codes(s), ok ? expected_after : expected_before); });
  std::cout << "load: " << f.calls << " file-system calls, " << f.failed << " failures failed the load, " << f.absorbed
            << " absorbed, " << f.calls << " EINTR retried\n";
  EXPECT_TRUE(f.calls > 4 && f.failed > 0);
}

TEST(FileCalls, EveryFileSyncedBeforeItsRenameEveryDirectoryOnceAfter) {
  TempDir dir;
  ASSERT_TRUE(::mkdir((dir / "other").c_str(), 0755) == 0);
  const std::string manifest = dir / "other/manifest";
  EngineState s;
  fill(s, "A", 3);
  for (int round = 0; round < 2; ++round) {  // new files, then over old ones
    g_synced.clear();
    g_dir_syncs.clear();
    g_order_faults.clear();
    set_file_call_hook_for_testing(&recording_hook);
    const Status st = save_snapshot(s, dir / "full", dir / "index", &manifest);
    set_file_call_hook_for_testing(nullptr);
    EXPECT_TRUE(st.ok());
    EXPECT_EQ(g_order_faults.size(), size_t{0});
    EXPECT_EQ(g_dir_syncs.size(), size_t{2});
    for (const auto& [d, n] : g_dir_syncs) EXPECT_EQ(n, 1);
  }
}
