// The search space: network ids, the interference and precedence tests, construction, the root
// state and goal tests, and successor generation case by case (the random comparison with a
// literal model of the successor rules is in test_successor_model.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/space/search_space.hpp"
#include "base/temporal/event_checkers.hpp"
#include "base/temporal/tn_interpreter.hpp"
#include "tests/cpp/task_builders.hpp"
#include "tests/cpp/test_support.hpp"

namespace quendral::testing {
namespace {

using Triple = std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>;
constexpr std::uint64_t kShift = std::uint64_t{1} << 32;

template <class F>
std::string error_of(F&& f, ErrorKind expected_kind) {
  try {
    f();
  } catch (const Error& error) {
    EXPECT_EQ(error.kind(), expected_kind) << error.message();
    return error.message();
  }
  ADD_FAILURE() << "no error was raised";
  return {};
}

// ---------------------------------------------------------------- network ids

TEST(TNInterpreterTest, ActionsAreNumberedFromThreeThenTheEventsAndLookupsFailForUnknownKeys) {
  EventsTable events;
  events.insert_or_assign(Action{0}, {{at_start(), event(0, 0, truth())}, {at_end(), event(0, 1, truth())}});
  const std::vector<Action> actions = {Action{0}};
  const TNInterpreter tn(actions, events);
  EXPECT_EQ(tn.get_action_id(Action{0}, true), 3u);
  EXPECT_EQ(tn.get_action_id(Action{0}, false), 4u);
  EXPECT_EQ(tn.get_event_id(Action{0}, 0), 5u);
  EXPECT_EQ(tn.get_event_id(Action{0}, 1), 6u);
  EXPECT_EQ(TNInterpreter::node_id(3, 0), 3 * kShift);
  EXPECT_EQ(TNInterpreter::node_id(5, 1), 5 * kShift + 1);
  EXPECT_EQ(TNInterpreter::origin_node, 1u);
  EXPECT_EQ(TNInterpreter::horizon_node, 2u);
  EXPECT_EQ(internal_failure_of([&] { tn.get_action_id(Action{1}, true); }), "Action not found in the TNInterpreter");
  EXPECT_EQ(internal_failure_of([&] { tn.get_event_id(Action{0}, 2); }), "Event not found in the TNInterpreter");
}

TEST(TNInterpreterTest, RepeatedKeysKeepTheLastIdAndTheReverseTableKeepsAll) {
  EventsTable events;
  // Two records of one action with the same pos: the later one's id stays.
  events.insert_or_assign(Action{1}, {{at_start(), event(1, 0, truth())}, {at_end(), event(1, 0, truth())}});
  const std::vector<Action> actions = {Action{0}, Action{1}, Action{0}};
  const TNInterpreter tn(actions, events);
  EXPECT_EQ(tn.get_action_id(Action{0}, true), 7u);
  EXPECT_EQ(tn.get_action_id(Action{1}, false), 6u);
  EXPECT_EQ(tn.action_id_count(), 6u);
  EXPECT_EQ(tn.get_event_id(Action{1}, 0), 10u);
  EXPECT_EQ(tn.event_id_count(), 2u);
}

TEST(TNInterpreterTest, TimingsReportActionNodesByTimeInNodeOrderForTies) {
  EventsTable events;
  events.insert_or_assign(Action{0}, {{at_start(), event(0, 0, truth())}});
  const std::vector<Action> actions = {Action{0}, Action{1}};
  const TNInterpreter tn(actions, events);
  DeltaSTN<Rational> only_reserved(Rational(0));
  only_reserved.add(2, 1, Rational(3));
  EXPECT_TRUE(tn.get_actions_timings(only_reserved).empty());
  DeltaSTN<Rational> only_events(Rational(0));
  only_events.add(TNInterpreter::node_id(7, 0), TNInterpreter::node_id(7, 1), Rational(-1));
  EXPECT_TRUE(tn.get_actions_timings(only_events).empty());

  DeltaSTN<Rational> net(Rational(0));
  const auto s0 = TNInterpreter::node_id(3, 4), e0 = TNInterpreter::node_id(4, 4), s1 = TNInterpreter::node_id(5, 9);
  net.add(s0, e0, -Rational(BigInt(5), BigInt(2)));  // e0 at 5/2
  net.add(s1, 1, Rational(0));                         // s1 at 0, first in node order among ties
  const auto timings = tn.get_actions_timings(net);
  ASSERT_EQ(timings.size(), 3u);
  EXPECT_EQ(timings[0].first, (ActionTimePoint{Action{0}, true, 4}));
  EXPECT_EQ(timings[1].first, (ActionTimePoint{Action{1}, true, 9}));
  EXPECT_EQ(timings[2].first, (ActionTimePoint{Action{0}, false, 4}));
  EXPECT_EQ(timings[2].second, Rational(BigInt(5), BigInt(2)));
  EXPECT_EQ(timings[0].second, Rational(0));
}

// ---------------------------------------------------------------- checkers

TEST(EventCheckers, InterferenceAndPrecedenceFollowTheFluentSets) {
  struct Case {
    const char* what;
    Event first, second;
    bool mutex, mutex_reversed, precedes, precedes_reversed;
  };
  const NodeList unreachable = {N::fluent(3), N::boolean(true)};  // the fluent node is not under the root
  const Case cases[] = {
      {"write vs condition read", event(0, 0, truth(), {set(3, truth())}), event(1, 0, fluent(3)), true, true, false,
       false},
      {"both write", event(0, 0, truth(), {set(3, truth())}), event(1, 0, truth(), {set(3, boolean(false))}), true,
       true, false, false},
      {"read in an effect value", event(0, 0, truth(), {set(1, fluent(3))}), event(1, 0, truth(), {set(3, truth())}),
       true, true, false, false},
      {"durative conditions are not reads", event(0, 0, truth(), {set(4, truth())}),
       event(1, 0, truth(), {}, {fluent(4)}), false, false, true, false},
      {"closed condition written by the second", event(0, 0, truth(), {set(5, truth())}, {}, {fluent(5)}),
       event(1, 0, truth(), {set(5, truth())}), true, true, true, false},
      {"closed condition, first writes nothing", event(0, 0, truth(), {}, {}, {fluent(5)}),
       event(1, 0, truth(), {set(5, truth())}), false, false, true, false},
      {"unreachable fluent node counts", event(0, 0, unreachable), event(1, 0, truth(), {set(3, truth())}), true, true,
       false, false},
      {"independent", event(0, 0, fluent(1), {set(2, truth())}), event(1, 0, fluent(3), {set(4, truth())}), false,
       false, false, false},
  };
  for (const Case& c : cases) {
    const EventFluentsTable table = {{compute_event_fluents(c.first)}, {compute_event_fluents(c.second)}};
    const MutexChecker mutex;
    const PrecedenceChecker precedence;
    const EventPair forward{{Action{0}, 0}, {Action{1}, 0}}, backward{{Action{1}, 0}, {Action{0}, 0}};
    EXPECT_EQ(mutex.check(forward, table), c.mutex) << c.what;
    EXPECT_EQ(mutex.check(backward, table), c.mutex_reversed) << c.what;
    EXPECT_EQ(precedence.check(forward, table), c.precedes) << c.what;
    EXPECT_EQ(precedence.check(backward, table), c.precedes_reversed) << c.what;
    // Asked again: the memo answers, under each key as given.
    EXPECT_EQ(mutex.check(forward, table), c.mutex) << c.what;
    EXPECT_EQ(mutex.memo_size(), 2u) << c.what;
    EXPECT_EQ(precedence.memo_size(), 2u) << c.what;
  }
}

TEST(EventCheckers, EventsOfOneActionAreAlwaysOrderedWithoutRecordingAndBadKeysFail) {
  const EventFluentsTable table = {{compute_event_fluents(event(0, 0, truth()))}};
  const MutexChecker mutex;
  const PrecedenceChecker precedence;
  // Positions are not even looked at for one action.
  EXPECT_TRUE(mutex.check({{Action{7}, 0}, {Action{7}, 99}}, table));
  EXPECT_TRUE(precedence.check({{Action{7}, 0}, {Action{7}, 1}}, table));
  EXPECT_EQ(mutex.memo_size(), 0u);
  EXPECT_EQ(precedence.memo_size(), 0u);
  internal_failure_of([&] { mutex.check({{Action{0}, 0}, {Action{1}, 0}}, table); });
  internal_failure_of([&] { precedence.check({{Action{0}, 3}, {Action{1}, 0}}, table); });
  // A failure under the lock leaves the checker working.
  const EventFluentsTable two = {{compute_event_fluents(event(0, 0, truth()))}, {compute_event_fluents(event(1, 0, truth()))}};
  EXPECT_FALSE(mutex.check({{Action{0}, 0}, {Action{1}, 0}}, two));
}

TEST(EventCheckers, GetFluentsListsEveryFluentNodeInOrderWithDuplicates) {
  const NodeList nodes = {N::fluent(2), N::fluent(2), N::integer(5), N::fluent(0), N::binary_operator(NodeKind::LE, 0, 1)};
  EXPECT_EQ(get_fluents(nodes), (std::vector<std::uint64_t>{2, 2, 0}));
  EXPECT_TRUE(get_fluents({}).empty());
}

// ---------------------------------------------------------------- construction

Task two_event_task() {
  Task t;
  t.action_count = 1;
  t.durations = {duration(2, 2)};
  t.add(0, {{at_start(), event(0, 0, truth())}, {at_end(), event(0, 1, truth())}});
  t.initial = bools({false});
  return t;
}

TEST(SearchSpaceConstruction, DefaultsAndDerivedValues) {
  Task t;
  t.action_count = 3;
  t.add(0, {{at_start(), event(0, 0, truth())}});
  auto plain = t.build();
  EXPECT_FALSE(plain->is_temporal());
  EXPECT_EQ(plain->relevant_actions(), (std::vector<Action>{Action{0}, Action{1}, Action{2}}));
  EXPECT_EQ(plain->epsilon(), mk_rational(1, 100));
  EXPECT_EQ(plain->epsilon_f64(), 0.01);
  EXPECT_FALSE(plain->deadline().has_value());
  EXPECT_EQ(plain->event_fluents().size(), 3u);
  EXPECT_EQ(plain->event_fluents()[0].size(), 1u);
  EXPECT_TRUE(plain->event_fluents()[2].empty()) << "an action without events builds normally";
  EXPECT_FALSE(plain->initial_state(bools({true})).stn.has_value());

  t.relevant = std::vector<Action>{Action{2}, Action{0}};
  t.epsilon = mk_rational(1, 1000);
  t.deadline = mk_rational(7, 2);
  t.durations = {std::nullopt, duration(1, 1)};
  auto temporal = t.build();
  EXPECT_TRUE(temporal->is_temporal());
  EXPECT_EQ(temporal->relevant_actions(), (std::vector<Action>{Action{2}, Action{0}}));
  EXPECT_EQ(temporal->epsilon(), mk_rational(1, 1000));
  EXPECT_EQ(temporal->epsilon_f64(), 0.001);
  EXPECT_EQ(temporal->deadline(), 3.5);
}

TEST(SearchSpaceConstruction, AnEventBeyondTheActionsFailsAndANonPositiveEpsilonIsRefused) {
  Task t;
  t.action_count = 2;
  t.add(2, {{at_start(), event(2, 0, truth())}});
  internal_failure_of([&] { t.build(); });

  Task e = two_event_task();
  for (const Rational& bad : {Rational(0), Rational(-1), mk_rational(-1, 1000)}) {
    e.epsilon = bad;
    EXPECT_EQ(error_of([&] { e.build(); }, ErrorKind::ValueError), SearchSpace::kEpsilonNotPositive);
  }
}

// ---------------------------------------------------------------- root state and goal tests

TEST(RootState, ValuesAsGivenAndADeadlineTiesTheReservedNodes) {
  Task t = two_event_task();
  t.deadline = Rational(10);
  auto space = t.build();
  const State root = space->initial_state();
  EXPECT_EQ(root.values.size(), 1u);
  EXPECT_TRUE(root.todo.empty());
  EXPECT_EQ(root.g, 0.0);
  EXPECT_TRUE(root.path.empty());
  ASSERT_TRUE(root.stn.has_value());
  EXPECT_EQ(root.stn->epsilon(), 0.01 / 1000.0);
  EXPECT_TRUE(root.stn->consistent());
  EXPECT_EQ(root.stn->node_count(), 2u);
  EXPECT_EQ(-*root.stn->distance(TNInterpreter::horizon_node), 10.0);
  EXPECT_EQ(space->instance_counter(), 0u);

  // An explicit argument wins and the stored values stay.
  const State other = space->initial_state(bools({true}));
  EXPECT_TRUE(other.values[0].is_bool(true));
  EXPECT_TRUE(space->initial_state().values[0].is_bool(false));

  t.initial.reset();
  t.deadline.reset();
  auto bare = t.build();
  EXPECT_EQ(error_of([&] { bare->initial_state(); }, ErrorKind::Exception), "The initial state must be defined somewhere!");
  EXPECT_EQ(bare->initial_state(bools({true})).stn->node_count(), 0u) << "no deadline, no reserved nodes yet";
}

TEST(GoalTests, GoalReachedAndSubgoalsSat) {
  Task t;
  t.action_count = 1;
  t.add(0, {{at_start(), event(0, 0, truth())}});
  t.initial = NodeList{N::boolean(true), N::boolean(false), N::integer(1)};
  auto space = t.build();
  const State root = space->initial_state();
  EXPECT_EQ(error_of([&] { space->goal_reached(root); }, ErrorKind::Exception), "The goal must be defined somewhere!");
  EXPECT_EQ(error_of([&] { space->subgoals_sat(root); }, ErrorKind::Exception), "The goal must be defined somewhere!");
  EXPECT_TRUE(space->goal_reached(root, fluent(0)));
  EXPECT_FALSE(space->goal_reached(root, fluent(1)));
  EXPECT_EQ(error_of([&] { space->goal_reached(root, fluent(2)); }, ErrorKind::Exception),
            "The goal is not a boolean expression!");
  const NodeList bad_number = {N::boolean(true), N::integer(1), N::binary_operator(NodeKind::LE, 0, 1)};
  EXPECT_EQ(error_of([&] { space->goal_reached(root, bad_number); }, ErrorKind::ValueError), "Expected a number!");

  // And(f0, f2, f1, f0, not f1): f0 held twice comes once, the Int conjunct is left out silently.
  const std::uint64_t ops[] = {0, 1, 2, 3, 5};
  const NodeList goal = {N::fluent(0), N::fluent(2), N::fluent(1), N::fluent(0), N::fluent(1), N::not_operator(4),
                         N::list_operator(NodeKind::And, ops)};
  const auto sat = space->subgoals_sat(root, goal);
  ASSERT_EQ(sat.size(), 2u);
  EXPECT_EQ(sat[0], fluent(0));
  EXPECT_EQ(sat[1], not_fluent(1)) << "split re-bases the conjunct";
  EXPECT_EQ(space->subgoals_sat(root, fluent(1)).size(), 0u);
  EXPECT_EQ(space->subgoals_sat(root, fluent(0)).size(), 1u);
  EXPECT_EQ(space->subgoals_sat(root, fluent(2)).size(), 0u);
  // An error in a conjunct ends the call.
  const std::uint64_t ops2[] = {0, 3};
  const NodeList erring = {N::fluent(0), N::boolean(true), N::integer(1), N::binary_operator(NodeKind::LE, 1, 2),
                           N::list_operator(NodeKind::And, ops2)};
  EXPECT_EQ(error_of([&] { space->subgoals_sat(root, erring); }, ErrorKind::ValueError), "Expected a number!");
}

TEST(GoalTests, ARunningInstanceIsNoGoalEvenWithoutAnyGoal) {
  auto space = two_event_task().build();
  const State started = *space->get_successor_state(space->initial_state(), Action{0});
  EXPECT_FALSE(space->goal_reached(started));
  EXPECT_FALSE(space->goal_reached(started, truth()));
}

// ---------------------------------------------------------------- successors

TEST(Successors, StartThenContinueATwoEventAction) {
  auto space = two_event_task().build();
  const State root = space->initial_state();
  const State started = *space->get_successor_state(root, Action{0});
  EXPECT_EQ(todo_of(started), (std::vector<Triple>{{0, 1, 2}}));
  EXPECT_EQ(path_of(started), (std::vector<Triple>{{0, 0, 1}}));
  EXPECT_EQ(started.g, 1.0);
  EXPECT_EQ(space->instance_counter(), 3u);
  EXPECT_TRUE(started.stn->contains(3 * kShift));
  EXPECT_TRUE(started.stn->contains(4 * kShift));
  EXPECT_TRUE(root.todo.empty() && root.path.empty()) << "the parent is unchanged";

  const State finished = *space->get_successor_state(started, Action{0});
  EXPECT_TRUE(finished.todo.empty());
  EXPECT_EQ(path_of(finished), (std::vector<Triple>{{0, 0, 1}, {0, 1, 2}}));
  EXPECT_EQ(finished.g, 2.0);
  EXPECT_EQ(space->instance_counter(), 3u) << "a continuation does not touch the counter";
  // The end is two time units after the start.
  EXPECT_EQ(*finished.stn->distance(3 * kShift) - *finished.stn->distance(4 * kShift), 2.0);
  EXPECT_TRUE(space->goal_reached(finished, truth()));
}

TEST(Successors, CompressionAppliesAllEventsInOneStep) {
  Task t = two_event_task();
  t.compression_safe = std::vector<bool>{true};
  auto space = t.build();
  const State root = space->initial_state();
  const State done = *space->get_successor_state(root, Action{0});
  EXPECT_TRUE(done.todo.empty());
  EXPECT_EQ(done.g, 2.0);
  EXPECT_EQ(path_of(done), (std::vector<Triple>{{0, 0, 1}, {0, 1, 2}}));
  // Without compression (plan building) the same space starts the instance only.
  const State step = *space->get_successor_state_with_compression(root, Action{0}, false);
  EXPECT_EQ(todo_of(step), (std::vector<Triple>{{0, 1, 5}}));
}

TEST(Successors, CompressedEventsSkipTheirOwnConditionsButNotTheDurativeOnes) {
  Task t;
  t.action_count = 1;
  t.durations = {duration(1, 1)};
  // Event 1's condition is false, yet compressed it applies; a durative condition it violates
  // (opened at event 0 on fluent 0, which event 1 sets false) refuses it.
  t.add(0, {{at_start(), event(0, 0, truth(), {}, {})}, {at_end(), event(0, 1, boolean(false), {set(0, boolean(false))})}});
  t.compression_safe = std::vector<bool>{true};
  t.initial = bools({true});
  {
    auto space = t.build();
    EXPECT_TRUE(space->get_successor_state(space->initial_state(), Action{0}).has_value());
  }
  // Opened at event 0 and closed by event 1: closing comes before event 1's effects.
  t.add(0, {{at_start(), event(0, 0, truth(), {}, {fluent(0)})},
            {at_end(), event(0, 1, boolean(false), {set(0, boolean(false))}, {}, {fluent(0)})}});
  auto closing = t.build();
  const auto closed = closing->get_successor_state(closing->initial_state(), Action{0});
  ASSERT_TRUE(closed.has_value());
  EXPECT_TRUE(closed->active_conditions.empty());
  // Left open, the condition is checked after event 1's effects and refuses the step.
  t.add(0, {{at_start(), event(0, 0, truth(), {}, {fluent(0)})},
            {at_end(), event(0, 1, boolean(false), {set(0, boolean(false))})}});
  auto open = t.build();
  EXPECT_FALSE(open->get_successor_state(open->initial_state(), Action{0}).has_value());
}

TEST(Successors, PinnedEventsTooCloseMakeTheStartImpossibleButStillCountNumbers) {
  Task t;
  t.action_count = 1;
  t.durations = {duration(1, 1)};
  t.add(0, {{at_start(), event(0, 0, truth())}, {at_start(), event(0, 1, truth())}});
  t.initial = bools({false});
  auto space = t.build();
  EXPECT_FALSE(space->get_successor_state(space->initial_state(), Action{0}).has_value());
  EXPECT_EQ(space->instance_counter(), 3u);
}

TEST(Successors, DurationBoundsOpenEndsAndTheDeadline) {
  // The instance must last at least lower (+ eps when open) and fits before a deadline only
  // with eps to spare before the horizon.
  struct Case {
    std::int64_t lower, upper;
    bool lower_open, upper_open;
    std::optional<std::int64_t> deadline;
    bool startable;
    double min_length;
  };
  const Case cases[] = {
      {1, 1, false, false, std::nullopt, true, 1.0},
      {1, 3, true, false, std::nullopt, true, 1.01},
      {1, 1, true, false, std::nullopt, false, 0},  // lower 1 + eps above upper 1
      {2, 2, false, true, std::nullopt, false, 0},  // upper 2 - eps below lower 2
      {2, 2, false, false, 2, false, 0},            // the end must be eps before the horizon at 2
      {2, 2, false, false, 3, true, 2.0},
  };
  for (const Case& c : cases) {
    Task t;
    t.action_count = 1;
    t.durations = {duration(c.lower, c.upper, c.lower_open, c.upper_open)};
    t.add(0, {{at_start(), event(0, 0, truth())}, {at_end(), event(0, 1, truth())}});
    t.initial = bools({false});
    if (c.deadline) t.deadline = Rational(*c.deadline);
    auto space = t.build();
    const auto child = space->get_successor_state(space->initial_state(), Action{0});
    ASSERT_EQ(child.has_value(), c.startable) << c.lower << " " << c.upper;
    if (child) {
      const double length = *child->stn->distance(3 * kShift) - *child->stn->distance(4 * kShift);
      EXPECT_NEAR(length, c.min_length, 1e-9);
    }
  }
}

TEST(Successors, DurationBoundsAreEvaluatedInTheParentAndMustBeNumbers) {
  Task t = two_event_task();
  t.initial = NodeList{N::integer(3), N::boolean(true)};
  t.durations = {DurationBounds{fluent(0), fluent_plus(0, 1), false, false}};
  auto space = t.build();
  const State child = *space->get_successor_state(space->initial_state(), Action{0});
  EXPECT_EQ(*child.stn->distance(3 * kShift) - *child.stn->distance(4 * kShift), 3.0);
  t.durations = {DurationBounds{fluent(1), constant(2), false, false}};
  auto bad = t.build();
  EXPECT_EQ(error_of([&] { bad->get_successor_state(bad->initial_state(), Action{0}); }, ErrorKind::ValueError),
            "Expected a number!");
  EXPECT_EQ(bad->instance_counter(), 1u) << "the counter moved past the start and end numbers before the error";
}

TEST(Successors, NonTemporalTasksUseInstanceZeroAndOnlyEverApplyEventZero) {
  Task t;
  t.action_count = 2;
  t.add(0, {{at_start(), event(0, 0, not_fluent(0), {set(0, truth())})}, {at_end(), event(0, 1, truth())}});
  t.add(1, {{at_start(), event(1, 0, fluent(0), {set(1, truth())})}});
  t.initial = bools({false, false});
  auto space = t.build();
  const State a = *space->get_successor_state(space->initial_state(), Action{0});
  EXPECT_TRUE(a.todo.empty());
  EXPECT_FALSE(a.stn.has_value());
  const State b = *space->get_successor_state(a, Action{1});
  EXPECT_EQ(path_of(b), (std::vector<Triple>{{0, 0, 0}, {1, 0, 0}}));
  EXPECT_FALSE(space->get_successor_state(a, Action{0}).has_value()) << "event 0 again: its condition fails";
  EXPECT_EQ(space->instance_counter(), 0u);
  // Compression of a multi-event action is impossible without running instances.
  Task c = t;
  c.compression_safe = std::vector<bool>{true, false};
  auto compressing = c.build();
  internal_failure_of([&] { compressing->get_successor_state(compressing->initial_state(), Action{0}); });
}

TEST(Successors, ASecondStartOfARunningActionAppliesItsNextEventInstead) {
  Task t = two_event_task();
  auto space = t.build();
  const State started = *space->get_successor_state(space->initial_state(), Action{0});
  const State next = *space->get_successor_state(started, Action{0});
  EXPECT_EQ(std::get<1>(path_of(next).back()), 1u);
  EXPECT_EQ(space->instance_counter(), 3u);
}

TEST(Successors, ObjectPruning) {
  Task t;
  t.action_count = 3;
  t.add(0, {{at_start(), event(0, 0, truth())}});
  t.add(1, {{at_start(), event(1, 0, truth())}});
  t.add(2, {{at_start(), event(2, 0, truth())}});
  t.initial = bools({false});
  t.action_objects = std::vector<std::vector<std::string>>{{"o"}, {}, {"free", "o"}};
  ObjectPrevActionsMap map;
  map["o"] = ActionSet{Action{1}};
  t.obj_to_prev = map;
  auto space = t.build();
  const State root = space->initial_state();
  EXPECT_FALSE(space->get_successor_state(root, Action{0}).has_value());
  EXPECT_TRUE(space->get_successor_state(root, Action{1}).has_value()) << "an empty object list allows the start";
  const State after_b = *space->get_successor_state(root, Action{1});
  EXPECT_TRUE(space->get_successor_state(after_b, Action{0}).has_value());
  const State later = *space->get_successor_state(after_b, Action{2});
  EXPECT_TRUE(space->get_successor_state(later, Action{0}).has_value()) << "anywhere on the path";
  // The action itself in the set allows its own start; an empty set allows nothing.
  map["o"] = ActionSet{Action{0}};
  t.obj_to_prev = map;
  EXPECT_TRUE(t.build()->get_successor_state(root, Action{0}).has_value());
  map["o"] = ActionSet{};
  t.obj_to_prev = map;
  auto empty = t.build();
  EXPECT_FALSE(empty->get_successor_state(root, Action{0}).has_value());
  EXPECT_FALSE(empty->get_successor_state(after_b, Action{2}).has_value());
  // Without the map, no pruning.
  t.obj_to_prev.reset();
  EXPECT_TRUE(t.build()->get_successor_state(root, Action{0}).has_value());
}

TEST(Successors, DurativeConditionsAreCheckedBeforeAndAfterTheEffects) {
  Task t;
  t.action_count = 2;
  t.durations = {duration(5, 5), std::nullopt};
  // Action 0 holds fluent 0 from its start to its end; action 1 makes it false.
  t.add(0, {{at_start(), event(0, 0, truth(), {}, {fluent(0)})}, {at_end(), event(0, 1, truth(), {}, {}, {fluent(0)})}});
  t.add(1, {{at_start(), event(1, 0, truth(), {set(0, boolean(false))})}});
  t.initial = bools({true});
  auto space = t.build();
  const State root = space->initial_state();
  const State running = *space->get_successor_state(root, Action{0});
  EXPECT_EQ(running.active_conditions.total(), 1u);
  EXPECT_FALSE(space->get_successor_state(running, Action{1}).has_value()) << "the effect violates the condition";
  const State done = *space->get_successor_state(running, Action{0});
  EXPECT_TRUE(done.active_conditions.empty());
  EXPECT_TRUE(space->get_successor_state(done, Action{1}).has_value());

  // An effect that violates a condition opened by the same event.
  Task s;
  s.action_count = 1;
  s.durations = {duration(1, 1)};
  s.add(0, {{at_start(), event(0, 0, truth(), {set(0, boolean(false))}, {fluent(0)})}, {at_end(), event(0, 1, truth())}});
  s.initial = bools({true});
  auto self = s.build();
  EXPECT_FALSE(self->get_successor_state(self->initial_state(), Action{0}).has_value());

  // A durative condition that is not Boolean.
  s.add(0, {{at_start(), event(0, 0, truth(), {}, {constant(1)})}, {at_end(), event(0, 1, truth())}});
  auto odd = s.build();
  EXPECT_EQ(error_of([&] { odd->get_successor_state(odd->initial_state(), Action{0}); }, ErrorKind::Exception),
            "An action condition is not a boolean expression!");
}

TEST(Successors, OrderingAgainstThePathAndThePendingEvents) {
  // Action 0 (duration 4) writes fluent 0 at its end; action 1 (instantaneous) reads it. Started
  // after action 0's start, action 1 must come before action 0's pending end: interfering, eps
  // before it.
  Task t;
  t.action_count = 2;
  t.durations = {duration(4, 4), std::nullopt};
  t.add(0, {{at_start(), event(0, 0, truth())}, {at_end(), event(0, 1, truth(), {set(0, truth())})}});
  t.add(1, {{at_start(), event(1, 0, not_fluent(0))}});
  t.initial = bools({false});
  auto space = t.build();
  const State running = *space->get_successor_state(space->initial_state(), Action{0});
  const State both = *space->get_successor_state(running, Action{1});
  const std::uint64_t end0 = TNInterpreter::node_id(space->tn_interpreter().get_event_id(Action{0}, 1), 2);
  // Action 1's instance takes 3 (start and end) and 4 (its event).
  const std::uint64_t ev1 = TNInterpreter::node_id(space->tn_interpreter().get_event_id(Action{1}, 0), 4);
  ASSERT_TRUE(both.stn->distance(end0) && both.stn->distance(ev1));
  const double t_end0 = -*both.stn->distance(end0), t_ev1 = -*both.stn->distance(ev1);
  EXPECT_LE(t_ev1 + 0.01, t_end0 + 1e-9);
  const State finished = *space->get_successor_state(both, Action{0});
  EXPECT_TRUE(finished.stn->consistent());

  // A deadline of 4 leaves no room for the end to be eps before the horizon.
  t.deadline = Rational(4);
  auto tight = t.build();
  EXPECT_FALSE(tight->get_successor_state(tight->initial_state(), Action{0}).has_value());
  t.deadline = Rational(5);
  auto roomy = t.build();
  EXPECT_TRUE(roomy->get_successor_state(roomy->initial_state(), Action{0}).has_value());
}

TEST(Successors, SuccessorListReturnsTheFirstErrorAndTheStreamGoesOnAfterIt) {
  Task t;
  t.action_count = 3;
  t.add(0, {{at_start(), event(0, 0, truth())}});
  t.add(1, {{at_start(), event(1, 0, constant(1))}});  // not a Boolean condition
  t.add(2, {{at_start(), event(2, 0, truth())}});
  t.initial = bools({false});
  auto space = t.build();
  const State root = space->initial_state();
  EXPECT_EQ(error_of([&] { space->py_get_successor_states(root); }, ErrorKind::Exception),
            "An action condition is not a boolean expression!");
  auto stream = space->get_successor_states_iter(root);
  EXPECT_EQ(path_of(*stream.next()), (std::vector<Triple>{{0, 0, 0}}));
  EXPECT_THROW(stream.next(), Error);
  EXPECT_EQ(path_of(*stream.next()), (std::vector<Triple>{{2, 0, 0}}));
  EXPECT_FALSE(stream.next().has_value());
  EXPECT_FALSE(stream.next().has_value());

  space->set_relevant_actions({});
  EXPECT_TRUE(space->py_get_successor_states(root).empty());
  EXPECT_FALSE(space->get_successor_states_iter(root).next().has_value());
}

TEST(Successors, TheStreamGeneratesNothingAheadOfTheRequest) {
  Task t = two_event_task();
  t.action_count = 3;
  t.durations = {duration(1, 1), duration(1, 1), duration(1, 1)};
  for (std::uint64_t a = 0; a < 3; ++a) t.add(a, {{at_start(), event(a, 0, truth())}, {at_end(), event(a, 1, truth())}});
  auto space = t.build();
  const State root = space->initial_state();
  auto stream = space->get_successor_states_iter(root);
  EXPECT_EQ(space->instance_counter(), 0u);
  ASSERT_TRUE(stream.next().has_value());
  EXPECT_EQ(space->instance_counter(), 3u) << "one start per request";
  ASSERT_TRUE(stream.next().has_value());
  EXPECT_EQ(space->instance_counter(), 6u);
}

TEST(Successors, InvalidTaskDataFailsTheCallAndLeavesTheSpaceUsable) {
  Task t;
  t.action_count = 3;
  t.durations = {duration(1, 1), std::nullopt, std::nullopt};
  t.add(0, {{at_start(), event(0, 0, truth())}, {at_end(), event(0, 1, truth())}});
  t.add(1, {});                                                                 // no events
  t.add(2, {{at_start(), event(2, 0, truth(), {set(9, truth())})}});           // effect beyond the values
  t.initial = bools({false});
  auto space = t.build();
  const State root = space->initial_state();
  internal_failure_of([&] { space->get_successor_state(root, Action{1}); });
  internal_failure_of([&] { space->get_successor_state(root, Action{2}); });
  EXPECT_FALSE(space->get_successor_state(root, Action{7}).has_value()) << "no entry in the events table";
  // The counter lock was held when the effect failed: the next start still works.
  EXPECT_TRUE(space->get_successor_state(root, Action{0}).has_value());

  // An action beyond `actions` (events numbered, no start/end ids) in a temporal task.
  Task u;
  u.action_count = 3;
  u.durations = {duration(1, 1), std::nullopt, std::nullopt};
  u.add(0, {{at_start(), event(0, 0, truth())}});
  u.add(1, {{at_start(), event(1, 0, truth())}});
  u.initial = bools({false});
  std::vector<Action> actions = {Action{1}, Action{2}};
  SearchSpace partial(u.durations, u.events, actions, std::nullopt, std::nullopt, std::nullopt, u.initial);
  EXPECT_EQ(internal_failure_of([&] { partial.get_successor_state(partial.initial_state(), Action{0}); }),
            "Action not found in the TNInterpreter");
  EXPECT_TRUE(partial.get_successor_state(partial.initial_state(), Action{1}).has_value());
  // The duration table is shorter than the action idx.
  SearchSpace short_table({duration(1, 1)}, u.events, std::vector<Action>{Action{0}, Action{1}}, std::nullopt,
                          std::nullopt, std::nullopt, u.initial);
  internal_failure_of([&] { short_table.get_successor_state(short_table.initial_state(), Action{1}); });
  // A record whose `action` differs from its key has no network id.
  EventsTable odd;
  odd.insert_or_assign(Action{0}, {{at_start(), event(1, 0, truth())}});
  SearchSpace mislabelled({duration(1, 1), std::nullopt}, odd, std::vector<Action>{Action{0}, Action{1}}, std::nullopt,
                          std::nullopt, std::nullopt, u.initial);
  EXPECT_EQ(internal_failure_of([&] { mislabelled.get_successor_state(mislabelled.initial_state(), Action{0}); }),
            "Event not found in the TNInterpreter");
  // A state of a plain task handed to a temporal space.
  EXPECT_NE(internal_failure_of([&] { mislabelled.get_successor_state(State(StateValues()), Action{0}); }), "");
}

TEST(Successors, TheInstanceCounterNeverWraps) {
  auto space = two_event_task().build();
  const State root = space->initial_state();
  // An instance of two events takes three numbers: c, c + 1, c + 2.
  space->set_instance_counter_for_tests(SearchSpace::kInstanceLimit - 3);
  const State last = *space->get_successor_state(root, Action{0});
  EXPECT_EQ(std::get<2>(path_of(last)[0]), 0xFFFF'FFFEu);
  EXPECT_EQ(todo_of(last), (std::vector<Triple>{{0, 1, 0xFFFF'FFFFu}}));
  EXPECT_EQ(space->instance_counter(), SearchSpace::kInstanceLimit);
  const std::string message = error_of([&] { space->get_successor_state(root, Action{0}); }, ErrorKind::RuntimeError);
  EXPECT_NE(message.find("instance numbers"), std::string::npos);
  EXPECT_EQ(space->instance_counter(), SearchSpace::kInstanceLimit);
  // Continuing a running instance needs no new numbers.
  EXPECT_TRUE(space->get_successor_state(last, Action{0}).has_value());
  space->set_instance_counter_for_tests(SearchSpace::kInstanceLimit - 2);
  EXPECT_THROW(space->get_successor_state(root, Action{0}), Error);
  EXPECT_EQ(space->instance_counter(), SearchSpace::kInstanceLimit - 2) << "a refused start takes no number";
}

TEST(Successors, ConcurrentStartsTakeDisjointContiguousNumbers) {
  Task t = two_event_task();
  auto space = t.build();
  const State root = space->initial_state();
  std::vector<std::vector<std::uint32_t>> seen(4);
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < 200; ++i) {
        const State child = *space->get_successor_state(root, Action{0});
        const std::uint32_t first = std::get<2>(path_of(child)[0]);
        EXPECT_EQ(std::get<2>(todo_of(child)[0]), first + 1);
        seen[k].push_back(first);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::uint32_t> all;
  for (const auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], 3 * i + 1);
  EXPECT_EQ(space->instance_counter(), 3u * 800u);
}

}  // namespace
}  // namespace quendral::testing
