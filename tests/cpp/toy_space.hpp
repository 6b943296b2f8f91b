// A toy search space over an explicit graph, for testing the searches where the right answer is
// known by hand or by a model: a state is a graph node (fluent 0 holds its number as an Int),
// action a leads from node v to `edges[v][a]` when that is set, each step applies one event, and
// the goal is a set of nodes. It can be told to fail: an initial state, a goal test at a node or a
// successor along an edge that throws, so that the searches' error paths can be seen.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "base/core/errors.hpp"
#include "base/space/search_space_trait.hpp"
#include "base/space/search_state.hpp"

namespace quendral::testing {

class ToySpace {
 public:
  // `edges[v][a]`: the node action a leads to from v, if any.
  using Edges = std::vector<std::vector<std::optional<std::uint64_t>>>;

  ToySpace(Edges edges, std::set<std::uint64_t> goals, std::vector<Action> relevant, std::uint64_t root = 0)
      : edges_(std::move(edges)), goals_(std::move(goals)), relevant_(std::move(relevant)), root_(root) {}

  // Failures to inject.
  bool fail_initial_state = false;
  std::set<std::uint64_t> failing_goal_tests;                                // nodes
  std::set<std::pair<std::uint64_t, std::uint64_t>> failing_successors;      // (node, action idx)
  bool temporal = false;
  // Calls of get_successor_state, for tests that check what was (not) tried.
  mutable std::uint64_t successor_calls = 0;

  static std::uint64_t node_of(const State& state) {
    return static_cast<std::uint64_t>(state.values[0].int_value().small_value());
  }

  static State make_state(std::uint64_t node) {
    StateValues values;
    values.push_back(ExpressionNode::integer(static_cast<std::int64_t>(node)));
    return State(std::move(values));
  }

  bool is_temporal() const noexcept { return temporal; }
  const std::vector<Action>& relevant_actions() const noexcept { return relevant_; }

  State initial_state(std::optional<std::span<const ExpressionNode>> = std::nullopt) const {
    if (fail_initial_state) throw Error(ErrorKind::Exception, "The initial state must be defined somewhere!");
    return make_state(root_);
  }

  bool goal_reached(const State& state, std::optional<std::span<const ExpressionNode>> = std::nullopt) const {
    const std::uint64_t node = node_of(state);
    if (failing_goal_tests.contains(node)) throw Error(ErrorKind::Exception, "The goal is not a boolean expression!");
    return state.todo.empty() && goals_.contains(node);
  }

  std::optional<State> get_successor_state(const State& state, Action action) const {
    ++successor_calls;
    const std::uint64_t node = node_of(state);
    if (failing_successors.contains({node, action.idx})) throw Error(ErrorKind::ValueError, "Expected a number!");
    if (node >= edges_.size() || action.idx >= edges_[node].size() || !edges_[node][action.idx]) return std::nullopt;
    State child = state.clone_for_child();
    child.values.set(0, ExpressionNode::integer(static_cast<std::int64_t>(*edges_[node][action.idx])));
    child.g += 1.0;
    child.path = PersistentList<PathEntry>::append(PathEntry{action, 0, 0}, state.path);
    return child;
  }

  class SuccessorIter {
   public:
    SuccessorIter(const ToySpace& space, const State& state) : space_(&space), state_(&state) {}
    std::optional<State> next() {
      while (next_ < space_->relevant_.size()) {
        const Action action = space_->relevant_[next_++];
        if (std::optional<State> successor = space_->get_successor_state(*state_, action)) return successor;
      }
      return std::nullopt;
    }

   private:
    const ToySpace* space_;
    const State* state_;
    std::size_t next_ = 0;
  };

  SuccessorIter get_successor_states_iter(const State& state) const { return SuccessorIter(*this, state); }

  std::vector<NodeList> subgoals_sat(const State&, std::optional<std::span<const ExpressionNode>> = std::nullopt) const {
    return {};
  }

  // A toy task has no durative actions: its plans are untimed.
  TimedPlan build_plan(std::span<const Action> path) const {
    TimedPlan plan;
    for (Action action : path) plan.push_back({std::nullopt, action, std::nullopt});
    return plan;
  }

 private:
  Edges edges_;
  std::set<std::uint64_t> goals_;
  std::vector<Action> relevant_;
  std::uint64_t root_;
};

static_assert(SearchSpaceTrait<ToySpace>);

}  // namespace quendral::testing
