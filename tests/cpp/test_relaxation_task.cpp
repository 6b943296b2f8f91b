// The relaxed task of the delete-relaxation heuristics: the worked examples, the effect and
// condition rules, stage numbering and operator order, the helping relation and its epsilon, the
// tables disagreeing with each other, deep conditions, and the real tasks of the shared benchmark
// set converted through the task reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"
#include "bench/sas_task.hpp"
#include "tests/cpp/relaxation_model.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {

namespace {

using namespace model;
using N = ExpressionNode;
using Positions = std::vector<std::uint64_t>;

// An events table from (action, events) pairs, each event at the action's start.
EventsTable table(std::vector<std::pair<std::uint64_t, std::vector<Event>>> entries) {
  EventsTable events;
  for (auto& [action, list] : entries) {
    std::vector<TimedEvent> timed;
    for (Event& e : list) timed.emplace_back(Timing{true, Rational()}, std::move(e));
    events.insert_or_assign(Action{action}, std::move(timed));
  }
  return events;
}

std::vector<Action> acts(std::initializer_list<std::uint64_t> ids) {
  std::vector<Action> out;
  for (const std::uint64_t id : ids) out.push_back(Action{id});
  return out;
}

struct Built {
  DeleteRelaxationHeuristic h;

  const ExpressionManager& manager() const { return h.expression_manager->manager; }
  std::string text(Expression e) const { return node_list_repr(manager().get(e)); }
  std::vector<std::string> texts(std::span<const Expression> facts) const {
    std::vector<std::string> out;
    for (const Expression e : facts) out.push_back(text(e));
    return out;
  }
  std::vector<std::string> texts(const RelaxedCondition& c) const {
    std::vector<std::string> out;
    for (const HeuristicExpressionNode& entry : c.nodes) {
      out.push_back(entry.is_fact() ? text(entry.expression()) : entry.repr());
    }
    return out;
  }
  // The id of a fact that must already be interned.
  Expression id(const Tree& t) const {
    ExpressionManager& m = h.expression_manager->manager;
    const std::size_t before = m.size();
    const Expression e = m.put(nodes_of(t));
    EXPECT_EQ(m.size(), before) << "not a fact of the task: " << node_list_repr(nodes_of(t));
    return e;
  }
  std::vector<OperatorID> by_fact(const Tree& t) const {
    const auto row = h.operators_by_fact[id(t).id];
    return {row.begin(), row.end()};
  }
  std::vector<Expression> helped(OperatorID o) const {
    std::vector<Expression> out;
    for (const HelpedCondition& c : h.operator_numeric_conditions[o]) {
      EXPECT_EQ(h.simple_numeric_conditions[c.slot].condition, c.condition);
      out.push_back(c.condition);
    }
    return out;
  }
};

Built build(std::vector<Action> actions, FluentTypes types, ObjectsTable objects, EventsTable events, const Tree& goal,
            DeleteRelaxationSettings settings = {}) {
  return Built{DeleteRelaxationHeuristic(std::move(actions), std::move(types), std::move(objects), std::move(events),
                                         nodes_of(goal), settings)};
}

std::string t(const Tree& tree) { return node_list_repr(nodes_of(tree)); }

TEST(RelaxedTask, OneActionWithTwoEvents) {
  // Fluent 0 is busy, fluent 1 is x; A's events get the stage fluents 2 and 3.
  const Built b = build(acts({0}), {"bool", "int"}, {},
                        table({{0,
                                {event(0, 0, B(true), {effect(0, B(true))}),
                                 event(0, 1, F(0), {effect(1, op(NodeKind::Plus, {F(1), I(2)}))})}}}),
                        Le(I(4), F(1)));
  const DeleteRelaxationHeuristic& h = b.h;
  ASSERT_EQ(h.operators.size(), 2u);
  const Operator& start = h.operators[0];
  const Operator& end = h.operators[1];
  EXPECT_EQ(b.texts(start.add_effects), (std::vector<std::string>{t(F(2)), t(F(0))}));
  EXPECT_EQ(b.texts(start.precondition), std::vector<std::string>{t(F(3))});
  EXPECT_EQ(b.texts(end.add_effects), std::vector<std::string>{t(F(3))});
  EXPECT_EQ(b.texts(end.precondition), (std::vector<std::string>{t(F(2)), t(F(0)), "And(2)"}));
  EXPECT_EQ(end.constant_increase_effects.size(), 1u);
  EXPECT_EQ(*end.constant_increase_effects.find(1), 2.0);
  EXPECT_TRUE(start.constant_increase_effects.empty());
  EXPECT_EQ(start.id, 0u);
  EXPECT_EQ(end.id, 1u);
  EXPECT_EQ(start.weight, 1.0);

  EXPECT_EQ(b.texts(*h.stage_facts.find(Action{0})), (std::vector<std::string>{t(F(2)), t(F(3))}));
  EXPECT_EQ(b.texts(h.all_idle_condition), (std::vector<std::string>{t(F(3)), "And(1)"}));
  EXPECT_EQ(*h.event_counts.find(Action{0}), 2u);

  const Expression goal = b.id(Le(I(4), F(1)));
  ASSERT_EQ(h.simple_numeric_conditions.size(), 1u);
  EXPECT_EQ(*h.simple_numeric_conditions.find(goal), (SimpleNumericCondition{{1}, {-1.0, 4.0}}));
  EXPECT_TRUE(b.helped(0).empty());
  EXPECT_EQ(b.helped(1), std::vector<Expression>{goal});

  EXPECT_EQ(b.by_fact(F(3)), std::vector<OperatorID>{0});
  EXPECT_EQ(b.by_fact(F(2)), std::vector<OperatorID>{1});
  EXPECT_EQ(b.by_fact(F(0)), std::vector<OperatorID>{1});
  EXPECT_TRUE(h.operators_without_precondition.empty());
  EXPECT_TRUE(h.complex_numeric_conditions.empty());
  // A fact interned after construction (by an evaluation) simply wakes nobody.
  EXPECT_TRUE(h.operators_by_fact[h.expression_manager->manager.size() + 5].empty());
}

TEST(RelaxedTask, PreconditionPutsTheConditionsBeforeTheRequiredStage) {
  // Seven Boolean fluents: the single event's stage fluent is 7, which it also requires.
  const Built b = build(acts({0}), FluentTypes(7, "bool"), {},
                        table({{0, {event(0, 0, op(NodeKind::And, {F(0), Not(F(1))}))}}}), F(0));
  EXPECT_EQ(b.texts(b.h.operators[0].precondition), (std::vector<std::string>{t(F(7)), t(Not(F(1))), t(F(0)), "And(3)"}));
  EXPECT_EQ(b.texts(b.h.operators[0].add_effects), std::vector<std::string>{t(F(7))});
}

TEST(RelaxedTask, StrictConditionsAreRaisedByHalfTheSmallestHelpingStep) {
  for (const bool inadmissible : {false, true}) {
    SCOPED_TRACE(inadmissible ? "inadmissible" : "admissible");
    const Built b = build(acts({0, 1}), {"int"}, {},
                          table({{0, {event(0, 0, B(true), {effect(0, Sub(F(0), I(1)))})}},
                                 {1, {event(1, 0, B(true), {effect(0, Sub(F(0), I(3)))})}}}),
                          Lt(F(0), I(5)), {false, inadmissible, false, RelaxationMode::Hff});
    EXPECT_EQ(*b.h.simple_numeric_conditions.find(b.id(Lt(F(0), I(5)))), (SimpleNumericCondition{{0}, {1.0, -4.5}}));
  }
}

TEST(RelaxedTask, NumericEffectsAreIncreasesAssignmentsOrComplex) {
  // Fluents 0-8 are "int", 9 is "real".
  FluentTypes types(9, "int");
  types.push_back("real");
  const Built b = build(acts({0}), types, {},
                        table({{0,
                                {event(0, 0, B(true),
                                       {effect(0, op(NodeKind::Plus, {F(0), I(3)})), effect(1, Sub(F(1), I(2))),
                                        effect(2, F(2)), effect(3, op(NodeKind::Times, {I(2), F(3)})),
                                        effect(4, op(NodeKind::Plus, {F(5), I(1)})),
                                        effect(6, op(NodeKind::Plus, {F(6), F(5)})), effect(7, I(5)), effect(8, Q(3, 2)),
                                        effect(9, op(NodeKind::Plus, {I(1), F(9), Q(1, 2)}))})}}}),
                        B(true));
  const Operator& op0 = b.h.operators[0];
  const std::vector<std::pair<std::uint64_t, double>> increases(op0.constant_increase_effects.begin(),
                                                                op0.constant_increase_effects.end());
  EXPECT_EQ(increases, (std::vector<std::pair<std::uint64_t, double>>{{0, 3.0}, {1, -2.0}, {2, 0.0}, {9, 1.5}}));
  const std::vector<std::pair<std::uint64_t, double>> assigns(op0.constant_assign_effects.begin(),
                                                              op0.constant_assign_effects.end());
  EXPECT_EQ(assigns, (std::vector<std::pair<std::uint64_t, double>>{{7, 5.0}, {8, 1.5}}));
  std::vector<std::pair<std::uint64_t, std::string>> complex;
  for (const auto& [f, e] : op0.complex_numeric_effects) complex.emplace_back(f, b.text(e));
  EXPECT_EQ(complex, (std::vector<std::pair<std::uint64_t, std::string>>{
                         {3, t(op(NodeKind::Times, {I(2), F(3)}))},
                         {4, t(op(NodeKind::Plus, {F(5), I(1)}))},
                         {6, t(op(NodeKind::Plus, {F(6), F(5)}))}}));
  EXPECT_TRUE(op0.assigns(7) && op0.assigns(3) && !op0.assigns(0));
  EXPECT_EQ(b.texts(op0.add_effects), std::vector<std::string>{t(F(10))});  // only its stage fact

  for (const Tree& second : {I(1), F(0), op(NodeKind::Plus, {F(0), I(1)})}) {
    EXPECT_FALSE(internal_failure_of([&] {
                   build(acts({0}), {"int"}, {}, table({{0, {event(0, 0, B(true), {effect(0, I(2)), effect(0, second)})}}}),
                         B(true));
                 }).empty());
  }
}

TEST(RelaxedTask, BooleanAndObjectEffectsAddFacts) {
  // 0, 1 "bool"; 2, 3 "room"; 4 "crate" (no object list); 5 "void" (an empty list).
  const FluentTypes types{"bool", "bool", "room", "room", "crate", "void"};
  const ObjectsTable objects{{"room", {"ra", "rb"}}, {"void", {}}};
  const Built b = build(acts({0}), types, objects,
                        table({{0,
                                {event(0, 0, B(true),
                                       {effect(0, B(true)), effect(0, B(false)), effect(1, F(0)), effect(2, O("rb")),
                                        effect(4, O("c9")), effect(3, F(2)), effect(5, F(5))})}}}),
                        B(true));
  EXPECT_EQ(b.texts(b.h.operators[0].add_effects),
            (std::vector<std::string>{t(F(6)), t(F(0)), t(Not(F(0))), t(F(1)), t(Not(F(1))), t(Eq(F(2), O("rb"))),
                                      t(Eq(F(4), O("c9"))), t(Eq(F(3), O("ra"))), t(Eq(F(3), O("rb")))}));

  // A computed value for a fluent whose type lists no objects cannot be turned into facts.
  EXPECT_FALSE(internal_failure_of([&] {
                 build(acts({0}), types, objects, table({{0, {event(0, 0, B(true), {effect(4, F(4))})}}}), B(true));
               }).empty());
}

TEST(RelaxedTask, ConstantConditionsAndStageNumbering) {
  // A: two events, the first impossible. B: one event with only constant-true conditions.
  Event impossible = event(0, 0, op(NodeKind::And, {F(0), B(false)}));
  Event then = event(0, 1, F(0));
  Event trivial = event(1, 0, B(true));
  trivial.end_conditions = {NodeList{}, nodes_of(B(true))};
  const Built b = build(acts({0, 1}), {"bool"}, {},
                        table({{0, {impossible, then}}, {1, {trivial}}}), F(0));
  const DeleteRelaxationHeuristic& h = b.h;
  ASSERT_EQ(h.operators.size(), 2u);
  // A's stage fluents are 1 and 2 although its first event has no operator; B's is 3.
  EXPECT_EQ(b.texts(*h.stage_facts.find(Action{0})), (std::vector<std::string>{t(F(1)), t(F(2))}));
  EXPECT_EQ(b.texts(h.operators[0].precondition), (std::vector<std::string>{t(F(1)), t(F(0)), "And(2)"}));
  EXPECT_TRUE(b.by_fact(F(2)).empty());  // the idle fact A's first event would need: nobody
  EXPECT_EQ(b.texts(h.operators[1].precondition), std::vector<std::string>{t(F(3))});
  EXPECT_EQ(b.texts(h.operators[1].add_effects), std::vector<std::string>{t(F(3))});
  EXPECT_EQ(b.texts(h.all_idle_condition), (std::vector<std::string>{t(F(3)), t(F(2)), "And(2)"}));
}

TEST(RelaxedTask, OperatorsFollowActionNumbersWhileStagesFollowTheActionList) {
  const Built b = build(acts({3, 1}), {"bool"}, {},
                        table({{1, {event(1, 0, B(true)), event(1, 1, B(true))}}, {3, {event(3, 0, B(true))}}}), F(0));
  const DeleteRelaxationHeuristic& h = b.h;
  ASSERT_EQ(h.operators.size(), 3u);
  EXPECT_EQ(h.operators[0].action, Action{1});
  EXPECT_EQ(h.operators[1].action, Action{1});
  EXPECT_EQ(h.operators[2].action, Action{3});
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(h.operators[i].id, i);
  EXPECT_EQ(b.texts(*h.stage_facts.find(Action{3})), std::vector<std::string>{t(F(1))});
  EXPECT_EQ(b.texts(*h.stage_facts.find(Action{1})), (std::vector<std::string>{t(F(2)), t(F(3))}));
  EXPECT_EQ(b.texts(h.operators[0].precondition), std::vector<std::string>{t(F(3))});  // A1's idle fact
  EXPECT_EQ(b.texts(h.operators[1].precondition), std::vector<std::string>{t(F(2))});
}

TEST(RelaxedTask, ListedActionsWithoutEventsGetNoOperators) {
  // Action 5 is listed without events.
  const Built b = build(acts({0, 5}), {"bool"}, {}, table({{0, {event(0, 0, B(true))}}}), F(0));
  const DeleteRelaxationHeuristic& h = b.h;
  ASSERT_EQ(h.operators.size(), 1u);
  EXPECT_EQ(h.operators[0].action, Action{0});
  EXPECT_EQ(h.stage_facts.size(), 1u);
  EXPECT_FALSE(h.stage_facts.contains(Action{5}));
  EXPECT_FALSE(h.event_counts.contains(Action{5}));
  EXPECT_EQ(b.texts(h.all_idle_condition), (std::vector<std::string>{t(F(1)), "And(1)"}));
}

TEST(RelaxedTask, ActionsWithEventsMustBeListed) {
  // Action 9 has events but is not listed: evaluations could not follow its running instances.
  try {
    build(acts({0}), {"bool"}, {}, table({{0, {event(0, 0, B(true))}}, {9, {event(9, 0, B(true)), event(9, 1, B(true))}}}),
          F(0));
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.kind(), ErrorKind::ValueError);
    EXPECT_EQ(error.message(), "Action 9 has events but is not in actions");
  }
}

TEST(RelaxedTask, WithoutHelpingOperatorsStrictConditionsCannotHold) {
  const double half_lowest = 0.5 * std::numeric_limits<double>::lowest();
  EXPECT_EQ(half_lowest, -8.988465674311579e307);
  const Built none = build({}, {"int"}, {}, EventsTable{}, Lt(F(0), I(5)));
  EXPECT_TRUE(none.h.operators.empty());
  EXPECT_EQ(none.texts(none.h.all_idle_condition), std::vector<std::string>{"And(0)"});
  EXPECT_EQ(*none.h.simple_numeric_conditions.find(none.id(Lt(F(0), I(5)))),
            (SimpleNumericCondition{{0}, {1.0, -5.0 - half_lowest}}));
  // An operator that moves the condition the wrong way does not help either.
  const Built away = build(acts({0}), {"int"}, {}, table({{0, {event(0, 0, B(true), {effect(0, op(NodeKind::Plus, {F(0), I(1)}))})}}}),
                           Lt(F(0), I(5)));
  EXPECT_TRUE(away.helped(0).empty());
  EXPECT_EQ(away.h.simple_numeric_conditions[0].linear.weights.back(), -5.0 - half_lowest);
}

TEST(RelaxedTask, HelpingRelationInBothVariants) {
  // Conditions: x + y - 10 <= 0, x + y < 10 (strict), and the constant 1 <= 2.
  const Tree sum = op(NodeKind::Plus, {F(0), F(1)});
  const Tree goal = op(NodeKind::And, {Le(sum, I(10)), Lt(sum, I(10)), Le(I(1), I(2))});
  const auto events = [] {
    return table({{0, {event(0, 0, B(true), {effect(0, Sub(F(0), I(2))), effect(1, op(NodeKind::Plus, {F(1), I(1)}))})}},
                  {1, {event(1, 0, B(true), {effect(0, I(0))})}},
                  {2, {event(2, 0, B(true), {effect(1, op(NodeKind::Plus, {F(1), I(5)}))})}},
                  {3, {event(3, 0, B(true), {effect(0, op(NodeKind::Plus, {F(0), I(1)})), effect(1, I(0))})}}});
  };
  for (const bool inadmissible : {false, true}) {
    SCOPED_TRACE(inadmissible ? "inadmissible" : "admissible");
    const Built b = build(acts({0, 1, 2, 3}), {"int", "int"}, {}, events(), goal, {false, inadmissible, false, RelaxationMode::Hadd});
    const Expression le = b.id(Le(sum, I(10))), lt = b.id(Lt(sum, I(10))), constant = b.id(Le(I(1), I(2)));
    ASSERT_EQ(b.h.simple_numeric_conditions.size(), 3u);
    EXPECT_EQ(*b.h.simple_numeric_conditions.find(le), (SimpleNumericCondition{{0, 1}, {1.0, 1.0, -10.0}}));
    EXPECT_EQ(*b.h.simple_numeric_conditions.find(constant), (SimpleNumericCondition{{}, {-1.0}}));
    // The goal's facts are filed last operand first: the constant, then x + y < 10, then the rest.
    EXPECT_EQ(b.h.simple_numeric_conditions[0].condition, constant);
    // x - 2, y + 1: a step of -1 either way.
    EXPECT_EQ(b.helped(0), (std::vector<Expression>{lt, le}));
    // x := 0 helps in both; only the inadmissible variant counts it as a step of -1.
    EXPECT_EQ(b.helped(1), (std::vector<Expression>{lt, le}));
    EXPECT_TRUE(b.helped(2).empty());  // y + 5
    // x + 1, y := 0: helps through the assignment, or (inadmissible) 1 - 1 = 0 does not.
    EXPECT_EQ(b.helped(3), inadmissible ? std::vector<Expression>{} : (std::vector<Expression>{lt, le}));
    EXPECT_EQ(*b.h.simple_numeric_conditions.find(lt), (SimpleNumericCondition{{0, 1}, {1.0, 1.0, -9.5}}));
    EXPECT_EQ(b.h.mode, RelaxationMode::Hadd);
    EXPECT_EQ(b.h.inadmissible_numeric_heuristic_variant, inadmissible);
  }
}

TEST(RelaxedTask, FactIndexListsEveryOccurrence) {
  // The fact p occurs in two different conjuncts of one precondition.
  const Built b = build(acts({0}), {"bool", "bool"}, {},
                        table({{0, {event(0, 0, op(NodeKind::And, {op(NodeKind::Or, {F(0), F(1)}), F(0)}))}}}), F(1));
  EXPECT_EQ(b.by_fact(F(0)), (std::vector<OperatorID>{0, 0}));
  EXPECT_EQ(b.by_fact(F(1)), std::vector<OperatorID>{0});
  EXPECT_TRUE(b.h.operators_without_precondition.empty());
  EXPECT_TRUE(b.h.operators[0].precondition.has_or);
}

TEST(RelaxedTask, CachingSettingAndSharingWithCopies) {
  for (const bool caching : {false, true}) {
    const Built b = build(acts({0}), {"bool"}, {}, table({{0, {event(0, 0, B(true))}}}), F(0),
                          {caching, false, true, RelaxationMode::Hmax});
    EXPECT_EQ(b.h.value_cache->map.has_value(), caching);
    if (caching) {
      EXPECT_TRUE(b.h.value_cache->map->empty());
    }
    EXPECT_TRUE(b.h.disable_numeric_reasoning);
    const DeleteRelaxationHeuristic copy = b.h;
    EXPECT_EQ(copy.value_cache, b.h.value_cache);
    EXPECT_EQ(copy.expression_manager, b.h.expression_manager);
    EXPECT_EQ(copy.operators.size(), 1u);
  }
}

TEST(RelaxedTask, EqualityOfNonNumericFluentsIsTestedInTheState) {
  // Two rooms and two switches. A condition that the two rooms (or switches) agree, or differ,
  // must stay a condition that can be tested on these values: never a numeric comparison.
  const FluentTypes types{"room", "room", "bool", "bool", "int"};
  const ObjectsTable objects{{"room", {"ra", "rb"}}};
  const Tree same = Eq(F(0), F(1)), differ = Not(Eq(F(0), F(1))), switches = Eq(F(2), F(3));
  const Built b = build(acts({0, 1}), types, objects,
                        table({{0, {event(0, 0, op(NodeKind::And, {same, switches}), {effect(0, F(1))})}},
                               {1, {event(1, 0, differ, {effect(4, op(NodeKind::Plus, {F(4), I(1)}))})}}}),
                        op(NodeKind::And, {same, Le(I(2), F(4))}));
  const DeleteRelaxationHeuristic& h = b.h;
  const std::vector<Expression> complex(h.complex_numeric_conditions.begin(), h.complex_numeric_conditions.end());
  EXPECT_EQ(complex, (std::vector<Expression>{b.id(switches), b.id(same), b.id(differ)}));
  ASSERT_EQ(h.simple_numeric_conditions.size(), 1u);  // only 2 <= x
  const ValueList state{{N::object("ra"), N::object("rb"), N::boolean(true), N::boolean(true), N::integer(0)}};
  for (const Expression c : complex) EXPECT_NO_THROW(internal_evaluate(h.expression_manager->manager.get(c), state));
  for (const auto& entry : h.simple_numeric_conditions) {
    EXPECT_NO_THROW(internal_evaluate(h.expression_manager->manager.get(entry.condition), state));
  }
  EXPECT_EQ(b.texts(h.operators[0].precondition), (std::vector<std::string>{t(F(5)), t(switches), t(same), "And(3)"}));
  EXPECT_EQ(b.texts(h.operators[1].precondition), (std::vector<std::string>{t(F(6)), t(differ), "And(2)"}));
}

TEST(RelaxedTask, DisagreeingTablesFailCleanly) {
  // An effect on a fluent beyond the types.
  EXPECT_NE(internal_failure_of([&] {
              build(acts({0}), {"bool"}, {}, table({{0, {event(0, 0, B(true), {effect(3, B(true))})}}}), F(0));
            }).find("beyond"),
            std::string::npos);
  // A computed value for an object type that does not exist.
  EXPECT_NE(internal_failure_of([&] {
              build(acts({0}), {"ghost", "ghost"}, {}, table({{0, {event(0, 0, B(true), {effect(0, F(1))})}}}), F(0));
            }).find("ghost"),
            std::string::npos);
  // An empty goal.
  EXPECT_FALSE(internal_failure_of([&] {
                 DeleteRelaxationHeuristic(acts({}), {"bool"}, {}, EventsTable{}, NodeList{}, {});
               }).empty());
  // A condition whose subtree reaches outside itself cannot be re-based.
  Event tangled;
  tangled.action = Action{0};
  tangled.conditions = {N::fluent(0), N::fluent(1), N::binary_operator(NodeKind::LE, 1, 0),
                        N::list_operator(NodeKind::And, Positions{2})};
  try {
    build(acts({0}), {"int", "int"}, {}, table({{0, {tangled}}}), B(true));
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.kind(), ErrorKind::Exception);
    EXPECT_EQ(error.message(), "Overflow");
  }
}

TEST(RelaxedTask, DeepConditionsAreBuilt) {
  constexpr std::size_t kDepth = 100'000;
  // An event condition not(not(...(b)...)) and a goal x + 1 + ... + 1 == 7, both 10^5 deep.
  NodeList negations{N::fluent(0)};
  for (std::size_t i = 0; i < kDepth; ++i) negations.push_back(N::not_operator(i));
  NodeList sum{N::fluent(1)};
  for (std::size_t i = 0; i < kDepth; ++i) {
    const std::uint64_t inner = sum.size() - 1;
    sum.push_back(N::integer(1));
    sum.push_back(N::list_operator(NodeKind::Plus, Positions{inner, inner + 1}));
  }
  sum.push_back(N::integer(7));
  sum.push_back(N::binary_operator(NodeKind::Equals, sum.size() - 2, sum.size() - 1));
  Event e;
  e.action = Action{0};
  e.conditions = negations;
  e.effects = {Effect{1, nodes_of(op(NodeKind::Plus, {F(1), I(-1)}))}};
  const DeleteRelaxationHeuristic h(acts({0}), {"bool", "int"}, {}, table({{0, {e}}}), sum, {});
  ASSERT_EQ(h.operators.size(), 1u);
  EXPECT_EQ(h.goal_condition.nodes.size(), 3u);  // split into two comparisons
  ASSERT_EQ(h.simple_numeric_conditions.size(), 2u);
  EXPECT_EQ(h.simple_numeric_conditions[0].linear, (SimpleNumericCondition{{1}, {1.0, 100'000.0 - 7.0}}));
  EXPECT_EQ(h.operator_numeric_conditions[0].size(), 1u);  // x - 1 helps x + 10^5 <= 7
}

// ---------------------------------------------------------------- the task reader and real tasks

TEST(SasTask, ReadsTheGroundingAndRejectsBrokenFiles) {
  const std::string task =
      "begin_version\n3\nend_version\nbegin_metric\n0\nend_metric\n2\n"
      "begin_variable\nvar0\n-1\n2\nAtom at(a)\nAtom at(b)\nend_variable\n"
      "begin_variable\nvar1\n-1\n2\nAtom lit()\n<none of those>\nend_variable\n"
      "0\nbegin_state\n0\n1\nend_state\nbegin_goal\n1\n0 1\nend_goal\n"
      "2\nbegin_operator\nmove a b\n1\n1 1\n1\n0 0 0 1\n1\nend_operator\n"
      "begin_operator\nlight\n0\n1\n0 1 -1 0\n1\nend_operator\n0\n";
  std::istringstream in(task);
  const bench::SasTask sas = bench::parse_sas_task(in);
  EXPECT_EQ(sas.fluent_types, (std::vector<std::string>{"var0", "var1"}));
  EXPECT_EQ(sas.objects.at("var1"), (std::vector<std::string>{"Atom lit()", "<none of those>"}));
  EXPECT_EQ(sas.initial_state, (NodeList{N::object("Atom at(a)"), N::object("<none of those>")}));
  EXPECT_EQ(sas.goal, nodes_of(Eq(F(0), O("Atom at(b)"))));
  ASSERT_EQ(sas.actions.size(), 2u);
  const Event& move = sas.events.find(Action{0})->at(0).second;
  EXPECT_EQ(move.conditions, nodes_of(op(NodeKind::And, {Eq(F(1), O("<none of those>")), Eq(F(0), O("Atom at(a)"))})));
  ASSERT_EQ(move.effects.size(), 1u);
  EXPECT_EQ(move.effects[0].value, nodes_of(O("Atom at(b)")));
  EXPECT_EQ(sas.events.find(Action{1})->at(0).second.conditions, nodes_of(B(true)));

  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"0 1\nend_goal", "0 2\nend_goal"},           // a value beyond the domain
           {"1 1\n1\n0 0", "7 1\n1\n0 0"},               // a variable beyond the table
           {"0 1 -1 0", "1 1 -1 0"},                     // an effect condition
           {"end_operator\n0\n", "end_operator\n1\n"},   // axioms
           {"begin_state\n0\n1\nend_state", "begin_state\n0\nend_state"}}) {
    std::string broken = task;
    broken.replace(broken.find(from), from.size(), to);
    std::istringstream bad(broken);
    EXPECT_THROW(bench::parse_sas_task(bad), std::runtime_error) << to;
  }
}

TEST(RelaxedTask, RealTasksBecomeOneOperatorPerEventWithTheEventsFacts) {
  const auto files = bench::classical_task_files();
  if (files.empty()) GTEST_SKIP() << "the shared benchmark tasks are not beside the repository";
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const bench::SasTask sas = bench::load_sas_task(file);
    const std::uint64_t n = sas.fluent_types.size();
    std::size_t expected_operators = 0;
    for (const auto& [action, timed] : sas.events) {
      for (const auto& [timing, e] : timed) {
        const auto conjuncts = split_expression(e.conditions);
        expected_operators += std::none_of(conjuncts.begin(), conjuncts.end(),
                                           [](const NodeList& c) { return c.size() == 1 && c[0].is_bool(false); });
      }
    }
    const Built b{DeleteRelaxationHeuristic(sas.actions, sas.fluent_types, sas.objects, sas.events, sas.goal, {})};
    const DeleteRelaxationHeuristic& h = b.h;
    ASSERT_EQ(h.operators.size(), expected_operators);
    EXPECT_TRUE(h.simple_numeric_conditions.empty());
    EXPECT_TRUE(h.complex_numeric_conditions.empty());
    EXPECT_TRUE(h.operators_without_precondition.empty());
    std::size_t facts_filed = 0;
    for (const Operator& op : h.operators) {
      // One event per action, actions in order: operator i is action i, its stage fluent n + i.
      ASSERT_EQ(op.action.idx, op.id);
      const Event& e = sas.events.find(op.action)->at(0).second;
      const NodeList stage{N::fluent(n + op.id)};
      std::multiset<std::string> expected_pre{node_list_repr(stage)};
      for (const NodeList& c : split_expression(e.conditions)) {
        if (!(c.size() == 1 && c[0].is_bool(true))) expected_pre.insert(node_list_repr(c));
      }
      std::multiset<std::string> pre;
      for (const HeuristicExpressionNode& entry : op.precondition.nodes) {
        if (entry.is_fact()) pre.insert(b.text(entry.expression()));
      }
      EXPECT_EQ(pre, expected_pre) << sas.operator_names[op.id];
      std::vector<std::string> expected_adds{node_list_repr(stage)};
      for (const Effect& effect : e.effects) {
        expected_adds.push_back(node_list_repr(nodes_of(Eq(F(static_cast<std::int64_t>(effect.fluent)),
                                                           O(std::string(effect.value[0].object_name()))))));
      }
      EXPECT_EQ(b.texts(op.add_effects), expected_adds) << sas.operator_names[op.id];
      facts_filed += expected_pre.size();
    }
    EXPECT_EQ(h.operators_by_fact.total(), facts_filed);
    EXPECT_EQ(h.event_counts.size(), sas.actions.size());
  }
}

}  // namespace

}  // namespace quendral::testing
