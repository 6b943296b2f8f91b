// Linear forms of numeric expressions and the filing of numeric condition facts: the cases that
// decide linearity by hand, and seeded random expressions against the recursive model, whose
// polynomials must also agree with exact evaluation.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "base/heuristics/relaxation_linear.hpp"
#include "tests/cpp/relaxation_model.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {

namespace {

using namespace model;
using Positions = std::vector<std::uint64_t>;

struct Expected {
  std::optional<double> constant;
  std::vector<std::pair<std::uint64_t, double>> terms;
};

std::optional<LinearPolynomial> linear_of(const Tree& t) { return to_linear_polynomial(nodes_of(t)); }

TEST(LinearPolynomial, DecidesLinearityAsTheRulesSay) {
  struct Case {
    const char* name;
    Tree expression;
    std::optional<Expected> expected;
  };
  const Tree x = F(0), y = F(1);
  const std::vector<Case> cases = {
      {"x - x cancels to nothing", Sub(x, x), Expected{std::nullopt, {}}},
      {"3 + -3 keeps a zero constant", op(NodeKind::Plus, {I(3), I(-3)}), Expected{0.0, {}}},
      {"2*x*3", op(NodeKind::Times, {I(2), x, I(3)}), Expected{std::nullopt, {{0, 6.0}}}},
      {"x*y", op(NodeKind::Times, {x, y}), std::nullopt},
      {"(x - x)*y: the empty polynomial is no constant", op(NodeKind::Times, {Sub(x, x), y}), std::nullopt},
      {"0*x", op(NodeKind::Times, {I(0), x}), Expected{0.0, {}}},
      {"x/2", Div(x, I(2)), Expected{std::nullopt, {{0, 0.5}}}},
      {"x/y", Div(x, y), std::nullopt},
      {"x/0", Div(x, I(0)), std::nullopt},
      {"x/(2 - 2)", Div(x, Sub(I(2), I(2))), std::nullopt},
      {"2*(x + 1) - y, terms by fluent", Sub(op(NodeKind::Times, {I(2), op(NodeKind::Plus, {x, I(1)})}), y),
       Expected{2.0, {{0, 2.0}, {1, -1.0}}}},
      {"y + x sorts its terms", op(NodeKind::Plus, {y, x}), Expected{std::nullopt, {{0, 1.0}, {1, 1.0}}}},
      {"3/2 is a rational constant", Q(3, 2), Expected{1.5, {}}},
      {"a Boolean is not linear", op(NodeKind::Plus, {x, B(true)}), std::nullopt},
      {"an object is not linear", O("a"), std::nullopt},
      {"a comparison is not linear", Le(x, I(1)), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<LinearPolynomial> got = linear_of(c.expression);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->constant, c.expected->constant);
    EXPECT_EQ(got->terms, c.expected->terms);
  }
}

TEST(LinearPolynomial, MalformedStackIsAnInternalFailure) {
  const NodeList lone_plus{ExpressionNode::fluent(0), ExpressionNode::list_operator(NodeKind::Plus, Positions{0, 0})};
  EXPECT_NE(internal_failure_of([&] { to_linear_polynomial(lone_plus); }).find("too few"), std::string::npos);
  EXPECT_NE(internal_failure_of([&] { to_linear_polynomial(NodeList{}); }).find("empty"), std::string::npos);
}

TEST(LinearPolynomial, AgreesWithTheModelAndWithEvaluationOnRandomExpressions) {
  Generator gen(0x1eaf);
  int linear_seen = 0, nonlinear_seen = 0;
  for (int round = 0; round < 3000; ++round) {
    const Tree t = gen.number(4);
    const NodeList nodes = nodes_of(t);
    const std::optional<Poly> expected = linear(t);
    const std::optional<LinearPolynomial> got = to_linear_polynomial(nodes);
    ASSERT_EQ(got.has_value(), expected.has_value()) << node_list_repr(nodes);
    if (!got) {
      ++nonlinear_seen;
      continue;
    }
    ++linear_seen;
    ASSERT_EQ(got->constant.has_value(), expected->constant.has_value()) << node_list_repr(nodes);
    if (got->constant) {
      EXPECT_EQ(*got->constant, utils::big_rational_to_f64(*expected->constant));
    }
    ASSERT_EQ(got->terms.size(), expected->terms.size()) << node_list_repr(nodes);
    std::size_t j = 0;
    for (const auto& [f, c] : expected->terms) {
      EXPECT_EQ(got->terms[j].first, f);
      EXPECT_EQ(got->terms[j].second, utils::big_rational_to_f64(c));
      ++j;
    }
    // The model's exact polynomial is the expression's value in every state.
    for (int s = 0; s < 3; ++s) {
      const ValueList state{gen.state()};
      Rational value = expected->constant.value_or(Rational());
      for (const auto& [f, c] : expected->terms) value = value + c * get_rational_from_expression_node(state.values[f]);
      EXPECT_EQ(get_rational_from_expression_node(internal_evaluate(nodes, state)), value) << node_list_repr(nodes);
    }
  }
  EXPECT_GT(linear_seen, 500);
  EXPECT_GT(nonlinear_seen, 300);
}

TEST(NumericConditions, AreFiledAsSimpleStrictOrComplex) {
  ExpressionManager manager;
  const Tree x = F(0), y = F(1);
  const Expression le = manager.put(nodes_of(Le(op(NodeKind::Times, {I(2), op(NodeKind::Plus, {x, I(1)})}), y)));
  const Expression lt = manager.put(nodes_of(Lt(x, I(5))));
  const Expression not_lt = manager.put(nodes_of(Not(Lt(x, I(5)))));
  const Expression eq = manager.put(nodes_of(Eq(x, I(5))));
  const Expression nonlinear = manager.put(nodes_of(Le(op(NodeKind::Times, {x, y}), I(3))));
  const Expression same = manager.put(nodes_of(Le(x, x)));

  SimpleNumericConditions simple;
  ExpressionSet strict, complex;
  for (const Expression e : {le, lt, not_lt, eq, nonlinear, same, le}) {
    update_numeric_conditions(e, manager, simple, strict, complex, false);
  }
  ASSERT_EQ(simple.size(), 3u);
  EXPECT_EQ(simple[0].condition, le);  // first filing order, a repeat keeps its place
  EXPECT_EQ(*simple.find(le), (SimpleNumericCondition{{0, 1}, {2.0, -1.0, 2.0}}));
  EXPECT_EQ(*simple.find(lt), (SimpleNumericCondition{{0}, {1.0, -5.0}}));
  EXPECT_EQ(*simple.find(same), (SimpleNumericCondition{{}, {0.0}}));
  EXPECT_EQ(std::vector<Expression>(strict.begin(), strict.end()), std::vector<Expression>{lt});
  EXPECT_EQ(std::vector<Expression>(complex.begin(), complex.end()), (std::vector<Expression>{not_lt, eq, nonlinear}));

  SimpleNumericConditions simple_off;
  ExpressionSet strict_off, complex_off;
  for (const Expression e : {le, lt, same}) update_numeric_conditions(e, manager, simple_off, strict_off, complex_off, true);
  EXPECT_TRUE(simple_off.empty());
  EXPECT_TRUE(strict_off.empty());
  EXPECT_EQ(complex_off.size(), 3u);

  EXPECT_FALSE(internal_failure_of([&] {
                 update_numeric_conditions(Expression{99}, manager, simple, strict, complex, false);
               }).empty());
}

}  // namespace

}  // namespace quendral::testing
