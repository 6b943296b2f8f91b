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
// through the last value seen per fluent and, for an object or Boolean value that changed, a
// fluent-value index, so an evaluation over known values neither interns nor hashes node lists;
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

#include <boost/unordered/unordered_flat_map.hpp>

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

// A state value's key in the fluent-value index: its value code plus one (equal Booleans and
// objects have equal codes); 0 for a number, which the index does not hold.
std::uintptr_t value_key(std::uint32_t code) noexcept { return code == kNoValueCode ? 0 : std::uintptr_t{code} + 1; }

struct FluentValueHash {
  std::size_t operator()(const std::pair<std::uint64_t, std::uintptr_t>& key) const noexcept {
    FxHasher h;
    h.write_u64(key.first);
    h.write_u64(static_cast<std::uint64_t>(key.second));
    return h.finish();
  }
};

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
  // The counters (and, but for hmax, the partial costs) of `counted_rows`, set afresh by every
  // evaluation that walks those rows.
  std::vector<std::uint32_t> counters;
  std::vector<double> partials;
  std::vector<std::vector<Expression>> buckets;

  // Per linear-condition slot.
  std::vector<double> lhs;
  std::vector<std::uint64_t> lhs_stamp;  // evaluation
  std::vector<std::vector<OperatorID>> contributors;
  std::vector<std::uint64_t> contributors_stamp;  // evaluation

  // Per fluent: the key of the value seen last (`value_key`; kUnseen before the first), the
  // value itself when it is a number (which has no key), and its fact.
  static constexpr std::uintptr_t kUnseen = std::numeric_limits<std::uintptr_t>::max();
  std::vector<std::uintptr_t> seen_key;
  std::vector<ExpressionNode> seen_value;
  std::vector<Expression> seen_fact;
  // The fluent-value index: the fact of every (fluent, keyed value) met so far, so that a value
  // met before is found without hashing its node list through the manager.
  boost::unordered_flat_map<std::pair<std::uint64_t, std::uintptr_t>, Expression, FluentValueHash> fact_index;

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

namespace {

// One evaluation of `task` in `state`, in the steps `_eval` takes: find the state's facts, size
// the tables, give the initial facts their costs (`start`), explore (in cost order when the task
// allows it, else or as a fallback by layers), then either list the costed operators or cost the
// goal (hff: count the relaxed plan).
class Evaluation {
 public:
  Evaluation(const DeleteRelaxationHeuristic& task, const State& state, ExpressionManager& manager,
             RelaxationScratch& scratch)
      : t_(task),
        state_(state),
        manager_(manager),
        s_(scratch),
        hmax_(task.mode == RelaxationMode::Hmax),
        hff_(task.mode == RelaxationMode::Hff),
        fluents_(state.values.size()),
        ops_(task.operators.size()),
        all_idle_(state.todo.empty() && task.idle_stage_facts.size() == task.stage_facts.size()) {}

  // The state's facts, found again through the value last seen at each fluent or the index.
  void find_state_facts();
  // Grows the scratch tables to the facts, operators and linear conditions there are.
  void size_tables();
  // Initial facts: the state's values, the linear and the complex conditions true in it, the
  // current stage of every action, and the constant true; a new evaluation stamp each time.
  // `by_cost`: for the cost-ordered exploration, which takes idle facts as settled (see there).
  void start(bool by_cost);
  // The fixpoint of the fact costs: in cost order when the task allows it and the evaluation
  // turns out to qualify, else by layers (after a fresh start when the cost order gave up).
  // `to_goal`: a value is wanted, so the cost order may stop once the goal is settled.
  void explore(bool to_goal);
  // The operators that received a cost, ascending.
  std::vector<OperatorID> reached_operators() const;
  // The value of the state: none for a dead end.
  HeuristicValue value();

 private:
  bool settle_in_cost_order(bool to_goal);
  template <bool hmax, bool hff, bool all_idle, bool direct>
  bool settle_in_cost_order_as(bool to_goal);
  void explore_in_layers();
  // Offers of one layer: an operator's add effects, and the linear conditions it helps.
  void offer(Expression fact, double value, OperatorID o);
  void offer_to_linear_conditions(OperatorID o, const Operator& op, double cost);
  // The left-hand side of a linear condition in the state, worked out once per evaluation.
  double lhs_of(std::uint64_t slot);
  // hmax: an operator's precondition cost at the start of the running layer.
  double precondition_cost(OperatorID o);
  // hff: the events of the running actions still to come plus those of the relaxed plan.
  double relaxed_plan_length(double goal_cost);
  void visit(Expression fact);

  const DeleteRelaxationHeuristic& t_;
  const State& state_;
  ExpressionManager& manager_;
  RelaxationScratch& s_;
  const bool hmax_;
  const bool hff_;
  const std::size_t fluents_;
  const std::size_t ops_;
  const bool all_idle_;
  std::uint64_t evaluation_ = 0;
  bool settled_by_cost_ = false;
};

void Evaluation::find_state_facts() {
  if (s_.seen_key.size() < fluents_) s_.seen_key.resize(fluents_, RelaxationScratch::kUnseen);
  grow(s_.seen_value, fluents_);
  grow(s_.seen_fact, fluents_);
  std::uint64_t i = 0;
  for (auto at = state_.values.begin(); at != state_.values.end(); ++at) {
    const std::uintptr_t key = value_key(at.code());
    if (key != 0) {
      if (s_.seen_key[i] != key) {
        // A value met before at this fluent is in the index; a new one is interned (the first
        // time a value is met, as the facts of states always were).
        const auto found = s_.fact_index.find({i, key});
        const Expression fact = found != s_.fact_index.end() ? found->second : state_fact(manager_, i, *at);
        if (found == s_.fact_index.end()) s_.fact_index.emplace(std::pair{i, key}, fact);
        s_.seen_fact[i] = fact;
        s_.seen_key[i] = key;
      }
    } else if (s_.seen_key[i] != 0 || !(s_.seen_value[i] == *at)) {
      s_.seen_fact[i] = state_fact(manager_, i, *at);
      s_.seen_value[i] = *at;
      s_.seen_key[i] = 0;
    }
    ++i;
  }
}

void Evaluation::size_tables() {
  const std::size_t facts = manager_.size();
  grow(s_.fact_cost, facts);
  grow(s_.fact_stamp, facts);
  grow(s_.improvement, facts);
  grow(s_.improvement_stamp, facts);
  grow(s_.achiever, facts);
  grow(s_.achiever_stamp, facts);
  grow(s_.visited_stamp, facts);
  grow(s_.operator_cost, ops_);
  grow(s_.operator_stamp, ops_);
  grow(s_.triggered, (ops_ + 63) / 64);
  grow(s_.precondition_cost, ops_);
  grow(s_.precondition_stamp, ops_);
  const std::size_t slots = t_.simple_numeric_conditions.size();
  grow(s_.lhs, slots);
  grow(s_.lhs_stamp, slots);
  grow(s_.contributors, slots);
  grow(s_.contributors_stamp, slots);
  if (t_.explore_by_cost) {
    grow(s_.tentative, facts);
    grow(s_.pending, ops_);
  }
}

void Evaluation::start(bool by_cost) {
  evaluation_ = ++s_.evaluation;
  s_.new_facts.clear();
  for (std::uint64_t i = 0; i < fluents_; ++i) s_.set_initial(s_.seen_fact[i], 0.0);
  for (const SimpleNumericConditions::Entry& entry : t_.simple_numeric_conditions) {
    if (internal_evaluate(manager_.get(entry.condition), state_).is_bool(true)) s_.set_initial(entry.condition, 0.0);
  }
  for (const Expression condition : t_.complex_numeric_conditions) {
    s_.set_initial(condition, internal_evaluate(manager_.get(condition), state_).is_bool(true) ? 0.0 : 1.0);
  }
  // Nothing running (always so in a classical task): every action at its idle fact, from the
  // flat list rather than through every action's stage list.
  if (all_idle_ && by_cost) {
    // Only a condition with `Or` (or a goal that names an idle fact) reads an idle fact's cost
    // here; the operators and the relaxed plan take the idle facts as settled without it.
    if (t_.idle_costs_read) {
      for (const Expression idle : t_.idle_stage_facts) {
        s_.fact_cost[idle.id] = 0.0;
        s_.fact_stamp[idle.id] = evaluation_;
      }
    }
  } else if (all_idle_) {
    for (const Expression idle : t_.idle_stage_facts) s_.set_initial(idle, 0.0);
  } else {
    for (const auto& [action, stages] : t_.stage_facts) {
      if (const TodoEntry* running = state_.todo.empty() ? nullptr : state_.todo.find(action)) {
        QUENDRAL_CHECK(running->pos >= 1 && running->pos <= stages.size(),
                       "running action " + std::to_string(action.idx) + " is at position " +
                           std::to_string(running->pos) + " of " + std::to_string(stages.size()) + " events");
        s_.set_initial(stages[running->pos - 1], 0.0);
      } else {
        QUENDRAL_CHECK(!stages.empty(), "action " + std::to_string(action.idx) + " has no stage facts");
        s_.set_initial(stages.back(), 0.0);
      }
    }
  }
  if (t_.true_fact) s_.set_initial(*t_.true_fact, 0.0);
}

double Evaluation::lhs_of(std::uint64_t slot) {
  if (s_.lhs_stamp[slot] == evaluation_) return s_.lhs[slot];
  const SimpleNumericCondition& linear = t_.simple_numeric_conditions[slot].linear;
  double lhs = linear.weights.back();
  for (std::size_t j = 0; j < linear.fluents.size(); ++j) {
    const Rational value = get_rational_from_expression_node(state_.get_fluent_value(linear.fluents[j]));
    lhs = lhs + linear.weights[j] * utils::big_rational_to_f64(value);
  }
  s_.lhs[slot] = lhs;
  s_.lhs_stamp[slot] = evaluation_;
  return lhs;
}

double Evaluation::precondition_cost(OperatorID o) {
  if (s_.precondition_stamp[o] != s_.layer) {
    const Cost c = condition_cost(t_.operators[o].precondition.nodes, s_, true);
    QUENDRAL_CHECK(c.has, "a contributor of a linear condition has no precondition cost");
    s_.precondition_cost[o] = c.value;
    s_.precondition_stamp[o] = s_.layer;
  }
  return s_.precondition_cost[o];
}

void Evaluation::offer(Expression fact, double value, OperatorID o) {
  const std::uint64_t f = fact.id;
  Cost known;
  if (s_.improvement_stamp[f] == s_.layer) {
    known = {s_.improvement[f], true};
  } else {
    known = s_.cost_of(f);
  }
  if (!known.has || value < known.value) {
    if (s_.improvement_stamp[f] != s_.layer) {
      s_.improvement_stamp[f] = s_.layer;
      s_.improved.push_back(fact);
    }
    s_.improvement[f] = value;
    if (hff_) {
      s_.achiever[f] = o;
      s_.achiever_stamp[f] = evaluation_;
    }
  } else if (hff_ && value == known.value) {
    QUENDRAL_CHECK(s_.achiever_stamp[f] == evaluation_, "an equal offer for a fact without achiever");
    if (o > s_.achiever[f]) s_.achiever[f] = o;
  }
}

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
// When only the value is wanted and every action is idle, the loop stops as soon as the goal's
// last fact settles (`stop_at_goal`): every offer of a cost c comes from a precondition settled
// below c, so the facts the value reads (of cost at most the goal's) are final by then. It then
// walks `direct_rows` and `counted_rows` instead of `settle_rows`: operators waiting for one
// fact offer their effects at once, the others count down counters copied per evaluation.
bool Evaluation::settle_in_cost_order(bool to_goal) {
  // One copy of the loop per mode and idleness (and, with every action idle, whether the
  // costed operators are wanted), so that none is tested in it.
  const auto as = [&]<bool hmax, bool hff>() {
    if (!all_idle_) return settle_in_cost_order_as<hmax, hff, false, false>(to_goal);
    return to_goal ? settle_in_cost_order_as<hmax, hff, true, true>(to_goal)
                   : settle_in_cost_order_as<hmax, hff, true, false>(to_goal);
  };
  if (hmax_) return as.template operator()<true, false>();
  if (hff_) return as.template operator()<false, true>();
  return as.template operator()<false, false>();
}

template <bool hmax, bool hff, bool all_idle, bool direct>
bool Evaluation::settle_in_cost_order_as(bool to_goal) {
  RelaxationScratch& s = s_;
  // The tables through plain pointers: none is resized here, and the compiler need not reload
  // them after every store.
  double* const fact_cost = s.fact_cost.data();
  std::uint64_t* const fact_stamp = s.fact_stamp.data();
  RelaxationScratch::Tentative* const tentative = s.tentative.data();
  RelaxationScratch::Pending* const pending = s.pending.data();
  OperatorID* const achiever = s.achiever.data();
  std::uint64_t* const achiever_stamp = s.achiever_stamp.data();
  const DeleteRelaxationHeuristic::PackedOperator* const packed = t_.packed_operators.data();
  const Expression* const effects = t_.packed_add_effects.data();
  const std::vector<Operator>& operators = t_.operators;
  const std::uint64_t stamp = evaluation_;
  std::uint32_t* counters = nullptr;
  double* partials = nullptr;
  if constexpr (direct) {
    s.counters.assign(t_.counted_initial.begin(), t_.counted_initial.end());
    counters = s.counters.data();
    if constexpr (!hmax) {
      s.partials.assign(t_.counted_initial.size(), 0.0);
      partials = s.partials.data();
    }
  }
  std::size_t top = 0;  // one past the highest bucket in use
  // The goal's facts still unsettled when the exploration may stop at the goal (with every
  // action idle, the value reads no idle fact), else 0, which never stops it.
  std::uint32_t goal_left = all_idle && to_goal && t_.stop_at_goal ? t_.goal_facts : 0;
  const std::uint8_t* const goal_fact = t_.goal_fact.data();
  const std::size_t goal_fact_size = t_.goal_fact.size();
  double current = 0.0;
  bool sound = true;
  // Whether `value` may wait in a bucket: a whole cost, not below the one being settled.
  const auto fits = [&](double value) __attribute__((always_inline)) {
    return value >= current && value <= kLastBucket && value == std::floor(value);
  };
  const auto bucket = [&](double value) __attribute__((always_inline)) -> std::vector<Expression>& {
    const auto b = static_cast<std::size_t>(value);
    if (s.buckets.size() <= b) s.buckets.resize(b + 1);
    top = std::max(top, b + 1);
    return s.buckets[b];
  };
  // Whether an operator's cost is read back: by `reached_operators`, and by an operator with
  // `Or` costed again. An evaluation for a value of a task without `Or` reads none.
  const bool record_costs = !direct || t_.packed_with_or;
  // Offers `value` from operator `o` to fact `f`. One offer goes to all the effects of an
  // operator: whether it fits a bucket, and which (`waiting`), is worked out once, when the
  // first effect improves. False when the offer does not fit: the cost order gives up.
  const auto offer_to = [&](std::uint64_t f, OperatorID o, double value, std::vector<Expression>*& waiting)
                            __attribute__((always_inline)) {
    RelaxationScratch::Tentative& known = tentative[f];
    if (known.stamp != stamp || value < known.cost) {
      known = {value, stamp};
      if constexpr (hff) {
        achiever[f] = o;
        achiever_stamp[f] = stamp;
      }
      if (waiting == nullptr) {
        if (!fits(value)) {
          sound = false;
          return false;
        }
        waiting = &bucket(value);
      }
      waiting->push_back(Expression{f});
    } else if (hff && value == known.cost) {
      QUENDRAL_CHECK(achiever_stamp[f] == stamp, "an equal offer for a fact without achiever");
      if (o > achiever[f]) achiever[f] = o;
    }
    return true;
  };
  // Inlined into the settling loop: as a call it cost a third of an evaluation on large tasks.
  const auto fire = [&](OperatorID o, double c) __attribute__((always_inline)) {
    if (record_costs) pending[o] = {c, stamp, 0};  // its cost, and that it has one
    const DeleteRelaxationHeuristic::PackedOperator& op = packed[o];
    const double value = c + op.weight;
    if (value < current + 1.0) {
      sound = false;  // an offer could tie with or undercut a settled cost
      return;
    }
    std::vector<Expression>* waiting = nullptr;
    // With every action idle, an idle fact already has cost 0: no offer can change it.
    for (std::uint32_t e = all_idle ? op.idle_effects_end : op.add_effects_begin; e < op.add_effects_end; ++e) {
      if (!offer_to(effects[e].id, o, value, waiting)) return;
    }
  };
  // An operator with `Or` is costed again at each of its facts: it fires when it is cheaper now.
  const auto fire_with_or = [&](OperatorID o) {
    const Cost c = condition_cost(operators[o].precondition.nodes, s, hmax);
    if (c.has && (pending[o].stamp != stamp || c.value < pending[o].partial)) fire(o, c.value);
  };
  // With every action idle, `start` has settled the idle facts at cost 0 (they are not among
  // the new facts); the operators then wait only for their other precondition facts.
  for (const Expression f : s.new_facts) {
    tentative[f.id] = {fact_cost[f.id], stamp};
    fact_stamp[f.id] = 0;  // unsettled: no evaluation has stamp 0
    if (!fits(fact_cost[f.id])) {
      sound = false;
    } else {
      bucket(fact_cost[f.id]).push_back(f);
    }
  }
  if (all_idle) {
    for (const OperatorID o : t_.operators_ready_when_idle) {
      if (!sound) break;
      if (packed[o].precondition_facts != DeleteRelaxationHeuristic::kPreconditionWithOr) {
        fire(o, 0.0);
        continue;
      }
      const Cost c = condition_cost(operators[o].precondition.nodes, s, hmax);
      if (c.has) fire(o, c.value);
    }
  }
  bool at_goal = false;
  for (std::size_t b = 0; b < top && sound && !at_goal; ++b) {
    current = static_cast<double>(b);
    for (std::size_t i = 0; i < s.buckets[b].size() && sound; ++i) {
      const std::uint64_t f = s.buckets[b][i].id;
      if (fact_stamp[f] == stamp || tentative[f].cost != current) continue;
      fact_cost[f] = current;
      fact_stamp[f] = stamp;
      if (goal_left != 0 && f < goal_fact_size && goal_fact[f] != 0 && --goal_left == 0) {
        at_goal = true;
        break;
      }
      if constexpr (direct) {
        // Operators waiting for f alone: one offer of current + 1 to each of their effects.
        const std::span<const DeleteRelaxationHeuristic::DirectEntry> row = t_.direct_rows[f];
        if (!row.empty()) {
          const double value = current + 1.0;
          std::vector<Expression>* waiting = nullptr;
          for (const DeleteRelaxationHeuristic::DirectEntry entry : row) {
            if (!offer_to(entry.fact, entry.op, value, waiting)) break;
          }
          if (!sound) break;
        }
        for (const DeleteRelaxationHeuristic::CountedEntry entry : t_.counted_rows[f]) {
          const OperatorID o = entry.op & ~DeleteRelaxationHeuristic::kSettleWithOr;
          if (entry.op & DeleteRelaxationHeuristic::kSettleWithOr) {
            fire_with_or(o);
            continue;
          }
          if constexpr (hmax) {
            if (--counters[entry.counter] == 0) fire(o, current);
          } else {
            partials[entry.counter] += current;
            if (--counters[entry.counter] == 0) fire(o, partials[entry.counter]);
          }
        }
        continue;
      }
      for (const DeleteRelaxationHeuristic::SettleEntry entry : t_.settle_rows[f]) {
        const OperatorID o = entry.op & ~DeleteRelaxationHeuristic::kSettleWithOr;
        if (entry.op & DeleteRelaxationHeuristic::kSettleWithOr) {
          fire_with_or(o);
          continue;
        }
        RelaxationScratch::Pending& waiting = pending[o];
        if (waiting.stamp != stamp) waiting = {0.0, stamp, all_idle ? entry.unsettled_when_idle : packed[o].precondition_facts};
        if constexpr (hmax) {
          // Facts settle in ascending cost, so the one settled last has the largest: the maximum
          // is the cost at hand, with no running maximum to keep.
          if (--waiting.unsettled == 0) fire(o, current);
        } else {
          waiting.partial += current;
          if (--waiting.unsettled == 0) fire(o, waiting.partial);
        }
      }
    }
  }
  for (std::size_t b = 0; b < top; ++b) s.buckets[b].clear();
  return sound;
}

void Evaluation::explore(bool to_goal) {
  if (t_.explore_by_cost) {
    settled_by_cost_ = settle_in_cost_order(to_goal);
    if (settled_by_cost_) {
      s_.new_facts.clear();  // nothing is left for the layers
    } else {
      start(false);
    }
  }
  explore_in_layers();
}

void Evaluation::offer_to_linear_conditions(OperatorID o, const Operator& op, double cost) {
  for (const HelpedCondition& helped : t_.operator_numeric_conditions[o]) {
    const Cost current = s_.cost_of(helped.condition.id);
    if (current.has && current.value == 0.0) continue;
    const SimpleNumericCondition& linear = t_.simple_numeric_conditions[helped.slot].linear;
    const double lhs = lhs_of(helped.slot);
    double k = 0.0;
    if (lhs > 0) {
      const bool assigned =
          std::any_of(linear.fluents.begin(), linear.fluents.end(), [&](std::uint64_t f) { return op.assigns(f); });
      if (!t_.inadmissible_numeric_heuristic_variant && assigned) {
        k = 1.0;
      } else {
        double delta = 0.0;
        for (std::size_t j = 0; j < linear.fluents.size(); ++j) {
          if (const double* increase = op.constant_increase_effects.find(linear.fluents[j])) {
            delta += linear.weights[j] * *increase;
          } else if (t_.inadmissible_numeric_heuristic_variant && op.assigns(linear.fluents[j])) {
            delta += -1.0;
          }
        }
        QUENDRAL_CHECK(delta < 0, "operator " + std::to_string(o) + " is filed as helping a linear condition it does not move");
        k = std::ceil(lhs / -delta);
      }
    }
    double value;
    if (hmax_) {
      std::vector<OperatorID>& contributors = s_.contributors[helped.slot];
      if (s_.contributors_stamp[helped.slot] != evaluation_) {
        s_.contributors_stamp[helped.slot] = evaluation_;
        contributors.clear();
      }
      if (std::find(contributors.begin(), contributors.end(), o) == contributors.end()) contributors.push_back(o);
      double least = kLargest;
      for (const OperatorID contributor : contributors) least = std::min(least, precondition_cost(contributor));
      value = k * op.weight + least;
    } else {
      value = k * op.weight + cost;
    }
    offer(helped.condition, value, o);
  }
}

// The layered fixpoint: each layer costs the operators woken by the facts the last one improved.
void Evaluation::explore_in_layers() {
  while (!s_.new_facts.empty()) {
    const std::uint64_t layer = ++s_.layer;
    // The triggered set as a bitmap: walking it visits operators by ascending id (see the top of
    // this file) without sorting.
    const auto trigger = [this](OperatorID o) {
      QUENDRAL_CHECK(o < ops_, "operator " + std::to_string(o) + " is beyond the " + std::to_string(ops_) + " operators");
      s_.triggered[o >> 6] |= std::uint64_t{1} << (o & 63);
    };
    for (const OperatorID o : t_.operators_without_precondition) trigger(o);
    for (const Expression f : s_.new_facts) {
      for (const OperatorID o : t_.operators_by_fact[f.id]) trigger(o);
    }
    s_.order.clear();
    for (std::size_t word = 0; word < s_.triggered.size(); ++word) {
      for (std::uint64_t bits = std::exchange(s_.triggered[word], 0); bits != 0; bits &= bits - 1) {
        s_.order.push_back(word * 64 + static_cast<OperatorID>(std::countr_zero(bits)));
      }
    }
    s_.improved.clear();
    for (const OperatorID o : s_.order) {
      const Operator& op = t_.operators[o];
      const Cost c = condition_cost(op.precondition.nodes, s_, hmax_);
      if (!c.has || (s_.operator_stamp[o] == evaluation_ && s_.operator_cost[o] <= c.value)) continue;
      s_.operator_cost[o] = c.value;
      s_.operator_stamp[o] = evaluation_;
      if (hmax_) {
        s_.precondition_cost[o] = c.value;
        s_.precondition_stamp[o] = layer;
      }
      for (const Expression fact : op.add_effects) offer(fact, c.value + op.weight, o);
      offer_to_linear_conditions(o, op, c.value);
    }
    s_.new_facts.swap(s_.improved);
    for (const Expression f : s_.new_facts) {
      s_.fact_cost[f.id] = s_.improvement[f.id];
      s_.fact_stamp[f.id] = evaluation_;
    }
  }
}

std::vector<OperatorID> Evaluation::reached_operators() const {
  std::vector<OperatorID> reached;
  for (OperatorID o = 0; o < ops_; ++o) {
    const bool costed = settled_by_cost_ ? s_.pending[o].stamp == evaluation_ && s_.pending[o].unsettled == 0
                                         : s_.operator_stamp[o] == evaluation_;
    if (costed) reached.push_back(o);
  }
  return reached;
}

HeuristicValue Evaluation::value() {
  const Cost g = condition_cost(t_.goal_condition.nodes, s_, hmax_);
  if (!g.has) return std::nullopt;
  if (!hff_) {
    // With every action idle, all the idle facts have cost 0 and so has their conjunction.
    const Cost idle = all_idle_ ? Cost{0.0, true} : condition_cost(t_.all_idle_condition.nodes, s_, hmax_);
    if (!idle.has) return std::nullopt;
    return hmax_ ? std::max(g.value, idle.value) : idle.value + g.value;
  }
  return relaxed_plan_length(g.value);
}

void Evaluation::visit(Expression fact) {
  if (s_.visited_stamp[fact.id] == evaluation_) return;
  s_.visited_stamp[fact.id] = evaluation_;
  s_.work.push_back(fact);
}

// The relaxed plan: back-chain from the goal's leaves through best achievers. A leaf with a cost
// but no achiever (a complex numeric condition false in the state, which no operator reaches)
// counts one step, as its cost does in hadd: otherwise a state that misses only such conditions
// would get 0, the value reserved for states whose goal already holds.
double Evaluation::relaxed_plan_length(double goal_cost) {
  double value = 0.0;
  for (const auto& [action, running] : state_.todo) {
    const std::uint64_t* count = t_.event_counts.find(action);
    QUENDRAL_CHECK(count != nullptr, "running action " + std::to_string(action.idx) + " has no events in the heuristic");
    value += static_cast<double>(*count - running.pos);
  }
  if (goal_cost == 0.0) return value;

  s_.work.clear();
  s_.leaves.clear();
  hff_leaves(t_.goal_condition, s_, s_.leaves);
  for (const Expression leaf : s_.leaves) visit(leaf);
  while (!s_.work.empty()) {
    const Expression f = s_.work.back();
    s_.work.pop_back();
    if (s_.achiever_stamp[f.id] != evaluation_) {
      const Cost own = s_.cost_of(f.id);
      if (own.has && own.value > 0.0) value += 1.0;
      continue;
    }
    const OperatorID o = s_.achiever[f.id];
    const Operator& op = t_.operators[o];
    const std::uint64_t a = op.action.idx;
    if (s_.plan_stamp.size() <= a) s_.plan_stamp.resize(a + 1, 0);
    // An action joins the relaxed plan once, counting its events unless it is already running.
    if (s_.plan_stamp[a] != evaluation_) {
      s_.plan_stamp[a] = evaluation_;
      if (state_.todo.empty() || !state_.todo.contains(op.action)) {
        std::uint64_t events = t_.packed_operators[o].action_events;
        if (events == 0) {
          const std::uint64_t* count = t_.event_counts.find(op.action);
          QUENDRAL_CHECK(count != nullptr, "action " + std::to_string(a) + " has operators but no events");
          events = *count;
        }
        value += static_cast<double>(events);
      }
    }
    if (!op.precondition.has_or) {
      // All its facts, without the detour through the leaf list.
      for (const HeuristicExpressionNode& entry : op.precondition.nodes) {
        if (entry.is_fact()) visit(entry.expression());
      }
      continue;
    }
    s_.leaves.clear();
    hff_leaves(op.precondition, s_, s_.leaves);
    for (const Expression leaf : s_.leaves) visit(leaf);
  }
  return value;
}

}  // namespace

std::pair<HeuristicValue, std::optional<std::vector<OperatorID>>> DeleteRelaxationHeuristic::_eval(
    const State& state, bool collect) const {
  const std::lock_guard lock(expression_manager->mutex);
  if (!expression_manager->scratch) expression_manager->scratch = std::make_shared<RelaxationScratch>();
  Evaluation evaluation(*this, state, expression_manager->manager, *expression_manager->scratch);
  evaluation.find_state_facts();
  evaluation.size_tables();
  evaluation.start(explore_by_cost);
  evaluation.explore(!collect);
  if (collect) return {std::nullopt, evaluation.reached_operators()};
  return {evaluation.value(), std::nullopt};
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
