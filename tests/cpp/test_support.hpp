// Small helpers shared by the engine's C++ tests.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"

namespace quendral::testing {

// The hash of one value fed alone to a fresh hasher.
template <class T>
std::uint64_t hash_of(const T& value) {
  FxHasher h;
  value.hash_into(h);
  return h.finish();
}

// The message of the Error that `f` throws ("(no error)" when it throws none).
template <class F>
std::string error_message_of(F&& f) {
  try {
    f();
  } catch (const Error& error) {
    return error.message();
  }
  return "(no error)";
}

// The message of the internal failure that `f` raises (a test failure when it raises none).
template <class F>
std::string internal_failure_of(F&& f) {
  try {
    f();
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
  ADD_FAILURE() << "no internal failure was raised";
  return {};
}

}  // namespace quendral::testing
