#include "base/expressions/expressions.hpp"

#include <memory>
#include <mutex>
#include <new>

#include <boost/unordered/unordered_flat_map.hpp>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "base/core/errors.hpp"

namespace quendral {
namespace {

// Object names are interned for the life of the process: nodes hold a plain pointer, copies cost
// nothing and equal names are the same pointer. The table is never freed on purpose, so nodes
// that outlive static destruction stay valid.
class NameTable {
 public:
  const detail::InternedName* intern(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(text);
    if (it != names_.end()) return it->second.get();
    const std::uint64_t object = names_.size();
    QUENDRAL_CHECK(object + 2 < kNoValueCode, "too many object names");
    auto entry = std::make_unique<detail::InternedName>(
        detail::InternedName{std::string(text), static_cast<std::uint32_t>(object + 2)});
    const detail::InternedName* result = entry.get();
    names_.emplace(std::string_view(entry->text), std::move(entry));
    publish_node(static_cast<std::uint32_t>(object), result);
    return result;
  }

  std::uint32_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::uint32_t>(names_.size());
  }

 private:
  // Stores the node of object `object` in its segment, making the segment first when `object`
  // opens it. Readers find a code only through a name handed out after this, so the node is
  // in place before anyone looks.
  static void publish_node(std::uint32_t object, const detail::InternedName* name) {
    const detail::ObjectSlot slot = detail::object_slot(object);
    const ExpressionNode* segment = detail::g_object_segments[slot.segment].load(std::memory_order_relaxed);
    if (!segment) {
      segment = new ExpressionNode[std::size_t{detail::kSegmentBase} << slot.segment];  // never freed, as the names
      detail::g_object_segments[slot.segment].store(segment, std::memory_order_release);
    }
    const_cast<ExpressionNode&>(segment[slot.offset]) = ExpressionNode::interned_object(name);
  }

  std::mutex mutex_;
  boost::unordered_flat_map<std::string_view, std::unique_ptr<detail::InternedName>> names_;
};

NameTable& name_table() {
  static NameTable* table = new NameTable();
  return *table;
}

void append_positions(std::string& out, std::span<const std::uint64_t> positions) {
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(positions[i]);
  }
}

}  // namespace

namespace detail {

OperandBox* make_operand_box(std::span<const std::uint64_t> positions) {
  const std::size_t bytes = offsetof(OperandBox, positions) + sizeof(std::uint64_t) * std::max<std::size_t>(positions.size(), 1);
  void* memory = ::operator new(bytes);
  auto* box = static_cast<OperandBox*>(memory);
  new (&box->refs) std::atomic<std::uint32_t>(1);
  box->size = positions.size();
  if (!positions.empty()) std::memcpy(box->positions, positions.data(), positions.size() * sizeof(std::uint64_t));
  return box;
}

void release_operand_box(OperandBox* box) noexcept {
  if (box->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    box->refs.~atomic();
    ::operator delete(box);
  }
}

const ExpressionNode kBoolNodes[2] = {ExpressionNode::boolean(false), ExpressionNode::boolean(true)};
std::atomic<const ExpressionNode*> g_object_segments[kObjectSegments] = {};

}  // namespace detail

const char* kind_name(NodeKind kind) noexcept {
  static constexpr const char* kNames[] = {"Bool", "Int",    "Rational", "Fluent", "Object",
                                           "And",  "Or",     "Not",      "Equals", "LE",
                                           "LT",   "Plus",   "Minus",    "Times",  "Div"};
  return kNames[static_cast<int>(kind)];
}

// ---------------------------------------------------------------- construction

std::uint32_t value_code_bound() { return name_table().size() + 2; }

ExpressionNode ExpressionNode::object(std::string_view name) { return interned_object(name_table().intern(name)); }

ExpressionNode ExpressionNode::interned_object(const detail::InternedName* name) noexcept {
  ExpressionNode n;
  n.kind_ = NodeKind::Object;
  n.u_.name = name;
  return n;
}

ExpressionNode ExpressionNode::list_operator(NodeKind kind, std::span<const std::uint64_t> positions) {
  QUENDRAL_CHECK(has_operand_list(kind), "not a list operator");
  ExpressionNode n;
  n.u_.list = detail::make_operand_box(positions);
  n.kind_ = kind;
  return n;
}

// ---------------------------------------------------------------- value semantics

std::span<const std::uint64_t> ExpressionNode::operands() const noexcept {
  if (has_operand_list(kind_)) return {u_.list->positions, static_cast<std::size_t>(u_.list->size)};
  if (kind_ == NodeKind::Not) return {u_.word, 1};
  if (is_binary(kind_)) return {u_.word, 2};
  return {};
}

bool operator==(const ExpressionNode& a, const ExpressionNode& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case NodeKind::Bool: return a.u_.flag == b.u_.flag;
    case NodeKind::Int: return a.u_.integer == b.u_.integer;
    case NodeKind::Rational: return a.u_.rational == b.u_.rational;
    case NodeKind::Fluent:
    case NodeKind::Not: return a.u_.word[0] == b.u_.word[0];
    case NodeKind::Object: return a.u_.name == b.u_.name;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Plus:
    case NodeKind::Times: {
      const auto* x = a.u_.list;
      const auto* y = b.u_.list;
      return x == y || (x->size == y->size && std::memcmp(x->positions, y->positions, x->size * 8) == 0);
    }
    default: return a.u_.word[0] == b.u_.word[0] && a.u_.word[1] == b.u_.word[1];
  }
}

void ExpressionNode::hash_into(FxHasher& hasher) const noexcept {
  hasher.write_u64(static_cast<std::uint64_t>(kind_));
  switch (kind_) {
    case NodeKind::Bool: hasher.write_u8(u_.flag ? 1 : 0); break;
    case NodeKind::Int: u_.integer.hash_into(hasher); break;
    case NodeKind::Rational: u_.rational.hash_into(hasher); break;
    case NodeKind::Fluent:
    case NodeKind::Not: hasher.write_u64(u_.word[0]); break;
    case NodeKind::Object:
      hasher.write_bytes(u_.name->text.data(), u_.name->text.size());
      hasher.write_u8(0xff);
      break;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Plus:
    case NodeKind::Times:
      hasher.write_u64(u_.list->size);
      hasher.write_bytes(u_.list->positions, u_.list->size * 8);
      break;
    default:
      hasher.write_u64(u_.word[0]);
      hasher.write_u64(u_.word[1]);
      break;
  }
}

bool operator==(std::span<const ExpressionNode> a, std::span<const ExpressionNode> b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

void hash_node_list(FxHasher& hasher, std::span<const ExpressionNode> nodes) noexcept {
  hasher.write_u64(nodes.size());
  for (const ExpressionNode& node : nodes) node.hash_into(hasher);
}

// ---------------------------------------------------------------- printed form

std::string escape_object_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '"';
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
  const auto length = static_cast<std::int32_t>(name.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {  // not UTF-8: names enter as Python text, so this cannot happen; keep the byte
      out += name[static_cast<std::size_t>(start)];
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    bool escape = false;
    switch (u_charType(c)) {
      case U_CONTROL_CHAR:
      case U_FORMAT_CHAR:
      case U_SURROGATE:
      case U_PRIVATE_USE_CHAR:
      case U_UNASSIGNED:
      case U_LINE_SEPARATOR:
      case U_PARAGRAPH_SEPARATOR: escape = true; break;
      case U_SPACE_SEPARATOR: escape = c != ' '; break;
      default: escape = u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND); break;
    }
    if (escape) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
      out += buffer;
    } else {
      out.append(name.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  out += '"';
  return out;
}

std::string ExpressionNode::repr() const {
  std::string out = kind_name(kind_);
  out += '(';
  switch (kind_) {
    case NodeKind::Bool: out += u_.flag ? "true" : "false"; break;
    case NodeKind::Int: out += u_.integer.to_string(); break;
    case NodeKind::Rational:
      out += "Ratio { numer: ";
      out += u_.rational.numer().to_string();
      out += ", denom: ";
      out += u_.rational.denom().to_string();
      out += " }";
      break;
    case NodeKind::Fluent: out += std::to_string(u_.word[0]); break;
    case NodeKind::Object: out += escape_object_name(u_.name->text); break;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Plus:
    case NodeKind::Times:
      out += '[';
      append_positions(out, operands());
      out += ']';
      break;
    default: append_positions(out, operands()); break;
  }
  out += ')';
  return out;
}

// ---------------------------------------------------------------- engine operations

ExpressionNode make_operator(std::string_view kind, std::span<const std::uint64_t> operands) {
  auto need = [&](std::size_t count) {
    QUENDRAL_CHECK(operands.size() >= count, "operator '" + std::string(kind) + "' needs " + std::to_string(count) +
                                                 " operand(s), got " + std::to_string(operands.size()));
  };
  if (kind == "and") return ExpressionNode::list_operator(NodeKind::And, operands);
  if (kind == "or") return ExpressionNode::list_operator(NodeKind::Or, operands);
  if (kind == "+") return ExpressionNode::list_operator(NodeKind::Plus, operands);
  if (kind == "*") return ExpressionNode::list_operator(NodeKind::Times, operands);
  if (kind == "not") {
    need(1);
    return ExpressionNode::not_operator(operands[0]);
  }
  NodeKind binary;
  if (kind == "==") {
    binary = NodeKind::Equals;
  } else if (kind == "<=") {
    binary = NodeKind::LE;
  } else if (kind == "<") {
    binary = NodeKind::LT;
  } else if (kind == "-") {
    binary = NodeKind::Minus;
  } else if (kind == "/") {
    binary = NodeKind::Div;
  } else {
    throw Error(ErrorKind::ValueError, "Unknown operator: " + std::string(kind));
  }
  need(2);
  return ExpressionNode::binary_operator(binary, operands[0], operands[1]);
}

Rational get_rational_from_expression_node(const ExpressionNode& node) {
  if (node.kind() == NodeKind::Int) return Rational(node.int_value());
  if (node.kind() == NodeKind::Rational) return node.rational_value();
  throw Error(ErrorKind::ValueError, "Expected a number!");
}

// ---------------------------------------------------------------- interning

Expression ExpressionManager::put(std::span<const ExpressionNode> nodes) {
  if (!node_lists_.empty()) {
    const auto it = ids_.find(nodes);
    if (it != ids_.end()) return it->second;
  }
  const Expression expression{node_lists_.size()};
  node_lists_.emplace_back(nodes.begin(), nodes.end());
  try {
    ids_.emplace(NodeList(nodes.begin(), nodes.end()), expression);
  } catch (...) {
    node_lists_.pop_back();  // keep both tables in step when memory runs out
    throw;
  }
  return expression;
}

const NodeList& ExpressionManager::get(Expression expression) const {
  QUENDRAL_CHECK(expression.id < node_lists_.size(),
                 "expression id " + std::to_string(expression.id) + " was not issued by this manager (" +
                     std::to_string(node_lists_.size()) + " interned)");
  return node_lists_[expression.id];
}

}  // namespace quendral
