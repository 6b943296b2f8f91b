// The search state: what its two copies share, copy and leave empty; equality and hash on the
// values alone (a state with a temporal network equals none); the evaluator's view of it; the
// durative-condition multiset and the heuristic cache.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/core/errors.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "base/space/search_state.hpp"
#include "tests/support/heap_counts.hpp"

namespace quendral::testing {

namespace {

using N = ExpressionNode;

StateValues ints(std::initializer_list<std::int64_t> values) {
  StateValues v;
  for (std::int64_t value : values) v.push_back(N::integer(value));
  return v;
}

const void* root_of(const StateValues& v) {
  const void* root = nullptr;
  v.visit_nodes([&](const void* node, bool) {
    if (!root) root = node;
  });
  return root;
}

// The running actions as they stand: each action with its next event and instance number, in
// the order they were started.
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> running(const Todo& todo) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> out;
  for (const auto& [action, entry] : todo) out.emplace_back(action.idx, entry.pos, entry.instance);
  return out;
}

State temporal_state() {
  DeltaSTN<double> stn(0.00001);
  stn.add(1, 2, -0.01);
  State state(ints({1, 2, 3}), std::move(stn));
  state.todo.insert_or_assign(Action{4}, TodoEntry{1, 7});
  state.active_conditions.insert({N::fluent(0)});
  state.active_conditions.insert({N::fluent(0)});
  state.g = 3.0;
  state.path = Path();
  state.path = PersistentList<PathEntry>::append(PathEntry{Action{4}, 0, 6}, state.path);
  state.heuristic_cache.store("hff", 2.5);
  state.heuristic_cache.store("custom", std::nullopt);
  return state;
}

TEST(StateCopies, ChildSharesValuesAndPathCopiesTablesAndStartsWithEmptyCache) {
  const State parent = temporal_state();
  State child = parent.clone_for_child();

  EXPECT_EQ(root_of(child.values), root_of(parent.values));
  EXPECT_EQ(child.path, parent.path);
  EXPECT_EQ(child.path->use_count(), 2u);
  EXPECT_EQ(child.g, 3.0);
  EXPECT_EQ(running(child.todo), running(parent.todo)) << "entries and instance numbers, in order";
  EXPECT_EQ(child.active_conditions.count(std::vector<N>{N::fluent(0)}), 2u);
  EXPECT_EQ(child.active_conditions.total(), 2u);
  ASSERT_TRUE(child.stn.has_value());
  EXPECT_EQ(child.stn->constraints(1)->get(), parent.stn->constraints(1)->get());
  EXPECT_EQ(child.stn->epsilon(), 0.00001);
  EXPECT_EQ(child.heuristic_cache.size(), 0u);
  EXPECT_FALSE(child.heuristic_cache.lookup("hff").has_value());

  // The child's changes stay its own.
  child.values.set(1, N::boolean(true));
  child.todo.erase(Action{4});
  child.active_conditions.remove(std::vector<N>{N::fluent(0)});
  child.stn->add(2, 3, -1);
  child.path = PersistentList<PathEntry>::append(PathEntry{Action{4}, 1, 7}, child.path);
  child.g += 1;
  EXPECT_TRUE(parent.values[1] == N::integer(2));
  EXPECT_EQ(parent.todo.size(), 1u);
  EXPECT_EQ(parent.active_conditions.total(), 2u);
  EXPECT_FALSE(parent.stn->contains(3));
  EXPECT_EQ(parent.path->tail, Path());
  EXPECT_EQ(parent.g, 3.0);
}

// States are copied and released on any thread. Four threads derive children from one shared
// parent at once, write to them, hash and compare them, and hand them to each other to be
// released, so the counts of the values' trie nodes, of the path's cells and of the network's
// constraint cells rise and fall from every side together. Each child is checked against what
// it was made from; a count lost or doubled would show as a use after free, a double free or a
// leak under the sanitizer build, and here in the heap balance and the parent's counts.
TEST(StateCopies, ThreadsCopyWriteHashCompareAndReleaseOneParentsParts) {
  constexpr std::size_t kValues = 3000;  // three levels of trie
  StateValues values, twin;      // equal, built apart: nothing shared
  for (std::size_t i = 0; i < kValues; ++i) {
    values.push_back(N::integer(static_cast<std::int64_t>(i % 5)));
    twin.push_back(N::integer(static_cast<std::int64_t>(i % 5)));
  }
  const std::uint64_t parent_hash = twin.hash();  // the parent's own nodes stay unhashed
  State parent(std::move(values), DeltaSTN<double>(0.001));
  for (std::uint64_t i = 0; i < 40; ++i) parent.stn->add(0, i + 1, -static_cast<double>(i));
  for (std::uint32_t i = 0; i < 300; ++i) {
    parent.path = PersistentList<PathEntry>::append(PathEntry{Action{i % 7u}, i, i}, parent.path);
  }
  const State& shared = parent;
  const auto* parent_cells = shared.stn->constraints(0)->get();

  const auto before = heap_counts().live;
  std::atomic<int> mismatches{0};
  {
    std::mutex handoff_mutex;
    std::deque<State> handoff;  // children made on one thread and released on another
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937_64 rng(t + 1);
        const auto check = [&](bool ok) {
          if (!ok) ++mismatches;
        };
        for (std::uint32_t k = 0; k < 300; ++k) {
          State child = shared.clone_for_child();
          const std::size_t i = rng() % kValues;
          const N value = N::integer(static_cast<std::int64_t>(rng() % 5));
          const bool unchanged = value == twin[i];
          child.values.set(i, value);
          check(child.values[i] == value && shared.values[i] == twin[i]);
          check((child.values == shared.values) == unchanged);
          check(shared.values.hash() == parent_hash);
          if (unchanged) check(child.values.hash() == parent_hash);
          StateValues grown = child.values;
          grown.push_back(N::boolean(true));
          check(grown.size() == kValues + 1 && !(grown == child.values) && child.values.size() == kValues);

          child.path = PersistentList<PathEntry>::append(PathEntry{Action{t}, k, k}, child.path);
          check(child.path->tail == shared.path);
          child.stn->add(0, 1000 + t, -1.0);  // a new cell over the parent's list
          check(child.stn->constraints(0)->get()->tail.get() == parent_cells);
          check(shared.stn->constraints(0)->get() == parent_cells && !shared.stn->contains(1000 + t));

          std::optional<State> taken;
          {
            std::lock_guard<std::mutex> lock(handoff_mutex);
            handoff.push_back(std::move(child));
            if (handoff.size() > 6) {
              taken.emplace(std::move(handoff.front()));
              handoff.pop_front();
            }
          }
          // `taken`, most likely another thread's child, is released here, outside the lock.
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(heap_counts().live, before) << "every child's blocks are gone";
  EXPECT_EQ(parent.path->use_count(), 1u);
  EXPECT_EQ(parent_cells->use_count(), 1u);
  EXPECT_TRUE(parent.values == twin);
  EXPECT_EQ(parent.values.hash(), parent_hash);
}

TEST(StateCopies, FullCloneAnswersCacheLookupsLikeItsSource) {
  const State source = temporal_state();
  const State copy = source.full_clone();
  EXPECT_EQ(copy.heuristic_cache.size(), 2u);
  EXPECT_EQ(copy.heuristic_cache.lookup("hff"), std::optional<std::optional<double>>(2.5));
  EXPECT_EQ(copy.heuristic_cache.lookup("custom"), std::optional<std::optional<double>>(std::in_place, std::nullopt));
  EXPECT_FALSE(copy.heuristic_cache.lookup("hmax").has_value());
  source.full_clone().heuristic_cache.store("hmax", 1.0);  // a copy's cache is its own
  EXPECT_FALSE(source.heuristic_cache.lookup("hmax").has_value());
}

TEST(StateCopies, ChildOfAPlainStateCostsNoAllocationWhateverItsSize) {
  for (std::size_t fluents : {10u, 1000u, 100'000u}) {
    StateValues values;
    for (std::size_t i = 0; i < fluents; ++i) values.push_back(N::boolean(i % 2 == 0));
    State root(std::move(values));
    root.path = PersistentList<PathEntry>::append(PathEntry{Action{0}, 0, 0}, root.path);
    const auto before = heap_counts().allocations;
    const State child = root.clone_for_child();
    EXPECT_EQ(heap_counts().allocations, before) << fluents << " fluents";
    EXPECT_EQ(child.values.size(), fluents);
  }
}

TEST(StateEquality, ValuesAloneDecideAndANetworkMakesAStateEqualToNone) {
  State a(ints({1, 2, 3}));
  State b(ints({1, 2, 3}));  // built apart: nothing shared
  b.g = 9;
  b.todo.insert_or_assign(Action{1}, TodoEntry{1, 1});
  b.path = PersistentList<PathEntry>::append(PathEntry{Action{1}, 0, 0}, b.path);
  b.active_conditions.insert({N::boolean(true)});
  b.heuristic_cache.store("hadd", 1.0);
  EXPECT_TRUE(a.eq(b));
  EXPECT_TRUE(b == a);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_EQ(StateHash{}(a), a.hash());

  State c = a.clone_for_child();
  c.values.set(2, N::rational(Rational(3)));  // Int 3 and Rational 3/1 differ
  EXPECT_FALSE(a.eq(c));
  EXPECT_FALSE(a.eq(State(ints({1, 2}))));

  const State t = temporal_state();
  EXPECT_FALSE(t.eq(t));
  const State u = t.clone_for_child();
  EXPECT_FALSE(t.eq(u));
  State same_values_no_network(ints({1, 2, 3}));
  EXPECT_FALSE(same_values_no_network.eq(t));
  EXPECT_FALSE(t.eq(same_values_no_network));
  EXPECT_EQ(t.hash(), same_values_no_network.hash()) << "the hash reads the values only";
}

TEST(StateEvaluatorView, FluentValuesAreReadInPlaceAndAnIndexBeyondThemIsAnInternalFailure) {
  const State state(ints({5, 6, 7}));
  EXPECT_EQ(&state.get_fluent_value(2), &state.values[2]);
  EXPECT_TRUE(state.get_fluent_value(0) == N::integer(5));
  for (std::uint64_t bad : {std::uint64_t{3}, std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
    EXPECT_THROW(state.get_fluent_value(bad), InternalFailure) << bad;
  }
  EXPECT_THROW(State(StateValues()).get_fluent_value(0), InternalFailure);
}

static_assert(FluentValuesTrait<State>);

TEST(StateEvaluatorView, EvaluationReadsTheStateAndFailsOnAFluentBeyondIt) {
  StateValues values = ints({1, 2});
  values.push_back(N::object("truck"));
  const State state(std::move(values));
  EXPECT_TRUE(internal_evaluate(std::vector<N>{N::fluent(2)}, state) == N::object("truck"));
  const std::vector<N> sum = {N::fluent(0), N::fluent(1), N::list_operator(NodeKind::Plus, std::vector<std::uint64_t>{0, 1})};
  EXPECT_TRUE(internal_evaluate(sum, state) == N::integer(3));
  // Every node is evaluated, so a fluent the root does not use still fails.
  EXPECT_THROW(internal_evaluate(std::vector<N>{N::integer(1), N::fluent(99), N::boolean(true)}, state), InternalFailure);
}

TEST(ConditionMultisetTest, CountsOccurrencesAndRemovesOneAtATime) {
  ConditionMultiset set;
  const NodeList p = {N::fluent(1)}, q = {N::fluent(1), N::boolean(true), N::binary_operator(NodeKind::Equals, 0, 1)};
  set.insert(p);
  set.insert(q);
  set.insert(p);
  EXPECT_EQ(set.total(), 3u);
  EXPECT_EQ(set.distinct().size(), 2u);
  EXPECT_EQ(set.count(p), 2u);
  EXPECT_FALSE(set.remove(NodeList{N::fluent(2)}));
  EXPECT_EQ(set.total(), 3u);
  EXPECT_TRUE(set.remove(p));
  EXPECT_TRUE(set.remove(p));
  EXPECT_FALSE(set.remove(p));
  EXPECT_EQ(set.count(p), 0u);
  EXPECT_EQ(set.distinct().size(), 1u) << "a condition whose count reaches 0 is gone";
  EXPECT_TRUE(set.remove(q));
  EXPECT_TRUE(set.empty());
}

TEST(ConditionMultisetTest, IteratesInFirstInsertionOrderAndAChildSharesTheNodeLists) {
  ConditionMultiset set;
  const NodeList a = {N::fluent(3)}, b = {N::fluent(1)}, c = {N::fluent(2), N::not_operator(0)};
  for (const NodeList* x : {&a, &b, &c, &b}) set.insert(*x);
  auto order = [&] {
    std::vector<NodeList> out;
    for (const auto& entry : set.distinct()) out.push_back(*entry.condition);
    return out;
  };
  EXPECT_EQ(order(), (std::vector<NodeList>{a, b, c}));
  // Gone and back: it goes to the end; a count above 1 keeps the place.
  set.remove(a);
  set.remove(b);
  set.insert(a);
  EXPECT_EQ(order(), (std::vector<NodeList>{b, c, a}));
  const ConditionMultiset copy = set;
  EXPECT_EQ(copy.distinct()[0].condition.get(), set.distinct()[0].condition.get());
}

TEST(HeuristicCacheTest, ConcurrentStoresAndLookupsAreSafe) {
  const State state(ints({1}));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&state, t] {
      const std::string name = "h" + std::to_string(t);
      for (int i = 0; i < 2000; ++i) {
        state.heuristic_cache.store(name, i);
        EXPECT_TRUE(state.heuristic_cache.lookup(name).has_value());
        const State copy = state.full_clone();
        (void)copy;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(state.heuristic_cache.size(), 4u);
  EXPECT_EQ(state.heuristic_cache.lookup("h3"), std::optional<std::optional<double>>(1999.0));
}

// The table is made by the first store: two threads storing first into a fresh cache must both
// land in the one table that wins.
TEST(HeuristicCacheTest, RacingFirstStoresKeepBothValues) {
  for (int round = 0; round < 300; ++round) {
    const State state(ints({1}));
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&state, &ready, t] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        state.heuristic_cache.store(t == 0 ? "hff" : "hmax", t);
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(state.heuristic_cache.size(), 2u) << "round " << round;
    EXPECT_EQ(state.heuristic_cache.lookup("hmax"), std::optional<std::optional<double>>(1.0));
  }
}

}  // namespace
}  // namespace quendral::testing
