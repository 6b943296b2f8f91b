// Weighted A*, its memory-bounded variant and enforced hill-climbing: literal models of their
// steps compared with the searches on seeded random graphs (plan, counters, log lines and the
// sequence of heuristic calls), the edge cases that the models do not reach, and the
// memory-bounded search against weighted A* on random classical tasks of the real search space.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/search/searches.hpp"
#include "base/space/search_space.hpp"
#include "tests/cpp/graph_tasks.hpp"
#include "tests/cpp/task_builders.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {
namespace {

constexpr auto kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------- literal models

// The rules a model shares with the toy space: goal tests and successors that may fail.
struct ModelWorld {
  const GraphTask& task;
  const TableHeuristic& h;
  RunOutcome& run;

  bool goal(std::uint64_t node) const {
    if (task.failing_goal_tests.contains(node)) throw ModelError{kGoalTestFailed};
    return task.goals.contains(node);
  }
  std::optional<std::uint64_t> successor(std::uint64_t node, Action a) const {
    if (task.failing_successors.contains({node, a.idx})) throw ModelError{kSuccessorFailed};
    return task.edge(node, a);
  }
  std::optional<double> value(std::uint64_t node) const {
    run.calls[0].push_back(node);
    if (h.failing.contains(node)) throw ModelError{kHeuristicFailed};
    const auto it = h.values.find(node);
    if (it == h.values.end()) return std::nullopt;
    return it->second;
  }
};

// Weighted A* as its numbered steps say, over node numbers; the open list is scanned for the
// best entry (lowest priority, then lowest counter: toy states have no running actions). The
// values are finite here, so the order is total.
RunOutcome model_wastar(const GraphTask& task, const std::string& name, double w, bool early) {
  RunOutcome run;
  run.calls.resize(1);
  const ModelWorld world{task, task.heuristics[0], run};
  run.log.push_back(name + ": weight=" + format_f64(w) + " timeout=None early_termination=" + flag_text(early) +
                    " weak_equality=false");
  struct Entry {
    std::uint64_t node;
    std::vector<std::uint64_t> path;
    double priority;
    std::uint64_t counter;
  };
  try {
    if (early && world.goal(0)) {
      model_goal(run, {}, 0);
      return run;
    }
    std::set<std::uint64_t> closed = {0};
    const std::optional<double> h0 = world.value(0);
    if (!h0) {
      model_no_plan(run, 0);
      return run;
    }
    std::vector<Entry> open = {{0, {}, *h0, 0}};
    std::uint64_t expanded = 0;
    std::uint64_t generated = 1;
    while (!open.empty()) {
      auto best = open.begin();
      for (auto it = open.begin(); it != open.end(); ++it) {
        if (it->priority < best->priority || (it->priority == best->priority && it->counter < best->counter)) best = it;
      }
      const Entry e = *best;
      open.erase(best);
      ++expanded;
      if (!early && world.goal(e.node)) {
        run.log.push_back(goal_found_line(name, expanded, e.path.size()));
        model_goal(run, e.path, expanded);
        return run;
      }
      for (Action a : task.relevant) {
        const std::optional<std::uint64_t> child = world.successor(e.node, a);
        if (!child) continue;
        if (!closed.insert(*child).second) continue;  // a duplicate: neither evaluated nor counted
        std::vector<std::uint64_t> path = e.path;
        path.push_back(a.idx);
        const std::optional<double> v = world.value(*child);
        if (early && world.goal(*child)) {
          run.log.push_back(goal_found_line(name, expanded, path.size()));
          model_goal(run, path, expanded);
          return run;
        }
        if (v) {
          const double g = static_cast<double>(path.size());
          const double g_share = 1.0 - w;
          const double g_part = g_share * g;
          const double h_part = *v * w;
          open.push_back({*child, path, g_part + h_part, generated});
        }
        ++generated;
      }
    }
    run.log.push_back(no_solution_line(name, expanded));
    model_no_plan(run, expanded);
  } catch (const ModelError& error) {
    run.error = error.message;
    run.log.resize(1);  // errors end a run without a further line
  }
  return run;
}

RunOutcome model_ehc(const GraphTask& task, bool early) {
  RunOutcome run;
  run.calls.resize(1);
  const ModelWorld world{task, task.heuristics[0], run};
  const std::string name = "ehc_search";
  run.log.push_back(name + ": timeout=None early_termination=" + flag_text(early) + " weak_equality=false");
  struct Item {
    std::uint64_t node;
    std::vector<std::uint64_t> path;
  };
  try {
    if (early && world.goal(0)) {
      model_goal(run, {}, 0);
      return run;
    }
    const std::optional<double> h0 = world.value(0);
    if (!h0) {
      model_no_plan(run, 0);
      return run;
    }
    double best = *h0;
    run.log.push_back(name + ": initial h=" + format_fixed4(best));
    std::deque<Item> queue = {{0, {}}};
    std::set<std::uint64_t> closed;
    std::uint64_t expanded = 0;
    std::uint64_t generated = 1;
    while (!queue.empty()) {
      const Item item = queue.front();
      queue.pop_front();
      ++expanded;
      if (!early && world.goal(item.node)) {
        run.log.push_back(goal_found_line(name, expanded, item.path.size()));
        model_goal(run, item.path, expanded);
        return run;
      }
      closed.insert(item.node);
      for (Action a : task.relevant) {
        const std::optional<std::uint64_t> child = world.successor(item.node, a);
        if (!child || closed.contains(*child)) continue;
        std::vector<std::uint64_t> path = item.path;
        path.push_back(a.idx);
        const std::optional<double> v = world.value(*child);
        ++generated;
        if (early && world.goal(*child)) {
          run.log.push_back(goal_found_line(name, expanded, path.size()));
          model_goal(run, path, expanded);
          return run;
        }
        if (!v) continue;
        if (*v < best) {
          best = *v;
          queue.assign({{*child, path}});
          run.log.push_back(name + ": improved h=" + format_fixed4(best) + " expanded=" + std::to_string(expanded) +
                            " generated=" + std::to_string(generated));
          closed.clear();
          break;
        }
        queue.push_back({*child, path});
      }
    }
    run.log.push_back(no_solution_line(name, expanded));
    model_no_plan(run, expanded);
  } catch (const ModelError& error) {
    run.error = error.message;
    // Errors end a run without a further line; the debug lines before it stay.
  }
  return run;
}

double small_integer(std::mt19937_64& rng) { return static_cast<double>(rng() % 6); }

TEST(WeightedAStar, MatchesALiteralModelOnSeededRandomGraphs) {
  std::mt19937_64 rng(20261211);
  const double weights[] = {1.0, 0.5, 0.0, 2.0, 0.3};
  for (int round = 0; round < 400; ++round) {
    const GraphTask task = random_graph(rng, 1, small_integer);
    const ToySpace space = task.space();
    const TableHeuristic& h = task.heuristics[0];
    for (double w : weights) {
      for (bool early : {false, true}) {
        const std::string where = "round " + std::to_string(round) + " w=" + format_f64(w) + (early ? " early" : "");
        expect_same_outcome(observe([&] { return wastar_search(space, h, w, std::nullopt, early, false); }, {&h}),
                            model_wastar(task, "wastar_search", w, early), where);
        // Far below its bounds (and with no false positive of the filter at these sizes), the
        // memory-bounded search follows the same rules.
        expect_same_outcome(
            observe([&] { return wastar_search_memory_bounded(space, h, w, std::nullopt, early, false); }, {&h}),
            model_wastar(task, "wastar_search_memory_bounded", w, early), where + " bounded");
      }
    }
  }
}

TEST(EnforcedHillClimbing, MatchesALiteralModelOnSeededRandomGraphs) {
  std::mt19937_64 rng(20261212);
  for (int round = 0; round < 600; ++round) {
    const GraphTask task = random_graph(rng, 1, small_integer);
    const ToySpace space = task.space();
    const TableHeuristic& h = task.heuristics[0];
    for (bool early : {false, true}) {
      expect_same_outcome(observe([&] { return ehc_search(space, h, std::nullopt, early, false); }, {&h}),
                          model_ehc(task, early), "round " + std::to_string(round) + (early ? " early" : ""));
    }
  }
}

// ---------------------------------------------------------------- edge cases by hand

// Both weighted searches, for the cases where they must agree.
template <class F>
void for_both_weighted(F&& f) {
  f("wastar_search", [](const ToySpace& s, const TableHeuristic& h, double w, bool early) {
    return wastar_search(s, h, w, std::nullopt, early, false);
  });
  f("wastar_search_memory_bounded", [](const ToySpace& s, const TableHeuristic& h, double w, bool early) {
    return wastar_search_memory_bounded(s, h, w, std::nullopt, early, false);
  });
}

TEST(WeightedAStar, WeightsOrderTheOpenList) {
  // Root 0 with successors 1 (h=1, reached by one step) and 2 → 3 (h=0 at 3, two steps); goals
  // at 1's child 4 and at 3. Expansion order shows up in the heuristic calls and the plan.
  //   0 -a-> 1 -a-> 4 (goal)      h: 0:5 1:1 2:3 3:0 4:9
  //   0 -b-> 2 -a-> 3 (goal)
  const ToySpace space({Row{1, 2}, Row{4}, Row{3}, Row{}, Row{}}, {3, 4}, {Action{0}, Action{1}});
  const TableHeuristic h = table({{0, 5}, {1, 1}, {2, 3}, {3, 0}, {4, 9}});
  for_both_weighted([&](const std::string& name, auto search) {
    // Greedy: 1 first (h=1), then 2 (h=3 < 9), then 3 (h=0): goal via b, a.
    SearchResult greedy = search(space, h, 1.0, false);
    EXPECT_EQ(greedy.plan, (std::vector<Action>{Action{1}, Action{0}})) << name;
    EXPECT_EQ(greedy.statistics.at("expanded_states"), "4") << name;
    // w = 0: uniform cost; ties by generation order: 1, 2, 4 (goal, g=2, generated before 3).
    SearchResult uniform = search(space, h, 0.0, false);
    EXPECT_EQ(uniform.plan, (std::vector<Action>{Action{0}, Action{0}})) << name;
    EXPECT_EQ(uniform.statistics.at("expanded_states"), "4") << name;
  });
}

TEST(WeightedAStar, NaNPrioritiesFallBackToRunningActionsThenGenerationOrder) {
  // w = 0 and h = inf: 0 × inf is NaN, so priorities compare neither way and the counters decide.
  const ToySpace space({Row{1, 2, 3}, Row{}, Row{}, Row{}}, {3}, {Action{0}, Action{1}, Action{2}});
  const TableHeuristic h = table({{0, 1}, {1, kInf}, {2, 0.5}, {3, kNaN}});
  for_both_weighted([&](const std::string& name, auto search) {
    h.calls.clear();
    SearchResult result = search(space, h, 0.0, false);
    EXPECT_EQ(result.plan, (std::vector<Action>{Action{2}})) << name;
    // 2's priority 1 (g only) is a number, but 1's and 3's are NaN: no order among the three is
    // forced beyond the rule, so only the outcome is checked.
    EXPECT_EQ(h.calls, (std::vector<std::uint64_t>{0, 1, 2, 3})) << name;
  });
}

TEST(WeightedAStar, RootDeadEndDuplicatesOfTheRootAndDeadEndGoals) {
  const ToySpace loop({Row{0, 1}, Row{}}, {1}, {Action{0}, Action{1}});
  for_both_weighted([&](const std::string& name, auto search) {
    // The root is a dead end: no plan, nothing expanded, only the start line.
    const TableHeuristic dead = table({});
    const RunOutcome r = observe([&] { return search(loop, dead, 1.0, false); }, {&dead});
    EXPECT_EQ(r.statistics, (std::map<std::string, std::string>{{"expanded_states", "0"}})) << name;
    EXPECT_EQ(r.log.size(), 1u) << name;
    EXPECT_FALSE(r.plan);
    // A successor equal to the root is dropped unevaluated; a dead-end goal is returned with
    // early termination (its test precedes the dead-end test) and never without.
    const TableHeuristic h = table({{0, 1}});
    const RunOutcome early = observe([&] { return search(loop, h, 1.0, true); }, {&h});
    EXPECT_EQ(early.plan, (std::vector<std::uint64_t>{1})) << name;
    EXPECT_EQ(early.calls[0], (std::vector<std::uint64_t>{0, 1})) << name;
    EXPECT_EQ(early.log.back(), goal_found_line(name, 1, 1)) << name;
    const RunOutcome late = observe([&] { return search(loop, h, 1.0, false); }, {&h});
    EXPECT_FALSE(late.plan) << name;
    EXPECT_EQ(late.log.back(), no_solution_line(name, 1)) << name;
  });
}

TEST(WeightedAStar, GoalNextToTheRootCountsTwoExpansionsOrOneWithEarlyTermination) {
  const ToySpace space({Row{1}, Row{}}, {1}, {Action{0}});
  const TableHeuristic h = table({{0, 1}, {1, 0}});
  for_both_weighted([&](const std::string& name, auto search) {
    EXPECT_EQ(search(space, h, 0.5, false).statistics.at("expanded_states"), "2") << name;
    EXPECT_EQ(search(space, h, 0.5, true).statistics.at("expanded_states"), "1") << name;
    // A goal root with early termination: no goal line, nothing evaluated.
    const ToySpace root_goal({Row{}}, {0}, {});
    const RunOutcome r = observe([&] { return search(root_goal, h, 0.5, true); }, {&h});
    EXPECT_EQ(r.statistics, (std::map<std::string, std::string>{{"expanded_states", "0"}, {"goal_depth", "0"}}));
    EXPECT_EQ(r.log, (std::vector<std::string>{name + ": weight=0.5 timeout=None early_termination=true "
                                                      "weak_equality=false"}));
    EXPECT_TRUE(r.calls[0].empty());
  });
}

TEST(WeightedAStar, AnErrorItemEndsTheRunEvenBeforeAnUntestedGoal) {
  // Action 0 reaches the goal 1, action 1 fails to generate: the goal waits in the open list
  // (tested only when taken), so the error ends the run.
  ToySpace space({Row{1, 2}, Row{}, Row{}}, {1}, {Action{0}, Action{1}});
  space.failing_successors = {{0, 1}};
  const TableHeuristic h = table({{0, 1}, {1, 0}, {2, 0}});
  for_both_weighted([&](const std::string& name, auto search) {
    const RunOutcome r = observe([&] { return search(space, h, 1.0, false); }, {&h});
    EXPECT_EQ(r.error, kSuccessorFailed) << name;
    EXPECT_EQ(r.log.size(), 1u) << name;
  });
}

TEST(WeightedAStar, TimeoutIsTestedAfterTheRootIsTakenNotBefore) {
  const ToySpace space({Row{1}, Row{}}, {0}, {Action{0}});
  const TableHeuristic h = table({{0, 1}});
  for_both_weighted([&](const std::string& name, auto) {
    // A negative timeout is up at the first test, which follows the set-up (root evaluated).
    h.calls.clear();
    auto run = [&] {
      return name == "wastar_search" ? wastar_search(space, h, 1.0, -1.0f, false, false)
                                     : wastar_search_memory_bounded(space, h, 1.0, -1.0f, false, false);
    };
    start_log_capture();
    EXPECT_EQ(error_message_of(run), "Timeout") << name;
    EXPECT_EQ(h.calls, (std::vector<std::uint64_t>{0})) << name;
    EXPECT_EQ(captured_messages().size(), 1u) << name;
  });
}

TEST(WeightedAStar, ProgressLineEveryTenThousandExpansions) {
  const Chain chain = countdown_chain(10001);
  const ToySpace& space = chain.space;
  const TableHeuristic& h = chain.heuristic;
  for_both_weighted([&](const std::string& name, auto search) {
    start_log_capture();
    search(space, h, 1.0, false);
    ASSERT_EQ(captured_records().size(), 3u) << name;
    EXPECT_EQ(captured_records()[1].level, log::Level::Debug);
    EXPECT_EQ(captured_records()[1].message, name + ": expanded=10000 generated=10000 open=0");
  });
}

// ---------------------------------------------------------------- the pipeline itself

TEST(SuccessorPipeline, LazyDuplicatesUnevaluatedAndSkippedItemsProducedInFull) {
  // Root 0 with actions to 1, 2, 0 (the root again), 3.
  const ToySpace space({Row{1, 2, 0, 3}, Row{}, Row{}, Row{}}, {}, {Action{0}, Action{1}, Action{2}, Action{3}});
  const TableHeuristic h = table({{1, 1}, {2, 2}, {3, 3}});
  const SharedState root = std::make_shared<const State>(space.initial_state());
  DuplicateSet seen(DuplicateSet::Kind::States);
  seen.insert(root);
  auto pipeline = successor_pipeline(space, h, *root, TestAndInsertFilter{&seen});
  EXPECT_EQ(space.successor_calls, 0u);  // nothing ahead of the first request
  // Skipping two items makes, inserts and evaluates both.
  EXPECT_EQ(advance_sequence(pipeline, 2), 0u);
  EXPECT_EQ(h.calls, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(space.successor_calls, 2u);
  // The root's copy is dropped unevaluated on the way to node 3.
  std::optional<Evaluated<SharedState>> item = pipeline.next();
  ASSERT_TRUE(item);
  EXPECT_EQ(ToySpace::node_of(*item->state), 3u);
  EXPECT_EQ(h.calls, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_FALSE(pipeline.next());
}

// ---------------------------------------------------------------- temporal duplicate sets

TEST(WeightedAStar, TemporalTasksDetectDuplicatesOnlyUnderWeakEquality) {
  // A temporal toy task: 0 -a-> 1 -a-> 0 ...: without weak equality the cycle is walked again
  // (states with a network equal nothing), with it the root's copy is dropped.
  ToySpace space({Row{1}, Row{0}}, {}, {Action{0}});
  space.temporal = true;
  const TableHeuristic h = table({{0, 1}, {1, 1}});
  // Without duplicate detection the search never ends; a short timeout stops it.
  EXPECT_EQ(error_message_of([&] { wastar_search(space, h, 1.0, 0.05f, false, false); }), "Timeout");
  EXPECT_EQ(error_message_of([&] { wastar_search_memory_bounded(space, h, 1.0, 0.05f, false, false); }), "Timeout");
  EXPECT_EQ(wastar_search(space, h, 1.0, std::nullopt, false, true).statistics.at("expanded_states"), "2");
  EXPECT_EQ(wastar_search_memory_bounded(space, h, 1.0, std::nullopt, false, true).statistics.at("expanded_states"),
            "2");
}

// ---------------------------------------------------------------- enforced hill-climbing by hand

TEST(EnforcedHillClimbing, StopsThePipelineAtTheFirstImprovingSuccessor) {
  // Root successors 1 (h=2) and 2 (h=1): 1 is committed to and 2 is never generated.
  ToySpace space({Row{1, 2}, Row{3}, Row{}, Row{}}, {3}, {Action{0}, Action{1}});
  const TableHeuristic h = table({{0, 3}, {1, 2}, {2, 1}, {3, 0}});
  const RunOutcome r = observe([&] { return ehc_search(space, h, std::nullopt, false, false); }, {&h});
  EXPECT_EQ(r.calls[0], (std::vector<std::uint64_t>{0, 1, 3}));
  EXPECT_EQ(r.plan, (std::vector<std::uint64_t>{0, 0}));
  EXPECT_EQ(r.log, (std::vector<std::string>{
                       "ehc_search: timeout=None early_termination=false weak_equality=false",
                       "ehc_search: initial h=3.0000",
                       "ehc_search: improved h=2.0000 expanded=1 generated=2",
                       "ehc_search: improved h=0.0000 expanded=2 generated=3",
                       goal_found_line("ehc_search", 3, 2),
                   }));
}

TEST(EnforcedHillClimbing, DebugLinesAfterAPlateau) {
  // h=3 at the root and on a plateau; the improvement to 2 comes with the 9th generated state,
  // while the 5th state is expanded.
  //   0 → 1, 2; 1 → 3, 4; 2 → 5; 3 → 6; 4 → 7, 8 (h=2 at 8)
  const ToySpace space({Row{1, 2}, Row{3, 4}, Row{5, {}}, Row{6, {}}, Row{7, 8}, Row{}, Row{}, Row{}, Row{}}, {},
                       {Action{0}, Action{1}});
  std::map<std::uint64_t, double> values;
  for (std::uint64_t v = 0; v < 8; ++v) values[v] = 3;
  values[8] = 2;
  const TableHeuristic h = table(values);
  const RunOutcome r = observe([&] { return ehc_search(space, h, std::nullopt, false, false); }, {&h});
  ASSERT_GE(r.log.size(), 3u);
  EXPECT_EQ(r.log[1], "ehc_search: initial h=3.0000");
  EXPECT_EQ(r.log[2], "ehc_search: improved h=2.0000 expanded=5 generated=9");
}

TEST(EnforcedHillClimbing, NaNNeverImprovesAndEqualValuesAreQueued) {
  // A NaN root: no improvement ever; the run is one breadth-first search with duplicate
  // detection, so the goal behind a lower value is still found.
  const ToySpace space({Row{1, 2}, Row{0, 3}, Row{3}, Row{}}, {3}, {Action{0}, Action{1}});
  const TableHeuristic nan_root = table({{0, kNaN}, {1, 0}, {2, -5}, {3, 0}});
  const RunOutcome r = observe([&] { return ehc_search(space, nan_root, std::nullopt, false, false); }, {&nan_root});
  EXPECT_EQ(r.log[1], "ehc_search: initial h=NaN");
  EXPECT_EQ(r.log.size(), 3u);  // no improved line
  EXPECT_EQ(r.plan, (std::vector<std::uint64_t>{0, 1}));
  // The root's copy below node 1 is dropped as a duplicate of an expanded state; node 3, queued
  // from 1 and from 2 before either copy was expanded, is evaluated twice.
  EXPECT_EQ(r.calls[0], (std::vector<std::uint64_t>{0, 1, 2, 3, 3}));
}

TEST(EnforcedHillClimbing, EarlyTerminationReturnsAnImprovingGoalAtOnce) {
  const ToySpace space({Row{1}, Row{}}, {1}, {Action{0}});
  const TableHeuristic h = table({{0, 3}, {1, 0}});
  const RunOutcome early = observe([&] { return ehc_search(space, h, std::nullopt, true, false); }, {&h});
  EXPECT_EQ(early.statistics, (std::map<std::string, std::string>{{"expanded_states", "1"}, {"goal_depth", "1"}}));
  EXPECT_EQ(early.log.size(), 3u);  // start, initial, goal: the improvement is not reached
  const RunOutcome late = observe([&] { return ehc_search(space, h, std::nullopt, false, false); }, {&h});
  EXPECT_EQ(late.statistics.at("expanded_states"), "2");
  EXPECT_EQ(late.log[2], "ehc_search: improved h=0.0000 expanded=1 generated=2");
}

// ---------------------------------------------------------------- on the real search space

// A random classical task: Boolean fluents, actions whose precondition is a conjunction of
// literals and whose effects set fluents, a goal conjunction.
std::unique_ptr<SearchSpace> random_classical_task(std::mt19937_64& rng) {
  const std::uint64_t fluents = 3 + rng() % 5;
  const std::uint64_t actions = 2 + rng() % 6;
  auto literal_list = [&](std::size_t count) {
    NodeList out;
    std::vector<std::uint64_t> operands;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t f = rng() % fluents;
      const NodeList lit = rng() % 3 == 0 ? not_fluent(f) : fluent(f);
      for (const ExpressionNode& n : lit) {
        if (n.kind() == NodeKind::Not) {
          out.push_back(N::not_operator(out.size() - 1));
        } else {
          out.push_back(n);
        }
      }
      operands.push_back(out.size() - 1);
    }
    if (operands.empty()) return truth();
    out.push_back(N::list_operator(NodeKind::And, operands));
    return out;
  };
  Task t;
  t.action_count = actions;
  for (std::uint64_t a = 0; a < actions; ++a) {
    std::vector<Effect> effects;
    const std::size_t k = 1 + rng() % 3;
    for (std::size_t i = 0; i < k; ++i) effects.push_back(set(rng() % fluents, boolean(rng() % 2 == 0)));
    t.add(a, {{at_start(), event(a, 0, literal_list(rng() % 3), effects)}});
  }
  NodeList initial;
  for (std::uint64_t f = 0; f < fluents; ++f) initial.push_back(N::boolean(rng() % 2 == 0));
  t.initial = initial;
  t.goal = literal_list(1 + rng() % 3);
  std::vector<Action> order;
  for (std::uint64_t a = 0; a < actions; ++a) order.push_back(Action{a});
  std::shuffle(order.begin(), order.end(), rng);
  t.relevant = order;
  return t.build();
}

// A heuristic over the real space: a seeded function of the state's values (now and then a
// dead end), recording the values of every state it is asked about.
struct ValuesHeuristic {
  std::uint64_t salt;
  mutable std::vector<std::vector<bool>> calls;
  HeuristicValue eval(const State& state, const SearchSpace&) const {
    std::vector<bool> values;
    for (std::size_t i = 0; i < state.values.size(); ++i) values.push_back(state.values[i].flag());
    calls.push_back(values);
    const std::uint64_t mixed = (state.values.hash() ^ salt) * 0x9e3779b97f4a7c15ULL;
    if ((mixed >> 60) == 0) return std::nullopt;
    return static_cast<double>((mixed >> 32) % 5);
  }
};
static_assert(HeuristicTrait<ValuesHeuristic, SearchSpace>);

TEST(MemoryBoundedSearch, BelowItsBoundsExpandsLikeWeightedAStarOnRealTasks) {
  std::mt19937_64 rng(20261213);
  for (int round = 0; round < 150; ++round) {
    const std::unique_ptr<SearchSpace> space = random_classical_task(rng);
    const ValuesHeuristic h{rng(), {}};
    for (double w : {1.0, 0.5}) {
      for (bool early : {false, true}) {
        h.calls.clear();
        const SearchResult a = wastar_search(*space, h, w, std::nullopt, early, false);
        const std::vector<std::vector<bool>> calls_a = h.calls;
        h.calls.clear();
        const SearchResult b = wastar_search_memory_bounded(*space, h, w, std::nullopt, early, false);
        const std::string where = "round " + std::to_string(round) + " w=" + format_f64(w);
        EXPECT_EQ(a.plan, b.plan) << where;
        EXPECT_EQ(a.statistics, b.statistics) << where;
        EXPECT_EQ(calls_a, h.calls) << where;
        if (a.plan) {
          // The plan reaches a goal when replayed.
          std::optional<State> s(space->initial_state());
          for (Action action : *a.plan) {
            std::optional<State> next = space->get_successor_state(*s, action);
            ASSERT_TRUE(next) << where;
            s.reset();
            s.emplace(std::move(*next));
          }
          EXPECT_TRUE(space->goal_reached(*s)) << where;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quendral::testing
