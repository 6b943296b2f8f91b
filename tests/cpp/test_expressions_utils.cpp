// Expression algorithms: evaluation (against a reference model on seeded random lists), interning,
// conjunct splitting, re-basing and simplification, with the depth and the number range they
// must survive.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <gmpxx.h>

#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "tests/support/heap_counts.hpp"

namespace quendral::testing {

namespace {

using N = ExpressionNode;
using Positions = std::vector<std::uint64_t>;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::size_t kMillion = 1'000'000;

mpz_class pow2(unsigned bits) {
  mpz_class v = 1;
  v <<= bits;
  return v;
}

N B(bool v) { return N::boolean(v); }
N I(std::int64_t v) { return N::integer(v); }
N I(const mpz_class& v) { return N::integer(BigInt(v)); }
N R(std::int64_t n, std::int64_t d) { return N::rational(Rational(BigInt(n), BigInt(d))); }
N R(const mpz_class& n, const mpz_class& d) { return N::rational(Rational(BigInt(n), BigInt(d))); }
N F(std::uint64_t f) { return N::fluent(f); }
N O(const char* name) { return N::object(name); }
N Not(std::uint64_t a) { return N::not_operator(a); }
N Bin(NodeKind kind, std::uint64_t a, std::uint64_t b) { return N::binary_operator(kind, a, b); }
N List(NodeKind kind, const Positions& ops) { return N::list_operator(kind, ops); }

std::string show(std::span<const N> nodes) {
  std::string out = "[";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i) out += ", ";
    out += nodes[i].repr();
  }
  return out + "]";
}

bool same_list(std::span<const N> a, std::span<const N> b) { return a == b; }

// A state's values: one node per fluent, by index.
struct VectorValues {
  NodeList values;
  const N& get_fluent_value(std::uint64_t fluent) const {
    QUENDRAL_CHECK(fluent < values.size(), "fluent beyond the values");
    return values[fluent];
  }
};
static_assert(FluentValuesTrait<VectorValues>);

FluentAssignments assign(const NodeList& values) {
  FluentAssignments a;
  for (std::size_t f = 0; f < values.size(); ++f) a.assignments.emplace(f, &values[f]);
  return a;
}

// What a call ended in: a value, an engine error, or an internal failure.
struct Outcome {
  enum class Kind { Value, Error, Internal } kind = Kind::Value;
  N value;
  ErrorKind error = ErrorKind::Exception;
  std::string message;

  std::string describe() const {
    switch (kind) {
      case Kind::Value: return value.repr();
      case Kind::Error: return "error " + std::to_string(static_cast<int>(error)) + " \"" + message + '"';
      default: return "internal failure";
    }
  }
  friend bool operator==(const Outcome& a, const Outcome& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == Kind::Value) return a.value == b.value;
    if (a.kind == Kind::Error) return a.error == b.error && a.message == b.message;
    return true;
  }
};

// How gtest shows an outcome in a failed comparison.
void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.describe(); }

template <class F>
Outcome outcome_of(F&& f) {
  Outcome o;
  try {
    o.value = f();
  } catch (const Error& e) {
    o.kind = Outcome::Kind::Error;
    o.error = e.kind();
    o.message = e.message();
  } catch (const InternalFailure&) {
    o.kind = Outcome::Kind::Internal;
  }
  return o;
}

Outcome value_outcome(N v) {
  Outcome o;
  o.value = std::move(v);
  return o;
}
Outcome error_outcome(ErrorKind kind, const char* message) {
  Outcome o;
  o.kind = Outcome::Kind::Error;
  o.error = kind;
  o.message = message;
  return o;
}
Outcome internal_outcome() {
  Outcome o;
  o.kind = Outcome::Kind::Internal;
  return o;
}

template <class Source>
Outcome evaluate(const NodeList& nodes, const Source& source) {
  return outcome_of([&] { return internal_evaluate(nodes, source); });
}

// ---------------------------------------------------------------- reference evaluator
//
// Written straight from the rules, over GMP numbers, one node at a time.

struct RefInternal {};
struct RefError {
  ErrorKind kind;
  const char* message;
};

mpq_class ref_number(const N& v) {
  if (v.kind() == NodeKind::Int) return mpq_class(v.int_value().to_mpz());
  if (v.kind() == NodeKind::Rational) return v.rational_value().to_mpq();
  throw RefError{ErrorKind::ValueError, "Expected a number!"};
}

N ref_node(const mpq_class& q) {
  if (q.get_den() == 1) return N::integer(BigInt(mpz_class(q.get_num())));
  return N::rational(Rational(q));
}

Outcome reference_evaluate(const NodeList& nodes, const std::function<const N*(std::uint64_t)>& lookup) {
  try {
    if (nodes.empty()) throw RefInternal{};
    std::vector<N> v;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const N& n = nodes[i];
      const auto at = [&](std::uint64_t p) -> const N& {
        if (p >= i) throw RefInternal{};
        return v[p];
      };
      const auto num = [&](std::uint64_t p) { return ref_number(at(p)); };
      const std::span<const std::uint64_t> ops = n.operands();
      switch (n.kind()) {
        case NodeKind::Bool:
        case NodeKind::Int:
        case NodeKind::Rational:
        case NodeKind::Object: v.push_back(n); break;
        case NodeKind::Fluent: {
          const N* value = lookup(n.fluent_index());
          if (!value) throw RefInternal{};
          v.push_back(*value);
          break;
        }
        case NodeKind::And: {
          bool all = true;
          for (std::uint64_t p : ops) {
            if (!(at(p) == B(true))) {
              all = false;
              break;
            }
          }
          v.push_back(B(all));
          break;
        }
        case NodeKind::Or: {
          bool any = false;
          for (std::uint64_t p : ops) {
            if (at(p) == B(true)) {
              any = true;
              break;
            }
          }
          v.push_back(B(any));
          break;
        }
        case NodeKind::Not: v.push_back(B(at(ops[0]) == B(false))); break;
        case NodeKind::Equals: {
          const N& a = at(ops[0]);
          const N& b = at(ops[1]);
          v.push_back(B(a == b));
          break;
        }
        case NodeKind::LE:
        case NodeKind::LT: {
          const mpq_class a = num(ops[0]);
          const mpq_class b = num(ops[1]);
          v.push_back(B(n.kind() == NodeKind::LE ? a <= b : a < b));
          break;
        }
        case NodeKind::Plus:
        case NodeKind::Times: {
          if (ops.empty()) throw RefInternal{};
          mpq_class acc = num(ops[0]);
          for (std::size_t k = 1; k < ops.size(); ++k) {
            if (n.kind() == NodeKind::Plus) {
              acc += num(ops[k]);
            } else {
              acc *= num(ops[k]);
            }
          }
          v.push_back(ref_node(acc));
          break;
        }
        case NodeKind::Minus: {
          const mpq_class a = num(ops[0]);
          const mpq_class b = num(ops[1]);
          v.push_back(ref_node(a - b));
          break;
        }
        case NodeKind::Div: {
          const mpq_class a = num(ops[0]);
          const mpq_class b = num(ops[1]);
          if (b == 0) throw RefError{ErrorKind::ZeroDivisionError, "division by zero"};
          v.push_back(ref_node(a / b));
          break;
        }
      }
    }
    return value_outcome(v.back());
  } catch (const RefInternal&) {
    return internal_outcome();
  } catch (const RefError& e) {
    return error_outcome(e.kind, e.message);
  }
}

// Leaves worth meeting: both edges of the inline range, values beyond it, rationals that are
// whole (stored as `Rational`), zeros of both kinds, and non-numbers.
std::vector<N> interesting_leaves() {
  return {
      B(true),  B(false),  I(0),        I(1),      I(-1),       I(2),   I(7),
      I(kMax),  I(kMin),   I(kMax - 1), I(kMin + 1), I(pow2(64)), I(-pow2(70) + 3),
      R(1, 2),  R(-7, 3),  R(2, 1),     R(0, 1),   R(kMax, 2),  R(kMin, 3),
      R(pow2(70) + 1, mpz_class(3)),    R(mpz_class(5), pow2(66) + 1),
      O("a"),   O("b"),
  };
}

// A random list: mostly well formed, sometimes with an operand at or past its node, with
// operands of every kind, and with fluents that the source may not know.
NodeList random_list(std::mt19937_64& rng, const std::vector<N>& leaves, std::uint64_t fluents) {
  const std::size_t size = 1 + rng() % 12;
  NodeList nodes;
  const auto position = [&](std::size_t i) -> std::uint64_t {
    if (i == 0 || rng() % 25 == 0) return i + rng() % 3;  // at or beyond the node
    return rng() % i;
  };
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned pick = static_cast<unsigned>(rng() % 16);
    if (pick < 4) {
      nodes.push_back(leaves[rng() % leaves.size()]);
    } else if (pick < 6) {
      nodes.push_back(F(rng() % (fluents + 1)));  // the last one is unknown
    } else {
      static constexpr NodeKind kOperators[] = {NodeKind::And,   NodeKind::Or,   NodeKind::Not,   NodeKind::Equals,
                                                NodeKind::LE,    NodeKind::LT,   NodeKind::Plus,  NodeKind::Minus,
                                                NodeKind::Times, NodeKind::Div};
      const NodeKind kind = kOperators[rng() % std::size(kOperators)];
      if (kind == NodeKind::Not) {
        nodes.push_back(Not(position(i)));
      } else if (is_binary(kind)) {
        const std::uint64_t a = position(i);
        nodes.push_back(Bin(kind, a, position(i)));
      } else {
        Positions ops;
        const std::size_t count = rng() % 4 + (rng() % 8 == 0 ? 0 : 1);
        for (std::size_t k = 0; k < count; ++k) ops.push_back(position(i));
        nodes.push_back(List(kind, ops));
      }
    }
  }
  return nodes;
}

// ---------------------------------------------------------------- evaluation

TEST(Evaluate, ValuesByKind) {
  const NodeList values = {I(5), B(true), R(3, 4), O("truck"), Bin(NodeKind::LE, 0, 1), B(false)};
  const VectorValues state{values};
  const struct {
    NodeList nodes;
    N want;
  } cases[] = {
      // leaves are copied as they are; a fluent gives the source's node whatever its kind
      {{F(2)}, R(3, 4)},
      {{F(4)}, Bin(NodeKind::LE, 0, 1)},
      {{R(2, 1)}, R(2, 1)},
      {{O("x")}, O("x")},
      // arithmetic results are normalised
      {{I(1), I(2), Bin(NodeKind::Div, 0, 1)}, R(1, 2)},
      {{I(4), I(2), Bin(NodeKind::Div, 0, 1)}, I(2)},
      {{I(-4), I(-1), Bin(NodeKind::Div, 0, 1)}, I(4)},
      {{R(1, 2), R(1, 2), List(NodeKind::Plus, {0, 1})}, I(1)},
      {{R(2, 1), List(NodeKind::Plus, {0})}, I(2)},
      {{R(2, 1), List(NodeKind::Times, {0})}, I(2)},
      {{I(3), R(1, 3), List(NodeKind::Times, {0, 1})}, I(1)},
      {{F(0), I(7), Bin(NodeKind::Minus, 0, 1)}, I(-2)},
      {{F(0), F(0), F(2), List(NodeKind::Times, {0, 1, 2})}, R(75, 4)},
      // comparisons
      {{I(2), R(2, 1), Bin(NodeKind::Equals, 0, 1)}, B(false)},
      {{I(2), R(2, 1), Bin(NodeKind::LE, 0, 1)}, B(true)},
      {{I(2), R(2, 1), Bin(NodeKind::LT, 0, 1)}, B(false)},
      {{R(-1, 3), I(0), Bin(NodeKind::LT, 0, 1)}, B(true)},
      {{O("truck"), F(3), Bin(NodeKind::Equals, 0, 1)}, B(true)},
      {{O("a"), O("b"), Bin(NodeKind::Equals, 0, 1)}, B(false)},
      // connectives: only `Bool` true (false for `Not`) matches
      {{List(NodeKind::And, {})}, B(true)},
      {{List(NodeKind::Or, {})}, B(false)},
      {{I(1), List(NodeKind::And, {0})}, B(false)},
      {{O("x"), List(NodeKind::Or, {0})}, B(false)},
      {{I(0), Not(0)}, B(false)},
      {{B(true), Not(0)}, B(false)},
      {{F(5), Not(0)}, B(true)},
      {{B(false), B(true), List(NodeKind::Or, {0, 1})}, B(true)},
      {{F(1), B(true), List(NodeKind::And, {0, 1})}, B(true)},
      // a decided connective does not look at later operands, not even their positions
      {{B(true), List(NodeKind::Or, {0, 9})}, B(true)},
      {{B(false), List(NodeKind::And, {0, 9})}, B(false)},
      // unused nodes are evaluated too, and the root is the last node
      {{I(1), F(1), B(false)}, B(false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    const Outcome got = evaluate(c.nodes, state);
    EXPECT_EQ(got, value_outcome(c.want)) << got.describe();
    const NodeList copy = c.nodes;
    EXPECT_EQ(evaluate(c.nodes, assign(values)), got) << "the two sources disagree";
    EXPECT_TRUE(same_list(copy, c.nodes));
  }
}

TEST(Evaluate, FailuresArriveInListAndOperandOrder) {
  const NodeList values = {I(5), B(true)};
  const VectorValues state{values};
  const Outcome not_a_number = error_outcome(ErrorKind::ValueError, "Expected a number!");
  const Outcome division_by_zero = error_outcome(ErrorKind::ZeroDivisionError, "division by zero");
  const struct {
    NodeList nodes;
    Outcome want;
  } cases[] = {
      {{B(true), I(1), List(NodeKind::Plus, {0, 1})}, not_a_number},
      {{I(1), I(0), Bin(NodeKind::Div, 0, 1)}, division_by_zero},
      {{I(1), R(0, 1), Bin(NodeKind::Div, 0, 1)}, division_by_zero},
      // the number check of the first operand comes before the position check of the second
      {{B(true), Bin(NodeKind::LE, 0, 7)}, not_a_number},
      {{I(1), Bin(NodeKind::LE, 0, 7)}, internal_outcome()},
      // both operands are read before the zero test
      {{O("x"), I(0), Bin(NodeKind::Div, 0, 1)}, not_a_number},
      {{I(0), I(0), Bin(NodeKind::Div, 1, 2)}, internal_outcome()},
      // every node is evaluated, used or not; the first failure ends the evaluation
      {{I(1), F(99), B(true)}, internal_outcome()},
      {{I(1), I(0), Bin(NodeKind::Div, 0, 1), O("x"), I(1), List(NodeKind::Plus, {3, 4}), B(true)}, division_by_zero},
      {{O("x"), List(NodeKind::Times, {0, 5}), B(true)}, not_a_number},
      // limits of valid input
      {{}, internal_outcome()},
      {{List(NodeKind::Plus, {})}, internal_outcome()},
      {{List(NodeKind::Times, {})}, internal_outcome()},
      {{Not(0)}, internal_outcome()},
      {{B(true), List(NodeKind::And, {0, 1})}, internal_outcome()},
      {{I(1), List(NodeKind::Plus, {0, 0, 2})}, internal_outcome()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    const Outcome got = evaluate(c.nodes, state);
    EXPECT_EQ(got, c.want) << got.describe();
  }
}

TEST(Evaluate, UnknownFluentIsAnInternalFailureOfEitherSource) {
  const NodeList values = {I(1)};
  EXPECT_EQ(evaluate({F(1)}, VectorValues{values}), internal_outcome());
  FluentAssignments sparse;
  sparse.assignments.emplace(7, &values[0]);
  EXPECT_EQ(evaluate({F(7)}, sparse), value_outcome(I(1)));
  EXPECT_EQ(evaluate({F(0)}, sparse), internal_outcome());
  EXPECT_EQ(evaluate({F(7)}, FluentAssignments{}), internal_outcome());
}

TEST(Evaluate, ArithmeticIsExactAcrossTheSixtyFourBitBoundary) {
  const VectorValues none{};
  const mpz_class max = kMax, min = kMin;
  const struct {
    NodeList nodes;
    N want;
  } cases[] = {
      {{I(2147483647), I(1), List(NodeKind::Plus, {0, 1})}, I(2147483648)},
      {{I(kMax), I(1), List(NodeKind::Plus, {0, 1})}, I(max + 1)},
      {{I(kMin), I(1), Bin(NodeKind::Minus, 0, 1)}, I(min - 1)},
      {{I(kMin), I(-1), List(NodeKind::Times, {0, 1})}, I(-min)},
      {{I(kMin), I(-1), Bin(NodeKind::Div, 0, 1)}, I(-min)},
      {{I(kMax), I(kMax), I(kMax), List(NodeKind::Times, {0, 1, 2})}, I(max * max * max)},
      // promoted and back: the result is inline again, equal to a node built inline
      {{I(kMax), I(1), List(NodeKind::Plus, {0, 1}), I(1), Bin(NodeKind::Minus, 2, 3)}, I(kMax)},
      {{I(kMin), I(-1), List(NodeKind::Plus, {0, 1}), I(2), List(NodeKind::Plus, {2, 3})}, I(kMin + 1)},
      {{I(pow2(64)), I(pow2(64)), Bin(NodeKind::Div, 0, 1)}, I(1)},
      // rationals with parts beyond 64 bits
      {{R(pow2(70) + 1, mpz_class(3)), R(mpz_class(3), pow2(70) + 1), List(NodeKind::Times, {0, 1})}, I(1)},
      {{R(kMax, 2), R(kMax, 2), List(NodeKind::Plus, {0, 1})}, I(kMax)},
      {{R(kMax, 3), R(1, kMax), List(NodeKind::Plus, {0, 1})}, R(max * max + 3, 3 * max)},
      {{R(1, kMax), R(1, kMax - 1), Bin(NodeKind::Minus, 0, 1)}, R(mpz_class(-1), max * (max - 1))},
      {{I(pow2(80)), R(1, 3), Bin(NodeKind::LT, 1, 0)}, B(true)},
      {{I(-pow2(80)), I(kMin), Bin(NodeKind::LE, 1, 0)}, B(false)},
      {{I(pow2(80)), R(pow2(80), mpz_class(1)), Bin(NodeKind::Equals, 0, 1)}, B(false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    const Outcome got = evaluate(c.nodes, none);
    EXPECT_EQ(got, value_outcome(c.want)) << got.describe();
    if (got.kind == Outcome::Kind::Value && got.value.kind() == NodeKind::Int) {
      EXPECT_EQ(got.value.int_value().is_small(), mpz_fits_slong_p(got.value.int_value().to_mpz().get_mpz_t()) != 0);
    }
  }
}

TEST(Evaluate, AgreesWithTheReferenceOnRandomLists) {
  std::mt19937_64 rng(0x5eed'e7a1);
  const std::vector<N> leaves = interesting_leaves();
  for (int round = 0; round < 20000; ++round) {
    // The source holds leaves of every kind and, now and then, an operator node.
    NodeList values;
    const std::uint64_t fluents = 1 + rng() % 5;
    for (std::uint64_t f = 0; f < fluents; ++f) {
      values.push_back(rng() % 10 == 0 ? List(NodeKind::Plus, {0}) : leaves[rng() % leaves.size()]);
    }
    const NodeList nodes = random_list(rng, leaves, fluents);
    const Outcome want = reference_evaluate(nodes, [&](std::uint64_t f) -> const N* {
      return f < values.size() ? &values[f] : nullptr;
    });
    const Outcome by_state = evaluate(nodes, VectorValues{values});
    const Outcome by_assignment = evaluate(nodes, assign(values));
    ASSERT_EQ(by_state, want) << show(nodes) << " over " << show(values) << ": got " << by_state.describe()
                              << ", want " << want.describe();
    ASSERT_EQ(by_assignment, want) << show(nodes);
  }
}

TEST(Evaluate, BooleanAndSmallIntegerConditionsDoNotTouchTheHeap) {
  const NodeList values = {I(3), B(true), I(-8), B(false)};
  const VectorValues state{values};
  const FluentAssignments assignments = assign(values);
  const NodeList condition = {
      // (3 + 2 * -8) / 4 = -13/4, an inline rational, >= -4
      F(0), I(2), F(2), List(NodeKind::Times, {1, 2}), List(NodeKind::Plus, {0, 3}), I(4), Bin(NodeKind::Div, 4, 5),
      I(-4), Bin(NodeKind::LE, 7, 6), F(1), Not(9), F(3), List(NodeKind::Or, {10, 11, 9}), I(2), F(0),
      Bin(NodeKind::Minus, 13, 14), I(-1), Bin(NodeKind::Equals, 15, 16), List(NodeKind::And, {8, 12, 17}),
  };
  ASSERT_EQ(evaluate(condition, state), value_outcome(B(true)));
  const auto before = heap_counts();
  for (int k = 0; k < 100; ++k) {
    EXPECT_TRUE(internal_evaluate(condition, state).is_bool(true));
    EXPECT_TRUE(internal_evaluate(condition, assignments).is_bool(true));
  }
  EXPECT_EQ(heap_counts().allocations, before.allocations);
}

TEST(Evaluate, BigIntermediateValuesAreReleasedWithTheCall) {
  const VectorValues none{};
  const NodeList condition = {I(kMax), I(kMax), List(NodeKind::Times, {0, 1}), R(pow2(70) + 1, mpz_class(3)),
                              List(NodeKind::Plus, {2, 3}), I(0), Bin(NodeKind::LT, 5, 4)};
  ASSERT_EQ(evaluate(condition, none), value_outcome(B(true)));
  const auto before = heap_counts();
  for (int k = 0; k < 10; ++k) EXPECT_TRUE(internal_evaluate(condition, none).is_bool(true));
  EXPECT_EQ(heap_counts().live, before.live);
}

// A source that evaluates an expression of its own for each fluent it is asked for, so that
// evaluations nest on one thread.
struct NestedSource {
  NodeList inner;
  const NodeList* values;
  mutable N last;
  const N& get_fluent_value(std::uint64_t fluent) const {
    last = internal_evaluate(inner, VectorValues{*values});
    return fluent == 0 ? last : (*values)[fluent];
  }
};

TEST(Evaluate, NestedEvaluationsKeepTheirOwnValues) {
  const NodeList values = {I(0), I(10)};
  const NestedSource source{{F(1), I(5), List(NodeKind::Plus, {0, 1})}, &values, {}};
  const NodeList outer = {I(1), F(0), F(1), List(NodeKind::Plus, {0, 1, 2})};
  EXPECT_EQ(evaluate(outer, source), value_outcome(I(26)));
}

TEST(Evaluate, MillionDeepChainsNeedNoStack) {
  NodeList nots = {F(0)};
  for (std::uint64_t i = 0; i < kMillion; ++i) nots.push_back(Not(i));
  NodeList plus = {F(0)};
  for (std::uint64_t i = 0; i < kMillion; ++i) {
    plus.push_back(I(1));
    plus.push_back(List(NodeKind::Plus, {plus.size() - 2, plus.size() - 1}));
  }
  const NodeList values = {B(false)};
  EXPECT_EQ(evaluate(nots, VectorValues{values}), value_outcome(B(false)));  // an even number of negations
  // The sum leaves 64 bits a few steps before the root.
  const std::int64_t base = kMax - static_cast<std::int64_t>(kMillion) + 5;
  const NodeList start = {I(base)};
  EXPECT_EQ(evaluate(plus, VectorValues{start}), value_outcome(I(mpz_class(kMax) + 5)));
}

// ---------------------------------------------------------------- interning

TEST(ExpressionManager, HandsOutDenseIdsByStructure) {
  ExpressionManager manager;
  const NodeList t = {B(true)}, f0 = {F(0)};
  EXPECT_EQ(manager.put(t).id, 0u);
  EXPECT_EQ(manager.put(f0).id, 1u);
  EXPECT_EQ(manager.put(NodeList{B(true)}).id, 0u);
  EXPECT_EQ(manager.size(), 2u);
  EXPECT_EQ(manager.put(NodeList{}).id, 2u);
  EXPECT_EQ(manager.put(NodeList{}).id, 2u);
  // structural only: Int 2 and Rational 2/1 differ, and so do reordered lists
  EXPECT_EQ(manager.put(NodeList{I(2)}).id, 3u);
  EXPECT_EQ(manager.put(NodeList{R(2, 1)}).id, 4u);
  EXPECT_EQ(manager.put(NodeList{F(0), F(1), Bin(NodeKind::LE, 0, 1)}).id, 5u);
  EXPECT_EQ(manager.put(NodeList{F(1), F(0), Bin(NodeKind::LE, 1, 0)}).id, 6u);
  EXPECT_EQ(manager.put(NodeList{I(pow2(80))}).id, 7u);
  EXPECT_EQ(manager.put(NodeList{I(pow2(80))}).id, 7u);
  EXPECT_EQ(manager.size(), 8u);
  EXPECT_TRUE(same_list(manager.get(Expression{1}), f0));
  EXPECT_TRUE(same_list(manager.get(Expression{2}), NodeList{}));
  EXPECT_TRUE(Expression{1} < Expression{2});
  EXPECT_EQ(ExpressionHash{}(Expression{3}), ExpressionHash{}(Expression{3}));
}

TEST(ExpressionManager, UnknownIdIsAnInternalFailure) {
  ExpressionManager manager;
  EXPECT_THROW(manager.get(Expression{0}), InternalFailure);
  manager.put(NodeList{B(true)});
  EXPECT_THROW(manager.get(Expression{1}), InternalFailure);
  EXPECT_THROW(manager.get(Expression{std::numeric_limits<std::uint64_t>::max()}), InternalFailure);
}

TEST(ExpressionManager, SeenListsAreFoundWithoutCopying) {
  ExpressionManager manager;
  std::mt19937_64 rng(7);
  // Inline leaves only: hashing a boxed number makes GMP temporaries of its own.
  std::vector<N> leaves;
  for (const N& leaf : interesting_leaves()) {
    if (!detail::holds_box(leaf)) leaves.push_back(leaf);
  }
  std::vector<NodeList> lists;
  for (int k = 0; k < 500; ++k) lists.push_back(random_list(rng, leaves, 3));
  std::vector<Expression> ids;
  for (const NodeList& l : lists) ids.push_back(manager.put(l));
  const auto before = heap_counts();
  for (std::size_t k = 0; k < lists.size(); ++k) {
    ASSERT_EQ(manager.put(lists[k]), ids[k]);
    ASSERT_TRUE(same_list(manager.get(ids[k]), lists[k]));
  }
  EXPECT_EQ(heap_counts().allocations, before.allocations);
  const std::size_t interned = manager.size();
  for (const NodeList& l : lists) manager.put(l);
  EXPECT_EQ(manager.size(), interned);
  for (std::size_t k = 0; k < ids.size(); ++k) EXPECT_LT(ids[k].id, manager.size());
}

TEST(ExpressionManager, InternedListsStayInPlaceWhileOthersAreInterned) {
  // Heuristics hold an interned list while they intern further ones.
  ExpressionManager manager;
  const NodeList& first = manager.get(manager.put(NodeList{F(0)}));
  for (std::uint64_t f = 1; f < 10; ++f) manager.put(NodeList{F(f)});
  EXPECT_EQ(first.size(), 1u);
  EXPECT_TRUE(same_list(first, NodeList{F(0)}));

  // At scale, and for lists that own boxes: each list stays where `get` first showed it.
  std::vector<const NodeList*> seen;
  const auto list_of = [](std::uint64_t k) {
    return NodeList{F(k), I(pow2(70) + k), List(NodeKind::Plus, {0, 1})};
  };
  for (std::uint64_t k = 0; k < 5000; ++k) seen.push_back(&manager.get(manager.put(list_of(k))));
  for (std::uint64_t k = 0; k < seen.size(); ++k) {
    ASSERT_EQ(&manager.get(Expression{10 + k}), seen[k]);
    ASSERT_TRUE(same_list(*seen[k], list_of(k))) << k;
  }
  EXPECT_TRUE(same_list(first, NodeList{F(0)}));
}

// ---------------------------------------------------------------- conjuncts

TEST(SplitExpression, CutsTheRootConjunctionIntoRebasedBlocks) {
  const struct {
    NodeList nodes;
    std::vector<NodeList> want;
  } cases[] = {
      {{F(0), F(1), Bin(NodeKind::Equals, 0, 1), B(true), List(NodeKind::And, {2, 3})},
       {{F(0), F(1), Bin(NodeKind::Equals, 0, 1)}, {B(true)}}},
      // only the top level is split
      {{F(0), F(1), List(NodeKind::And, {0, 1}), F(2), Not(3), List(NodeKind::And, {2, 4})},
       {{F(0), F(1), List(NodeKind::And, {0, 1})}, {F(2), Not(0)}}},
      // every operator kind is re-based; leaves, fluent indices included, are not
      {{B(true), F(4), I(1), List(NodeKind::Plus, {1, 2}), F(9), Bin(NodeKind::LT, 3, 4), F(3), Not(6),
        List(NodeKind::Or, {5, 7}), List(NodeKind::And, {0, 8})},
       {{B(true)},
        {F(4), I(1), List(NodeKind::Plus, {0, 1}), F(9), Bin(NodeKind::LT, 2, 3), F(3), Not(5),
         List(NodeKind::Or, {4, 6})}}},
      // nodes between the blocks that the conjunct does not reach are kept; nodes after the last one are not
      {{I(5), B(true), I(6), B(false), List(NodeKind::And, {1, 3})}, {{I(5), B(true)}, {I(6), B(false)}}},
      {{B(true), I(5), List(NodeKind::And, {0})}, {{B(true)}}},
      // a repeated operand gives an empty conjunct
      {{F(0), F(1), Bin(NodeKind::Equals, 0, 1), List(NodeKind::And, {2, 2})},
       {{F(0), F(1), Bin(NodeKind::Equals, 0, 1)}, {}}},
      {{List(NodeKind::And, {})}, {}},
      // anything else is its own conjunct
      {{}, {{}}},
      {{F(0)}, {{F(0)}}},
      {{B(true), B(false), List(NodeKind::Or, {0, 1})}, {{B(true), B(false), List(NodeKind::Or, {0, 1})}}},
      {{F(0), I(3), Bin(NodeKind::LE, 0, 1)}, {{F(0), I(3), Bin(NodeKind::LE, 0, 1)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    const std::vector<NodeList> got = split_expression(c.nodes);
    ASSERT_EQ(got.size(), c.want.size());
    for (std::size_t k = 0; k < got.size(); ++k) EXPECT_TRUE(same_list(got[k], c.want[k])) << show(got[k]);
  }
}

TEST(SplitExpression, BrokenLayoutsFailOrFailWhenUsed) {
  // roots out of order or beyond the list
  EXPECT_THROW(split_expression(NodeList{B(true), B(true), List(NodeKind::And, {1, 0})}), InternalFailure);
  EXPECT_THROW(split_expression(NodeList{B(true), List(NodeKind::And, {0, 5})}), InternalFailure);
  // a node shared between conjuncts is re-based out of its conjunct; using that conjunct fails
  const auto conjuncts =
      split_expression(NodeList{F(0), Not(0), Bin(NodeKind::Equals, 0, 1), List(NodeKind::And, {1, 2})});
  ASSERT_EQ(conjuncts.size(), 2u);
  EXPECT_EQ(conjuncts[1].size(), 1u);
  const NodeList values = {B(true)};
  EXPECT_EQ(evaluate(conjuncts[1], VectorValues{values}), internal_outcome());
}

TEST(SplitExpression, ConjunctsEvaluateLikeTheirSubtrees) {
  // A random conjunction of random (well-formed) subtrees: each conjunct evaluates as the
  // subtree did in place, and the conjunction holds exactly when every conjunct is true.
  std::mt19937_64 rng(0x5eed'5917);
  const NodeList values = {I(3), B(true), R(1, 2), B(false)};
  const VectorValues state{values};
  for (int round = 0; round < 2000; ++round) {
    NodeList nodes;
    Positions roots;
    std::vector<NodeList> subtrees;
    const std::size_t parts = rng() % 5;
    for (std::size_t k = 0; k < parts; ++k) {
      NodeList sub;
      sub.push_back(F(rng() % 4));
      for (std::size_t extra = rng() % 4; extra > 0; --extra) {
        sub.push_back(rng() % 2 ? Not(sub.size() - 1) : Bin(NodeKind::Equals, rng() % sub.size(), sub.size() - 1));
        if (rng() % 2) sub.back() = Bin(NodeKind::Equals, rng() % (sub.size() - 1), sub.size() - 2);
      }
      subtrees.push_back(sub);
      const NodeList shifted = shift_expression(sub, nodes.size(), false);
      nodes.insert(nodes.end(), shifted.begin(), shifted.end());
      roots.push_back(nodes.size() - 1);
    }
    nodes.push_back(List(NodeKind::And, roots));
    const auto conjuncts = split_expression(nodes);
    ASSERT_EQ(conjuncts.size(), parts) << show(nodes);
    bool all = true;
    for (std::size_t k = 0; k < parts; ++k) {
      ASSERT_TRUE(same_list(conjuncts[k], subtrees[k])) << show(conjuncts[k]) << " vs " << show(subtrees[k]);
      all = all && internal_evaluate(conjuncts[k], state).is_bool(true);
    }
    EXPECT_EQ(internal_evaluate(nodes, state).is_bool(true), all);
  }
}

// ---------------------------------------------------------------- shifting

TEST(ShiftExpression, MovesEveryOperandPositionAndNothingElse) {
  const NodeList nodes = {I(1), F(7), List(NodeKind::Plus, {0, 1}), Not(2), Bin(NodeKind::Div, 0, 3), O("o"),
                          R(1, 2), B(true), List(NodeKind::And, {})};
  const NodeList up = {I(1), F(7), List(NodeKind::Plus, {3, 4}), Not(5), Bin(NodeKind::Div, 3, 6), O("o"),
                       R(1, 2), B(true), List(NodeKind::And, {})};
  EXPECT_TRUE(same_list(shift_expression(nodes, 3, false), up));
  EXPECT_TRUE(same_list(shift_expression(up, 3, true), nodes));
  EXPECT_TRUE(same_list(shift_expression(nodes, 0, true), nodes));
  EXPECT_TRUE(do_shift(Bin(NodeKind::LE, 4, 9), 4, true) == Bin(NodeKind::LE, 0, 5));
  EXPECT_TRUE(do_shift(F(3), 100, true) == F(3));
}

TEST(ShiftExpression, PositionsLeavingTheRangeOverflow) {
  const auto overflow = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no overflow";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Exception);
      EXPECT_EQ(e.message(), "Overflow");
    }
  };
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  const NodeList nodes = {I(1), F(7), List(NodeKind::Plus, {0, 1})};
  overflow([&] { shift_expression(nodes, 1, true); });
  overflow([&] { shift_expression(nodes, kTop, false); });
  overflow([&] { do_shift(Bin(NodeKind::Minus, 5, 2), 3, true); });  // the second position fails
  overflow([&] { do_shift(Not(kTop), 1, false); });
  EXPECT_TRUE(do_shift(Not(kTop - 1), 1, false) == Not(kTop));
  EXPECT_TRUE(do_shift(List(NodeKind::Times, {kTop - 5, 0}), 5, false) == List(NodeKind::Times, {kTop, 5}));
  // lists without operator nodes never fail
  const NodeList leaves = {I(1), F(kTop), B(true), O("x"), R(1, 3)};
  EXPECT_TRUE(same_list(shift_expression(leaves, kTop, false), leaves));
  EXPECT_TRUE(same_list(shift_expression(leaves, kTop, true), leaves));
}

TEST(SplitAndShift, MillionDeepConjunctsNeedNoStack) {
  NodeList nodes = {F(0)};
  for (std::uint64_t i = 0; i < kMillion; ++i) nodes.push_back(Not(i));
  nodes.push_back(B(true));
  nodes.push_back(List(NodeKind::And, {kMillion, kMillion + 1}));
  const auto conjuncts = split_expression(nodes);
  ASSERT_EQ(conjuncts.size(), 2u);
  EXPECT_EQ(conjuncts[0].size(), kMillion + 1);
  EXPECT_TRUE(same_list(conjuncts[1], NodeList{B(true)}));
  const NodeList shifted = shift_expression(conjuncts[0], kMillion, false);
  EXPECT_TRUE(shifted.back() == Not(2 * kMillion - 1));
  EXPECT_TRUE(same_list(shift_expression(shifted, kMillion, true), conjuncts[0]));
}

// ---------------------------------------------------------------- simplification

NodeList simplified(const NodeList& nodes, const FluentValueMap& assignments = {}) {
  return simplify(nodes, assignments);
}

TEST(Simplify, DecidesFoldsAndCompacts) {
  const struct {
    NodeList nodes;
    FluentValueMap assignments;
    NodeList want;
  } cases[] = {
      {{F(0), I(3), Bin(NodeKind::LE, 0, 1)}, {{0, I(2)}}, {B(true)}},
      {{F(0), I(3), Bin(NodeKind::LE, 0, 1)}, {}, {F(0), I(3), Bin(NodeKind::LE, 0, 1)}},
      {{F(0), I(3), Bin(NodeKind::LE, 0, 1)}, {{1, I(2)}}, {F(0), I(3), Bin(NodeKind::LE, 0, 1)}},
      // folds keep the first number's place
      {{I(1), F(0), I(2), List(NodeKind::Plus, {0, 1, 2})}, {}, {I(3), F(0), List(NodeKind::Plus, {0, 1})}},
      {{F(0), I(1), I(2), List(NodeKind::Plus, {0, 1, 2})}, {}, {F(0), I(3), List(NodeKind::Plus, {0, 1})}},
      {{I(2), F(0), R(1, 4), List(NodeKind::Times, {0, 1, 2})}, {}, {R(1, 2), F(0), List(NodeKind::Times, {0, 1})}},
      {{F(0), I(0), List(NodeKind::Times, {0, 1})}, {}, {F(0), I(0), List(NodeKind::Times, {0, 1})}},
      {{I(2), I(3), List(NodeKind::Times, {0, 1})}, {}, {I(6)}},
      {{R(2, 1), List(NodeKind::Plus, {0})}, {}, {I(2)}},
      {{List(NodeKind::Plus, {})}, {}, {List(NodeKind::Plus, {})}},
      {{F(0), F(1), List(NodeKind::Plus, {0, 1})}, {}, {F(0), F(1), List(NodeKind::Plus, {0, 1})}},
      // division
      {{I(1), I(2), Bin(NodeKind::Div, 0, 1)}, {}, {R(1, 2)}},
      {{I(4), I(2), Bin(NodeKind::Div, 0, 1)}, {}, {I(2)}},
      {{F(0), I(0), Bin(NodeKind::Div, 0, 1)}, {}, {F(0), I(0), Bin(NodeKind::Div, 0, 1)}},
      {{I(5), I(7), Bin(NodeKind::Minus, 0, 1)}, {}, {I(-2)}},
      // constants
      {{R(4, 2)}, {}, {I(2)}},
      {{F(0)}, {{0, R(2, 1)}}, {R(2, 1)}},
      {{I(5), B(true)}, {}, {B(true)}},
      // connectives
      {{B(true), F(0), F(1), Bin(NodeKind::Equals, 1, 2), List(NodeKind::And, {0, 3})},
       {},
       {F(0), F(1), Bin(NodeKind::Equals, 0, 1)}},
      {{B(true), List(NodeKind::And, {0})}, {}, {B(true)}},
      {{F(0), B(false), List(NodeKind::And, {0, 1})}, {}, {B(false)}},
      {{F(0), F(1), List(NodeKind::And, {0, 1})}, {{1, B(true)}}, {F(0)}},
      // a lone operand moves up with the constant of its fold
      {{F(0), I(1), I(2), List(NodeKind::Plus, {0, 1, 2}), List(NodeKind::And, {3})},
       {},
       {F(0), I(3), List(NodeKind::Plus, {0, 1})}},
      {{F(0), I(1), I(2), List(NodeKind::Times, {0, 1, 2}), B(false), List(NodeKind::Or, {4, 3})},
       {},
       {F(0), I(2), List(NodeKind::Times, {0, 1})}},
      {{F(0), F(1), B(false), List(NodeKind::Or, {0, 1, 2})}, {}, {F(0), F(1), List(NodeKind::Or, {0, 1})}},
      {{F(0), B(true), F(1), List(NodeKind::Or, {0, 1, 2})}, {}, {B(true)}},
      {{B(true), List(NodeKind::Or, {0, 7})}, {}, {B(true)}},
      {{List(NodeKind::And, {})}, {}, {B(true)}},
      {{List(NodeKind::Or, {})}, {}, {B(false)}},
      {{I(1), I(1), Bin(NodeKind::Equals, 0, 1), Not(2)}, {}, {B(false)}},
      {{F(0), Not(0)}, {}, {F(0), Not(0)}},
      // equality: structure first, then value; other constants are not decided
      {{F(0), F(0), Bin(NodeKind::Equals, 0, 1)}, {}, {B(true)}},
      {{I(2), R(2, 1), Bin(NodeKind::Equals, 0, 1)}, {}, {B(true)}},
      {{I(2), F(0), Bin(NodeKind::Equals, 0, 1)}, {{0, R(2, 1)}}, {B(true)}},
      {{O("a"), O("b"), Bin(NodeKind::Equals, 0, 1)}, {}, {O("a"), O("b"), Bin(NodeKind::Equals, 0, 1)}},
      {{B(true), B(false), Bin(NodeKind::Equals, 0, 1)}, {}, {B(true), B(false), Bin(NodeKind::Equals, 0, 1)}},
      {{O("a"), F(0), Bin(NodeKind::Equals, 0, 1)}, {{0, O("a")}}, {B(true)}},
      // comparisons need two numbers
      {{B(true), I(1), Bin(NodeKind::LT, 0, 1)}, {}, {B(true), I(1), Bin(NodeKind::LT, 0, 1)}},
      {{R(1, 3), R(1, 2), Bin(NodeKind::LT, 0, 1)}, {}, {B(true)}},
      // compaction renumbers in post-order, operands first to last
      {{F(1), F(0), I(1), List(NodeKind::Plus, {1, 2}), Bin(NodeKind::LE, 3, 0)},
       {},
       {F(0), I(1), List(NodeKind::Plus, {0, 1}), F(1), Bin(NodeKind::LE, 2, 3)}},
      // a node reached along two paths is emitted once per path
      {{F(0), F(1), List(NodeKind::Plus, {0, 1}), Bin(NodeKind::LE, 2, 2)},
       {},
       {F(0), F(1), List(NodeKind::Plus, {0, 1}), F(0), F(1), List(NodeKind::Plus, {3, 4}), Bin(NodeKind::LE, 2, 5)}},
      // numbers beyond 64 bits
      {{I(kMax), I(1), List(NodeKind::Plus, {0, 1}), I(1), Bin(NodeKind::Minus, 2, 3)}, {}, {I(kMax)}},
      {{R(pow2(70) + 1, mpz_class(3)), I(3), List(NodeKind::Times, {0, 1})}, {}, {I(pow2(70) + 1)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    const NodeList copy = c.nodes;
    const NodeList got = simplified(c.nodes, c.assignments);
    EXPECT_TRUE(same_list(got, c.want)) << show(got);
    EXPECT_TRUE(same_list(copy, c.nodes));
  }
}

TEST(Simplify, FailuresAndLimits) {
  try {
    simplified({I(1), I(0), Bin(NodeKind::Div, 0, 1)});
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::ZeroDivisionError);
    EXPECT_EQ(e.message(), "division by zero");
  }
  EXPECT_THROW(simplified({}), InternalFailure);
  EXPECT_THROW(simplified({Not(0)}), InternalFailure);
  EXPECT_THROW(simplified({B(true), List(NodeKind::Plus, {0, 2})}), InternalFailure);
  EXPECT_THROW(simplified({F(0), B(true), List(NodeKind::And, {1, 0, 3})}), InternalFailure);
  // an operator given as a value: its positions are read in the list; a cycle, or one beyond the
  // list, fails
  EXPECT_TRUE(same_list(simplified({I(4), F(0)}, {{0, Not(0)}}), NodeList{I(4), Not(0)}));
  EXPECT_THROW(simplified({F(0)}, {{0, Not(0)}}), InternalFailure);
  EXPECT_THROW(simplified({I(1), F(0)}, {{0, Not(5)}}), InternalFailure);
}

TEST(Simplify, AFoldDoesNotChangeANodeSharedWithAnotherOperator) {
  // (1 + x + 2) <= (1 + x), with the node of 1 shared by both sums: the left fold must not turn
  // the right sum's 1 into 3.
  const NodeList nodes = {I(1), F(0), I(2), List(NodeKind::Plus, {0, 1, 2}), List(NodeKind::Plus, {0, 1}),
                          Bin(NodeKind::LE, 3, 4)};
  const NodeList want = {I(3), F(0), List(NodeKind::Plus, {0, 1}), I(1), F(0), List(NodeKind::Plus, {3, 4}),
                         Bin(NodeKind::LE, 2, 5)};
  const NodeList got = simplified(nodes);
  EXPECT_TRUE(same_list(got, want)) << show(got);
  const NodeList values = {I(0)};
  EXPECT_EQ(evaluate(got, VectorValues{values}), evaluate(nodes, VectorValues{values}));
}

TEST(Simplify, EqualityOfSharedSumsSeesTheirFolds) {
  // Sums over the same operand nodes are one structure only when they fold to the same constant
  // in the same place.
  const N x = F(0), one = I(1), two = I(2), five = I(5);
  const auto sum = [](const Positions& ops) { return List(NodeKind::Plus, ops); };
  const struct {
    NodeList nodes;
    NodeList want;
  } cases[] = {
      // x + 1 + 2 == x + 1: the left sum folds, the right one does not
      {{x, one, two, sum({0, 1, 2}), sum({0, 1}), Bin(NodeKind::Equals, 3, 4)},
       {x, I(3), sum({0, 1}), x, one, sum({3, 4}), Bin(NodeKind::Equals, 2, 5)}},
      {{x, one, two, sum({0, 1, 2}), sum({0, 1}), Bin(NodeKind::LE, 4, 3)},
       {x, one, sum({0, 1}), x, I(3), sum({3, 4}), Bin(NodeKind::LE, 2, 5)}},
      // both fold, to different constants
      {{x, one, two, five, sum({0, 1, 2}), sum({0, 1, 3}), Bin(NodeKind::Equals, 4, 5)},
       {x, I(3), sum({0, 1}), x, I(6), sum({3, 4}), Bin(NodeKind::Equals, 2, 5)}},
      // both fold to the same constant: equal
      {{x, one, two, sum({0, 1, 2}), sum({0, 1, 2}), Bin(NodeKind::Equals, 3, 4)}, {B(true)}},
      // both unchanged: equal
      {{x, F(1), sum({0, 1}), sum({0, 1}), Bin(NodeKind::Equals, 2, 3)}, {B(true)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    const NodeList got = simplified(c.nodes);
    EXPECT_TRUE(same_list(got, c.want)) << show(got);
    for (const std::int64_t v : {-3, 0, 2}) {
      const NodeList values = {I(v), I(7)};
      EXPECT_EQ(evaluate(got, VectorValues{values}), evaluate(c.nodes, VectorValues{values})) << v;
    }
  }
}

// Random well-typed trees: connectives over conditions, arithmetic over numbers. Numeric fluents
// hold integers or rationals that are not whole, so that structural and numeric equality agree.
class TreeMaker {
 public:
  explicit TreeMaker(std::uint64_t seed) : rng_(seed) {}
  std::mt19937_64& rng() { return rng_; }

  NodeList condition() {
    nodes_.clear();
    boolean(3);
    return nodes_;
  }
  N numeric_value() {
    switch (rng_() % 4) {
      case 0: return I(static_cast<std::int64_t>(rng_() % 7) - 3);
      case 1: return R(static_cast<std::int64_t>(rng_() % 9) * 2 - 7, 2);
      case 2: return I(rng_() % 2 ? kMax : kMin);
      default: return R(pow2(65) + 1, mpz_class(rng_() % 2 ? 2 : 4));
    }
  }

  static constexpr std::uint64_t kNumericFluents = 3;  // 0..2 numeric, 3..5 Boolean
  static constexpr std::uint64_t kFluents = 6;

 private:
  std::uint64_t emit(N node) {
    nodes_.push_back(std::move(node));
    return nodes_.size() - 1;
  }
  std::uint64_t number(int depth) {
    if (depth == 0 || rng_() % 3 == 0) {
      return rng_() % 2 ? emit(F(rng_() % kNumericFluents)) : emit(numeric_value());
    }
    static constexpr NodeKind kKinds[] = {NodeKind::Plus, NodeKind::Times, NodeKind::Minus, NodeKind::Div};
    const NodeKind kind = kKinds[rng_() % 4];
    if (is_binary(kind)) {
      const std::uint64_t a = number(depth - 1);
      return emit(Bin(kind, a, number(depth - 1)));
    }
    Positions ops;
    for (std::size_t k = 1 + rng_() % 3; k > 0; --k) ops.push_back(number(depth - 1));
    return emit(List(kind, ops));
  }
  std::uint64_t boolean(int depth) {
    if (depth == 0 || rng_() % 4 == 0) {
      return rng_() % 3 ? emit(F(kNumericFluents + rng_() % (kFluents - kNumericFluents))) : emit(B(rng_() % 2));
    }
    switch (rng_() % 5) {
      case 0:
      case 1: {
        Positions ops;
        for (std::size_t k = rng_() % 4; k > 0; --k) ops.push_back(boolean(depth - 1));
        return emit(List(rng_() % 2 ? NodeKind::And : NodeKind::Or, ops));
      }
      case 2: return emit(Not(boolean(depth - 1)));
      case 3: {
        const std::uint64_t a = boolean(depth - 1);
        return emit(Bin(NodeKind::Equals, a, boolean(depth - 1)));
      }
      default: {
        static constexpr NodeKind kKinds[] = {NodeKind::Equals, NodeKind::LE, NodeKind::LT};
        const NodeKind kind = kKinds[rng_() % 3];
        const std::uint64_t a = number(depth - 1);
        return emit(Bin(kind, a, number(depth - 1)));
      }
    }
  }

  std::mt19937_64 rng_;
  NodeList nodes_;
};

// A simplified list is a tree in post-order: every operand stands before its user and every node
// but the root is used exactly once.
void expect_post_order_tree(const NodeList& nodes) {
  std::vector<int> uses(nodes.size(), 0);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    for (const std::uint64_t p : nodes[i].operands()) {
      ASSERT_LT(p, i) << show(nodes);
      ++uses[p];
    }
  }
  for (std::size_t i = 0; i + 1 < nodes.size(); ++i) EXPECT_EQ(uses[i], 1) << i << " in " << show(nodes);
}

TEST(Simplify, KeepsTheValueOfRandomConditions) {
  TreeMaker maker(0x5eed'51f1);
  int decided = 0;
  for (int round = 0; round < 5000; ++round) {
    const NodeList nodes = maker.condition();
    NodeList values;
    for (std::uint64_t f = 0; f < TreeMaker::kFluents; ++f) {
      values.push_back(f < TreeMaker::kNumericFluents ? maker.numeric_value() : B(maker.rng()() % 2));
    }
    const Outcome want = evaluate(nodes, VectorValues{values});
    if (want.kind != Outcome::Kind::Value) continue;  // a division by zero somewhere
    FluentValueMap partial, full;
    for (std::uint64_t f = 0; f < values.size(); ++f) {
      full.emplace(f, values[f]);
      if (maker.rng()() % 2) partial.emplace(f, values[f]);
    }
    for (const FluentValueMap* assignments : {&partial, &full}) {
      NodeList result;
      ASSERT_NO_THROW(result = simplify(nodes, *assignments)) << show(nodes);
      expect_post_order_tree(result);
      ASSERT_EQ(evaluate(result, VectorValues{values}), want) << show(nodes) << " -> " << show(result);
      if (assignments == &full) {
        // nothing is left to look up
        ASSERT_EQ(evaluate(result, FluentAssignments{}), want) << show(result);
        decided += result.size() == 1;
      }
    }
  }
  EXPECT_GT(decided, 1000);  // the generator exercises full decisions, not only partial ones
}

// Random well-typed lists in which every operator takes its operands from anywhere before it, so
// that nodes are shared between operators and repeated within one. Recent results are picked
// more often, and a sum often extends the operands of the one before, so that sums over the same
// nodes, folded to different constants, meet in one comparison.
NodeList shared_condition(TreeMaker& maker) {
  std::mt19937_64& rng = maker.rng();
  NodeList nodes;
  Positions numbers, conditions, last_sum;
  const auto emit = [&](N node, Positions& into) {
    into.push_back(nodes.size());
    nodes.push_back(std::move(node));
  };
  const auto pick = [&](const Positions& from) {
    const std::size_t window = rng() % 2 ? std::min<std::size_t>(from.size(), 3) : from.size();
    return from[from.size() - 1 - rng() % window];
  };
  const auto small_int = [&] { return I(static_cast<std::int64_t>(rng() % 3)); };
  emit(F(rng() % TreeMaker::kNumericFluents), numbers);
  emit(F(TreeMaker::kNumericFluents + rng() % (TreeMaker::kFluents - TreeMaker::kNumericFluents)), conditions);
  for (int k = 0; k < 2; ++k) emit(rng() % 2 ? small_int() : maker.numeric_value(), numbers);
  const std::size_t operators = 2 + rng() % 8;
  for (std::size_t k = 0; k < operators; ++k) {
    const bool root = k + 1 == operators;
    switch (rng() % (root ? 5 : 10)) {
      case 0: {
        Positions ops;
        for (std::size_t n = rng() % 4; n > 0; --n) ops.push_back(pick(conditions));
        emit(List(rng() % 2 ? NodeKind::And : NodeKind::Or, ops), conditions);
        break;
      }
      case 1: emit(Not(pick(conditions)), conditions); break;
      case 2:
      case 3: {
        const Positions& from = rng() % 4 ? numbers : conditions;
        const std::uint64_t a = pick(from);
        emit(Bin(NodeKind::Equals, a, pick(from)), conditions);
        break;
      }
      case 4: {
        const std::uint64_t a = pick(numbers);
        emit(Bin(rng() % 2 ? NodeKind::LE : NodeKind::LT, a, pick(numbers)), conditions);
        break;
      }
      case 5: emit(rng() % 2 ? F(rng() % TreeMaker::kNumericFluents) : small_int(), numbers); break;
      case 6: {
        const std::uint64_t a = pick(numbers);
        emit(Bin(rng() % 2 ? NodeKind::Minus : NodeKind::Div, a, pick(numbers)), numbers);
        break;
      }
      default: {
        Positions ops;
        if (!last_sum.empty() && rng() % 2) ops = last_sum;
        for (std::size_t n = 1 + rng() % 2; n > 0; --n) ops.push_back(pick(numbers));
        last_sum = ops;
        emit(List(rng() % 3 ? NodeKind::Plus : NodeKind::Times, ops), numbers);
        break;
      }
    }
  }
  return nodes;
}

TEST(Simplify, KeepsTheValueOfRandomListsWithSharedNodes) {
  TreeMaker maker(0x5ea1'ed51);
  int decided = 0, kept = 0;
  for (int round = 0; round < 20000; ++round) {
    const NodeList nodes = shared_condition(maker);
    NodeList values;
    for (std::uint64_t f = 0; f < TreeMaker::kFluents; ++f) {
      values.push_back(f < TreeMaker::kNumericFluents ? maker.numeric_value() : B(maker.rng()() % 2));
    }
    const Outcome want = evaluate(nodes, VectorValues{values});
    if (want.kind != Outcome::Kind::Value) continue;  // a division by zero somewhere
    FluentValueMap none, partial, full;
    for (std::uint64_t f = 0; f < values.size(); ++f) {
      full.emplace(f, values[f]);
      if (maker.rng()() % 2) partial.emplace(f, values[f]);
    }
    for (const FluentValueMap* assignments : {&none, &partial, &full}) {
      NodeList result;
      ASSERT_NO_THROW(result = simplify(nodes, *assignments)) << show(nodes);
      expect_post_order_tree(result);
      ASSERT_EQ(evaluate(result, VectorValues{values}), want) << show(nodes) << " -> " << show(result);
      (result.size() == 1 ? decided : kept) += 1;
    }
  }
  // both outcomes are common, so the rules meet each other on shared nodes
  EXPECT_GT(decided, 5000);
  EXPECT_GT(kept, 5000);
}

TEST(Simplify, OperatorValuesAreFollowedWhereverTheyPoint) {
  // An operator node given as a fluent's value keeps its operand positions, which are read in the
  // list being simplified, also at or after the value's own position. Only a position beyond the
  // list, or a cycle, fails.
  const auto plus = [](const Positions& ops) { return List(NodeKind::Plus, ops); };
  const struct {
    NodeList nodes;
    FluentValueMap assignments;
    std::optional<NodeList> want;  // none: an internal failure
  } cases[] = {
      {{F(0), I(4), List(NodeKind::And, {0, 1})},
       {{0, Not(1)}},
       NodeList{I(4), Not(0), I(4), List(NodeKind::And, {1, 2})}},
      // values that lead through each other
      {{F(0), F(1), F(2), Not(0)}, {{0, Not(2)}, {2, Not(1)}}, NodeList{F(1), Not(0), Not(1), Not(2)}},
      // a node reached from a value and from the list is shared, not a cycle
      {{F(0), F(1), plus({0, 1})}, {{0, plus({1, 1})}}, NodeList{F(1), F(1), plus({0, 1}), F(1), plus({2, 3})}},
      // positions the root does not reach are not looked at
      {{F(0), I(1)}, {{0, Not(9)}}, NodeList{I(1)}},
      // cycles
      {{F(0), F(1), List(NodeKind::And, {0, 1})}, {{0, Not(1)}, {1, Not(0)}}, std::nullopt},
      {{F(0), I(1), plus({0, 1})}, {{0, plus({1, 2})}}, std::nullopt},  // back to the root
      // beyond the list
      {{F(0), I(1), Bin(NodeKind::LE, 0, 1)}, {{0, Bin(NodeKind::Minus, 1, 3)}}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(show(c.nodes));
    if (!c.want) {
      EXPECT_THROW(simplified(c.nodes, c.assignments), InternalFailure);
      continue;
    }
    const NodeList got = simplified(c.nodes, c.assignments);
    EXPECT_TRUE(same_list(got, *c.want)) << show(got);
  }
}

TEST(Simplify, MillionDeepChainsThroughValuesNeedNoStack) {
  // Fluent k holds `Not(k + 1)`, each pointing one position on, and the last fluent ends the
  // chain with a constant or closes it into a cycle.
  NodeList nodes;
  for (std::uint64_t f = 0; f < kMillion; ++f) nodes.push_back(F(f));
  nodes.push_back(Not(0));
  FluentValueMap chain;
  for (std::uint64_t f = 0; f + 1 < kMillion; ++f) chain.emplace(f, Not(f + 1));
  chain.emplace(kMillion - 1, B(true));
  const NodeList got = simplified(nodes, chain);
  ASSERT_EQ(got.size(), kMillion + 1);
  EXPECT_TRUE(got[0] == B(true));
  for (std::uint64_t i = 1; i <= kMillion; ++i) ASSERT_TRUE(got[i] == Not(i - 1)) << i;

  chain.insert_or_assign(kMillion - 1, Not(0));
  EXPECT_THROW(simplified(nodes, chain), InternalFailure);
}

TEST(Simplify, ResultsTooLargeToBuildAreRefused) {
  // x + x, nested k times: every node is repeated once per path, 2^(k+1) - 1 nodes in all.
  const auto doublings = [](std::uint64_t k) {
    NodeList nodes = {F(0)};
    for (std::uint64_t i = 0; i < k; ++i) nodes.push_back(List(NodeKind::Plus, {i, i}));
    return nodes;
  };
  const NodeList built = simplified(doublings(15));
  EXPECT_EQ(built.size(), (std::size_t{1} << 16) - 1);
  expect_post_order_tree(built);
  const NodeList values = {I(3)};
  EXPECT_EQ(evaluate(built, VectorValues{values}), value_outcome(I(3 << 15)));

  NodeList just_past = doublings(27);  // 2^28 - 1 nodes
  just_past.push_back(List(NodeKind::Plus, {27, 0}));
  // the second one would count past 2^64 nodes
  for (const NodeList& nodes : {just_past, doublings(64)}) {
    try {
      simplified(nodes);
      ADD_FAILURE() << "built " << nodes.size();
    } catch (const InternalFailure& e) {
      EXPECT_NE(e.message().find("too large"), std::string::npos) << e.message();
    }
  }
}

TEST(Simplify, MillionDeepChainsNeedNoStack) {
  NodeList nots = {F(0)};
  for (std::uint64_t i = 0; i < kMillion; ++i) nots.push_back(Not(i));
  EXPECT_TRUE(same_list(simplified(nots), nots));
  EXPECT_TRUE(same_list(simplified(nots, {{0, B(true)}}), NodeList{B(true)}));

  NodeList plus = {F(0)};
  for (std::uint64_t i = 0; i < kMillion; ++i) {
    plus.push_back(I(1));
    plus.push_back(List(NodeKind::Plus, {plus.size() - 2, plus.size() - 1}));
  }
  const NodeList kept = simplified(plus);
  EXPECT_TRUE(same_list(kept, plus));
  const std::int64_t base = kMax - static_cast<std::int64_t>(kMillion) + 5;  // leaves 64 bits near the root
  EXPECT_TRUE(same_list(simplified(plus, {{0, I(base)}}), NodeList{I(mpz_class(kMax) + 5)}));
}

}  // namespace
}  // namespace quendral::testing
