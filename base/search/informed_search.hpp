// The informed searches with one open list: weighted A* (greedy best-first at weight 1, A* at
// 0.5), its memory-bounded variant, and enforced hill-climbing.
//
// Weighted A* and the memory-bounded search are one best-first loop (`weighted_best_first`)
// over two choices: the open list (an unbounded binary heap of registered ids or, for a temporal
// task, of shared states; or a bounded double-ended heap that owns its states) and the closed
// list (the registry of packed states, a duplicate set of shared states, or a Bloom filter over
// the states' values). Neither ever reopens a state: a successor that the closed list has seen
// is dropped before it is evaluated.
//
// Each expanded state feeds a lazy pipeline: successor generation over `relevant_actions`, the
// search's duplicate filter, then the heuristic. One request makes, filters and evaluates one
// successor and nothing more, so a duplicate is never evaluated and hill-climbing pays nothing
// for the actions after its first improving successor.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

#include "base/containers/bloom_filter.hpp"
#include "base/containers/lazy_sequence.hpp"
#include "base/search/duplicates.hpp"
#include "base/search/framework.hpp"
#include "base/search/heuristic_trait.hpp"
#include "base/search/open_lists.hpp"
#include "base/search/state_registry.hpp"
#include "base/space/search_space_trait.hpp"

namespace quendral {

// ---------------------------------------------------------------- the duplicate filters

// The middle stage of a pipeline: pulls successors until `filter` lets one through, turning it
// into the item the evaluation stage takes. `filter(State&&)` returns the item, or nothing to
// drop the successor.
template <class Successors, class Filter>
class FilteredSuccessors {
 public:
  using Item = typename Filter::Item;

  FilteredSuccessors(Successors successors, Filter filter)
      : successors_(std::move(successors)), filter_(std::move(filter)) {}

  std::optional<Item> next() {
    while (std::optional<State> successor = successors_.next()) {
      if (std::optional<Item> item = filter_(std::move(*successor))) return item;
    }
    return std::nullopt;
  }

 private:
  Successors successors_;
  Filter filter_;
};

// Weighted A*: the successor is shared and inserted into the duplicate set; when an equal state
// was there already, the set keeps its element and the successor is dropped.
struct TestAndInsertFilter {
  using Item = SharedState;
  DuplicateSet* set;
  std::optional<SharedState> operator()(State&& successor) const { return set->insert_new(std::move(successor)); }
};

// Hill-climbing: the successor is dropped when equal to an element of the set, which holds the
// states expanded since the last improvement; the set is not changed here.
struct TestOnlyFilter {
  using Item = SharedState;
  const DuplicateSet* set;
  std::optional<SharedState> operator()(State&& successor) const {
    SharedState shared = share_state(std::move(successor));
    if (set->contains(shared)) return std::nullopt;
    return shared;
  }
};

// The key of a state in the Bloom filter: its values alone (running actions, network and the
// rest do not take part, with or without weak equality). The values' digest is cached in the
// persistent vector, so this costs one lookup for a state that shares its parent's nodes.
inline std::uint64_t bloom_key(const State& state) noexcept { return state.values.hash(); }

// The memory-bounded search: the successor's key enters the filter; when the filter reported it
// present, the successor is dropped. Without a filter (a temporal task without weak equality)
// every successor passes. The owned state moves on without a copy.
struct BloomFilterStage {
  using Item = State;
  BloomFilter* filter;
  std::optional<State> operator()(State&& successor) const {
    if (filter && filter->insert(bloom_key(successor))) return std::nullopt;
    return std::optional<State>(std::move(successor));
  }
};

// The whole pipeline of one expanded state: it borrows the state, the space, the heuristic and
// the duplicate set, and must not outlive them.
template <class Filter, SearchSpaceTrait S, class H>
  requires HeuristicTrait<H, S>
auto successor_pipeline(const S& space, const H& heuristic, const State& state, Filter filter) {
  using Successors = decltype(space.get_successor_states_iter(state));
  using Inner = FilteredSuccessors<Successors, Filter>;
  return EvalGen<H, S, typename Filter::Item, Inner>(
      heuristic, Inner(space.get_successor_states_iter(state), std::move(filter)), space);
}

// The sizes of the memory-bounded search.
inline constexpr std::size_t kBoundedOpenListCapacity = 400000;
inline constexpr double kClosedListFalsePositiveRate = 0.0001;
inline constexpr std::uint64_t kClosedListExpectedItems = 20'000'000;

// ---------------------------------------------------------------- one best-first loop

namespace detail {

inline const State& state_of(const State& state) noexcept { return state; }
inline const State& state_of(const SharedState& state) noexcept { return *state; }

// Weighted A* of a temporal task: shared states, a binary heap, a duplicate set filled at
// generation.
struct UnboundedBestFirst {
  static constexpr std::string_view kName = "wastar_search";
  using Item = SharedState;
  using Entry = PrioritizedItem<Item>;
  using Open = OpenList;

  struct Closed {
    DuplicateSet set;
    Closed(bool is_temporal, bool weak_equality, const State&)
        : set(DuplicateSet::choose(is_temporal, weak_equality)) {}
    void insert_root(const SharedState& root) { set.insert(root); }
    TestAndInsertFilter filter() { return TestAndInsertFilter{&set}; }
    static Entry entry(Item&& item, double priority, std::uint64_t counter) {
      return Entry{std::move(item), priority, counter};
    }
    static const State& expand(const Entry& entry) noexcept { return entry.state(); }
  };

  static Item make_root(State&& root) { return share_state(std::move(root)); }
  static Open make_open() { return Open(); }
};

// Weighted A* of a task without durative actions: the states in a registry (packed, under ids),
// which is also the duplicate test; the open list holds ids, and an expanded state is rebuilt
// from its slot. The pipeline hands on the successor itself, registered by the filter, whose id
// the entry then takes: the evaluation stage pulls one successor per request, so the id the
// filter recorded last is that of the item at hand.
struct RegisteredBestFirst {
  static constexpr std::string_view kName = "wastar_search";
  using Item = State;
  using Entry = PrioritizedItem<StateRegistry::Id>;
  using Open = BinaryHeap<Entry, IsBetter<StateRegistry::Id>>;

  struct Filter {
    using Item = State;
    StateRegistry* registry;
    StateRegistry::Id* last;
    std::optional<State> operator()(State&& successor) const {
      const std::optional<StateRegistry::Id> id = registry->insert(successor);
      if (!id) return std::nullopt;
      *last = *id;
      return std::optional<State>(std::move(successor));
    }
  };

  struct Closed {
    StateRegistry registry;
    StateRegistry::Id last = 0;  // the id of the state the filter let through last
    Closed(bool, bool, const State& root) : registry(root.values.size()) {}
    void insert_root(const State& root) { last = *registry.insert(root); }
    Filter filter() { return Filter{&registry, &last}; }
    Entry entry(Item&& item, double priority, std::uint64_t counter) const {
      return Entry{last, priority, counter, item.todo.size()};
    }
    State expand(const Entry& entry) const { return registry.get(entry.item); }
  };

  static Item make_root(State&& root) { return std::move(root); }
  static Open make_open() { return Open(); }
};

// Memory-bounded weighted A*: owned states, a bounded double-ended heap, a Bloom filter over the
// values (none for a temporal task without weak equality).
struct BoundedBestFirst {
  static constexpr std::string_view kName = "wastar_search_memory_bounded";
  using Item = State;
  using Entry = PrioritizedItem<State>;
  using Open = BoundedPriorityQueue<PrioritizedItem<State>, IsBetter<State>>;

  struct Closed {
    std::optional<BloomFilter> filter_;
    Closed(bool is_temporal, bool weak_equality, const State&) {
      if (!is_temporal || weak_equality) {
        filter_.emplace(BloomFilter::with_random_seed(kClosedListFalsePositiveRate, kClosedListExpectedItems));
      }
    }
    void insert_root(const State& root) {
      if (filter_) filter_->insert(bloom_key(root));
    }
    BloomFilterStage filter() { return BloomFilterStage{filter_ ? &*filter_ : nullptr}; }
    static Entry entry(Item&& item, double priority, std::uint64_t counter) {
      return Entry{std::move(item), priority, counter};
    }
    static const State& expand(const Entry& entry) noexcept { return entry.state(); }
  };

  static Item make_root(State&& root) { return std::move(root); }
  static Open make_open() { return Open(kBoundedOpenListCapacity); }
};

template <class Variant, SearchSpaceTrait S, class H>
  requires HeuristicTrait<H, S>
SearchResult weighted_best_first(const S& space, const H& heuristic, double weight, std::optional<float> timeout,
                                 bool early_termination, bool weak_equality) {
  using Item = typename Variant::Item;
  SearchRun run(Variant::kName, timeout, early_termination, [&](std::ostream& out) {
    out << "weight=" << format_f64(weight) << " timeout=" << format_timeout(timeout)
        << " early_termination=" << format_flag(early_termination) << " weak_equality=" << format_flag(weak_equality);
  });
  Item root = Variant::make_root(space.initial_state());
  if (auto result = run.goal_at_root(space, state_of(root))) return std::move(*result);

  typename Variant::Closed closed(space.is_temporal(), weak_equality, state_of(root));
  closed.insert_root(root);
  const HeuristicValue root_value = heuristic.eval(state_of(root), space);
  if (!root_value) return SearchRun::dead_end_at_root();
  typename Variant::Open open = Variant::make_open();
  // Alone in the open list, the root is taken first whatever its priority.
  open.push(closed.entry(std::move(root), *root_value, 0));

  while (std::optional<typename Variant::Entry> entry = open.pop()) {
    run.check_time();
    run.count_expansion([&] { return open.size(); });
    // The entry's state, or the state rebuilt from the registry (held here while it expands).
    decltype(auto) held = closed.expand(*entry);
    const State& state = held;
    if (auto result = run.goal_when_taken(space, state)) return std::move(*result);
    auto pipeline = successor_pipeline(space, heuristic, state, closed.filter());
    while (std::optional<Evaluated<Item>> item = pipeline.next()) {
      const State& successor = state_of(item->state);
      // Before the dead-end test: a goal without a heuristic value is still a goal.
      if (auto result = run.goal_when_made(space, successor)) return std::move(*result);
      if (item->value) {
        const double priority = blend_priority(weight, successor.g, *item->value);
        open.push(closed.entry(std::move(item->state), priority, run.counters().generated));
      }
      run.count_generated();
    }
  }
  return run.exhausted();
}

// Whether the states of a task without durative actions are worth a registry: its initial
// values are all Booleans and objects (a numeric task's states would all be kept whole, each a
// copy, where one shared state serves). A space without an initial state says no here and
// fails in the search itself, after its start record.
template <SearchSpaceTrait S>
bool root_packs(const S& space) {
  try {
    return space.initial_state().values.all_coded();
  } catch (const Error&) {
    return false;
  }
}

}  // namespace detail

// ---------------------------------------------------------------- the searches

// Best-first search by the priority ((1 − w) × g) + (w × h): greedy at w = 1, A* order at
// w = 0.5, uniform cost at w = 0. Ties go to fewer running actions, then to the earlier
// generated state. Duplicates are dropped when generated (the first copy of a state is the only
// one ever pushed); dead ends count as generated and are dropped. Logs as "wastar_search".
template <SearchSpaceTrait S, class H>
  requires HeuristicTrait<H, S>
SearchResult wastar_search(const S& space, const H& heuristic, double weight, std::optional<float> timeout,
                           bool early_termination, bool weak_equality) {
  if (!space.is_temporal() && detail::root_packs(space)) {
    return detail::weighted_best_first<detail::RegisteredBestFirst>(space, heuristic, weight, timeout,
                                                                    early_termination, weak_equality);
  }
  return detail::weighted_best_first<detail::UnboundedBestFirst>(space, heuristic, weight, timeout,
                                                                 early_termination, weak_equality);
}

// `wastar_search` in bounded memory: at most 400000 open entries (a full list discards its worst
// entry for a better newcomer, or the newcomer), and a Bloom filter of fixed size keyed by the
// states' values as the closed list. A discarded state's key stays in the filter, so a run
// without a plan proves nothing. Logs as "wastar_search_memory_bounded".
template <SearchSpaceTrait S, class H>
  requires HeuristicTrait<H, S>
SearchResult wastar_search_memory_bounded(const S& space, const H& heuristic, double weight,
                                          std::optional<float> timeout, bool early_termination, bool weak_equality) {
  return detail::weighted_best_first<detail::BoundedBestFirst>(space, heuristic, weight, timeout, early_termination,
                                                               weak_equality);
}

// Enforced hill-climbing: breadth-first from the best state so far until a successor's value is
// strictly below the best value; then commit to it, forget the queue and the duplicate set, and
// start over from it. The first improving successor wins: the expanded state's remaining actions
// are not tried. A NaN is never an improvement. The run ends without a plan when a breadth-first
// phase runs out of states. It logs no progress lines; its debug lines show the initial and
// every improved value.
template <SearchSpaceTrait S, class H>
  requires HeuristicTrait<H, S>
SearchResult ehc_search(const S& space, const H& heuristic, std::optional<float> timeout, bool early_termination,
                        bool weak_equality) {
  SearchRun run("ehc_search", timeout, early_termination, [&](std::ostream& out) {
    out << "timeout=" << format_timeout(timeout) << " early_termination=" << format_flag(early_termination)
        << " weak_equality=" << format_flag(weak_equality);
  });
  const SharedState root = share_state(space.initial_state());
  if (auto result = run.goal_at_root(space, *root)) return std::move(*result);
  const HeuristicValue root_value = heuristic.eval(*root, space);
  if (!root_value) return SearchRun::dead_end_at_root();
  double best = *root_value;
  QLOG(Debug, kSearchLogTarget, run.name() << ": initial h=" << format_fixed4(best));

  std::deque<SharedState> queue{root};
  // The states expanded since the last improvement.
  DuplicateSet expanded(DuplicateSet::choose(space.is_temporal(), weak_equality));
  while (!queue.empty()) {
    const SharedState state = std::move(queue.front());
    queue.pop_front();
    run.check_time();
    run.count_expansion_without_progress();
    if (auto result = run.goal_when_taken(space, *state)) return std::move(*result);
    expanded.insert(state);
    auto pipeline = successor_pipeline(space, heuristic, *state, TestOnlyFilter{&expanded});
    while (std::optional<Evaluated<SharedState>> item = pipeline.next()) {
      run.count_generated();
      if (auto result = run.goal_when_made(space, *item->state)) return std::move(*result);
      if (!item->value) continue;
      if (*item->value < best) {
        best = *item->value;
        queue.clear();
        queue.push_back(std::move(item->state));
        QLOG(Debug, kSearchLogTarget,
             run.name() << ": improved h=" << format_fixed4(best) << " expanded=" << run.counters().expanded
                        << " generated=" << run.counters().generated);
        expanded.clear();
        break;  // the pipeline stops here: the remaining actions are never tried
      }
      queue.push_back(std::move(item->state));
    }
  }
  return run.exhausted();
}

}  // namespace quendral
