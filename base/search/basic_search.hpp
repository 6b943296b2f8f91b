// Breadth- and depth-first search: the uninformed tree searches.
#pragma once

#include <ostream>
#include <optional>
#include <string_view>
#include <utility>

#include "base/search/framework.hpp"
#include "base/search/state_queue.hpp"

namespace quendral {

// A tree search without heuristic and without duplicate detection: the open list is a queue of
// states held by value (packed, state_queue.hpp), new states enter at the back, and `bfs` takes
// from the front (oldest first), depth-first from the back (newest first). Logs as "bfs" or
// "dfs".
//
// With `early_termination` the root and every successor are tested for the goal when they are
// made (a goal successor is neither queued nor counted); without it, each state when it is
// taken. The generation count grows by one per queued successor.
template <SearchSpaceTrait S>
SearchResult basic_search(const S& space, bool bfs, std::optional<float> timeout, bool early_termination) {
  SearchRun run(bfs ? "bfs" : "dfs", timeout, early_termination, [&](std::ostream& out) {
    out << "timeout=" << format_timeout(timeout) << " early_termination=" << format_flag(early_termination);
  });
  State root = space.initial_state();
  if (auto result = run.goal_at_root(space, root)) return std::move(*result);

  StateQueue open(root.values.size());
  open.push_back(std::move(root));
  while (!open.empty()) {
    run.check_time();
    State state = bfs ? open.pop_front() : open.pop_back();
    run.count_expansion([&] { return open.size(); });
    if (auto result = run.goal_when_taken(space, state)) return std::move(*result);
    // The space's own stream gives the successors over the relevant actions in order, and may
    // skip the actions it knows to have none without trying them.
    auto successors = space.get_successor_states_iter(state);
    while (std::optional<State> successor = successors.next()) {
      if (auto result = run.goal_when_made(space, *successor)) return std::move(*result);
      open.push_back(std::move(*successor));
      run.count_generated();
    }
  }
  return run.exhausted();
}

}  // namespace quendral
