#include "base/expressions_utils.hpp"

#include <new>
#include <string>

namespace quendral {

// ---------------------------------------------------------------- evaluation

namespace detail {

void fluent_not_assigned(std::uint64_t fluent) {
  internal_failure("fluent " + std::to_string(fluent) + " has no assigned value");
}

void EvaluationScratch::reserve(std::size_t size) {
  // `values` last: its size is what says the store is big enough, so a failed growth of
  // `computed` is retried by the next call.
  computed.resize(size);
  values.resize(size);
}

void EvaluationScratch::tidy(std::size_t used) noexcept {
  if (values.size() > ScratchLease::kKeptSize) {
    // A huge expression was evaluated: give its store back rather than keep it for the thread.
    std::vector<const ExpressionNode*>().swap(values);
    std::vector<ExpressionNode>().swap(computed);
  } else if (holds_boxes) {
    for (std::size_t i = 0; i < used && i < computed.size(); ++i) {
      if (holds_box(computed[i])) computed[i] = ExpressionNode();
    }
  }
  holds_boxes = false;
}

EvaluationScratch& thread_scratch() noexcept {
  thread_local EvaluationScratch scratch;
  return scratch;
}

void empty_expression() { internal_failure("evaluation of an empty expression"); }

void operand_not_below(std::uint64_t operand, std::size_t position) {
  internal_failure("operand position " + std::to_string(operand) + " is not below its node's position " +
                   std::to_string(position));
}

void missing_operands(NodeKind kind, std::size_t position) {
  internal_failure(std::string(kind_name(kind)) + " without operands at position " + std::to_string(position));
}

void not_a_number() { throw Error(ErrorKind::ValueError, "Expected a number!"); }

void division_by_zero() { throw Error(ErrorKind::ZeroDivisionError, "division by zero"); }

ExpressionNode number_node(const Rational& value) {
  if (value.is_small()) {
    if (value.small_denom() == 1) return ExpressionNode::integer(value.small_numer());
    return ExpressionNode::rational(value);
  }
  if (value.is_integer()) return ExpressionNode::integer(value.numer());
  return ExpressionNode::rational(value);
}

namespace {

Rational number_of(const ExpressionNode& node) {
  if (node.kind() == NodeKind::Rational) return node.rational_value();
  const BigInt& v = node.int_value();
  return v.is_small() ? Rational(v.small_value()) : Rational(v);
}

// Writes the number node of `value` into `slot`. An inline result is built in place (nothing can
// fail once the old value is gone); a boxed one goes through an ordinary assignment.
void store_number(const Rational& value, EvaluationScratch& scratch, ExpressionNode* slot) {
  if (value.is_small()) {
    slot->~ExpressionNode();
    if (value.small_denom() == 1) {
      new (slot) ExpressionNode(ExpressionNode::integer(value.small_numer()));
    } else {
      new (slot) ExpressionNode(ExpressionNode::rational(value));
    }
    return;
  }
  *slot = number_node(value);
  scratch.holds_boxes = true;
}

}  // namespace

int compare_numbers(const ExpressionNode& a, const ExpressionNode& b) {
  if (a.kind() == NodeKind::Int && b.kind() == NodeKind::Int) return compare(a.int_value(), b.int_value());
  return compare(number_of(a), number_of(b));
}

void subtract_numbers(const ExpressionNode& a, const ExpressionNode& b, EvaluationScratch& scratch,
                      ExpressionNode* slot) {
  if (a.kind() == NodeKind::Int && b.kind() == NodeKind::Int) {
    *slot = ExpressionNode::integer(a.int_value() - b.int_value());
    if (holds_box(*slot)) scratch.holds_boxes = true;
    return;
  }
  store_number(number_of(a) - number_of(b), scratch, slot);
}

void divide_numbers(const ExpressionNode& a, const ExpressionNode& b, EvaluationScratch& scratch,
                    ExpressionNode* slot) {
  store_number(number_of(a) / number_of(b), scratch, slot);
}

void fold_numbers(bool plus, std::int64_t accumulated, std::span<const std::uint64_t> rest,
                  const ExpressionNode* const* values, std::size_t position, EvaluationScratch& scratch,
                  ExpressionNode* slot) {
  Rational result(accumulated);
  for (const std::uint64_t p : rest) {
    if (p >= position) operand_not_below(p, position);
    const ExpressionNode& v = *values[p];
    if (!is_number(v)) not_a_number();
    result = plus ? result + number_of(v) : result * number_of(v);
  }
  store_number(result, scratch, slot);
}

}  // namespace detail

// ---------------------------------------------------------------- conjuncts and re-basing

namespace {

// `node` re-created with `move` applied to each operand position, in operand order.
template <class Move>
ExpressionNode with_moved_operands(const ExpressionNode& node, std::vector<std::uint64_t>& buffer, Move&& move) {
  const NodeKind kind = node.kind();
  if (is_leaf(kind)) return node;
  if (kind == NodeKind::Not) return ExpressionNode::not_operator(move(node.unary_operand()));
  if (is_binary(kind)) {
    const std::uint64_t left = move(node.left_operand());
    const std::uint64_t right = move(node.right_operand());
    return ExpressionNode::binary_operator(kind, left, right);
  }
  buffer.clear();
  for (const std::uint64_t p : node.operand_list()) buffer.push_back(move(p));
  return ExpressionNode::list_operator(kind, buffer);
}

[[noreturn]] void overflow() { throw Error(ErrorKind::Exception, to_string(ArithmeticError::Overflow)); }

}  // namespace

std::vector<NodeList> split_expression(std::span<const ExpressionNode> expression) {
  if (expression.empty() || expression.back().kind() != NodeKind::And) {
    return {NodeList(expression.begin(), expression.end())};
  }
  const std::span<const std::uint64_t> roots = expression.back().operand_list();
  std::vector<NodeList> conjuncts;
  conjuncts.reserve(roots.size());
  std::vector<std::uint64_t> buffer;
  std::uint64_t start = 0;
  for (const std::uint64_t last : roots) {
    QUENDRAL_CHECK(last < expression.size(), "conjunct root " + std::to_string(last) + " beyond the expression's " +
                                                 std::to_string(expression.size()) + " nodes");
    QUENDRAL_CHECK(last + 1 >= start, "conjunct roots out of order: " + std::to_string(last) + " after " +
                                          std::to_string(start - 1));
    NodeList conjunct;
    conjunct.reserve(last + 1 - start);
    // The decrease is deliberately unchecked: an operand outside the block (a node shared
    // between conjuncts) wraps to a position that fails wherever the conjunct is used.
    const auto rebase = [start](std::uint64_t p) { return p - start; };
    for (std::uint64_t p = start; p <= last; ++p) {
      conjunct.push_back(with_moved_operands(expression[p], buffer, rebase));
    }
    conjuncts.push_back(std::move(conjunct));
    start = last + 1;
  }
  return conjuncts;
}

ExpressionNode do_shift(const ExpressionNode& node, std::uint64_t offset, bool subtract) {
  std::vector<std::uint64_t> buffer;
  return with_moved_operands(node, buffer, [offset, subtract](std::uint64_t p) {
    std::uint64_t moved;
    if (subtract ? __builtin_sub_overflow(p, offset, &moved) : __builtin_add_overflow(p, offset, &moved)) overflow();
    return moved;
  });
}

NodeList shift_expression(std::span<const ExpressionNode> expression, std::uint64_t offset, bool subtract) {
  NodeList shifted;
  shifted.reserve(expression.size());
  std::vector<std::uint64_t> buffer;
  const auto move = [offset, subtract](std::uint64_t p) {
    std::uint64_t moved;
    if (subtract ? __builtin_sub_overflow(p, offset, &moved) : __builtin_add_overflow(p, offset, &moved)) overflow();
    return moved;
  };
  for (const ExpressionNode& node : expression) shifted.push_back(with_moved_operands(node, buffer, move));
  return shifted;
}

// ---------------------------------------------------------------- simplification

namespace {

bool is_numeric(const ExpressionNode& node) noexcept {
  return node.kind() == NodeKind::Int || node.kind() == NodeKind::Rational;
}

// The constant a fold of `Plus` or `Times` puts in place of its first numeric operand: operand
// slot `slot` of the operator's (new) operand list.
struct FoldedOperand {
  std::size_t slot;
  ExpressionNode constant;
};

// The rewritten list of phase 1. The folded constants are kept beside it, keyed by the position
// of their operator, rather than written over the operand's own node: for the trees that callers
// build the outcome is the same, and a node that two operators share keeps its own value for the
// other one.
struct Rewritten {
  NodeList nodes;
  boost::unordered_flat_map<std::uint64_t, FoldedOperand> folds;
};

Rewritten rewrite(std::span<const ExpressionNode> input, const FluentValueMap& assignments) {
  Rewritten out;
  NodeList& rewritten = out.nodes;
  rewritten.reserve(input.size());
  std::vector<std::uint64_t> kept;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const ExpressionNode& node = input[i];
    const auto operand = [&](std::uint64_t p) -> const ExpressionNode& {
      if (p >= i) detail::operand_not_below(p, i);
      return rewritten[p];
    };
    // And/Or: Bool(decisive) ends the walk, Bool(!decisive) is dropped, anything else is kept.
    const auto connective = [&](bool decisive) {
      kept.clear();
      for (const std::uint64_t p : node.operand_list()) {
        const ExpressionNode& v = operand(p);
        if (v.is_bool(decisive)) return ExpressionNode::boolean(decisive);
        if (!v.is_bool(!decisive)) kept.push_back(p);
      }
      if (kept.empty()) return ExpressionNode::boolean(!decisive);
      if (kept.size() == 1) {
        // The operand's node moves up to this position, with its fold if it has one.
        if (const auto fold = out.folds.find(kept[0]); fold != out.folds.end()) {
          FoldedOperand copy = fold->second;
          out.folds.insert_or_assign(i, std::move(copy));
        }
        return rewritten[kept[0]];
      }
      return ExpressionNode::list_operator(node.kind(), kept);
    };

    switch (node.kind()) {
      case NodeKind::Bool:
      case NodeKind::Int:
      case NodeKind::Object: rewritten.push_back(node); break;
      case NodeKind::Rational: rewritten.push_back(detail::number_node(node.rational_value())); break;
      case NodeKind::Fluent: {
        const auto it = assignments.find(node.fluent_index());
        rewritten.push_back(it == assignments.end() ? node : it->second);
        break;
      }
      case NodeKind::And: rewritten.push_back(connective(false)); break;
      case NodeKind::Or: rewritten.push_back(connective(true)); break;
      case NodeKind::Not: {
        const ExpressionNode& v = operand(node.unary_operand());
        rewritten.push_back(v.kind() == NodeKind::Bool ? ExpressionNode::boolean(!v.flag()) : node);
        break;
      }
      case NodeKind::Equals:
      case NodeKind::LE:
      case NodeKind::LT:
      case NodeKind::Minus:
      case NodeKind::Div: {
        const ExpressionNode& a = operand(node.left_operand());
        const ExpressionNode& b = operand(node.right_operand());
        if (node.kind() == NodeKind::Equals && a == b) {
          rewritten.push_back(ExpressionNode::boolean(true));
          break;
        }
        if (!is_numeric(a) || !is_numeric(b)) {
          rewritten.push_back(node);
          break;
        }
        const Rational x = get_rational_from_expression_node(a);
        const Rational y = get_rational_from_expression_node(b);
        switch (node.kind()) {
          case NodeKind::Equals: rewritten.push_back(ExpressionNode::boolean(x == y)); break;
          case NodeKind::LE: rewritten.push_back(ExpressionNode::boolean(x <= y)); break;
          case NodeKind::LT: rewritten.push_back(ExpressionNode::boolean(x < y)); break;
          case NodeKind::Minus: rewritten.push_back(detail::number_node(x - y)); break;
          default:
            if (y.is_zero()) detail::division_by_zero();
            rewritten.push_back(detail::number_node(x / y));
            break;
        }
        break;
      }
      case NodeKind::Plus:
      case NodeKind::Times: {
        const bool plus = node.kind() == NodeKind::Plus;
        const std::span<const std::uint64_t> ops = node.operand_list();
        Rational accumulated(plus ? 0 : 1);
        std::size_t first_numeric = ops.size();  // slot in `kept`
        kept.clear();
        for (const std::uint64_t p : ops) {
          const ExpressionNode& v = operand(p);
          if (!is_numeric(v)) {
            kept.push_back(p);
            continue;
          }
          const Rational x = get_rational_from_expression_node(v);
          accumulated = plus ? accumulated + x : accumulated * x;
          if (first_numeric == ops.size()) {
            first_numeric = kept.size();
            kept.push_back(p);
          }
        }
        if (first_numeric == ops.size()) {  // no operands, or none numeric
          rewritten.push_back(node);
        } else if (kept.size() == 1) {
          rewritten.push_back(detail::number_node(accumulated));
        } else {
          out.folds.insert_or_assign(i, FoldedOperand{first_numeric, detail::number_node(accumulated)});
          rewritten.push_back(ExpressionNode::list_operator(node.kind(), kept));
        }
        break;
      }
    }
  }
  return out;
}

// Phase 2: the post-order of the tree under the root, each node emitted once per path that
// reaches it, positions renumbered from 0. Explicit stacks keep the C stack flat whatever the
// depth.
NodeList compact(const Rewritten& rewritten) {
  const NodeList& nodes = rewritten.nodes;
  enum class Step : std::uint8_t { Expand, Emit, EmitFolded };
  struct Work {
    std::uint64_t position;
    Step step;
  };
  std::vector<Work> work{{nodes.size() - 1, Step::Expand}};
  std::vector<std::uint64_t> emitted;  // result positions of finished operands
  std::vector<std::uint64_t> operands;
  NodeList result;

  while (!work.empty()) {
    const Work item = work.back();
    work.pop_back();
    const ExpressionNode& node = nodes[item.position];
    const NodeKind kind = node.kind();

    if (item.step == Step::EmitFolded) {
      emitted.push_back(result.size());
      result.push_back(rewritten.folds.at(item.position).constant);
      continue;
    }
    if (is_leaf(kind)) {
      emitted.push_back(result.size());
      result.push_back(node);
      continue;
    }
    const std::span<const std::uint64_t> ops = node.operands();
    if (item.step == Step::Expand) {
      // Operands must stand before their user. The rewrite checked that for every node it made;
      // this catches an operator node given as a fluent's value, whose positions would otherwise
      // send the walk anywhere, round in a cycle included.
      for (const std::uint64_t p : ops) {
        if (p >= item.position) detail::operand_not_below(p, item.position);
      }
      work.push_back({item.position, Step::Emit});
      const auto fold = has_operand_list(kind) ? rewritten.folds.find(item.position) : rewritten.folds.end();
      for (std::size_t k = ops.size(); k-- > 0;) {
        if (fold != rewritten.folds.end() && fold->second.slot == k) {
          work.push_back({item.position, Step::EmitFolded});
        } else {
          work.push_back({ops[k], Step::Expand});
        }
      }
      continue;
    }
    // Step::Emit: the operands' result positions are the top of `emitted`, the last on top.
    operands.assign(emitted.end() - static_cast<std::ptrdiff_t>(ops.size()), emitted.end());
    emitted.resize(emitted.size() - ops.size());
    emitted.push_back(result.size());
    if (kind == NodeKind::Not) {
      result.push_back(ExpressionNode::not_operator(operands[0]));
    } else if (is_binary(kind)) {
      result.push_back(ExpressionNode::binary_operator(kind, operands[0], operands[1]));
    } else {
      result.push_back(ExpressionNode::list_operator(kind, operands));
    }
  }
  return result;
}

}  // namespace

NodeList simplify(std::span<const ExpressionNode> expression, const FluentValueMap& assignments) {
  QUENDRAL_CHECK(!expression.empty(), "simplification of an empty expression");
  return compact(rewrite(expression, assignments));
}

}  // namespace quendral
