#include "base/temporal/event_checkers.hpp"

#include <string>

namespace quendral {

namespace {
// Whether the two sets share an element; walks the smaller one and stops at the first match.
bool meet(const FluentSet& a, const FluentSet& b) noexcept {
  const FluentSet& small = a.size() <= b.size() ? a : b;
  const FluentSet& large = a.size() <= b.size() ? b : a;
  for (const std::uint64_t fluent : small) {
    if (large.contains(fluent)) return true;
  }
  return false;
}

void add_fluents(FluentSet& set, std::span<const ExpressionNode> nodes) {
  for (const ExpressionNode& node : nodes) {
    if (node.kind() == NodeKind::Fluent) set.insert(node.fluent_index());
  }
}
}  // namespace

std::vector<std::uint64_t> get_fluents(std::span<const ExpressionNode> nodes) {
  std::vector<std::uint64_t> fluents;
  for (const ExpressionNode& node : nodes) {
    if (node.kind() == NodeKind::Fluent) fluents.push_back(node.fluent_index());
  }
  return fluents;
}

EventFluents compute_event_fluents(const Event& event) {
  EventFluents sets;
  add_fluents(sets.reads, event.conditions);
  for (const Effect& effect : event.effects) {
    add_fluents(sets.reads, effect.value);
    sets.writes.insert(effect.fluent);
  }
  sets.touches = sets.reads;
  sets.touches.insert(sets.writes.begin(), sets.writes.end());
  for (const NodeList& condition : event.start_conditions) add_fluents(sets.start_condition_fluents, condition);
  for (const NodeList& condition : event.end_conditions) add_fluents(sets.end_condition_fluents, condition);
  return sets;
}

namespace detail {
const EventFluents& event_fluents_of(const EventFluentsTable& table, const EventRef& event) {
  QUENDRAL_CHECK(event.action.idx < table.size() && event.pos < table[event.action.idx].size(),
                 "no fluent sets for event " + std::to_string(event.pos) + " of action " +
                     std::to_string(event.action.idx));
  return table[event.action.idx][event.pos];
}
}  // namespace detail

bool MutexChecker::check(const EventPair& key, const EventFluentsTable& event_fluents) const {
  return memo_.check(key, [&] {
    const EventFluents& e1 = detail::event_fluents_of(event_fluents, key.first);
    const EventFluents& e2 = detail::event_fluents_of(event_fluents, key.second);
    return meet(e1.writes, e2.reads) || meet(e1.touches, e2.writes);
  });
}

bool PrecedenceChecker::check(const EventPair& key, const EventFluentsTable& event_fluents) const {
  return memo_.check(key, [&] {
    const EventFluents& e1 = detail::event_fluents_of(event_fluents, key.first);
    const EventFluents& e2 = detail::event_fluents_of(event_fluents, key.second);
    return meet(e1.writes, e2.start_condition_fluents) || meet(e2.writes, e1.end_condition_fluents);
  });
}

}  // namespace quendral
