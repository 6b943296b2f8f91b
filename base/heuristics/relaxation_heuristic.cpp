#include "base/heuristics/relaxation_heuristic.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"

namespace quendral {

namespace {

Expression intern_one(ExpressionManager& manager, const ExpressionNode& node) {
  return manager.put(std::span<const ExpressionNode>(&node, 1));
}

Expression intern_true_fact(ExpressionManager& manager, std::uint64_t fluent) {
  return intern_one(manager, ExpressionNode::fluent(fluent));
}

Expression intern_false_fact(ExpressionManager& manager, std::uint64_t fluent) {
  const ExpressionNode nodes[] = {ExpressionNode::fluent(fluent), ExpressionNode::not_operator(0)};
  return manager.put(nodes);
}

Expression intern_object_fact(ExpressionManager& manager, std::uint64_t fluent, std::string_view object) {
  const ExpressionNode nodes[] = {ExpressionNode::fluent(fluent), ExpressionNode::object(object),
                                  ExpressionNode::binary_operator(NodeKind::Equals, 0, 1)};
  return manager.put(nodes);
}

bool is_single(const NodeList& nodes, NodeKind kind) { return nodes.size() == 1 && nodes[0].kind() == kind; }

// The facts and numeric effects of one effect, added to `op`.
void add_effect(const Effect& effect, const FluentTypes& fluent_types, const ObjectsTable& objects,
                ExpressionManager& manager, Operator& op) {
  const std::uint64_t f = effect.fluent;
  QUENDRAL_CHECK(f < fluent_types.size(), "effect on fluent " + std::to_string(f) + " beyond the " +
                                              std::to_string(fluent_types.size()) + " typed fluents");
  const std::string& type = fluent_types[f];
  const NodeList& value = effect.value;
  if (type == "bool") {
    if (is_single(value, NodeKind::Bool)) {
      op.add_effects.push_back(value[0].flag() ? intern_true_fact(manager, f) : intern_false_fact(manager, f));
    } else {
      // A computed value may be either: both facts become reachable.
      op.add_effects.push_back(intern_true_fact(manager, f));
      op.add_effects.push_back(intern_false_fact(manager, f));
    }
  } else if (is_numeric_type(type)) {
    QUENDRAL_CHECK(!op.constant_increase_effects.contains(f) && !op.assigns(f),
                   "two effects on the numeric fluent " + std::to_string(f) + " in one event");
    if (is_single(value, NodeKind::Int)) {
      op.constant_assign_effects.insert(f, utils::big_rational_to_f64(Rational(value[0].int_value())));
    } else if (is_single(value, NodeKind::Rational)) {
      op.constant_assign_effects.insert(f, utils::big_rational_to_f64(value[0].rational_value()));
    } else {
      // f := f + c, c a constant, is an increase; anything else is a complex effect.
      const std::optional<LinearPolynomial> linear = to_linear_polynomial(value);
      if (linear && linear->terms.size() == 1 && linear->terms[0].first == f && linear->terms[0].second == 1.0) {
        op.constant_increase_effects.insert(f, linear->constant.value_or(0.0));
      } else {
        op.complex_numeric_effects.insert(f, manager.put(value));
      }
    }
  } else if (is_single(value, NodeKind::Object)) {
    op.add_effects.push_back(intern_object_fact(manager, f, value[0].object_name()));
  } else {
    const auto entry = objects.find(type);
    QUENDRAL_CHECK(entry != objects.end(),
                   "effect on fluent " + std::to_string(f) + " of the object type \"" + type + "\", which has no objects");
    for (const std::string& name : entry->second) op.add_effects.push_back(intern_object_fact(manager, f, name));
  }
}

// The node list of a precondition: every kept condition shifted behind the ones before it, then
// the required stage node, under one `And` when a condition was kept. None when a condition is
// the constant false: the event can never happen.
std::optional<NodeList> precondition_nodes(const std::vector<NodeList>& conditions, const ExpressionNode& stage) {
  NodeList nodes;
  std::vector<std::uint64_t> roots;
  for (const NodeList& condition : conditions) {
    if (condition.size() == 1 && condition[0].is_bool(false)) return std::nullopt;
    if (condition.empty() || (condition.size() == 1 && condition[0].is_bool(true))) continue;
    NodeList shifted = shift_expression(condition, nodes.size(), false);
    nodes.insert(nodes.end(), std::make_move_iterator(shifted.begin()), std::make_move_iterator(shifted.end()));
    roots.push_back(nodes.size() - 1);
  }
  nodes.push_back(stage);
  if (roots.empty()) return nodes;
  roots.push_back(nodes.size() - 1);
  nodes.push_back(ExpressionNode::list_operator(NodeKind::And, roots));
  return nodes;
}

// The steps of the constructor, in the order it takes them.

// Refuses an action of `events` missing from `actions` (an evaluation could not tell where a
// running instance of it stands without its stage facts); returns the number of timed events.
std::size_t count_events(const std::vector<Action>& actions, const EventsTable& events) {
  boost::unordered_flat_set<Action, ActionHash> listed(actions.begin(), actions.end());
  std::size_t total = 0;
  for (const auto& [action, timed] : events) {
    if (!listed.contains(action)) {
      throw Error(ErrorKind::ValueError, "Action " + std::to_string(action.idx) + " has events but is not in actions");
    }
    total += timed.size();
  }
  return total;
}

// The relaxed operators and stage facts, action by action in the order of `h.actions`, stage
// fluents numbered from the first one after the task's fluents. Returns the idle fluent of every
// action with events, as the operands of the all-idle conjunction.
NodeList build_operators(DeleteRelaxationHeuristic& h, const FluentTypes& fluent_types, const ObjectsTable& objects,
                         const EventsTable& events, bool disable, ExpressionManager& manager) {
  NodeList all_idle;
  std::uint64_t next_stage = fluent_types.size();
  for (const Action a : h.actions) {
    const std::vector<TimedEvent>* timed = events.find(a);
    if (timed == nullptr) continue;
    const std::uint64_t b = next_stage;
    const std::uint64_t k = timed->size();
    next_stage += k;
    // The idle fact is the last event's stage fact: event 0 requires it.
    all_idle.push_back(ExpressionNode::fluent(b + k - 1));
    ExpressionNode required = ExpressionNode::fluent(b + k - 1);
    std::vector<Expression> stages;
    stages.reserve(k);
    for (std::uint64_t j = 0; j < k; ++j) {
      const Event& event = (*timed)[j].second;
      const std::uint64_t s = b + j;
      Operator op;
      op.action = a;
      const Expression stage = intern_true_fact(manager, s);
      stages.push_back(stage);
      op.add_effects.push_back(stage);
      for (const Effect& effect : event.effects) add_effect(effect, fluent_types, objects, manager, op);
      const std::vector<NodeList> conditions = get_event_conditions(event, manager);
      if (std::optional<NodeList> nodes = precondition_nodes(conditions, required)) {
        op.precondition = simplify_condition(convert_to_heuristic_expression(*nodes, manager), objects, fluent_types,
                                             disable, manager);
        h.operators.push_back(std::move(op));
      }
      required = ExpressionNode::fluent(s);
    }
    h.stage_facts.insert_or_assign(a, std::move(stages));
  }
  return all_idle;
}

// Orders the operators by action, keeping the event order within an action; ids are positions.
void order_operators(std::vector<Operator>& operators) {
  std::stable_sort(operators.begin(), operators.end(),
                   [](const Operator& x, const Operator& y) { return x.action.idx < y.action.idx; });
  for (std::size_t i = 0; i < operators.size(); ++i) operators[i].id = i;
}

// The goal and the conjunction of every action's idle fact (`all_idle`, its operands).
void build_goal_conditions(DeleteRelaxationHeuristic& h, const NodeList& goals, NodeList all_idle,
                           const FluentTypes& fluent_types, const ObjectsTable& objects, bool disable,
                           ExpressionManager& manager) {
  h.goal_condition =
      simplify_condition(convert_to_heuristic_expression(goals, manager), objects, fluent_types, disable, manager);
  std::vector<std::uint64_t> positions(all_idle.size());
  for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  all_idle.push_back(ExpressionNode::list_operator(NodeKind::And, positions));
  h.all_idle_condition = convert_to_heuristic_expression(all_idle, manager);
}

// The operators woken by each fact and the numeric conditions (operators in order, each
// precondition's facts in order, then the goal's facts). Nothing is interned from here on, so
// every fact has its final id; a fact is filed once, since filing it again gives the same result.
// Returns the strict linear conditions.
ExpressionSet index_facts(DeleteRelaxationHeuristic& h, bool disable, const ExpressionManager& manager) {
  ExpressionSet strict;
  std::vector<bool> filed(manager.size(), false);
  const auto file = [&](Expression fact) {
    if (filed[fact.id]) return;
    filed[fact.id] = true;
    if (is_numeric_fact(manager.get(fact))) {
      update_numeric_conditions(fact, manager, h.simple_numeric_conditions, strict, h.complex_numeric_conditions,
                                disable);
    }
  };
  std::vector<std::pair<std::uint64_t, OperatorID>> by_fact;
  for (const Operator& op : h.operators) {
    if (op.precondition.nodes.empty()) {
      h.operators_without_precondition.push_back(op.id);
      continue;
    }
    for (const HeuristicExpressionNode& entry : op.precondition.nodes) {
      if (!entry.is_fact()) continue;
      file(entry.expression());
      by_fact.emplace_back(entry.payload, op.id);
    }
  }
  for (const HeuristicExpressionNode& entry : h.goal_condition.nodes) {
    if (entry.is_fact()) file(entry.expression());
  }
  h.operators_by_fact = CompressedRows<OperatorID>(manager.size(), by_fact);
  return strict;
}

// The linear conditions each operator helps. Only an operator with a numeric effect on one of a
// condition's fluents can change it, so each condition looks at those operators alone, through
// one packed row of numeric effects per fluent; the result is the same as trying every operator
// on every condition (each change summed in the condition's fluent order), in time linear in the
// task. Returns the smallest step any operator takes towards a condition (the largest negative
// change), the lowest double when none does.
double build_helping_relation(DeleteRelaxationHeuristic& h, std::uint64_t fluents) {
  struct NumericEffect {
    OperatorID op;
    bool assigns;     // a constant or complex assignment
    double increase;  // the constant added, when it does not assign
  };
  std::vector<std::pair<std::uint64_t, NumericEffect>> by_fluent;
  for (const Operator& op : h.operators) {
    for (const auto& [f, c] : op.constant_increase_effects) by_fluent.push_back({f, NumericEffect{op.id, false, c}});
    for (const auto& effect : op.constant_assign_effects) by_fluent.push_back({effect.first, NumericEffect{op.id, true, 0.0}});
    for (const auto& effect : op.complex_numeric_effects) by_fluent.push_back({effect.first, NumericEffect{op.id, true, 0.0}});
  }
  const CompressedRows<NumericEffect> effects_by_fluent(fluents, by_fluent);
  double best = std::numeric_limits<double>::lowest();
  std::vector<std::pair<std::uint64_t, HelpedCondition>> helped;
  struct Change {
    std::uint64_t slot = std::numeric_limits<std::uint64_t>::max();  // the condition it belongs to
    double delta = 0.0;
    bool assigned = false;
  };
  std::vector<Change> changes(h.operators.size());
  std::vector<OperatorID> candidates;
  const bool inadmissible = h.inadmissible_numeric_heuristic_variant;
  for (std::size_t slot = 0; slot < h.simple_numeric_conditions.size(); ++slot) {
    const SimpleNumericConditions::Entry& entry = h.simple_numeric_conditions[slot];
    const std::vector<std::uint64_t>& condition_fluents = entry.linear.fluents;
    const std::vector<double>& weights = entry.linear.weights;
    candidates.clear();
    for (std::size_t j = 0; j < condition_fluents.size(); ++j) {
      for (const NumericEffect& effect : effects_by_fluent[condition_fluents[j]]) {
        Change& change = changes[effect.op];
        if (change.slot != slot) {
          change = Change{slot, 0.0, false};
          candidates.push_back(effect.op);
        }
        if (!effect.assigns) {
          change.delta += weights[j] * effect.increase;
        } else {
          change.assigned = true;
          if (inadmissible) change.delta += -1.0;
        }
      }
    }
    for (const OperatorID o : candidates) {
      const Change& change = changes[o];
      if (!inadmissible && change.assigned) {
        // An assignment may reach any value: it helps without contributing to the epsilon.
        helped.emplace_back(o, HelpedCondition{entry.condition, slot});
      } else if (change.delta < 0) {
        best = std::max(best, change.delta);
        helped.emplace_back(o, HelpedCondition{entry.condition, slot});
      }
    }
  }
  h.operator_numeric_conditions = CompressedRows<HelpedCondition>(h.operators.size(), helped);
  return best;
}

// A strict condition sum + c < 0 becomes sum + c - epsilon <= 0: half the smallest step any
// operator takes towards it (`best`) keeps it strict.
void tighten_strict_conditions(SimpleNumericConditions& conditions, const ExpressionSet& strict, double best) {
  const double epsilon = 0.5 * best;
  for (const Expression condition : strict) {
    if (const std::optional<std::size_t> slot = conditions.index_of(condition)) {
      std::vector<double>& weights = conditions[*slot].linear.weights;
      weights.back() = weights.back() - epsilon;
    }
  }
}

// Conditions may keep the constant true as a fact (inside a disjunction, or as the whole goal).
void find_true_fact(DeleteRelaxationHeuristic& h, const ExpressionManager& manager) {
  const auto note_true = [&](const RelaxedCondition& condition) {
    for (const HeuristicExpressionNode& entry : condition.nodes) {
      if (!entry.is_fact()) continue;
      const NodeList& nodes = manager.get(entry.expression());
      if (nodes.size() == 1 && nodes[0].is_bool(true)) h.true_fact = entry.expression();
    }
  };
  for (const Operator& op : h.operators) note_true(op.precondition);
  note_true(h.goal_condition);
}

// What the cost-ordered exploration reads: the idle stage facts, the packed operators and the
// operators ready once every action is idle; and whether the task allows that exploration (every
// operator woken by a fact of its precondition, and no linear condition that an operator's
// effects could help: the layered order decides its h-max).
void pack_for_cost_order(DeleteRelaxationHeuristic& h, std::size_t facts) {
  using PackedOperator = DeleteRelaxationHeuristic::PackedOperator;
  constexpr std::uint32_t kWithOr = DeleteRelaxationHeuristic::kPreconditionWithOr;
  for (const auto& entry : h.stage_facts) {
    if (!entry.second.empty()) h.idle_stage_facts.push_back(entry.second.back());
  }
  std::vector<bool> idle(facts, false);
  for (const Expression fact : h.idle_stage_facts) idle[fact.id] = true;
  const auto is_idle = [&](std::uint64_t fact) { return fact < idle.size() && idle[fact]; };
  h.packed_operators.reserve(h.operators.size());
  for (const Operator& op : h.operators) {
    std::uint64_t precondition_facts = 0, idle_facts = 0;
    for (const HeuristicExpressionNode& entry : op.precondition.nodes) {
      if (!entry.is_fact()) continue;
      ++precondition_facts;
      if (is_idle(entry.payload)) ++idle_facts;
    }
    PackedOperator packed;
    packed.weight = op.weight;
    packed.add_effects_begin = static_cast<std::uint32_t>(h.packed_add_effects.size());
    for (const Expression fact : op.add_effects) {
      if (is_idle(fact.id)) h.packed_add_effects.push_back(fact);
    }
    packed.idle_effects_end = static_cast<std::uint32_t>(h.packed_add_effects.size());
    for (const Expression fact : op.add_effects) {
      if (!is_idle(fact.id)) h.packed_add_effects.push_back(fact);
    }
    QUENDRAL_CHECK(h.packed_add_effects.size() < kWithOr, "the operators have too many add effects");
    packed.add_effects_end = static_cast<std::uint32_t>(h.packed_add_effects.size());
    const bool with_or = op.precondition.has_or || precondition_facts >= kWithOr;
    packed.precondition_facts = with_or ? kWithOr : static_cast<std::uint32_t>(precondition_facts);
    h.packed_with_or = h.packed_with_or || with_or;
    packed.idle_facts = static_cast<std::uint32_t>(idle_facts);
    if (const std::uint64_t* count = h.event_counts.find(op.action); count != nullptr && *count < kWithOr) {
      packed.action_events = static_cast<std::uint32_t>(*count);
    }
    h.packed_operators.push_back(packed);
    if (idle_facts > 0 && (with_or || idle_facts == precondition_facts)) h.operators_ready_when_idle.push_back(op.id);
  }
  QUENDRAL_CHECK(h.operators.size() < DeleteRelaxationHeuristic::kSettleWithOr, "the task has too many operators");
  QUENDRAL_CHECK(facts < DeleteRelaxationHeuristic::kSettleWithOr, "the task has too many facts");
  std::vector<std::pair<std::uint64_t, DeleteRelaxationHeuristic::SettleEntry>> settle;
  std::vector<std::pair<std::uint64_t, DeleteRelaxationHeuristic::DirectEntry>> direct;
  std::vector<std::pair<std::uint64_t, DeleteRelaxationHeuristic::CountedEntry>> counted;
  constexpr std::uint32_t kNoCounter = 0xFFFFFFFFu;
  std::vector<std::uint32_t> counter_of(h.operators.size(), kNoCounter);
  settle.reserve(h.operators_by_fact.total());
  for (std::uint64_t fact = 0; fact < h.operators_by_fact.rows(); ++fact) {
    for (const OperatorID o : h.operators_by_fact[fact]) {
      const PackedOperator& packed = h.packed_operators[o];
      DeleteRelaxationHeuristic::SettleEntry entry;
      entry.op = static_cast<std::uint32_t>(o);
      if (packed.precondition_facts == kWithOr) {
        entry.op |= DeleteRelaxationHeuristic::kSettleWithOr;
      } else {
        entry.unsettled_when_idle = packed.precondition_facts - packed.idle_facts;
      }
      settle.emplace_back(fact, entry);
      if (entry.unsettled_when_idle == 1 && packed.weight == 1.0 && !is_idle(fact)) {
        for (std::uint32_t e = packed.idle_effects_end; e < packed.add_effects_end; ++e) {
          direct.emplace_back(fact, DeleteRelaxationHeuristic::DirectEntry{
                                        static_cast<std::uint32_t>(h.packed_add_effects[e].id), entry.op});
        }
      } else if (!is_idle(fact)) {
        DeleteRelaxationHeuristic::CountedEntry counted_entry{entry.op, 0};
        if (packed.precondition_facts != kWithOr) {
          if (counter_of[o] == kNoCounter) {
            counter_of[o] = static_cast<std::uint32_t>(h.counted_initial.size());
            h.counted_initial.push_back(entry.unsettled_when_idle);
          }
          counted_entry.counter = counter_of[o];
        }
        counted.emplace_back(fact, counted_entry);
      }
    }
  }
  h.settle_rows = CompressedRows<DeleteRelaxationHeuristic::SettleEntry>(h.operators_by_fact.rows(), settle);
  h.direct_rows = CompressedRows<DeleteRelaxationHeuristic::DirectEntry>(h.operators_by_fact.rows(), direct);
  h.counted_rows = CompressedRows<DeleteRelaxationHeuristic::CountedEntry>(h.operators_by_fact.rows(), counted);
  h.explore_by_cost = h.operators_without_precondition.empty() && h.operator_numeric_conditions.total() == 0;
  h.idle_costs_read =
      h.packed_with_or ||
      std::any_of(h.goal_condition.nodes.begin(), h.goal_condition.nodes.end(),
                  [&](const HeuristicExpressionNode& entry) { return entry.is_fact() && is_idle(entry.payload); });
  const std::vector<HeuristicExpressionNode>& goal = h.goal_condition.nodes;
  const bool goal_is_conjunction =
      !goal.empty() && (goal.size() == 1 ? goal[0].is_fact()
                                         : goal.back().kind == HeuristicExpressionNode::Kind::And &&
                                               goal.back().count() + 1 == goal.size() &&
                                               std::all_of(goal.begin(), goal.end() - 1,
                                                           [](const HeuristicExpressionNode& entry) { return entry.is_fact(); }));
  // Without `idle_costs_read`, no precondition holds an `Or` and the goal names no idle fact.
  if (h.explore_by_cost && goal_is_conjunction && !h.idle_costs_read) {
    h.goal_fact.assign(facts, 0);
    for (const HeuristicExpressionNode& entry : goal) {
      if (!entry.is_fact() || h.goal_fact[entry.payload] != 0) continue;
      h.goal_fact[entry.payload] = 1;
      ++h.goal_facts;
    }
    h.stop_at_goal = true;
  }
}

}  // namespace

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(std::vector<Action> actions_in, FluentTypes fluent_types,
                                                     ObjectsTable objects, EventsTable events, NodeList goals,
                                                     DeleteRelaxationSettings settings)
    : actions(std::move(actions_in)),
      mode(settings.mode),
      inadmissible_numeric_heuristic_variant(settings.inadmissible_numeric_heuristic_variant),
      disable_numeric_reasoning(settings.disable_numeric_reasoning) {
  const bool disable = settings.disable_numeric_reasoning;
  ExpressionManager manager;
  operators.reserve(count_events(actions, events));
  NodeList all_idle = build_operators(*this, fluent_types, objects, events, disable, manager);
  order_operators(operators);
  build_goal_conditions(*this, goals, std::move(all_idle), fluent_types, objects, disable, manager);
  const ExpressionSet strict = index_facts(*this, disable, manager);
  const double best = build_helping_relation(*this, fluent_types.size());
  tighten_strict_conditions(simple_numeric_conditions, strict, best);
  for (const auto& [action, timed] : events) event_counts.insert_or_assign(action, timed.size());
  find_true_fact(*this, manager);
  pack_for_cost_order(*this, manager.size());

  value_cache = std::make_shared<SharedValueCache>();
  if (settings.internal_caching) value_cache->map.emplace();
  expression_manager = std::make_shared<SharedExpressionManager>();
  expression_manager->manager = std::move(manager);
}

}  // namespace quendral
