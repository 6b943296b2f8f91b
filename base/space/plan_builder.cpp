// Timed plans: a solution path replayed and timed exactly.
//
// A search returns its plan as one action per applied event. For a temporal task the path is
// replayed from the stored initial values, event by event (compression off, so the conditions of
// every event are tested again), and beside the replay an exact-rational temporal network of its
// own, tolerance 0, ties every instance's start, end and events together and orders events that
// interfere (epsilon apart) or must precede one another. With tolerance 0 the network's
// potentials are the greatest solution not above 0, so the times read back are the earliest ones
// at or after 0 that the durations, pinned delays and orderings allow.
//
// It differs from the search states' networks on purpose: instance numbers are this run's own
// (from 0, the task's counter is not read for them), duration bounds are evaluated in the state
// after the step, there is no origin, horizon or deadline, and an event is ordered only against
// events it interferes with or must follow, so independent instances may overlap freely.
//
// A constraint that makes the network inconsistent raises nothing: the network refuses every
// later constraint and node, the replay goes on, and the read-out reports the instances whose
// nodes entered before that moment, at the potentials as they stand.
#include <algorithm>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "base/space/search_space.hpp"
#include "base/temporal/stn.hpp"

namespace quendral {
namespace {

struct InstanceKey {
  Action action;
  std::uint32_t instance;
  friend bool operator==(const InstanceKey&, const InstanceKey&) noexcept = default;
};
struct InstanceKeyHash {
  std::size_t operator()(const InstanceKey& key) const noexcept {
    FxHasher h;
    h.write_u64(key.action.idx);
    h.write_u64(key.instance);
    return h.finish();
  }
};

// Instance numbers are 32-bit, like the network's lower half; a plan that would need more is far
// beyond any replayable path, and a wrapped number would silently merge time points.
std::uint32_t instance_number(std::uint64_t value) {
  QUENDRAL_CHECK(value <= 0xffffffffu, "plan building ran out of 32-bit instance numbers");
  return static_cast<std::uint32_t>(value);
}

// Absent durations sort before present ones, present ones by value.
bool duration_less(const std::optional<Rational>& a, const std::optional<Rational>& b) {
  if (!a || !b) return !a && b;
  return *a < *b;
}

// One element of the path as the replay met it: the action, and for the start of an instance
// its duration bounds, read in the state after the step.
struct Step {
  Action action;
  bool starts = false;
  Rational lo = Rational(0);
  Rational hi = Rational(0);
};

// The path replayed, step by step, with every step's own failures in the order they arise.
std::vector<Step> replay(const SearchSpace& space, std::span<const Action> path) {
  std::vector<Step> steps;
  steps.reserve(path.size());
  ActionMap<std::uint64_t> running;  // next position of each running instance
  std::optional<State> state(space.initial_state());
  for (const Action action : path) {
    std::optional<State> successor = space.get_successor_state_with_compression(*state, action, false);
    QUENDRAL_CHECK(successor, "the plan cannot be replayed: action " + std::to_string(action.idx) +
                                  " is not applicable where it stands in the path");
    state.emplace(std::move(*successor));
    const std::vector<TimedEvent>* events = space.events().find(action);
    QUENDRAL_CHECK(events && !events->empty(), "action " + std::to_string(action.idx) + " has no events");
    Step step;
    step.action = action;
    if (const std::uint64_t* next = running.find(action)) {
      if (*next + 1 < events->size()) {
        running.insert_or_assign(action, *next + 1);
      } else {
        running.erase(action);
      }
    } else {
      step.starts = true;
      // The duration bounds, read in the state after the step.
      QUENDRAL_CHECK(action.idx < space.actions_duration().size(),
                     "action " + std::to_string(action.idx) + " is beyond the duration table");
      if (const std::optional<DurationBounds>& bounds = space.actions_duration()[action.idx]) {
        step.lo = get_rational_from_expression_node(internal_evaluate(bounds->lower, *state));
        step.hi = get_rational_from_expression_node(internal_evaluate(bounds->upper, *state));
        if (bounds->lower_open) step.lo = step.lo + space.epsilon();
        if (bounds->upper_open) step.hi = step.hi - space.epsilon();
      }
      if (events->size() > 1) running.insert_or_assign(action, 1);
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

// The plan's network, built from the replayed steps.
//
// In full mode every event is tested against every earlier one and every constraint is
// recorded, in the order the steps give. The reduced mode records the same constraints except
// those the recorded ones already imply (below), and so reaches the same set of solutions: the
// same consistency, and with tolerance 0 the same potentials, the greatest solution not above 0,
// whatever the order. It is used first; should the network turn inconsistent, the potentials it
// stands at depend on the order of the relaxations, so the network is then built again in full
// mode, which gives them as the step-by-step construction does.
//
// Which earlier events the reduced mode tests, per fluent f: its last writer W; the events that
// read f without writing it since W; and the events that close a durative condition on f since
// W. Per action, its last event. An earlier event P left out has its constraint implied:
//  - P writes f and the new event touches f, P before W: P, the later writers of f and W are
//    each epsilon after the one before (two writers interfere), and the new event epsilon after
//    W;
//  - P reads f, the new event writes it, P before W: the first writer of f after P is epsilon
//    after P (it was tested against P, a reader since the writer before), and so on up to W;
//  - P is an event of the same action: the events of one action form such a chain;
//  - P writes f read by a durative condition the new event opens, P before W: the writers'
//    chain up to W, and W is tested (it precedes the new event, or interferes with it);
//  - P closes a durative condition on f and the new event writes f, with a writer Q of f
//    between them: Q was tested against P (Q changes what P's condition read, so Q follows P),
//    then the writers' chain up to W, epsilon before the new event.
// Every chain is one of recorded or implied constraints of bound 0 or −epsilon, with an epsilon
// in it where the left-out constraint needs one. This relies on each event's fluent sets being
// the same whether it is the new event or an earlier one, which holds when every event record
// of the path stands at its own position; for any other path the full mode is used.
class PlanNetwork {
 public:
  PlanNetwork(const SearchSpace& space, bool reduced)
      : space_(space), minus_epsilon_(-space.epsilon()), reduced_(reduced),
        network_(Rational(0)) {}

  // False when the reduced mode cannot be trusted with these steps, or turned the network
  // inconsistent; the network is then to be built in full mode.
  bool build(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      const std::vector<TimedEvent>& events = *space_.events().find(step.action);
      if (TodoEntry* entry = running_.find(step.action)) {
        continue_instance(step.action, events, *entry);
      } else {
        start_instance(step, events);
      }
      if (reduced_ && (!trusted_ || !network_.consistent())) return false;
    }
    return true;
  }

  TimedPlan read_out() const {
    std::vector<std::pair<InstanceKey, Rational>> starts;
    boost::unordered_flat_map<InstanceKey, Rational, InstanceKeyHash> ends;
    for (const auto& [point, time] : space_.tn_interpreter().get_actions_timings(network_)) {
      const InstanceKey key{point.action, point.instance};
      if (point.is_start) {
        starts.emplace_back(key, time);
      } else {
        ends.insert_or_assign(key, time);
      }
    }
    TimedPlan plan;
    plan.reserve(starts.size());
    for (const auto& [key, start] : starts) {
      const auto end = ends.find(key);
      // A start and its end enter the network in one step, so one is never there without the other.
      QUENDRAL_CHECK(end != ends.end(), "an action instance has a start but no end in the plan's network");
      Rational duration = end->second - start;
      std::optional<Rational> present;
      if (!duration.is_zero()) present = std::move(duration);
      plan.push_back({start, key.action, std::move(present)});
    }
    std::stable_sort(plan.begin(), plan.end(), [](const TimedStep& a, const TimedStep& b) {
      if (const int c = compare(*a.start, *b.start); c != 0) return c < 0;
      if (a.action.idx != b.action.idx) return a.action.idx < b.action.idx;
      return duration_less(a.duration, b.duration);
    });
    return plan;
  }

 private:
  // An event applied so far: the `Event` record's action and position, its instance number
  // and its node.
  struct Happened {
    Action action;
    std::uint64_t pos;
    std::uint32_t instance;
    std::uint64_t node;
  };

  // What the reduced mode keeps of the earlier events touching one fluent, as positions in
  // `happened_`.
  struct FluentTrack {
    std::optional<std::uint32_t> writer;
    std::vector<std::uint32_t> readers;  // read f without writing it, since the writer
    std::vector<std::uint32_t> closers;  // close a durative condition on f, since the writer
  };

  std::uint64_t node(std::uint32_t network_id, std::uint32_t instance) const noexcept {
    return TNInterpreter::node_id(network_id, instance);
  }
  std::uint64_t event_node(const Event& event, std::uint32_t instance) const {
    return node(space_.tn_interpreter().get_event_id(event.action, event.pos), instance);
  }

  // The constraint from an earlier event to the new one, as the tests decide it.
  void order_after(const EventRef& self, const Happened& earlier, std::uint64_t current) {
    const EventRef other{earlier.action, earlier.pos};
    if (space_.mutex_checker().check({self, other}, space_.event_fluents())) {
      network_.add(earlier.node, current, minus_epsilon_);
    } else if (space_.precedence_checker().check({other, self}, space_.event_fluents())) {
      network_.add(earlier.node, current, Rational(0));
    }
  }

  // The event at position `k` of its action's list, applied as node `current`: after every
  // earlier event it interferes with (epsilon) or must follow (0), and, epsilon ahead, before
  // every pending event of the running instances it interferes with.
  void order(const Event& event, std::uint64_t k, std::uint64_t current) {
    const EventRef self{event.action, k};
    if (!reduced_) {
      for (const Happened& earlier : happened_) order_after(self, earlier, current);
    } else {
      const EventFluentsTable& table = space_.event_fluents();
      if (event.pos != k || event.action.idx >= table.size() || k >= table[event.action.idx].size()) {
        trusted_ = false;  // the full mode takes over from the start
        return;
      }
      const EventFluents& sets = table[event.action.idx][k];
      candidates_.clear();
      if (const std::uint32_t* last = last_of_action_.find(event.action)) candidates_.push_back(*last);
      const auto writer_of = [&](std::uint64_t fluent) {
        const auto it = fluents_.find(fluent);
        if (it != fluents_.end() && it->second.writer) candidates_.push_back(*it->second.writer);
      };
      for (const std::uint64_t f : sets.touches) writer_of(f);
      for (const std::uint64_t f : sets.start_condition_fluents) writer_of(f);
      for (const std::uint64_t f : sets.writes) {
        const auto it = fluents_.find(f);
        if (it == fluents_.end()) continue;
        candidates_.insert(candidates_.end(), it->second.readers.begin(), it->second.readers.end());
        candidates_.insert(candidates_.end(), it->second.closers.begin(), it->second.closers.end());
      }
      // Oldest first, each once, as the full walk meets them.
      std::sort(candidates_.begin(), candidates_.end());
      candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
      for (const std::uint32_t at : candidates_) order_after(self, happened_[at], current);
    }
    const Rational& minus_epsilon = minus_epsilon_;
    for (const auto& [running, entry] : running_) {
      const std::vector<TimedEvent>& pending = *space_.events().find(running);
      for (std::uint64_t j = entry.pos; j < pending.size(); ++j) {
        if (!space_.mutex_checker().check({self, EventRef{running, j}}, space_.event_fluents())) continue;
        const std::uint32_t instance = instance_number(entry.instance + (j - entry.pos));
        network_.add(current, event_node(pending[j].second, instance), minus_epsilon);
      }
    }
  }

  // Records the event just ordered as the newest earlier event.
  void happen(const Event& event, std::uint32_t instance, std::uint64_t current) {
    QUENDRAL_CHECK(happened_.size() < UINT32_MAX, "plan building ran out of event positions");
    const auto at = static_cast<std::uint32_t>(happened_.size());
    happened_.push_back({event.action, event.pos, instance, current});
    if (!reduced_ || !trusted_) return;
    const EventFluents& sets = space_.event_fluents()[event.action.idx][event.pos];
    last_of_action_.insert_or_assign(event.action, at);
    for (const std::uint64_t f : sets.writes) {
      FluentTrack& track = fluents_[f];
      track.writer = at;
      track.readers.clear();
      track.closers.clear();
    }
    for (const std::uint64_t f : sets.reads) {
      if (!sets.writes.contains(f)) fluents_[f].readers.push_back(at);
    }
    for (const std::uint64_t f : sets.end_condition_fluents) fluents_[f].closers.push_back(at);
  }

  void continue_instance(Action action, const std::vector<TimedEvent>& events, TodoEntry& entry) {
    const std::uint64_t k = entry.pos;
    const std::uint32_t m = entry.instance;
    // The instance's own later events count as pending for this one, so the table moves first.
    if (k + 1 < events.size()) {
      entry = TodoEntry{k + 1, instance_number(std::uint64_t{m} + 1)};
    } else {
      running_.erase(action);
    }
    const Event& event = events[k].second;
    const std::uint64_t current = event_node(event, m);
    order(event, k, current);
    happen(event, m, current);
  }

  void start_instance(const Step& step, const std::vector<TimedEvent>& events) {
    const Action action = step.action;
    const std::uint32_t c = instance_number(counter_);
    const TNInterpreter& ids = space_.tn_interpreter();
    const std::uint64_t s = node(ids.get_action_id(action, true), c);
    const std::uint64_t e = node(ids.get_action_id(action, false), c);
    network_.add(s, e, -step.lo);
    network_.add(e, s, step.hi);

    // Each event lies exactly its delay after its anchor.
    for (std::size_t j = 0; j < events.size(); ++j) {
      const auto& [timing, event] = events[j];
      const std::uint64_t nj = event_node(event, instance_number(counter_ + 1 + j));
      const std::uint64_t anchor = timing.start ? s : e;
      network_.add(anchor, nj, -timing.delay);
      network_.add(nj, anchor, timing.delay);
    }

    // The first event is ordered while the new instance is not yet running, so its own later
    // events are not among the pending ones.
    const Event& first = events[0].second;
    const std::uint32_t first_instance = instance_number(counter_ + 1);
    const std::uint64_t current = event_node(first, first_instance);
    order(first, 0, current);
    happen(first, first_instance, current);
    if (events.size() > 1) running_.insert_or_assign(action, TodoEntry{1, instance_number(counter_ + 2)});
    counter_ += 1 + events.size();
  }

  const SearchSpace& space_;
  const Rational minus_epsilon_;
  const bool reduced_;
  bool trusted_ = true;
  DeltaSTN<Rational> network_;
  std::uint64_t counter_ = 0;
  // Instances started and not finished: the position of the next event and its instance number,
  // iterated in the order the instances started.
  ActionMap<TodoEntry> running_;
  std::vector<Happened> happened_;  // oldest first
  // The reduced mode's view of `happened_`.
  boost::unordered_flat_map<std::uint64_t, FluentTrack, FxWordHash> fluents_;
  ActionMap<std::uint32_t> last_of_action_;
  std::vector<std::uint32_t> candidates_;
};

}  // namespace

TimedPlan SearchSpace::build_plan(std::span<const Action> path) const {
  if (!is_temporal_) {
    // Nothing is replayed or validated: the list comes back untimed, duplicates kept.
    TimedPlan plan;
    plan.reserve(path.size());
    for (const Action action : path) plan.push_back({std::nullopt, action, std::nullopt});
    return plan;
  }
  const std::vector<Step> steps = replay(*this, path);
  PlanNetwork reduced(*this, true);
  if (reduced.build(steps)) return reduced.read_out();
  PlanNetwork full(*this, false);
  full.build(steps);
  return full.read_out();
}

}  // namespace quendral
