// The open and closed lists of the memory-bounded search: the min-max heap against a sorted
// reference, the bounded open list's discard rule against a literal model, and the Bloom filter;
// and the release of a search's shared states in address order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "base/containers/bloom_filter.hpp"
#include "base/containers/min_max_heap.hpp"
#include "base/search/searches.hpp"
#include "tests/cpp/test_support.hpp"
#include "tests/cpp/toy_space.hpp"
#include "tests/support/heap_counts.hpp"

namespace quendral::testing {
namespace {

struct IntLess {
  bool operator()(int a, int b) const { return a < b; }
};

// Checks the min-max property of every entry against its descendants.
void expect_min_max_shape(const std::vector<int>& v) {
  for (std::size_t i = 0; i < v.size(); ++i) {
    const bool min_level = (std::bit_width(i + 1) - 1) % 2 == 0;
    std::vector<std::size_t> stack = {2 * i + 1, 2 * i + 2};
    while (!stack.empty()) {
      const std::size_t j = stack.back();
      stack.pop_back();
      if (j >= v.size()) continue;
      if (min_level) {
        ASSERT_LE(v[i], v[j]) << i << " over " << j;
      } else {
        ASSERT_GE(v[i], v[j]) << i << " over " << j;
      }
      stack.push_back(2 * j + 1);
      stack.push_back(2 * j + 2);
    }
  }
}

TEST(MinMaxHeap, MatchesASortedReferenceOnRandomOperations) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    MinMaxHeap<int, IntLess> heap;
    std::multiset<int> reference;
    const int range = 1 + static_cast<int>(rng() % 50);  // small ranges give many equal entries
    for (int step = 0; step < 300; ++step) {
      const unsigned op = static_cast<unsigned>(rng() % 8);
      if (op < 4 || reference.empty()) {
        const int v = static_cast<int>(rng() % static_cast<unsigned>(range));
        heap.push(v);
        reference.insert(v);
      } else if (op == 4) {
        ASSERT_EQ(*heap.pop_min(), *reference.begin());
        reference.erase(reference.begin());
      } else if (op == 5) {
        ASSERT_EQ(*heap.pop_max(), *reference.rbegin());
        reference.erase(std::prev(reference.end()));
      } else if (op == 6) {
        const int v = static_cast<int>(rng() % static_cast<unsigned>(range));
        ASSERT_EQ(heap.replace_min(v), *reference.begin());
        reference.erase(reference.begin());
        reference.insert(v);
      } else {
        ASSERT_EQ(heap.peek_min(), *reference.begin());
        ASSERT_EQ(heap.peek_max(), *reference.rbegin());
      }
      ASSERT_EQ(heap.size(), reference.size());
      expect_min_max_shape(heap.entries());
    }
  }
  MinMaxHeap<int, IntLess> empty;
  EXPECT_FALSE(empty.pop_min());
  EXPECT_FALSE(empty.pop_max());
  EXPECT_NE(internal_failure_of([&] { (void)empty.peek_max(); }), "");
}

TEST(MinMaxHeap, MovesStatesThatCannotBeAssigned) {
  // Search states are move-constructible only; the heap relocates them.
  struct ByNode {
    bool operator()(const State& a, const State& b) const { return ToySpace::node_of(a) < ToySpace::node_of(b); }
  };
  MinMaxHeap<State, ByNode> heap;
  for (std::uint64_t v : {5, 1, 9, 3, 7, 2, 8}) heap.push(ToySpace::make_state(v));
  EXPECT_EQ(ToySpace::node_of(heap.replace_min(ToySpace::make_state(6))), 1u);
  std::vector<std::uint64_t> order;
  while (std::optional<State> s = heap.pop_max()) order.push_back(ToySpace::node_of(*s));
  EXPECT_EQ(order, (std::vector<std::uint64_t>{9, 8, 7, 6, 5, 3, 2}));
}

// ---------------------------------------------------------------- bounded open list

using Entry = PrioritizedItem<State>;
using Bounded = BoundedPriorityQueue<Entry, IsBetter<State>>;

Entry entry(double priority, std::size_t running, std::uint64_t counter) {
  State state = ToySpace::make_state(counter);
  for (std::size_t i = 0; i < running; ++i) state.todo.insert_or_assign(Action{i}, TodoEntry{0, 0});
  return Entry{std::move(state), priority, counter};
}

TEST(BoundedPriorityQueue, FullListAdmitsOnlyABetterEntryInPlaceOfTheWorst) {
  // Literal model: a list of (priority, running, counter); when full, a newcomer that is better
  // than the worst replaces it, anything else is dropped; takes yield the best.
  struct Key {
    double priority;
    std::size_t running;
    std::uint64_t counter;
  };
  auto better = [](const Key& a, const Key& b) {
    if (a.priority != b.priority) return a.priority < b.priority;
    if (a.running != b.running) return a.running < b.running;
    return a.counter < b.counter;
  };
  std::mt19937_64 rng(11);
  for (int round = 0; round < 100; ++round) {
    const std::size_t capacity = 1 + rng() % 6;
    Bounded queue(capacity);
    EXPECT_EQ(queue.reserved(), capacity);
    std::vector<Key> model;
    std::uint64_t counter = 0;
    for (int step = 0; step < 60; ++step) {
      if (rng() % 3 != 0) {
        const Key key{static_cast<double>(rng() % 4), static_cast<std::size_t>(rng() % 2), counter++};
        queue.push(entry(key.priority, key.running, key.counter));
        if (model.size() < capacity) {
          model.push_back(key);
        } else {
          auto worst = std::max_element(model.begin(), model.end(), better);
          if (better(key, *worst)) *worst = key;
        }
      } else {
        std::optional<Entry> taken = queue.pop();
        if (model.empty()) {
          ASSERT_FALSE(taken);
          continue;
        }
        auto best = std::min_element(model.begin(), model.end(), better);
        ASSERT_TRUE(taken);
        ASSERT_EQ(taken->counter, best->counter);
        model.erase(best);
      }
      ASSERT_EQ(queue.size(), model.size());
    }
  }
}

TEST(BoundedPriorityQueue, TiesWithTheWorstAreDiscardedAndCapacityZeroIsABrokenInvariant) {
  Bounded queue(2);
  queue.push(entry(1.0, 0, 0));
  queue.push(entry(3.0, 1, 1));
  queue.push(entry(3.0, 1, 2));  // tied on priority and running actions: the later counter loses
  EXPECT_EQ(queue.worst().counter, 1u);
  queue.push(entry(3.0, 0, 3));  // fewer running actions: better, replaces the worst
  EXPECT_EQ(queue.worst().counter, 3u);
  queue.push(entry(0.5, 2, 4));
  EXPECT_EQ(queue.pop()->counter, 4u);
  EXPECT_EQ(queue.pop()->counter, 0u);
  EXPECT_FALSE(queue.pop());
  Bounded none(0);
  EXPECT_NE(internal_failure_of([&] { none.push(entry(1.0, 0, 0)); }), "");
}

// ---------------------------------------------------------------- Bloom filter

TEST(BloomFilter, SizedByTheStandardFormulas) {
  const double p = 0.0001;
  const std::uint64_t n = 20'000'000;
  const double ln2 = std::log(2.0);
  const auto m = static_cast<std::uint64_t>(std::ceil(-static_cast<double>(n) * std::log(p) / (ln2 * ln2)));
  EXPECT_EQ(BloomFilter::bit_count_for(p, n), m);
  EXPECT_EQ(m, 383'402'336u);  // about 46 MiB
  EXPECT_EQ(BloomFilter::hash_count_for(m, n), 13u);
  const BloomFilter filter = BloomFilter::with_random_seed(p, n);
  EXPECT_EQ(filter.bit_count(), m);
  EXPECT_EQ(filter.hash_count(), 13u);
  EXPECT_EQ(BloomFilter::hash_count_for(10, 100), 1u);  // at least one position
}

TEST(BloomFilter, NoFalseNegativesAndFewFalsePositivesAtTheDesignedLoad) {
  std::mt19937_64 rng(3);
  BloomFilter filter(0.01, 20000, rng());
  std::vector<std::uint64_t> items(20000);
  for (std::uint64_t& item : items) item = rng();
  std::size_t reported_present = 0;
  for (std::uint64_t item : items) reported_present += filter.insert(item);
  EXPECT_LT(reported_present, 400u);  // 1 % of what was new, with room
  for (std::uint64_t item : items) {
    ASSERT_TRUE(filter.contains(item));
    ASSERT_TRUE(filter.insert(item));  // present the second time
  }
  std::size_t false_positives = 0;
  for (int i = 0; i < 100000; ++i) false_positives += filter.contains(rng());
  EXPECT_LT(false_positives, 2000u);  // about 1 %
  // Fresh seeds differ.
  EXPECT_NE(BloomFilter::with_random_seed(0.5, 10).seed(), BloomFilter::with_random_seed(0.5, 10).seed());
}

// Every size class of the release (plain, comparison sort, radix sort): the list ends empty, a
// state still held elsewhere survives with only that reference, every other block is freed.
TEST(ReleaseInAddressOrder, DropsEveryReferenceOnceWhateverTheSize) {
  for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{9000}, std::size_t{70000}}) {
    std::vector<SharedState> kept;
    const auto before = heap_counts().live;
    {
      std::vector<SharedState> states;
      std::mt19937_64 rng(n);
      for (std::size_t i = 0; i < n; ++i) {
        states.push_back(share_state(State(StateValues(std::vector<ExpressionNode>{ExpressionNode::boolean(i % 2 == 0)}))));
        if (rng() % 100 == 0) kept.push_back(states.back());
      }
      std::shuffle(states.begin(), states.end(), rng);
      release_in_address_order(states);
      EXPECT_TRUE(states.empty()) << n;
    }
    for (const SharedState& s : kept) EXPECT_EQ(s.use_count(), 1) << n;
    std::vector<SharedState>().swap(kept);  // the states and the list's own block
    EXPECT_EQ(heap_counts().live, before) << n << " states";
  }
}

}  // namespace
}  // namespace quendral::testing
