// The explicit-value h-max heuristic ("hmax_explicit").
//
// A relaxed exploration in which every fluent carries the set of every value it may have taken so
// far: sets only grow, every timed event of an action is one operator, and every layer counts
// one. A state's value is the number of layers after which every goal conjunct can be true under
// some combination of possible values, or none when the sets stop growing first. Unlike the
// delete-relaxation heuristics it evaluates the task's own expressions over explicit
// combinations of values.
//
// The progress of an action through its events is followed by stage fluents, one Boolean fluent
// per timed event numbered after the task's fluents: true when that event was the last applied.
// Event 0 requires the action's last stage fluent (the action is idle), event j > 0 the stage
// fluent of event j − 1.
//
// Orders: the events table iterates in first-insertion order, which fixes the numbering of stage
// fluents and the order of operators and goals; possible-value sets iterate in first-insertion
// order too (a list beside a hash index), so no result depends on hashing.
//
// Bounded exploration: sets may grow without end (a counter increased by an effect) while the
// goal stays false. The exploration stops after `max_layers` layers and then gives the bound as
// the value: the goal needs at least that many layers, and the state is not declared a dead end
// (which would prune it) just because its sets never stop growing. Each layer re-evaluates the
// effects of the fluents that grew over sets that keep growing, so the work up to the bound grows
// with its square; a thousand layers keeps one evaluation to milliseconds.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/heuristics/relaxation_conditions.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"
#include "base/space/search_state.hpp"
#include "base/task/records.hpp"

namespace quendral {

// One timed event as an operator of the exploration.
struct OperatorHmax {
  std::vector<NodeList> conditions;  // each must be true; the first is the previous stage fluent
  std::vector<Expression> condition_ids;
  std::vector<Effect> effects;  // its own stage fluent set to true, then the event's effects
  Action action;
};

class HMaxExplicit {
 public:
  static constexpr std::uint32_t kDefaultMaxLayers = 1'000;

  // Builds the operators and goals. Of `fluent_types` only the length is used. An action of the
  // events table with no events can never be started and gets no stage fluents. An event with a
  // conjunct that is the constant false gets no operator. Throws the errors of
  // `get_event_conditions` and `split_expression`.
  HMaxExplicit(std::vector<Action> actions, const FluentTypes& fluent_types, EventsTable events, NodeList goals,
               bool internal_caching);

  // The value of `state`, or none for a dead end. With internal caching, states equal in values
  // and in the next-event positions of every action of the events table and of `actions` share
  // one value. Holds the value-cache lock for the whole call; raises no error of its own.
  HeuristicValue eval(const State& state) const;
  // The exploration behind `eval`.
  HeuristicValue _eval(const State& state) const;

  std::vector<Action> actions;
  EventsTable events;
  std::vector<NodeList> goals;
  std::vector<Expression> goal_ids;
  ActionMap<std::vector<NodeList>> stage_fluents;
  std::vector<OperatorHmax> operators;
  std::vector<std::vector<std::uint64_t>> condition_fluents;  // per operator, ascending, distinct
  std::vector<std::vector<std::uint64_t>> effect_fluents;     // per operator, ascending, distinct
  std::shared_ptr<SharedValueCache> value_cache;
  std::uint64_t num_fluents = 0;
  // The actions whose next-event positions key the value cache: those of the events table (a
  // running action changes the value whether or not `actions` lists it), then `actions`.
  std::vector<Action> key_actions;
  // Layers explored before the exploration stops and returns this bound as the value.
  std::uint32_t max_layers = kDefaultMaxLayers;

 private:
  std::uint64_t condition_count_ = 0;  // distinct interned conditions and goals: the memo's size
};

}  // namespace quendral
