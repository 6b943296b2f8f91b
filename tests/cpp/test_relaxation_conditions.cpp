// Conditions as the relaxation sees them: conversion into facts, the rewrites of the facts, operand
// swapping and the conditions of an event. Seeded random well-typed conditions are compared with
// the tree model, and every rewrite must keep the condition's truth in random states (which also
// means no fact may compare non-numbers with <= or <).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/core/errors.hpp"
#include "base/heuristics/relaxation_conditions.hpp"
#include "tests/cpp/relaxation_model.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {

namespace {

using namespace model;
using N = ExpressionNode;
using Positions = std::vector<std::uint64_t>;
using Kind = HeuristicExpressionNode::Kind;

// The entries of a relaxed condition as text: facts by their node lists.
std::vector<std::string> render(const RelaxedCondition& condition, const ExpressionManager& manager) {
  std::vector<std::string> out;
  for (const HeuristicExpressionNode& entry : condition.nodes) {
    out.push_back(entry.is_fact() ? node_list_repr(manager.get(entry.expression())) : entry.repr());
  }
  return out;
}

std::string text(const Tree& t) { return node_list_repr(nodes_of(t)); }


TEST(ConvertCondition, CutsConnectivesLastOperandFirst) {
  ExpressionManager manager;
  const NodeList nodes{N::fluent(0), N::fluent(1), N::fluent(2), N::list_operator(NodeKind::Or, Positions{1, 2}),
                       N::list_operator(NodeKind::And, Positions{0, 3})};
  const RelaxedCondition c = convert_to_heuristic_expression(nodes, manager);
  EXPECT_EQ(render(c, manager),
            (std::vector<std::string>{"[Fluent(2)]", "[Fluent(1)]", "Or(2)", "[Fluent(0)]", "And(2)"}));
  EXPECT_TRUE(c.has_or);

  // A negation over a comparison is one fact, the whole list; so is a negated conjunction.
  for (const Tree& t : {Not(Le(F(3), I(5))), Not(op(NodeKind::And, {F(0), F(1)})), F(4), Not(F(4))}) {
    const RelaxedCondition one = convert_to_heuristic_expression(nodes_of(t), manager);
    EXPECT_EQ(render(one, manager), std::vector<std::string>{text(t)});
    EXPECT_FALSE(one.has_or);
  }
  EXPECT_EQ(render(convert_to_heuristic_expression(nodes_of(op(NodeKind::And, {})), manager), manager),
            std::vector<std::string>{"And(0)"});
  const RelaxedCondition never = convert_to_heuristic_expression(nodes_of(op(NodeKind::Or, {})), manager);
  EXPECT_EQ(render(never, manager), std::vector<std::string>{"Or(0)"});
  EXPECT_TRUE(never.has_or);

  // A fact cut from the middle of a list is re-based, and equal facts share one id.
  const RelaxedCondition twice =
      convert_to_heuristic_expression(nodes_of(op(NodeKind::And, {Le(F(0), I(5)), Le(F(0), I(5))})), manager);
  ASSERT_EQ(twice.nodes.size(), 3u);
  EXPECT_EQ(twice.nodes[0], twice.nodes[1]);
  EXPECT_EQ(manager.get(twice.nodes[0].expression()), nodes_of(Le(F(0), I(5))));
}

TEST(ConvertCondition, BrokenLayoutsOverflowOrFail) {
  ExpressionManager manager;
  // The comparison reaches back before its own first-operand path: the re-base overflows.
  const NodeList shared{N::fluent(0), N::fluent(1), N::binary_operator(NodeKind::LE, 1, 0),
                        N::list_operator(NodeKind::And, Positions{2})};
  EXPECT_EQ(error_message_of([&] { convert_to_heuristic_expression(shared, manager); }), "Overflow");
  EXPECT_FALSE(internal_failure_of([&] { convert_to_heuristic_expression(NodeList{}, manager); }).empty());
  const NodeList not_empty_and{N::list_operator(NodeKind::And, Positions{}), N::not_operator(0)};
  EXPECT_FALSE(internal_failure_of([&] { convert_to_heuristic_expression(not_empty_and, manager); }).empty());
  const NodeList forward{N::list_operator(NodeKind::And, Positions{1}), N::fluent(0)};
  EXPECT_FALSE(internal_failure_of([&] {
                 convert_to_heuristic_expression(std::span(forward).first(1), manager);
               }).empty());
}

TEST(SimplifyCondition, RewritesFactsIntoRelaxableForms) {
  // f0 bool, f1 and f2 int (x, y), f3 room, f4 ball (one object), f5 pair (two), f6 crate (no
  // object list), f7 room, f8 bool.
  const FluentTypes types{"bool", "int", "int", "room", "ball", "pair", "crate", "room", "bool"};
  const ObjectsTable objects{{"room", {"ra", "rb", "rc"}}, {"ball", {"b1"}}, {"pair", {"pa", "pb"}}};
  const Tree x = F(1), y = F(2);
  struct Case {
    const char* name;
    Tree condition;
    bool disable;
    std::vector<Tree> expected;  // facts; an operand-less And/Or tree stands for And(2)/Or(2)
    bool has_or;
  };
  const auto And2 = op(NodeKind::And, {});
  const auto Or2 = op(NodeKind::Or, {});
  const std::vector<Case> cases = {
      {"not(x <= 5) is 5 < x", Not(Le(x, I(5))), false, {Lt(I(5), x)}, false},
      {"not(x < 5) is 5 <= x", Not(Lt(x, I(5))), false, {Le(I(5), x)}, false},
      {"x == y + 1 is two comparisons", Eq(x, op(NodeKind::Plus, {y, I(1)})), false,
       {Le(x, op(NodeKind::Plus, {y, I(1)})), Le(op(NodeKind::Plus, {y, I(1)}), x), And2}, false},
      {"not(x == 3) is x < 3 or 3 < x", Not(Eq(x, I(3))), false, {Lt(x, I(3)), Lt(I(3), x), Or2}, true},
      {"a non-linear difference is kept", Not(Le(op(NodeKind::Times, {x, y}), I(3))), false,
       {Not(Le(op(NodeKind::Times, {x, y}), I(3)))}, false},
      {"a non-linear equality is kept", Eq(op(NodeKind::Times, {x, y}), I(3)), false,
       {Eq(op(NodeKind::Times, {x, y}), I(3))}, false},
      {"a bare comparison is kept", Le(x, op(NodeKind::Times, {y, y})), false, {Le(x, op(NodeKind::Times, {y, y}))}, false},
      {"without numeric reasoning not(x <= 5) is kept", Not(Le(x, I(5))), true, {Not(Le(x, I(5)))}, false},
      {"without numeric reasoning x == 3 is kept", Eq(x, I(3)), true, {Eq(x, I(3))}, false},
      {"an equality of two int fluents is split", Eq(x, y), false, {Le(x, y), Le(y, x), And2}, false},
      {"an equality of two room fluents stays one fact", Eq(F(3), F(7)), false, {Eq(F(3), F(7))}, false},
      {"so does its negation", Not(Eq(F(3), F(7))), false, {Not(Eq(F(3), F(7)))}, false},
      {"an equality of two bool fluents stays one fact", Eq(F(0), F(8)), false, {Eq(F(0), F(8))}, false},
      {"an int fluent equal to a room fluent stays one fact", Eq(x, F(3)), false, {Eq(x, F(3))}, false},
      {"a fluent beyond the types is no number", Eq(x, F(20)), false, {Eq(x, F(20))}, false},
      {"not(f == o) for a fluent beyond the types is kept", Not(Eq(F(20), O("ra"))), false,
       {Not(Eq(F(20), O("ra")))}, false},
      {"not(ball == b1): nothing else, false", Not(Eq(F(4), O("b1"))), false, {B(false)}, false},
      {"not(pair == pa): the other object", Not(Eq(F(5), O("pa"))), false, {Eq(F(5), O("pb"))}, false},
      {"not(room == rb): the others, in list order", Not(Eq(F(3), O("rb"))), false,
       {Eq(F(3), O("ra")), Eq(F(3), O("rc")), Or2}, true},
      {"the object rule ignores the flag", Not(Eq(F(3), O("rb"))), true, {Eq(F(3), O("ra")), Eq(F(3), O("rc")), Or2}, true},
      {"a type without objects is kept", Not(Eq(F(6), O("c1"))), false, {Not(Eq(F(6), O("c1")))}, false},
      {"and also without numeric reasoning", Not(Eq(F(6), O("c1"))), true, {Not(Eq(F(6), O("c1")))}, false},
      {"the object written first is kept", Not(Eq(O("ra"), F(3))), false, {Not(Eq(O("ra"), F(3)))}, false},
      {"a positive object equality is kept", Eq(F(3), O("ra")), false, {Eq(F(3), O("ra"))}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpressionManager manager;
    const RelaxedCondition converted = convert_to_heuristic_expression(nodes_of(c.condition), manager);
    const RelaxedCondition simplified = simplify_condition(converted, objects, types, c.disable, manager);
    std::vector<std::string> expected;
    for (const Tree& t : c.expected) {
      if (t.kind == NodeKind::And || t.kind == NodeKind::Or) {
        expected.push_back(t.kind == NodeKind::And ? "And(2)" : "Or(2)");
      } else {
        expected.push_back(text(t));
      }
    }
    EXPECT_EQ(render(simplified, manager), expected);
    EXPECT_EQ(simplified.has_or, c.has_or);
  }
}

TEST(SimplifyCondition, KeepsTheFlagAndCountsOfTheEnclosingConnectives) {
  const FluentTypes types{"int", "room"};
  const ObjectsTable objects{{"room", {"ra", "rb", "rc"}}};
  ExpressionManager manager;
  const Tree t = op(NodeKind::And, {Not(Eq(F(1), O("ra"))), Eq(F(0), I(2))});
  const RelaxedCondition simplified =
      simplify_condition(convert_to_heuristic_expression(nodes_of(t), manager), objects, types, false, manager);
  EXPECT_EQ(render(simplified, manager),
            (std::vector<std::string>{text(Le(F(0), I(2))), text(Le(I(2), F(0))), "And(2)", text(Eq(F(1), O("rb"))),
                                      text(Eq(F(1), O("rc"))), "Or(2)", "And(2)"}));
  EXPECT_TRUE(simplified.has_or);

  // Both halves of a discarded rewrite stay interned.
  const std::size_t before = manager.size();
  const Tree nonlinear = Eq(op(NodeKind::Times, {F(0), F(0)}), I(3));
  simplify_condition(convert_to_heuristic_expression(nodes_of(nonlinear), manager), objects, types, false, manager);
  EXPECT_EQ(manager.size(), before + 3);  // the fact, x*x <= 3 and 3 <= x*x
  const std::size_t after = manager.size();
  manager.put(nodes_of(Le(I(3), op(NodeKind::Times, {F(0), F(0)}))));
  EXPECT_EQ(manager.size(), after);
}

TEST(InvertOperands, SwapsTheTwoStretches) {
  ExpressionManager manager;
  const NodeList l = nodes_of(Not(Le(F(3), I(5))));
  const auto [second, first] = inverted_operands(l, 0, 1);
  EXPECT_EQ(second, NodeList{N::integer(5)});
  EXPECT_EQ(first, NodeList{N::fluent(3)});
  EXPECT_EQ(manager.get(invert_operands(NodeKind::LT, l, 0, 1, manager)), nodes_of(Lt(I(5), F(3))));

  const NodeList sum = nodes_of(Eq(F(0), op(NodeKind::Plus, {F(1), I(1)})));
  EXPECT_EQ(manager.get(invert_operands(NodeKind::LE, sum, 0, 3, manager)),
            (NodeList{N::fluent(1), N::integer(1), N::list_operator(NodeKind::Plus, Positions{0, 1}), N::fluent(0),
                      N::binary_operator(NodeKind::LE, 2, 3)}));

  // The second operand's stretch reaches into the first: not self-contained.
  const NodeList tangled{N::fluent(0), N::fluent(1), N::list_operator(NodeKind::Plus, Positions{0, 1}),
                         N::binary_operator(NodeKind::LE, 0, 2)};
  EXPECT_EQ(error_message_of([&] { inverted_operands(tangled, 0, 2); }), "Overflow");
  EXPECT_FALSE(internal_failure_of([&] { inverted_operands(tangled, 2, 2); }).empty());
  EXPECT_FALSE(internal_failure_of([&] { inverted_operands(tangled, 0, 4); }).empty());
}

TEST(EventConditions, AreTheConjunctsThenTheEndConditionsWithoutRepeats) {
  ExpressionManager manager;
  const Tree p = F(0), q = Le(F(1), I(2)), r = Not(F(3)), s = F(4);
  Event event;
  event.conditions = nodes_of(op(NodeKind::And, {p, q, p}));
  event.end_conditions = {nodes_of(q), nodes_of(r)};
  event.start_conditions = {nodes_of(s)};
  EXPECT_EQ(get_event_conditions(event, manager), (std::vector<NodeList>{nodes_of(p), nodes_of(q), nodes_of(r)}));
  event.conditions = nodes_of(q);
  event.end_conditions = {};
  EXPECT_EQ(get_event_conditions(event, manager), std::vector<NodeList>{nodes_of(q)});
}

TEST(SimplifyCondition, AgreesWithTheModelAndKeepsTruthOnRandomConditions) {
  const FluentTypes types = test_fluent_types();
  const ObjectsTable objects = test_objects();
  Generator gen(0xc0ffee);
  int rewritten = 0;
  for (int round = 0; round < 3000; ++round) {
    const Tree t = gen.condition(4);
    const NodeList nodes = nodes_of(t);
    const bool disable = round % 4 == 3;
    SCOPED_TRACE(node_list_repr(nodes) + (disable ? " without numeric reasoning" : ""));
    ExpressionManager manager;
    const RelaxedCondition converted = convert_to_heuristic_expression(nodes, manager);
    const RelaxedCondition simplified = simplify_condition(converted, objects, types, disable, manager);

    bool model_has_or = false;
    const std::vector<Entry> expected = Normaliser(types, objects, disable).run(t, model_has_or);
    ASSERT_EQ(simplified.nodes.size(), expected.size());
    for (std::size_t j = 0; j < expected.size(); ++j) {
      ASSERT_EQ(simplified.nodes[j].kind, expected[j].kind) << j;
      if (expected[j].kind == Kind::Fact) {
        ASSERT_EQ(manager.get(simplified.nodes[j].expression()), expected[j].fact) << j;
      } else {
        ASSERT_EQ(simplified.nodes[j].count(), expected[j].count) << j;
      }
    }
    EXPECT_EQ(simplified.has_or, model_has_or);
    if (converted.nodes.size() != simplified.nodes.size()) ++rewritten;

    for (int s = 0; s < 4; ++s) {
      const ValueList state{gen.state()};
      const bool truth = internal_evaluate(nodes, state).is_bool(true);
      EXPECT_EQ(relaxed_truth(converted, manager, state), truth) << node_list_repr(state.values);
      EXPECT_EQ(relaxed_truth(simplified, manager, state), truth) << node_list_repr(state.values);
    }
  }
  EXPECT_GT(rewritten, 500);
}

TEST(ConvertCondition, DeepConditionsNeedNoStack) {
  constexpr std::size_t kDepth = 100'000;
  ExpressionManager manager;
  const FluentTypes types{"int", "bool"};
  // not(not(...not(b)...)): one fact of the whole list.
  NodeList negations{N::fluent(1)};
  for (std::size_t i = 0; i < kDepth; ++i) negations.push_back(N::not_operator(i));
  const RelaxedCondition one = convert_to_heuristic_expression(negations, manager);
  ASSERT_EQ(one.nodes.size(), 1u);
  EXPECT_EQ(manager.get(one.nodes[0].expression()).size(), kDepth + 1);

  // and(and(...and(b, x <= 0)..., x <= k - 1): k facts and k conjunctions.
  NodeList conjunctions{N::fluent(1)};
  for (std::size_t i = 0; i < kDepth; ++i) {
    const std::uint64_t inner = conjunctions.size() - 1;
    conjunctions.push_back(N::fluent(0));
    conjunctions.push_back(N::integer(BigInt(static_cast<std::int64_t>(i))));
    conjunctions.push_back(N::binary_operator(NodeKind::LE, inner + 1, inner + 2));
    conjunctions.push_back(N::list_operator(NodeKind::And, Positions{inner, inner + 3}));
  }
  const RelaxedCondition many =
      simplify_condition(convert_to_heuristic_expression(conjunctions, manager), {}, types, false, manager);
  EXPECT_EQ(many.nodes.size(), 2 * kDepth + 1);

  // not(((x + 1) + 1) ... + 1 <= 5): a deep linear difference, turned around.
  NodeList sum{N::fluent(0)};
  for (std::size_t i = 0; i < kDepth; ++i) {
    const std::uint64_t inner = sum.size() - 1;
    sum.push_back(N::integer(1));
    sum.push_back(N::list_operator(NodeKind::Plus, Positions{inner, inner + 1}));
  }
  sum.push_back(N::integer(5));
  sum.push_back(N::binary_operator(NodeKind::LE, sum.size() - 2, sum.size() - 1));
  sum.push_back(N::not_operator(sum.size() - 1));
  const RelaxedCondition turned =
      simplify_condition(convert_to_heuristic_expression(sum, manager), {}, types, false, manager);
  ASSERT_EQ(turned.nodes.size(), 1u);
  const NodeList& fact = manager.get(turned.nodes[0].expression());
  EXPECT_EQ(fact.back().kind(), NodeKind::LT);
  EXPECT_EQ(fact.front(), N::integer(5));
}

}  // namespace

}  // namespace quendral::testing
