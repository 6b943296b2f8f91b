#include "base/space/search_space.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "base/expressions/expressions_utils.hpp"

namespace quendral {

namespace {

constexpr const char* kNoInitialState = "The initial state must be defined somewhere!";
constexpr const char* kNoGoal = "The goal must be defined somewhere!";
constexpr const char* kGoalNotBoolean = "The goal is not a boolean expression!";
constexpr const char* kConditionNotBoolean = "An action condition is not a boolean expression!";
constexpr const char* kExpectedNumber = "Expected a number!";
constexpr const char* kInstancesExhausted =
    "The search space has handed out all 2^32 action instance numbers and cannot start another instance";

// The double nearest to a number node; any other kind is not a duration.
double number_to_f64(const ExpressionNode& node) {
  switch (node.kind()) {
    case NodeKind::Int:
      if (node.int_value().is_small()) return utils::big_rational_to_f64(Rational(node.int_value().small_value()));
      return utils::big_rational_to_f64(Rational(node.int_value()));
    case NodeKind::Rational: return utils::big_rational_to_f64(node.rational_value());
    default: throw Error(ErrorKind::ValueError, kExpectedNumber);
  }
}

// The value an effect writes, computed in `parent`. A single leaf, a constant or one fluent's
// value (the common effects), is read without the evaluator: the same value, and for a fluent
// beyond the state the same failure.
ExpressionNode effect_value(std::span<const ExpressionNode> value, const State& parent) {
  if (value.size() == 1 && is_leaf(value[0].kind())) {
    return value[0].kind() == NodeKind::Fluent ? parent.get_fluent_value(value[0].fluent_index()) : value[0];
  }
  return internal_evaluate(value, parent);
}

std::span<const ExpressionNode> chosen(std::optional<std::span<const ExpressionNode>> given,
                                       const std::optional<NodeList>& stored, const char* missing) {
  if (given) return *given;
  if (stored) return *stored;
  throw Error(ErrorKind::Exception, missing);
}

}  // namespace

// ---------------------------------------------------------------- construction

SearchSpace::SearchSpace(std::vector<std::optional<DurationBounds>> actions_duration, EventsTable events,
                         std::span<const Action> actions, std::optional<std::vector<bool>> compression_safe_actions,
                         std::optional<std::vector<std::vector<std::string>>> action_objects,
                         std::optional<ObjectPrevActionsMap> obj_to_prev_actions_map,
                         std::optional<NodeList> initial_state, std::optional<NodeList> goal,
                         std::optional<std::vector<Action>> relevant_actions, std::optional<Rational> deadline,
                         std::optional<Rational> epsilon)
    : actions_duration_(std::move(actions_duration)),
      events_(std::move(events)),
      relevant_actions_(relevant_actions ? std::move(*relevant_actions)
                                         : std::vector<Action>(actions.begin(), actions.end())),
      compression_safe_actions_(std::move(compression_safe_actions)),
      action_objects_(std::move(action_objects)),
      obj_to_prev_actions_map_(std::move(obj_to_prev_actions_map)),
      initial_state_(std::move(initial_state)),
      goal_(std::move(goal)),
      tn_interpreter_(actions, events_),
      epsilon_(mk_rational(1, 100)) {
  is_temporal_ = std::any_of(actions_duration_.begin(), actions_duration_.end(),
                             [](const auto& entry) { return entry.has_value(); });

  // The tables by action idx: fluent sets, direct access to each action's events, and the
  // durative conditions each event opens, shared by every state that holds them.
  event_fluents_.resize(actions.size());
  events_by_idx_.assign(actions.size(), nullptr);
  opened_conditions_.resize(actions.size());
  compiled_conditions_.resize(actions.size());
  for (const auto& [action, list] : events_) {
    QUENDRAL_CHECK(action.idx < actions.size(), "the events table lists action " + std::to_string(action.idx) +
                                                    ", beyond the " + std::to_string(actions.size()) + " actions");
    events_by_idx_[action.idx] = &list;
    auto& fluents = event_fluents_[action.idx];
    auto& opened = opened_conditions_[action.idx];
    auto& compiled = compiled_conditions_[action.idx];
    for (const auto& [timing, event] : list) {
      fluents.push_back(compute_event_fluents(event));
      compiled.emplace_back(event.conditions);
      std::vector<std::shared_ptr<const NodeList>> shared;
      shared.reserve(event.start_conditions.size());
      for (const NodeList& condition : event.start_conditions) shared.push_back(std::make_shared<const NodeList>(condition));
      opened.push_back(std::move(shared));
    }
  }

  first_conditions_.assign(actions.size(), nullptr);
  for (std::size_t idx = 0; idx < actions.size(); ++idx) {
    if (!compiled_conditions_[idx].empty() && compiled_conditions_[idx][0].compiled()) {
      first_conditions_[idx] = &compiled_conditions_[idx][0];
    }
  }
  build_applicability_index();
  if (goal_) compiled_goal_ = CompiledCondition(*goal_);
  if (deadline) deadline_ = utils::big_rational_to_f64(*deadline);
  if (epsilon) {
    // The network's repair loop settles only with a positive tolerance.
    if (epsilon->sign() <= 0) throw Error(ErrorKind::ValueError, kEpsilonNotPositive);
    epsilon_ = std::move(*epsilon);
    epsilon_f64_ = utils::big_rational_to_f64(epsilon_);
  }
}

const std::vector<TimedEvent>* SearchSpace::events_of(Action action) const noexcept {
  return action.idx < events_by_idx_.size() ? events_by_idx_[action.idx] : nullptr;
}

std::uint64_t SearchSpace::instance_counter() const {
  const std::lock_guard lock(instance_mutex_);
  return instance_counter_;
}

void SearchSpace::set_instance_counter_for_tests(std::uint64_t value) {
  const std::lock_guard lock(instance_mutex_);
  instance_counter_ = std::min(value, kInstanceLimit);
}

// ---------------------------------------------------------------- root state and goal tests

State SearchSpace::initial_state(std::optional<std::span<const ExpressionNode>> values) const {
  const std::span<const ExpressionNode> nodes = chosen(values, initial_state_, kNoInitialState);
  StateValues vector(nodes);
  std::optional<DeltaSTN<double>> network;
  if (is_temporal_) {
    network.emplace(epsilon_f64_ / 1000.0);
    if (deadline_) {
      network->add(TNInterpreter::horizon_node, TNInterpreter::origin_node, *deadline_);
      network->add(TNInterpreter::origin_node, TNInterpreter::horizon_node, -*deadline_);
    }
  }
  return State(std::move(vector), std::move(network));
}

bool SearchSpace::goal_reached(const State& state, std::optional<std::span<const ExpressionNode>> goal) const {
  if (!state.todo.empty()) return false;
  if (!goal) {
    if (const std::optional<bool> verdict = compiled_goal_.test(state.values)) return *verdict;
  }
  const ExpressionNode value = internal_evaluate(chosen(goal, goal_, kNoGoal), state);
  if (value.kind() != NodeKind::Bool) throw Error(ErrorKind::Exception, kGoalNotBoolean);
  return value.flag();
}

std::vector<NodeList> SearchSpace::subgoals_sat(const State& state,
                                                std::optional<std::span<const ExpressionNode>> goal) const {
  std::vector<NodeList> conjuncts = split_expression(chosen(goal, goal_, kNoGoal));
  // Satisfied conjuncts in split order, each once: a conjunct equal to an earlier one that held
  // holds too, so it is dropped.
  struct SpanEqual {
    bool operator()(std::span<const ExpressionNode> a, std::span<const ExpressionNode> b) const noexcept {
      return a == b;
    }
  };
  boost::unordered_flat_set<std::span<const ExpressionNode>, NodeListHash, SpanEqual> seen;
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < conjuncts.size(); ++i) {
    const ExpressionNode value = internal_evaluate(conjuncts[i], state);
    if (value.is_bool(true) && seen.insert(conjuncts[i]).second) kept.push_back(i);
  }
  std::vector<NodeList> satisfied;
  satisfied.reserve(kept.size());
  for (const std::size_t i : kept) satisfied.push_back(std::move(conjuncts[i]));
  return satisfied;
}

// ---------------------------------------------------------------- successors

bool SearchSpace::is_sat(std::span<const ExpressionNode> expression, const State& state) const {
  const ExpressionNode value = internal_evaluate(expression, state);
  if (value.kind() != NodeKind::Bool) throw Error(ErrorKind::Exception, kConditionNotBoolean);
  return value.flag();
}

bool SearchSpace::event_condition_holds(const State& state, Action action, std::size_t position,
                                        const Event& event) const {
  if (const std::optional<bool> verdict = compiled_conditions_[action.idx][position].test(state.values)) return *verdict;
  return is_sat(event.conditions, state);
}

std::optional<State> SearchSpace::get_successor_state_with_compression(const State& state, Action action,
                                                                       bool compress) const {
  const std::vector<TimedEvent>* events = events_of(action);
  if (!events) return std::nullopt;
  if (const TodoEntry* entry = state.todo.find(action)) return continue_instance(state, action, *events, *entry);
  return start_instance(state, action, *events, compress);
}

std::optional<State> SearchSpace::continue_instance(const State& state, Action action,
                                                    const std::vector<TimedEvent>& events,
                                                    const TodoEntry& entry) const {
  const std::uint64_t p = entry.pos;
  const std::uint32_t k = entry.instance;
  if (p >= events.size()) return std::nullopt;
  const Event& event = events[p].second;
  if (!event_condition_holds(state, action, p, event)) return std::nullopt;
  State child = state.clone_for_child();
  child.g += 1.0;
  if (p + 1 < events.size()) {
    child.todo.insert_or_assign(action, TodoEntry{p + 1, k + 1});
  } else {
    child.todo.erase(action);
  }
  if (!expand_event(state, child, event, p, k)) return std::nullopt;
  return child;
}

bool SearchSpace::pruned_by_objects(const State& state, Action action) const {
  if (!action_objects_ || !obj_to_prev_actions_map_) return false;
  QUENDRAL_CHECK(action.idx < action_objects_->size(),
                 "action " + std::to_string(action.idx) + " is beyond the action objects table");
  for (const std::string& object : (*action_objects_)[action.idx]) {
    const auto it = obj_to_prev_actions_map_->find(std::string_view(object));
    if (it == obj_to_prev_actions_map_->end()) continue;
    const ActionSet& allowing = it->second;
    if (allowing.contains(action)) continue;
    bool allowed = false;
    for (const PathEntry& applied : PersistentList<PathEntry>::iter_rev(state.path)) {
      if (allowing.contains(applied.action)) {
        allowed = true;
        break;
      }
    }
    if (!allowed) return true;
  }
  return false;
}

std::optional<State> SearchSpace::start_instance(const State& state, Action action,
                                                 const std::vector<TimedEvent>& events, bool compress) const {
  const std::size_t n = events.size();
  QUENDRAL_CHECK(n >= 1, "action " + std::to_string(action.idx) + " has no events and cannot be started");
  if (!event_condition_holds(state, action, 0, events[0].second)) return std::nullopt;
  if (pruned_by_objects(state, action)) return std::nullopt;
  State child = state.clone_for_child();
  child.g += 1.0;

  bool applied;
  {
    // Held until the first event is applied: one instance's numbers are contiguous, and the
    // counter is read and advanced as one step. A failure releases it with the stack.
    const std::lock_guard lock(instance_mutex_);
    const std::uint64_t c = instance_counter_;
    std::uint32_t first_instance = static_cast<std::uint32_t>(c);
    if (is_temporal_) {
      // The instance takes the numbers c … c + n; a number past 32 bits would wrap onto the
      // nodes of instances that may still be in some state's network.
      if (c + n >= kInstanceLimit) throw Error(ErrorKind::RuntimeError, kInstancesExhausted);
      QUENDRAL_CHECK(child.stn.has_value(), "a state of a temporal task carries no temporal network");
      DeltaSTN<double>& network = *child.stn;
      const std::uint32_t instance = static_cast<std::uint32_t>(c);
      const std::uint64_t s = TNInterpreter::node_id(tn_interpreter_.get_action_id(action, true), instance);
      const std::uint64_t e = TNInterpreter::node_id(tn_interpreter_.get_action_id(action, false), instance);
      instance_counter_ = c + 1;

      double lower = 0.0, upper = 0.0;
      QUENDRAL_CHECK(action.idx < actions_duration_.size(),
                     "action " + std::to_string(action.idx) + " is beyond the duration table");
      if (const auto& bounds = actions_duration_[action.idx]) {
        lower = number_to_f64(internal_evaluate(bounds->lower, state));
        upper = number_to_f64(internal_evaluate(bounds->upper, state));
        if (bounds->lower_open) lower += epsilon_f64_;
        if (bounds->upper_open) upper -= epsilon_f64_;
      }
      network.add(s, e, -lower);
      network.add(e, s, upper);
      network.add(TNInterpreter::origin_node, s, 0.0);
      network.add(e, TNInterpreter::horizon_node, -epsilon_f64_);

      // Each event is pinned exactly its delay after its anchor.
      for (const auto& [timing, event] : events) {
        const std::uint64_t node = TNInterpreter::node_id(tn_interpreter_.get_event_id(event.action, event.pos),
                                                          static_cast<std::uint32_t>(instance_counter_));
        const std::uint64_t anchor = timing.start ? s : e;
        const double delay = utils::big_rational_to_f64(timing.delay);
        network.add(anchor, node, -delay);
        network.add(node, anchor, delay);
        ++instance_counter_;
      }
      if (n > 1) child.todo.insert_or_assign(action, TodoEntry{1, instance + 2});
      first_instance = instance + 1;
    }
    applied = expand_event(state, child, events[0].second, 0, first_instance);
  }
  if (!applied) return std::nullopt;

  if (compress && compression_safe_actions_) {
    QUENDRAL_CHECK(action.idx < compression_safe_actions_->size(),
                   "action " + std::to_string(action.idx) + " is beyond the compression table");
    if ((*compression_safe_actions_)[action.idx] && n > 1) {
      const TodoEntry* entry = child.todo.find(action);
      QUENDRAL_CHECK(entry != nullptr, "a multi-event action can be compressed only in a task with durative actions");
      const std::uint32_t k = entry->instance;
      child.todo.erase(action);
      // The later events' own conditions are not tested: the durative conditions, the effects
      // and the network decide.
      for (std::size_t i = 1; i < n; ++i) {
        const State snapshot = child.clone_for_child();
        child.g += 1.0;
        if (!expand_event(snapshot, child, events[i].second, i, k + static_cast<std::uint32_t>(i) - 1)) {
          return std::nullopt;
        }
      }
    }
  }
  return child;
}

bool SearchSpace::durative_conditions_hold(const State& state) const {
  // Every occurrence of a condition has the same value, so each distinct one is evaluated once.
  for (const ConditionMultiset::Entry& entry : state.active_conditions.distinct()) {
    if (!is_sat(*entry.condition, state)) return false;
  }
  return true;
}

bool SearchSpace::expand_event(const State& parent, State& child, const Event& event, std::uint64_t position,
                               std::uint32_t instance) const {
  child.path = PersistentList<PathEntry>::append(PathEntry{event.action, event.pos, instance}, child.path);
  if (!durative_conditions_hold(parent)) return false;

  for (const NodeList& condition : event.end_conditions) child.active_conditions.remove(condition);
  // The conditions of an event of the table are shared with the space's copy; any other event
  // (a caller's own record) has its conditions copied.
  const std::vector<std::shared_ptr<const NodeList>>* opened = nullptr;
  if (const std::vector<TimedEvent>* list = event.start_conditions.empty() ? nullptr : events_of(event.action);
      list && position < list->size() && &(*list)[position].second == &event) {
    opened = &opened_conditions_[event.action.idx][position];
  }
  for (std::size_t i = 0; i < event.start_conditions.size(); ++i) {
    if (opened) {
      child.active_conditions.insert((*opened)[i]);
    } else {
      child.active_conditions.insert(event.start_conditions[i]);
    }
  }

  // Every value is computed in the parent: the effects of one event do not see each other.
  for (const Effect& effect : event.effects) {
    ExpressionNode value = effect_value(effect.value, parent);
    QUENDRAL_CHECK(effect.fluent < child.values.size(),
                   "an effect writes fluent " + std::to_string(effect.fluent) + " of a state with " +
                       std::to_string(child.values.size()) + " values");
    child.values.set(effect.fluent, std::move(value));
  }

  if (!durative_conditions_hold(child)) return false;
  if (!is_temporal_) return true;

  QUENDRAL_CHECK(child.stn.has_value(), "a state of a temporal task carries no temporal network");
  DeltaSTN<double>& network = *child.stn;
  const std::uint64_t current = TNInterpreter::node_id(tn_interpreter_.get_event_id(event.action, event.pos), instance);
  const EventRef applied{event.action, position};

  // After every event already on the path, epsilon after those it interferes with.
  //
  // Only the constraints that the network does not already imply are recorded. Every event,
  // when it was applied, was ordered at or after the newest event of its parent's path (the
  // first constraint of this walk is always recorded), so the events of a path are ordered in
  // path order by a chain of recorded constraints, each of bound 0 or −eps. Walking newest
  // first: the newest event's constraint is recorded; after it, an earlier event that does not
  // interfere needs time(current) ≥ time(earlier), which follows from earlier ≤ … ≤ newest ≤
  // current; the first interfering one is recorded (current ≥ it + eps), and every event older
  // than that one then needs at most eps and has it through the chain up to it, so the walk
  // stops there. A constraint that the others imply leaves the set of solutions as it is: the
  // same negative cycles, so the same consistency, and the same shortest-path distances, so the
  // same potentials (the greatest solution not above 0) as if it had been recorded. The
  // potentials may differ in the last bits where a distance is reached along a different walk
  // of the same bounds; such a difference lies far inside the network's tolerance, which exists
  // to absorb exactly that. What remains per step is a walk to the newest interfering event and
  // at most two constraints, instead of one constraint per event of the path.
  bool ordered = false;  // the newest event's constraint is recorded
  for (const PathEntry& earlier : PersistentList<PathEntry>::iter_rev(parent.path)) {
    if (!network.consistent()) return false;
    const bool interferes = mutex_checker_.check({applied, EventRef{earlier.action, earlier.pos}}, event_fluents_);
    if (ordered && !interferes) continue;
    const std::uint64_t prev = TNInterpreter::node_id(tn_interpreter_.get_event_id(earlier.action, earlier.pos),
                                                      earlier.instance);
    network.add(prev, current, interferes ? -epsilon_f64_ : 0.0);
    ordered = true;
    if (interferes) break;
  }
  // Before every event still to come of the running instances (this one's included).
  for (const auto& [running, next] : child.todo) {
    const std::vector<TimedEvent>* list = events_of(running);
    QUENDRAL_CHECK(list != nullptr, "running action " + std::to_string(running.idx) + " has no events");
    for (std::uint64_t j = next.pos; j < list->size(); ++j) {
      if (!network.consistent()) return false;
      const Event& pending = (*list)[j].second;
      const std::uint64_t future = TNInterpreter::node_id(tn_interpreter_.get_event_id(pending.action, pending.pos),
                                                          next.instance + static_cast<std::uint32_t>(j - next.pos));
      const bool interferes = mutex_checker_.check({applied, EventRef{running, j}}, event_fluents_);
      network.add(current, future, interferes ? -epsilon_f64_ : 0.0);
    }
  }
  return network.consistent();
}

std::vector<State> SearchSpace::py_get_successor_states(const State& state) const {
  std::vector<State> successors;
  for (const Action action : relevant_actions_) {
    if (std::optional<State> successor = get_successor_state(state, action)) successors.push_back(std::move(*successor));
  }
  return successors;
}

void SearchSpace::build_applicability_index() {
  keys_.clear();
  key_fluents_.clear();
  unkeyed_positions_.clear();
  keyed_needed_values_ = 0;
  // (fluent, value, position) of every keyed action, then grouped.
  struct Keyed {
    std::uint64_t fluent;
    ExpressionNode value;
    std::uint32_t position;
  };
  std::vector<Keyed> keyed;
  // Positions are 32-bit; a longer list is simply not indexed.
  if (relevant_actions_.size() >= (std::uint64_t{1} << 32)) return;
  for (std::size_t p = 0; p < relevant_actions_.size(); ++p) {
    const std::uint64_t idx = relevant_actions_[p].idx;
    const CompiledCondition* condition = idx < first_conditions_.size() ? first_conditions_[idx] : nullptr;
    auto key = condition ? condition->key() : std::nullopt;
    if (!key) {
      unkeyed_positions_.push_back(static_cast<std::uint32_t>(p));
      continue;
    }
    keyed_needed_values_ = std::max(keyed_needed_values_, condition->needed_values());
    keyed.push_back(Keyed{key->first, std::move(key->second), static_cast<std::uint32_t>(p)});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.fluent < b.fluent; });
  for (Keyed& k : keyed) {
    if (key_fluents_.empty() || key_fluents_.back().fluent != k.fluent) {
      key_fluents_.push_back(KeyFluent{k.fluent, keys_.size(), keys_.size()});
    }
    KeyFluent& group = key_fluents_.back();
    auto same = std::find_if(keys_.begin() + static_cast<std::ptrdiff_t>(group.begin), keys_.end(),
                             [&](const Key& held) { return held.value == k.value; });
    if (same == keys_.end()) {
      const std::uint32_t code = value_code(k.value);
      keys_.push_back(Key{std::move(k.value), code, {}});
      same = keys_.end() - 1;
      group.end = keys_.size();
    }
    same->positions.push_back(k.position);
  }
}

void SearchSpace::candidates(const State& state, std::vector<std::uint64_t>& bits) const {
  bits.clear();
  if (!state.todo.empty() || state.values.size() < keyed_needed_values_ || key_fluents_.empty()) return;
  bits.assign((relevant_actions_.size() + 63) / 64, 0);
  for (const std::uint32_t p : unkeyed_positions_) bits[p / 64] |= std::uint64_t{1} << (p % 64);
  for (const KeyFluent& group : key_fluents_) {
    const std::uint32_t code = state.values.code(group.fluent);
    // The keys of one fluent are distinct values: at most one matches. Booleans and objects
    // match by code, numbers as nodes.
    for (std::size_t k = group.begin; k < group.end; ++k) {
      if (keys_[k].code != code || (code == kNoValueCode && !(keys_[k].value == state.values[group.fluent]))) continue;
      for (const std::uint32_t p : keys_[k].positions) bits[p / 64] |= std::uint64_t{1} << (p % 64);
      break;
    }
  }
}

std::optional<State> SearchSpace::SuccessorIter::next() {
  const std::vector<Action>& actions = space_->relevant_actions_;
  if (!prepared_) {
    prepared_ = true;
    space_->candidates(*state_, candidates_);
  }
  while (next_ < actions.size()) {
    if (!candidates_.empty()) {
      // On to the next candidate, a word of 64 actions at a time (the bits past the last action
      // are clear).
      std::size_t word = next_ / 64;
      std::uint64_t bits = candidates_[word] & (~std::uint64_t{0} << (next_ % 64));
      while (bits == 0) {
        if (++word == candidates_.size()) {
          next_ = actions.size();
          return std::nullopt;
        }
        bits = candidates_[word];
      }
      next_ = word * 64 + static_cast<std::size_t>(std::countr_zero(bits));
    }
    // Moved past the action before generating, so that after an error the stream goes on with
    // the next action.
    const Action action = actions[next_++];
    if (std::optional<State> successor = space_->get_successor_state(*state_, action)) return successor;
  }
  return std::nullopt;
}

}  // namespace quendral
