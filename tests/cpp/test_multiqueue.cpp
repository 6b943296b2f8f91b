// The multi-queue search against a literal model of its steps on seeded random graphs, and the
// cases the model does not reach: the stop rule, stale entries, an empty list of heuristics.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/search/multiqueue.hpp"
#include "tests/cpp/graph_tasks.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {
namespace {


// The search as its numbered steps say. Values are drawn from a continuum, so no two entries of
// a queue tie on priority (the one order the rules leave to the heap).
RunOutcome model_multiqueue(const GraphTask& task, const std::vector<double>& weights, bool early) {
  const std::string name = "multiqueue_search";
  RunOutcome run;
  run.calls.resize(weights.size());
  run.log.push_back(name + ": queues=" + std::to_string(weights.size()) + " timeout=None early_termination=" +
                    flag_text(early) + " weak_equality=false");
  auto goal = [&](std::uint64_t node) {
    if (task.failing_goal_tests.contains(node)) throw ModelError{kGoalTestFailed};
    return task.goals.contains(node);
  };
  struct Entry {
    std::uint64_t node;
    std::vector<std::uint64_t> path;
    std::size_t container;
    double priority;
  };
  try {
    if (early && goal(0)) {
      model_goal(run, {}, 0);
      return run;
    }
    std::vector<bool> expanded_flag = {false};
    std::set<std::uint64_t> seen = {0};
    std::vector<std::vector<Entry>> queues(weights.size(), std::vector<Entry>{{0, {}, 0, 0.0}});
    std::size_t current = 0;
    std::uint64_t expanded = 0;
    for (;;) {
      if (queues[current].empty()) break;
      current = expanded % weights.size();
      std::vector<Entry>& queue = queues[current];
      if (queue.empty()) continue;
      auto best = queue.begin();
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->priority < best->priority) best = it;
      }
      const Entry e = *best;
      queue.erase(best);
      if (expanded_flag[e.container]) continue;
      expanded_flag[e.container] = true;
      ++expanded;
      if (!early && goal(e.node)) {
        run.log.push_back(goal_found_line(name, expanded, e.path.size()));
        model_goal(run, e.path, expanded);
        return run;
      }
      std::vector<Entry> batch;
      for (Action a : task.relevant) {
        if (task.failing_successors.contains({e.node, a.idx})) throw ModelError{kSuccessorFailed};
        const std::optional<std::uint64_t> child = task.edge(e.node, a);
        if (!child) continue;
        std::vector<std::uint64_t> path = e.path;
        path.push_back(a.idx);
        if (early && goal(*child)) {
          run.log.push_back(goal_found_line(name, expanded, path.size()));
          model_goal(run, path, expanded);
          return run;
        }
        if (!seen.insert(*child).second) continue;
        expanded_flag.push_back(false);
        batch.push_back({*child, path, expanded_flag.size() - 1, 0.0});
      }
      for (std::size_t i = 0; i < weights.size(); ++i) {
        const TableHeuristic& h = task.heuristics[i];
        for (const Entry& c : batch) {
          run.calls[i].push_back(c.node);
          if (h.failing.contains(c.node)) throw ModelError{kHeuristicFailed};
          const auto it = h.values.find(c.node);
          if (it == h.values.end()) continue;
          const double g = static_cast<double>(c.path.size());
          const double g_share = 1.0 - weights[i];
          const double g_part = g_share * g;
          const double h_part = it->second * weights[i];
          queues[i].push_back({c.node, c.path, c.container, g_part + h_part});
        }
      }
    }
    run.log.push_back(no_solution_line(name, expanded));
    model_no_plan(run, expanded);
  } catch (const ModelError& error) {
    run.error = error.message;
    run.log.resize(1);
  }
  return run;
}

double continuous(std::mt19937_64& rng) { return std::uniform_real_distribution<double>(0.01, 100.0)(rng); }

// The routine takes the pairs over and its copies die with it, so it is given heuristics whose
// call lists outlive the run.
struct SharedCallsHeuristic {
  const TableHeuristic* table;
  std::shared_ptr<std::vector<std::uint64_t>> calls;
  HeuristicValue eval(const State& state, const ToySpace& space) const {
    calls->push_back(ToySpace::node_of(state));
    return table->eval(state, space);
  }
};
static_assert(HeuristicTrait<SharedCallsHeuristic, ToySpace>);

RunOutcome observe_multiqueue(const ToySpace& space, const std::vector<const TableHeuristic*>& tables,
                              const std::vector<double>& weights, bool early, std::optional<float> timeout = {}) {
  std::vector<std::pair<SharedCallsHeuristic, double>> pairs;
  std::vector<std::shared_ptr<std::vector<std::uint64_t>>> calls;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    calls.push_back(std::make_shared<std::vector<std::uint64_t>>());
    pairs.push_back({SharedCallsHeuristic{tables[i], calls.back()}, weights[i]});
  }
  RunOutcome run = observe(
      [&] { return _multiqueue_search(space, pairs, RoundRobinSwitchPolicy{pairs.size()}, timeout, early, false); },
      {});
  for (const auto& c : calls) run.calls.push_back(*c);
  return run;
}

TEST(MultiqueueSearch, MatchesALiteralModelOnSeededRandomGraphs) {
  std::mt19937_64 rng(20261214);
  const double weight_choices[] = {1.0, 0.5, 0.7, 2.0};
  for (int round = 0; round < 500; ++round) {
    const std::size_t n = 1 + rng() % 3;
    const GraphTask task = random_graph(rng, n, continuous);
    std::vector<double> weights;
    std::vector<const TableHeuristic*> tables;
    for (std::size_t i = 0; i < n; ++i) {
      weights.push_back(weight_choices[rng() % 4]);
      tables.push_back(&task.heuristics[i]);
    }
    const ToySpace space = task.space();
    for (bool early : {false, true}) {
      const RunOutcome actual = observe_multiqueue(space, tables, weights, early);
      const RunOutcome expected = model_multiqueue(task, weights, early);
      const std::string where = "round " + std::to_string(round) + (early ? " early" : "");
      EXPECT_EQ(actual.error, expected.error) << where;
      EXPECT_EQ(actual.plan, expected.plan) << where;
      EXPECT_EQ(actual.statistics, expected.statistics) << where;
      EXPECT_EQ(actual.log, expected.log) << where;
      // On an error the model stops at the failing call; the search made the same calls.
      EXPECT_EQ(actual.calls, expected.calls) << where;
    }
  }
}

TEST(MultiqueueSearch, EntryOrderIsPriorityThenFewerRunningActionsWithoutCounter) {
  auto entry = [](double priority, std::size_t running) {
    State state = ToySpace::make_state(0);
    for (std::size_t i = 0; i < running; ++i) state.todo.insert_or_assign(Action{i}, TodoEntry{0, 0});
    return multiqueue::PrioritizedItem{std::make_shared<const State>(std::move(state)), std::make_shared<bool>(false),
                                       priority};
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double pa;
    std::size_t ra;
    double pb;
    std::size_t rb;
    bool a_better;
  };
  const std::vector<Case> cases = {
      {1.0, 3, 2.0, 0, true}, {2.0, 0, 1.0, 3, false}, {1.0, 0, 1.0, 1, true}, {1.0, 1, 1.0, 0, false},
      {1.0, 1, 1.0, 1, false},  // equal on both keys: neither is better
      {nan, 0, 1.0, 1, true},   {1.0, 1, nan, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(multiqueue::is_better(entry(c.pa, c.ra), entry(c.pb, c.rb)), c.a_better)
        << c.pa << "/" << c.ra << " vs " << c.pb << "/" << c.rb;
  }
  // The flag is one cell shared by the container and every entry made from it.
  const StateContainer container(std::make_shared<const State>(ToySpace::make_state(4)));
  const multiqueue::PrioritizedItem in_queue{container.state, container.expanded, 0.0};
  container.set_expanded(true);
  EXPECT_TRUE(*in_queue.expanded);
}

TEST(MultiqueueSearch, EndsWhenTheQueuePoppedLastIsEmptyAlthoughOthersHoldStates) {
  // Every successor of the root is a dead end for the first heuristic only.
  const ToySpace space({Row{1, 2}, Row{3}, Row{3}, Row{}}, {3}, {Action{0}, Action{1}});
  const TableHeuristic first = table({{0, 1}});
  const TableHeuristic second = table({{0, 1}, {1, 1}, {2, 2}, {3, 0}});
  const RunOutcome r = observe_multiqueue(space, {&first, &second}, {0.5, 0.5}, false);
  EXPECT_FALSE(r.plan);
  EXPECT_EQ(r.statistics, (std::map<std::string, std::string>{{"expanded_states", "1"}}));
  EXPECT_EQ(r.log.back(), no_solution_line("multiqueue_search", 1));
  for (const CapturedRecord& record : captured_records()) EXPECT_EQ(record.target, "quendral_base::multiqueue");
}

TEST(MultiqueueSearch, AStaleRootEntryIsSkippedAndTheSameQueueIsAskedAgain) {
  // After the root (queue 0), queue 1 is picked, yields the stale root, and is picked again:
  // its best successor 2 is the goal. Queue 0 would have taken 1.
  const ToySpace space({Row{1, 2}, Row{}, Row{}}, {2}, {Action{0}, Action{1}});
  const TableHeuristic first = table({{1, 1}, {2, 5}});
  const TableHeuristic second = table({{1, 5}, {2, 1}});
  const RunOutcome r = observe_multiqueue(space, {&first, &second}, {0.5, 0.5}, false);
  EXPECT_EQ(r.plan, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(r.statistics.at("expanded_states"), "2");
  // The root is never evaluated; each heuristic sees the batch once.
  EXPECT_EQ(r.calls, (std::vector<std::vector<std::uint64_t>>{{1, 2}, {1, 2}}));
}

TEST(MultiqueueSearch, EmptyHeuristicListFailsAtTheFirstIterationAfterTheStartLine) {
  const ToySpace space({Row{1}, Row{}}, {1}, {Action{0}});
  std::vector<std::pair<TableHeuristic, double>> none;
  start_log_capture();
  EXPECT_NE(internal_failure_of([&] {
              _multiqueue_search(space, none, RoundRobinSwitchPolicy{0}, std::nullopt, false, false);
            }),
            "");
  EXPECT_EQ(captured_messages(), (std::vector<std::string>{"multiqueue_search: queues=0 timeout=None "
                                                           "early_termination=false weak_equality=false"}));
  // A goal root found by early termination is returned before the first iteration.
  const ToySpace root_goal({Row{}}, {0}, {});
  SearchResult r = _multiqueue_search(root_goal, none, RoundRobinSwitchPolicy{0}, std::nullopt, true, false);
  EXPECT_EQ(r.plan, std::vector<Action>{});
  EXPECT_NE(internal_failure_of([] { (void)RoundRobinSwitchPolicy{0}.next_queue(3); }), "");
}

TEST(MultiqueueSearch, ErrorsOfAnyQueueEndTheRunAndTimeoutsAreTestedFirst) {
  const ToySpace space({Row{1}, Row{}}, {1}, {Action{0}});
  const TableHeuristic fine = table({{1, 1}});
  TableHeuristic failing = table({});
  failing.failing = {1};
  RunOutcome r = observe_multiqueue(space, {&fine, &failing}, {1.0, 1.0}, false);
  EXPECT_EQ(r.error, kHeuristicFailed);
  EXPECT_EQ(r.calls, (std::vector<std::vector<std::uint64_t>>{{1}, {1}}));  // the first queue had it already
  r = observe_multiqueue(space, {&fine}, {1.0}, false, 0.0f);
  EXPECT_EQ(r.error, "Timeout");
}

TEST(MultiqueueSearch, ProgressLineCountsStaleEntries) {
  // A chain; two queues with the same heuristic: every state sits in both, one copy goes stale.
  const Chain chain = countdown_chain(10002);
  const TableHeuristic& h = chain.heuristic;
  const RunOutcome r = observe_multiqueue(chain.space, {&h, &h}, {1.0, 1.0}, false);
  ASSERT_EQ(r.log.size(), 3u);
  // Each queue keeps the stale copies of the states the other one expanded: 2 entries pushed
  // per expanded state, 10000 expansions and the stale root popped leave 9999 entries.
  EXPECT_EQ(r.log[1], "multiqueue_search: expanded=10000 generated=10000 open=9999");
}

}  // namespace
}  // namespace quendral::testing
