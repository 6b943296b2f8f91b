// The containers of packed states: whatever a state holds, it comes back out equal in
// everything a search reads, across chunk boundaries and code widths; the tree searches' queue
// from either end in queue order, the registry under its id, with equal states found again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/search/state_queue.hpp"
#include "base/search/state_registry.hpp"

namespace quendral::testing {

namespace {

using N = ExpressionNode;

// What a search reads of a state, in a form that compares.
struct Seen {
  std::vector<std::string> values;
  double g;
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> path;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> todo;
  bool network;
  std::uint64_t conditions;
  std::size_t cached;
  bool operator==(const Seen&) const = default;
};

Seen seen(const State& state) {
  Seen out{{}, state.g, {}, {}, state.stn.has_value(), state.active_conditions.total(), state.heuristic_cache.size()};
  for (const N& value : state.values) out.values.push_back(value.repr());
  for (const PathEntry& entry : PersistentList<PathEntry>::ReverseRange(state.path.get())) {
    out.path.emplace_back(entry.action.idx, entry.pos, entry.instance);
  }
  for (const auto& [action, entry] : state.todo) out.todo.emplace_back(action.idx, entry.pos);
  return out;
}

// A random state of `fluents` values over `objects`: mostly classical, now and then with a
// number, a running action, a network, a durative condition or a cached value, and sometimes
// a value interned after the queue was made (`late`).
State random_state(std::mt19937& rng, std::size_t fluents, const std::vector<N>& objects, const std::vector<N>& late,
                   const Path& parent) {
  StateValues values;
  for (std::size_t i = 0; i < fluents; ++i) {
    const unsigned pick = rng() % 20;
    if (pick == 0 && !late.empty()) {
      values.push_back(late[rng() % late.size()]);
    } else if (pick == 1) {
      values.push_back(N::boolean(rng() % 2 == 0));
    } else {
      values.push_back(objects[rng() % objects.size()]);
    }
  }
  const unsigned kind = rng() % 12;
  if (kind == 0 && fluents > 0) values.set(rng() % fluents, N::integer(static_cast<std::int64_t>(rng() % 9) - 4));
  std::optional<DeltaSTN<double>> network;
  if (kind == 1) network.emplace(0.001);
  State state(std::move(values), std::move(network));
  if (kind == 2) state.todo.insert_or_assign(Action{rng() % 5}, TodoEntry{1 + rng() % 3, 0});
  if (kind == 3) state.active_conditions.insert(NodeList{N::boolean(true)});
  if (kind == 4) state.heuristic_cache.store("hff", 2.0);
  state.g = static_cast<double>(rng() % 100) / 4;
  // Now and then an event position beyond 32 bits.
  const std::uint64_t pos = rng() % 16 == 0 ? (std::uint64_t{1} << 32) + rng() % 3 : rng() % 3;
  state.path = PersistentList<PathEntry>::append(PathEntry{Action{rng() % 50}, pos, static_cast<std::uint32_t>(rng() % 5)}, parent);
  return state;
}

// The queue against a deque of whole states: seeded pushes and takes from both ends, over enough
// states to cross chunks, with tasks whose codes fit one, two or four bytes. (The sanitizer build
// checks that what the queue still holds at its end is released.)
TEST(StateQueue, AgreesWithADequeOfWholeStates) {
  for (const std::size_t objects_wanted : {std::size_t{3}, std::size_t{300}, std::size_t{70000}}) {
    for (const std::size_t fluents : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{150}}) {
      std::vector<N> objects;
      const std::string prefix = "queue-object-" + std::to_string(objects_wanted) + "-";
      for (std::size_t k = 0; k < objects_wanted; ++k) objects.push_back(N::object(prefix + std::to_string(k)));
      std::mt19937 rng(static_cast<unsigned>(objects_wanted * 31 + fluents));
      std::deque<State> model;
      std::vector<N> late;
      StateQueue queue(fluents);
      if (fluents == 7) {
        const unsigned width = value_code_bound() <= 0x100 ? 1 : value_code_bound() <= 0x10000 ? 2 : 4;
        EXPECT_EQ(queue.code_width(), width);
      }
      // Interned after the queue: a code that may not fit its width.
      late.push_back(N::object(prefix + "late-" + std::to_string(fluents)));
      Path parent;
      const int steps = fluents >= 64 ? 6000 : 20000;
      for (int step = 0; step < steps; ++step) {
        const unsigned op = rng() % 10;
        if (op < 6 || model.empty()) {
          State a = random_state(rng, fluents, objects, fluents == 0 ? std::vector<N>{} : late, parent);
          if (rng() % 4 == 0) parent = a.path;
          State b = a.full_clone();
          b.path = a.path;
          model.push_back(std::move(a));
          queue.push_back(std::move(b));
        } else if (op < 8) {
          const State taken = queue.pop_front();
          ASSERT_EQ(seen(taken), seen(model.front())) << "step " << step;
          ASSERT_TRUE(taken.values == model.front().values);
          model.pop_front();
        } else {
          const State taken = queue.pop_back();
          ASSERT_EQ(seen(taken), seen(model.back())) << "step " << step;
          model.pop_back();
        }
        ASSERT_EQ(queue.size(), model.size());
        ASSERT_EQ(queue.empty(), model.empty());
      }
      // Half taken, the rest released with the queue.
      for (std::size_t k = model.size() / 2; k > 0; --k) {
        ASSERT_EQ(seen(queue.pop_front()), seen(model.front()));
        model.pop_front();
      }
    }
  }
}

// The registry against a list of the states registered so far: seeded states drawn with many
// repeats (so that most inserts meet an equal state), the first of each kind gets the next id,
// every later one is refused, and every id gives back its state.
TEST(StateRegistry, AgreesWithAListOfDistinctStates) {
  for (const std::size_t objects_wanted : {std::size_t{2}, std::size_t{300}, std::size_t{70000}}) {
    for (const std::size_t fluents : {std::size_t{0}, std::size_t{3}, std::size_t{40}, std::size_t{100}}) {
      std::vector<N> objects;
      const std::string prefix = "registry-object-" + std::to_string(objects_wanted) + "-";
      for (std::size_t k = 0; k < std::min<std::size_t>(objects_wanted, 4); ++k) objects.push_back(N::object(prefix + std::to_string(k)));
      for (std::size_t k = 4; k < objects_wanted; ++k) N::object(prefix + std::to_string(k));  // codes to widen
      std::mt19937 rng(static_cast<unsigned>(objects_wanted * 17 + fluents));
      StateRegistry registry(fluents);
      const std::vector<N> late{N::object(prefix + "late-" + std::to_string(fluents))};
      std::vector<State> distinct;
      // A small pool of states, drawn again and again (fresh copies, so no leaf is shared), over
      // a few parents' paths (the root's among them) that only the states hold.
      std::vector<Path> parents{Path()};
      for (int k = 0; k < 4; ++k) {
        parents.push_back(PersistentList<PathEntry>::append(PathEntry{Action{static_cast<std::uint64_t>(k)}, 0, 0}, parents.back()));
      }
      std::vector<State> pool;
      for (int k = 0; k < 3000; ++k) {
        State s = random_state(rng, fluents, objects, fluents == 0 ? std::vector<N>{} : late, parents[rng() % parents.size()]);
        // The registry's states come from a search without durative actions, before evaluation.
        s.stn.reset();
        s.todo = Todo();
        s.active_conditions = ConditionMultiset();
        if (s.heuristic_cache.size() != 0) continue;
        if (k % 500 == 0) s.path = Path();  // a root
        pool.push_back(std::move(s));
      }
      parents.clear();
      for (int step = 0; step < 8000; ++step) {
        const State& drawn = pool[rng() % pool.size()];
        State copy(StateValues(drawn.values.begin(), drawn.values.end()));
        copy.g = drawn.g;
        copy.path = drawn.path;
        const std::optional<StateRegistry::Id> id = registry.insert(copy);
        std::optional<std::size_t> known;
        for (std::size_t k = 0; k < distinct.size() && !known; ++k) {
          if (distinct[k] == copy) known = k;
        }
        if (known) {
          ASSERT_FALSE(id.has_value()) << "step " << step;
        } else {
          ASSERT_EQ(id, std::optional<StateRegistry::Id>(static_cast<StateRegistry::Id>(distinct.size()))) << "step " << step;
          distinct.push_back(copy.full_clone());
        }
        ASSERT_EQ(registry.size(), distinct.size());
      }
      for (std::size_t k = 0; k < distinct.size(); ++k) {
        const State back = registry.get(static_cast<StateRegistry::Id>(k));
        ASSERT_EQ(seen(back), seen(distinct[k])) << "id " << k;
        ASSERT_TRUE(back == distinct[k]);
      }
    }
  }
}

// The path events of `state`, newest first.
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> events(const State& state) {
  return seen(state).path;
}

// A state of three coded values whose path is `event` over `tail`.
State child_of(const Path& tail, PathEntry event, std::uint64_t k) {
  State state(StateValues(std::vector<N>{N::object("path-holder-a"), N::boolean(k % 2 == 0), N::object(k % 3 ? "path-holder-b" : "path-holder-c")}));
  state.g = static_cast<double>(k);
  state.path = PersistentList<PathEntry>::append(event, tail);
  return state;
}

// The containers alone hold their states' parents: siblings whose parent path nobody else holds
// any more come back with that path, from either end of the queue and from the registry, and
// after the search's own pattern (take a state, queue the children of the rebuilt state, drop
// it); event positions up to the packed limit and past it come back alike.
TEST(PackedStates, ContainersAloneHoldThePathsOfTheirStates) {
  using Entry = std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>;
  const PathEntry e1{Action{1}, 0, 0};
  const PathEntry e2{Action{2}, 1, 5};
  const std::uint64_t positions[] = {0, 0xFFFFFFFEull, 0xFFFFFFFFull, std::uint64_t{1} << 40};
  for (const bool from_front : {true, false}) {
    StateQueue queue(3);
    {
      const Path parent = PersistentList<PathEntry>::append(e2, PersistentList<PathEntry>::append(e1, Path()));
      for (std::uint64_t k = 0; k < 4; ++k) queue.push_back(child_of(parent, PathEntry{Action{10 + k}, positions[k], 7}, k));
      // This one, the run of the two siblings that pack, and the two kept whole (their event
      // positions do not pack), which hold their own paths.
      EXPECT_EQ(parent->use_count(), 4u);
    }
    const std::uint64_t k0 = from_front ? 0 : 3;
    {
      const State first = from_front ? queue.pop_front() : queue.pop_back();
      EXPECT_EQ(events(first), (std::vector<Entry>{{10 + k0, positions[k0], 7}, {2, 1, 5}, {1, 0, 0}}));
      EXPECT_EQ(first.g, static_cast<double>(k0));
      // Children of the rebuilt state, which then goes: the queue holds its path alone.
      for (std::uint64_t c = 0; c < 3; ++c) queue.push_back(child_of(first.path, PathEntry{Action{20 + c}, 0, 0}, c));
    }
    // The three siblings left and the three children, in queue order.
    std::vector<std::vector<Entry>> left;
    while (!queue.empty()) left.push_back(events(from_front ? queue.pop_front() : queue.pop_back()));
    std::vector<std::vector<Entry>> expected;
    for (std::uint64_t k = 0; k < 4; ++k) {
      if (k != k0) expected.push_back({{10 + k, positions[k], 7}, {2, 1, 5}, {1, 0, 0}});
    }
    std::vector<std::vector<Entry>> children;
    for (std::uint64_t c = 0; c < 3; ++c) children.push_back({{20 + c, 0, 0}, {10 + k0, positions[k0], 7}, {2, 1, 5}, {1, 0, 0}});
    if (from_front) {
      expected.insert(expected.end(), children.begin(), children.end());
    } else {
      std::reverse(children.begin(), children.end());
      std::reverse(expected.begin(), expected.end());
      expected.insert(expected.begin(), children.begin(), children.end());
    }
    EXPECT_EQ(left, expected);
  }
  StateRegistry registry(3);
  {
    const Path parent = PersistentList<PathEntry>::append(e2, PersistentList<PathEntry>::append(e1, Path()));
    for (std::uint64_t k = 0; k < 4; ++k) {
      EXPECT_EQ(registry.insert(child_of(parent, PathEntry{Action{10 + k}, positions[k], 7}, k)),
                std::optional<StateRegistry::Id>(static_cast<StateRegistry::Id>(k)));
    }
    EXPECT_EQ(parent->use_count(), 4u);  // as in the queue
  }
  for (std::uint64_t k = 0; k < 4; ++k) {
    EXPECT_EQ(events(registry.get(static_cast<StateRegistry::Id>(k))),
              (std::vector<Entry>{{10 + k, positions[k], 7}, {2, 1, 5}, {1, 0, 0}}));
  }
}

}  // namespace

}  // namespace quendral::testing
