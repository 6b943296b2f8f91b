// A literal model of the delete-relaxation evaluation (hff, hadd, hmax) for the tests: ordered
// maps and sets, every cost recomputed where the rules say so, no stamps and no reuse. It reads
// the relaxed task the engine built, so a disagreement points at the evaluation alone. Within a
// layer it visits operators by ascending id, the order the engine fixes; a leaf of the relaxed
// plan with a cost but no achiever counts one step, as in the engine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/expressions/expressions_utils.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"
#include "base/space/search_state.hpp"

namespace quendral::testing::model {

struct RelaxationOutcome {
  std::optional<double> value;
  std::vector<OperatorID> reached;  // ascending
};

using FactCosts = std::map<std::uint64_t, double>;

inline std::optional<double> fact_cost(const FactCosts& costs, std::uint64_t fact) {
  const auto it = costs.find(fact);
  return it == costs.end() ? std::nullopt : std::optional<double>(it->second);
}

inline std::optional<double> relaxed_cost(const std::vector<HeuristicExpressionNode>& nodes, const FactCosts& costs,
                                          bool hmax) {
  if (nodes.back().is_fact()) return fact_cost(costs, nodes.back().payload);
  std::vector<std::optional<double>> stack;
  for (const HeuristicExpressionNode& entry : nodes) {
    if (entry.is_fact()) {
      stack.push_back(fact_cost(costs, entry.payload));
      continue;
    }
    const std::vector<std::optional<double>> top(stack.end() - static_cast<std::ptrdiff_t>(entry.count()), stack.end());
    stack.resize(stack.size() - entry.count());
    if (entry.kind == HeuristicExpressionNode::Kind::And) {
      double total = 0.0;
      bool missing = false;
      for (auto it = top.rbegin(); it != top.rend(); ++it) {
        if (!*it) {
          missing = true;
        } else {
          total = hmax ? std::max(total, **it) : total + **it;
        }
      }
      stack.push_back(missing ? std::nullopt : std::optional<double>(total));
    } else {
      double best = std::numeric_limits<double>::max();
      for (auto it = top.rbegin(); it != top.rend(); ++it) {
        if (*it && **it < best) best = **it;
      }
      stack.push_back(best == std::numeric_limits<double>::max() ? std::nullopt : std::optional<double>(best));
    }
  }
  return stack.size() == 1 ? stack[0] : throw std::logic_error("relaxed condition does not reduce to one value");
}

inline std::set<std::uint64_t> relaxed_leaves(const RelaxedCondition& condition, const FactCosts& costs) {
  std::set<std::uint64_t> out;
  if (!condition.has_or) {
    for (const HeuristicExpressionNode& entry : condition.nodes) {
      if (entry.is_fact()) out.insert(entry.payload);
    }
    return out;
  }
  using Item = std::pair<std::optional<double>, std::vector<std::uint64_t>>;
  std::vector<Item> stack;
  for (const HeuristicExpressionNode& entry : condition.nodes) {
    if (entry.is_fact()) {
      stack.push_back({fact_cost(costs, entry.payload), {entry.payload}});
      continue;
    }
    const std::vector<Item> top(stack.end() - static_cast<std::ptrdiff_t>(entry.count()), stack.end());
    stack.resize(stack.size() - entry.count());
    if (entry.kind == HeuristicExpressionNode::Kind::And) {
      Item result{0.0, {}};
      for (auto it = top.rbegin(); it != top.rend(); ++it) {
        if (!it->first) {
          result = {std::nullopt, {}};
          break;
        }
        result.first = *result.first + *it->first;
        result.second.insert(result.second.end(), it->second.begin(), it->second.end());
      }
      stack.push_back(result);
    } else {
      double best = std::numeric_limits<double>::max();
      const Item* winner = nullptr;
      for (auto it = top.rbegin(); it != top.rend(); ++it) {
        if (it->first && *it->first < best) {
          best = *it->first;
          winner = &*it;
        }
      }
      stack.push_back(winner ? *winner : Item{std::nullopt, {}});
    }
  }
  out.insert(stack.at(0).second.begin(), stack.at(0).second.end());
  return out;
}

// The evaluation of `h` in its mode for `state`; `reached` lists the operators that got a cost.
inline RelaxationOutcome relaxation_model(const DeleteRelaxationHeuristic& h, const State& state) {
  ExpressionManager& manager = h.expression_manager->manager;
  const bool hmax = h.mode == RelaxationMode::Hmax, hff = h.mode == RelaxationMode::Hff;
  FactCosts costs;
  for (std::uint64_t i = 0; i < state.values.size(); ++i) {
    const ExpressionNode& v = state.values[i];
    NodeList fact;
    if (v.kind() == NodeKind::Bool && v.flag()) {
      fact = {ExpressionNode::fluent(i)};
    } else if (v.kind() == NodeKind::Bool) {
      fact = {ExpressionNode::fluent(i), ExpressionNode::not_operator(0)};
    } else {
      fact = {ExpressionNode::fluent(i), v, ExpressionNode::binary_operator(NodeKind::Equals, 0, 1)};
    }
    costs[manager.put(fact).id] = 0.0;
  }
  for (const auto& entry : h.simple_numeric_conditions) {
    if (internal_evaluate(manager.get(entry.condition), state).is_bool(true)) costs[entry.condition.id] = 0.0;
  }
  for (const Expression c : h.complex_numeric_conditions) {
    costs[c.id] = internal_evaluate(manager.get(c), state).is_bool(true) ? 0.0 : 1.0;
  }
  for (const auto& [action, count] : h.event_counts) {
    const std::vector<Expression>& stages = *h.stage_facts.find(action);
    const TodoEntry* running = state.todo.find(action);
    costs[(running ? stages.at(running->pos - 1) : stages.back()).id] = 0.0;
  }
  // The constant true holds everywhere.
  const auto constant_true = [&](const RelaxedCondition& c) {
    for (const HeuristicExpressionNode& entry : c.nodes) {
      if (entry.is_fact() && manager.get(entry.expression()) == NodeList{ExpressionNode::boolean(true)}) {
        costs[entry.payload] = 0.0;
      }
    }
  };
  constant_true(h.goal_condition);
  for (const Operator& op : h.operators) constant_true(op.precondition);

  std::vector<std::uint64_t> new_facts;
  for (const auto& entry : costs) new_facts.push_back(entry.first);
  std::map<OperatorID, double> operator_costs;
  std::map<std::uint64_t, OperatorID> achievers;
  std::map<std::uint64_t, std::set<OperatorID>> contributors;
  while (!new_facts.empty()) {
    std::set<OperatorID> triggered(h.operators_without_precondition.begin(), h.operators_without_precondition.end());
    for (const std::uint64_t f : new_facts) {
      for (const OperatorID o : h.operators_by_fact[f]) triggered.insert(o);
    }
    std::map<std::uint64_t, double> improvements;
    for (const OperatorID o : triggered) {
      const Operator& op = h.operators.at(o);
      const std::optional<double> c = relaxed_cost(op.precondition.nodes, costs, hmax);
      if (!c || (operator_costs.contains(o) && operator_costs[o] <= *c)) continue;
      operator_costs[o] = *c;
      std::vector<std::pair<std::uint64_t, double>> offers;
      for (const Expression f : op.add_effects) offers.emplace_back(f.id, *c + op.weight);
      for (const HelpedCondition& helped : h.operator_numeric_conditions[o]) {
        const std::uint64_t q = helped.condition.id;
        if (costs.contains(q) && costs[q] == 0.0) continue;
        const SimpleNumericCondition& linear = *h.simple_numeric_conditions.find(helped.condition);
        double lhs = linear.weights.back();
        for (std::size_t j = 0; j < linear.fluents.size(); ++j) {
          lhs = lhs + linear.weights[j] *
                          utils::big_rational_to_f64(get_rational_from_expression_node(state.values[linear.fluents[j]]));
        }
        double k = 0.0;
        bool assigns = false;
        for (const std::uint64_t f : linear.fluents) assigns = assigns || op.assigns(f);
        if (lhs <= 0) {
          k = 0.0;
        } else if (!h.inadmissible_numeric_heuristic_variant && assigns) {
          k = 1.0;
        } else {
          double delta = 0.0;
          for (std::size_t j = 0; j < linear.fluents.size(); ++j) {
            if (const double* increase = op.constant_increase_effects.find(linear.fluents[j])) {
              delta += linear.weights[j] * *increase;
            } else if (h.inadmissible_numeric_heuristic_variant && op.assigns(linear.fluents[j])) {
              delta += -1.0;
            }
          }
          k = std::ceil(lhs / -delta);
        }
        double value = k * op.weight + *c;
        if (hmax) {
          contributors[q].insert(o);
          double least = std::numeric_limits<double>::max();
          for (const OperatorID other : contributors[q]) {
            least = std::min(least, *relaxed_cost(h.operators[other].precondition.nodes, costs, true));
          }
          value = k * op.weight + least;
        }
        offers.emplace_back(q, value);
      }
      for (const auto& [f, v] : offers) {
        const std::optional<double> known = improvements.contains(f) ? improvements[f] : fact_cost(costs, f);
        if (!known || v < *known) {
          improvements[f] = v;
          if (hff) achievers[f] = o;
        } else if (hff && v == *known && o > achievers.at(f)) {
          achievers[f] = o;
        }
      }
    }
    new_facts.clear();
    for (const auto& [f, v] : improvements) {
      new_facts.push_back(f);
      costs[f] = v;
    }
  }

  RelaxationOutcome out;
  for (const auto& entry : operator_costs) out.reached.push_back(entry.first);
  const std::optional<double> g = relaxed_cost(h.goal_condition.nodes, costs, hmax);
  if (!g) return out;
  if (!hff) {
    const std::optional<double> idle = relaxed_cost(h.all_idle_condition.nodes, costs, hmax);
    if (idle) out.value = hmax ? std::max(*g, *idle) : *idle + *g;
    return out;
  }
  double value = 0.0;
  for (const auto& [action, running] : state.todo) value += static_cast<double>(*h.event_counts.find(action) - running.pos);
  if (*g == 0.0) {
    out.value = value;
    return out;
  }
  std::set<std::uint64_t> visited = relaxed_leaves(h.goal_condition, costs);
  std::vector<std::uint64_t> work(visited.begin(), visited.end());
  std::set<Action> plan;
  while (!work.empty()) {
    const std::uint64_t f = work.back();
    work.pop_back();
    if (!achievers.contains(f)) {
      if (costs.at(f) > 0.0) value += 1.0;
      continue;
    }
    const Operator& op = h.operators[achievers[f]];
    plan.insert(op.action);
    for (const std::uint64_t leaf : relaxed_leaves(op.precondition, costs)) {
      if (visited.insert(leaf).second) work.push_back(leaf);
    }
  }
  for (const Action a : plan) {
    if (!state.todo.contains(a)) value += static_cast<double>(*h.event_counts.find(a));
  }
  out.value = value;
  return out;
}

}  // namespace quendral::testing::model
