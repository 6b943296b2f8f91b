// Timed plans: the hand-worked cases, the untimed plans of tasks without durative actions, the
// failures, and random temporal plans whose times are checked, exactly, against every constraint
// the plan's network must hold.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/space/search_space.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {
namespace {

using N = ExpressionNode;

NodeList truth() { return {N::boolean(true)}; }
NodeList integer(std::int64_t v) { return {N::integer(v)}; }
Rational q(std::int64_t n, std::int64_t d = 1) { return Rational(BigInt(n), BigInt(d)); }

// An event of `action` at `pos` writing constant 1 into each fluent of `writes`.
Event event(std::uint64_t action, std::uint64_t pos, std::vector<std::uint64_t> writes, NodeList condition = truth()) {
  Event e;
  e.action = Action{action};
  e.pos = pos;
  e.conditions = std::move(condition);
  for (std::uint64_t f : writes) e.effects.push_back(Effect{f, integer(1)});
  return e;
}

Timing at_start(Rational delay = 0) { return Timing{true, std::move(delay)}; }
Timing at_end(Rational delay = 0) { return Timing{false, std::move(delay)}; }

struct TaskSpec {
  std::vector<std::optional<DurationBounds>> durations;
  std::vector<std::vector<TimedEvent>> events;  // by action idx
  std::size_t fluents = 4;
  std::optional<std::vector<bool>> compression;
};

SearchSpace make_space(TaskSpec spec) {
  EventsTable table;
  std::vector<Action> actions;
  for (std::size_t i = 0; i < spec.events.size(); ++i) {
    actions.push_back(Action{i});
    if (!spec.events[i].empty()) table.insert_or_assign(Action{i}, spec.events[i]);
  }
  NodeList init;
  for (std::size_t f = 0; f < spec.fluents; ++f) init.push_back(N::integer(0));
  return SearchSpace(std::move(spec.durations), std::move(table), actions, std::move(spec.compression), std::nullopt,
                     std::nullopt, init, truth());
}

DurationBounds fixed(std::int64_t lo, std::int64_t hi, bool lower_open = false, bool upper_open = false) {
  return DurationBounds{integer(lo), integer(hi), lower_open, upper_open};
}

std::string text(const std::optional<Rational>& v) {
  if (!v) return "None";
  return v->numer().to_string() + "/" + v->denom().to_string();
}

std::vector<std::string> rows(const TimedPlan& plan) {
  std::vector<std::string> out;
  for (const TimedStep& step : plan) {
    std::string row = "(";
    row.append(text(step.start)).append(", ").append(std::to_string(step.action.idx)).append(", ");
    row.append(text(step.duration)).append(")");
    out.push_back(std::move(row));
  }
  return out;
}

std::vector<Action> path(std::initializer_list<std::uint64_t> idxs) {
  std::vector<Action> p;
  for (std::uint64_t i : idxs) p.push_back(Action{i});
  return p;
}

// A: idx 0, duration [2, 2], events at its start and end (both writing fluent 0 and 1).
// B: idx 1, no duration, one event at its start writing `b_writes`.
SearchSpace a_and_b(std::vector<std::uint64_t> b_writes) {
  TaskSpec spec;
  spec.durations = {fixed(2, 2), std::nullopt};
  spec.events = {{{at_start(), event(0, 0, {0, 1})}, {at_end(), event(0, 1, {0, 1})}},
                 {{at_start(), event(1, 0, b_writes)}}};
  return make_space(std::move(spec));
}

TEST(BuildPlan, HandWorkedTemporalPlans) {
  const SearchSpace apart = a_and_b({2});
  const SearchSpace shared = a_and_b({0});
  struct Case {
    const SearchSpace* space;
    std::vector<Action> path;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {&apart, path({0, 0}), {"(0/1, 0, 2/1)"}},
      {&apart, path({0, 0, 0, 0}), {"(0/1, 0, 2/1)", "(201/100, 0, 2/1)"}},  // one instance after the other
      {&shared, path({0, 0, 1}), {"(0/1, 0, 2/1)", "(201/100, 1, None)"}},   // B epsilon after both events of A
      {&apart, path({0, 0, 1}), {"(0/1, 0, 2/1)", "(0/1, 1, None)"}},        // nothing links them
      {&apart, path({1}), {"(0/1, 1, None)"}},                                 // a zero duration is absent
      {&apart, path({0}), {"(0/1, 0, 2/1)"}},                                  // still running at the end
      {&apart, path({}), {}},
      {&shared, path({0, 1, 0}), {"(0/1, 0, 2/1)", "(1/100, 1, None)"}},       // B between A's two events
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(rows(cases[i].space->build_plan(cases[i].path)), cases[i].expected) << "case " << i;
  }
}

TEST(BuildPlan, OpenLowerBoundIsEpsilonLongerAndTheResultDoesNotDependOnTheCounter) {
  TaskSpec spec;
  spec.durations = {fixed(1, 3, true, false)};
  spec.events = {{{at_start(), event(0, 0, {0})}}};
  const SearchSpace space = make_space(std::move(spec));
  const std::vector<std::string> first = rows(space.build_plan(path({0})));
  EXPECT_EQ(first, (std::vector<std::string>{"(0/1, 0, 101/100)"}));
  const std::uint64_t counter = space.instance_counter();
  EXPECT_GT(counter, 0u);  // the replay's start moved the task's counter
  EXPECT_EQ(rows(space.build_plan(path({0}))), first);
  EXPECT_GT(space.instance_counter(), counter);
}

TEST(BuildPlan, DurationBoundsAreReadAfterTheFirstEventAndAnInconsistentNetworkStillAnswers) {
  // C: bounds [f, f] with f = 3 before the start; event 0 sets f to 1; events at start + 0,
  // start + 2 and end + 0. The search accepts C (duration 3); the exact network (duration 1)
  // becomes inconsistent, and the plan still reports C's instance.
  TaskSpec spec;
  spec.fluents = 2;
  spec.durations = {DurationBounds{{N::fluent(0)}, {N::fluent(0)}, false, false}};
  Event e0 = event(0, 0, {});
  e0.effects.push_back(Effect{0, integer(1)});
  spec.events = {{{at_start(), e0}, {at_start(q(2)), event(0, 1, {1})}, {at_end(), event(0, 2, {1})}}};
  EventsTable table;
  table.insert_or_assign(Action{0}, spec.events[0]);
  const std::vector<Action> actions = {Action{0}};
  const SearchSpace space(spec.durations, std::move(table), actions, std::nullopt, std::nullopt, std::nullopt,
                          NodeList{N::integer(3), N::integer(0)}, truth());
  const TimedPlan plan = space.build_plan(path({0, 0, 0}));
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].action.idx, 0u);
  EXPECT_TRUE(plan[0].start);
}

TEST(BuildPlan, UntimedForTasksWithoutDurativeActions) {
  TaskSpec spec;
  spec.durations = {std::nullopt, std::nullopt};
  spec.events = {{{at_start(), event(0, 0, {0}, {N::boolean(false)})}}, {}};
  const SearchSpace space = make_space(std::move(spec));
  // Nothing is replayed or validated: an inapplicable action, an action without events.
  EXPECT_EQ(rows(space.build_plan(path({0, 0, 1}))),
            (std::vector<std::string>{"(None, 0, None)", "(None, 0, None)", "(None, 1, None)"}));
}

TEST(BuildPlan, FailuresOfTheReplay) {
  const SearchSpace space = a_and_b({2});
  // Not applicable where it stands: B cannot be "continued", but an action with no events can
  // never be applied.
  TaskSpec spec;
  spec.durations = {fixed(2, 2), std::nullopt};
  spec.events = {{{at_start(), event(0, 0, {0})}}, {}};
  const SearchSpace missing = make_space(std::move(spec));
  EXPECT_NE(internal_failure_of([&] { missing.build_plan(path({1})); }).find("not applicable"), std::string::npos);
  // A false condition met in the replay.
  TaskSpec blocked;
  blocked.durations = {fixed(1, 1)};
  blocked.events = {{{at_start(), event(0, 0, {0})}, {at_end(), event(0, 1, {0}, {N::boolean(false)})}}};
  const SearchSpace never = make_space(std::move(blocked));
  EXPECT_NE(internal_failure_of([&] { never.build_plan(path({0, 0})); }), "");
  // A bound that is not a number: the evaluation's error, unchanged.
  TaskSpec wrong;
  wrong.durations = {DurationBounds{truth(), integer(1), false, false}};
  wrong.events = {{{at_start(), event(0, 0, {0})}}};
  const SearchSpace bad = make_space(std::move(wrong));
  try {
    bad.build_plan(path({0}));
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.message(), "Expected a number!");
    EXPECT_EQ(error.kind(), ErrorKind::ValueError);
  }
  // No stored initial state: an error even for an empty path.
  EventsTable table;
  table.insert_or_assign(Action{0}, std::vector<TimedEvent>{{at_start(), event(0, 0, {0})}});
  const std::vector<Action> actions = {Action{0}};
  const SearchSpace no_init({fixed(1, 1)}, std::move(table), actions, std::nullopt, std::nullopt, std::nullopt);
  try {
    no_init.build_plan({});
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    EXPECT_EQ(error.message(), "The initial state must be defined somewhere!");
  }
  (void)space;
}

// ---------------------------------------------------------------- random temporal plans

// A random durative task: each action has constant bounds [lo, hi] (lo ≥ 1), events at its start
// with increasing delays below lo/2 and then at its end with increasing delays in (−lo/2, 0],
// writing and reading random fluents; some actions are instantaneous.
TaskSpec random_task(std::mt19937_64& rng, std::size_t fluents) {
  TaskSpec spec;
  spec.fluents = fluents;
  const std::size_t actions = 2 + rng() % 4;
  for (std::size_t a = 0; a < actions; ++a) {
    const bool durative = rng() % 4 != 0;
    std::vector<TimedEvent> list;
    if (!durative) {
      spec.durations.push_back(std::nullopt);
      list.push_back({at_start(), event(a, 0, {rng() % fluents})});
    } else {
      const std::int64_t lo = 1 + static_cast<std::int64_t>(rng() % 4);
      const std::int64_t hi = lo + static_cast<std::int64_t>(rng() % 3);
      spec.durations.push_back(fixed(lo, hi, rng() % 3 == 0, rng() % 3 == 0 && hi > lo));
      const std::size_t starts = 1 + rng() % 2;
      const std::size_t ends = rng() % 3;
      for (std::size_t j = 0; j < starts; ++j) {
        list.push_back({at_start(q(static_cast<std::int64_t>(j) * lo, 5)), Event{}});
      }
      for (std::size_t j = 0; j < ends; ++j) {
        list.push_back({at_end(q(-static_cast<std::int64_t>(ends - 1 - j) * lo, 5)), Event{}});
      }
      for (std::size_t j = 0; j < list.size(); ++j) {
        std::vector<std::uint64_t> writes;
        if (rng() % 3 != 0) writes.push_back(rng() % fluents);
        list[j].second = event(a, j, writes);
        if (rng() % 3 == 0) {
          // A read of a fluent in the condition: fluent ≥ 0, always true.
          list[j].second.conditions = {N::fluent(rng() % fluents), N::integer(0), N::binary_operator(NodeKind::LE, 1, 0)};
        }
      }
    }
    spec.events.push_back(std::move(list));
  }
  return spec;
}

// Checks the plan's times against the constraints the exact network must hold, computed here
// from the path: durations within their bounds, events at their anchors plus delays, interfering
// events epsilon apart in path order, precedence, and pending events after an interfering one.
void check_plan(const SearchSpace& space, const TaskSpec& spec, const std::vector<Action>& plan_path,
                const TimedPlan& plan, const std::string& where) {
  const Rational eps = space.epsilon();
  // Instances in start order per action, matched with the plan's triples in start order.
  std::map<std::uint64_t, std::vector<const TimedStep*>> by_action;
  for (const TimedStep& step : plan) by_action[step.action.idx].push_back(&step);
  struct Applied {
    std::uint64_t action;
    std::size_t ordinal;
    std::uint64_t k;
  };
  std::map<std::uint64_t, std::size_t> started;
  std::map<std::uint64_t, std::pair<std::size_t, std::uint64_t>> running;  // action → (ordinal, next k)
  std::vector<Applied> applied;
  auto time_of = [&](std::uint64_t action, std::size_t ordinal, std::uint64_t k) -> Rational {
    const TimedStep* step = by_action.at(action).at(ordinal);
    const Timing& timing = spec.events[action][k].first;
    Rational anchor = *step->start;
    if (!timing.start && step->duration) anchor = anchor + *step->duration;
    return anchor + timing.delay;
  };
  auto check_pending = [&](const Applied& e) {
    for (const auto& [r, entry] : running) {
      for (std::uint64_t j = entry.second; j < spec.events[r].size(); ++j) {
        if (!space.mutex_checker().check({{Action{e.action}, e.k}, {Action{r}, j}}, space.event_fluents())) continue;
        EXPECT_LE(compare(time_of(e.action, e.ordinal, e.k) + eps, time_of(r, entry.first, j)), 0)
            << where << ": pending event after an interfering one";
      }
    }
  };
  for (Action a : plan_path) {
    Applied e{a.idx, 0, 0};
    auto it = running.find(a.idx);
    const std::size_t n = spec.events[a.idx].size();
    bool start = false;
    if (it != running.end()) {
      e.ordinal = it->second.first;
      e.k = it->second.second;
      if (e.k + 1 < n) {
        it->second.second = e.k + 1;
      } else {
        running.erase(it);
      }
    } else {
      start = true;
      e.ordinal = started[a.idx]++;
      ASSERT_LT(e.ordinal, by_action[a.idx].size()) << where << ": an instance is missing from the plan";
    }
    const Rational te = time_of(e.action, e.ordinal, e.k);
    for (const Applied& earlier : applied) {
      const Rational tp = time_of(earlier.action, earlier.ordinal, earlier.k);
      const EventPair mutex_key{{Action{e.action}, e.k}, {Action{earlier.action}, earlier.k}};
      if (space.mutex_checker().check(mutex_key, space.event_fluents())) {
        EXPECT_LE(compare(tp + eps, te), 0) << where << ": interfering events closer than epsilon";
      } else if (space.precedence_checker().check({{Action{earlier.action}, earlier.k}, {Action{e.action}, e.k}},
                                                  space.event_fluents())) {
        EXPECT_LE(compare(tp, te), 0) << where << ": precedence broken";
      }
    }
    check_pending(e);
    if (start && n > 1) running[a.idx] = {e.ordinal, 1};
    applied.push_back(e);
  }
  std::size_t instances = 0;
  for (const auto& [action, count] : started) instances += count;
  EXPECT_EQ(plan.size(), instances) << where;
  bool at_zero = false;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const TimedStep& step = plan[i];
    ASSERT_TRUE(step.start) << where;
    EXPECT_GE(step.start->sign(), 0) << where;
    at_zero = at_zero || step.start->is_zero();
    if (step.duration) {
      EXPECT_FALSE(step.duration->is_zero()) << where;
    }
    const Rational d = step.duration ? *step.duration : Rational(0);
    if (const auto& bounds = spec.durations[step.action.idx]) {
      Rational lo = get_rational_from_expression_node(bounds->lower[0]);
      Rational hi = get_rational_from_expression_node(bounds->upper[0]);
      if (bounds->lower_open) lo = lo + eps;
      if (bounds->upper_open) hi = hi - eps;
      EXPECT_LE(compare(lo, d), 0) << where << ": duration below its bound";
      EXPECT_LE(compare(d, hi), 0) << where << ": duration above its bound";
    } else {
      EXPECT_TRUE(d.is_zero()) << where;
    }
    if (i > 0) {
      EXPECT_LE(compare(*plan[i - 1].start, *step.start), 0) << where << ": not sorted by start";
    }
  }
  // The earliest solution: the instance that starts first starts at 0.
  if (!plan.empty()) {
    EXPECT_TRUE(at_zero) << where;
  }
}

TEST(BuildPlan, RandomTemporalPlansSatisfyEveryConstraintExactly) {
  std::mt19937_64 rng(7321);
  int checked = 0;
  for (int round = 0; round < 150; ++round) {
    const TaskSpec spec = random_task(rng, 3 + rng() % 3);
    const SearchSpace space = make_space(spec);
    // A random walk of events the search would accept (compression off), finishing with the
    // running instances most of the time.
    std::vector<Action> walk;
    std::optional<State> state(space.initial_state());
    const std::size_t steps = 1 + rng() % 14;
    for (std::size_t s = 0; s < steps + 10; ++s) {
      std::vector<std::pair<Action, State>> options;
      for (std::size_t a = 0; a < spec.events.size(); ++a) {
        if (s >= steps && !state->todo.contains(Action{a})) continue;  // only finish what runs
        if (auto next = space.get_successor_state_with_compression(*state, Action{a}, false)) {
          options.emplace_back(Action{a}, std::move(*next));
        }
      }
      if (options.empty() || (s >= steps && state->todo.empty()) || (s >= steps && rng() % 8 == 0)) break;
      auto& [action, next] = options[rng() % options.size()];
      walk.push_back(action);
      state.emplace(std::move(next));
    }
    const TimedPlan plan = space.build_plan(walk);
    if (!space.is_temporal()) {
      ASSERT_EQ(plan.size(), walk.size());  // all actions instantaneous: untimed
      ++checked;
      continue;
    }
    check_plan(space, spec, walk, plan, "round " + std::to_string(round));
    if (::testing::Test::HasFailure()) return;
    ++checked;
  }
  EXPECT_EQ(checked, 150);
}

TEST(BuildPlan, LongPlanOfManyEvents) {
  // One instantaneous action writing its own fluent, repeated: each event interferes with every
  // earlier one, so event i lies at i·epsilon.
  TaskSpec spec;
  spec.fluents = 2;
  spec.durations = {fixed(1, 1), std::nullopt};
  spec.events = {{{at_start(), event(0, 0, {1})}}, {{at_start(), event(1, 0, {0})}}};
  const SearchSpace space = make_space(std::move(spec));
  std::vector<Action> walk(400, Action{1});
  const TimedPlan plan = space.build_plan(walk);
  ASSERT_EQ(plan.size(), 400u);
  EXPECT_EQ(text(plan.back().start), "399/100");
}

}  // namespace
}  // namespace quendral::testing
