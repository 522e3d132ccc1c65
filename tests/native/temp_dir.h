// TempDir: a fresh directory under /tmp for one test, removed with
// everything in it (permissions restored first) when the object dies.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace vedra_testing {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vedra_native_test_XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    path = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (path.empty()) return;
    ::chmod(path.c_str(), 0700);  // a test may have made it unwritable
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The path of `name` inside the directory.
  std::string operator/(const std::string& name) const { return path + "/" + name; }

  // Sorted names of the directory's entries, hidden ones included.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string path;  // empty when the directory could not be made
};

}  // namespace vedra_testing
