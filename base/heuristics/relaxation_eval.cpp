// Evaluation of the delete-relaxation heuristics (hff, hadd, hmax) over the relaxed task that
// relaxation_heuristic.cpp builds.
//
// A state becomes a set of facts of cost 0; a layered fixpoint then lets every relaxed operator
// offer its effects at its precondition's cost plus its weight (a linear condition is offered at
// the cost of applying a helping operator as often as it takes), until a layer improves nothing.
// Where no operator helps a linear condition, the same fixpoint (costs, hff achievers, reached
// operators) is found much faster by settling facts in cost order (`settle_in_cost_order`); the
// layered loop stays the reference and the fallback, and `explore_by_cost` chooses.
// The goal (and, for hadd and hmax, the return of every running action to idle) is then costed;
// hff instead counts the events of a relaxed plan extracted backwards through best achievers.
//
// Evaluation is the heuristic searches' inner loop, so its tables live in one scratch object per
// relaxed task (shared by the heuristic's copies, used under the manager lock that an evaluation
// holds anyway) and are indexed densely: by fact id (facts are dense `Expression` ids; a fact
// interned after construction just has no operators), by `OperatorID`, by linear-condition slot
// and by action idx. Instead of clearing them, every entry carries the stamp of the evaluation
// (or layer) that wrote it; stamps are 64-bit and never repeat. A state's facts are found again
// through the last value seen per fluent, so an evaluation over known values interns nothing;
// in steady state an evaluation allocates nothing.
//
// Orders: within a layer, operators are visited by ascending `OperatorID`. hff, hadd and the hff
// achievers do not depend on that order, but the hmax value offered to a linear condition does
// (it reads the contributors recorded before the operator at hand), so the order is fixed here
// to keep every result reproducible. Nothing else depends on an iteration order.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"

namespace quendral {

namespace {

constexpr double kLargest = std::numeric_limits<double>::max();
// The highest cost the cost-ordered exploration files in a bucket; a higher one (h-add can grow
// exponentially along a chain) hands the evaluation to the layered exploration.
constexpr double kLastBucket = 1 << 20;

// An optional cost without the branches of std::optional in the stacks.
struct Cost {
  double value = 0.0;
  bool has = false;
};

template <class T>
void grow(std::vector<T>& table, std::size_t size) {
  if (table.size() < size) table.resize(size);
}

}  // namespace

struct RelaxationScratch {
  std::uint64_t evaluation = 0;  // stamp of the running evaluation
  std::uint64_t layer = 0;       // stamp of the running layer; never repeats across evaluations

  // Per fact id.
  std::vector<double> fact_cost;
  std::vector<std::uint64_t> fact_stamp;  // evaluation
  std::vector<double> improvement;
  std::vector<std::uint64_t> improvement_stamp;  // layer
  std::vector<OperatorID> achiever;
  std::vector<std::uint64_t> achiever_stamp;  // evaluation
  std::vector<std::uint64_t> visited_stamp;   // evaluation
  std::vector<Expression> new_facts;
  std::vector<Expression> improved;

  // Per operator.
  std::vector<double> operator_cost;
  std::vector<std::uint64_t> operator_stamp;   // evaluation
  std::vector<std::uint64_t> triggered;  // one bit per operator, cleared as it is walked
  std::vector<OperatorID> order;         // the triggered operators of a layer, ascending
  std::vector<double> precondition_cost;       // hmax: the precondition's cost in this layer
  std::vector<std::uint64_t> precondition_stamp;  // layer

  // The cost-ordered exploration: per fact the least offer so far, per operator the facts of its
  // conjunctive precondition still unsettled and the combined cost of the settled ones, and the
  // facts waiting for settlement by whole cost (a fact may wait in several buckets; only the one
  // of its least offer settles it).
  // Each packed in one entry, as they are read together.
  struct Tentative {
    double cost;
    std::uint64_t stamp;  // evaluation
  };
  struct Pending {
    double partial;
    std::uint64_t stamp;  // evaluation
    std::uint32_t unsettled;
  };
  std::vector<Tentative> tentative;
  std::vector<Pending> pending;
  std::vector<std::vector<Expression>> buckets;

  // Per linear-condition slot.
  std::vector<double> lhs;
  std::vector<std::uint64_t> lhs_stamp;  // evaluation
  std::vector<std::vector<OperatorID>> contributors;
  std::vector<std::uint64_t> contributors_stamp;  // evaluation

  // Per fluent: the value seen last and its fact.
  std::vector<ExpressionNode> seen_value;
  std::vector<Expression> seen_fact;
  std::vector<bool> seen;

  // Per action idx: membership of the relaxed plan.
  std::vector<std::uint64_t> plan_stamp;

  // Stacks and lists of `cost` and `hff_leaves`.
  std::vector<Cost> stack;
  struct LeafEntry {
    Cost cost;
    std::size_t start;  // its facts are leaf_buffer[start .. next entry's start)
  };
  std::vector<LeafEntry> leaf_stack;
  std::vector<Expression> leaf_buffer;
  std::vector<Expression> leaves;
  std::vector<Expression> work;

  Cost cost_of(std::uint64_t fact) const noexcept {
    if (fact < fact_stamp.size() && fact_stamp[fact] == evaluation) return {fact_cost[fact], true};
    return {};
  }
  // Gives an initial fact its cost; a fact met for the first time joins the new facts.
  void set_initial(Expression fact, double cost) {
    if (fact_stamp[fact.id] != evaluation) {
      fact_stamp[fact.id] = evaluation;
      new_facts.push_back(fact);
    }
    fact_cost[fact.id] = cost;
  }
};

namespace {

// The cost of a postfix relaxed condition under the fact costs of `s`: `And` is the sum (the
// maximum in hmax) of its operands taken from the top down, `Or` the least operand with a cost.
Cost condition_cost(std::span<const HeuristicExpressionNode> nodes, RelaxationScratch& s, bool hmax) {
  QUENDRAL_CHECK(!nodes.empty(), "a relaxed condition is empty");
  const HeuristicExpressionNode& root = nodes.back();
  if (root.is_fact()) return s.cost_of(root.payload);
  // Most conditions are one conjunction of facts: combine them top down without a stack.
  if (root.kind == HeuristicExpressionNode::Kind::And && root.count() + 1 == nodes.size()) {
    Cost result{0.0, true};
    std::size_t i = nodes.size() - 1;
    for (; i > 0 && nodes[i - 1].is_fact(); --i) {
      const Cost operand = s.cost_of(nodes[i - 1].payload);
      if (!operand.has) return {};
      result.value = hmax ? std::max(result.value, operand.value) : result.value + operand.value;
    }
    if (i == 0) return result;
  }
  std::vector<Cost>& stack = s.stack;
  stack.clear();
  for (const HeuristicExpressionNode& entry : nodes) {
    if (entry.is_fact()) {
      stack.push_back(s.cost_of(entry.payload));
      continue;
    }
    const std::uint64_t n = entry.count();
    QUENDRAL_CHECK(n <= stack.size(), "a relaxed condition's " + entry.repr() + " finds too few operands");
    const std::size_t first = stack.size() - n;
    Cost result;
    if (entry.kind == HeuristicExpressionNode::Kind::And) {
      result = {0.0, true};
      for (std::size_t i = stack.size(); i > first; --i) {
        const Cost& operand = stack[i - 1];
        if (!operand.has) {
          result.has = false;
        } else if (result.has) {
          result.value = hmax ? std::max(result.value, operand.value) : result.value + operand.value;
        }
      }
    } else {
      double best = kLargest;
      for (std::size_t i = stack.size(); i > first; --i) {
        if (stack[i - 1].has && stack[i - 1].value < best) best = stack[i - 1].value;
      }
      if (best != kLargest) result = {best, true};
    }
    stack.resize(first);
    stack.push_back(result);
  }
  QUENDRAL_CHECK(stack.size() == 1, "a relaxed condition leaves " + std::to_string(stack.size()) + " values");
  return stack[0];
}

// Appends to `out` the facts of `condition` that a relaxed plan must reach: all of them without
// `Or`; with `Or`, those of the cheapest operand of every disjunction (costs summed, on a tie the
// operand nearest the top of the stack), everything under a conjunction with an unreachable part
// dropped.
void hff_leaves(const RelaxedCondition& condition, RelaxationScratch& s, std::vector<Expression>& out) {
  if (!condition.has_or) {
    for (const HeuristicExpressionNode& entry : condition.nodes) {
      if (entry.is_fact()) out.push_back(entry.expression());
    }
    return;
  }
  auto& stack = s.leaf_stack;
  auto& buffer = s.leaf_buffer;
  stack.clear();
  buffer.clear();
  for (const HeuristicExpressionNode& entry : condition.nodes) {
    if (entry.is_fact()) {
      stack.push_back({s.cost_of(entry.payload), buffer.size()});
      buffer.push_back(entry.expression());
      continue;
    }
    const std::uint64_t n = entry.count();
    QUENDRAL_CHECK(n <= stack.size(), "a relaxed condition's " + entry.repr() + " finds too few operands");
    const std::size_t first = stack.size() - n;
    const std::size_t start = n == 0 ? buffer.size() : stack[first].start;
    RelaxationScratch::LeafEntry result{{}, start};
    if (entry.kind == HeuristicExpressionNode::Kind::And) {
      // The operands' facts already stand together from `start` on.
      result.cost = {0.0, true};
      for (std::size_t i = stack.size(); i > first; --i) {
        if (!stack[i - 1].cost.has) {
          result.cost.has = false;
        } else if (result.cost.has) {
          result.cost.value += stack[i - 1].cost.value;
        }
      }
      if (!result.cost.has) buffer.resize(start);
    } else {
      double best = kLargest;
      std::size_t winner = stack.size();
      for (std::size_t i = stack.size(); i > first; --i) {
        if (stack[i - 1].cost.has && stack[i - 1].cost.value < best) {
          best = stack[i - 1].cost.value;
          winner = i - 1;
        }
      }
      if (winner == stack.size()) {
        buffer.resize(start);
      } else {
        const std::size_t from = stack[winner].start;
        const std::size_t to = winner + 1 < stack.size() ? stack[winner + 1].start : buffer.size();
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.begin() + static_cast<std::ptrdiff_t>(to),
                  buffer.begin() + static_cast<std::ptrdiff_t>(start));
        buffer.resize(start + (to - from));
        result.cost = {best, true};
      }
    }
    stack.resize(first);
    stack.push_back(result);
  }
  QUENDRAL_CHECK(stack.size() == 1, "a relaxed condition leaves " + std::to_string(stack.size()) + " values");
  out.insert(out.end(), buffer.begin() + static_cast<std::ptrdiff_t>(stack[0].start), buffer.end());
}

// The fact stating that fluent `fluent` holds `value`, in the shapes the relaxed task uses.
Expression state_fact(ExpressionManager& manager, std::uint64_t fluent, const ExpressionNode& value) {
  if (value.kind() == NodeKind::Bool) {
    if (value.flag()) {
      const ExpressionNode nodes[] = {ExpressionNode::fluent(fluent)};
      return manager.put(nodes);
    }
    const ExpressionNode nodes[] = {ExpressionNode::fluent(fluent), ExpressionNode::not_operator(0)};
    return manager.put(nodes);
  }
  const ExpressionNode nodes[] = {ExpressionNode::fluent(fluent), value,
                                  ExpressionNode::binary_operator(NodeKind::Equals, 0, 1)};
  return manager.put(nodes);
}

}  // namespace

void fill_cache_key(CacheKey& key, const State& state, std::span<const Action> actions) {
  key.state_values.clear();
  key.state_values.reserve(state.values.size());
  for (const ExpressionNode& value : state.values) key.state_values.push_back(value);
  key.todo_positions.clear();
  for (const Action a : actions) {
    const TodoEntry* entry = state.todo.find(a);
    key.todo_positions.push_back(entry != nullptr ? entry->pos : 0);
  }
}

HeuristicValue DeleteRelaxationHeuristic::eval(const State& state) const {
  SharedValueCache& cache = *value_cache;
  const std::lock_guard lock(cache.mutex);
  if (!cache.map) return _eval(state, false).first;
  fill_cache_key(cache.probe, state, actions);
  if (const auto it = cache.map->find(cache.probe); it != cache.map->end()) return it->second;
  const HeuristicValue value = _eval(state, false).first;
  cache.map->emplace(cache.probe, value);
  return value;
}

std::pair<HeuristicValue, std::optional<std::vector<OperatorID>>> DeleteRelaxationHeuristic::_eval(
    const State& state, bool collect) const {
  const std::lock_guard lock(expression_manager->mutex);
  ExpressionManager& manager = expression_manager->manager;
  if (!expression_manager->scratch) expression_manager->scratch = std::make_shared<RelaxationScratch>();
  RelaxationScratch& s = *expression_manager->scratch;
  const bool hmax = mode == RelaxationMode::Hmax;
  const bool hff = mode == RelaxationMode::Hff;
  std::uint64_t evaluation = 0;

  // The state's facts, found again through the value last seen at each fluent.
  const std::size_t fluents = state.values.size();
  grow(s.seen_value, fluents);
  grow(s.seen_fact, fluents);
  if (s.seen.size() < fluents) s.seen.resize(fluents, false);
  {
    std::uint64_t i = 0;
    for (const ExpressionNode& value : state.values) {
      if (!s.seen[i] || !(s.seen_value[i] == value)) {
        s.seen_fact[i] = state_fact(manager, i, value);
        s.seen_value[i] = value;
        s.seen[i] = true;
      }
      ++i;
    }
  }
  const std::size_t facts = manager.size();
  grow(s.fact_cost, facts);
  grow(s.fact_stamp, facts);
  grow(s.improvement, facts);
  grow(s.improvement_stamp, facts);
  grow(s.achiever, facts);
  grow(s.achiever_stamp, facts);
  grow(s.visited_stamp, facts);
  const std::size_t ops = operators.size();
  grow(s.operator_cost, ops);
  grow(s.operator_stamp, ops);
  grow(s.triggered, (ops + 63) / 64);
  grow(s.precondition_cost, ops);
  grow(s.precondition_stamp, ops);
  const std::size_t slots = simple_numeric_conditions.size();
  grow(s.lhs, slots);
  grow(s.lhs_stamp, slots);
  grow(s.contributors, slots);
  grow(s.contributors_stamp, slots);
  if (explore_by_cost) {
    grow(s.tentative, facts);
    grow(s.pending, ops);
  }

  // Initial facts: the state's values, the linear and the complex conditions true in it, the
  // current stage of every action, and the constant true. A new evaluation stamp each time.
  const bool all_idle = state.todo.empty() && idle_stage_facts.size() == stage_facts.size();
  // `by_cost`: for the cost-ordered exploration, which takes idle facts as settled (see there).
  const auto start = [&](bool by_cost) {
    evaluation = ++s.evaluation;
    s.new_facts.clear();
    for (std::uint64_t i = 0; i < fluents; ++i) s.set_initial(s.seen_fact[i], 0.0);
    for (const SimpleNumericConditions::Entry& entry : simple_numeric_conditions) {
      if (internal_evaluate(manager.get(entry.condition), state).is_bool(true)) s.set_initial(entry.condition, 0.0);
    }
    for (const Expression condition : complex_numeric_conditions) {
      s.set_initial(condition, internal_evaluate(manager.get(condition), state).is_bool(true) ? 0.0 : 1.0);
    }
    // Nothing running (always so in a classical task): every action at its idle fact, from the
    // flat list rather than through every action's stage list.
    if (all_idle && by_cost) {
      for (const Expression idle : idle_stage_facts) {
        s.fact_cost[idle.id] = 0.0;
        s.fact_stamp[idle.id] = evaluation;
      }
    } else if (all_idle) {
      for (const Expression idle : idle_stage_facts) s.set_initial(idle, 0.0);
    } else {
      for (const auto& [action, stages] : stage_facts) {
        if (const TodoEntry* running = state.todo.empty() ? nullptr : state.todo.find(action)) {
          QUENDRAL_CHECK(running->pos >= 1 && running->pos <= stages.size(),
                         "running action " + std::to_string(action.idx) + " is at position " +
                             std::to_string(running->pos) + " of " + std::to_string(stages.size()) + " events");
          s.set_initial(stages[running->pos - 1], 0.0);
        } else {
          QUENDRAL_CHECK(!stages.empty(), "action " + std::to_string(action.idx) + " has no stage facts");
          s.set_initial(stages.back(), 0.0);
        }
      }
    }
    if (true_fact) s.set_initial(*true_fact, 0.0);
  };
  start(explore_by_cost);

  // The left-hand side of a linear condition in the state, worked out once per evaluation.
  const auto lhs_of = [&](std::uint64_t slot) {
    if (s.lhs_stamp[slot] == evaluation) return s.lhs[slot];
    const SimpleNumericCondition& linear = simple_numeric_conditions[slot].linear;
    double lhs = linear.weights.back();
    for (std::size_t j = 0; j < linear.fluents.size(); ++j) {
      const Rational value = get_rational_from_expression_node(state.get_fluent_value(linear.fluents[j]));
      lhs = lhs + linear.weights[j] * utils::big_rational_to_f64(value);
    }
    s.lhs[slot] = lhs;
    s.lhs_stamp[slot] = evaluation;
    return lhs;
  };
  // hmax: an operator's precondition cost at the start of the running layer.
  const auto precondition_cost = [&](OperatorID o) {
    if (s.precondition_stamp[o] != s.layer) {
      const Cost c = condition_cost(operators[o].precondition.nodes, s, true);
      QUENDRAL_CHECK(c.has, "a contributor of a linear condition has no precondition cost");
      s.precondition_cost[o] = c.value;
      s.precondition_stamp[o] = s.layer;
    }
    return s.precondition_cost[o];
  };
  const auto offer = [&](Expression fact, double value, OperatorID o) {
    const std::uint64_t f = fact.id;
    Cost known;
    if (s.improvement_stamp[f] == s.layer) {
      known = {s.improvement[f], true};
    } else {
      known = s.cost_of(f);
    }
    if (!known.has || value < known.value) {
      if (s.improvement_stamp[f] != s.layer) {
        s.improvement_stamp[f] = s.layer;
        s.improved.push_back(fact);
      }
      s.improvement[f] = value;
      if (hff) {
        s.achiever[f] = o;
        s.achiever_stamp[f] = evaluation;
      }
    } else if (hff && value == known.value) {
      QUENDRAL_CHECK(s.achiever_stamp[f] == evaluation, "an equal offer for a fact without achiever");
      if (o > s.achiever[f]) s.achiever[f] = o;
    }
  };

  // The cost-ordered exploration, when the task allows it: Knuth's generalisation of Dijkstra's
  // algorithm. Facts settle by ascending cost from buckets of whole costs; a conjunctive
  // precondition is costed once, when its last fact settles, from per-operator counters; one with
  // `Or` is costed again whenever one of its facts settles (a later disjunct may be cheaper). Its
  // costs are those of the layered fixpoint below, the least fixpoint of h-add and h-max, as long
  // as every offer exceeds the cost being settled and costs are whole (exact sums in any order):
  // both hold with operator weights of 1 and initial costs of 0 or 1, and anything else hands
  // the evaluation over to the layers. The hff achiever agrees too: under the layered rule (a
  // lower offer wins, an equal one goes to the larger id) a fact's last achiever is the largest
  // id among the operators whose last offer equals its final cost, and so it is here.
  const auto settle_in_cost_order = [&]() -> bool {
    // The tables through plain pointers: none is resized here, and the compiler need not reload
    // them after every store.
    double* const fact_cost = s.fact_cost.data();
    std::uint64_t* const fact_stamp = s.fact_stamp.data();
    RelaxationScratch::Tentative* const tentative = s.tentative.data();
    RelaxationScratch::Pending* const pending = s.pending.data();
    OperatorID* const achiever = s.achiever.data();
    std::uint64_t* const achiever_stamp = s.achiever_stamp.data();
    const PackedOperator* const packed = packed_operators.data();
    const Expression* const effects = packed_add_effects.data();
    const std::uint64_t stamp = evaluation;
    std::size_t top = 0;  // one past the highest bucket in use
    double current = 0.0;
    bool sound = true;
    const auto wait = [&](Expression fact, double value) {
      if (!(value >= current && value <= kLastBucket && value == std::floor(value))) {
        sound = false;
        return;
      }
      const auto b = static_cast<std::size_t>(value);
      if (s.buckets.size() <= b) s.buckets.resize(b + 1);
      s.buckets[b].push_back(fact);
      top = std::max(top, b + 1);
    };
    // Inlined into the settling loop: as a call it cost a third of an evaluation on large tasks.
    const auto fire = [&](OperatorID o, double c) __attribute__((always_inline)) {
      pending[o] = {c, stamp, 0};  // its cost, and that it has one
      const PackedOperator& op = packed[o];
      const double value = c + op.weight;
      if (value < current + 1.0) {
        sound = false;  // an offer could tie with or undercut a settled cost
        return;
      }
      // With every action idle, an idle fact already has cost 0: no offer can change it.
      for (std::uint32_t e = all_idle ? op.idle_effects_end : op.add_effects_begin; e < op.add_effects_end; ++e) {
        const Expression fact = effects[e];
        const std::uint64_t f = fact.id;
        RelaxationScratch::Tentative& known = tentative[f];
        if (known.stamp != stamp || value < known.cost) {
          known = {value, stamp};
          if (hff) {
            achiever[f] = o;
            achiever_stamp[f] = stamp;
          }
          wait(fact, value);
        } else if (hff && value == known.cost) {
          QUENDRAL_CHECK(achiever_stamp[f] == stamp, "an equal offer for a fact without achiever");
          if (o > achiever[f]) achiever[f] = o;
        }
      }
    };
    // With every action idle, `start` has settled the idle facts at cost 0 (they are not among
    // the new facts); the operators then wait only for their other precondition facts.
    for (const Expression f : s.new_facts) {
      tentative[f.id] = {fact_cost[f.id], stamp};
      fact_stamp[f.id] = 0;  // unsettled: no evaluation has stamp 0
      wait(f, fact_cost[f.id]);
    }
    if (all_idle) {
      for (const OperatorID o : operators_ready_when_idle) {
        if (!sound) break;
        if (packed[o].precondition_facts != kPreconditionWithOr) {
          fire(o, 0.0);
          continue;
        }
        const Cost c = condition_cost(operators[o].precondition.nodes, s, hmax);
        if (c.has) fire(o, c.value);
      }
    }
    for (std::size_t b = 0; b < top && sound; ++b) {
      current = static_cast<double>(b);
      for (std::size_t i = 0; i < s.buckets[b].size() && sound; ++i) {
        const std::uint64_t f = s.buckets[b][i].id;
        if (fact_stamp[f] == stamp || tentative[f].cost != current) continue;
        fact_cost[f] = current;
        fact_stamp[f] = stamp;
        for (const OperatorID o : operators_by_fact[f]) {
          const std::uint32_t n = packed[o].precondition_facts;
          if (n == kPreconditionWithOr) {
            const Cost c = condition_cost(operators[o].precondition.nodes, s, hmax);
            if (c.has && (pending[o].stamp != stamp || c.value < pending[o].partial)) fire(o, c.value);
            continue;
          }
          RelaxationScratch::Pending& waiting = pending[o];
          if (waiting.stamp != stamp) waiting = {0.0, stamp, all_idle ? n - packed[o].idle_facts : n};
          waiting.partial = hmax ? std::max(waiting.partial, current) : waiting.partial + current;
          if (--waiting.unsettled == 0) fire(o, waiting.partial);
        }
      }
    }
    for (std::size_t b = 0; b < top; ++b) s.buckets[b].clear();
    return sound;
  };
  bool settled_by_cost = false;
  if (explore_by_cost) {
    settled_by_cost = settle_in_cost_order();
    if (settled_by_cost) {
      s.new_facts.clear();  // nothing is left for the layers
    } else {
      start(false);
    }
  }

  // The layered fixpoint.
  while (!s.new_facts.empty()) {
    const std::uint64_t layer = ++s.layer;
    // The triggered set as a bitmap: walking it visits operators by ascending id (see the top of
    // this file) without sorting.
    const auto trigger = [&s, ops](OperatorID o) {
      QUENDRAL_CHECK(o < ops, "operator " + std::to_string(o) + " is beyond the " + std::to_string(ops) + " operators");
      s.triggered[o >> 6] |= std::uint64_t{1} << (o & 63);
    };
    for (const OperatorID o : operators_without_precondition) trigger(o);
    for (const Expression f : s.new_facts) {
      for (const OperatorID o : operators_by_fact[f.id]) trigger(o);
    }
    s.order.clear();
    for (std::size_t word = 0; word < s.triggered.size(); ++word) {
      for (std::uint64_t bits = std::exchange(s.triggered[word], 0); bits != 0; bits &= bits - 1) {
        s.order.push_back(word * 64 + static_cast<OperatorID>(std::countr_zero(bits)));
      }
    }
    s.improved.clear();
    for (const OperatorID o : s.order) {
      const Operator& op = operators[o];
      const Cost c = condition_cost(op.precondition.nodes, s, hmax);
      if (!c.has || (s.operator_stamp[o] == evaluation && s.operator_cost[o] <= c.value)) continue;
      s.operator_cost[o] = c.value;
      s.operator_stamp[o] = evaluation;
      if (hmax) {
        s.precondition_cost[o] = c.value;
        s.precondition_stamp[o] = layer;
      }
      for (const Expression fact : op.add_effects) offer(fact, c.value + op.weight, o);
      for (const HelpedCondition& helped : operator_numeric_conditions[o]) {
        const Cost current = s.cost_of(helped.condition.id);
        if (current.has && current.value == 0.0) continue;
        const SimpleNumericCondition& linear = simple_numeric_conditions[helped.slot].linear;
        const double lhs = lhs_of(helped.slot);
        double k = 0.0;
        if (lhs > 0) {
          const bool assigned =
              std::any_of(linear.fluents.begin(), linear.fluents.end(), [&](std::uint64_t f) { return op.assigns(f); });
          if (!inadmissible_numeric_heuristic_variant && assigned) {
            k = 1.0;
          } else {
            double delta = 0.0;
            for (std::size_t j = 0; j < linear.fluents.size(); ++j) {
              if (const double* increase = op.constant_increase_effects.find(linear.fluents[j])) {
                delta += linear.weights[j] * *increase;
              } else if (inadmissible_numeric_heuristic_variant && op.assigns(linear.fluents[j])) {
                delta += -1.0;
              }
            }
            QUENDRAL_CHECK(delta < 0, "operator " + std::to_string(o) + " is filed as helping a linear condition it does not move");
            k = std::ceil(lhs / -delta);
          }
        }
        double value;
        if (hmax) {
          std::vector<OperatorID>& contributors = s.contributors[helped.slot];
          if (s.contributors_stamp[helped.slot] != evaluation) {
            s.contributors_stamp[helped.slot] = evaluation;
            contributors.clear();
          }
          if (std::find(contributors.begin(), contributors.end(), o) == contributors.end()) contributors.push_back(o);
          double least = kLargest;
          for (const OperatorID contributor : contributors) least = std::min(least, precondition_cost(contributor));
          value = k * op.weight + least;
        } else {
          value = k * op.weight + c.value;
        }
        offer(helped.condition, value, o);
      }
    }
    s.new_facts.swap(s.improved);
    for (const Expression f : s.new_facts) {
      s.fact_cost[f.id] = s.improvement[f.id];
      s.fact_stamp[f.id] = evaluation;
    }
  }

  if (collect) {
    std::vector<OperatorID> reached;
    for (OperatorID o = 0; o < ops; ++o) {
      const bool costed = settled_by_cost ? s.pending[o].stamp == evaluation && s.pending[o].unsettled == 0
                                          : s.operator_stamp[o] == evaluation;
      if (costed) reached.push_back(o);
    }
    return {std::nullopt, std::move(reached)};
  }

  const Cost g = condition_cost(goal_condition.nodes, s, hmax);
  if (!g.has) return {std::nullopt, std::nullopt};
  if (!hff) {
    // With every action idle, all the idle facts have cost 0 and so has their conjunction.
    const Cost idle = all_idle ? Cost{0.0, true} : condition_cost(all_idle_condition.nodes, s, hmax);
    if (!idle.has) return {std::nullopt, std::nullopt};
    return {hmax ? std::max(g.value, idle.value) : idle.value + g.value, std::nullopt};
  }

  double value = 0.0;
  for (const auto& [action, running] : state.todo) {
    const std::uint64_t* count = event_counts.find(action);
    QUENDRAL_CHECK(count != nullptr, "running action " + std::to_string(action.idx) + " has no events in the heuristic");
    value += static_cast<double>(*count - running.pos);
  }
  if (g.value == 0.0) return {value, std::nullopt};

  // The relaxed plan: back-chain from the goal's leaves through best achievers. A leaf with a
  // cost but no achiever (a complex numeric condition false in the state, which no operator
  // reaches) counts one step, as its cost does in hadd: otherwise a state that misses only such
  // conditions would get 0, the value reserved for states whose goal already holds.
  s.work.clear();
  s.leaves.clear();
  hff_leaves(goal_condition, s, s.leaves);
  for (const Expression leaf : s.leaves) {
    if (s.visited_stamp[leaf.id] == evaluation) continue;
    s.visited_stamp[leaf.id] = evaluation;
    s.work.push_back(leaf);
  }
  while (!s.work.empty()) {
    const Expression f = s.work.back();
    s.work.pop_back();
    if (s.achiever_stamp[f.id] != evaluation) {
      const Cost own = s.cost_of(f.id);
      if (own.has && own.value > 0.0) value += 1.0;
      continue;
    }
    const OperatorID o = s.achiever[f.id];
    const Operator& op = operators[o];
    const std::uint64_t a = op.action.idx;
    if (s.plan_stamp.size() <= a) s.plan_stamp.resize(a + 1, 0);
    // An action joins the relaxed plan once, counting its events unless it is already running.
    if (s.plan_stamp[a] != evaluation) {
      s.plan_stamp[a] = evaluation;
      if (state.todo.empty() || !state.todo.contains(op.action)) {
        std::uint64_t events = packed_operators[o].action_events;
        if (events == 0) {
          const std::uint64_t* count = event_counts.find(op.action);
          QUENDRAL_CHECK(count != nullptr, "action " + std::to_string(a) + " has operators but no events");
          events = *count;
        }
        value += static_cast<double>(events);
      }
    }
    if (!op.precondition.has_or) {
      // All its facts, without the detour through the leaf list.
      for (const HeuristicExpressionNode& entry : op.precondition.nodes) {
        if (!entry.is_fact() || s.visited_stamp[entry.payload] == evaluation) continue;
        s.visited_stamp[entry.payload] = evaluation;
        s.work.push_back(entry.expression());
      }
      continue;
    }
    s.leaves.clear();
    hff_leaves(op.precondition, s, s.leaves);
    for (const Expression leaf : s.leaves) {
      if (s.visited_stamp[leaf.id] == evaluation) continue;
      s.visited_stamp[leaf.id] = evaluation;
      s.work.push_back(leaf);
    }
  }
  return {value, std::nullopt};
}

std::vector<Action> DeleteRelaxationHeuristic::reachable_actions(const State& state) const {
  const std::vector<OperatorID> reached = *_eval(state, true).second;
  std::uint64_t size = 0;
  for (const Operator& op : operators) size = std::max(size, op.action.idx + 1);
  std::vector<std::uint64_t> total(size, 0), applied(size, 0);
  for (const Operator& op : operators) ++total[op.action.idx];
  for (const OperatorID o : reached) ++applied[operators[o].action.idx];
  std::vector<Action> out;
  for (std::uint64_t a = 0; a < size; ++a) {
    if (total[a] > 0 && applied[a] == total[a]) out.push_back(Action{a});
  }
  return out;
}

}  // namespace quendral
