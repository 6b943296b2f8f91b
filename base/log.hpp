// A tiny logging facade. Engine code logs records (target, level, message, source position);
// a single sink, set once per process, receives them. Records above the sink's maximum level
// are dropped before the message is even formatted.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace quendral::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
  std::string_view target;  // module path, e.g. "quendral_base::search"
  Level level;
  std::string_view message;
  const char* file;
  std::uint32_t line;
};

using Sink = void (*)(const Record&);

// Installs the sink with the most verbose level it accepts. Only the first installation in a
// process succeeds; a later one returns false and changes nothing.
bool install_sink(Sink sink, Level max_level) noexcept;

// The current maximum level (Off while no sink is installed).
inline std::atomic<int> g_max_level{0};

inline bool enabled(Level level) noexcept {
  return static_cast<int>(level) <= g_max_level.load(std::memory_order_relaxed);
}

void dispatch(const Record& record);

}  // namespace quendral::log

// QLOG(Info, "quendral_base::search", "Expanded " << n << " states");
#define QLOG(LEVEL, TARGET, STREAM_EXPR)                                                     \
  do {                                                                                       \
    if (::quendral::log::enabled(::quendral::log::Level::LEVEL)) {                           \
      std::ostringstream quendral_log_stream_;                                               \
      quendral_log_stream_ << STREAM_EXPR;                                                   \
      const std::string quendral_log_text_ = quendral_log_stream_.str();                     \
      ::quendral::log::dispatch({TARGET, ::quendral::log::Level::LEVEL, quendral_log_text_, \
                                 __FILE__, static_cast<std::uint32_t>(__LINE__)});           \
    }                                                                                        \
  } while (0)
