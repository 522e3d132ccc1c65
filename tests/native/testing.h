// A minimal test registry for the native test runner.
//
//   TEST(JsonWriter, EscapesControlCharacters) { EXPECT_EQ(a, b); }
//
// EXPECT_* records a failure and continues; ASSERT_* records it and returns
// from the test.  Run `vedra_native_tests [substring]` to run a subset.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vedra_testing {

struct TestCase {
  const char* suite;
  const char* name;
  std::function<void()> body;
};

std::vector<TestCase>& registry();
void record_failure(const char* file, int line, const std::string& what);

struct Registrar {
  Registrar(const char* suite, const char* name, std::function<void()> body) {
    registry().push_back({suite, name, std::move(body)});
  }
};

// Prints what a failed EXPECT_EQ compared: streamable values as streamed,
// pairs as (first, second), other ranges (vectors, sets, maps) as
// [element, ...], anything else as <value>.
template <typename T>
std::string show(const T& v);

template <typename T>
concept ShowableRange = requires(const T& x) {
  x.begin();
  x.end();
};

template <typename A, typename B>
std::string show_pair(const std::pair<A, B>& p) {
  return "(" + show(p.first) + ", " + show(p.second) + ")";
}

template <typename T>
std::string show(const T& v) {
  if constexpr (requires(std::ostream& os, const T& x) { os << x; }) {
    std::ostringstream os;
    os << v;
    return os.str();
  } else if constexpr (requires { show_pair(v); }) {
    return show_pair(v);
  } else if constexpr (ShowableRange<T>) {
    std::string out = "[";
    bool first = true;
    for (const auto& e : v) {
      if (!first) out += ", ";
      first = false;
      out += show(e);
    }
    return out + "]";
  } else {
    return "<value>";
  }
}

}  // namespace vedra_testing

#define VEDRA_CAT2(a, b) a##b
#define VEDRA_CAT(a, b) VEDRA_CAT2(a, b)
#define TEST(suite, name)                                                                  \
  static void suite##_##name##_body();                                                     \
  static ::vedra_testing::Registrar VEDRA_CAT(suite##_##name##_reg_, __LINE__)(#suite, #name, \
                                                                            suite##_##name##_body); \
  static void suite##_##name##_body()

#define EXPECT_TRUE(c)                                                                  \
  do {                                                                                  \
    if (!(c)) ::vedra_testing::record_failure(__FILE__, __LINE__, "expected: " #c);     \
  } while (0)
#define EXPECT_FALSE(c) EXPECT_TRUE(!(c))
#define EXPECT_EQ(a, b)                                                                     \
  do {                                                                                      \
    const auto& va_ = (a);                                                                  \
    const auto& vb_ = (b);                                                                  \
    if (!(va_ == vb_))                                                                      \
      ::vedra_testing::record_failure(__FILE__, __LINE__,                                   \
                                      std::string(#a " == " #b "\n    left:  ") +           \
                                          ::vedra_testing::show(va_) + "\n    right: " +    \
                                          ::vedra_testing::show(vb_));                      \
  } while (0)
#define ASSERT_TRUE(c)                                                                  \
  do {                                                                                  \
    if (!(c)) {                                                                         \
      ::vedra_testing::record_failure(__FILE__, __LINE__, "expected: " #c);             \
      return;                                                                           \
    }                                                                                   \
  } while (0)
