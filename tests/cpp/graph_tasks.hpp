// Seeded random explicit graphs with heuristic tables, for comparing the informed searches with
// literal models of their rules: a graph task for `ToySpace`, a heuristic that reads its values
// from a table and records every state it is asked about, and the outcome of a run (plan,
// statistics, error, log lines, heuristic calls) in a form that a model can produce too.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/search/heuristic_trait.hpp"
#include "base/search/searches.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_support.hpp"
#include "tests/cpp/toy_space.hpp"

namespace quendral::testing {

inline const std::string kEmDash = " \xe2\x80\x94 ";
inline constexpr const char* kHeuristicFailed = "heuristic failed";
inline constexpr const char* kSuccessorFailed = "Expected a number!";
inline constexpr const char* kGoalTestFailed = "The goal is not a boolean expression!";

using Row = std::vector<std::optional<std::uint64_t>>;

// A failure met by a model, with the message the engine gives for it.
struct ModelError {
  std::string message;
};

inline std::string flag_text(bool b) { return b ? "true" : "false"; }

// Values by node; a node missing from `values` is a dead end, a node in `failing` throws.
// Every call is recorded (node numbers, in order).
struct TableHeuristic {
  std::map<std::uint64_t, double> values;
  std::set<std::uint64_t> failing;
  mutable std::vector<std::uint64_t> calls;

  HeuristicValue eval(const State& state, const ToySpace&) const {
    const std::uint64_t node = ToySpace::node_of(state);
    calls.push_back(node);
    if (failing.contains(node)) throw Error(ErrorKind::RuntimeError, kHeuristicFailed);
    const auto it = values.find(node);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};
static_assert(HeuristicTrait<TableHeuristic, ToySpace>);

inline TableHeuristic table(std::map<std::uint64_t, double> values) {
  return TableHeuristic{std::move(values), {}, {}};
}

// A chain 0 → 1 → … → length along action 0, the goal at its end, and a heuristic counting
// down to it: a run of length + 1 expansions that passes the 10000th.
struct Chain {
  ToySpace space;
  TableHeuristic heuristic;
};
inline Chain countdown_chain(std::uint64_t length) {
  ToySpace::Edges edges(length + 1);
  std::map<std::uint64_t, double> values;
  for (std::uint64_t v = 0; v < length; ++v) edges[v] = Row{v + 1};
  for (std::uint64_t v = 0; v <= length; ++v) values[v] = static_cast<double>(length - v);
  return Chain{ToySpace(std::move(edges), {length}, {Action{0}}), table(std::move(values))};
}

struct GraphTask {
  ToySpace::Edges edges;
  std::set<std::uint64_t> goals;
  std::vector<Action> relevant;
  std::set<std::pair<std::uint64_t, std::uint64_t>> failing_successors;
  std::set<std::uint64_t> failing_goal_tests;
  std::vector<TableHeuristic> heuristics;

  ToySpace space() const {
    ToySpace s(edges, goals, relevant);
    s.failing_successors = failing_successors;
    s.failing_goal_tests = failing_goal_tests;
    return s;
  }
  // The target of action `a` from `node`, if any.
  std::optional<std::uint64_t> edge(std::uint64_t node, Action a) const {
    if (node >= edges.size() || a.idx >= edges[node].size()) return std::nullopt;
    return edges[node][a.idx];
  }
};

// A graph with cycles of up to 14 nodes and 4 actions, random goals, action order and heuristic
// tables; now and then a failing successor, goal test or evaluation. `value` draws one value.
inline GraphTask random_graph(std::mt19937_64& rng, std::size_t heuristics,
                              const std::function<double(std::mt19937_64&)>& value) {
  GraphTask task;
  const std::uint64_t nodes = 1 + rng() % 14;
  const std::uint64_t actions = 1 + rng() % 4;
  task.edges.assign(nodes, std::vector<std::optional<std::uint64_t>>(actions));
  for (auto& out : task.edges) {
    for (auto& target : out) {
      if (rng() % 3 != 0) target = rng() % nodes;
    }
  }
  for (std::uint64_t v = 1; v < nodes; ++v) {
    if (rng() % 6 == 0) task.goals.insert(v);
  }
  if (rng() % 20 == 0) task.goals.insert(0);
  for (std::uint64_t a = 0; a < actions; ++a) {
    if (rng() % 6 != 0) task.relevant.push_back(Action{a});
  }
  std::shuffle(task.relevant.begin(), task.relevant.end(), rng);
  if (rng() % 8 == 0) task.failing_successors.insert({rng() % nodes, rng() % actions});
  if (rng() % 12 == 0) task.failing_goal_tests.insert(rng() % nodes);
  for (std::size_t i = 0; i < heuristics; ++i) {
    TableHeuristic h;
    for (std::uint64_t v = 0; v < nodes; ++v) {
      if (rng() % 8 != 0) h.values[v] = value(rng);
    }
    if (rng() % 12 == 0) h.failing.insert(rng() % nodes);
    task.heuristics.push_back(std::move(h));
  }
  return task;
}

// What a run shows: its result or error, its log lines and the heuristics' calls.
struct RunOutcome {
  std::optional<std::vector<std::uint64_t>> plan;
  std::map<std::string, std::string> statistics;
  std::optional<std::string> error;
  std::vector<std::string> log;
  std::vector<std::vector<std::uint64_t>> calls;  // per heuristic
};

// Runs `search` with a fresh log capture and gathers its outcome; `heuristics` are the objects
// whose calls are recorded.
inline RunOutcome observe(const std::function<SearchResult()>& search,
                          const std::vector<const TableHeuristic*>& heuristics) {
  for (const TableHeuristic* h : heuristics) h->calls.clear();
  start_log_capture();
  RunOutcome run;
  try {
    SearchResult result = search();
    if (result.plan) {
      run.plan.emplace();
      for (Action a : *result.plan) run.plan->push_back(a.idx);
    }
    run.statistics = {result.statistics.begin(), result.statistics.end()};
  } catch (const Error& error) {
    run.error = error.message();
  }
  run.log = captured_messages();
  for (const TableHeuristic* h : heuristics) run.calls.push_back(h->calls);
  return run;
}

inline void expect_same_outcome(const RunOutcome& actual, const RunOutcome& expected, const std::string& where) {
  EXPECT_EQ(actual.error, expected.error) << where;
  EXPECT_EQ(actual.plan, expected.plan) << where;
  EXPECT_EQ(actual.statistics, expected.statistics) << where;
  EXPECT_EQ(actual.log, expected.log) << where;
  EXPECT_EQ(actual.calls, expected.calls) << where;
}


// The endings a model writes: the goal line and result, the no-plan line and result.
inline std::string goal_found_line(const std::string& name, std::uint64_t expanded, std::size_t depth) {
  return name + ": goal found" + kEmDash + "expanded=" + std::to_string(expanded) + " depth=" + std::to_string(depth);
}
inline std::string no_solution_line(const std::string& name, std::uint64_t expanded) {
  return name + ": no solution found" + kEmDash + "expanded=" + std::to_string(expanded);
}
inline void model_goal(RunOutcome& run, const std::vector<std::uint64_t>& path, std::uint64_t expanded) {
  run.plan = path;
  run.statistics = {{"expanded_states", std::to_string(expanded)}, {"goal_depth", std::to_string(path.size())}};
}
inline void model_no_plan(RunOutcome& run, std::uint64_t expanded) {
  run.statistics = {{"expanded_states", std::to_string(expanded)}};
}

}  // namespace quendral::testing
