#include "base/heuristics/hmax_explicit.hpp"

#include <algorithm>
#include <string>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"

namespace quendral {

namespace {

struct NodeHash {
  std::size_t operator()(const ExpressionNode& node) const noexcept {
    FxHasher h;
    node.hash_into(h);
    return h.finish();
  }
};

// The values a fluent may hold, in the order they were first added.
class ValueSet {
 public:
  bool insert(const ExpressionNode& value) {
    if (!index_.insert(value).second) return false;
    values_.push_back(value);
    return true;
  }
  void assign(const ExpressionNode& value) {
    values_.clear();
    index_.clear();
    insert(value);
  }
  const std::vector<ExpressionNode>& values() const noexcept { return values_; }

 private:
  std::vector<ExpressionNode> values_;
  boost::unordered_flat_set<ExpressionNode, NodeHash> index_;
};

bool is_only(const NodeList& nodes, bool flag) { return nodes.size() == 1 && nodes[0].is_bool(flag); }

// The fluents read by `lists`, ascending and distinct.
std::vector<std::uint64_t> fluents_of(const std::vector<NodeList>& lists) {
  std::vector<std::uint64_t> out;
  for (const NodeList& nodes : lists) {
    for (const ExpressionNode& node : nodes) {
      if (node.kind() == NodeKind::Fluent) out.push_back(node.fluent_index());
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// One exploration: the possible-value sets and what the layers share.
struct Exploration {
  std::vector<ValueSet> sets;
  std::vector<char> changed;  // per fluent: its set grew in the last merge
  std::vector<std::int8_t> memo;  // per condition id: -1 unknown, 0 false, 1 true
  FluentAssignments assignments;
  std::vector<std::uint64_t> fluents;
  std::vector<std::size_t> odometer;

  // Calls `visit(value)` for the value of `expression` under every combination of possible
  // values of its fluent occurrences (the last occurrence varying fastest) until `visit` returns
  // true; returns whether it did.
  template <class Visit>
  bool any_value(std::span<const ExpressionNode> expression, Visit&& visit) {
    fluents.clear();
    for (const ExpressionNode& node : expression) {
      if (node.kind() != NodeKind::Fluent) continue;
      QUENDRAL_CHECK(node.fluent_index() < sets.size(), "fluent " + std::to_string(node.fluent_index()) +
                                                            " is beyond the " + std::to_string(sets.size()) +
                                                            " fluents of the task");
      if (sets[node.fluent_index()].values().empty()) return false;
      fluents.push_back(node.fluent_index());
    }
    odometer.assign(fluents.size(), 0);
    while (true) {
      assignments.assignments.clear();
      for (std::size_t j = 0; j < fluents.size(); ++j) {
        assignments.assignments.insert_or_assign(fluents[j], &sets[fluents[j]].values()[odometer[j]]);
      }
      ExpressionNode value;
      try {
        value = internal_evaluate(expression, assignments);
      } catch (const Error& error) {
        internal_failure("an expression fails for possible values: " + error.message());
      }
      if (visit(value)) return true;
      std::size_t j = fluents.size();
      while (j > 0) {
        --j;
        if (++odometer[j] < sets[fluents[j]].values().size()) break;
        odometer[j] = 0;
        if (j == 0) return false;
      }
      if (fluents.empty()) return false;
    }
  }

  bool touches_changed(std::span<const std::uint64_t> fluent_set) const {
    return std::any_of(fluent_set.begin(), fluent_set.end(), [&](std::uint64_t f) { return changed[f] != 0; });
  }

  bool can_be_true(const std::vector<NodeList>& conditions, const std::vector<Expression>& ids) {
    QUENDRAL_CHECK(ids.size() >= conditions.size(), "conditions without identifiers");
    for (std::size_t i = 0; i < conditions.size(); ++i) {
      std::int8_t& verdict = memo[ids[i].id];
      if (verdict == 1) continue;
      if (verdict == 0) {
        // Sets only grow: a false verdict can change only when a fluent of the condition grew.
        bool grew = false;
        for (const ExpressionNode& node : conditions[i]) {
          if (node.kind() == NodeKind::Fluent && node.fluent_index() < changed.size() && changed[node.fluent_index()]) {
            grew = true;
            break;
          }
        }
        if (!grew) return false;
      }
      const bool found = any_value(conditions[i], [](const ExpressionNode& v) { return v.is_bool(true); });
      verdict = found ? 1 : 0;
      if (!found) return false;
    }
    return true;
  }
};

}  // namespace

HMaxExplicit::HMaxExplicit(std::vector<Action> actions_in, const FluentTypes& fluent_types, EventsTable events_in,
                           NodeList goal_nodes, bool internal_caching)
    : actions(std::move(actions_in)), events(std::move(events_in)) {
  std::uint64_t next = fluent_types.size();
  ExpressionManager manager;
  std::vector<NodeList> extra_goals;
  for (const auto& [action, timed] : events) {
    const std::uint64_t k = timed.size();
    // An action without events can never be started: no stage fluents, no goal of being idle.
    if (k == 0) continue;
    const std::uint64_t last = next + k - 1;
    extra_goals.push_back({ExpressionNode::fluent(last)});
    NodeList previous{ExpressionNode::fluent(last)};
    std::vector<NodeList> stages;
    stages.reserve(k);
    for (std::uint64_t j = 0; j < k; ++j) {
      const Event& event = timed[j].second;
      const std::uint64_t s = next;
      stages.push_back({ExpressionNode::fluent(s)});
      OperatorHmax op;
      op.action = action;
      op.effects.push_back(Effect{s, {ExpressionNode::boolean(true)}});
      op.effects.insert(op.effects.end(), event.effects.begin(), event.effects.end());
      op.conditions.push_back(previous);
      for (const NodeList& condition : get_event_conditions(event, manager)) {
        if (condition.empty() || is_only(condition, true)) continue;
        for (NodeList& conjunct : split_expression(condition)) op.conditions.push_back(std::move(conjunct));
      }
      const bool never = std::any_of(op.conditions.begin(), op.conditions.end(),
                                     [](const NodeList& c) { return is_only(c, false); });
      if (!never) {
        for (const NodeList& condition : op.conditions) op.condition_ids.push_back(manager.put(condition));
        operators.push_back(std::move(op));
      }
      previous = {ExpressionNode::fluent(s)};
      next = s + 1;
    }
    stage_fluents.insert_or_assign(action, std::move(stages));
  }
  goals = split_expression(goal_nodes);
  goals.insert(goals.end(), std::make_move_iterator(extra_goals.begin()), std::make_move_iterator(extra_goals.end()));
  for (const NodeList& goal : goals) goal_ids.push_back(manager.put(goal));
  for (const OperatorHmax& op : operators) {
    condition_fluents.push_back(fluents_of(op.conditions));
    std::vector<NodeList> values;
    for (const Effect& effect : op.effects) values.push_back(effect.value);
    effect_fluents.push_back(fluents_of(values));
  }
  value_cache = std::make_shared<SharedValueCache>();
  if (internal_caching) value_cache->map.emplace();
  num_fluents = next;
  condition_count_ = manager.size();
  for (const auto& entry : events) key_actions.push_back(entry.first);
  key_actions.insert(key_actions.end(), actions.begin(), actions.end());
}

HeuristicValue HMaxExplicit::eval(const State& state) const {
  SharedValueCache& cache = *value_cache;
  const std::lock_guard lock(cache.mutex);
  if (!cache.map) return _eval(state);
  fill_cache_key(cache.probe, state, key_actions);
  if (const auto it = cache.map->find(cache.probe); it != cache.map->end()) return it->second;
  const HeuristicValue value = _eval(state);
  cache.map->emplace(cache.probe, value);
  return value;
}

HeuristicValue HMaxExplicit::_eval(const State& state) const {
  Exploration x;
  x.sets.resize(num_fluents);
  QUENDRAL_CHECK(state.values.size() <= num_fluents, "the state has " + std::to_string(state.values.size()) +
                                                         " values for " + std::to_string(num_fluents) + " fluents");
  {
    std::uint64_t i = 0;
    for (const ExpressionNode& value : state.values) x.sets[i++].assign(value);
  }
  for (const auto& [action, stages] : stage_fluents) {
    const TodoEntry* running = state.todo.find(action);
    const std::uint64_t p = running != nullptr ? running->pos : stages.size();
    for (std::uint64_t j = 0; j < stages.size(); ++j) {
      x.sets[stages[j][0].fluent_index()].assign(ExpressionNode::boolean(j + 1 == p));
    }
  }
  if (num_fluents == 0) return std::nullopt;
  x.changed.assign(num_fluents, 1);
  x.memo.assign(condition_count_, -1);
  std::vector<char> applied(operators.size(), 0);
  // New values of a layer, per fluent, and the fluents that received some, in first-touch order.
  std::vector<std::vector<ExpressionNode>> pending(num_fluents);
  std::vector<std::uint64_t> touched;

  for (std::uint32_t layer = 0;; ++layer) {
    if (x.can_be_true(goals, goal_ids)) return static_cast<double>(layer);
    if (layer == max_layers) return static_cast<double>(layer);
    const auto apply = [&](const OperatorHmax& op) {
      for (const Effect& effect : op.effects) {
        QUENDRAL_CHECK(effect.fluent < num_fluents, "effect on fluent " + std::to_string(effect.fluent) + " beyond the " +
                                                        std::to_string(num_fluents) + " fluents");
        std::vector<ExpressionNode>& into = pending[effect.fluent];
        if (into.empty()) touched.push_back(effect.fluent);
        x.any_value(effect.value, [&](const ExpressionNode& v) {
          into.push_back(v);
          return false;
        });
        if (into.empty()) touched.pop_back();
      }
    };
    for (std::size_t o = 0; o < operators.size(); ++o) {
      if (applied[o]) {
        if (x.touches_changed(effect_fluents[o])) apply(operators[o]);
      } else if (x.touches_changed(condition_fluents[o]) &&
                 x.can_be_true(operators[o].conditions, operators[o].condition_ids)) {
        applied[o] = 1;
        apply(operators[o]);
      }
    }
    std::fill(x.changed.begin(), x.changed.end(), 0);
    bool grew = false;
    for (const std::uint64_t f : touched) {
      for (const ExpressionNode& v : pending[f]) {
        if (x.sets[f].insert(v)) {
          x.changed[f] = 1;
          grew = true;
        }
      }
      pending[f].clear();
    }
    touched.clear();
    if (!grew) return std::nullopt;
  }
}

}  // namespace quendral
