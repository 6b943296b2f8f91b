// Failures of the engine.
//
// Two kinds of failure leave the engine:
//  - `Error`: an expected failure with a fixed Python exception kind and message ("Expected a
//    number!", "Timeout", ...). The module turns it into that Python exception.
//  - `InternalFailure`: a broken invariant (a malformed node list, an index beyond a table, ...).
//    The call is abandoned; the module reports it on standard error and raises its
//    internal-failure exception. Nothing ever aborts the process.
#pragma once

#include <exception>
#include <memory>
#include <source_location>
#include <string>

namespace quendral {

enum class ErrorKind {
  Exception,
  ValueError,
  TypeError,
  ZeroDivisionError,
  NotImplementedError,
  RuntimeError,
  TimeoutError,
};

// An exception raised by foreign code (a Python callable) that must reach the caller unchanged.
// The module subclasses it; the engine only carries it.
class ForeignError {
 public:
  virtual ~ForeignError() = default;
};

class Error : public std::exception {
 public:
  Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  explicit Error(std::shared_ptr<ForeignError> foreign)
      : kind_(ErrorKind::Exception), foreign_(std::move(foreign)) {}

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const std::shared_ptr<ForeignError>& foreign() const noexcept { return foreign_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ErrorKind kind_;
  std::string message_;
  std::shared_ptr<ForeignError> foreign_;
};

class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}

  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] void internal_failure(std::string message,
                                   std::source_location where = std::source_location::current());

// Checks an invariant of valid input; a breach abandons the call as an internal failure.
#define QUENDRAL_CHECK(cond, message)                   \
  do {                                                  \
    if (__builtin_expect(!(cond), 0)) {                 \
      ::quendral::internal_failure(message);            \
    }                                                   \
  } while (0)

}  // namespace quendral
