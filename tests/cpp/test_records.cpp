// Planning records (printed forms), the insertion-ordered ActionMap against a plain model, and
// the shared-tail list: order, sharing, one cell per append, and release of very long chains on
// a small stack.
#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/task/records.hpp"
#include "tests/support/heap_counts.hpp"

namespace quendral::testing {

namespace {

using N = ExpressionNode;

TEST(Records, PrintedForms) {
  Event full;
  full.action = Action{2};
  full.pos = 0;
  full.conditions = {N::boolean(true)};
  full.end_conditions = {{N::fluent(3)}};
  full.effects = {Effect{3, {N::boolean(false)}}};

  Event nested;
  nested.action = Action{18446744073709551615ull};
  nested.pos = 7;
  nested.start_conditions = {{N::fluent(0), N::integer(1), N::binary_operator(NodeKind::LE, 0, 1)}, {}};
  nested.effects = {Effect{0, {N::integer(1)}}, Effect{1, {}}};

  const std::pair<std::string, std::string> cases[] = {
      {Timing{false, Rational(0)}.repr(), "Timing { start: false, delay: Ratio { numer: 0, denom: 1 } }"},
      {Timing{false, mk_rational(1, -2)}.repr(), "Timing { start: false, delay: Ratio { numer: -1, denom: 2 } }"},
      {Timing{true, Rational(BigInt::from_decimal("123456789012345678901234567891"), BigInt(7))}.repr(),
       "Timing { start: true, delay: Ratio { numer: 123456789012345678901234567891, denom: 7 } }"},
      {Effect{0, {N::integer(1)}}.repr(), "Effect { fluent: 0, value: [Int(1)] }"},
      {Effect{5, {}}.repr(), "Effect { fluent: 5, value: [] }"},
      {Action{4}.repr(), "Action { idx: 4 }"},
      {full.repr(),
       "Event { action: Action { idx: 2 }, pos: 0, conditions: [Bool(true)], start_conditions: [], "
       "end_conditions: [[Fluent(3)]], effects: [Effect { fluent: 3, value: [Bool(false)] }] }"},
      {Event{}.repr(),
       "Event { action: Action { idx: 0 }, pos: 0, conditions: [], start_conditions: [], end_conditions: [], "
       "effects: [] }"},
      {nested.repr(),
       "Event { action: Action { idx: 18446744073709551615 }, pos: 7, conditions: [], start_conditions: "
       "[[Fluent(0), Int(1), LE(0, 1)], []], end_conditions: [], effects: [Effect { fluent: 0, value: [Int(1)] }, "
       "Effect { fluent: 1, value: [] }] }"},
  };
  for (const auto& [printed, expected] : cases) EXPECT_EQ(printed, expected);
}

TEST(Records, TimingAnchorsAndActionOrder) {
  const Timing from_start{true, Rational(1)}, from_end{false, Rational(1)};
  EXPECT_TRUE(from_start.is_from_start());
  EXPECT_FALSE(from_start.is_from_end());
  EXPECT_TRUE(from_end.is_from_end());
  EXPECT_FALSE(from_end.is_from_start());
  EXPECT_LT(Action{1}, Action{2});
  EXPECT_EQ(Action{3}, Action{3});
  EXPECT_EQ(ActionHash{}(Action{3}), ActionHash{}(Action{3}));
}

template <class V>
std::vector<std::pair<Action, V>> entries(const ActionMap<V>& map) {
  return std::vector<std::pair<Action, V>>(map.begin(), map.end());
}

// Iteration never hands out a key that can be changed, on a mutable map too: the index would
// go stale.
static_assert(std::is_same_v<decltype(*std::declval<ActionMap<int>&>().begin()), const std::pair<Action, int>&>);
static_assert(std::is_same_v<decltype(*std::declval<ActionMap<int>&>().end()), const std::pair<Action, int>&>);

// ActionMap against a vector of pairs searched linearly, across the size at which it starts
// indexing, with keys that come back after being erased.
TEST(ActionMapModel, MatchesAnOrderedListUnderRandomOperations) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    std::mt19937_64 rng(seed);
    ActionMap<int> map;
    std::vector<std::pair<Action, int>> model;
    const std::uint64_t keys = 8 + seed * 3;  // small key spaces hit existing keys often
    for (int step = 0; step < 600; ++step) {
      const Action key{rng() % keys};
      auto in_model = std::find_if(model.begin(), model.end(), [&](const auto& e) { return e.first == key; });
      switch (rng() % 4) {
        case 0:
        case 1: {
          const int value = static_cast<int>(rng() % 1000);
          map.insert_or_assign(key, value);
          if (in_model != model.end()) {
            in_model->second = value;
          } else {
            model.emplace_back(key, value);
          }
          break;
        }
        case 2:
          EXPECT_EQ(map.erase(key), in_model != model.end());
          if (in_model != model.end()) model.erase(in_model);
          break;
        default: {
          const int* found = map.find(key);
          ASSERT_EQ(found != nullptr, in_model != model.end()) << "seed " << seed << " step " << step;
          if (found) {
            EXPECT_EQ(*found, in_model->second);
          }
          EXPECT_EQ(map.contains(key), found != nullptr);
          break;
        }
      }
      ASSERT_EQ(map.size(), model.size());
      ASSERT_EQ(entries(map), model) << "seed " << seed << " step " << step;
    }
  }
}

TEST(ActionMapModel, ReplacingAKeyKeepsItsFirstPlace) {
  EventsTable table;
  table.insert_or_assign(Action{1}, {});
  table.insert_or_assign(Action{0}, {});
  Event replacement;
  replacement.action = Action{1};
  table.insert_or_assign(Action{1}, {TimedEvent{Timing{}, replacement}});
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table.begin()->first, Action{1});
  EXPECT_EQ(table.begin()->second.size(), 1u);
}

// Values changed through the ordered walk, on both sides of the size at which the index starts:
// every key is still found, at its own value, and the order is unchanged.
TEST(ActionMapModel, ValuesChangedInAnOrderedWalkKeepKeysAndOrder) {
  for (std::uint64_t size : {ActionMap<int>::kIndexed - 1, ActionMap<int>::kIndexed + 5}) {
    ActionMap<int> map;
    std::vector<std::pair<Action, int>> model;
    for (std::uint64_t i = 0; i < size; ++i) {
      const Action key{(i * 37) % 101};  // distinct, not in increasing order
      map.insert_or_assign(key, static_cast<int>(i));
      model.emplace_back(key, static_cast<int>(i));
    }
    std::vector<Action> visited, in_order;
    map.for_each_value([&](Action key, int& value) {
      visited.push_back(key);
      value = static_cast<int>(key.idx) * 2;
    });
    for (auto& [key, value] : model) {
      value = static_cast<int>(key.idx) * 2;
      in_order.push_back(key);
    }
    EXPECT_EQ(visited, in_order) << size;
    EXPECT_EQ(entries(map), model) << size;
    for (const auto& [key, value] : model) {
      ASSERT_NE(map.find(key), nullptr) << size;
      EXPECT_EQ(*map.find(key), value);
    }
  }
}

// ---------------------------------------------------------------- PersistentList

using IntList = PersistentList<int>;

std::vector<int> newest_first(const IntList::Ref& list) {
  std::vector<int> out;
  for (int value : IntList::iter_rev(list)) out.push_back(value);
  return out;
}

TEST(PersistentListTest, ReadsNewestFirstAndOldestFirstReversed) {
  IntList::Ref empty;
  EXPECT_TRUE(newest_first(empty).empty());
  const auto abc = IntList::append(3, IntList::append(2, IntList::append(1, empty)));
  EXPECT_EQ(newest_first(abc), (std::vector<int>{3, 2, 1}));
  std::vector<int> oldest = newest_first(abc);
  std::reverse(oldest.begin(), oldest.end());
  EXPECT_EQ(oldest, (std::vector<int>{1, 2, 3}));
}

TEST(PersistentListTest, ChildrenShareTheirParentAndLeaveItUnchanged) {
  const auto parent = IntList::append(2, IntList::append(1, {}));
  const auto before = heap_counts();
  auto x = IntList::append(10, parent);
  EXPECT_EQ(heap_counts().allocations - before.allocations, 1u) << "one cell per append";
  auto y = IntList::append(20, parent);
  EXPECT_EQ(x->tail, parent);
  EXPECT_EQ(y->tail, parent);
  EXPECT_EQ(parent->use_count(), 3u);
  EXPECT_EQ(newest_first(x), (std::vector<int>{10, 2, 1}));
  EXPECT_EQ(newest_first(y), (std::vector<int>{20, 2, 1}));

  x = IntList::Ref();  // releasing a child frees its own cell only
  EXPECT_EQ(parent->use_count(), 2u);
  EXPECT_EQ(newest_first(parent), (std::vector<int>{2, 1}));
  EXPECT_EQ(newest_first(y), (std::vector<int>{20, 2, 1}));
  y = IntList::Ref();
  EXPECT_EQ(heap_counts().live, before.live);
}

// Releases `list` on a thread whose whole stack is 64 KiB: a release that recursed once per
// cell would overflow it many times over.
void release_on_small_stack(IntList::Ref list) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 64 * 1024), 0);
  auto* owned = new IntList::Ref(std::move(list));
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    delete static_cast<IntList::Ref*>(argument);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, owned), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
}

TEST(PersistentListTest, AMillionCellsAreReleasedWithoutRecursion) {
  const auto before = heap_counts();
  IntList::Ref list;
  for (int i = 0; i < 1'000'000; ++i) list = IntList::append(i, list);
  // A second holder of a middle cell keeps that part alive when the head goes.
  IntList::Ref middle = list;
  for (int i = 0; i < 500'000; ++i) middle = middle->tail;
  EXPECT_EQ(middle->elem, 499'999);

  release_on_small_stack(std::move(list));
  EXPECT_EQ(heap_counts().live - before.live, 500'000);
  EXPECT_EQ(newest_first(middle).size(), 500'000u);
  release_on_small_stack(std::move(middle));
  EXPECT_EQ(heap_counts().live, before.live);
}

}  // namespace
}  // namespace quendral::testing
