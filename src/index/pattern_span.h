// PatternSpan: the pattern texts a matcher is compiled from, pattern i being
// element i.  The texts are borrowed for the duration of the build only.
//
// A span either of string views or of texts packed back to back with their
// end offsets (PatternList's own form), so that compiling the engine's
// pattern list makes no array of views: 16 bytes per pattern, all faulted
// in and written once only to be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vedra {

class PatternSpan {
 public:
  PatternSpan() = default;
  // Implicit, like the std::span it wraps.
  PatternSpan(std::span<const std::string_view> views)  // NOLINT(google-explicit-constructor)
      : views_(views.data()), size_(views.size()) {}
  PatternSpan(const std::vector<std::string_view>& views)  // NOLINT(google-explicit-constructor)
      : views_(views.data()), size_(views.size()) {}
  // Text i is packed[ends[i - 1] .. ends[i]) (from 0 for i == 0).
  PatternSpan(const char* packed, const uint64_t* ends, size_t count) : packed_(packed), ends_(ends), size_(count) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // REQUIRES: i < size().
  std::string_view operator[](size_t i) const {
    if (views_ != nullptr) return views_[i];
    const uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(packed_ + begin, static_cast<size_t>(ends_[i] - begin));
  }

  struct Iterator {
    const PatternSpan* span;
    size_t i;
    std::string_view operator*() const { return (*span)[i]; }
    Iterator& operator++() {
      ++i;
      return *this;
    }
    bool operator!=(const Iterator& o) const { return i != o.i; }
  };
  Iterator begin() const { return {this, 0}; }
  Iterator end() const { return {this, size_}; }

 private:
  const std::string_view* views_ = nullptr;  // set for a span of views
  const char* packed_ = nullptr;             // else the packed texts
  const uint64_t* ends_ = nullptr;
  size_t size_ = 0;
};

}  // namespace vedra
