// A compiled condition answers exactly as the evaluator does, or declines.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/expressions/expressions_utils.hpp"
#include "base/space/compiled_condition.hpp"
#include "base/space/search_space.hpp"
#include "base/space/search_state.hpp"

namespace quendral {
namespace {

using N = ExpressionNode;

// What `SearchSpace::is_sat` makes of the evaluator's answer: a verdict, or a failure (an error
// raised, or a value that is not a Boolean).
std::optional<bool> evaluator_verdict(const NodeList& nodes, const State& state) {
  try {
    const N value = internal_evaluate(nodes, state);
    if (value.kind() != NodeKind::Bool) return std::nullopt;
    return value.flag();
  } catch (...) {
    return std::nullopt;
  }
}

struct Generator {
  std::mt19937_64 rng;
  std::size_t fluents;

  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

  N value() {
    switch (below(4)) {
      case 0: return N::boolean(true);
      case 1: return N::boolean(false);
      case 2: return N::integer(static_cast<std::int64_t>(below(2)));
      default: return N::object(below(2) == 0 ? "a" : "b");
    }
  }

  // Appends a tree in post-order and returns its root's position. Mostly the shapes that
  // compile (fluent tests under And and Not), now and then anything else.
  std::uint64_t tree(NodeList& nodes, int depth) {
    const std::size_t pick = depth <= 0 ? below(3) : below(10);
    switch (pick) {
      case 0: nodes.push_back(N::fluent(below(fluents + 1))); break;  // sometimes beyond the state
      case 1: nodes.push_back(value()); break;
      case 2: {
        const std::uint64_t f = (nodes.push_back(N::fluent(below(fluents))), nodes.size() - 1);
        const std::uint64_t c = below(4) == 0 ? (nodes.push_back(N::fluent(below(fluents))), nodes.size() - 1)
                                              : (nodes.push_back(value()), nodes.size() - 1);
        nodes.push_back(below(2) == 0 ? N::binary_operator(NodeKind::Equals, f, c)
                                      : N::binary_operator(NodeKind::Equals, c, f));
        break;
      }
      case 3:
      case 4: {
        const std::uint64_t operand = tree(nodes, depth - 1);
        nodes.push_back(N::not_operator(operand));
        break;
      }
      case 5:
      case 6:
      case 7: {
        std::vector<std::uint64_t> operands;
        for (std::size_t k = below(4); k > 0; --k) operands.push_back(tree(nodes, depth - 1));
        nodes.push_back(N::list_operator(NodeKind::And, operands));
        break;
      }
      case 8: {
        const std::uint64_t a = tree(nodes, depth - 1);
        const std::uint64_t b = tree(nodes, depth - 1);
        nodes.push_back(N::binary_operator(below(2) == 0 ? NodeKind::Equals : NodeKind::LE, a, b));
        break;
      }
      default: {
        const std::uint64_t a = tree(nodes, depth - 1);
        nodes.push_back(N::list_operator(below(2) == 0 ? NodeKind::Or : NodeKind::Plus, std::vector<std::uint64_t>{a}));
        break;
      }
    }
    return nodes.size() - 1;
  }
};

TEST(CompiledCondition, AgreesWithTheEvaluatorOnSeededRandomConditions) {
  Generator gen{std::mt19937_64(20261210), 4};
  std::size_t answered = 0, declined_on_state = 0;
  for (int round = 0; round < 20000; ++round) {
    NodeList nodes;
    gen.tree(nodes, 4);
    if (gen.below(8) == 0) {
      // A fluent nobody reads, first in the list: the evaluator still reads it.
      nodes = shift_expression(nodes, 1, false);
      nodes.insert(nodes.begin(), N::fluent(gen.below(gen.fluents + 1)));
    }
    // An operand that does not stand before its user.
    if (gen.below(16) == 0) nodes.push_back(N::not_operator(nodes.size() + gen.below(2)));
    const CompiledCondition compiled(nodes);
    for (int s = 0; s < 4; ++s) {
      NodeList values;
      // Now and then a state one value short, so that the last fluent is beyond it.
      const std::size_t size = gen.fluents + 1 - (gen.below(4) == 0 ? 1 : 0);
      for (std::size_t f = 0; f < size; ++f) values.push_back(gen.value());
      const State state(StateValues(values.begin(), values.end()));
      const std::optional<bool> answer = compiled.test(state.values);
      const std::string where = "round " + std::to_string(round) + " nodes " + node_list_repr(nodes) +
                                " values " + node_list_repr(values);
      if (!answer) {
        if (compiled.compiled()) ++declined_on_state;
        continue;
      }
      ++answered;
      ASSERT_TRUE(compiled.compiled()) << where;
      ASSERT_EQ(answer, evaluator_verdict(nodes, state)) << where;
    }
  }
  // The generator must reach both the answering path and the declining one.
  EXPECT_GT(answered, 20000u);
  EXPECT_GT(declined_on_state, 1000u);
}

TEST(CompiledCondition, CompilesTheGroundedShapesAndDeclinesTheRest) {
  const N a = N::object("a");
  struct Case {
    const char* name;
    NodeList nodes;
    bool compiled;
  };
  const std::vector<Case> cases = {
      {"fact", {N::fluent(0), a, N::binary_operator(NodeKind::Equals, 0, 1)}, true},
      {"nested conjunction of literals",
       {N::fluent(0), N::fluent(1), N::not_operator(1), N::list_operator(NodeKind::And, std::vector<std::uint64_t>{0, 2}),
        N::boolean(true), N::list_operator(NodeKind::And, std::vector<std::uint64_t>{3, 4})},
       true},
      {"a fluent alone", {N::fluent(2)}, true},
      {"true", {N::boolean(true)}, true},
      {"an object as the condition", {a}, false},
      {"a disjunction", {N::fluent(0), N::fluent(1), N::list_operator(NodeKind::Or, std::vector<std::uint64_t>{0, 1})}, false},
      {"a negated conjunction",
       {N::fluent(0), N::list_operator(NodeKind::And, std::vector<std::uint64_t>{0}), N::not_operator(1)},
       false},
      {"an arithmetic node nobody reads",
       {N::integer(1), N::fluent(0), N::integer(2), N::binary_operator(NodeKind::LE, 0, 2), N::boolean(true)},
       false},
      {"an operand after its user", {N::not_operator(1), N::fluent(0)}, false},
      {"an empty list", {}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(CompiledCondition(c.nodes).compiled(), c.compiled) << c.name;
}


// The successor stream skips the actions whose compiled first condition fails on its key; it
// must give exactly what trying every relevant action in order gives, errors included.

struct Outcome {
  std::optional<NodeList> values;  // a successor's values
  std::string error;               // or the error raised
};

std::string describe(const Outcome& o) {
  return o.values ? node_list_repr(*o.values) : "error: " + o.error;
}

NodeList values_of(const State& s) { return NodeList(s.values.begin(), s.values.end()); }

TEST(SuccessorStream, SkipsOnlyActionsThatWouldGiveNothingOnSeededRandomTasks) {
  std::mt19937_64 rng(77);
  auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const N objects[] = {N::object("a"), N::object("b"), N::object("c")};
  std::size_t skipped_somewhere = 0;
  for (int round = 0; round < 150; ++round) {
    const std::size_t fluents = 2 + below(5);
    auto random_value = [&]() { return below(3) == 0 ? N::boolean(below(2) == 0) : objects[below(3)]; };
    NodeList initial;
    for (std::size_t f = 0; f < fluents; ++f) initial.push_back(random_value());
    EventsTable events;
    std::vector<Action> actions;
    const std::size_t count = 3 + below(40);
    for (std::uint64_t a = 0; a < count; ++a) {
      actions.push_back(Action{a});
      NodeList condition;
      std::vector<std::uint64_t> roots;
      // Fluent indices up to one past the state, so that some conditions fail in the evaluator.
      const std::size_t reach = below(10) == 0 ? fluents + 1 : fluents;
      for (std::size_t k = 0, n = 1 + below(3); k < n; ++k) {
        const std::uint64_t f = below(reach);
        switch (below(5)) {
          case 0: condition.push_back(N::fluent(f)); break;
          case 1:
            condition.push_back(N::fluent(f));
            condition.push_back(N::not_operator(condition.size() - 1));
            break;
          case 2: {  // a disjunction: never compiled
            condition.push_back(N::fluent(f));
            condition.push_back(N::boolean(below(2) == 0));
            condition.push_back(N::list_operator(NodeKind::Or,
                                                 std::vector<std::uint64_t>{condition.size() - 2, condition.size() - 1}));
            break;
          }
          default:
            condition.push_back(N::fluent(f));
            condition.push_back(objects[below(3)]);
            condition.push_back(N::binary_operator(NodeKind::Equals, condition.size() - 2, condition.size() - 1));
        }
        roots.push_back(condition.size() - 1);
      }
      if (roots.size() > 1 || below(2) == 0) condition.push_back(N::list_operator(NodeKind::And, roots));
      if (below(25) == 0) condition = {N::integer(3)};  // not a Boolean: the evaluator raises
      std::vector<Effect> effects;
      for (std::size_t k = 0, n = 1 + below(2); k < n; ++k) effects.push_back(Effect{below(fluents), {random_value()}});
      events.insert_or_assign(Action{a}, {{Timing{true, Rational(0)},
                                           Event{Action{a}, 0, std::move(condition), {}, {}, std::move(effects)}}});
    }
    SearchSpace space(std::vector<std::optional<DurationBounds>>(count), std::move(events), actions, std::nullopt,
                      std::nullopt, std::nullopt, initial);
    if (below(2) == 0) {
      // Another order, with repeats and an action beyond the tables.
      std::vector<Action> relevant;
      for (std::size_t k = 0, n = below(2 * count); k < n; ++k) relevant.push_back(Action{below(count + 1)});
      space.set_relevant_actions(relevant);
    }
    std::optional<State> state;
    state.emplace(space.initial_state());
    for (int step = 0; step < 12; ++step) {
      std::vector<Outcome> tried, streamed;
      std::vector<State> children;
      for (const Action action : space.relevant_actions()) {
        try {
          if (std::optional<State> child = space.get_successor_state(*state, action)) {
            tried.push_back({values_of(*child), ""});
            children.push_back(std::move(*child));
          }
        } catch (const std::exception& e) {
          tried.push_back({std::nullopt, e.what()});
        }
      }
      auto it = space.get_successor_states_iter(*state);
      for (;;) {
        try {
          std::optional<State> child = it.next();
          if (!child) break;
          streamed.push_back({values_of(*child), ""});
        } catch (const std::exception& e) {
          streamed.push_back({std::nullopt, e.what()});
        }
      }
      ASSERT_EQ(streamed.size(), tried.size()) << "round " << round << " step " << step;
      for (std::size_t i = 0; i < tried.size(); ++i) {
        ASSERT_EQ(describe(streamed[i]), describe(tried[i])) << "round " << round << " step " << step << " item " << i;
      }
      if (tried.size() < space.relevant_actions().size()) ++skipped_somewhere;
      if (children.empty()) break;
      State next = std::move(children[below(children.size())]);
      state.emplace(std::move(next));
    }
  }
  EXPECT_GT(skipped_somewhere, 100u);
}

}  // namespace
}  // namespace quendral
