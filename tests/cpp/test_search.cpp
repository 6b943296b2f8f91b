// The search framework (results, statistics, printed forms, log records, the timeout, open-list
// order, duplicate detection, the lazy evaluation forms) and breadth-/depth-first search, on a
// toy explicit-graph task whose answers are known by hand or by a model.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/search/heuristic_trait.hpp"
#include "base/search/searches.hpp"
#include "tests/cpp/log_capture.hpp"
#include "tests/cpp/test_support.hpp"
#include "tests/cpp/toy_space.hpp"

namespace quendral::testing {
namespace {

using Edges = ToySpace::Edges;
constexpr auto kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto kInf = std::numeric_limits<double>::infinity();
const std::string kDash = " \xe2\x80\x94 ";

Action A(std::uint64_t idx) { return Action{idx}; }

std::vector<std::uint64_t> idxs(const std::vector<Action>& plan) {
  std::vector<std::uint64_t> result;
  for (Action a : plan) result.push_back(a.idx);
  return result;
}

std::map<std::string, std::string> stats(const SearchResult& result) {
  return {result.statistics.begin(), result.statistics.end()};
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& error) {
    return error.message();
  }
  ADD_FAILURE() << "no error was raised";
  return {};
}

// ---------------------------------------------------------------- printed forms

TEST(SearchPrintedForms, DoublesShortestRoundTripWithoutExponent) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.0, "0"},     {3.0, "3"},   {2.5, "2.5"},   {0.5, "0.5"},   {1.0, "1"},
      {-0.0, "-0"},   {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}, {1e16, "10000000000000000"}, {1e300, "1" + std::string(300, '0')},
      {123456789012345680.0, "123456789012345680"}, {5e-324, "0." + std::string(323, '0') + "5"},
      {1e-7, "0.0000001"}, {-12.25, "-12.25"}, {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_f64(value), text) << value;
}

TEST(SearchPrintedForms, SinglePrecisionTimeoutAlwaysShowsFractionOrExponent) {
  const std::vector<std::pair<float, std::string>> cases = {
      {10.0f, "10.0"},  {0.5f, "0.5"},   {0.1f, "0.1"},      {0.0f, "0.0"},      {-0.0f, "-0.0"},
      {1e-5f, "1e-5"},  {-1e-5f, "-1e-5"}, {1e-4f, "0.0001"}, {1.5e-7f, "1.5e-7"}, {1e16f, "1e16"},
      {1e15f, "1000000000000000.0"}, {3e38f, "3e38"}, {123456.7f, "123456.7"}, {-2.0f, "-2.0"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"}, {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_f32(value), text) << value;
  EXPECT_EQ(format_timeout(std::nullopt), "None");
  EXPECT_EQ(format_timeout(10.0f), "Some(10.0)");
  EXPECT_EQ(format_timeout(1e-5f), "Some(1e-5)");
}

TEST(SearchPrintedForms, FourDecimals) {
  const std::vector<std::pair<double, std::string>> cases = {
      {3.0, "3.0000"}, {12.5, "12.5000"}, {1.23456, "1.2346"}, {-0.5, "-0.5000"}, {0.00004, "0.0000"},
      {kNaN, "NaN"},   {kInf, "inf"},     {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_fixed4(value), text) << value;
}

// ---------------------------------------------------------------- results and plan extraction

TEST(SearchResults, ExtractPathListsEveryEventOldestFirst) {
  State state = ToySpace::make_state(0);
  EXPECT_TRUE(extract_path(state).empty());
  // An instance of three events listed three times, in consecutive positions.
  for (auto [action, pos] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{{4, 0}, {2, 0}, {2, 1}, {2, 2}, {7, 0}}) {
    state.path = PersistentList<PathEntry>::append(PathEntry{A(action), pos, 0}, state.path);
  }
  EXPECT_EQ(idxs(extract_path(state)), (std::vector<std::uint64_t>{4, 2, 2, 2, 7}));
}

TEST(SearchResults, StatisticsTexts) {
  State goal = ToySpace::make_state(0);
  goal.g = 3.0;
  SearchResult found = goal_result(goal, 17);
  EXPECT_EQ(stats(found), (std::map<std::string, std::string>{{"expanded_states", "17"}, {"goal_depth", "3"}}));
  goal.g = 2.5;
  EXPECT_EQ(goal_result(goal, 0).statistics.at("goal_depth"), "2.5");
  SearchResult none = no_plan_result(0);
  EXPECT_FALSE(none.plan);
  EXPECT_EQ(stats(none), (std::map<std::string, std::string>{{"expanded_states", "0"}}));
}

// ---------------------------------------------------------------- timeout

TEST(SearchTimeout, SinglePrecisionStrictlyGreater) {
  using namespace std::chrono;
  const SearchTimer::Clock::time_point start{seconds(1'000'000)};
  struct Case {
    std::optional<float> timeout;
    nanoseconds elapsed;
    bool up;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<Case> cases = {
      {std::nullopt, hours(1000), false},
      {1.5f, milliseconds(1500), false},              // equal is not over
      {1.5f, nanoseconds(1'500'000'001), false},      // 0.500000001 rounds to 0.5 in single precision
      {1.5f, nanoseconds(1'500'001'000), true},
      {0.0f, nanoseconds(0), false},
      {0.0f, nanoseconds(1), true},                   // any time at all
      {-1.0f, nanoseconds(0), true},                  // a negative timeout is up at once
      {nan, hours(1000), false},
      {inf, hours(1000), false},
      {1e-5f, microseconds(10), false},
      {1e-5f, microseconds(11), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SearchTimer(c.timeout, start).time_up_at(start + duration_cast<SearchTimer::Clock::duration>(c.elapsed)),
              c.up)
        << format_timeout(c.timeout) << " after " << c.elapsed.count() << " ns";
  }
  // A clock that went backwards is a broken invariant, not a timeout.
  EXPECT_NE(internal_failure_of([&] { (void)SearchTimer(1.0f, start).time_up_at(start - seconds(1)); }), "");
  EXPECT_EQ(error_of([] { SearchTimer::throw_timeout(); }), "Timeout");
}

// ---------------------------------------------------------------- open-list order

State with_running(std::size_t running) {
  State state = ToySpace::make_state(0);
  for (std::size_t i = 0; i < running; ++i) state.todo.insert_or_assign(A(i), TodoEntry{0, 0});
  return state;
}

TEST(PrioritizedItemOrder, PriorityThenFewerRunningThenCounterNaNComparedByComparison) {
  struct Case {
    double pa;
    std::size_t ra;
    std::uint64_t ca;
    double pb;
    std::size_t rb;
    std::uint64_t cb;
    bool a_better;
  };
  const std::vector<Case> cases = {
      {1.0, 3, 9, 2.0, 0, 0, true},    // priority first
      {2.0, 0, 0, 1.0, 3, 9, false},
      {1.0, 1, 0, 1.0, 0, 5, false},   // then fewer running actions
      {1.0, 0, 5, 1.0, 1, 0, true},
      {1.0, 1, 4, 1.0, 1, 5, true},    // then the lower counter
      {1.0, 1, 5, 1.0, 1, 4, false},
      {kNaN, 0, 9, 1.0, 1, 0, true},   // NaN is neither lower nor higher: running actions decide
      {1.0, 1, 0, kNaN, 0, 9, false},
      {kNaN, 2, 3, kNaN, 2, 4, true},  // ... and then the counter
      {-kInf, 5, 9, kInf, 0, 0, true},
  };
  for (const Case& c : cases) {
    PrioritizedItem<State> a{with_running(c.ra), c.pa, c.ca};
    PrioritizedItem<State> b{with_running(c.rb), c.pb, c.cb};
    EXPECT_EQ(is_better(a, b), c.a_better) << c.pa << "/" << c.ra << "/" << c.ca << " vs " << c.pb << "/" << c.rb
                                           << "/" << c.cb;
    // The same order over shared states.
    PrioritizedItem<SharedState> sa{std::make_shared<const State>(with_running(c.ra)), c.pa, c.ca};
    PrioritizedItem<SharedState> sb{std::make_shared<const State>(with_running(c.rb)), c.pb, c.cb};
    EXPECT_EQ(is_better(sa, sb), c.a_better);
  }
}

// ---------------------------------------------------------------- duplicate detection

SharedState shared_state(std::int64_t value, std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> running,
                         bool with_network = false) {
  State state = ToySpace::make_state(static_cast<std::uint64_t>(value));
  for (auto [action, pos, instance] : running) state.todo.insert_or_assign(A(action), TodoEntry{pos, instance});
  if (with_network) state.stn.emplace(0.00001);
  return std::make_shared<const State>(std::move(state));
}

TEST(WeakEquality, RunningActionsAndPositionsCountInstanceNumbersAndTheRestDoNot) {
  const SharedState base = shared_state(1, {{3, 1, 10}, {5, 0, 20}}, true);
  struct Case {
    SharedState other;
    bool equal;
  };
  State far = base->clone_for_child();
  far.g = 42;
  far.path = PersistentList<PathEntry>::append(PathEntry{A(3), 0, 9}, far.path);
  const std::vector<Case> cases = {
      {shared_state(1, {{5, 0, 77}, {3, 1, 78}}, true), true},  // other instance numbers, other order
      {std::make_shared<const State>(std::move(far)), true},    // g and path do not count
      {shared_state(2, {{3, 1, 10}, {5, 0, 20}}, true), false}, // values differ
      {shared_state(1, {{3, 2, 10}, {5, 0, 20}}, true), false}, // a next-event position differs
      {shared_state(1, {{3, 1, 10}, {6, 0, 20}}, true), false}, // another action runs
      {shared_state(1, {{3, 1, 10}}, true), false},             // fewer running actions
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(WeakEqState{base} == WeakEqState{cases[i].other}, cases[i].equal) << "case " << i;
    EXPECT_EQ(WeakEqState{cases[i].other} == WeakEqState{base}, cases[i].equal) << "case " << i;
  }
}

TEST(DuplicateSets, ChosenFromTemporalAndWeakEquality) {
  EXPECT_EQ(DuplicateSet::choose(false, false), DuplicateSet::Kind::States);
  EXPECT_EQ(DuplicateSet::choose(false, true), DuplicateSet::Kind::States);
  EXPECT_EQ(DuplicateSet::choose(true, true), DuplicateSet::Kind::WeakStates);
  EXPECT_EQ(DuplicateSet::choose(true, false), DuplicateSet::Kind::None);
}

TEST(DuplicateSets, StatesUnderValueEquality) {
  DuplicateSet set(DuplicateSet::Kind::States);
  const SharedState first = shared_state(1, {});
  EXPECT_FALSE(set.contains(first));
  EXPECT_TRUE(set.insert(first));
  // Equal values are duplicates whatever else differs; the set keeps its element.
  const SharedState same_values = shared_state(1, {{2, 0, 0}});
  EXPECT_TRUE(set.contains(same_values));
  EXPECT_FALSE(set.insert(same_values));
  EXPECT_TRUE(set.insert(shared_state(2, {})));
  EXPECT_EQ(set.size(), 2u);
  // A state with a network equals no other state, but the same shared state is itself.
  const SharedState timed = shared_state(3, {}, true);
  EXPECT_TRUE(set.insert(timed));
  EXPECT_FALSE(set.insert(timed));
  EXPECT_TRUE(set.insert(shared_state(3, {}, true)));
  set.clear();
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.contains(first));
}

TEST(DuplicateSets, WeakStatesAndNone) {
  DuplicateSet weak(DuplicateSet::Kind::WeakStates);
  EXPECT_TRUE(weak.insert(shared_state(1, {{3, 1, 10}}, true)));
  EXPECT_TRUE(weak.contains(shared_state(1, {{3, 1, 99}}, true)));
  EXPECT_FALSE(weak.insert(shared_state(1, {{3, 1, 99}}, true)));
  EXPECT_TRUE(weak.insert(shared_state(1, {{3, 2, 10}}, true)));
  EXPECT_EQ(weak.size(), 2u);

  DuplicateSet none(DuplicateSet::Kind::None);
  const SharedState s = shared_state(1, {}, true);
  EXPECT_TRUE(none.insert(s));
  EXPECT_TRUE(none.insert(s));
  EXPECT_FALSE(none.contains(s));
  EXPECT_EQ(none.size(), 0u);
}

// ---------------------------------------------------------------- lazy evaluation forms

// Scores a toy state by its node number; a node in `failing` fails, a node in `dead` is a dead
// end. Records the nodes it was asked about.
struct ToyHeuristic {
  std::set<std::uint64_t> failing = {};
  std::set<std::uint64_t> dead = {};
  mutable std::vector<std::uint64_t> asked = {};

  HeuristicValue eval(const State& state, const ToySpace&) const {
    const std::uint64_t node = ToySpace::node_of(state);
    asked.push_back(node);
    if (failing.contains(node)) throw Error(ErrorKind::RuntimeError, "heuristic failed");
    if (dead.contains(node)) return std::nullopt;
    return static_cast<double>(node) * 1.5;
  }
};
static_assert(HeuristicTrait<ToyHeuristic, ToySpace>);

// Shares every successor of a state, as the duplicate filter of the weighted searches does.
struct Sharing {
  ToySpace::SuccessorIter inner;
  std::vector<std::weak_ptr<const State>>* made;
  std::optional<SharedState> next() {
    std::optional<State> s = inner.next();
    if (!s) return std::nullopt;
    SharedState shared = std::make_shared<const State>(std::move(*s));
    made->push_back(shared);
    return shared;
  }
};

TEST(LazyEvaluation, EvaluatesOnRequestPassesErrorsOnAndReleasesAStateWhoseEvaluationFails) {
  // Root 0 with actions 0..4 to nodes 1..5; the successor along action 2 fails to generate.
  Edges edges(6, std::vector<std::optional<std::uint64_t>>(5));
  for (std::uint64_t a = 0; a < 5; ++a) edges[0][a] = a + 1;
  ToySpace space(edges, {}, {A(0), A(1), A(2), A(3), A(4)});
  space.failing_successors = {{0, 2}};
  ToyHeuristic h{.failing = {2}, .dead = {4}};
  const State root = space.initial_state();
  std::vector<std::weak_ptr<const State>> made;
  auto seq = eval_gen(h, Sharing{space.get_successor_states_iter(root), &made}, space);
  EXPECT_TRUE(h.asked.empty());  // creating the sequence evaluates nothing

  std::optional<Evaluated<SharedState>> first = seq->next();
  ASSERT_TRUE(first);
  EXPECT_EQ(ToySpace::node_of(*first->state), 1u);
  EXPECT_EQ(first->value, 1.5);
  EXPECT_EQ(h.asked, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(space.successor_calls, 1u);

  EXPECT_EQ(error_of([&] { seq->next(); }), "heuristic failed");  // node 2's evaluation
  EXPECT_TRUE(made[1].expired());                                   // ... and node 2 is released
  EXPECT_EQ(error_of([&] { seq->next(); }), "Expected a number!");  // generating action 2's successor
  std::optional<Evaluated<SharedState>> fourth = seq->next();       // the sequence goes on after errors
  ASSERT_TRUE(fourth);
  EXPECT_EQ(ToySpace::node_of(*fourth->state), 4u);
  EXPECT_EQ(fourth->value, std::nullopt);  // a dead end is an item with no value
  EXPECT_TRUE(seq->next());
  EXPECT_FALSE(seq->next());
  EXPECT_FALSE(seq->next());
}

TEST(LazyEvaluation, SkippingProducesEverySkippedItemAndCountsErrorsAsSkipped) {
  Edges edges(4, std::vector<std::optional<std::uint64_t>>(3));
  for (std::uint64_t a = 0; a < 3; ++a) edges[0][a] = a + 1;
  ToySpace space(edges, {}, {A(0), A(1), A(2)});
  ToyHeuristic h{.failing = {1}};
  const State root = space.initial_state();
  auto owned = eval_gen_owned(h, space.get_successor_states_iter(root), space);
  std::optional<Evaluated<State>> third = owned->nth(2);  // node 1 fails, node 2 is evaluated and dropped
  ASSERT_TRUE(third);
  EXPECT_EQ(ToySpace::node_of(third->state), 3u);
  EXPECT_EQ(h.asked, (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(owned->advance_by(4), 4u);  // nothing left to skip
}

TEST(LazyEvaluation, ContainerBatchYieldsPositionsWithAnExactSizeHint) {
  struct Container {
    SharedState state;
  };
  ToySpace space({}, {}, {});
  ToyHeuristic h{.failing = {7}};
  const std::vector<Container> batch = {{shared_state(4, {})}, {shared_state(7, {})}, {shared_state(2, {})}};
  auto seq = eval_gen_container(h, std::span<const Container>(batch), space);
  EXPECT_TRUE(h.asked.empty());
  EXPECT_EQ(seq->size_hint(), (SizeHint{3, 3}));
  std::optional<PositionedValue> item = seq->next();
  ASSERT_TRUE(item);
  EXPECT_EQ(item->position, 0u);
  EXPECT_EQ(item->value, 6.0);
  EXPECT_EQ(error_of([&] { seq->next(); }), "heuristic failed");
  EXPECT_EQ(seq->size_hint(), (SizeHint{1, 1}));
  item = seq->next();
  ASSERT_TRUE(item);
  EXPECT_EQ(item->position, 2u);
  EXPECT_FALSE(seq->next());
  EXPECT_EQ(seq->size_hint(), (SizeHint{0, 0}));
}

// ---------------------------------------------------------------- breadth- and depth-first search

std::vector<std::optional<std::uint64_t>> row(std::initializer_list<std::optional<std::uint64_t>> targets) {
  return targets;
}

std::string goal_line(const std::string& name, std::uint64_t expanded, const std::string& depth) {
  return name + ": goal found" + kDash + "expanded=" + std::to_string(expanded) + " depth=" + depth;
}
std::string no_plan_line(const std::string& name, std::uint64_t expanded) {
  return name + ": no solution found" + kDash + "expanded=" + std::to_string(expanded);
}

TEST(BasicSearch, GoalRootWithAndWithoutEarlyTermination) {
  ToySpace space({row({1})}, {0}, {A(0)});
  start_log_capture();
  SearchResult early = basic_search(space, true, std::nullopt, true);
  ASSERT_TRUE(early.plan);
  EXPECT_TRUE(early.plan->empty());
  EXPECT_EQ(stats(early), (std::map<std::string, std::string>{{"expanded_states", "0"}, {"goal_depth", "0"}}));
  EXPECT_EQ(captured_messages(), (std::vector<std::string>{"bfs: timeout=None early_termination=true"}));

  start_log_capture();
  SearchResult late = basic_search(space, true, std::nullopt, false);
  ASSERT_TRUE(late.plan);
  EXPECT_TRUE(late.plan->empty());
  EXPECT_EQ(stats(late), (std::map<std::string, std::string>{{"expanded_states", "1"}, {"goal_depth", "0"}}));
  EXPECT_EQ(captured_messages(),
            (std::vector<std::string>{"bfs: timeout=None early_termination=false", goal_line("bfs", 1, "0")}));
  for (const CapturedRecord& record : captured_records()) {
    EXPECT_EQ(record.target, "quendral_base::search");
    EXPECT_EQ(record.level, log::Level::Info);
  }
}

TEST(BasicSearch, NoRelevantActionsExhaustsAfterOneExpansion) {
  ToySpace space({row({1}), row({})}, {1}, {});
  start_log_capture();
  SearchResult result = basic_search(space, false, 10.0f, false);
  EXPECT_FALSE(result.plan);
  EXPECT_EQ(stats(result), (std::map<std::string, std::string>{{"expanded_states", "1"}}));
  EXPECT_EQ(captured_messages(),
            (std::vector<std::string>{"dfs: timeout=Some(10.0) early_termination=false", no_plan_line("dfs", 1)}));
}

TEST(BasicSearch, BreadthFirstTakesTheFirstActionDepthFirstFollowsTheLast) {
  // 0 -a-> 1 -a-> 3 (goal); 0 -b-> 2 -a-> 4 (goal); both goals two steps deep.
  const Edges edges = {row({1, 2}), row({3}), row({4}), row({}), row({})};
  ToySpace space(edges, {3, 4}, {A(0), A(1)});
  start_log_capture();
  SearchResult bfs = basic_search(space, true, std::nullopt, false);
  EXPECT_EQ(idxs(*bfs.plan), (std::vector<std::uint64_t>{0, 0}));
  EXPECT_EQ(stats(bfs), (std::map<std::string, std::string>{{"expanded_states", "4"}, {"goal_depth", "2"}}));
  SearchResult dfs = basic_search(space, false, std::nullopt, false);
  EXPECT_EQ(idxs(*dfs.plan), (std::vector<std::uint64_t>{1, 0}));
  EXPECT_EQ(stats(dfs), (std::map<std::string, std::string>{{"expanded_states", "3"}, {"goal_depth", "2"}}));
  EXPECT_EQ(captured_messages()[1], goal_line("bfs", 4, "2"));
  EXPECT_EQ(captured_messages()[3], goal_line("dfs", 3, "2"));
}

TEST(BasicSearch, EarlyTerminationReturnsTheFirstGoalSuccessorAfterOneExpansion) {
  // Both successors of the root are goals; the first one generated wins, unqueued and uncounted.
  ToySpace space({row({1, 2}), row({}), row({})}, {1, 2}, {A(0), A(1)});
  for (bool bfs : {true, false}) {
    start_log_capture();
    SearchResult result = basic_search(space, bfs, std::nullopt, true);
    EXPECT_EQ(idxs(*result.plan), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(stats(result), (std::map<std::string, std::string>{{"expanded_states", "1"}, {"goal_depth", "1"}}));
    EXPECT_EQ(captured_messages().back(), goal_line(bfs ? "bfs" : "dfs", 1, "1"));
  }
}

TEST(BasicSearch, TimeoutsEndRunsOnAnEndlessTaskNaNAndInfinityNever) {
  // Two mutually undoing actions and an unreachable goal: the queue grows without end.
  ToySpace endless({row({1, std::nullopt}), row({std::nullopt, 0})}, {}, {A(0), A(1)});
  for (float timeout : {0.0f, -1.0f, 0.02f}) {
    for (bool bfs : {true, false}) {
      start_log_capture();
      EXPECT_EQ(error_of([&] { basic_search(endless, bfs, timeout, false); }), "Timeout");
      // The start line and perhaps progress lines: a timeout is not logged.
      const std::vector<std::string> lines = captured_messages();
      EXPECT_EQ(lines[0], std::string(bfs ? "bfs" : "dfs") + ": timeout=" + format_timeout(timeout) +
                              " early_termination=false");
      for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_NE(lines[i].find(" open="), std::string::npos);
    }
  }
  ToySpace finite({row({1}), row({})}, {1}, {A(0)});
  for (float timeout : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(idxs(*basic_search(finite, true, timeout, false).plan), (std::vector<std::uint64_t>{0}));
  }
}

TEST(BasicSearch, ErrorsEndTheRunUnchangedWithoutFurtherLines) {
  ToySpace space({row({1, 2, 3}), row({}), row({}), row({})}, {3}, {A(0), A(1), A(2)});
  space.fail_initial_state = true;
  start_log_capture();
  EXPECT_EQ(error_of([&] { basic_search(space, true, std::nullopt, false); }),
            "The initial state must be defined somewhere!");
  space.fail_initial_state = false;
  // A failing successor ends the expansion: the later actions are not tried.
  space.failing_successors = {{0, 1}};
  space.successor_calls = 0;
  EXPECT_EQ(error_of([&] { basic_search(space, false, std::nullopt, false); }), "Expected a number!");
  EXPECT_EQ(space.successor_calls, 2u);
  space.failing_successors.clear();
  space.failing_goal_tests = {2};
  EXPECT_EQ(error_of([&] { basic_search(space, true, std::nullopt, false); }),
            "The goal is not a boolean expression!");
  EXPECT_EQ(error_of([&] { basic_search(space, true, std::nullopt, true); }),  // tested at generation
            "The goal is not a boolean expression!");
  for (const std::string& message : captured_messages()) EXPECT_NE(message.find("timeout="), std::string::npos);
}

TEST(BasicSearch, ProgressLineAtTheTenThousandthExpansion) {
  // A chain 0 → 1 → … → 15000, the goal at its end.
  constexpr std::uint64_t kLength = 15000;
  Edges edges(kLength + 1);
  for (std::uint64_t v = 0; v < kLength; ++v) edges[v] = row({v + 1});
  ToySpace space(edges, {kLength}, {A(0)});
  start_log_capture();
  SearchResult result = basic_search(space, true, std::nullopt, false);
  EXPECT_EQ(result.plan->size(), kLength);
  const std::vector<CapturedRecord>& records = captured_records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].level, log::Level::Debug);
  EXPECT_EQ(records[1].message, "bfs: expanded=10000 generated=10000 open=0");
  EXPECT_EQ(records[2].message, goal_line("bfs", kLength + 1, "15000"));
}

TEST(BasicSearch, LongPlansAreBuiltAndReleasedWithoutDeepRecursion) {
  // A million expansions and a million events on one path; its release walks the shared list in a loop.
  constexpr std::uint64_t kLength = 1000000;
  Edges edges(kLength + 1);
  for (std::uint64_t v = 0; v < kLength; ++v) edges[v] = row({v + 1});
  ToySpace space(std::move(edges), {kLength}, {A(0)});
  SearchResult result = basic_search(space, false, std::nullopt, true);
  EXPECT_EQ(result.plan->size(), kLength);
  EXPECT_EQ(result.statistics.at("goal_depth"), "1000000");
  EXPECT_EQ(result.statistics.at("expanded_states"), "1000000");
}

// ---------------------------------------------------------------- against a literal model

// The search written out step by step over the raw graph, independent of the engine's states.
struct ModelRun {
  std::optional<std::vector<std::uint64_t>> plan;
  std::map<std::string, std::string> statistics;
  std::optional<std::string> error;
  std::vector<std::string> log;
};

struct Task {
  Edges edges;
  std::set<std::uint64_t> goals;
  std::vector<Action> relevant;
  std::set<std::pair<std::uint64_t, std::uint64_t>> failing_successors;
  std::set<std::uint64_t> failing_goal_tests;
};

ModelRun model_search(const Task& task, bool bfs, bool early) {
  const std::string name = bfs ? "bfs" : "dfs";
  ModelRun run;
  run.log.push_back(name + ": timeout=None early_termination=" + (early ? "true" : "false"));
  struct Item {
    std::uint64_t node;
    std::vector<std::uint64_t> path;
  };
  // Returns whether `node` is a goal; sets the error when its test fails.
  auto goal = [&](std::uint64_t node) -> std::optional<bool> {
    if (task.failing_goal_tests.contains(node)) {
      run.error = "The goal is not a boolean expression!";
      return std::nullopt;
    }
    return task.goals.contains(node);
  };
  auto found = [&](const Item& item, std::uint64_t expanded, bool logged) {
    if (logged) run.log.push_back(goal_line(name, expanded, std::to_string(item.path.size())));
    run.plan = item.path;
    run.statistics = {{"expanded_states", std::to_string(expanded)}, {"goal_depth", std::to_string(item.path.size())}};
    return run;
  };
  Item root{0, {}};
  if (early) {
    std::optional<bool> g = goal(0);
    if (!g) return run;
    if (*g) return found(root, 0, false);
  }
  std::deque<Item> open = {root};
  std::uint64_t expanded = 0;
  while (!open.empty()) {
    Item item = bfs ? open.front() : open.back();
    if (bfs) {
      open.pop_front();
    } else {
      open.pop_back();
    }
    ++expanded;
    if (!early) {
      std::optional<bool> g = goal(item.node);
      if (!g) return run;
      if (*g) return found(item, expanded, true);
    }
    for (Action a : task.relevant) {
      if (task.failing_successors.contains({item.node, a.idx})) {
        run.error = "Expected a number!";
        return run;
      }
      const auto& out = task.edges[item.node];
      if (a.idx >= out.size() || !out[a.idx]) continue;
      Item child{*out[a.idx], item.path};
      child.path.push_back(a.idx);
      if (early) {
        std::optional<bool> g = goal(child.node);
        if (!g) return run;
        if (*g) return found(child, expanded, true);
      }
      open.push_back(std::move(child));
    }
  }
  run.log.push_back(no_plan_line(name, expanded));
  run.statistics = {{"expanded_states", std::to_string(expanded)}};
  return run;
}

// A random acyclic graph from node 0 whose search tree stays small, with random goals, action
// order and (sometimes) a failing successor or goal test.
Task random_task(std::mt19937_64& rng) {
  for (;;) {
    Task task;
    const std::uint64_t nodes = 1 + rng() % 9;
    const std::uint64_t actions = rng() % 4;
    task.edges.assign(nodes, std::vector<std::optional<std::uint64_t>>(actions));
    for (std::uint64_t v = 0; v + 1 < nodes; ++v) {
      for (std::uint64_t a = 0; a < actions; ++a) {
        if (rng() % 2) task.edges[v][a] = v + 1 + rng() % (nodes - v - 1);
      }
    }
    for (std::uint64_t v = 0; v < nodes; ++v) {
      if (rng() % 5 == 0) task.goals.insert(v);
    }
    for (std::uint64_t a = 0; a <= actions; ++a) {  // action `actions` has no edges at all
      if (rng() % 4) task.relevant.push_back(A(a));
    }
    std::shuffle(task.relevant.begin(), task.relevant.end(), rng);
    if (rng() % 5 == 0 && actions > 0) task.failing_successors.insert({rng() % nodes, rng() % actions});
    if (rng() % 10 == 0) task.failing_goal_tests.insert(rng() % nodes);
    // Tree size: the number of paths from the root.
    std::vector<std::uint64_t> paths(nodes, 0);
    for (std::uint64_t v = nodes; v-- > 0;) {
      paths[v] = 1;
      for (Action a : task.relevant) {
        if (a.idx < actions && task.edges[v][a.idx]) paths[v] += paths[*task.edges[v][a.idx]];
      }
    }
    if (paths[0] <= 3000) return task;
  }
}

TEST(BasicSearch, MatchesALiteralModelOnSeededRandomGraphs) {
  std::mt19937_64 rng(20261210);
  for (int round = 0; round < 400; ++round) {
    const Task task = random_task(rng);
    ToySpace space(task.edges, task.goals, task.relevant);
    space.failing_successors = task.failing_successors;
    space.failing_goal_tests = task.failing_goal_tests;
    for (bool bfs : {true, false}) {
      for (bool early : {false, true}) {
        const ModelRun expected = model_search(task, bfs, early);
        start_log_capture();
        ModelRun actual;
        try {
          SearchResult result = basic_search(space, bfs, std::nullopt, early);
          if (result.plan) actual.plan = idxs(*result.plan);
          actual.statistics = stats(result);
        } catch (const Error& error) {
          actual.error = error.message();
        }
        actual.log = captured_messages();
        const std::string where = "round " + std::to_string(round) + (bfs ? " bfs" : " dfs") + (early ? " early" : "");
        EXPECT_EQ(actual.error, expected.error) << where;
        EXPECT_EQ(actual.plan, expected.plan) << where;
        EXPECT_EQ(actual.statistics, expected.statistics) << where;
        EXPECT_EQ(actual.log, expected.log) << where;
      }
    }
  }
}

}  // namespace
}  // namespace quendral::testing
