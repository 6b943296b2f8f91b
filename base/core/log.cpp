#include "base/core/log.hpp"

namespace quendral::log {
namespace {
std::atomic<Sink> g_sink{nullptr};
}

bool install_sink(Sink sink, Level max_level) noexcept {
  Sink expected = nullptr;
  if (!g_sink.compare_exchange_strong(expected, sink)) return false;
  g_max_level.store(static_cast<int>(max_level), std::memory_order_relaxed);
  return true;
}

void dispatch(const Record& record) {
  if (Sink sink = g_sink.load(std::memory_order_acquire)) sink(record);
}

}  // namespace quendral::log
