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

// An event applied so far in the replay: the `Event` record's action and position, and its
// instance number.
struct Happened {
  Action action;
  std::uint64_t pos;
  std::uint32_t instance;
};

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

class PlanBuilder {
 public:
  explicit PlanBuilder(const SearchSpace& space) : space_(space), epsilon_(space.epsilon()), network_(Rational(0)) {}

  TimedPlan run(std::span<const Action> path) {
    std::optional<State> state(space_.initial_state());
    for (const Action action : path) {
      std::optional<State> successor = space_.get_successor_state_with_compression(*state, action, false);
      QUENDRAL_CHECK(successor, "the plan cannot be replayed: action " + std::to_string(action.idx) +
                                    " is not applicable where it stands in the path");
      state.emplace(std::move(*successor));
      const std::vector<TimedEvent>* events = space_.events().find(action);
      QUENDRAL_CHECK(events && !events->empty(), "action " + std::to_string(action.idx) + " has no events");
      if (TodoEntry* entry = running_.find(action)) {
        continue_instance(action, *events, *entry);
      } else {
        start_instance(action, *events, *state);
      }
    }
    return read_out();
  }

 private:
  std::uint64_t node(std::uint32_t network_id, std::uint32_t instance) const noexcept {
    return TNInterpreter::node_id(network_id, instance);
  }
  std::uint64_t event_node(const Event& event, std::uint32_t instance) const {
    return node(space_.tn_interpreter().get_event_id(event.action, event.pos), instance);
  }

  // The event at position `k` of its action's list, applied as node `current`: after every
  // earlier event it interferes with (epsilon) or must follow (0), and, epsilon ahead, before
  // every pending event of the running instances it interferes with.
  void order(const Event& event, std::uint64_t k, std::uint64_t current) {
    const EventRef self{event.action, k};
    const Rational minus_epsilon = -epsilon_;
    for (const Happened& earlier : happened_) {
      const EventRef other{earlier.action, earlier.pos};
      const std::uint64_t previous = node(space_.tn_interpreter().get_event_id(earlier.action, earlier.pos),
                                          earlier.instance);
      if (space_.mutex_checker().check({self, other}, space_.event_fluents())) {
        network_.add(previous, current, minus_epsilon);
      } else if (space_.precedence_checker().check({other, self}, space_.event_fluents())) {
        network_.add(previous, current, Rational(0));
      }
    }
    for (const auto& [running, entry] : running_) {
      const std::vector<TimedEvent>& pending = *space_.events().find(running);
      for (std::uint64_t j = entry.pos; j < pending.size(); ++j) {
        if (!space_.mutex_checker().check({self, EventRef{running, j}}, space_.event_fluents())) continue;
        const std::uint32_t instance = instance_number(entry.instance + (j - entry.pos));
        network_.add(current, event_node(pending[j].second, instance), minus_epsilon);
      }
    }
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
    happened_.push_back({event.action, event.pos, m});
  }

  void start_instance(Action action, const std::vector<TimedEvent>& events, const State& after) {
    const std::uint32_t c = instance_number(counter_);
    const TNInterpreter& ids = space_.tn_interpreter();
    const std::uint64_t s = node(ids.get_action_id(action, true), c);
    const std::uint64_t e = node(ids.get_action_id(action, false), c);

    // The duration bounds, read in the state after the step.
    QUENDRAL_CHECK(action.idx < space_.actions_duration().size(),
                   "action " + std::to_string(action.idx) + " is beyond the duration table");
    Rational lo(0);
    Rational hi(0);
    if (const std::optional<DurationBounds>& bounds = space_.actions_duration()[action.idx]) {
      lo = get_rational_from_expression_node(internal_evaluate(bounds->lower, after));
      hi = get_rational_from_expression_node(internal_evaluate(bounds->upper, after));
      if (bounds->lower_open) lo = lo + epsilon_;
      if (bounds->upper_open) hi = hi - epsilon_;
    }
    network_.add(s, e, -lo);
    network_.add(e, s, hi);

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
    order(first, 0, event_node(first, first_instance));
    happened_.push_back({first.action, first.pos, first_instance});
    if (events.size() > 1) running_.insert_or_assign(action, TodoEntry{1, instance_number(counter_ + 2)});
    counter_ += 1 + events.size();
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

  const SearchSpace& space_;
  const Rational epsilon_;
  DeltaSTN<Rational> network_;
  std::uint64_t counter_ = 0;
  // Instances started and not finished: the position of the next event and its instance number,
  // iterated in the order the instances started.
  ActionMap<TodoEntry> running_;
  std::vector<Happened> happened_;  // oldest first
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
  return PlanBuilder(*this).run(path);
}

}  // namespace quendral
