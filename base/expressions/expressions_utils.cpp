#include "base/expressions/expressions_utils.hpp"

#include <limits>
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

// Whether the operators at positions `a` and `b` carry the same fold (or neither carries one).
// Two sums over the same operand nodes are the same structure only then: with shared operands,
// `x + 1 + 2` and `x + 1` both become `x + c` over the node of 1, with c = 3 and c = 1.
bool same_folds(const boost::unordered_flat_map<std::uint64_t, FoldedOperand>& folds, std::uint64_t a,
                std::uint64_t b) {
  if (folds.empty()) return true;
  const auto x = folds.find(a);
  const auto y = folds.find(b);
  if (x == folds.end() || y == folds.end()) return x == y;
  return x->second.slot == y->second.slot && x->second.constant == y->second.constant;
}

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
        if (node.kind() == NodeKind::Equals && a == b &&
            same_folds(out.folds, node.left_operand(), node.right_operand())) {
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

// The operand slot of the operator at `position` that holds its fold's constant, or `none` when
// it has no fold.
std::size_t folded_slot(const Rewritten& rewritten, std::uint64_t position, NodeKind kind, std::size_t none) {
  if (!has_operand_list(kind) || rewritten.folds.empty()) return none;
  const auto fold = rewritten.folds.find(position);
  return fold == rewritten.folds.end() ? none : fold->second.slot;
}

// Phase 2 emits a node once per path from the root, so on a list whose nodes are shared the
// result can be exponentially longer than the list (`x + x`, nested 64 times, is 2^65 nodes).
// Beyond this size the call fails before building anything.
constexpr std::uint64_t kMaxSimplifiedNodes = std::uint64_t{1} << 28;

// The length of phase 2's result, counted in one pass over the nodes that the root reaches: a
// node counts 1 plus the counts of its operands, a folded slot 1. The pass also vets the walk
// that phase 2 will take. An operator node given as a fluent's value keeps its operand
// positions, which may point anywhere in the list, after the node included; they are followed
// like any others, but a position beyond the list, or one that leads back to a node still being
// expanded (a cycle, such as fluent 0 given `Not(0)` at position 0), is an internal failure.
std::uint64_t result_size(const Rewritten& rewritten) {
  const NodeList& nodes = rewritten.nodes;
  enum State : std::uint8_t { kUnseen, kOnPath, kCounted };
  std::vector<std::uint8_t> state(nodes.size(), kUnseen);
  std::vector<std::uint64_t> count(nodes.size(), 0);
  struct Work {
    std::uint64_t position;
    bool expanded;
  };
  std::vector<Work> work{{nodes.size() - 1, false}};

  while (!work.empty()) {
    const Work item = work.back();
    work.pop_back();
    const std::uint64_t position = item.position;
    const ExpressionNode& node = nodes[position];
    const std::span<const std::uint64_t> ops = node.operands();
    const std::size_t folded = folded_slot(rewritten, position, node.kind(), ops.size());
    if (!item.expanded) {
      if (state[position] == kCounted) continue;  // shared: counted along an earlier path
      if (state[position] == kOnPath) {
        internal_failure("operand positions form a cycle through position " + std::to_string(position));
      }
      if (ops.empty()) {
        count[position] = 1;
        state[position] = kCounted;
        continue;
      }
      state[position] = kOnPath;
      work.push_back({position, true});
      for (std::size_t k = 0; k < ops.size(); ++k) {
        if (k == folded) continue;
        QUENDRAL_CHECK(ops[k] < nodes.size(), "operand position " + std::to_string(ops[k]) + " of position " +
                                                  std::to_string(position) + " is beyond the expression's " +
                                                  std::to_string(nodes.size()) + " nodes");
        work.push_back({ops[k], false});
      }
      continue;
    }
    std::uint64_t total = 1;
    for (std::size_t k = 0; k < ops.size(); ++k) {
      const std::uint64_t part = k == folded ? 1 : count[ops[k]];
      if (__builtin_add_overflow(total, part, &total)) total = std::numeric_limits<std::uint64_t>::max();
    }
    if (total > kMaxSimplifiedNodes) {
      internal_failure("the simplified expression would be too large: more than " +
                       std::to_string(kMaxSimplifiedNodes) + " nodes");
    }
    count[position] = total;
    state[position] = kCounted;
  }
  return count[nodes.size() - 1];
}

// Phase 2: the post-order of the tree under the root, each node emitted once per path that
// reaches it, positions renumbered from 0. Explicit stacks keep the C stack flat whatever the
// depth. `result_size` has checked the walk, and sized the result.
NodeList compact(const Rewritten& rewritten) {
  const NodeList& nodes = rewritten.nodes;
  enum class Step : std::uint8_t { Expand, Emit, EmitFolded };
  struct Work {
    std::uint64_t position;
    Step step;
  };
  NodeList result;
  result.reserve(result_size(rewritten));
  std::vector<Work> work{{nodes.size() - 1, Step::Expand}};
  std::vector<std::uint64_t> emitted;  // result positions of finished operands
  std::vector<std::uint64_t> operands;

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
      work.push_back({item.position, Step::Emit});
      const std::size_t folded = folded_slot(rewritten, item.position, kind, ops.size());
      for (std::size_t k = ops.size(); k-- > 0;) {
        work.push_back(k == folded ? Work{item.position, Step::EmitFolded} : Work{ops[k], Step::Expand});
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
