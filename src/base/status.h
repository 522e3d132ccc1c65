// Status: the outcome of a fallible engine operation.
//
// The engine core never throws for expected failures; every fallible call
// returns a Status (or a Result<T>) whose message is the exact text that the
// binding raises as ValueError.  Only the binding turns a Status into a Python
// exception, in one place.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vedra {

class Status {
 public:
  Status() = default;  // success
  static Status Ok() { return Status(); }
  // A failure whose message is shown to the Python caller as is.
  static Status Error(std::string message) { return Status(std::move(message), true); }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }

 private:
  Status(std::string m, bool failed) : message_(std::move(m)), failed_(failed) {}
  std::string message_;
  bool failed_ = false;
};

// Either a value or a failed Status.
template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}             // NOLINT: implicit by design
  Result(Status status) : v_(std::move(status)) {}      // REQUIRES: !status.ok()
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const Status& status() const { return std::get<1>(v_); }

 private:
  std::variant<T, Status> v_;
};

}  // namespace vedra
