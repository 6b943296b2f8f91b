// Linear numeric conditions of the delete relaxation.
//
// The relaxation can estimate how often numeric effects must be applied before a condition holds
// only for conditions that compare two linear expressions over fluents. This module turns a
// numeric expression into a linear polynomial (or finds that it is not linear) and files a
// numeric condition fact as simple (linear: fluents, weights and a constant, tested against 0) or
// complex (only tested for truth in a state).
//
// Polynomials keep their fluent terms sorted by fluent index, so every order derived from them
// (the fluents and weights of a simple condition, and therefore the order in which an evaluation
// sums them) is fixed and independent of hashing. The constant term is kept apart because its
// absence and a zero constant differ: a product treats only a polynomial that is exactly one
// constant term as a constant factor.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"

namespace quendral {

// Coefficients of one polynomial. `terms` is sorted by fluent, each fluent at most once.
template <class Coefficient>
struct Polynomial {
  std::optional<Coefficient> constant;
  std::vector<std::pair<std::uint64_t, Coefficient>> terms;

  // The coefficient of `fluent`, or none when the fluent has no term.
  const Coefficient* find(std::uint64_t fluent) const noexcept;
  bool is_constant() const noexcept { return terms.empty() && constant.has_value(); }
  friend bool operator==(const Polynomial&, const Polynomial&) = default;
};

using ExactPolynomial = Polynomial<Rational>;
using LinearPolynomial = Polynomial<double>;

// The linear form of the expression `nodes`, or none when it is not linear.
//
// The list is read once as a stack machine: every operator takes its operands from the top of
// the stack, as many as it has, without looking at their positions. That is right for the lists
// the builders produce (each operator's operands are the subtrees just before it, in order).
// `Bool`, `Object` and the logical and comparison kinds are not linear; neither is a product of
// two non-constant factors (the empty polynomial counts as non-constant) nor a division by
// anything but a non-zero constant. Arithmetic is exact; the coefficients are rounded to the
// nearest double at the end. Entries left below the top are ignored. An operator finding too
// few entries, and a list that leaves none, are internal failures.
std::optional<LinearPolynomial> to_linear_polynomial(std::span<const ExpressionNode> nodes);

// Drops every fluent term whose coefficient is zero; the constant term stays, also when zero.
void simplify_polynomial(ExactPolynomial& polynomial);

// One linear condition: Σ weights[j] · value(fluents[j]) + weights.back() ≤ 0 (< 0 when it is
// strict). `weights` has one entry more than `fluents`: the constant term.
struct SimpleNumericCondition {
  std::vector<std::uint64_t> fluents;
  std::vector<double> weights;
  friend bool operator==(const SimpleNumericCondition&, const SimpleNumericCondition&) = default;
};

// The fluents and weights of a polynomial's fluent terms, in its (fluent) order. The constant
// term, which the caller removes first, is not read.
SimpleNumericCondition extract_fluents_weights_simple_numeric_condition(const LinearPolynomial& polynomial);

// The linear conditions of a relaxed task, each under its condition fact. Entries stay in the
// order in which conditions were first filed; evaluations walk them in that order, so nothing
// depends on hash layout. `index_of` finds a condition's slot, which stays stable.
class SimpleNumericConditions {
 public:
  struct Entry {
    Expression condition;
    SimpleNumericCondition linear;
  };

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  const Entry& operator[](std::size_t slot) const noexcept { return entries_[slot]; }
  Entry& operator[](std::size_t slot) noexcept { return entries_[slot]; }

  // The slot of `condition`, or none.
  std::optional<std::size_t> index_of(Expression condition) const noexcept;
  const SimpleNumericCondition* find(Expression condition) const noexcept;
  // Stores `linear` under `condition`, replacing an earlier entry in its place.
  void insert_or_assign(Expression condition, SimpleNumericCondition linear);

 private:
  std::vector<Entry> entries_;
  boost::unordered_flat_map<Expression, std::size_t, ExpressionHash> index_;
};

// A set of condition facts that remembers the order in which they were first added.
class ExpressionSet {
 public:
  bool insert(Expression e);
  bool contains(Expression e) const noexcept { return members_.contains(e); }
  std::size_t size() const noexcept { return order_.size(); }
  bool empty() const noexcept { return order_.empty(); }
  auto begin() const noexcept { return order_.begin(); }
  auto end() const noexcept { return order_.end(); }

 private:
  std::vector<Expression> order_;
  boost::unordered_flat_set<Expression, ExpressionHash> members_;
};

// Files the numeric condition fact `condition` (its node list is read from `manager`):
//  - with `disable_numeric_reasoning`, or when the root is neither `LE` nor `LT`, or when the
//    difference of the comparison's operands is not linear: into `complex`;
//  - otherwise into `simple` as the polynomial of left − right (constant last), and, for `LT`,
//    into `strict` too.
// An id the manager did not issue is an internal failure.
void update_numeric_conditions(Expression condition, const ExpressionManager& manager, SimpleNumericConditions& simple,
                               ExpressionSet& strict, ExpressionSet& complex, bool disable_numeric_reasoning);

// ---------------------------------------------------------------- inline

template <class Coefficient>
const Coefficient* Polynomial<Coefficient>::find(std::uint64_t fluent) const noexcept {
  std::size_t lo = 0, hi = terms.size();
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (terms[mid].first < fluent) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < terms.size() && terms[lo].first == fluent ? &terms[lo].second : nullptr;
}

}  // namespace quendral
