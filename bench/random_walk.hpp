// States of a task visited by a seeded random walk, for the heuristic benchmarks and tests: from
// the root, each step moves to a successor drawn uniformly (in the order the search space
// generates them), and a state without successors sends the walk back to the root.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "base/space/search_space.hpp"

namespace quendral::bench {

inline std::vector<std::shared_ptr<const State>> random_walk(const SearchSpace& space, std::uint64_t seed,
                                                             std::size_t steps) {
  std::mt19937_64 random(seed);
  std::vector<std::shared_ptr<const State>> visited{std::make_shared<const State>(space.initial_state())};
  while (visited.size() <= steps) {
    std::vector<State> children;
    auto stream = space.get_successor_states_iter(*visited.back());
    while (auto child = stream.next()) children.push_back(std::move(*child));
    if (children.empty()) {
      visited.push_back(std::make_shared<const State>(space.initial_state()));
      continue;
    }
    std::uniform_int_distribution<std::size_t> pick(0, children.size() - 1);
    visited.push_back(std::make_shared<const State>(std::move(children[pick(random)])));
  }
  return visited;
}

}  // namespace quendral::bench
