#include "base/heuristics/relaxation_conditions.hpp"

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "base/heuristics/relaxation_linear.hpp"

namespace quendral {

std::string HeuristicExpressionNode::repr() const {
  switch (kind) {
    case Kind::And: return "And(" + std::to_string(payload) + ")";
    case Kind::Or: return "Or(" + std::to_string(payload) + ")";
    case Kind::Fact: return "Fact(" + std::to_string(payload) + ")";
  }
  return "?";
}

// ---------------------------------------------------------------- conversion

namespace {

// The first position of the subtree rooted at `p`: down through first operands to a leaf.
std::uint64_t subtree_start(std::span<const ExpressionNode> nodes, std::uint64_t p) {
  std::uint64_t s = p;
  while (!is_leaf(nodes[s].kind())) {
    const std::span<const std::uint64_t> operands = nodes[s].operands();
    QUENDRAL_CHECK(!operands.empty(), std::string(kind_name(nodes[s].kind())) + " without operands at position " +
                                          std::to_string(s) + " inside a condition fact");
    QUENDRAL_CHECK(operands[0] < s, "operand " + std::to_string(operands[0]) + " does not stand before its user at " +
                                        std::to_string(s));
    s = operands[0];
  }
  return s;
}

}  // namespace

RelaxedCondition convert_to_heuristic_expression(std::span<const ExpressionNode> nodes, ExpressionManager& manager) {
  QUENDRAL_CHECK(!nodes.empty(), "an empty condition cannot be converted");
  RelaxedCondition result;
  struct Work {
    std::uint64_t position;
    bool expanded;
  };
  std::vector<Work> work;
  work.push_back({nodes.size() - 1, false});
  while (!work.empty()) {
    const Work top = work.back();
    work.pop_back();
    const ExpressionNode& node = nodes[top.position];
    const NodeKind kind = node.kind();
    if (kind == NodeKind::And || kind == NodeKind::Or) {
      const std::span<const std::uint64_t> operands = node.operand_list();
      if (top.expanded) {
        result.nodes.push_back(kind == NodeKind::And ? HeuristicExpressionNode::conjunction(operands.size())
                                                     : HeuristicExpressionNode::disjunction(operands.size()));
        if (kind == NodeKind::Or) result.has_or = true;
        continue;
      }
      work.push_back({top.position, true});
      for (const std::uint64_t q : operands) {
        QUENDRAL_CHECK(q < top.position, "operand " + std::to_string(q) + " does not stand before its user at " +
                                             std::to_string(top.position));
        work.push_back({q, false});
      }
    } else if (is_leaf(kind)) {
      result.nodes.push_back(HeuristicExpressionNode::fact(manager.put(nodes.subspan(top.position, 1))));
    } else {
      const std::uint64_t s = subtree_start(nodes, top.position);
      const NodeList fact = shift_expression(nodes.subspan(s, top.position - s + 1), s, true);
      result.nodes.push_back(HeuristicExpressionNode::fact(manager.put(fact)));
    }
  }
  return result;
}

bool is_numeric_fact(std::span<const ExpressionNode> fact) {
  if (fact.empty()) return false;
  const ExpressionNode* tested = &fact.back();
  if (tested->kind() == NodeKind::Not) {
    const std::uint64_t q = tested->unary_operand();
    QUENDRAL_CHECK(q + 1 < fact.size(), "the operand of a negation does not stand before it");
    tested = &fact[q];
  }
  switch (tested->kind()) {
    case NodeKind::LE:
    case NodeKind::LT:
    case NodeKind::Plus:
    case NodeKind::Minus:
    case NodeKind::Times:
    case NodeKind::Div: return true;
    case NodeKind::Equals: {
      const std::uint64_t a = tested->left_operand(), b = tested->right_operand();
      QUENDRAL_CHECK(a < fact.size() && b < fact.size(), "an operand of an equality lies beyond its fact");
      return fact[a].kind() != NodeKind::Object && fact[b].kind() != NodeKind::Object;
    }
    default: return false;
  }
}

// ---------------------------------------------------------------- operand swapping

std::pair<NodeList, NodeList> inverted_operands(std::span<const ExpressionNode> nodes, std::uint64_t a,
                                                std::uint64_t b) {
  QUENDRAL_CHECK(a < b && b < nodes.size(), "comparison operands " + std::to_string(a) + ", " + std::to_string(b) +
                                                " out of order in a list of " + std::to_string(nodes.size()));
  NodeList second = shift_expression(nodes.subspan(a + 1, b - a), a + 1, true);
  NodeList first = shift_expression(nodes.subspan(0, a + 1), b - a, false);
  return {std::move(second), std::move(first)};
}

Expression invert_operands(NodeKind kind, std::span<const ExpressionNode> nodes, std::uint64_t a, std::uint64_t b,
                           ExpressionManager& manager) {
  auto [second, first] = inverted_operands(nodes, a, b);
  const std::uint64_t m = second.size(), k = first.size();
  NodeList swapped = std::move(second);
  swapped.reserve(m + k + 1);
  for (ExpressionNode& node : first) swapped.push_back(std::move(node));
  swapped.push_back(ExpressionNode::binary_operator(kind, m - 1, m + k - 1));
  return manager.put(swapped);
}

// ---------------------------------------------------------------- simplification

namespace {

// An equality the numeric rewrites may split: no operand node is an object, and no operand node
// is a fluent whose type is not numeric (or unknown).
bool is_numeric_equality(std::span<const ExpressionNode> fact, const ExpressionNode& equality,
                         const FluentTypes& fluent_types) {
  for (const std::uint64_t p : {equality.left_operand(), equality.right_operand()}) {
    QUENDRAL_CHECK(p < fact.size(), "an operand of an equality lies beyond its fact");
    const ExpressionNode& operand = fact[p];
    if (operand.kind() == NodeKind::Object) return false;
    if (operand.kind() == NodeKind::Fluent) {
      const std::uint64_t f = operand.fluent_index();
      if (f >= fluent_types.size() || !is_numeric_type(fluent_types[f])) return false;
    }
  }
  return true;
}

// `fact` with its root comparison replaced by the difference of its operands: linear or not?
bool difference_is_linear(std::span<const ExpressionNode> fact) {
  NodeList difference(fact.begin(), fact.end() - 1);
  const ExpressionNode& root = fact.back();
  difference.push_back(ExpressionNode::binary_operator(NodeKind::Minus, root.left_operand(), root.right_operand()));
  return to_linear_polynomial(difference).has_value();
}

using Entries = std::vector<HeuristicExpressionNode>;

// The numeric rewrites. Returns false when the fact is not numeric, so that the object rule may
// be tried; true when the fact was handled here (rewritten, or copied because no rewrite applies).
bool rewrite_numeric(const HeuristicExpressionNode& entry, const NodeList& fact, const FluentTypes& fluent_types,
                     ExpressionManager& manager, Entries& out, bool& has_or) {
  if (fact.empty()) return false;
  const std::size_t n = fact.size();
  const ExpressionNode& root = fact.back();
  const bool negated = root.kind() == NodeKind::Not;
  const ExpressionNode* tested = &root;
  if (negated) {
    QUENDRAL_CHECK(root.unary_operand() + 1 < n, "the operand of a negation does not stand before it");
    tested = &fact[root.unary_operand()];
  }
  const NodeKind kind = tested->kind();
  switch (kind) {
    case NodeKind::LE:
    case NodeKind::LT:
    case NodeKind::Plus:
    case NodeKind::Minus:
    case NodeKind::Times:
    case NodeKind::Div: break;
    case NodeKind::Equals:
      if (!is_numeric_equality(fact, *tested, fluent_types)) return false;
      break;
    default: return false;
  }
  const auto gate = [&](Expression f1) { return difference_is_linear(manager.get(f1)); };
  if (kind == NodeKind::Equals || kind == NodeKind::LE || kind == NodeKind::LT) {
    const std::uint64_t a = tested->left_operand(), b = tested->right_operand();
    if (negated && kind == NodeKind::Equals) {
      QUENDRAL_CHECK(a < b && b < n, "equality operands out of order");
      NodeList less(fact.begin(), fact.end() - 2);
      less.push_back(ExpressionNode::binary_operator(NodeKind::LT, a, b));
      const Expression f1 = manager.put(less);
      const Expression f2 = invert_operands(NodeKind::LT, fact, a, b, manager);
      if (gate(f1)) {
        out.push_back(HeuristicExpressionNode::fact(f1));
        out.push_back(HeuristicExpressionNode::fact(f2));
        out.push_back(HeuristicExpressionNode::disjunction(2));
        has_or = true;
        return true;
      }
    } else if (negated) {
      // not(a <= b) is b < a; not(a < b) is b <= a.
      const Expression f1 = invert_operands(kind == NodeKind::LE ? NodeKind::LT : NodeKind::LE, fact, a, b, manager);
      if (gate(f1)) {
        out.push_back(HeuristicExpressionNode::fact(f1));
        return true;
      }
    } else if (kind == NodeKind::Equals) {
      NodeList at_most(fact.begin(), fact.end() - 1);
      at_most.push_back(ExpressionNode::binary_operator(NodeKind::LE, a, b));
      const Expression f1 = manager.put(at_most);
      const Expression f2 = invert_operands(NodeKind::LE, fact, a, b, manager);
      if (gate(f1)) {
        out.push_back(HeuristicExpressionNode::fact(f1));
        out.push_back(HeuristicExpressionNode::fact(f2));
        out.push_back(HeuristicExpressionNode::conjunction(2));
        return true;
      }
    }
  }
  out.push_back(entry);  // a bare comparison, arithmetic, or a rewrite that is not linear
  return true;
}

// not(f == o) over an object type with a known object list.
bool rewrite_excluded_object(const NodeList& fact, const ObjectsTable& objects, const FluentTypes& fluent_types,
                             ExpressionManager& manager, Entries& out, bool& has_or) {
  if (fact.size() != 4 || fact[0].kind() != NodeKind::Fluent || fact[1].kind() != NodeKind::Object ||
      fact[2].kind() != NodeKind::Equals || fact[3].kind() != NodeKind::Not) {
    return false;
  }
  const std::uint64_t f = fact[0].fluent_index();
  if (f >= fluent_types.size()) return false;
  const auto type = objects.find(fluent_types[f]);
  if (type == objects.end()) return false;
  const std::string_view excluded = fact[1].object_name();
  std::size_t kept = 0;
  NodeList equality{ExpressionNode::fluent(f), ExpressionNode(), ExpressionNode::binary_operator(NodeKind::Equals, 0, 1)};
  for (const std::string& name : type->second) {
    if (name == excluded) continue;
    equality[1] = ExpressionNode::object(name);
    out.push_back(HeuristicExpressionNode::fact(manager.put(equality)));
    ++kept;
  }
  if (kept == 0) {
    const ExpressionNode never = ExpressionNode::boolean(false);
    out.push_back(HeuristicExpressionNode::fact(manager.put(std::span(&never, 1))));
  } else if (kept > 1) {
    out.push_back(HeuristicExpressionNode::disjunction(kept));
    has_or = true;
  }
  return true;
}

}  // namespace

RelaxedCondition simplify_condition(const RelaxedCondition& condition, const ObjectsTable& objects,
                                    const FluentTypes& fluent_types, bool disable_numeric_reasoning,
                                    ExpressionManager& manager) {
  RelaxedCondition result;
  result.has_or = condition.has_or;
  result.nodes.reserve(condition.nodes.size());
  for (const HeuristicExpressionNode& entry : condition.nodes) {
    if (!entry.is_fact()) {
      result.nodes.push_back(entry);
      continue;
    }
    // The reference stays valid while facts are interned: the manager never moves its lists.
    const NodeList& fact = manager.get(entry.expression());
    if (!disable_numeric_reasoning &&
        rewrite_numeric(entry, fact, fluent_types, manager, result.nodes, result.has_or)) {
      continue;
    }
    if (rewrite_excluded_object(fact, objects, fluent_types, manager, result.nodes, result.has_or)) continue;
    result.nodes.push_back(entry);
  }
  return result;
}

// ---------------------------------------------------------------- event conditions

std::vector<NodeList> get_event_conditions(const Event& event, ExpressionManager& manager) {
  std::vector<NodeList> conditions;
  boost::unordered_flat_set<Expression, ExpressionHash> seen;
  for (NodeList& conjunct : split_expression(event.conditions)) {
    if (seen.insert(manager.put(conjunct)).second) conditions.push_back(std::move(conjunct));
  }
  for (const NodeList& condition : event.end_conditions) {
    if (seen.insert(manager.put(condition)).second) conditions.push_back(condition);
  }
  return conditions;
}

}  // namespace quendral
