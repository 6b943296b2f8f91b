// Algorithms over node lists: exact evaluation against a source of fluent values, cutting a
// conjunction into self-contained conjuncts, moving operand positions, and simplification under
// known fluent values.
//
// Evaluation is the innermost loop of every search, so `internal_evaluate` is a template over
// the fluent source (no virtual call per fluent) and works in a per-thread scratch store that is
// reused from call to call: Boolean and small-integer expressions are evaluated without touching
// the heap. Leaves and fluent values are read in place; only arithmetic results are written.
//
// Every algorithm here walks the list with explicit state, never by recursion, so the depth of
// an expression is limited by memory alone.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"

namespace quendral {

// A source of fluent values: the node that holds a fluent's value, read in place. An index the
// source does not know is an internal failure of the source.
template <class T>
concept FluentValuesTrait = requires(const T& source, std::uint64_t fluent) {
  { source.get_fluent_value(fluent) } -> std::same_as<const ExpressionNode&>;
};

using FluentIndexHash = FxWordHash;

namespace detail {
[[noreturn]] void fluent_not_assigned(std::uint64_t fluent);
}

// One assignment of values to some fluents. The nodes are owned elsewhere and must outlive it;
// a fluent without an entry is an internal failure.
struct FluentAssignments {
  boost::unordered_flat_map<std::uint64_t, const ExpressionNode*, FluentIndexHash> assignments;

  const ExpressionNode& get_fluent_value(std::uint64_t fluent) const {
    const auto it = assignments.find(fluent);
    if (it == assignments.end()) [[unlikely]] detail::fluent_not_assigned(fluent);
    return *it->second;
  }
};

static_assert(FluentValuesTrait<FluentAssignments>);

// ---------------------------------------------------------------- evaluation internals

namespace detail {

// The working store of one evaluation: where the value of each node is (a pointer to the node
// itself, to the source's node, to one of the two Boolean nodes, or to the slot of `computed`
// that holds an arithmetic result).
struct EvaluationScratch {
  std::vector<const ExpressionNode*> values;
  std::vector<ExpressionNode> computed;
  ExpressionNode bools[2] = {ExpressionNode::boolean(false), ExpressionNode::boolean(true)};
  bool busy = false;
  bool holds_boxes = false;  // some slot of `computed` may own a big number

  void reserve(std::size_t size);
  // Called after each evaluation: drops big numbers and stores that grew unusually large, so
  // that a thread does not keep them alive until its next evaluation.
  void tidy(std::size_t used) noexcept;
};

EvaluationScratch& thread_scratch() noexcept;

// Hands an evaluation the thread's scratch store, or a private one when the thread's store is
// already in use further up the stack.
class ScratchLease {
 public:
  explicit ScratchLease(std::size_t size) : scratch_(&thread_scratch()), size_(size) {
    if (scratch_->busy) [[unlikely]] {
      own_ = std::make_unique<EvaluationScratch>();
      scratch_ = own_.get();
    }
    if (scratch_->values.size() < size) scratch_->reserve(size);
    scratch_->busy = true;
  }
  ~ScratchLease() {
    scratch_->busy = false;
    if (scratch_->holds_boxes || size_ > kKeptSize) [[unlikely]] scratch_->tidy(size_);
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  EvaluationScratch& operator*() const noexcept { return *scratch_; }
  EvaluationScratch* operator->() const noexcept { return scratch_; }

  static constexpr std::size_t kKeptSize = std::size_t{1} << 16;

 private:
  EvaluationScratch* scratch_;
  std::unique_ptr<EvaluationScratch> own_;
  std::size_t size_;
};

[[noreturn]] void empty_expression();
[[noreturn]] void operand_not_below(std::uint64_t operand, std::size_t position);
[[noreturn]] void missing_operands(NodeKind kind, std::size_t position);
[[noreturn]] void not_a_number();
[[noreturn]] void division_by_zero();

inline bool is_number(const ExpressionNode& node) noexcept {
  return node.kind() == NodeKind::Int || node.kind() == NodeKind::Rational;
}
inline bool is_small_int(const ExpressionNode& node) noexcept {
  return node.kind() == NodeKind::Int && node.int_value().is_small();
}
inline bool is_zero_number(const ExpressionNode& node) noexcept {
  return node.kind() == NodeKind::Int ? node.int_value().is_zero() : node.rational_value().is_zero();
}
// A node whose payload lives in a box of its own.
inline bool holds_box(const ExpressionNode& node) noexcept {
  return (node.kind() == NodeKind::Int && !node.int_value().is_small()) ||
         (node.kind() == NodeKind::Rational && !node.rational_value().is_small());
}

// Structural equality, with the common kinds decided inline.
inline bool nodes_equal(const ExpressionNode& a, const ExpressionNode& b) noexcept {
  if (a.kind() != b.kind()) return false;
  if (a.kind() == NodeKind::Bool) return a.flag() == b.flag();
  if (is_small_int(a) && is_small_int(b)) return a.int_value().small_value() == b.int_value().small_value();
  return a == b;
}

// The value of operand `p` of the node at `position`; the operand must stand before it.
inline const ExpressionNode& operand_value(const ExpressionNode* const* values, std::uint64_t p, std::size_t position) {
  if (p >= position) [[unlikely]] operand_not_below(p, position);
  return *values[p];
}
inline const ExpressionNode& number_value(const ExpressionNode* const* values, std::uint64_t p, std::size_t position) {
  const ExpressionNode& v = operand_value(values, p, position);
  if (!is_number(v)) [[unlikely]] not_a_number();
  return v;
}

// Writes a small-integer result into the slot of the node at `position`, built in place: copying
// a freshly built node into the slot would read back as one block what was just written word by
// word, which stalls.
inline const ExpressionNode* store_int(ExpressionNode* computed, std::size_t position, std::int64_t result) noexcept {
  ExpressionNode* const slot = &computed[position];
  slot->~ExpressionNode();
  new (slot) ExpressionNode(ExpressionNode::integer(result));
  return slot;
}

// The number node of an exact result: `Int` when the denominator is 1, else `Rational`.
ExpressionNode number_node(const Rational& value);

// The slow paths of the arithmetic kinds (big numbers, rationals, 64-bit overflow). Both
// operands are numbers; a divisor is not zero. Each writes its result into `slot` and notes in
// `scratch` when the result holds a box.
int compare_numbers(const ExpressionNode& a, const ExpressionNode& b);
void subtract_numbers(const ExpressionNode& a, const ExpressionNode& b, EvaluationScratch& scratch,
                      ExpressionNode* slot);
void divide_numbers(const ExpressionNode& a, const ExpressionNode& b, EvaluationScratch& scratch,
                    ExpressionNode* slot);
// Continues a `Plus` (or `Times`) fold from `accumulated` with the operands in `rest`, checking
// each one's position against `position` and that its value is a number, in operand order.
void fold_numbers(bool plus, std::int64_t accumulated, std::span<const std::uint64_t> rest,
                  const ExpressionNode* const* values, std::size_t position, EvaluationScratch& scratch,
                  ExpressionNode* slot);

}  // namespace detail

// The exact value of the last node of `nodes` over the fluent values of `source`, as a new node.
//
// Every node is evaluated in list order, whether or not the root depends on it. Failures arise in
// that order, and within a node operand by operand: first the position check (an operand must
// stand before its user; otherwise an internal failure), then, where a number is needed, the
// number check (ValueError "Expected a number!"); the zero test of `Div` comes after both
// operands. `And` and `Or` stop at the first operand that decides them and do not look at the
// rest. An arithmetic result whose denominator is 1 is an `Int`. An empty list, and a `Plus` or
// `Times` without operands, are internal failures.
template <FluentValuesTrait Source>
ExpressionNode internal_evaluate(std::span<const ExpressionNode> nodes, const Source& source) {
  using detail::is_small_int;
  using detail::nodes_equal;
  using detail::number_value;
  using detail::operand_value;
  using detail::store_int;
  const std::size_t size = nodes.size();
  if (size == 0) [[unlikely]] detail::empty_expression();
  const detail::ScratchLease lease(size);
  const ExpressionNode** const values = lease->values.data();
  ExpressionNode* const computed = lease->computed.data();
  const ExpressionNode* const false_node = &lease->bools[0];
  const ExpressionNode* const true_node = &lease->bools[1];

  for (std::size_t i = 0; i < size; ++i) {
    const ExpressionNode& node = nodes[i];
    const ExpressionNode* value;
    switch (node.kind()) {
      case NodeKind::Bool:
      case NodeKind::Int:
      case NodeKind::Rational:
      case NodeKind::Object: value = &node; break;
      case NodeKind::Fluent: value = &source.get_fluent_value(node.fluent_index()); break;
      case NodeKind::And: {
        value = true_node;
        for (const std::uint64_t p : node.operand_list()) {
          if (!operand_value(values, p, i).is_bool(true)) {
            value = false_node;
            break;
          }
        }
        break;
      }
      case NodeKind::Or: {
        value = false_node;
        for (const std::uint64_t p : node.operand_list()) {
          if (operand_value(values, p, i).is_bool(true)) {
            value = true_node;
            break;
          }
        }
        break;
      }
      case NodeKind::Not:
        value = operand_value(values, node.unary_operand(), i).is_bool(false) ? true_node : false_node;
        break;
      case NodeKind::Equals: {
        const ExpressionNode& a = operand_value(values, node.left_operand(), i);
        const ExpressionNode& b = operand_value(values, node.right_operand(), i);
        value = nodes_equal(a, b) ? true_node : false_node;
        break;
      }
      case NodeKind::LE:
      case NodeKind::LT: {
        const ExpressionNode& a = number_value(values, node.left_operand(), i);
        const ExpressionNode& b = number_value(values, node.right_operand(), i);
        int order;
        if (is_small_int(a) && is_small_int(b)) {
          const std::int64_t x = a.int_value().small_value(), y = b.int_value().small_value();
          order = (x > y) - (x < y);
        } else {
          order = detail::compare_numbers(a, b);
        }
        value = (node.kind() == NodeKind::LE ? order <= 0 : order < 0) ? true_node : false_node;
        break;
      }
      case NodeKind::Plus:
      case NodeKind::Times: {
        const bool plus = node.kind() == NodeKind::Plus;
        const std::span<const std::uint64_t> ops = node.operand_list();
        if (ops.empty()) [[unlikely]] detail::missing_operands(node.kind(), i);
        // Small integers fold in a machine word; the first operand that is not one (or that
        // would overflow) hands the rest to the exact fold.
        std::int64_t sum = plus ? 0 : 1;
        std::size_t k = 0;
        for (; k < ops.size(); ++k) {
          const ExpressionNode& v = operand_value(values, ops[k], i);
          if (!is_small_int(v)) break;
          std::int64_t next;
          const std::int64_t x = v.int_value().small_value();
          if (plus ? __builtin_add_overflow(sum, x, &next) : __builtin_mul_overflow(sum, x, &next)) break;
          sum = next;
        }
        if (k == ops.size()) {
          value = store_int(computed, i, sum);
        } else {
          detail::fold_numbers(plus, sum, ops.subspan(k), values, i, *lease, &computed[i]);
          value = &computed[i];
        }
        break;
      }
      case NodeKind::Minus: {
        const ExpressionNode& a = number_value(values, node.left_operand(), i);
        const ExpressionNode& b = number_value(values, node.right_operand(), i);
        std::int64_t difference;
        if (is_small_int(a) && is_small_int(b) &&
            !__builtin_sub_overflow(a.int_value().small_value(), b.int_value().small_value(), &difference)) {
          value = store_int(computed, i, difference);
        } else {
          detail::subtract_numbers(a, b, *lease, &computed[i]);
          value = &computed[i];
        }
        break;
      }
      case NodeKind::Div: {
        const ExpressionNode& a = number_value(values, node.left_operand(), i);
        const ExpressionNode& b = number_value(values, node.right_operand(), i);
        if (detail::is_zero_number(b)) [[unlikely]] detail::division_by_zero();
        if (is_small_int(a) && is_small_int(b)) {
          const std::int64_t x = a.int_value().small_value(), y = b.int_value().small_value();
          if (y != -1 && x % y == 0) {
            value = store_int(computed, i, x / y);
            break;
          }
        }
        detail::divide_numbers(a, b, *lease, &computed[i]);
        value = &computed[i];
        break;
      }
      default: internal_failure("node of unknown kind " + std::to_string(static_cast<int>(node.kind())));
    }
    values[i] = value;
  }
  return *values[size - 1];
}

// ---------------------------------------------------------------- conjuncts and re-basing

// The conjuncts of a conjunction, one self-contained node list per operand of the root `And`, in
// operand order; a list whose root is not an `And` (or that is empty) is its own single conjunct.
// Conjunct k is the run of nodes after conjunct k - 1's root up to operand k, its operand
// positions re-based to the run's start; this relies on the post-order layout of trees. The
// root's operands must increase (an equal one gives an empty conjunct) and stand in the list;
// otherwise the call is an internal failure.
std::vector<NodeList> split_expression(std::span<const ExpressionNode> expression);

// `node` with every operand position moved down (`subtract`) or up by `offset`; leaves are copied
// unchanged (a fluent index is not a position). A position carried below 0 or past 2^64 - 1
// raises Exception "Overflow".
ExpressionNode do_shift(const ExpressionNode& node, std::uint64_t offset, bool subtract);
// `do_shift` of every node in list order; the first overflow ends the call.
NodeList shift_expression(std::span<const ExpressionNode> expression, std::uint64_t offset, bool subtract);

// ---------------------------------------------------------------- simplification

// Known fluent values for `simplify`.
using FluentValueMap = boost::unordered_flat_map<std::uint64_t, ExpressionNode, FluentIndexHash>;

// Partial evaluation of `expression` under `assignments`: assigned fluents are replaced by their
// values (as given), connectives and comparisons over constants are decided, arithmetic over
// constants is folded; the result holds only what the root still reaches, in post-order,
// renumbered from 0; a node reached along several paths is repeated once per path. A `Div` of two
// numbers with a zero divisor raises ZeroDivisionError "division by zero". An empty list, or an
// operand of the list that does not stand before its user, is an internal failure. An operator
// node given as a fluent's value keeps its operand positions, which are read in the list
// wherever they point; one beyond the list, or a cycle through such positions, is an internal
// failure. So is a result of more than 2^28 nodes, which only lists with shared nodes can reach.
NodeList simplify(std::span<const ExpressionNode> expression, const FluentValueMap& assignments);

}  // namespace quendral
