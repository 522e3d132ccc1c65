// The directory side of the save protocol (docs/snapshot_format.md,
// "Writing", its one description): the names of temporary files, the
// removal of dead ones, and the commit markers, empty files
// ".<stem>.vedra-commit" beside the targets, that serialise the commits of a
// set of files and let readers see whether one runs.
//
// Thread safety: no shared state apart from the process-global test hook
// below; CommitMarkers objects are used by one thread each.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

namespace vedra {

// The most files one FileSetWriter set, or one read_files_together, handles.
inline constexpr size_t kMaxFilesTogether = 4;

// How long a writer waits for another writer's commit of the same target,
// and a reader for a commit to end, before failing (milliseconds).  Commits
// hold their markers only while they rename and write in place, so the wait
// never runs long unless a commit is stopped or a writer was killed in it.
inline constexpr int kCommitWaitMs = 10;

// A temporary file is named ".<stem>.<kTempRandomHex hex digits><kTempSuffix>".
inline constexpr size_t kTempRandomHex = 32;  // 128 random bits
inline constexpr std::string_view kTempSuffix = ".vedra-tmp";

// The part of a temporary file's or marker's name that names its target: the
// name, or a SHA-256 prefix of it when ".<name>.<hex>.vedra-tmp" would not
// fit in 255 bytes.
std::string temp_stem(const std::string& name);

// Whether `entry` is a name this protocol makes for a temporary file of a
// target of stem `stem`.
bool is_temp_name_of(std::string_view entry, const std::string& stem);

// The commit marker's name for target `name`: ".<stem>.vedra-commit".
std::string marker_name(const std::string& name);

// kTempRandomHex lowercase hex digits from getrandom.
Status random_hex(std::string* out);

// Removes `name` in `dir_fd` if it is provably dead: a regular file of ours
// with one link that no live writer holds locked, while the commit marker
// `marker` (a name in the same directory, or nullptr) does not exist.
void remove_if_dead(int dir_fd, const char* name, const char* marker);

// Whether a commit of target `name` in the directory `dir_fd` (whose stat is
// `dir_st`) runs now: its marker exists and, in a sticky directory everyone
// may write to, belongs to us or to the directory's owner (a marker planted
// by anyone else is ignored).  Fails when the directory cannot be asked.
Status commit_running(int dir_fd, const struct stat& dir_st, const std::string& name, bool* running);

// The markers of one commit.  acquire() creates them one directory and name
// at a time in (st_dev, st_ino, name) order, so two commits of overlapping
// sets do not wait for each other in turn; release() (or destruction)
// removes them.
class CommitMarkers {
 public:
  CommitMarkers() = default;
  CommitMarkers(const CommitMarkers&) = delete;
  CommitMarkers& operator=(const CommitMarkers&) = delete;
  ~CommitMarkers() { release(); }

  // Adds target `name` of the directory `dir_fd` (not owned; `dir_prefix`
  // for messages).  A target already added is skipped.
  void add(int dir_fd, const struct stat& dir_st, const std::string& dir_prefix, const std::string& name);
  // Creates every marker.  A marker of another live writer is waited for at
  // most the commit wait, then the call fails with "another save is
  // replacing '<dir><name>' (commit marker '<marker path>' is held)".  A dead
  // writer's marker of ours is removed and replaced.  Where no marker can be
  // made (a directory that refuses new files, or a marker planted by an
  // untrusted user in a shared sticky directory) the target goes without.
  // On failure the markers already made are removed.
  Status acquire();
  // Removes every marker made, most recent first.
  void release();

 private:
  struct Marker {
    int dir_fd;
    dev_t dev;
    ino_t ino;
    struct stat dir_st;
    std::string dir_prefix;
    std::string target;
    std::string name;  // the marker's name
    int fd = -1;       // holds flock(LOCK_EX) while made
    struct stat st {};
  };
  Status make(Marker& m, long long deadline_ms);
  std::vector<Marker> markers_;
};

// Milliseconds on the monotonic clock.
long long monotonic_ms();
// The commit wait in force (kCommitWaitMs unless a test changed it).
int commit_wait_ms();
// Sleeps a fraction of a millisecond between two looks at a marker.
void pause_briefly();

// Test-only: the commit wait in milliseconds (0 restores kCommitWaitMs).
void set_commit_wait_for_testing(int milliseconds);

}  // namespace vedra
