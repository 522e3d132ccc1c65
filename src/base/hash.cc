#include "base/hash.h"

#include <atomic>
#include <chrono>
#include <random>

namespace vedra {

uint64_t fresh_hash_seed() {
  // One random base per process, then a splitmix64 sequence over an atomic
  // counter: cheap per map, and distinct for every map.
  static const uint64_t base = [] {
    std::random_device rd;
    uint64_t b = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    return b ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  static std::atomic<uint64_t> counter{0};
  uint64_t z = base + 0x9E3779B97F4A7C15ull * (counter.fetch_add(1, std::memory_order_relaxed) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace vedra
