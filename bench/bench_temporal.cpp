// Temporal scale: what one successor and one timed plan cost as the path grows.
//
// Two tasks:
//  - chain: K durative actions; action i needs fact i at its start and sets fact i + 1 at its
//    end, and every action sets a shared Boolean fluent at its start and clears it at its end,
//    so every event interferes with the ones before it (one truck, one runway). The path is
//    start0 end0 start1 end1 ...
//  - overlap: 8 durative actions on 3 shared resources, four instances running at every moment
//    (start a0..a3, then end the oldest and start the next, round robin); every event reads one
//    resource and writes another, durations [1, 20].
//
// For each task it prints, against the number of events already on the path, the time of one
// successor (`get_successor_state` of the next action of the path) and the heap bytes that the
// successor holds on its own (what is not shared with its parent); then the time of
// `build_plan` against the number of events of the plan.
//
// Last, a greedy best-first search with hff on the chain, for growing K.
//
// Usage: bench_temporal [max successor path length] [max plan events] [max chain actions
// searched]  (defaults 2000, 10000, 500)
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/heuristics/relaxation_heuristic.hpp"
#include "base/search/searches.hpp"
#include "base/space/search_space.hpp"

namespace {

using namespace quendral;
using Clock = std::chrono::steady_clock;

NodeList equals_true(std::uint64_t fluent) {
  return {ExpressionNode::fluent(fluent), ExpressionNode::boolean(true),
          ExpressionNode::binary_operator(NodeKind::Equals, 0, 1)};
}

struct Bench {
  std::unique_ptr<SearchSpace> space;
  std::vector<Action> path;
  // What the relaxation heuristic is built from.
  std::vector<Action> actions;
  EventsTable events;
  FluentTypes fluent_types;
  NodeList goal;
};

// The chain of `k` actions and its path of 2k events. `guarded`: an action also needs, at its
// start, that it has not set its fact yet, so that it cannot be started again (the search would
// otherwise wander among restarts, temporal states being never equal).
Bench chain_task(std::size_t k, bool guarded = false) {
  EventsTable table;
  std::vector<Action> actions;
  std::vector<std::optional<DurationBounds>> durations;
  const std::uint64_t busy = k + 1;  // the shared Boolean fluent
  for (std::size_t i = 0; i < k; ++i) {
    actions.push_back(Action{i});
    const std::int64_t length = 1 + static_cast<std::int64_t>(i % 3);
    durations.push_back(DurationBounds{{ExpressionNode::integer(length)}, {ExpressionNode::integer(length)}, false, false});
    Event start;
    start.action = Action{i};
    start.pos = 0;
    start.conditions = equals_true(i);
    if (guarded) {
      start.conditions = {ExpressionNode::fluent(i), ExpressionNode::boolean(true),
                          ExpressionNode::binary_operator(NodeKind::Equals, 0, 1), ExpressionNode::fluent(i + 1),
                          ExpressionNode::boolean(false), ExpressionNode::binary_operator(NodeKind::Equals, 3, 4)};
      const std::uint64_t both[] = {2, 5};
      start.conditions.push_back(ExpressionNode::list_operator(NodeKind::And, both));
    }
    start.effects.push_back(Effect{busy, {ExpressionNode::boolean(true)}});
    Event end;
    end.action = Action{i};
    end.pos = 1;
    end.conditions = {ExpressionNode::boolean(true)};
    end.effects.push_back(Effect{i + 1, {ExpressionNode::boolean(true)}});
    end.effects.push_back(Effect{busy, {ExpressionNode::boolean(false)}});
    std::vector<TimedEvent> list;
    list.push_back({Timing{true, Rational(0)}, std::move(start)});
    list.push_back({Timing{false, Rational(0)}, std::move(end)});
    table.insert_or_assign(Action{i}, std::move(list));
  }
  NodeList init(k + 2, ExpressionNode::boolean(false));
  init[0] = ExpressionNode::boolean(true);
  Bench b;
  b.actions = actions;
  b.events = table;
  b.fluent_types = FluentTypes(k + 2, "bool");
  b.goal = equals_true(k);
  b.space = std::make_unique<SearchSpace>(durations, std::move(table), actions, std::nullopt, std::nullopt,
                                          std::nullopt, init, equals_true(k));
  for (std::size_t i = 0; i < k; ++i) {
    b.path.push_back(Action{i});
    b.path.push_back(Action{i});
  }
  return b;
}

// Eight actions on three resources, four instances always running; a path of `events` events.
Bench overlap_task(std::size_t events) {
  constexpr std::size_t kActions = 8;
  constexpr std::size_t kResources = 3;
  EventsTable table;
  std::vector<Action> actions;
  std::vector<std::optional<DurationBounds>> durations;
  for (std::size_t a = 0; a < kActions; ++a) {
    actions.push_back(Action{a});
    durations.push_back(DurationBounds{{ExpressionNode::integer(1)}, {ExpressionNode::integer(20)}, false, false});
    std::vector<TimedEvent> list;
    for (std::size_t j = 0; j < 2; ++j) {
      Event e;
      e.action = Action{a};
      e.pos = j;
      e.conditions = {ExpressionNode::fluent((a + j) % kResources), ExpressionNode::integer(0),
                      ExpressionNode::binary_operator(NodeKind::LE, 1, 0)};
      e.effects.push_back(Effect{(a + j + 1) % kResources, {ExpressionNode::integer(static_cast<std::int64_t>(a))}});
      list.push_back({Timing{j == 0, Rational(0)}, std::move(e)});
    }
    table.insert_or_assign(Action{a}, std::move(list));
  }
  NodeList init(kResources, ExpressionNode::integer(0));
  Bench b;
  b.space = std::make_unique<SearchSpace>(durations, std::move(table), actions, std::nullopt, std::nullopt,
                                          std::nullopt, init, NodeList{ExpressionNode::boolean(true)});
  // start 0 1 2 3, then (end i, start i + 4) round robin over the eight actions.
  for (std::size_t a = 0; a < 4 && b.path.size() < events; ++a) b.path.push_back(Action{a});
  for (std::size_t i = 0; b.path.size() < events; ++i) {
    b.path.push_back(Action{i % kActions});
    if (b.path.size() < events) b.path.push_back(Action{(i + 4) % kActions});
  }
  return b;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

void successor_table(const char* name, const Bench& b, const std::vector<std::size_t>& lengths) {
  std::printf("\n%s: one successor after L events on the path\n", name);
  std::printf("%8s %14s %14s\n", "L", "us/successor", "own bytes");
  std::optional<State> state(b.space->initial_state());
  std::size_t applied = 0;
  for (const std::size_t length : lengths) {
    if (length >= b.path.size()) break;
    while (applied < length) {
      std::optional<State> next = b.space->get_successor_state(*state, b.path[applied]);
      if (!next) {
        std::printf("the path cannot be applied at event %zu\n", applied);
        std::exit(1);
      }
      state.emplace(std::move(*next));
      ++applied;
    }
    const Action action = b.path[applied];
    // The best of five runs of 40 ms each: the machine is shared, and the least disturbed run is
    // the closest to the cost itself.
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
      std::size_t reps = 0;
      const auto start = Clock::now();
      double elapsed = 0;
      do {
        std::optional<State> child = b.space->get_successor_state(*state, action);
        if (!child) {
          std::printf("no successor at event %zu\n", applied);
          std::exit(1);
        }
        ++reps;
        elapsed = seconds_since(start);
      } while (elapsed < 0.04 && reps < 100000);
      best = std::min(best, elapsed / static_cast<double>(reps));
    }
    // Many children held at once, so that blocks the allocator keeps cached do not hide the
    // memory of one child.
    constexpr std::size_t kKept = 64;
    std::vector<State> kept;
    kept.reserve(kKept);
    const std::size_t before = heap_in_use();
    for (std::size_t i = 0; i < kKept; ++i) kept.push_back(std::move(*b.space->get_successor_state(*state, action)));
    const std::size_t after = heap_in_use();
    std::printf("%8zu %14.2f %14zd\n", length, best * 1e6,
                static_cast<std::ptrdiff_t>(after - before) / static_cast<std::ptrdiff_t>(kKept));
  }
}

void plan_table(const char* name, Bench (*make)(std::size_t), const std::vector<std::size_t>& sizes) {
  std::printf("\n%s: build_plan of n events\n", name);
  std::printf("%8s %14s %10s\n", "n", "ms", "steps");
  for (const std::size_t n : sizes) {
    const Bench b = make(n);
    // The best of at least three calls (and of all made in half a second).
    double best = 1e30;
    std::size_t steps = 0;
    const auto start = Clock::now();
    for (std::size_t reps = 0; reps < 3 || (seconds_since(start) < 0.5 && reps < 100); ++reps) {
      const auto one = Clock::now();
      const TimedPlan plan = b.space->build_plan(b.path);
      best = std::min(best, seconds_since(one));
      steps = plan.size();
    }
    std::printf("%8zu %14.2f %10zu\n", b.path.size(), best * 1e3, steps);
    std::fflush(stdout);
  }
}

Bench chain_of_events(std::size_t events) { return chain_task((events + 1) / 2); }

struct Hff {
  DeleteRelaxationHeuristic relaxation;
  HeuristicValue eval(const State& state, const SearchSpace&) const { return relaxation.eval(state); }
};

// Greedy best-first search with hff on the guarded chain of `k` actions, whose plan has 2k
// events.
void search_table(const std::vector<std::size_t>& ks) {
  std::printf("\nchain: greedy best-first search with hff (time limit 120 s)\n");
  std::printf("%8s %8s %14s %12s %12s\n", "actions", "events", "ms", "expanded", "plan events");
  for (const std::size_t k : ks) {
    Bench b = chain_task(k, true);
    const Hff hff{DeleteRelaxationHeuristic(b.actions, b.fluent_types, ObjectsTable{}, b.events, b.goal,
                                            DeleteRelaxationSettings{})};
    const auto start = Clock::now();
    std::string expanded = "-", length = "-";
    try {
      const SearchResult result = wastar_search(*b.space, hff, 1.0, 120.0f, false, false);
      expanded = result.statistics.at("expanded_states");
      if (result.plan) length = std::to_string(result.plan->size());
    } catch (const Error& e) {
      length = e.message();
    }
    std::printf("%8zu %8zu %14.1f %12s %12s\n", k, 2 * k, seconds_since(start) * 1e3, expanded.c_str(), length.c_str());
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t max_path = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
  const std::size_t max_plan = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000;
  std::vector<std::size_t> lengths;
  for (const std::size_t l : {10, 100, 200, 400, 1000, 2000, 4000}) {
    if (l <= max_path) lengths.push_back(l);
  }
  std::vector<std::size_t> sizes;
  for (const std::size_t n : {100, 200, 400, 1000, 2000, 4000, 10000}) {
    if (n <= max_plan) sizes.push_back(n);
  }
  const std::size_t longest = lengths.empty() ? 0 : lengths.back() + 2;
  successor_table("chain", chain_of_events(longest), lengths);
  std::fflush(stdout);
  successor_table("overlap", overlap_task(longest), lengths);
  std::fflush(stdout);
  plan_table("chain", chain_of_events, sizes);
  plan_table("overlap", overlap_task, sizes);
  const std::size_t max_search = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 500;
  std::vector<std::size_t> ks;
  for (const std::size_t k : {50, 100, 200, 300, 500, 1000}) {
    if (k <= max_search) ks.push_back(k);
  }
  search_table(ks);
  return 0;
}
