// Evaluation of the delete-relaxation heuristics: the worked examples, constant conditions,
// linear conditions in both variants, errors, the value cache, reachable actions, a literal
// model compared on seeded random classical, numeric and temporal tasks, the textbook h^max and
// h^add on the real tasks of the shared benchmark set, and allocation-free steady state.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/core/errors.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"
#include "bench/random_walk.hpp"
#include "bench/sas_task.hpp"
#include "tests/cpp/relaxation_eval_model.hpp"
#include "tests/cpp/relaxation_model.hpp"
#include "tests/support/heap_counts.hpp"

namespace quendral::testing {

namespace {

using namespace model;
using N = ExpressionNode;
using Value = std::optional<double>;

constexpr RelaxationMode kModes[] = {RelaxationMode::Hff, RelaxationMode::Hadd, RelaxationMode::Hmax};

// One action's events, numbered by position.
struct ActionSpec {
  std::uint64_t action;
  std::vector<std::pair<Tree, std::vector<Effect>>> events;
};

struct TaskSpec {
  FluentTypes types;
  std::vector<ActionSpec> actions;
  Tree goal;
};

EventsTable table_of(const TaskSpec& task) {
  EventsTable events;
  for (const ActionSpec& spec : task.actions) {
    std::vector<TimedEvent> timed;
    for (std::size_t j = 0; j < spec.events.size(); ++j) {
      timed.emplace_back(Timing{j == 0, Rational()}, event(spec.action, j, spec.events[j].first, spec.events[j].second));
    }
    events.insert_or_assign(Action{spec.action}, std::move(timed));
  }
  return events;
}

DeleteRelaxationHeuristic build(const TaskSpec& task, RelaxationMode mode, bool internal_caching = false,
                                bool inadmissible = false, bool disable = false) {
  std::vector<Action> actions;
  for (const ActionSpec& spec : task.actions) actions.push_back(Action{spec.action});
  return DeleteRelaxationHeuristic(actions, task.types, {}, table_of(task), nodes_of(task.goal),
                                   DeleteRelaxationSettings{internal_caching, inadmissible, disable, mode});
}

// ---------------------------------------------------------------- worked examples

struct Case {
  std::string name;
  TaskSpec task;
  NodeList values;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
  Value hff, hadd, hmax;
};

std::vector<Case> worked_cases() {
  // Fluents 0..2 Boolean (p, q, r).
  const FluentTypes bools = {"bool", "bool", "bool"};
  const NodeList none_true = values_of({B(false), B(false), B(false)});
  std::vector<Case> cases;
  cases.push_back({"GoalHoldsAndNothingRuns",
                   {bools, {{0, {{B(true), {effect(0, B(true))}}}}}, And({F(0), Not(F(1))})},
                   values_of({B(true), B(false), B(false)}), {}, 0.0, 0.0, 0.0});
  cases.push_back({"TwoIndependentGoals",
                   {bools, {{0, {{Not(F(2)), {effect(0, B(true))}}}}, {1, {{Not(F(2)), {effect(1, B(true))}}}}},
                    And({F(0), F(1)})},
                   none_true, {}, 2.0, 2.0, 1.0});
  cases.push_back({"TwoEventsInARow",
                   {bools, {{0, {{B(true), {}}, {B(true), {effect(0, B(true))}}}}}, F(0)},
                   none_true, {}, 2.0, 2.0, 2.0});
  // A (two events) has applied its start; B (three events) is at its second event.
  cases.push_back({"GoalHoldsWhileActionsRun",
                   {bools, {{0, {{B(true), {}}, {B(true), {}}}}, {1, {{B(true), {}}, {B(true), {}}, {B(true), {}}}}},
                    F(0)},
                   values_of({B(true), B(false), B(false)}), {{0, 1}, {1, 1}}, 3.0, 3.0, 2.0});
  // The running action is also what the relaxed plan needs: it is not counted twice.
  cases.push_back({"RunningActionInThePlanCountsOnce",
                   {bools, {{0, {{B(true), {}}, {B(true), {}}, {B(true), {effect(0, B(true))}}}}}, F(0)},
                   none_true, {{0, 1}}, 2.0, 4.0, 2.0});
  cases.push_back({"UnreachableGoal", {bools, {{0, {{B(true), {effect(1, B(true))}}}}}, F(0)}, none_true, {},
                   std::nullopt, std::nullopt, std::nullopt});
  // The constant true is reached in every state, the constant false in none.
  cases.push_back({"ConstantTrueGoal", {bools, {}, B(true)}, none_true, {}, 0.0, 0.0, 0.0});
  cases.push_back({"ConstantFalseGoal", {bools, {}, B(false)}, none_true, {}, std::nullopt, std::nullopt, std::nullopt});
  cases.push_back({"ConstantTrueInADisjunction", {bools, {}, Or({F(0), B(true)})}, none_true, {}, 0.0, 0.0, 0.0});
  cases.push_back({"ConstantFalseInADisjunction",
                   {bools, {{0, {{B(true), {effect(0, B(true))}}}}}, Or({B(false), F(0)})}, none_true, {}, 1.0, 1.0,
                   1.0});
  // p is offered at 3 by both action 0 (needs q and r, both from action 3) and action 1's last
  // event: the larger operator id, action 1's, achieves p, so hff counts action 1's three events
  // (action 0 would have given 1 + 1).
  cases.push_back({"EqualOffersGoToTheLargerOperator",
                   {bools,
                    {{0, {{And({F(1), F(2)}), {effect(0, B(true))}}}},
                     {1, {{B(true), {}}, {B(true), {}}, {B(true), {effect(0, B(true))}}}},
                     {3, {{B(true), {effect(1, B(true)), effect(2, B(true))}}}}},
                    F(0)},
                   none_true, {}, 3.0, 3.0, 2.0});
  // Fluent 0 is x = 4; goal x >= 10; one action adds 3: k = 2.
  cases.push_back({"LinearConditionByIncreases",
                   {{"int"}, {{0, {{B(true), {effect(0, Plus(F(0), I(3)))}}}}}, Le(I(10), F(0))},
                   values_of({I(4)}), {}, 1.0, 2.0, 2.0});
  // The same with x := 7: admissible, one application suffices.
  cases.push_back({"LinearConditionByAssignment",
                   {{"int"}, {{0, {{B(true), {effect(0, I(7))}}}}}, Le(I(10), F(0))}, values_of({I(4)}), {}, 1.0,
                   1.0, 1.0});
  // A complex condition false in the state costs 1 and has no achiever: hff counts it as one
  // step, so hff is 0 only where the goal costs nothing.
  cases.push_back({"FalseComplexGoal", {{"int", "int"}, {}, Eq(Times(F(0), F(1)), I(6))}, values_of({I(1), I(1)}), {},
                   1.0, 1.0, 1.0});
  cases.push_back({"TrueComplexGoal", {{"int", "int"}, {}, Eq(Times(F(0), F(1)), I(6))}, values_of({I(2), I(3)}), {},
                   0.0, 0.0, 0.0});
  return cases;
}

TEST(RelaxationEval, WorkedExamples) {
  for (const Case& c : worked_cases()) {
    SCOPED_TRACE(c.name);
    const State state = make_state(c.values, c.running);
    const Value expected[] = {c.hff, c.hadd, c.hmax};
    for (std::size_t m = 0; m < 3; ++m) {
      SCOPED_TRACE(static_cast<int>(m));
      const DeleteRelaxationHeuristic h = build(c.task, kModes[m]);
      EXPECT_EQ(h.eval(state), expected[m]);
      EXPECT_EQ(h.eval(state), relaxation_model(h, state).value);
    }
  }
}

TEST(RelaxationEval, InadmissibleVariantCountsAssignmentsAsUnitSteps) {
  // x = 4, goal x >= 10, x := 7: Δ = −1 per application, k = ⌈6 / 1⌉.
  const TaskSpec task{{"int"}, {{0, {{B(true), {effect(0, I(7))}}}}}, Le(I(10), F(0))};
  const State state = make_state(values_of({I(4)}));
  EXPECT_EQ(build(task, RelaxationMode::Hadd, false, true).eval(state), 6.0);
  EXPECT_EQ(build(task, RelaxationMode::Hmax, false, true).eval(state), 6.0);
  EXPECT_EQ(build(task, RelaxationMode::Hadd, false, false).eval(state), 1.0);
}

TEST(RelaxationEval, ErrorsOfTheStateAreRaisedAndNotCached) {
  // A linear condition over a fluent holding an object; a complex condition dividing by zero.
  const TaskSpec linear{{"int"}, {{0, {{B(true), {effect(0, Plus(F(0), I(1)))}}}}}, Le(I(10), F(0))};
  const TaskSpec complex{{"int", "int"}, {}, Eq(Times(F(0), F(1)), Div(I(1), F(1)))};
  const State object_state = make_state(values_of({O("a")}));
  const State zero_state = make_state(values_of({I(1), I(0)}));
  for (const bool caching : {false, true}) {
    const DeleteRelaxationHeuristic h = build(linear, RelaxationMode::Hadd, caching);
    for (int round = 0; round < 2; ++round) {
      try {
        h.eval(object_state);
        ADD_FAILURE() << "no error";
      } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ValueError);
        EXPECT_EQ(e.message(), "Expected a number!");
      }
    }
    if (caching) {
      EXPECT_TRUE(h.value_cache->map->empty());
    }
    const DeleteRelaxationHeuristic g = build(complex, RelaxationMode::Hff, caching);
    try {
      g.eval(zero_state);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::ZeroDivisionError);
    }
  }
}

TEST(RelaxationEval, ValueCacheKeysOnValuesAndNextEvents) {
  const TaskSpec task{{"bool"}, {{0, {{B(true), {}}, {B(true), {effect(0, B(true))}}}}, {1, {{F(0), {}}}}}, F(0)};
  const DeleteRelaxationHeuristic h = build(task, RelaxationMode::Hff, true);
  const DeleteRelaxationHeuristic copy = h;
  EXPECT_EQ(copy.value_cache, h.value_cache);
  EXPECT_EQ(copy.expression_manager, h.expression_manager);
  const NodeList idle = values_of({B(false)});
  EXPECT_EQ(h.eval(make_state(idle)), 2.0);
  EXPECT_EQ(copy.eval(make_state(idle)), 2.0);  // shared entry
  EXPECT_EQ(h.value_cache->map->size(), 1u);
  State other_instance = make_state(idle, {{0, 1}});
  EXPECT_EQ(h.eval(other_instance), 1.0);
  other_instance.g = 7;
  EXPECT_EQ(copy.eval(other_instance), 1.0);
  EXPECT_EQ(h.value_cache->map->size(), 2u);
  // A dead end is stored too.
  const TaskSpec stuck{{"bool", "bool"}, {{0, {{F(1), {effect(0, B(true))}}}}}, F(0)};
  const DeleteRelaxationHeuristic d = build(stuck, RelaxationMode::Hff, true);
  EXPECT_EQ(d.eval(make_state(values_of({B(false), B(false)}))), std::nullopt);
  ASSERT_EQ(d.value_cache->map->size(), 1u);
  EXPECT_EQ(d.value_cache->map->begin()->second, std::nullopt);
  // Without internal caching nothing is kept.
  EXPECT_FALSE(build(task, RelaxationMode::Hadd, false).value_cache->map.has_value());
}

TEST(RelaxationEval, ReachableActionsNeedEveryEvent) {
  // Action 1's second event needs q, which nothing achieves; action 2 needs p, which action 0 adds.
  const TaskSpec task{{"bool", "bool"},
                      {{0, {{B(true), {effect(0, B(true))}}}},
                       {1, {{B(true), {}}, {F(1), {}}}},
                       {2, {{F(0), {}}}}},
                      F(0)};
  const DeleteRelaxationHeuristic h = build(task, RelaxationMode::Hff);
  EXPECT_EQ(h.reachable_actions(make_state(values_of({B(false), B(false)}))), (std::vector<Action>{Action{0}, Action{2}}));
  EXPECT_EQ(h.reachable_actions(make_state(values_of({B(false), B(true)}))),
            (std::vector<Action>{Action{0}, Action{1}, Action{2}}));
}

// ---------------------------------------------------------------- the model on random tasks

enum class TaskKind { Classical, Numeric, Temporal };

// Fluents 0-3 Boolean, 4-5 integer. Conditions and effects drawn per kind; running actions
// drawn for temporal tasks.
struct RandomTasks : Draws {
  TaskKind kind;
  bool disjunctions = false;  // conditions may hold a disjunction of two literals

  Tree literal() {
    if (disjunctions && chance(20)) return Or({literal(), literal()});
    if (kind != TaskKind::Classical && chance(45)) {
      const std::uint64_t x = 4 + static_cast<std::uint64_t>(below(2));
      const std::int64_t c = below(12) - 2;
      switch (below(6)) {
        case 0: return Le(F(static_cast<std::int64_t>(x)), I(c));
        case 1: return Le(I(c), F(static_cast<std::int64_t>(x)));
        case 2: return Lt(I(c), F(static_cast<std::int64_t>(x)));
        case 3: return Le(I(c), Plus(F(4), F(5)));
        case 4: return Eq(Times(F(4), F(5)), I(c));
        default: return Eq(F(static_cast<std::int64_t>(x)), I(c));
      }
    }
    const Tree f = F(below(4));
    return chance(50) ? f : Not(f);
  }
  Tree condition(int max_items) {
    return conjunction(max_items, [this] { return literal(); });
  }
  std::vector<Effect> effects() {
    std::vector<Effect> out;
    for (std::uint64_t f = 0; f < 4; ++f) {
      if (chance(30)) out.push_back(effect(f, B(chance(70))));
    }
    if (kind != TaskKind::Classical) {
      for (std::uint64_t x = 4; x < 6; ++x) {
        if (!chance(45)) continue;
        const auto fx = static_cast<std::int64_t>(x);
        switch (below(3)) {
          case 0: out.push_back(effect(x, Plus(F(fx), I(below(6) - 2)))); break;
          case 1: out.push_back(effect(x, I(below(10)))); break;
          default: out.push_back(effect(x, Plus(F(9 - fx), I(1)))); break;
        }
      }
    }
    return out;
  }
  TaskSpec task() {
    TaskSpec t{{"bool", "bool", "bool", "bool", "int", "int"}, {}, B(true)};
    const int actions = 2 + below(4);
    for (int a = 0; a < actions; ++a) {
      ActionSpec spec{static_cast<std::uint64_t>(a), {}};
      const int events = kind == TaskKind::Temporal ? 1 + below(3) : 1;
      for (int j = 0; j < events; ++j) spec.events.emplace_back(condition(2), effects());
      t.actions.push_back(std::move(spec));
    }
    t.goal = condition(3);
    if (t.goal.kind == NodeKind::Bool) t.goal = literal();
    return t;
  }
  State state(const TaskSpec& t) {
    NodeList values;
    for (int f = 0; f < 4; ++f) values.push_back(N::boolean(chance(40)));
    for (int x = 0; x < 2; ++x) values.push_back(N::integer(below(9) - 1));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
    if (kind == TaskKind::Temporal) {
      for (const ActionSpec& spec : t.actions) {
        if (spec.events.size() > 1 && chance(40)) {
          running.emplace_back(spec.action, 1 + static_cast<std::uint64_t>(below(static_cast<int>(spec.events.size()) - 1)));
        }
      }
    }
    return make_state(values, running);
  }
};

// A seeded random task with its variant flags and four states of it.
struct RandomCase {
  TaskSpec task;
  bool inadmissible = false, disable = false;
  std::vector<State> states;
};

RandomCase random_case(TaskKind kind, std::uint64_t seed, bool disjunctions = false) {
  RandomTasks gen{{std::mt19937_64(seed)}, kind, disjunctions};
  RandomCase c{gen.task(), false, false, {}};
  c.inadmissible = gen.chance(50);
  c.disable = gen.chance(20);
  for (int i = 0; i < 4; ++i) c.states.push_back(gen.state(c.task));
  return c;
}

TEST(RelaxationEval, AgreesWithTheModelOnRandomTasks) {
  for (const TaskKind kind : {TaskKind::Classical, TaskKind::Numeric, TaskKind::Temporal}) {
    for (std::uint64_t seed = 0; seed < 150; ++seed) {
      const auto [task, inadmissible, disable, states] = random_case(kind, seed * 3 + static_cast<std::uint64_t>(kind));
      for (const RelaxationMode mode : kModes) {
        SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(kind) << " seed " << seed << " mode "
                                          << static_cast<int>(mode) << " inadmissible " << inadmissible << " disable "
                                          << disable);
        const DeleteRelaxationHeuristic h = build(task, mode, false, inadmissible, disable);
        for (const State& state : states) {
          const RelaxationOutcome expected = relaxation_model(h, state);
          EXPECT_EQ(h.eval(state), expected.value);
          const auto reached = h._eval(state, true);
          EXPECT_FALSE(reached.first.has_value());
          EXPECT_EQ(*reached.second, expected.reached);
        }
      }
    }
  }
}

// The cost-ordered exploration against the layered one (the reference) on one state: the value
// and the operators reached, in every mode.
void expect_explorations_agree(const DeleteRelaxationHeuristic& h, const State& state) {
  DeleteRelaxationHeuristic layered = h;
  layered.explore_by_cost = false;
  EXPECT_EQ(h.eval(state), layered.eval(state));
  EXPECT_EQ(h._eval(state, true).second, layered._eval(state, true).second);
}

TEST(RelaxationEval, CostOrderedExplorationAgreesWithTheLayers) {
  int by_cost = 0;
  for (const TaskKind kind : {TaskKind::Classical, TaskKind::Numeric, TaskKind::Temporal}) {
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
      const auto [task, inadmissible, disable, states] =
          random_case(kind, seed * 7 + 1000 + static_cast<std::uint64_t>(kind));
      for (const RelaxationMode mode : kModes) {
        SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(kind) << " seed " << seed << " mode "
                                          << static_cast<int>(mode));
        const DeleteRelaxationHeuristic h = build(task, mode, false, inadmissible, disable);
        by_cost += h.explore_by_cost ? 1 : 0;
        for (const State& state : states) expect_explorations_agree(h, state);
      }
    }
  }
  EXPECT_GT(by_cost, 1000);  // the classical and temporal tasks take the cost order
}

// Disjunctions in the preconditions and the goal: the idle facts are then read by the cost
// order (through the costs of the disjunctive conditions), the model and the layers agree.
TEST(RelaxationEval, DisjunctiveConditionsAgreeWithTheModelAndTheLayers) {
  for (const TaskKind kind : {TaskKind::Classical, TaskKind::Temporal}) {
    for (std::uint64_t seed = 0; seed < 150; ++seed) {
      const auto [task, inadmissible, disable, states] =
          random_case(kind, seed * 5 + 7000 + static_cast<std::uint64_t>(kind), true);
      for (const RelaxationMode mode : kModes) {
        SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(kind) << " seed " << seed << " mode "
                                          << static_cast<int>(mode));
        const DeleteRelaxationHeuristic h = build(task, mode, false, inadmissible, disable);
        for (const State& state : states) {
          const RelaxationOutcome expected = relaxation_model(h, state);
          EXPECT_EQ(h.eval(state), expected.value);
          EXPECT_EQ(*h._eval(state, true).second, expected.reached);
          expect_explorations_agree(h, state);
        }
      }
    }
  }
}

// h-add doubles along a chain where both facts of a level need both of the level below: the
// goal's cost, 2^22 - 1, is beyond the buckets of the cost order, which hands over to the layers.
TEST(RelaxationEval, CostsBeyondTheBucketsFallBackToTheLayers) {
  constexpr std::int64_t levels = 22;
  TaskSpec task{FluentTypes(2 * (levels + 1), "bool"), {}, F(2 * levels)};
  for (std::int64_t i = 0; i < levels; ++i) {
    for (std::int64_t which = 0; which < 2; ++which) {
      task.actions.push_back({static_cast<std::uint64_t>(2 * i + which),
                              {{And({F(2 * i), F(2 * i + 1)}), {effect(static_cast<std::uint64_t>(2 * i + 2 + which), B(true))}}}});
    }
  }
  NodeList values(2 * (levels + 1), N::boolean(false));
  values[0] = values[1] = N::boolean(true);
  const State state = make_state(values);
  // hff: both actions of every level below the top, and the one reaching the goal.
  const Value expected[] = {static_cast<double>(2 * levels - 1), static_cast<double>((1 << levels) - 1), static_cast<double>(levels)};
  for (const RelaxationMode mode : kModes) {
    SCOPED_TRACE(::testing::Message() << "mode " << static_cast<int>(mode));
    const DeleteRelaxationHeuristic h = build(task, mode);
    ASSERT_TRUE(h.explore_by_cost);
    EXPECT_EQ(h.eval(state), expected[static_cast<int>(mode)]);
    expect_explorations_agree(h, state);
  }
}

// ---------------------------------------------------------------- the real tasks

// Textbook h^max and h^add of a grounded task's initial state, every operator of cost 1,
// computed over (fluent, value) facts read back from the reader's conditions and effects.
struct TextbookTask {
  using Fact = std::pair<std::uint64_t, std::string>;
  struct Op {
    std::vector<Fact> pre, add;
  };
  std::vector<Op> ops;
  std::vector<Fact> init, goal;

  static std::vector<Fact> facts_of(const NodeList& nodes) {
    std::vector<Fact> out;
    for (const ExpressionNode& node : nodes) {
      if (node.kind() != NodeKind::Equals) continue;
      const ExpressionNode& left = nodes[node.left_operand()];
      const ExpressionNode& right = nodes[node.right_operand()];
      out.emplace_back(left.fluent_index(), std::string(right.object_name()));
    }
    return out;
  }

  explicit TextbookTask(const bench::SasTask& task) {
    for (const auto& [action, timed] : task.events) {
      Op op{facts_of(timed.at(0).second.conditions), {}};
      for (const Effect& e : timed.at(0).second.effects) op.add.emplace_back(e.fluent, std::string(e.value.at(0).object_name()));
      ops.push_back(std::move(op));
    }
    for (std::uint64_t i = 0; i < task.initial_state.size(); ++i) {
      init.emplace_back(i, std::string(task.initial_state[i].object_name()));
    }
    goal = facts_of(task.goal);
  }

  std::optional<double> value(bool hmax) const {
    std::map<Fact, double> cost;
    for (const Fact& f : init) cost[f] = 0.0;
    const auto combine = [&](const std::vector<Fact>& facts) -> std::optional<double> {
      double total = 0.0;
      for (const Fact& f : facts) {
        const auto it = cost.find(f);
        if (it == cost.end()) return std::nullopt;
        total = hmax ? std::max(total, it->second) : total + it->second;
      }
      return total;
    };
    for (bool changed = true; changed;) {
      changed = false;
      for (const Op& op : ops) {
        const std::optional<double> c = combine(op.pre);
        if (!c) continue;
        for (const Fact& f : op.add) {
          const auto it = cost.find(f);
          if (it == cost.end() || *c + 1.0 < it->second) {
            cost[f] = *c + 1.0;
            changed = true;
          }
        }
      }
    }
    return combine(goal);
  }
};

TEST(RelaxationEval, RealTasksMatchTheTextbookValues) {
  const auto files = bench::classical_task_files();
  if (files.empty()) GTEST_SKIP() << "the shared benchmark tasks are not beside the repository";
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const bench::SasTask task = bench::load_sas_task(file);
    const TextbookTask textbook(task);
    const State root = make_state(task.initial_state);
    for (const RelaxationMode mode : {RelaxationMode::Hadd, RelaxationMode::Hmax}) {
      const DeleteRelaxationHeuristic h(task.actions, task.fluent_types, task.objects,
                                        task.events, task.goal, DeleteRelaxationSettings{false, false, false, mode});
      EXPECT_EQ(h.eval(root), textbook.value(mode == RelaxationMode::Hmax));
    }
  }
}

// The states of a seeded random walk of `steps` steps through a real task.
std::vector<std::shared_ptr<const State>> walk(const bench::SasTask& task, std::uint64_t seed, std::size_t steps) {
  const SearchSpace space(std::vector<std::optional<DurationBounds>>(task.actions.size()), task.events, task.actions,
                          std::nullopt, std::nullopt, std::nullopt, task.initial_state, task.goal);
  return bench::random_walk(space, seed, steps);
}

TEST(RelaxationEval, CostOrderedExplorationAgreesWithTheLayersOnRealTasks) {
  const auto files = bench::classical_task_files();
  if (files.empty()) GTEST_SKIP() << "the shared benchmark tasks are not beside the repository";
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const bench::SasTask task = bench::load_sas_task(file);
    const auto states = walk(task, 3, 25);
    for (const RelaxationMode mode : kModes) {
      const DeleteRelaxationHeuristic h(task.actions, task.fluent_types, task.objects,
                                        task.events, task.goal, DeleteRelaxationSettings{false, false, false, mode});
      EXPECT_TRUE(h.explore_by_cost);
      for (const auto& state : states) expect_explorations_agree(h, *state);
    }
  }
}

TEST(RelaxationEval, SteadyStateEvaluationsAllocateNothing) {
  const auto files = bench::classical_task_files();
  if (files.empty()) GTEST_SKIP() << "the shared benchmark tasks are not beside the repository";
  const bench::SasTask task = bench::load_sas_task(files.front());
  const auto states = walk(task, 7, 60);
  for (const RelaxationMode mode : kModes) {
    const DeleteRelaxationHeuristic h(task.actions, task.fluent_types, task.objects,
                                      task.events, task.goal, DeleteRelaxationSettings{false, false, false, mode});
    std::vector<Value> first, second(states.size());
    for (const auto& state : states) first.push_back(h.eval(*state));
    const std::uint64_t before = heap_counts().allocations;
    for (std::size_t i = 0; i < states.size(); ++i) second[i] = h.eval(*states[i]);
    EXPECT_EQ(heap_counts().allocations, before) << "mode " << static_cast<int>(mode);
    EXPECT_EQ(second, first);
  }
}

}  // namespace

}  // namespace quendral::testing
