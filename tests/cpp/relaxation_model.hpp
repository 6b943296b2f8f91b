// A small literal model of the relaxation's condition handling, for the tests: expressions as
// trees (so the model can recurse where the engine walks flat lists with stacks), their post-order
// node lists, linear forms computed by recursion, the rewrites applied to trees, and seeded random
// well-typed conditions over a fixed typed fluent set.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "base/heuristics/relaxation_conditions.hpp"
#include "base/space/search_state.hpp"

namespace quendral::testing::model {

struct Tree {
  NodeKind kind = NodeKind::Bool;
  std::int64_t number = 0;  // Int value, Fluent index, Bool flag
  Rational rational;        // Rational value
  std::string name;         // Object name
  std::vector<Tree> children;
};

inline Tree F(std::int64_t fluent) { return Tree{NodeKind::Fluent, fluent, {}, {}, {}}; }
inline Tree I(std::int64_t value) { return Tree{NodeKind::Int, value, {}, {}, {}}; }
inline Tree Q(std::int64_t numerator, std::int64_t denominator) {
  return Tree{NodeKind::Rational, 0, Rational(BigInt(numerator), BigInt(denominator)), {}, {}};
}
inline Tree B(bool value) { return Tree{NodeKind::Bool, value ? 1 : 0, {}, {}, {}}; }
inline Tree O(std::string name) { return Tree{NodeKind::Object, 0, {}, std::move(name), {}}; }
inline Tree op(NodeKind kind, std::vector<Tree> children) { return Tree{kind, 0, {}, {}, std::move(children)}; }
inline Tree Not(Tree t) { return op(NodeKind::Not, {std::move(t)}); }
inline Tree Eq(Tree a, Tree b) { return op(NodeKind::Equals, {std::move(a), std::move(b)}); }
inline Tree Le(Tree a, Tree b) { return op(NodeKind::LE, {std::move(a), std::move(b)}); }
inline Tree Lt(Tree a, Tree b) { return op(NodeKind::LT, {std::move(a), std::move(b)}); }
inline Tree Sub(Tree a, Tree b) { return op(NodeKind::Minus, {std::move(a), std::move(b)}); }
inline Tree Div(Tree a, Tree b) { return op(NodeKind::Div, {std::move(a), std::move(b)}); }

// The post-order node list of a tree.
inline void append_nodes(const Tree& t, NodeList& out) {
  std::vector<std::uint64_t> positions;
  for (const Tree& child : t.children) {
    append_nodes(child, out);
    positions.push_back(out.size() - 1);
  }
  switch (t.kind) {
    case NodeKind::Bool: out.push_back(ExpressionNode::boolean(t.number != 0)); break;
    case NodeKind::Int: out.push_back(ExpressionNode::integer(BigInt(t.number))); break;
    case NodeKind::Rational: out.push_back(ExpressionNode::rational(t.rational)); break;
    case NodeKind::Fluent: out.push_back(ExpressionNode::fluent(static_cast<std::uint64_t>(t.number))); break;
    case NodeKind::Object: out.push_back(ExpressionNode::object(t.name)); break;
    case NodeKind::Not: out.push_back(ExpressionNode::not_operator(positions[0])); break;
    case NodeKind::And:
    case NodeKind::Or:
    case NodeKind::Plus:
    case NodeKind::Times: out.push_back(ExpressionNode::list_operator(t.kind, positions)); break;
    default: out.push_back(ExpressionNode::binary_operator(t.kind, positions[0], positions[1])); break;
  }
}

inline NodeList nodes_of(const Tree& t) {
  NodeList out;
  append_nodes(t, out);
  return out;
}

// ---------------------------------------------------------------- linear forms

struct Poly {
  std::optional<Rational> constant;
  std::map<std::uint64_t, Rational> terms;
  bool is_constant() const { return terms.empty() && constant.has_value(); }
};

inline void drop_zero_terms(Poly& p) {
  std::erase_if(p.terms, [](const auto& term) { return term.second.is_zero(); });
}

inline std::optional<Poly> linear(const Tree& t) {
  std::vector<Poly> parts;
  for (const Tree& child : t.children) {
    std::optional<Poly> part = linear(child);
    if (!part) return std::nullopt;
    parts.push_back(std::move(*part));
  }
  Poly p;
  switch (t.kind) {
    case NodeKind::Int: p.constant.emplace(t.number); return p;
    case NodeKind::Rational: p.constant.emplace(t.rational); return p;
    case NodeKind::Fluent: p.terms[static_cast<std::uint64_t>(t.number)] = Rational(1); return p;
    case NodeKind::Plus:
      for (const Poly& part : parts) {
        if (part.constant) p.constant = p.constant ? *p.constant + *part.constant : *part.constant;
        for (const auto& [f, c] : part.terms) p.terms[f] = p.terms.contains(f) ? p.terms[f] + c : c;
      }
      drop_zero_terms(p);
      return p;
    case NodeKind::Minus: {
      p = parts[0];
      if (parts[1].constant) p.constant = p.constant.value_or(Rational()) - *parts[1].constant;
      for (const auto& [f, c] : parts[1].terms) p.terms[f] = p.terms.contains(f) ? p.terms[f] - c : -c;
      drop_zero_terms(p);
      return p;
    }
    case NodeKind::Times: {
      Rational product(1);
      std::optional<Poly> factor;
      for (const Poly& part : parts) {
        if (part.is_constant()) {
          product = product * *part.constant;
        } else if (factor) {
          return std::nullopt;
        } else {
          factor = part;
        }
      }
      if (!factor || product.is_zero()) {
        p.constant = product;
        return p;
      }
      if (factor->constant) factor->constant = *factor->constant * product;
      for (auto& term : factor->terms) term.second = term.second * product;
      return factor;
    }
    case NodeKind::Div: {
      if (!parts[1].is_constant() || parts[1].constant->is_zero()) return std::nullopt;
      p = parts[0];
      if (p.constant) p.constant = *p.constant / *parts[1].constant;
      for (auto& term : p.terms) term.second = term.second / *parts[1].constant;
      return p;
    }
    default: return std::nullopt;
  }
}

// ---------------------------------------------------------------- the typed task of the random tests

// Fluents 0-1 "bool", 2-4 "int", 5-6 "room" (objects ra, rb, rc), 7 "ball" (one object), 8 of a
// type without an object list.
inline FluentTypes test_fluent_types() { return {"bool", "bool", "int", "int", "int", "room", "room", "ball", "crate"}; }
inline ObjectsTable test_objects() { return {{"room", {"ra", "rb", "rc"}}, {"ball", {"b1"}}}; }

inline bool comparison(NodeKind k) { return k == NodeKind::Equals || k == NodeKind::LE || k == NodeKind::LT; }

// One entry of a modelled relaxed condition: a fact's node list, or And/Or with a count.
struct Entry {
  HeuristicExpressionNode::Kind kind;
  std::uint64_t count = 0;
  NodeList fact;
};

// The conversion and the rewrites, applied to the tree: what the engine must produce.
class Normaliser {
 public:
  Normaliser(FluentTypes types, ObjectsTable objects, bool disable)
      : types_(std::move(types)), objects_(std::move(objects)), disable_(disable) {}

  std::vector<Entry> run(const Tree& t, bool& has_or) {
    std::vector<Entry> out;
    has_or = false;
    convert(t, out, has_or);
    return out;
  }

 private:
  void convert(const Tree& t, std::vector<Entry>& out, bool& has_or) {
    if (t.kind == NodeKind::And || t.kind == NodeKind::Or) {
      for (auto it = t.children.rbegin(); it != t.children.rend(); ++it) convert(*it, out, has_or);
      out.push_back(Entry{t.kind == NodeKind::And ? HeuristicExpressionNode::Kind::And : HeuristicExpressionNode::Kind::Or,
                          t.children.size(), {}});
      if (t.kind == NodeKind::Or) has_or = true;
      return;
    }
    rewrite(t, out, has_or);
  }

  static Entry fact(const Tree& t) { return Entry{HeuristicExpressionNode::Kind::Fact, 0, nodes_of(t)}; }

  bool numeric_equality(const Tree& eq) const {
    for (const Tree& side : eq.children) {
      if (side.kind == NodeKind::Object) return false;
      if (side.kind == NodeKind::Fluent) {
        const auto f = static_cast<std::size_t>(side.number);
        if (f >= types_.size() || !is_numeric_type(types_[f])) return false;
      }
    }
    return true;
  }

  void rewrite(const Tree& t, std::vector<Entry>& out, bool& has_or) {
    const bool negated = t.kind == NodeKind::Not;
    const Tree& i = negated ? t.children[0] : t;
    const bool numeric = i.kind == NodeKind::LE || i.kind == NodeKind::LT || i.kind == NodeKind::Plus ||
                         i.kind == NodeKind::Minus || i.kind == NodeKind::Times || i.kind == NodeKind::Div ||
                         (i.kind == NodeKind::Equals && numeric_equality(i));
    if (!disable_ && numeric) {
      if (comparison(i.kind)) {
        const Tree& a = i.children[0];
        const Tree& b = i.children[1];
        if (negated && i.kind == NodeKind::Equals) {
          if (linear(Sub(a, b))) {
            out.push_back(fact(Lt(a, b)));
            out.push_back(fact(Lt(b, a)));
            out.push_back(Entry{HeuristicExpressionNode::Kind::Or, 2, {}});
            has_or = true;
            return;
          }
        } else if (negated) {
          if (linear(Sub(b, a))) {
            out.push_back(fact(i.kind == NodeKind::LE ? Lt(b, a) : Le(b, a)));
            return;
          }
        } else if (i.kind == NodeKind::Equals) {
          if (linear(Sub(a, b))) {
            out.push_back(fact(Le(a, b)));
            out.push_back(fact(Le(b, a)));
            out.push_back(Entry{HeuristicExpressionNode::Kind::And, 2, {}});
            return;
          }
        }
      }
      out.push_back(fact(t));
      return;
    }
    if (negated && i.kind == NodeKind::Equals && i.children[0].kind == NodeKind::Fluent &&
        i.children[1].kind == NodeKind::Object) {
      const auto f = static_cast<std::size_t>(i.children[0].number);
      const auto entry = f < types_.size() ? objects_.find(types_[f]) : objects_.end();
      if (entry != objects_.end()) {
        std::size_t kept = 0;
        for (const std::string& name : entry->second) {
          if (name == i.children[1].name) continue;
          out.push_back(fact(Eq(i.children[0], O(name))));
          ++kept;
        }
        if (kept == 0) out.push_back(fact(B(false)));
        if (kept > 1) {
          out.push_back(Entry{HeuristicExpressionNode::Kind::Or, kept, {}});
          has_or = true;
        }
        return;
      }
    }
    out.push_back(fact(t));
  }

  FluentTypes types_;
  ObjectsTable objects_;
  bool disable_;
};

// ---------------------------------------------------------------- random inputs

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  std::int64_t between(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_); }
  bool chance(int percent) { return between(1, 100) <= percent; }

  // An arithmetic expression over the "int" fluents 2-4; a divisor is a non-zero constant or a
  // fluent (random states never give an "int" fluent the value 0).
  Tree number(int depth) {
    const std::int64_t pick = depth <= 0 ? between(0, 2) : between(0, 7);
    switch (pick) {
      case 0: return I(between(-3, 3));
      case 1: {
        // A whole number is written as an `Int`, as arithmetic results are: equality compares
        // nodes, so a `Rational` 1/1 would differ from `Int` 1 where a comparison would not.
        const std::int64_t numerator = between(-5, 5), denominator = between(1, 4);
        return numerator % denominator == 0 ? I(numerator / denominator) : Q(numerator, denominator);
      }
      case 2: return F(between(2, 4));
      case 3:
      case 4: {
        std::vector<Tree> parts;
        const std::int64_t k = between(1, 3);
        for (std::int64_t j = 0; j < k; ++j) parts.push_back(number(depth - 1));
        return op(pick == 3 ? NodeKind::Plus : NodeKind::Times, std::move(parts));
      }
      case 5: return Sub(number(depth - 1), number(depth - 1));
      case 6: return Div(number(depth - 1), chance(70) ? I(chance(50) ? between(1, 3) : between(-3, -1)) : F(between(2, 4)));
      default: return F(between(2, 4));
    }
  }

  // A Boolean atom of the typed fluent set, possibly negated.
  Tree atom() {
    Tree t;
    switch (between(0, 7)) {
      case 0: t = F(between(0, 1)); break;
      case 1: t = Eq(F(between(0, 1)), F(between(0, 1))); break;  // two Boolean fluents
      case 2:
      case 3: {
        const NodeKind kinds[] = {NodeKind::LE, NodeKind::LT, NodeKind::Equals};
        t = op(kinds[between(0, 2)], {number(2), number(2)});
        break;
      }
      case 4: t = Eq(F(between(5, 6)), O(room())); break;
      case 5: t = chance(50) ? Eq(F(7), O(chance(80) ? "b1" : "b2")) : Eq(F(8), O(chance(50) ? "c1" : "c2")); break;
      case 6: t = Eq(F(between(5, 6)), F(between(5, 6))); break;  // two object-valued fluents
      default: t = Eq(O(room()), F(between(5, 6))); break;        // object written first
    }
    return chance(50) ? Not(std::move(t)) : t;
  }

  // Under a negation every connective has operands: the first-operand path of a fact must.
  Tree condition(int depth, bool negated = false) {
    if (depth <= 0 || chance(30)) return atom();
    if (chance(10)) return Not(condition(depth - 1, true));  // a negated connective stays one fact
    std::vector<Tree> parts;
    const std::int64_t k = between(negated ? 1 : 0, 3);
    for (std::int64_t j = 0; j < k; ++j) parts.push_back(condition(depth - 1, negated));
    return op(chance(50) ? NodeKind::And : NodeKind::Or, std::move(parts));
  }

  // Values for the fluents of `test_fluent_types`.
  NodeList state() {
    NodeList values;
    for (int f = 0; f < 2; ++f) values.push_back(ExpressionNode::boolean(chance(50)));
    for (int f = 2; f < 5; ++f) {
      std::int64_t v = between(-4, 3);
      if (v >= 0) ++v;
      values.push_back(ExpressionNode::integer(BigInt(v)));
    }
    for (int f = 5; f < 7; ++f) values.push_back(ExpressionNode::object(room(false)));
    values.push_back(ExpressionNode::object("b1"));
    values.push_back(ExpressionNode::object(chance(50) ? "c1" : "c2"));
    return values;
  }

 private:
  // A fluent only ever holds an object of its type; a condition may name another ("rd").
  std::string room(bool stranger = true) {
    const char* names[] = {"ra", "rb", "rc", "rd"};
    return names[between(0, stranger && chance(10) ? 3 : 2)];
  }

  std::mt19937_64 rng_;
};

// A fluent source over a plain list of values.
struct ValueList {
  NodeList values;
  const ExpressionNode& get_fluent_value(std::uint64_t fluent) const { return values.at(fluent); }
};

// The truth of a relaxed condition in a state: every fact evaluated exactly, the connectives
// applied with a stack. Every fact must evaluate to a Boolean.
inline bool relaxed_truth(const RelaxedCondition& condition, const ExpressionManager& manager, const ValueList& state) {
  std::vector<bool> stack;
  for (const HeuristicExpressionNode& entry : condition.nodes) {
    if (entry.is_fact()) {
      const ExpressionNode value = internal_evaluate(manager.get(entry.expression()), state);
      if (value.kind() != NodeKind::Bool) throw std::runtime_error("a fact evaluated to " + value.repr());
      stack.push_back(value.flag());
      continue;
    }
    const std::size_t n = entry.count();
    if (stack.size() < n) throw std::runtime_error("a connective finds too few operands");
    const bool is_and = entry.kind == HeuristicExpressionNode::Kind::And;
    bool value = is_and;
    for (std::size_t j = 0; j < n; ++j) {
      value = is_and ? (value && stack.back()) : (value || stack.back());
      stack.pop_back();
    }
    stack.push_back(value);
  }
  if (stack.size() != 1) throw std::runtime_error("a relaxed condition left " + std::to_string(stack.size()) + " values");
  return stack.back();
}

// ---------------------------------------------------------------- tasks for the heuristic tests

inline Tree And(std::vector<Tree> children) { return op(NodeKind::And, std::move(children)); }
inline Tree Or(std::vector<Tree> children) { return op(NodeKind::Or, std::move(children)); }
inline Tree Plus(Tree a, Tree b) { return op(NodeKind::Plus, {std::move(a), std::move(b)}); }
inline Tree Times(Tree a, Tree b) { return op(NodeKind::Times, {std::move(a), std::move(b)}); }

inline Effect effect(std::uint64_t fluent, const Tree& value) { return Effect{fluent, nodes_of(value)}; }

inline Event event(std::uint64_t action, std::uint64_t pos, const Tree& conditions, std::vector<Effect> effects = {}) {
  Event e;
  e.action = Action{action};
  e.pos = pos;
  e.conditions = nodes_of(conditions);
  e.effects = std::move(effects);
  return e;
}

// A state over `values` with the given (action, next event position) pairs running, numbered
// from instance 0 on.
inline State make_state(const NodeList& values,
                        const std::vector<std::pair<std::uint64_t, std::uint64_t>>& running = {}) {
  State state(StateValues(values.begin(), values.end()));
  std::uint32_t instance = 0;
  for (const auto& [action, pos] : running) state.todo.insert_or_assign(Action{action}, TodoEntry{pos, instance++});
  return state;
}

// The one-node leaves as a list of values.
inline NodeList values_of(std::initializer_list<Tree> leaves) {
  NodeList out;
  for (const Tree& t : leaves) out.push_back(nodes_of(t).at(0));
  return out;
}

// Seeded draws for the random tasks of the heuristic tests.
struct Draws {
  std::mt19937_64 random;

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }
  bool chance(int percent) { return below(100) < percent; }

  // Up to `max_items` conjuncts drawn by `literal` (some of them a disjunction of two): the
  // constant true when none is drawn, the conjunct alone when one is.
  template <class Literal>
  Tree conjunction(int max_items, Literal&& literal) {
    std::vector<Tree> items;
    const int n = below(max_items + 1);
    for (int i = 0; i < n; ++i) items.push_back(chance(15) ? Or({literal(), literal()}) : literal());
    if (items.empty()) return B(true);
    if (items.size() == 1) return items[0];
    return And(std::move(items));
  }
};

}  // namespace quendral::testing::model
