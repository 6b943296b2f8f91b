// SearchSpace: the planning task as the searches see it.
//
// It holds the actions with their timed events and duration bounds, the initial values, the goal,
// the order in which actions are tried, the object-pruning data, the separation epsilon and the
// optional deadline, and the tables derived from them once at construction (what each event reads
// and writes, the temporal-network ids). Everything is fixed after construction except
// `relevant_actions` (replaced only while nobody else holds the space), the two checkers' memos
// and the instance counter, each of the last three behind its own lock.
//
// A successor applies the next event of the action's running instance, or starts a new instance
// with its first event. Applying an event checks its condition, keeps the durative conditions in
// force (checked before and after the effects), applies its effects and, in a temporal task,
// ties the event into the state's network: after every event on the path (epsilon after those it
// interferes with) and before every event still to come of the running instances. A successor
// exists only when all of this succeeds and the network stays consistent.
//
// The task data is trusted as the caller's grounding produced it; a breach (an action idx beyond
// the tables, an effect on a fluent the state does not have, an id the network table lacks) is an
// internal failure of the one call that meets it, and the space stays usable.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"
#include "base/space/compiled_condition.hpp"
#include "base/space/search_space_trait.hpp"
#include "base/space/search_state.hpp"
#include "base/task/records.hpp"
#include "base/temporal/event_checkers.hpp"
#include "base/temporal/tn_interpreter.hpp"

namespace quendral {

// Duration bounds of a durative action, evaluated when an instance starts. An open bound is
// moved epsilon inwards.
struct DurationBounds {
  NodeList lower;
  NodeList upper;
  bool lower_open = false;
  bool upper_open = false;
};

using ActionSet = boost::unordered_flat_set<Action, ActionHash>;


// For each object, the actions of which one must be the starting action itself or have been
// applied on the path before an action using the object may start.
using ObjectPrevActionsMap = boost::unordered_flat_map<std::string, ActionSet, TextHash, TextEqual>;

class SearchSpace {
 public:
  // The successors of one state over `relevant_actions`, one per `next()` (SuccessorGeneratorTrait).
  class SuccessorIter {
   public:
    std::optional<State> next();

   private:
    friend class SearchSpace;
    SuccessorIter(const SearchSpace& space, const State& state) noexcept : space_(&space), state_(&state) {}
    const SearchSpace* space_;
    const State* state_;
    std::size_t next_ = 0;
    bool prepared_ = false;
    // Bit p set: relevant action p may have a successor (see `candidates`); empty: all may.
    std::vector<std::uint64_t> candidates_;
  };

  // Builds the derived tables. `actions` only sizes the per-event fluent table and numbers the
  // network ids; it is not kept. Without `relevant_actions` the actions are tried in the order of
  // `actions`; without `epsilon` it is 1/100. An event listed under an action idx not below
  // `actions.size()` is an internal failure; an `epsilon` that is not positive throws
  // Error(ValueError) (a tolerance of zero or below would let the network's repair loop never
  // settle).
  SearchSpace(std::vector<std::optional<DurationBounds>> actions_duration, EventsTable events,
              std::span<const Action> actions, std::optional<std::vector<bool>> compression_safe_actions,
              std::optional<std::vector<std::vector<std::string>>> action_objects,
              std::optional<ObjectPrevActionsMap> obj_to_prev_actions_map,
              std::optional<NodeList> initial_state = std::nullopt, std::optional<NodeList> goal = std::nullopt,
              std::optional<std::vector<Action>> relevant_actions = std::nullopt,
              std::optional<Rational> deadline = std::nullopt, std::optional<Rational> epsilon = std::nullopt);
  SearchSpace(const SearchSpace&) = delete;
  SearchSpace& operator=(const SearchSpace&) = delete;

  // ---- SearchSpaceTrait (contracts in base/space/search_space_trait.hpp)
  bool is_temporal() const noexcept { return is_temporal_; }
  const std::vector<Action>& relevant_actions() const noexcept { return relevant_actions_; }
  State initial_state(std::optional<std::span<const ExpressionNode>> values = std::nullopt) const;
  bool goal_reached(const State& state, std::optional<std::span<const ExpressionNode>> goal = std::nullopt) const;
  // With compression on. Most tried actions are not applicable: when no action is running and
  // the action's first condition is compiled and false, the answer comes here, without a call.
  std::optional<State> get_successor_state(const State& state, Action action) const {
    if (state.todo.empty() && action.idx < first_conditions_.size()) {
      if (const CompiledCondition* condition = first_conditions_[action.idx];
          condition && condition->test(state.values) == std::optional<bool>(false)) {
        return std::nullopt;
      }
    }
    return get_successor_state_with_compression(state, action, true);
  }
  SuccessorIter get_successor_states_iter(const State& state) const noexcept { return SuccessorIter(*this, state); }
  std::vector<NodeList> subgoals_sat(const State& state,
                                     std::optional<std::span<const ExpressionNode>> goal = std::nullopt) const;
  // Defined in base/space/plan_builder.cpp.
  TimedPlan build_plan(std::span<const Action> path) const;

  // ---- the rest of the engine interface
  // Replaces the actions tried for successors; the caller guarantees nobody holds the space.
  void set_relevant_actions(std::vector<Action> actions) {
    relevant_actions_ = std::move(actions);
    build_applicability_index();
  }

  // The successor for `action`; `compress` applies all events of a compression-safe action in one
  // step. Plan building calls it with compression off.
  std::optional<State> get_successor_state_with_compression(const State& state, Action action, bool compress) const;
  // Every successor over `relevant_actions` in order; the first error ends the call.
  std::vector<State> py_get_successor_states(const State& state) const;

  // Applies `event` (at `position` in its action's list, receiving `instance`) to `child`, a copy
  // of `parent` whose g and running actions are already updated. False when a durative condition
  // fails or the network becomes inconsistent.
  bool expand_event(const State& parent, State& child, const Event& event, std::uint64_t position,
                    std::uint32_t instance) const;
  // The Boolean value of `expression` in `state`; Error "An action condition is not a boolean
  // expression!" for any other value.
  bool is_sat(std::span<const ExpressionNode> expression, const State& state) const;

  // ---- read access for plan building, the heuristics and the tests
  const std::vector<std::optional<DurationBounds>>& actions_duration() const noexcept { return actions_duration_; }
  const EventsTable& events() const noexcept { return events_; }
  const std::optional<std::vector<bool>>& compression_safe_actions() const noexcept { return compression_safe_actions_; }
  const EventFluentsTable& event_fluents() const noexcept { return event_fluents_; }
  const MutexChecker& mutex_checker() const noexcept { return mutex_checker_; }
  const PrecedenceChecker& precedence_checker() const noexcept { return precedence_checker_; }
  const std::optional<std::vector<std::vector<std::string>>>& action_objects() const noexcept { return action_objects_; }
  const std::optional<ObjectPrevActionsMap>& obj_to_prev_actions_map() const noexcept { return obj_to_prev_actions_map_; }
  const std::optional<NodeList>& stored_initial_state() const noexcept { return initial_state_; }
  const std::optional<NodeList>& stored_goal() const noexcept { return goal_; }
  const TNInterpreter& tn_interpreter() const noexcept { return tn_interpreter_; }
  const Rational& epsilon() const noexcept { return epsilon_; }
  double epsilon_f64() const noexcept { return epsilon_f64_; }
  std::optional<double> deadline() const noexcept { return deadline_; }

  // The next instance number the counter will hand out.
  std::uint64_t instance_counter() const;
  // Moves the counter, so that tests can reach its limit without billions of starts.
  void set_instance_counter_for_tests(std::uint64_t value);
  // Instance numbers are 32-bit: 0 … kInstanceLimit - 1 can be handed out, each once.
  static constexpr std::uint64_t kInstanceLimit = std::uint64_t{1} << 32;
  // The message of a refused epsilon.
  static constexpr const char* kEpsilonNotPositive = "The epsilon must be greater than zero!";

 private:
  std::optional<State> start_instance(const State& state, Action action, const std::vector<TimedEvent>& events,
                                      bool compress) const;
  std::optional<State> continue_instance(const State& state, Action action, const std::vector<TimedEvent>& events,
                                         const TodoEntry& entry) const;
  bool pruned_by_objects(const State& state, Action action) const;
  bool durative_conditions_hold(const State& state) const;
  // Indexes the relevant actions by the key of their compiled first condition.
  void build_applicability_index();
  // The positions in `relevant_actions` of the actions that may have a successor in `state`, as
  // a bitmap into `bits`; `bits` is left empty when every action may. An action is left out only
  // when nothing runs and its compiled first condition's key fails, so that trying it would
  // return nothing and raise nothing.
  void candidates(const State& state, std::vector<std::uint64_t>& bits) const;
  // `is_sat` of the condition of the event at `position` of `action`'s list (both in the table).
  bool event_condition_holds(const State& state, Action action, std::size_t position, const Event& event) const;
  // The events of `action`, or null when the table has none.
  const std::vector<TimedEvent>* events_of(Action action) const noexcept;

  std::vector<std::optional<DurationBounds>> actions_duration_;
  EventsTable events_;
  std::vector<Action> relevant_actions_;
  std::optional<std::vector<bool>> compression_safe_actions_;
  EventFluentsTable event_fluents_;
  // By action idx: its list in `events_` (null: none), and the durative conditions each of its
  // events opens, held once and shared by every state in which they are in force.
  std::vector<const std::vector<TimedEvent>*> events_by_idx_;
  std::vector<std::vector<std::vector<std::shared_ptr<const NodeList>>>> opened_conditions_;
  // By action idx and position: each event's condition, compiled when its shape allows; and the
  // stored goal, likewise.
  std::vector<std::vector<CompiledCondition>> compiled_conditions_;
  // By action idx: the compiled condition of its first event, or null (no events, or not
  // compiled).
  std::vector<const CompiledCondition*> first_conditions_;
  // The applicability index: the relevant positions keyed on each (fluent, value), grouped by
  // fluent in `key_fluents_` (each fluent's keys are the run [begin, end) of `keys_`), the
  // positions without a key, and the values a state needs for the keys to be read.
  struct Key {
    ExpressionNode value;
    std::uint32_t code;  // value_code(value)
    std::vector<std::uint32_t> positions;
  };
  struct KeyFluent {
    std::uint64_t fluent;
    std::size_t begin, end;
  };
  std::vector<Key> keys_;
  std::vector<KeyFluent> key_fluents_;
  std::vector<std::uint32_t> unkeyed_positions_;
  std::size_t keyed_needed_values_ = 0;
  CompiledCondition compiled_goal_;
  MutexChecker mutex_checker_;
  PrecedenceChecker precedence_checker_;
  std::optional<std::vector<std::vector<std::string>>> action_objects_;
  std::optional<ObjectPrevActionsMap> obj_to_prev_actions_map_;
  std::optional<NodeList> initial_state_;
  std::optional<NodeList> goal_;
  TNInterpreter tn_interpreter_;
  Rational epsilon_;
  double epsilon_f64_ = 0.01;
  std::optional<double> deadline_;
  bool is_temporal_ = false;

  // Guards `instance_counter_`. Held from reading the counter until the first event of the new
  // instance has been applied, so one instance's numbers are contiguous.
  mutable std::mutex instance_mutex_;
  // Kept wider than the 32-bit numbers it hands out, so that reaching the limit is seen, never
  // wrapped round.
  mutable std::uint64_t instance_counter_ = 0;
};

static_assert(SearchSpaceTrait<SearchSpace>);
static_assert(SuccessorGeneratorTrait<SearchSpace::SuccessorIter>);

}  // namespace quendral
