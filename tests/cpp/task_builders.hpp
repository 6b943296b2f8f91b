// Small builders of planning tasks for the search-space tests: node lists, events and a task
// description that turns into a `SearchSpace`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/space/search_space.hpp"

namespace quendral::testing {

using N = ExpressionNode;

inline NodeList truth() { return {N::boolean(true)}; }
inline NodeList constant(std::int64_t v) { return {N::integer(v)}; }
inline NodeList boolean(bool v) { return {N::boolean(v)}; }
inline NodeList fluent(std::uint64_t f) { return {N::fluent(f)}; }
inline NodeList not_fluent(std::uint64_t f) { return {N::fluent(f), N::not_operator(0)}; }
// fluent f == v
inline NodeList fluent_is(std::uint64_t f, std::int64_t v) {
  return {N::fluent(f), N::integer(v), N::binary_operator(NodeKind::Equals, 0, 1)};
}
// fluent f + d
inline NodeList fluent_plus(std::uint64_t f, std::int64_t d) {
  const std::uint64_t ops[] = {0, 1};
  return {N::fluent(f), N::integer(d), N::list_operator(NodeKind::Plus, ops)};
}

inline Effect set(std::uint64_t f, NodeList value) { return Effect{f, std::move(value)}; }

inline Event event(std::uint64_t action, std::uint64_t pos, NodeList conditions, std::vector<Effect> effects = {},
                   std::vector<NodeList> start_conditions = {}, std::vector<NodeList> end_conditions = {}) {
  return Event{Action{action}, pos, std::move(conditions), std::move(start_conditions), std::move(end_conditions),
               std::move(effects)};
}

inline Timing at_start(std::int64_t delay = 0) { return Timing{true, Rational(delay)}; }
inline Timing at_end(std::int64_t delay = 0) { return Timing{false, Rational(delay)}; }

inline DurationBounds duration(std::int64_t lower, std::int64_t upper, bool lower_open = false, bool upper_open = false) {
  return DurationBounds{constant(lower), constant(upper), lower_open, upper_open};
}

// Everything the constructor takes, with the defaults of a plain task.
struct Task {
  std::size_t action_count = 0;
  std::vector<std::optional<DurationBounds>> durations;  // resized to action_count
  EventsTable events;
  std::optional<std::vector<bool>> compression_safe;
  std::optional<std::vector<std::vector<std::string>>> action_objects;
  std::optional<ObjectPrevActionsMap> obj_to_prev;
  std::optional<NodeList> initial;
  std::optional<NodeList> goal;
  std::optional<std::vector<Action>> relevant;
  std::optional<Rational> deadline;
  std::optional<Rational> epsilon;

  void add(std::uint64_t action, std::vector<TimedEvent> list) {
    events.insert_or_assign(Action{action}, std::move(list));
  }

  std::unique_ptr<SearchSpace> build() const {
    std::vector<Action> actions;
    for (std::uint64_t i = 0; i < action_count; ++i) actions.push_back(Action{i});
    auto d = durations;
    d.resize(std::max(d.size(), action_count));
    return std::make_unique<SearchSpace>(d, events, actions, compression_safe, action_objects, obj_to_prev, initial,
                                         goal, relevant, deadline, epsilon);
  }
};

inline NodeList bools(std::initializer_list<bool> values) {
  NodeList out;
  for (bool v : values) out.push_back(N::boolean(v));
  return out;
}

// (action, pos, instance) of a path, oldest first.
inline std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> path_of(const State& state) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> out;
  for (const PathEntry& e : PersistentList<PathEntry>::iter_rev(state.path)) out.emplace_back(e.action.idx, e.pos, e.instance);
  std::reverse(out.begin(), out.end());
  return out;
}

inline std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> todo_of(const State& state) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> out;
  for (const auto& [a, e] : state.todo) out.emplace_back(a.idx, e.pos, e.instance);
  return out;
}

}  // namespace quendral::testing
