// Expression nodes.
//
// Every expression is a flat node list in post-order: each operand position of a node is smaller
// than the node's own position and the last node is the root. A node is one fixed-size record
// (24 bytes): a kind byte and an inline payload. Small integers, small rationals, flags, fluent
// indices and the operand positions of unary and binary operators are stored inline; big numbers
// and variadic operand lists live in immutable reference-counted boxes shared by copies, and
// object names are interned once per process, so comparing two names compares two pointers.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <deque>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/numbers.hpp"

namespace quendral {

enum class NodeKind : std::uint8_t {
  Bool = 0,
  Int = 1,
  Rational = 2,
  Fluent = 3,
  Object = 4,
  And = 5,
  Or = 6,
  Not = 7,
  Equals = 8,
  LE = 9,
  LT = 10,
  Plus = 11,
  Minus = 12,
  Times = 13,
  Div = 14,
};

const char* kind_name(NodeKind kind) noexcept;
inline bool is_leaf(NodeKind kind) noexcept { return kind <= NodeKind::Object; }
inline bool has_operand_list(NodeKind kind) noexcept {
  return kind == NodeKind::And || kind == NodeKind::Or || kind == NodeKind::Plus || kind == NodeKind::Times;
}
inline bool is_binary(NodeKind kind) noexcept {
  return kind == NodeKind::Equals || kind == NodeKind::LE || kind == NodeKind::LT || kind == NodeKind::Minus ||
         kind == NodeKind::Div;
}

namespace detail {
struct InternedName {
  std::string text;
  std::uint32_t code;  // the name's value code (see `value_code`)
};
struct OperandBox {
  std::atomic<std::uint32_t> refs;
  std::uint64_t size;
  std::uint64_t positions[1];  // `size` entries
};
OperandBox* make_operand_box(std::span<const std::uint64_t> positions);
void release_operand_box(OperandBox* box) noexcept;
inline void retain_operand_box(OperandBox* box) noexcept { box->refs.fetch_add(1, std::memory_order_relaxed); }
}  // namespace detail

class ExpressionNode {
 public:
  // A default node is `Bool` false; it exists so that node arrays can be sized up front.
  ExpressionNode() noexcept : kind_(NodeKind::Bool) { u_.flag = false; }

  static ExpressionNode boolean(bool value) noexcept;
  static ExpressionNode integer(BigInt value) noexcept;
  static ExpressionNode rational(Rational value) noexcept;
  static ExpressionNode fluent(std::uint64_t index) noexcept;
  static ExpressionNode object(std::string_view name);
  // The node of a name already interned (`interned_name()` of an object node).
  static ExpressionNode interned_object(const detail::InternedName* name) noexcept;
  // `And`, `Or`, `Plus`, `Times`.
  static ExpressionNode list_operator(NodeKind kind, std::span<const std::uint64_t> positions);
  static ExpressionNode not_operator(std::uint64_t operand) noexcept;
  // `Equals`, `LE`, `LT`, `Minus`, `Div`.
  static ExpressionNode binary_operator(NodeKind kind, std::uint64_t left, std::uint64_t right) noexcept;

  ExpressionNode(const ExpressionNode& other) noexcept { copy_from(other); }
  ExpressionNode(ExpressionNode&& other) noexcept { steal_from(other); }
  ExpressionNode& operator=(const ExpressionNode& other) noexcept {
    if (this != &other) {
      destroy();
      copy_from(other);
    }
    return *this;
  }
  ExpressionNode& operator=(ExpressionNode&& other) noexcept {
    if (this != &other) {
      destroy();
      steal_from(other);
    }
    return *this;
  }
  ~ExpressionNode() { destroy(); }

  NodeKind kind() const noexcept { return kind_; }

  // Payload access; each requires the matching kind.
  bool flag() const noexcept { return u_.flag; }
  const BigInt& int_value() const noexcept { return u_.integer; }
  const Rational& rational_value() const noexcept { return u_.rational; }
  std::uint64_t fluent_index() const noexcept { return u_.word[0]; }
  std::string_view object_name() const noexcept { return u_.name->text; }
  const detail::InternedName* interned_name() const noexcept { return u_.name; }
  // The operand positions of any operator kind (one for `Not`, two for binary kinds).
  std::span<const std::uint64_t> operands() const noexcept;
  // Direct reads for code that has already switched on the kind: the operand of `Not`, the two
  // operands of a binary kind, the list of a list kind.
  std::uint64_t unary_operand() const noexcept { return u_.word[0]; }
  std::uint64_t left_operand() const noexcept { return u_.word[0]; }
  std::uint64_t right_operand() const noexcept { return u_.word[1]; }
  std::span<const std::uint64_t> operand_list() const noexcept {
    return {u_.list->positions, static_cast<std::size_t>(u_.list->size)};
  }

  bool is_bool(bool value) const noexcept { return kind_ == NodeKind::Bool && u_.flag == value; }

  friend bool operator==(const ExpressionNode& a, const ExpressionNode& b) noexcept;
  void hash_into(FxHasher& hasher) const noexcept;
  // The printed form, e.g. "Int(-12)", "LE(0, 1)", "Object(\"truck-1\")".
  std::string repr() const;

 private:
  bool owns_box() const noexcept {
    switch (kind_) {
      case NodeKind::Int: return !u_.integer.is_small();
      case NodeKind::Rational: return !u_.rational.is_small();
      case NodeKind::And:
      case NodeKind::Or:
      case NodeKind::Plus:
      case NodeKind::Times: return true;
      default: return false;
    }
  }
  void copy_from(const ExpressionNode& other) noexcept;
  void steal_from(ExpressionNode& other) noexcept;
  void destroy() noexcept;

  NodeKind kind_;
  union Payload {
    Payload() noexcept : word{0, 0} {}
    ~Payload() {}
    bool flag;
    BigInt integer;
    Rational rational;
    std::uint64_t word[2];  // fluent index; `Not` operand; binary operands
    const detail::InternedName* name;
    detail::OperandBox* list;
  } u_;
};

static_assert(sizeof(ExpressionNode) == 24, "a node is one 24-byte record");

// Construction and value semantics are inline: evaluation makes and drops nodes in its
// innermost loop.

inline ExpressionNode ExpressionNode::boolean(bool value) noexcept {
  ExpressionNode n;
  n.u_.flag = value;
  return n;
}

inline ExpressionNode ExpressionNode::integer(BigInt value) noexcept {
  ExpressionNode n;
  n.kind_ = NodeKind::Int;
  new (&n.u_.integer) BigInt(std::move(value));
  return n;
}

inline ExpressionNode ExpressionNode::rational(Rational value) noexcept {
  ExpressionNode n;
  n.kind_ = NodeKind::Rational;
  new (&n.u_.rational) Rational(std::move(value));
  return n;
}

inline ExpressionNode ExpressionNode::fluent(std::uint64_t index) noexcept {
  ExpressionNode n;
  n.kind_ = NodeKind::Fluent;
  n.u_.word[0] = index;
  return n;
}

inline ExpressionNode ExpressionNode::not_operator(std::uint64_t operand) noexcept {
  ExpressionNode n;
  n.kind_ = NodeKind::Not;
  n.u_.word[0] = operand;
  return n;
}

inline ExpressionNode ExpressionNode::binary_operator(NodeKind kind, std::uint64_t left, std::uint64_t right) noexcept {
  ExpressionNode n;
  n.kind_ = kind;
  n.u_.word[0] = left;
  n.u_.word[1] = right;
  return n;
}

inline void ExpressionNode::copy_from(const ExpressionNode& other) noexcept {
  kind_ = other.kind_;
  switch (kind_) {
    case NodeKind::Int: new (&u_.integer) BigInt(other.u_.integer); break;
    case NodeKind::Rational: new (&u_.rational) Rational(other.u_.rational); break;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Plus:
    case NodeKind::Times:
      u_.list = other.u_.list;
      detail::retain_operand_box(u_.list);
      break;
    default: std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof(u_)); break;
  }
}

inline void ExpressionNode::steal_from(ExpressionNode& other) noexcept {
  // Every payload is trivially relocatable: move the bytes and leave `other` as a plain flag.
  kind_ = other.kind_;
  std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof(u_));
  other.kind_ = NodeKind::Bool;
  other.u_.word[0] = 0;
  other.u_.word[1] = 0;
}

inline void ExpressionNode::destroy() noexcept {
  if (!owns_box()) return;
  switch (kind_) {
    case NodeKind::Int: u_.integer.~BigInt(); break;
    case NodeKind::Rational: u_.rational.~Rational(); break;
    default: detail::release_operand_box(u_.list); break;
  }
}

// ---------------------------------------------------------------- value codes

// A value code is a small number that stands for a Boolean or object value, the same for equal
// values: false is 0, true is 1, and the objects are numbered from 2 in the order their names are
// first interned. Every other node has `kNoValueCode`. States keep their Boolean and object values
// as codes (4 bytes instead of a 24-byte node), which makes comparing, hashing and copying them
// cheap; `node_of_value_code` gives back the node, which lives as long as the process.
inline constexpr std::uint32_t kNoValueCode = UINT32_MAX;

namespace detail {
extern const ExpressionNode kBoolNodes[2];
// The object nodes in segments that double in size: segment k holds the objects numbered
// kSegmentBase × (2^k − 1) up to (not including) kSegmentBase × (2^(k+1) − 1). A segment is made
// before any of its names is handed out and is never moved or freed.
inline constexpr std::uint32_t kSegmentBase = 1024;
inline constexpr int kObjectSegments = 22;  // room for 2^32 objects
extern std::atomic<const ExpressionNode*> g_object_segments[kObjectSegments];
// Where the node of object `object` (its code less 2) lives: its segment and its place there.
struct ObjectSlot {
  int segment;
  std::uint32_t offset;
};
inline ObjectSlot object_slot(std::uint32_t object) noexcept {
  const int k = std::bit_width(object / kSegmentBase + 1) - 1;
  return {k, object - kSegmentBase * ((std::uint32_t{1} << k) - 1)};
}
}  // namespace detail

inline std::uint32_t value_code(const ExpressionNode& node) noexcept {
  switch (node.kind()) {
    case NodeKind::Bool: return node.flag() ? 1 : 0;
    case NodeKind::Object: return node.interned_name()->code;
    default: return kNoValueCode;
  }
}

// One past the largest value code handed out so far: every Boolean and object value interned
// until now has a code below it.
std::uint32_t value_code_bound();

// The node of a code that `value_code` gave (not `kNoValueCode`).
inline const ExpressionNode& node_of_value_code(std::uint32_t code) noexcept {
  if (code < 2) return detail::kBoolNodes[code];
  const detail::ObjectSlot slot = detail::object_slot(code - 2);
  return detail::g_object_segments[slot.segment].load(std::memory_order_acquire)[slot.offset];
}

using NodeList = std::vector<ExpressionNode>;

bool operator==(std::span<const ExpressionNode> a, std::span<const ExpressionNode> b) noexcept;
void hash_node_list(FxHasher& hasher, std::span<const ExpressionNode> nodes) noexcept;

struct NodeListHash {
  std::size_t operator()(std::span<const ExpressionNode> nodes) const noexcept {
    FxHasher h;
    hash_node_list(h, nodes);
    return h.finish();
  }
};

// ---------------------------------------------------------------- interning

// The identifier of a node list interned in an `ExpressionManager`. It is meaningful only for the
// manager that issued it; equality, order and hashing are those of the index, so tables keyed by
// it hash and compare one word.
struct Expression {
  std::uint64_t id = 0;
  friend auto operator<=>(const Expression&, const Expression&) = default;
};

struct ExpressionHash {
  std::size_t operator()(Expression e) const noexcept { return fx_hash_word(e.id); }
};

// Hands out one dense identifier (0, 1, 2, ...) per distinct node list, in the order the lists
// were first seen. Nothing is ever removed. Not thread-safe: a caller sharing a manager guards
// it.
//
// A reference returned by `get` stays valid for the life of the manager, whatever is interned
// after it: heuristics read an interned list while they intern the lists they derive from it.
class ExpressionManager {
 public:
  // The identifier of the node list structurally equal to `nodes`, interning a copy first when
  // none was seen before. A list seen before costs one hash and (normally) one comparison.
  Expression put(std::span<const ExpressionNode> nodes);
  // The interned list; an identifier this manager did not issue is an internal failure.
  const NodeList& get(Expression expression) const;
  std::size_t size() const noexcept { return node_lists_.size(); }

 private:
  // Looks up a span without building a NodeList for it.
  struct Hash : NodeListHash {
    using is_transparent = void;
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(std::span<const ExpressionNode> a, std::span<const ExpressionNode> b) const noexcept {
      return a == b;
    }
  };

  // Each list is kept twice, by identifier and as a key, so that both directions are one lookup;
  // the copies share the nodes' boxes. A deque never moves its elements when it grows at the
  // end, which is what keeps the references of `get` valid.
  std::deque<NodeList> node_lists_;
  boost::unordered_flat_map<NodeList, Expression, Hash, Equal> ids_;
};

// Builds the operator node named by `kind` ("and", "or", "not", "==", "<=", "<", "+", "-", "*",
// "/"). An unknown kind is a ValueError "Unknown operator: <kind>"; fewer operand positions than
// a unary or binary kind uses is an internal failure. Further positions are ignored.
ExpressionNode make_operator(std::string_view kind, std::span<const std::uint64_t> operands);

// The exact value of an `Int` or `Rational` node; any other kind is a ValueError
// "Expected a number!".
Rational get_rational_from_expression_node(const ExpressionNode& node);

// The name between double quotes, escaped as in the printed form of `Object` nodes.
std::string escape_object_name(std::string_view name);

}  // namespace quendral
