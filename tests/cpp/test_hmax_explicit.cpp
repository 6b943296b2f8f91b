// The explicit-value h-max heuristic: construction (stage fluents, constant conditions), the
// worked examples, the bounded exploration, the value cache and its key, and a naive model
// (every operator re-tested and every effect re-evaluated in every layer, no memo) compared on
// seeded random classical and temporal tasks.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/heuristics/hmax_explicit.hpp"
#include "tests/cpp/relaxation_model.hpp"

namespace quendral::testing {

namespace {

using namespace model;
using N = ExpressionNode;
using Value = std::optional<double>;

struct EventSpec {
  Tree condition;
  std::vector<Effect> effects;
  std::vector<Tree> end_conditions = {};
};

using TableSpec = std::vector<std::pair<std::uint64_t, std::vector<EventSpec>>>;

EventsTable table(const TableSpec& spec) {
  EventsTable events;
  for (const auto& [action, list] : spec) {
    std::vector<TimedEvent> timed;
    for (std::size_t j = 0; j < list.size(); ++j) {
      Event e;
      e.action = Action{action};
      e.pos = j;
      e.conditions = nodes_of(list[j].condition);
      for (const Tree& c : list[j].end_conditions) e.end_conditions.push_back(nodes_of(c));
      e.effects = list[j].effects;
      timed.emplace_back(Timing{j == 0, Rational()}, std::move(e));
    }
    events.insert_or_assign(Action{action}, std::move(timed));
  }
  return events;
}

std::vector<Action> actions_of(const TableSpec& spec) {
  std::vector<Action> out;
  for (const auto& entry : spec) out.push_back(Action{entry.first});
  return out;
}

HMaxExplicit build(std::size_t fluents, const TableSpec& spec, const Tree& goal, bool caching = false) {
  return HMaxExplicit(actions_of(spec), FluentTypes(fluents, "int"), table(spec), nodes_of(goal), caching);
}

std::vector<std::string> texts(const std::vector<NodeList>& lists) {
  std::vector<std::string> out;
  for (const NodeList& l : lists) out.push_back(node_list_repr(l));
  return out;
}

std::string t(const Tree& tree) { return node_list_repr(nodes_of(tree)); }

// ---------------------------------------------------------------- the naive model

void all_values(const NodeList& expression, const std::vector<std::vector<ExpressionNode>>& sets,
                std::vector<ExpressionNode>& out) {
  std::vector<std::uint64_t> fluents;
  for (const ExpressionNode& node : expression) {
    if (node.kind() == NodeKind::Fluent) fluents.push_back(node.fluent_index());
  }
  std::vector<const ExpressionNode*> chosen(fluents.size());
  const auto recurse = [&](auto& self, std::size_t j) -> void {
    if (j == fluents.size()) {
      FluentAssignments a;
      for (std::size_t i = 0; i < fluents.size(); ++i) a.assignments.insert_or_assign(fluents[i], chosen[i]);
      out.push_back(internal_evaluate(expression, a));
      return;
    }
    for (const ExpressionNode& v : sets[fluents[j]]) {
      chosen[j] = &v;
      self(self, j + 1);
    }
  };
  recurse(recurse, 0);
}

bool all_possible(const std::vector<NodeList>& conditions, const std::vector<std::vector<ExpressionNode>>& sets) {
  for (const NodeList& c : conditions) {
    std::vector<ExpressionNode> values;
    all_values(c, sets, values);
    if (std::none_of(values.begin(), values.end(), [](const ExpressionNode& v) { return v.is_bool(true); })) return false;
  }
  return true;
}

Value explicit_model(const HMaxExplicit& h, const State& state) {
  std::vector<std::vector<ExpressionNode>> sets(h.num_fluents);
  for (std::uint64_t i = 0; i < state.values.size(); ++i) sets[i] = {state.values[i]};
  for (const auto& [action, stages] : h.stage_fluents) {
    const TodoEntry* running = state.todo.find(action);
    const std::uint64_t p = running ? running->pos : stages.size();
    for (std::uint64_t j = 0; j < stages.size(); ++j) sets[stages[j][0].fluent_index()] = {N::boolean(j + 1 == p)};
  }
  if (h.num_fluents == 0) return std::nullopt;
  for (std::uint32_t layer = 0;; ++layer) {
    if (all_possible(h.goals, sets)) return layer;
    if (layer == h.max_layers) return layer;
    std::vector<std::vector<ExpressionNode>> added(h.num_fluents);
    for (const OperatorHmax& op : h.operators) {
      if (!all_possible(op.conditions, sets)) continue;
      for (const Effect& e : op.effects) all_values(e.value, sets, added[e.fluent]);
    }
    bool grew = false;
    for (std::uint64_t f = 0; f < h.num_fluents; ++f) {
      for (const ExpressionNode& v : added[f]) {
        if (std::find(sets[f].begin(), sets[f].end(), v) == sets[f].end()) {
          sets[f].push_back(v);
          grew = true;
        }
      }
    }
    if (!grew) return std::nullopt;
  }
}

// ---------------------------------------------------------------- construction

TEST(HMaxExplicit, StageFluentsFollowTheEventsTable) {
  // Three task fluents; A = action 4 (two events), then B = action 1 (one event).
  const HMaxExplicit h = build(3, {{4, {{B(true), {}}, {B(true), {}}}}, {1, {{F(0), {effect(0, I(1))}}}}}, F(2));
  EXPECT_EQ(h.num_fluents, 6u);
  ASSERT_EQ(h.operators.size(), 3u);
  EXPECT_EQ(texts(h.operators[0].conditions), std::vector<std::string>{t(F(4))});
  EXPECT_EQ(texts(h.operators[1].conditions), std::vector<std::string>{t(F(3))});
  EXPECT_EQ(texts(h.operators[2].conditions), (std::vector<std::string>{t(F(5)), t(F(0))}));
  EXPECT_EQ(h.operators[2].effects.size(), 2u);
  EXPECT_EQ(h.operators[2].effects[0].fluent, 5u);
  EXPECT_EQ(texts(h.goals), (std::vector<std::string>{t(F(2)), t(F(4)), t(F(5))}));
  EXPECT_EQ(h.goal_ids.size(), 3u);
  EXPECT_EQ(texts(*h.stage_fluents.find(Action{4})), (std::vector<std::string>{t(F(3)), t(F(4))}));
  EXPECT_EQ(h.key_actions, (std::vector<Action>{Action{4}, Action{1}, Action{4}, Action{1}}));
  // An action listed without events can never start: no stage fluents, no goal of being idle.
  const HMaxExplicit empty = build(1, {{0, {}}, {1, {{B(true), {}}}}}, F(0));
  EXPECT_EQ(empty.num_fluents, 2u);
  EXPECT_FALSE(empty.stage_fluents.contains(Action{0}));
  EXPECT_EQ(texts(empty.goals), (std::vector<std::string>{t(F(0)), t(F(1))}));
}

TEST(HMaxExplicit, ConstantConditions) {
  // Event 0 of action 0 has the conjunct false: no operator; event 1 still gets one. Action 1's
  // condition is the constant true: only its stage condition stays.
  const HMaxExplicit h = build(2, {{0, {{And({F(0), B(false)}), {}}, {B(true), {effect(1, I(1))}}}}, {1, {{B(true), {}}}}},
                               Eq(F(1), I(1)));
  ASSERT_EQ(h.operators.size(), 2u);
  EXPECT_EQ(h.operators[0].action, Action{0});
  EXPECT_EQ(texts(h.operators[0].conditions), std::vector<std::string>{t(F(2))});
  EXPECT_EQ(texts(h.operators[1].conditions), std::vector<std::string>{t(F(4))});
  // Action 0 can never pass its first event, so fluent 1 never becomes 1.
  EXPECT_EQ(h.eval(make_state(values_of({I(0), I(0)}))), std::nullopt);
  // Two operators with equal conditions share one memo entry, and ids follow node lists.
  const HMaxExplicit shared = build(1, {{0, {{F(0), {}}}}, {1, {{F(0), {}}}}}, F(0));
  EXPECT_EQ(shared.operators[0].condition_ids[1], shared.operators[1].condition_ids[1]);
  EXPECT_EQ(shared.goal_ids[0], shared.operators[0].condition_ids[1]);
}

// ---------------------------------------------------------------- values

TEST(HMaxExplicit, WorkedExamples) {
  struct Case {
    std::string name;
    std::size_t fluents;
    TableSpec spec;
    Tree goal;
    NodeList values;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
    Value expected;
  };
  const TableSpec one = {{0, {{B(true), {effect(0, I(1))}}}}};
  // x, y start at 1 and 10; actions 0 and 1 add 2 and 20; action 2 sets z := x + y.
  const TableSpec sums = {{0, {{B(true), {effect(0, I(2))}}}},
                          {1, {{B(true), {effect(1, I(20))}}}},
                          {2, {{B(true), {effect(2, Plus(F(0), F(1)))}}}}};
  const std::vector<Case> cases = {
      {"GoalHoldsAndNothingRuns", 1, one, Eq(F(0), I(0)), values_of({I(0)}), {}, 0.0},
      {"OneLayer", 1, one, Eq(F(0), I(1)), values_of({I(0)}), {}, 1.0},
      {"RunningActionNeedsALayer", 1, {{0, {{B(true), {}}, {B(true), {}}}}}, Eq(F(0), I(0)), values_of({I(0)}), {{0, 1}},
       1.0},
      {"NoEventsAndAFalseGoal", 1, {}, Eq(F(0), I(1)), values_of({I(0)}), {}, std::nullopt},
      {"NoFluentsAtAll", 0, {}, B(true), {}, {}, std::nullopt},
      {"EveryCombinationOfEffectValues", 3, sums, Eq(F(2), I(21)), values_of({I(1), I(10), I(0)}), {}, 2.0},
      {"EveryCombinationOfEffectValues2", 3, sums, Eq(F(2), I(12)), values_of({I(1), I(10), I(0)}), {}, 2.0},
      // The end condition of an event counts among its conditions.
      {"EndConditionsBlock", 2, {{0, {{B(true), {effect(0, I(1))}, {Eq(F(1), I(1))}}}}}, Eq(F(0), I(1)),
       values_of({I(0), I(0)}), {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HMaxExplicit h = build(c.fluents, c.spec, c.goal);
    const State state = make_state(c.values, c.running);
    EXPECT_EQ(h.eval(state), c.expected);
    EXPECT_EQ(explicit_model(h, state), c.expected);
  }
}

TEST(HMaxExplicit, UnboundedGrowthStopsAtTheLayerBound) {
  // x := x + 1 forever while the goal x == -1 never holds.
  HMaxExplicit h = build(1, {{0, {{B(true), {effect(0, Plus(F(0), I(1)))}}}}}, Eq(F(0), I(-1)));
  EXPECT_EQ(h.max_layers, HMaxExplicit::kDefaultMaxLayers);
  h.max_layers = 200;
  // The bound is the value: the goal needs at least that many layers.
  EXPECT_EQ(h.eval(make_state(values_of({I(0)}))), 200.0);
  // A goal reached before the bound is found; at the bound itself too.
  const HMaxExplicit reach = [] {
    HMaxExplicit r = build(1, {{0, {{B(true), {effect(0, Plus(F(0), I(1)))}}}}}, Eq(F(0), I(200)));
    r.max_layers = 200;
    return r;
  }();
  EXPECT_EQ(reach.eval(make_state(values_of({I(0)}))), 200.0);
  EXPECT_EQ(reach.eval(make_state(values_of({I(-1)}))), 200.0);
  // Sets that stop growing are still a dead end.
  const HMaxExplicit stuck = build(1, {{0, {{B(true), {effect(0, I(1))}}}}}, Eq(F(0), I(2)));
  EXPECT_EQ(stuck.eval(make_state(values_of({I(0)}))), std::nullopt);
}

TEST(HMaxExplicit, ValueCacheKeysOnEveryEventAction) {
  // Action 1 has events but `actions` lists only action 0: its running state must still key the
  // cache, or a running state would receive the idle state's value.
  const TableSpec spec = {{0, {{B(true), {effect(0, I(1))}}}}, {1, {{B(true), {}}, {B(true), {}}, {B(true), {}}}}};
  const HMaxExplicit h({Action{0}}, FluentTypes{"int"}, table(spec), nodes_of(Eq(F(0), I(1))), true);
  const HMaxExplicit copy = h;
  EXPECT_EQ(copy.value_cache, h.value_cache);
  const NodeList values = values_of({I(0)});
  EXPECT_EQ(h.eval(make_state(values)), 1.0);
  EXPECT_EQ(copy.eval(make_state(values)), 1.0);
  EXPECT_EQ(h.value_cache->map->size(), 1u);
  EXPECT_EQ(h.eval(make_state(values, {{1, 1}})), 2.0);
  EXPECT_EQ(h.value_cache->map->size(), 2u);
  // Without internal caching there is no map.
  EXPECT_FALSE(HMaxExplicit({}, FluentTypes{"int"}, EventsTable{}, nodes_of(B(true)), false).value_cache->map);
}

// ---------------------------------------------------------------- random tasks

// Fluents 0-2 Boolean, 3 integer.
struct RandomExplicit : Draws {
  bool temporal;

  Tree literal() {
    if (chance(35)) {
      const std::int64_t c = below(5);
      return chance(50) ? Le(F(3), I(c)) : Eq(F(3), I(c));
    }
    const Tree f = F(below(3));
    return chance(50) ? f : Not(f);
  }
  Tree condition(int max_items) {
    return conjunction(max_items, [this] { return literal(); });
  }
  std::vector<Effect> effects() {
    std::vector<Effect> out;
    for (std::uint64_t f = 0; f < 3; ++f) {
      if (chance(30)) out.push_back(effect(f, chance(20) ? Not(F(below(3))) : B(chance(70))));
    }
    if (chance(40)) out.push_back(effect(3, chance(50) ? I(below(5)) : Plus(F(3), I(1))));
    return out;
  }
  TableSpec spec() {
    TableSpec out;
    const int actions = 1 + below(4);
    for (int a = 0; a < actions; ++a) {
      std::vector<EventSpec> events;
      const int n = temporal ? 1 + below(3) : 1;
      for (int j = 0; j < n; ++j) events.push_back({condition(2), effects()});
      out.emplace_back(static_cast<std::uint64_t>(a), std::move(events));
    }
    return out;
  }
  State state(const TableSpec& spec) {
    NodeList values;
    for (int f = 0; f < 3; ++f) values.push_back(N::boolean(chance(40)));
    values.push_back(N::integer(below(4)));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
    for (const auto& [action, events] : spec) {
      if (events.size() > 1 && chance(40)) {
        running.emplace_back(action, 1 + static_cast<std::uint64_t>(below(static_cast<int>(events.size()) - 1)));
      }
    }
    return make_state(values, running);
  }
};

TEST(HMaxExplicit, AgreesWithTheNaiveModelOnRandomTasks) {
  for (const bool temporal : {false, true}) {
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
      SCOPED_TRACE(::testing::Message() << "temporal " << temporal << " seed " << seed);
      RandomExplicit gen{{std::mt19937_64(seed * 2 + temporal)}, temporal};
      const TableSpec spec = gen.spec();
      Tree goal = gen.condition(3);
      HMaxExplicit h(actions_of(spec), FluentTypes{"bool", "bool", "bool", "int"}, table(spec), nodes_of(goal), false);
      h.max_layers = 12;
      for (int i = 0; i < 4; ++i) {
        const State state = gen.state(spec);
        EXPECT_EQ(h.eval(state), explicit_model(h, state));
      }
    }
  }
}

}  // namespace

}  // namespace quendral::testing
