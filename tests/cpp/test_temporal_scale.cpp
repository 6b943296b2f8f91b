// The temporal networks of successors and of timed plans, against literal references that
// record every constraint the rules name: the search-time network of every successor (every
// earlier event of the path, every pending event) and the exact network of a timed plan (every
// earlier event tested, in the order of the steps). The engine leaves out the constraints the
// network already implies; these tests show that it reaches the same results on seeded random
// tasks with long paths, many instances running at once, open bounds, deadlines, durative
// conditions (so precedence), separations that are not exact in doubles, and plans whose exact
// network turns inconsistent late.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/expressions/expressions_utils.hpp"
#include "base/space/search_space.hpp"

namespace quendral::testing {
namespace {

using N = ExpressionNode;

Rational q(std::int64_t n, std::int64_t d = 1) { return Rational(BigInt(n), BigInt(d)); }

// 0 ≤ f: true for every value the generated effects write.
NodeList nonnegative(std::uint64_t f) { return {N::fluent(f), N::integer(0), N::binary_operator(NodeKind::LE, 1, 0)}; }

struct Spec {
  std::vector<std::optional<DurationBounds>> durations;
  std::vector<std::vector<TimedEvent>> events;  // by action idx
  std::size_t fluents = 3;
  std::optional<Rational> deadline;
  std::optional<Rational> epsilon;
};

std::unique_ptr<SearchSpace> make_space(const Spec& spec) {
  EventsTable table;
  std::vector<Action> actions;
  for (std::size_t i = 0; i < spec.events.size(); ++i) {
    actions.push_back(Action{i});
    table.insert_or_assign(Action{i}, spec.events[i]);
  }
  NodeList init(spec.fluents, N::integer(0));
  return std::make_unique<SearchSpace>(spec.durations, std::move(table), actions, std::nullopt, std::nullopt,
                                       std::nullopt, init, NodeList{N::boolean(true)}, std::nullopt, spec.deadline,
                                       spec.epsilon);
}

// Every condition and durative condition holds whatever the path, so the networks alone decide
// which successors exist. Effects write small constants or copy another fluent (a read);
// durations are constants, or, now and then, read a fluent that the action's own first event
// may change (so that a plan's exact network, which reads bounds after the step, can disagree
// with the search's).
Spec random_spec(std::mt19937_64& rng) {
  Spec spec;
  spec.fluents = 2 + rng() % 5;
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::size_t actions = 2 + pick(6);
  for (std::size_t a = 0; a < actions; ++a) {
    std::vector<TimedEvent> list;
    const bool durative = pick(5) != 0;
    std::int64_t lo_tenths = 0;
    if (!durative) {
      spec.durations.push_back(std::nullopt);
      list.push_back({Timing{true, Rational(0)}, Event{}});
    } else {
      lo_tenths = 1 + static_cast<std::int64_t>(pick(30));
      const std::int64_t hi_tenths = lo_tenths + static_cast<std::int64_t>(pick(4)) * 5;
      if (pick(8) == 0) {
        const std::uint64_t g = pick(spec.fluents);
        spec.durations.push_back(DurationBounds{{N::fluent(g)}, {N::fluent(g)}, false, false});
      } else {
        spec.durations.push_back(DurationBounds{{N::rational(q(lo_tenths, 10))}, {N::rational(q(hi_tenths, 10))},
                                                pick(3) == 0, hi_tenths > lo_tenths && pick(3) == 0});
      }
      const std::size_t starts = 1 + pick(2);
      const std::size_t ends = pick(3);
      for (std::size_t j = 0; j < starts; ++j) {
        list.push_back({Timing{true, q(static_cast<std::int64_t>(j) * lo_tenths, 40)}, Event{}});
      }
      for (std::size_t j = 0; j < ends; ++j) {
        list.push_back({Timing{false, q(-static_cast<std::int64_t>(ends - 1 - j) * lo_tenths, 40)}, Event{}});
      }
    }
    for (std::size_t j = 0; j < list.size(); ++j) {
      Event& e = list[j].second;
      e.action = Action{a};
      e.pos = j;
      e.conditions = pick(3) == 0 ? nonnegative(pick(spec.fluents)) : NodeList{N::boolean(true)};
      if (pick(4) != 0) {
        const std::uint64_t f = pick(spec.fluents);
        e.effects.push_back(Effect{f, pick(2) == 0 ? NodeList{N::fluent(pick(spec.fluents))}
                                                   : NodeList{N::integer(static_cast<std::int64_t>(1 + pick(3)))}});
      }
    }
    // A durative condition opened by the first event and closed by the last.
    if (list.size() > 1 && pick(3) == 0) {
      const NodeList condition = nonnegative(pick(spec.fluents));
      list.front().second.start_conditions.push_back(condition);
      list.back().second.end_conditions.push_back(condition);
    }
    spec.events.push_back(std::move(list));
  }
  if (pick(4) == 0) spec.deadline = q(static_cast<std::int64_t>(20 + pick(200)), 10);
  switch (pick(4)) {
    case 0: spec.epsilon = q(1, 4); break;
    case 1: spec.epsilon = q(3, 100); break;
    default: break;  // 1/100, not exact in doubles
  }
  return spec;
}

// ---------------------------------------------------------------- successors

std::uint64_t event_node(const SearchSpace& space, Action action, std::uint64_t pos, std::uint32_t instance) {
  return TNInterpreter::node_id(space.tn_interpreter().get_event_id(action, pos), instance);
}

double bound_in(const NodeList& bound, const State& state) {
  return utils::big_rational_to_f64(get_rational_from_expression_node(internal_evaluate(bound, state)));
}

// The search-time network of the successor of `parent` for `action` (compression off), with
// every constraint the rules name, built on `network` (the parent's reference network);
// `counter` is the search space's instance counter before the call.
DeltaSTN<double> reference_successor(const SearchSpace& space, const State& parent, DeltaSTN<double> network,
                                     Action action, std::uint64_t counter) {
  const std::vector<TimedEvent>& events = *space.events().find(action);
  const double eps = space.epsilon_f64();
  Todo todo = parent.todo;
  std::uint64_t position;
  std::uint32_t instance;
  if (const TodoEntry* entry = parent.todo.find(action)) {
    position = entry->pos;
    instance = entry->instance;
    if (position + 1 < events.size()) {
      todo.insert_or_assign(action, TodoEntry{position + 1, instance + 1});
    } else {
      todo.erase(action);
    }
  } else {
    const auto c = static_cast<std::uint32_t>(counter);
    const std::uint64_t s = TNInterpreter::node_id(space.tn_interpreter().get_action_id(action, true), c);
    const std::uint64_t e = TNInterpreter::node_id(space.tn_interpreter().get_action_id(action, false), c);
    double lower = 0, upper = 0;
    if (const auto& bounds = space.actions_duration()[action.idx]) {
      lower = bound_in(bounds->lower, parent);
      upper = bound_in(bounds->upper, parent);
      if (bounds->lower_open) lower += eps;
      if (bounds->upper_open) upper -= eps;
    }
    network.add(s, e, -lower);
    network.add(e, s, upper);
    network.add(TNInterpreter::origin_node, s, 0.0);
    network.add(e, TNInterpreter::horizon_node, -eps);
    for (std::size_t j = 0; j < events.size(); ++j) {
      const auto& [timing, event] = events[j];
      const std::uint64_t node = event_node(space, event.action, event.pos, static_cast<std::uint32_t>(c + 1 + j));
      const std::uint64_t anchor = timing.start ? s : e;
      const double delay = utils::big_rational_to_f64(timing.delay);
      network.add(anchor, node, -delay);
      network.add(node, anchor, delay);
    }
    if (events.size() > 1) todo.insert_or_assign(action, TodoEntry{1, c + 2});
    position = 0;
    instance = c + 1;
  }
  const Event& event = events[position].second;
  const EventRef applied{event.action, position};
  const std::uint64_t current = event_node(space, event.action, event.pos, instance);
  for (const PathEntry& earlier : PersistentList<PathEntry>::iter_rev(parent.path)) {
    const bool interferes =
        space.mutex_checker().check({applied, EventRef{earlier.action, earlier.pos}}, space.event_fluents());
    network.add(event_node(space, earlier.action, earlier.pos, earlier.instance), current, interferes ? -eps : 0.0);
  }
  for (const auto& [running, next] : todo) {
    const std::vector<TimedEvent>& list = *space.events().find(running);
    for (std::uint64_t j = next.pos; j < list.size(); ++j) {
      const Event& pending = list[j].second;
      const bool interferes = space.mutex_checker().check({applied, EventRef{running, j}}, space.event_fluents());
      network.add(current, event_node(space, pending.action, pending.pos, next.instance + static_cast<std::uint32_t>(j - next.pos)),
                  interferes ? -eps : 0.0);
    }
  }
  return network;
}

struct Walked {
  std::vector<Action> path;
  int successors = 0, refused = 0, differing_potentials = 0;
  double largest_difference = 0;
};

// A random walk of up to `length` events, comparing at every state the successor of every
// action with the reference. Starting new instances is favoured while few run, so that many
// overlap.
Walked walk_and_compare(const Spec& spec, std::mt19937_64& rng, std::size_t length, const std::string& where) {
  const auto space = make_space(spec);
  Walked result;
  std::optional<State> state(space->initial_state());
  std::optional<DeltaSTN<double>> reference(*state->stn);
  for (std::size_t step = 0; step < length; ++step) {
    struct Option {
      Action action;
      State state;
      DeltaSTN<double> network;
    };
    std::vector<Option> options;
    for (std::size_t a = 0; a < spec.events.size(); ++a) {
      const Action action{a};
      const std::uint64_t counter = space->instance_counter();
      std::optional<State> child = space->get_successor_state_with_compression(*state, action, false);
      DeltaSTN<double> expected = reference_successor(*space, *state, *reference, action, counter);
      EXPECT_EQ(child.has_value(), expected.consistent()) << where << " step " << step << " action " << a;
      if (!child || !expected.consistent()) {
        ++result.refused;
        continue;
      }
      ++result.successors;
      EXPECT_EQ(child->stn->node_count(), expected.node_count()) << where;
      bool differs = false;
      expected.for_each_distance([&](std::uint64_t node, double distance) {
        const double* engine = child->stn->distance(node);
        if (!engine) {
          ADD_FAILURE() << where << ": node missing from the engine's network";
          return;
        }
        if (*engine != distance) {
          differs = true;
          result.largest_difference = std::max(result.largest_difference, std::abs(*engine - distance));
        }
      });
      if (differs) ++result.differing_potentials;
      options.push_back(Option{action, std::move(*child), std::move(expected)});
    }
    if (options.empty() || ::testing::Test::HasFailure()) break;
    // Prefer starts while fewer than four instances run, continuations otherwise.
    std::vector<std::size_t> preferred;
    for (std::size_t i = 0; i < options.size(); ++i) {
      const bool starts = !state->todo.contains(options[i].action);
      if (starts == (state->todo.size() < 4)) preferred.push_back(i);
    }
    const std::size_t chosen = !preferred.empty() && rng() % 4 != 0 ? preferred[rng() % preferred.size()]
                                                                     : rng() % options.size();
    result.path.push_back(options[chosen].action);
    state.emplace(std::move(options[chosen].state));
    reference.emplace(std::move(options[chosen].network));
  }
  return result;
}

TEST(TemporalScale, SuccessorNetworksDecideAsTheNetworkWithEveryConstraint) {
  std::mt19937_64 rng(20261211);
  int successors = 0, refused = 0, differing = 0, long_paths = 0;
  double largest = 0;
  for (int round = 0; round < 120; ++round) {
    const Spec spec = random_spec(rng);
    const std::size_t length = round % 4 == 0 ? 160 : 40;
    const Walked walked = walk_and_compare(spec, rng, length, "round " + std::to_string(round));
    ASSERT_FALSE(::testing::Test::HasFailure()) << "round " << round;
    successors += walked.successors;
    refused += walked.refused;
    differing += walked.differing_potentials;
    largest = std::max(largest, walked.largest_difference);
    if (walked.path.size() >= 100) ++long_paths;
  }
  // Potentials may differ where a distance is reached along another walk of the same bounds:
  // by rounding, far inside the tolerance.
  EXPECT_LT(largest, 1e-9);
  EXPECT_GT(successors, 5000);
  EXPECT_GT(refused, 500);
  EXPECT_GT(long_paths, 5);
  std::printf("%d successors, %d refused, %d with some potential differing (largest difference %g)\n", successors,
              refused, differing, largest);
}

// ---------------------------------------------------------------- timed plans

// The timed plan as the steps read with every test and every constraint: each event against
// every earlier one, oldest first, then against the pending events, in the order of the steps.
struct ReferencePlan {
  TimedPlan plan;
  bool consistent = true;
};

ReferencePlan reference_plan(const SearchSpace& space, const std::vector<Action>& path) {
  DeltaSTN<Rational> network{Rational(0)};
  const Rational eps = space.epsilon();
  const TNInterpreter& ids = space.tn_interpreter();
  struct Happened {
    Action action;
    std::uint64_t pos;
    std::uint32_t instance;
  };
  std::vector<Happened> happened;
  ActionMap<TodoEntry> running;
  std::uint64_t counter = 0;
  std::optional<State> state(space.initial_state());
  const auto order = [&](const Event& event, std::uint64_t k, std::uint64_t current) {
    const EventRef self{event.action, k};
    for (const Happened& earlier : happened) {
      const EventRef other{earlier.action, earlier.pos};
      const std::uint64_t previous = event_node(space, earlier.action, earlier.pos, earlier.instance);
      if (space.mutex_checker().check({self, other}, space.event_fluents())) {
        network.add(previous, current, -eps);
      } else if (space.precedence_checker().check({other, self}, space.event_fluents())) {
        network.add(previous, current, Rational(0));
      }
    }
    for (const auto& [r, entry] : running) {
      const std::vector<TimedEvent>& pending = *space.events().find(r);
      for (std::uint64_t j = entry.pos; j < pending.size(); ++j) {
        if (!space.mutex_checker().check({self, EventRef{r, j}}, space.event_fluents())) continue;
        network.add(current,
                    event_node(space, pending[j].second.action, pending[j].second.pos,
                               entry.instance + static_cast<std::uint32_t>(j - entry.pos)),
                    -eps);
      }
    }
  };
  for (const Action action : path) {
    state.emplace(std::move(*space.get_successor_state_with_compression(*state, action, false)));
    const std::vector<TimedEvent>& events = *space.events().find(action);
    if (TodoEntry* entry = running.find(action)) {
      const std::uint64_t k = entry->pos;
      const std::uint32_t m = entry->instance;
      if (k + 1 < events.size()) {
        *entry = TodoEntry{k + 1, m + 1};
      } else {
        running.erase(action);
      }
      const Event& event = events[k].second;
      const std::uint64_t current = event_node(space, event.action, event.pos, m);
      order(event, k, current);
      happened.push_back({event.action, event.pos, m});
      continue;
    }
    const auto c = static_cast<std::uint32_t>(counter);
    const std::uint64_t s = TNInterpreter::node_id(ids.get_action_id(action, true), c);
    const std::uint64_t e = TNInterpreter::node_id(ids.get_action_id(action, false), c);
    Rational lo(0), hi(0);
    if (const auto& bounds = space.actions_duration()[action.idx]) {
      lo = get_rational_from_expression_node(internal_evaluate(bounds->lower, *state));
      hi = get_rational_from_expression_node(internal_evaluate(bounds->upper, *state));
      if (bounds->lower_open) lo = lo + eps;
      if (bounds->upper_open) hi = hi - eps;
    }
    network.add(s, e, -lo);
    network.add(e, s, hi);
    for (std::size_t j = 0; j < events.size(); ++j) {
      const auto& [timing, event] = events[j];
      const std::uint64_t nj = event_node(space, event.action, event.pos, static_cast<std::uint32_t>(counter + 1 + j));
      const std::uint64_t anchor = timing.start ? s : e;
      network.add(anchor, nj, -timing.delay);
      network.add(nj, anchor, timing.delay);
    }
    const Event& first = events[0].second;
    const std::uint64_t current = event_node(space, first.action, first.pos, c + 1);
    order(first, 0, current);
    happened.push_back({first.action, first.pos, c + 1});
    if (events.size() > 1) running.insert_or_assign(action, TodoEntry{1, c + 2});
    counter += 1 + events.size();
  }
  ReferencePlan result;
  result.consistent = network.consistent();
  std::vector<std::pair<ActionTimePoint, Rational>> timings = ids.get_actions_timings(network);
  for (const auto& [point, start] : timings) {
    if (!point.is_start) continue;
    for (const auto& [other, end] : timings) {
      if (other.is_start || other.action != point.action || other.instance != point.instance) continue;
      Rational duration = end - start;
      std::optional<Rational> present;
      if (!duration.is_zero()) present = std::move(duration);
      result.plan.push_back({start, point.action, std::move(present)});
    }
  }
  std::stable_sort(result.plan.begin(), result.plan.end(), [](const TimedStep& a, const TimedStep& b) {
    if (const int c = compare(*a.start, *b.start); c != 0) return c < 0;
    if (a.action.idx != b.action.idx) return a.action.idx < b.action.idx;
    if (!a.duration || !b.duration) return !a.duration && b.duration;
    return *a.duration < *b.duration;
  });
  return result;
}

std::string text(const std::optional<Rational>& v) {
  if (!v) return "None";
  std::string out = v->numer().to_string();
  out.push_back('/');
  out.append(v->denom().to_string());
  return out;
}

std::string text(const TimedPlan& plan) {
  std::string out;
  for (const TimedStep& step : plan) {
    out.push_back('(');
    out.append(text(step.start)).append(", ").append(std::to_string(step.action.idx)).append(", ");
    out.append(text(step.duration)).append(") ");
  }
  return out;
}

TEST(TemporalScale, TimedPlansEqualThePlansOfTheNetworkWithEveryConstraint) {
  std::mt19937_64 rng(611);
  int plans = 0, inconsistent = 0, long_plans = 0;
  for (int round = 0; round < 200; ++round) {
    const Spec spec = random_spec(rng);
    if (std::none_of(spec.durations.begin(), spec.durations.end(), [](const auto& d) { return d.has_value(); })) continue;
    const std::size_t length = round % 5 == 0 ? 300 : 30;
    std::vector<Action> path;
    {
      // A walk the search accepts, its running instances mostly finished at the end.
      const auto space = make_space(spec);
      std::optional<State> state(space->initial_state());
      for (std::size_t step = 0; step < length + 20; ++step) {
        std::vector<std::pair<Action, State>> options;
        for (std::size_t a = 0; a < spec.events.size(); ++a) {
          if (step >= length && !state->todo.contains(Action{a})) continue;
          if (auto next = space->get_successor_state_with_compression(*state, Action{a}, false)) {
            options.emplace_back(Action{a}, std::move(*next));
          }
        }
        if (options.empty()) break;
        auto& [action, next] = options[rng() % options.size()];
        path.push_back(action);
        state.emplace(std::move(next));
      }
    }
    const auto space = make_space(spec);
    const ReferencePlan expected = reference_plan(*space, path);
    const TimedPlan plan = space->build_plan(path);
    ASSERT_EQ(text(plan), text(expected.plan)) << "round " << round << ", " << path.size() << " events";
    ++plans;
    if (!expected.consistent) ++inconsistent;
    if (path.size() >= 200) ++long_plans;
  }
  EXPECT_GT(plans, 150);
  EXPECT_GT(inconsistent, 3) << "the rebuild of an inconsistent network must be reached";
  EXPECT_GT(long_plans, 10);
  std::printf("%d plans, %d with an inconsistent exact network, %d of 200 events or more\n", plans, inconsistent,
              long_plans);
}

}  // namespace
}  // namespace quendral::testing
