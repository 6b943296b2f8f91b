#include "base/space/compiled_condition.hpp"

#include <algorithm>

namespace quendral {

namespace {

bool is_constant(NodeKind kind) noexcept {
  return kind == NodeKind::Bool || kind == NodeKind::Int || kind == NodeKind::Rational || kind == NodeKind::Object;
}

}  // namespace

CompiledCondition::CompiledCondition(std::span<const ExpressionNode> nodes) {
  if (nodes.empty()) return;
  // Only lists the evaluator cannot fail on, whatever the values (see the header).
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const ExpressionNode& node = nodes[i];
    switch (node.kind()) {
      case NodeKind::Fluent:
        needed_values_ = std::max<std::size_t>(needed_values_, node.fluent_index() + 1);
        if (node.fluent_index() + 1 == 0) return;  // the largest index: no state has that many values
        break;
      case NodeKind::Not:
      case NodeKind::Equals:
      case NodeKind::And:
        for (const std::uint64_t p : node.operands()) {
          if (p >= i) return;
        }
        break;
      default:
        if (!is_constant(node.kind())) return;
    }
  }
  const std::size_t root = nodes.size() - 1;
  // Nodes reached along several paths are visited once per path; a list that shares them so
  // much that the walk would outgrow it is left to the evaluator.
  visits_left_ = 4 * nodes.size() + 64;
  switch (nodes[root].kind()) {
    case NodeKind::Fluent:
      root_fluent_ = true;
      tests_.push_back(Test{TestKind::IsTrue, false, nodes[root].fluent_index(), 0, ExpressionNode()});
      break;
    case NodeKind::Bool:
    case NodeKind::Not:
    case NodeKind::Equals:
    case NodeKind::And:
      if (!conjoin(nodes, root, 0)) {
        tests_.clear();
        return;
      }
      break;
    default: return;  // a number or an object: the evaluator reports the non-Boolean condition
  }
  for (Test& t : tests_) {
    if (t.kind == TestKind::EqualsConstant) t.constant_code = value_code(t.constant);
  }
  compiled_ = true;
}

std::optional<std::pair<std::uint64_t, ExpressionNode>> CompiledCondition::key() const {
  if (!compiled_ || root_fluent_) return std::nullopt;
  for (const Test& t : tests_) {
    if (t.negate) continue;
    switch (t.kind) {
      case TestKind::IsTrue: return std::pair{t.fluent, ExpressionNode::boolean(true)};
      case TestKind::IsFalse: return std::pair{t.fluent, ExpressionNode::boolean(false)};
      case TestKind::EqualsConstant: return std::pair{t.fluent, t.constant};
      case TestKind::EqualsFluent: break;
    }
  }
  return std::nullopt;
}

// Adds the tests of "the value of node `p` is true" and returns true, or returns false when that
// is not a conjunction of single tests.
bool CompiledCondition::conjoin(std::span<const ExpressionNode> nodes, std::size_t p, unsigned depth) {
  if (depth > kMaxDepth || visits_left_ == 0) return false;
  --visits_left_;
  const ExpressionNode& node = nodes[p];
  if (node.kind() == NodeKind::And) {
    for (const std::uint64_t operand : node.operand_list()) {
      if (!conjoin(nodes, operand, depth + 1)) return false;
    }
    return true;
  }
  const std::optional<Atom> a = atom(nodes, p, true, depth + 1);
  if (!a) return false;
  if (a->constant) {
    if (!a->value) always_false_ = true;
  } else {
    tests_.push_back(a->test);
  }
  return true;
}

// "The value of node `p` is the Boolean `want`" as one test or a constant, when it is one.
std::optional<CompiledCondition::Atom> CompiledCondition::atom(std::span<const ExpressionNode> nodes, std::size_t p,
                                                                bool want, unsigned depth) const {
  if (depth > kMaxDepth) return std::nullopt;
  const ExpressionNode& node = nodes[p];
  Atom result;
  switch (node.kind()) {
    case NodeKind::Bool:
      result.constant = true;
      result.value = node.flag() == want;
      return result;
    case NodeKind::Int:
    case NodeKind::Rational:
    case NodeKind::Object:
      result.constant = true;
      result.value = false;
      return result;
    case NodeKind::Fluent:
      result.test = Test{want ? TestKind::IsTrue : TestKind::IsFalse, false, node.fluent_index(), 0, ExpressionNode()};
      return result;
    case NodeKind::Not: {
      // `not q` is true exactly when q is false, and so never false unless q is not false.
      std::optional<Atom> inner = atom(nodes, node.unary_operand(), false, depth + 1);
      if (inner && !want) {
        inner->value = !inner->value;
        inner->test.negate = !inner->test.negate;
      }
      return inner;
    }
    case NodeKind::Equals: {
      std::optional<Atom> eq = equality(nodes, p);
      if (eq && !want) {
        eq->value = !eq->value;
        eq->test.negate = !eq->test.negate;
      }
      return eq;
    }
    default: return std::nullopt;  // an And in a negative position is not a single test
  }
}

// The `Equals` node at `p` as one test, when each side is a fluent or a constant.
std::optional<CompiledCondition::Atom> CompiledCondition::equality(std::span<const ExpressionNode> nodes,
                                                                    std::size_t p) const {
  const ExpressionNode& a = nodes[nodes[p].left_operand()];
  const ExpressionNode& b = nodes[nodes[p].right_operand()];
  Atom result;
  if (is_constant(a.kind()) && is_constant(b.kind())) {
    result.constant = true;
    result.value = a == b;
  } else if (a.kind() == NodeKind::Fluent && b.kind() == NodeKind::Fluent) {
    result.test = Test{TestKind::EqualsFluent, false, a.fluent_index(), b.fluent_index(), ExpressionNode()};
  } else if (a.kind() == NodeKind::Fluent && is_constant(b.kind())) {
    result.test = Test{TestKind::EqualsConstant, false, a.fluent_index(), 0, b};
  } else if (b.kind() == NodeKind::Fluent && is_constant(a.kind())) {
    result.test = Test{TestKind::EqualsConstant, false, b.fluent_index(), 0, a};
  } else {
    return std::nullopt;  // an operator's value on one side
  }
  return result;
}

}  // namespace quendral
