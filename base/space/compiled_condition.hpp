// CompiledCondition: a condition read as a flat list of fluent tests, for the successor loop.
//
// Most conditions of a grounded task are conjunctions of tests of single fluents: `f == c`,
// `f == g`, `f`, `not f`. Testing them through the general evaluator costs a scratch lease and a
// pass over every node for each action tried in each state, which is most of the time of a
// blind search. A condition of that shape is compiled once into such tests (a flat list, nested
// `And`s and double negations folded away) and answered straight from the state's values.
//
// The verdict is the evaluator's in every case, including its failures, because a condition is
// compiled only when the evaluator could not fail on it:
//  - every node is a constant (`Bool`, `Int`, `Rational`, `Object`), a `Fluent`, or a `Not`,
//    `Equals` or `And` whose operands stand before it; each of these is evaluated without error
//    whatever the values (a non-Boolean value under `And` or `Not` just counts as not true / not
//    false), and the evaluator evaluates every node of the list, reached or not;
//  - the root is a `Not`, an `Equals`, an `And` or a `Bool` (always a Boolean value), or a
//    `Fluent`, whose value decides;
// and the test declines to answer (the caller then runs the evaluator, which raises its own
// error) when the state has fewer values than the condition's largest fluent index needs, or when
// a `Fluent` root's value is not a Boolean.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/space/state_values.hpp"

namespace quendral {

class CompiledCondition {
 public:
  // A condition that is never compiled: `test` always declines.
  CompiledCondition() = default;
  explicit CompiledCondition(std::span<const ExpressionNode> nodes);

  bool compiled() const noexcept { return compiled_; }

  // A test the condition cannot hold without, as (fluent, value): whenever `test` answers, the
  // answer is false if that fluent's value is not structurally equal to `value`. Nothing when
  // there is no such single test (not compiled, a Fluent root, which may decline, or no positive
  // fact among the tests).
  std::optional<std::pair<std::uint64_t, ExpressionNode>> key() const;
  // One past the largest fluent index the condition reads: `test` declines below it.
  std::size_t needed_values() const noexcept { return needed_values_; }

  // The Boolean value of the condition over `values`, or nothing when the evaluator must decide.
  std::optional<bool> test(const StateValues& values) const noexcept {
    if (!compiled_ || values.size() < needed_values_) return std::nullopt;
    if (always_false_) return false;
    if (root_fluent_) {
      const std::uint32_t c = values.code(tests_[0].fluent);
      if (c > 1) return std::nullopt;  // not a Boolean
      return c == 1;
    }
    for (const Test& t : tests_) {
      if (holds(t, values) == t.negate) return false;
    }
    return true;
  }

 private:
  enum class TestKind : std::uint8_t { IsTrue, IsFalse, EqualsConstant, EqualsFluent };
  struct Test {
    TestKind kind = TestKind::IsTrue;
    bool negate = false;
    std::uint64_t fluent = 0;
    std::uint64_t other = 0;   // the second fluent of EqualsFluent
    ExpressionNode constant;   // the value of EqualsConstant
    std::uint32_t constant_code = kNoValueCode;  // its value code, set when the list is complete
  };

  // The evaluator's structural equality of values, read from the codes: equal codes are equal
  // Booleans or objects; two numbers are compared as nodes.
  static bool holds(const Test& t, const StateValues& values) noexcept {
    const std::uint32_t c = values.code(t.fluent);
    switch (t.kind) {
      case TestKind::IsTrue: return c == 1;
      case TestKind::IsFalse: return c == 0;
      case TestKind::EqualsConstant:
        if (t.constant_code != kNoValueCode) return c == t.constant_code;
        return c == kNoValueCode && values[t.fluent] == t.constant;
      case TestKind::EqualsFluent: {
        const std::uint32_t d = values.code(t.other);
        return c == d && (c != kNoValueCode || values[t.fluent] == values[t.other]);
      }
    }
    return false;
  }

  // A test or a constant verdict, before it joins the list.
  struct Atom {
    bool constant = false;
    bool value = false;  // of a constant
    Test test;
  };
  // Grounded conditions nest a few levels; a deeper one is left to the evaluator, whose walk
  // needs no stack.
  static constexpr unsigned kMaxDepth = 32;
  std::optional<Atom> atom(std::span<const ExpressionNode> nodes, std::size_t p, bool want, unsigned depth) const;
  std::optional<Atom> equality(std::span<const ExpressionNode> nodes, std::size_t p) const;
  bool conjoin(std::span<const ExpressionNode> nodes, std::size_t p, unsigned depth);

  std::vector<Test> tests_;
  std::size_t needed_values_ = 0;  // one past the largest fluent index of any node
  bool compiled_ = false;
  bool always_false_ = false;
  bool root_fluent_ = false;  // the root is a Fluent: tests_[0] names it
  std::size_t visits_left_ = 0;  // construction only
};

}  // namespace quendral
