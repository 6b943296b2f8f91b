#include "base/heuristics/relaxation_linear.hpp"

#include <algorithm>
#include <string>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"

namespace quendral {

namespace {

// Term-wise sum of polynomials whose terms are sorted; a key present in only some of them keeps
// the sum of those present.
ExactPolynomial add_all(std::span<ExactPolynomial> operands) {
  ExactPolynomial sum;
  std::size_t total = 0;
  for (const ExactPolynomial& p : operands) {
    total += p.terms.size();
    if (p.constant) sum.constant = sum.constant ? *sum.constant + *p.constant : *p.constant;
  }
  if (operands.size() == 1) {
    sum.terms = std::move(operands[0].terms);
    return sum;
  }
  std::vector<std::pair<std::uint64_t, Rational>> all;
  all.reserve(total);
  for (ExactPolynomial& p : operands) {
    for (auto& term : p.terms) all.push_back(std::move(term));
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& term : all) {
    if (!sum.terms.empty() && sum.terms.back().first == term.first) {
      sum.terms.back().second = sum.terms.back().second + term.second;
    } else {
      sum.terms.push_back(std::move(term));
    }
  }
  return sum;
}

// m − s, term by term (a term of s missing from m is subtracted from zero).
ExactPolynomial subtract(const ExactPolynomial& m, const ExactPolynomial& s) {
  ExactPolynomial difference;
  if (m.constant || s.constant) {
    difference.constant = (m.constant ? *m.constant : Rational()) - (s.constant ? *s.constant : Rational());
  }
  difference.terms.reserve(m.terms.size() + s.terms.size());
  std::size_t i = 0, j = 0;
  while (i < m.terms.size() || j < s.terms.size()) {
    if (j == s.terms.size() || (i < m.terms.size() && m.terms[i].first < s.terms[j].first)) {
      difference.terms.push_back(m.terms[i++]);
    } else if (i == m.terms.size() || s.terms[j].first < m.terms[i].first) {
      difference.terms.emplace_back(s.terms[j].first, -s.terms[j].second);
      ++j;
    } else {
      difference.terms.emplace_back(m.terms[i].first, m.terms[i].second - s.terms[j].second);
      ++i;
      ++j;
    }
  }
  return difference;
}

void scale(ExactPolynomial& p, const Rational& factor, bool divide) {
  if (p.constant) p.constant = divide ? *p.constant / factor : *p.constant * factor;
  for (auto& term : p.terms) term.second = divide ? term.second / factor : term.second * factor;
}

void too_few_operands(NodeKind kind, std::size_t position) {
  internal_failure(std::string("linear form: ") + kind_name(kind) + " at position " + std::to_string(position) +
                   " finds too few operands on the stack");
}

}  // namespace

void simplify_polynomial(ExactPolynomial& polynomial) {
  std::erase_if(polynomial.terms, [](const auto& term) { return term.second.is_zero(); });
}

std::optional<LinearPolynomial> to_linear_polynomial(std::span<const ExpressionNode> nodes) {
  std::vector<ExactPolynomial> stack;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const ExpressionNode& node = nodes[i];
    switch (node.kind()) {
      case NodeKind::Int: {
        ExactPolynomial p;
        p.constant = Rational(node.int_value());
        stack.push_back(std::move(p));
        break;
      }
      case NodeKind::Rational: {
        ExactPolynomial p;
        p.constant = node.rational_value();
        stack.push_back(std::move(p));
        break;
      }
      case NodeKind::Fluent: {
        ExactPolynomial p;
        p.terms.emplace_back(node.fluent_index(), Rational(1));
        stack.push_back(std::move(p));
        break;
      }
      case NodeKind::Plus: {
        const std::size_t k = node.operand_list().size();
        if (stack.size() < k) too_few_operands(node.kind(), i);
        const auto first = stack.end() - static_cast<std::ptrdiff_t>(k);
        ExactPolynomial sum = add_all(std::span<ExactPolynomial>(first, stack.end()));
        stack.erase(first, stack.end());
        simplify_polynomial(sum);
        stack.push_back(std::move(sum));
        break;
      }
      case NodeKind::Minus: {
        if (stack.size() < 2) too_few_operands(node.kind(), i);
        ExactPolynomial s = std::move(stack.back());
        stack.pop_back();
        ExactPolynomial difference = subtract(stack.back(), s);
        simplify_polynomial(difference);
        stack.back() = std::move(difference);
        break;
      }
      case NodeKind::Times: {
        const std::size_t k = node.operand_list().size();
        if (stack.size() < k) too_few_operands(node.kind(), i);
        Rational product(1);
        std::optional<ExactPolynomial> factor;
        for (std::size_t n = 0; n < k; ++n) {
          ExactPolynomial p = std::move(stack.back());
          stack.pop_back();
          if (p.is_constant()) {
            product = product * *p.constant;
          } else if (factor) {
            return std::nullopt;  // a product of two non-constant factors
          } else {
            factor = std::move(p);
          }
        }
        if (!factor || product.is_zero()) {
          ExactPolynomial p;
          p.constant = std::move(product);
          stack.push_back(std::move(p));
        } else {
          scale(*factor, product, false);
          stack.push_back(std::move(*factor));
        }
        break;
      }
      case NodeKind::Div: {
        if (stack.size() < 2) too_few_operands(node.kind(), i);
        ExactPolynomial d = std::move(stack.back());
        stack.pop_back();
        if (!d.is_constant() || d.constant->is_zero()) return std::nullopt;
        scale(stack.back(), *d.constant, true);
        break;
      }
      default: return std::nullopt;  // Bool, Object, the logical and the comparison kinds
    }
  }
  QUENDRAL_CHECK(!stack.empty(), "linear form of an empty expression");
  const ExactPolynomial& top = stack.back();
  LinearPolynomial result;
  if (top.constant) result.constant = utils::big_rational_to_f64(*top.constant);
  result.terms.reserve(top.terms.size());
  for (const auto& [fluent, coefficient] : top.terms) {
    result.terms.emplace_back(fluent, utils::big_rational_to_f64(coefficient));
  }
  return result;
}

SimpleNumericCondition extract_fluents_weights_simple_numeric_condition(const LinearPolynomial& polynomial) {
  SimpleNumericCondition condition;
  condition.fluents.reserve(polynomial.terms.size());
  condition.weights.reserve(polynomial.terms.size() + 1);
  for (const auto& [fluent, weight] : polynomial.terms) {
    condition.fluents.push_back(fluent);
    condition.weights.push_back(weight);
  }
  return condition;
}

// ---------------------------------------------------------------- collections

std::optional<std::size_t> SimpleNumericConditions::index_of(Expression condition) const noexcept {
  const auto it = index_.find(condition);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

const SimpleNumericCondition* SimpleNumericConditions::find(Expression condition) const noexcept {
  const auto it = index_.find(condition);
  return it == index_.end() ? nullptr : &entries_[it->second].linear;
}

void SimpleNumericConditions::insert_or_assign(Expression condition, SimpleNumericCondition linear) {
  const auto [it, inserted] = index_.try_emplace(condition, entries_.size());
  if (inserted) {
    entries_.push_back(Entry{condition, std::move(linear)});
  } else {
    entries_[it->second].linear = std::move(linear);
  }
}

bool ExpressionSet::insert(Expression e) {
  if (!members_.insert(e).second) return false;
  order_.push_back(e);
  return true;
}

// ---------------------------------------------------------------- filing

void update_numeric_conditions(Expression condition, const ExpressionManager& manager, SimpleNumericConditions& simple,
                               ExpressionSet& strict, ExpressionSet& complex, bool disable_numeric_reasoning) {
  if (disable_numeric_reasoning) {
    complex.insert(condition);
    return;
  }
  const NodeList& nodes = manager.get(condition);
  if (nodes.empty() || (nodes.back().kind() != NodeKind::LE && nodes.back().kind() != NodeKind::LT)) {
    complex.insert(condition);
    return;
  }
  const ExpressionNode& root = nodes.back();
  NodeList difference(nodes.begin(), nodes.end() - 1);
  difference.push_back(ExpressionNode::binary_operator(NodeKind::Minus, root.left_operand(), root.right_operand()));
  std::optional<LinearPolynomial> polynomial = to_linear_polynomial(difference);
  if (!polynomial) {
    complex.insert(condition);
    return;
  }
  const double constant = polynomial->constant.value_or(0.0);
  SimpleNumericCondition linear = extract_fluents_weights_simple_numeric_condition(*polynomial);
  linear.weights.push_back(constant);
  simple.insert_or_assign(condition, std::move(linear));
  if (root.kind() == NodeKind::LT) strict.insert(condition);
}

}  // namespace quendral
