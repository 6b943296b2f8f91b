// SearchSpaceTrait: what a search needs from a planning task.
//
// Every search routine is a template over this concept (and over the heuristic's), so the calls
// below inline; the routines never see the concrete search space. `SearchSpace` is the real model
// (base/space/search_space.hpp); the tests add a small explicit-graph model of their own.
//
// All operations are `const`: a search only reads the task. What a task changes while it is
// searched (the action-instance counter, the interference memo) lives behind its own locks, so
// several searches may share one task, also on several threads.
//
// Failures: an operation throws `quendral::Error` for a failure the caller is to see as a Python
// exception (an evaluation error, a goal that is not Boolean, ...) and `quendral::InternalFailure`
// for a breach of the task's validity; in both cases the task stays usable for the next call and
// the states given to it are unchanged.
#pragma once

#include <concepts>
#include <optional>
#include <span>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/space/search_state.hpp"
#include "base/task/records.hpp"

namespace quendral {

// A pull-based stream of successors of one state.
//
// `next()` generates the next successor on request and nothing ahead of it: the informed searches
// stop pulling once they have what they need, and work done for a successor never pulled would be
// wasted (and would advance the task's instance counter for nothing).
//  - returns the next successor, or nothing once the stream is exhausted (and on every later call);
//  - throws `quendral::Error` when generating the successor for the current action fails; the
//    stream has then moved past that action, so a consumer that chooses to go on calls `next()`
//    again and receives the successors of the following actions.
// The stream refers to the task and to the parent state, both of which must outlive it.
template <class G>
concept SuccessorGeneratorTrait = requires(G& generator) {
  { generator.next() } -> std::same_as<std::optional<State>>;
};

// One step of a timed plan: for a temporal task one per action instance, with its exact start
// and its duration (absent when it is zero); for a task without durative actions one per action
// of the given list, untimed.
struct TimedStep {
  std::optional<Rational> start;
  Action action;
  std::optional<Rational> duration;
};
using TimedPlan = std::vector<TimedStep>;

template <class S>
concept SearchSpaceTrait = requires(const S& space, const State& state, Action action,
                                    std::optional<std::span<const ExpressionNode>> nodes,
                                    std::span<const Action> path) {
  // True when the task has durative actions. Its states then carry a temporal network, compare
  // equal to no other state, and the searches choose their duplicate detection by it.
  { space.is_temporal() } -> std::same_as<bool>;

  // The actions tried for successors, in the order they are tried. The reference stays valid
  // while the caller holds the task for reading (the only writer is the Python setter, which is
  // refused while any search holds the task).
  { space.relevant_actions() } -> std::same_as<const std::vector<Action>&>;

  // The root state: the given initial values (one node per fluent index, copied as they stand),
  // or the task's stored ones when none are given; for a temporal task an empty network tied to
  // the deadline. Throws Error "The initial state must be defined somewhere!" when neither exists.
  // Does not touch the instance counter. The searches call it without argument.
  { space.initial_state(nodes) } -> std::same_as<State>;
  { space.initial_state() } -> std::same_as<State>;

  // Whether `state` is a goal state: false at once while an action instance is running (the goal
  // is then not looked at); else the value of the given goal, or of the stored one when none is
  // given. Throws Error "The goal must be defined somewhere!" without any goal, "The goal is not a
  // boolean expression!" for a value that is not Bool, and evaluation errors unchanged. The
  // searches call it without goal.
  { space.goal_reached(state, nodes) } -> std::same_as<bool>;
  { space.goal_reached(state) } -> std::same_as<bool>;

  // The successor of `state` for `action`: the next event of the action's running instance, or
  // the start of a new instance (with compression of compression-safe actions). Nothing when the
  // action is not applicable. Throws Error for evaluation errors and non-Boolean conditions.
  // A start in a temporal task advances the instance counter even when it is then refused.
  { space.get_successor_state(state, action) } -> std::same_as<std::optional<State>>;

  // The successors of `state` over `relevant_actions()` in order, generated one per `next()`
  // (see SuccessorGeneratorTrait); actions without successor are skipped.
  { space.get_successor_states_iter(state) } -> SuccessorGeneratorTrait;

  // The conjuncts of the goal (given, else stored) that hold in `state`, in the order of the
  // goal's conjuncts, each once. Running actions are not looked at; conjuncts that are false or
  // not Boolean are left out. Throws Error "The goal must be defined somewhere!" without any
  // goal, and the first evaluation error unchanged.
  { space.subgoals_sat(state, nodes) } -> std::same_as<std::vector<NodeList>>;
  { space.subgoals_sat(state) } -> std::same_as<std::vector<NodeList>>;

  // The timed plan of a solution path (one action per applied event, as the searches return
  // it): for a temporal task the path is replayed from the stored initial values without
  // compression and timed exactly, one step per instance sorted by start, action idx and
  // duration; for a task without durative actions one untimed step per element, in order, with
  // nothing replayed. Throws the replay's errors unchanged; a path element that cannot be
  // applied where it stands is an internal failure.
  { space.build_plan(path) } -> std::same_as<TimedPlan>;
};

}  // namespace quendral
