// Captures the engine's log records in the C++ tests that run without an interpreter: a sink
// installed once per test process (maximum level debug, as the Python bridge installs it) keeps
// every record's target, level and formatted message.
#pragma once

#include <string>
#include <vector>

#include "base/core/log.hpp"

namespace quendral::testing {

struct CapturedRecord {
  std::string target;
  log::Level level;
  std::string message;
};

inline std::vector<CapturedRecord>& captured_records() {
  static std::vector<CapturedRecord> records;
  return records;
}

// Starts a fresh capture: installs the sink on first use and forgets earlier records.
inline void start_log_capture() {
  static const bool installed = log::install_sink(
      [](const log::Record& record) {
        captured_records().push_back({std::string(record.target), record.level, record.message()});
      },
      log::Level::Debug);
  (void)installed;
  captured_records().clear();
}

// The messages captured so far, in order.
inline std::vector<std::string> captured_messages() {
  std::vector<std::string> messages;
  for (const CapturedRecord& record : captured_records()) messages.push_back(record.message);
  return messages;
}

}  // namespace quendral::testing
