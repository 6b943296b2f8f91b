// A tiny logging facade. Engine code logs records (target, level, message, source position);
// a single sink, set once per process, receives them. Records above the sink's maximum level
// are dropped at the call site; the others reach the sink with their message still unformatted,
// and the sink formats it only when it is going to hand the record on, so a record that the
// sink drops (a level its destination does not accept) costs no formatting either.
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
  const char* file;
  std::uint32_t line;
  // Writes the message; `format(context)` may be called any number of times.
  std::string (*format)(const void* context);
  const void* context;

  std::string message() const { return format(context); }
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

// Hands a record whose message `write(stream)` produces to the sink; the message is formatted
// only if the sink asks for it.
template <class Writer>
void dispatch_lazy(std::string_view target, Level level, const char* file, std::uint32_t line,
                   const Writer& write) {
  auto format = [](const void* context) -> std::string {
    std::ostringstream stream;
    (*static_cast<const Writer*>(context))(stream);
    return std::move(stream).str();
  };
  dispatch({target, level, file, line, +format, &write});
}

}  // namespace quendral::log

// QLOG(Info, "quendral_base::search", "Expanded " << n << " states");
// The stream expression is evaluated only when the record is handed on.
#define QLOG(LEVEL, TARGET, STREAM_EXPR)                                                      \
  do {                                                                                        \
    if (::quendral::log::enabled(::quendral::log::Level::LEVEL)) {                            \
      ::quendral::log::dispatch_lazy(TARGET, ::quendral::log::Level::LEVEL, __FILE__,         \
                                     static_cast<std::uint32_t>(__LINE__),                    \
                                     [&](std::ostream& quendral_log_stream_) {                \
                                       quendral_log_stream_ << STREAM_EXPR;                   \
                                     });                                                      \
    }                                                                                         \
  } while (0)
