// The multi-queue search: best-first search driven by several (heuristic, weight) pairs at once.
//
// Each pair has its own open list ("queue"); a switch policy picks the queue to take the next
// state from. The queues share one duplicate set and, per generated state, one "expanded" flag,
// so a state held by several queues is expanded once; its other entries become stale and cost
// one pop and one flag test. Successors are generated in full, filtered once, and then evaluated
// as a batch by every pair's heuristic in pair order.
//
// Stop rule: the run ends as soon as the queue popped in the previous iteration is empty. Every
// container enters each queue whose heuristic gives it a value and leaves only by a pop, so an
// empty queue has seen all its states expanded, and what other queues still hold is either
// expanded already or a dead end for the empty queue's heuristic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/core/log.hpp"
#include "base/search/duplicates.hpp"
#include "base/search/framework.hpp"
#include "base/search/heuristic_trait.hpp"
#include "base/search/open_lists.hpp"
#include "base/space/search_space_trait.hpp"

namespace quendral {

// Python sees this target as the logger "quendral_base.multiqueue".
inline constexpr std::string_view kMultiqueueLogTarget = "quendral_base::multiqueue";

// `next_queue(n)`: the index of the queue to take from after `n` expansions.
template <class P>
concept SwitchPolicyTrait = requires(P& policy, std::uint64_t expansions) {
  { policy.next_queue(expansions) } -> std::convertible_to<std::size_t>;
};

// Takes the queues in turn: n mod `num_queues`. A policy over no queue is a broken invariant.
struct RoundRobinSwitchPolicy {
  std::size_t num_queues;

  std::size_t next_queue(std::uint64_t expansions) const {
    QUENDRAL_CHECK(num_queues != 0, "a round-robin policy over no queue was asked for the next queue");
    return static_cast<std::size_t>(expansions % num_queues);
  }
};
static_assert(SwitchPolicyTrait<RoundRobinSwitchPolicy>);

// A state that passed duplicate detection, with the one flag that all its queue entries share.
struct StateContainer {
  SharedState state;
  std::shared_ptr<bool> expanded;

  explicit StateContainer(SharedState s) : state(std::move(s)), expanded(std::allocate_shared<bool>(memory::Allocator<bool>(), false)) {}
  // The container is read only; the flag is the mutable cell that every entry points to.
  void set_expanded(bool value) const noexcept { *expanded = value; }
};

namespace multiqueue {

// A queue entry: the container's state and flag, and the priority in this queue.
struct PrioritizedItem {
  SharedState state;
  std::shared_ptr<bool> expanded;
  double priority;
};

// The lower priority first; on equal priorities, or a NaN on either side, fewer running
// actions. There is no insertion counter: entries equal on both keys come out in heap order.
inline bool is_better(const PrioritizedItem& a, const PrioritizedItem& b) noexcept {
  if (a.priority < b.priority) return true;
  if (b.priority < a.priority) return false;
  return a.state->todo.size() < b.state->todo.size();
}

struct IsBetter {
  bool operator()(const PrioritizedItem& a, const PrioritizedItem& b) const noexcept { return is_better(a, b); }
};

using Queue = BinaryHeap<PrioritizedItem, IsBetter>;

}  // namespace multiqueue

// The pairs are taken over by the run (the caller passes copies of its heuristics); weights are
// used as given. The root is pushed unevaluated into every queue with priority 0.0. With
// `early_termination` successors are goal-tested when generated, before duplicate detection and
// before any heuristic sees them. An empty pair list is a broken invariant, met at the first
// iteration (after the start line and the early goal test of the root).
template <SearchSpaceTrait S, class H, SwitchPolicyTrait P>
  requires HeuristicTrait<H, S>
SearchResult _multiqueue_search(const S& space, std::vector<std::pair<H, double>> heuristics, P policy,
                                std::optional<float> timeout, bool early_termination, bool weak_equality) {
  SearchRun run("multiqueue_search", timeout, early_termination, [&](std::ostream& out) {
    out << "queues=" << heuristics.size() << " timeout=" << format_timeout(timeout)
        << " early_termination=" << format_flag(early_termination) << " weak_equality=" << format_flag(weak_equality);
  }, kMultiqueueLogTarget);
  const SharedState root = share_state(space.initial_state());
  if (auto result = run.goal_at_root(space, *root)) return std::move(*result);

  const StateContainer root_container(root);
  DuplicateSet seen(DuplicateSet::choose(space.is_temporal(), weak_equality));
  seen.insert(root);
  std::vector<multiqueue::Queue> queues(heuristics.size());
  for (multiqueue::Queue& queue : queues) queue.push({root, root_container.expanded, 0.0});

  std::vector<StateContainer> batch;
  std::size_t current = 0;
  for (;;) {
    run.check_time();
    QUENDRAL_CHECK(current < queues.size(), "queue index " + std::to_string(current) + " is outside the " +
                                                std::to_string(queues.size()) + " queues");
    // The queue popped last time, not the one the policy would pick now.
    if (queues[current].empty()) break;
    current = policy.next_queue(run.counters().expanded);
    QUENDRAL_CHECK(current < queues.size(), "queue index " + std::to_string(current) + " is outside the " +
                                                std::to_string(queues.size()) + " queues");
    std::optional<multiqueue::PrioritizedItem> entry = queues[current].pop();
    if (!entry) continue;
    // Stale: expanded from another queue. Nothing counts, so the same queue is picked again.
    if (*entry->expanded) continue;
    *entry->expanded = true;
    run.count_expansion([&] {
      std::size_t open = 0;
      for (const multiqueue::Queue& queue : queues) open += queue.size();
      return open;
    });
    const State& state = *entry->state;
    if (auto result = run.goal_when_taken(space, state)) return std::move(*result);

    // The successors over the relevant actions in order, from the space's stream (the same
    // successors as asking action by action, without trying the actions it knows to have none).
    batch.clear();
    auto successors = space.get_successor_states_iter(state);
    while (std::optional<State> successor = successors.next()) {
      run.count_generated();
      // Before duplicate detection and before any heuristic: a goal is a goal.
      if (auto result = run.goal_when_made(space, *successor)) return std::move(*result);
      std::optional<SharedState> shared = seen.insert_new(std::move(*successor));
      if (!shared) continue;
      batch.emplace_back(std::move(*shared));
    }
    for (std::size_t i = 0; i < heuristics.size(); ++i) {
      const auto& [heuristic, weight] = heuristics[i];
      EvalGenContainer<H, S, StateContainer> values(heuristic, std::span<const StateContainer>(batch), space);
      while (std::optional<PositionedValue> item = values.next()) {
        if (!item->value) continue;  // a dead end for this queue's heuristic only
        const StateContainer& container = batch[item->position];
        queues[i].push({container.state, container.expanded, blend_priority(weight, container.state->g, *item->value)});
      }
    }
  }
  return run.exhausted();
}

}  // namespace quendral
