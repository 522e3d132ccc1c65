#include <cstring>

#include "testing.h"

namespace vedra_testing {

std::vector<TestCase>& registry() {
  static std::vector<TestCase> tests;
  return tests;
}

static int g_failures = 0;

void record_failure(const char* file, int line, const std::string& what) {
  ++g_failures;
  std::cerr << file << ":" << line << ": FAILED " << what << "\n";
}

}  // namespace vedra_testing

int main(int argc, char** argv) {
  using namespace vedra_testing;
  const char* filter = argc > 1 ? argv[1] : nullptr;
  int run = 0, failed_tests = 0;
  for (const TestCase& t : registry()) {
    const std::string full = std::string(t.suite) + "." + t.name;
    if (filter && full.find(filter) == std::string::npos) continue;
    const int before = g_failures;
    t.body();
    ++run;
    if (g_failures != before) {
      ++failed_tests;
      std::cerr << "[  FAILED  ] " << full << "\n";
    }
  }
  std::cout << run << " tests run, " << failed_tests << " failed\n";
  if (run == 0) {
    std::cerr << "no test matched\n";
    return 1;
  }
  return failed_tests == 0 ? 0 : 1;
}
