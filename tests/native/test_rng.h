// A seeded generator for randomized native tests: the same numbers on every
// platform and library (unlike the standard distributions), so a failing
// seed reproduces anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vedra_testing {

class Rng {
 public:
  explicit Rng(uint64_t seed) : x_(seed) {}
  uint64_t next() {
    x_ += 0x9e3779b97f4a7c15ull;
    uint64_t z = x_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }

 private:
  uint64_t x_;
};

}  // namespace vedra_testing
