// Conditions as the delete relaxation sees them.
//
// The relaxation does not reason about expressions: it sees a condition as a small Boolean
// formula over facts. Every part of a condition that is not a conjunction or a disjunction is cut
// out, interned in the heuristic's `ExpressionManager` and becomes one fact, named by its
// `Expression` id; equal node lists therefore meet as one fact wherever they occur (in several
// conditions, or in a condition and in a state's values). This module converts conditions into
// that form, rewrites the facts into shapes the relaxation can reason about (negated comparisons
// turned around, numeric equalities split into two comparisons, a fluent that must differ from
// an object expanded into the objects it may equal), and collects the conditions of one event.
//
// Every walk here uses explicit stacks, so a condition of any depth is converted on a small
// call stack. Interning order is part of the contract: ids are dense in order of first
// interning, and the orders of the relaxed task's tables follow from them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/task/records.hpp"

namespace quendral {

// Per fluent index its type name: "bool", "int", "real", or an object type.
using FluentTypes = std::vector<std::string>;
// Object type name to the names of its objects, in the caller's order.
using ObjectsTable = std::unordered_map<std::string, std::vector<std::string>>;

inline bool is_numeric_type(const std::string& type) noexcept { return type == "int" || type == "real"; }

// One entry of a relaxed condition, read in postfix order with a stack: a `Fact` pushes its
// value, `And`(n) and `Or`(n) replace the n topmost values by their conjunction or disjunction.
// `And`(0) is true and `Or`(0) false.
struct HeuristicExpressionNode {
  enum class Kind : std::uint8_t { And = 0, Or = 1, Fact = 2 };

  Kind kind = Kind::And;
  std::uint64_t payload = 0;  // the count of `And` and `Or`, the expression id of `Fact`

  static HeuristicExpressionNode conjunction(std::uint64_t n) noexcept { return {Kind::And, n}; }
  static HeuristicExpressionNode disjunction(std::uint64_t n) noexcept { return {Kind::Or, n}; }
  static HeuristicExpressionNode fact(Expression e) noexcept { return {Kind::Fact, e.id}; }

  bool is_fact() const noexcept { return kind == Kind::Fact; }
  Expression expression() const noexcept { return Expression{payload}; }
  std::uint64_t count() const noexcept { return payload; }

  friend bool operator==(const HeuristicExpressionNode&, const HeuristicExpressionNode&) = default;
  // "Fact(3)", "And(2)", "Or(0)"
  std::string repr() const;
};

// A relaxed condition: the postfix list (its last entry is the root) and whether it holds any
// `Or`, which decides how an evaluation collects the facts a relaxed plan must reach.
struct RelaxedCondition {
  std::vector<HeuristicExpressionNode> nodes;
  bool has_or = false;

  friend bool operator==(const RelaxedCondition&, const RelaxedCondition&) = default;
};

// Cuts `nodes` into facts: `And` and `Or` nodes become entries (the last operand's part is
// emitted first), every other maximal subtree (a leaf, a `Not`, a comparison, an arithmetic
// node) is re-based to position 0, interned, and becomes a `Fact`. Negation is not pushed
// through conjunctions: not(a and b) is one fact.
//
// A subtree whose nodes are not one contiguous post-order stretch raises Exception "Overflow"
// when it is re-based. An empty list, an operand at or after its user, and an operand-less
// `And`/`Or`/`Plus`/`Times` on the first-operand path of a fact are internal failures.
RelaxedCondition convert_to_heuristic_expression(std::span<const ExpressionNode> nodes, ExpressionManager& manager);

// Whether a fact, as the relaxed task files facts, states something about numbers: with r its
// root and i the operand of r when r is `Not` (else r), i is `LE`, `LT` or arithmetic, or an
// `Equals` none of whose two operand nodes is an `Object`. Used to sort condition facts into the
// numeric conditions, where an equality of two non-numeric fluents becomes a condition tested
// in the state; the rewrites of `simplify_condition` use the stricter, typed test below.
bool is_numeric_fact(std::span<const ExpressionNode> fact);

// Rewrites the facts of `condition` into the forms the relaxation reasons about:
//  - not(a <= b) → b < a; not(a < b) → b <= a; a == b → a <= b and b <= a;
//    not(a == b) → a < b or b < a. Only for a numeric comparison whose left − right is linear,
//    and only without `disable_numeric_reasoning`; otherwise the fact is kept.
//  - not(f == o), f an object-valued fluent whose type lists objects: the equalities of f with
//    every other object of its type (an `Or` of them when there are several, the single fact
//    when one, the constant false when none). Applied whatever the flag.
// An equality counts as numeric only when none of its operand nodes is an `Object` and every
// operand node that is a fluent has the type "int" or "real": two object-valued (or Boolean)
// fluents compared for equality stay one fact, which the relaxed task tests in the state.
// Replacements keep the counts of the enclosing `And` and `Or` entries valid.
RelaxedCondition simplify_condition(const RelaxedCondition& condition, const ObjectsTable& objects,
                                    const FluentTypes& fluent_types, bool disable_numeric_reasoning,
                                    ExpressionManager& manager);

// The two operand subtrees of the comparison of `nodes` whose operands are at `a` < `b`, in
// swapped order and re-based for concatenation: (second operand's stretch a+1..b moved down by
// a + 1, first operand's stretch 0..a moved up by b − a). Raises Exception "Overflow" when a
// stretch is not self-contained; `a` < `b` < size is an internal failure otherwise.
std::pair<NodeList, NodeList> inverted_operands(std::span<const ExpressionNode> nodes, std::uint64_t a,
                                                std::uint64_t b);

// The comparison `kind` (`LE` or `LT`) of the operand at `b` with the operand at `a`, interned.
Expression invert_operands(NodeKind kind, std::span<const ExpressionNode> nodes, std::uint64_t a, std::uint64_t b,
                           ExpressionManager& manager);

// The conditions an event must meet: the top-level conjuncts of its `conditions`, then its
// `end_conditions` (its `start_conditions` are not), each interned, in that order without
// repeats.
std::vector<NodeList> get_event_conditions(const Event& event, ExpressionManager& manager);

}  // namespace quendral
