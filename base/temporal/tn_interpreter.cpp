#include "base/temporal/tn_interpreter.hpp"

#include <limits>

namespace quendral {

namespace {
std::uint32_t issue(std::uint64_t& next) {
  // More than 2^32 - 3 time points cannot be named; no task that fits in memory comes close,
  // but a wrapped id would silently merge two time points.
  QUENDRAL_CHECK(next <= std::numeric_limits<std::uint32_t>::max(), "too many time points for 32-bit network ids");
  return static_cast<std::uint32_t>(next++);
}
}  // namespace

TNInterpreter::TNInterpreter(std::span<const Action> actions, const EventsTable& events) {
  std::uint64_t next = kFirstId;
  action_ids_.reserve(2 * actions.size());
  id_to_action_.reserve(2 * actions.size());
  for (const Action action : actions) {
    const std::uint32_t start = issue(next);
    const std::uint32_t end = issue(next);
    action_ids_.insert_or_assign(ActionEndKey{action, true}, start);
    id_to_action_.insert_or_assign(start, std::pair{action, true});
    action_ids_.insert_or_assign(ActionEndKey{action, false}, end);
    id_to_action_.insert_or_assign(end, std::pair{action, false});
  }
  for (const auto& [action, list] : events) {
    for (const auto& [timing, event] : list) {
      const std::uint32_t id = issue(next);
      event_ids_.insert_or_assign(std::pair{action, event.pos}, id);
      id_to_event_.insert_or_assign(id, std::pair{action, event.pos});
    }
  }
}

std::uint32_t TNInterpreter::get_action_id(Action action, bool is_start) const {
  const auto it = action_ids_.find(ActionEndKey{action, is_start});
  if (it == action_ids_.end()) [[unlikely]] internal_failure("Action not found in the TNInterpreter");
  return it->second;
}

std::uint32_t TNInterpreter::get_event_id(Action action, std::uint64_t pos) const {
  const auto it = event_ids_.find(std::pair{action, pos});
  if (it == event_ids_.end()) [[unlikely]] internal_failure("Event not found in the TNInterpreter");
  return it->second;
}

}  // namespace quendral
