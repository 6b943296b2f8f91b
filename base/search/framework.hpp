// The search framework, written once for every search routine, and the uninformed search.
//
// Every routine is a template over the task (SearchSpaceTrait) and, for the informed ones, the
// heuristic (HeuristicTrait). What they all share lives here and nowhere else:
//  - `SearchResult`: the plan (one `Action` per applied event) and the statistics texts;
//  - `SearchTimer`: the timeout, tested in single precision against the wall clock;
//  - `SearchCounters` and the log records of a run, with their exact texts and printed forms;
//  - `extract_path`: the plan read from a goal state's path;
//  - `PrioritizedItem` and its order, for the open lists of the weighted searches;
//  - `WeakEqState` and `DuplicateSet`, the duplicate detection of the informed searches.
//
// A run reports failures by throwing: `quendral::Error` for an error of the task or of the
// heuristic, passed on unchanged (nothing is logged then), `Error(TimeoutError, "Timeout")` when
// the time is up, and `InternalFailure` for a broken invariant. A run keeps nothing once it
// returns: its open list, duplicate set and states are released whatever the ending.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "base/search/heuristic_trait.hpp"
#include "base/core/log.hpp"
#include "base/space/search_space_trait.hpp"
#include "base/space/search_state.hpp"
#include "base/task/records.hpp"
#include "base/core/numbers.hpp"

namespace quendral {

// The log target of the searches of this module; Python sees it as the logger
// "quendral_base.search".
inline constexpr std::string_view kSearchLogTarget = "quendral_base::search";

// ---------------------------------------------------------------- result and statistics

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    FxHasher h;
    h.write_bytes(text.data(), text.size());
    h.write_u8(0xff);
    return h.finish();
  }
};
struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// Statistic name → its text. Keys: "expanded_states" always, "goal_depth" with a plan.
using Statistics = boost::unordered_flat_map<std::string, std::string, TextHash, TextEqual>;

inline constexpr std::string_view kExpandedStates = "expanded_states";
inline constexpr std::string_view kGoalDepth = "goal_depth";

struct SearchResult {
  std::optional<std::vector<Action>> plan;  // present exactly when a goal was found
  Statistics statistics;
};

// The actions of the state's applied events, oldest first: one entry per event, so an instance
// of n events is listed n times (compressed steps included); the root's plan is empty.
std::vector<Action> extract_path(const State& state);

// The result of a run that found `goal` after `expanded` expansions: its plan,
// "expanded_states" and "goal_depth" (the goal's g).
SearchResult goal_result(const State& goal, std::uint64_t expanded);
// The result of a run that ended without a plan: "expanded_states" alone.
SearchResult no_plan_result(std::uint64_t expanded);

// ---------------------------------------------------------------- printed forms

// A double in its shortest round-trip decimal form without exponent, no fractional part for a
// whole number: "0.5", "1", "3", "-0"; "NaN", "inf", "-inf".
std::string format_f64(double value);
// A 32-bit float in its shortest round-trip form, always with a fractional part or an exponent:
// "10.0", "0.5", "1e-5", "1e16", "1.5e-7" (exponent notation below 1e-4 and from 1e16 on).
std::string format_f32(float value);
// The optional timeout: "None", or "Some(" + format_f32 + ")".
std::string format_timeout(std::optional<float> timeout);
inline const char* format_flag(bool flag) noexcept { return flag ? "true" : "false"; }
// A double with exactly four decimals, rounded half to even on the exact binary value:
// "3.0000", "12.5000"; "NaN", "inf", "-inf".
std::string format_fixed4(double value);

// ---------------------------------------------------------------- counters and log records

struct SearchCounters {
  std::uint64_t expanded = 0;   // once per expanded state, before its goal test
  std::uint64_t generated = 1;  // the root counts; each search says what else does
};

// A progress line is due at every 10000th expansion.
inline bool progress_due(std::uint64_t expanded) noexcept { return expanded % 10000 == 0; }

// The records below go to `target`: the searches of this module log under kSearchLogTarget, the
// multi-queue search under its own.
// "<name>: expanded=<n> generated=<n> open=<n>" at debug level.
void log_progress(std::string_view name, const SearchCounters& counters, std::size_t open,
                  std::string_view target = kSearchLogTarget);
// "<name>: goal found — expanded=<n> depth=<g>" at info level.
void log_goal_found(std::string_view name, std::uint64_t expanded, double depth,
                    std::string_view target = kSearchLogTarget);
// "<name>: no solution found — expanded=<n>" at info level.
void log_no_solution(std::string_view name, std::uint64_t expanded, std::string_view target = kSearchLogTarget);

// ---------------------------------------------------------------- timeout

// The timeout of one run, in seconds; none means no limit. The start instant is read when the
// timer is made, and the clock is read again only by runs with a timeout.
class SearchTimer {
 public:
  using Clock = std::chrono::system_clock;

  explicit SearchTimer(std::optional<float> timeout) : timeout_(timeout), start_(Clock::now()) {}
  SearchTimer(std::optional<float> timeout, Clock::time_point start) : timeout_(timeout), start_(start) {}

  // True when the seconds elapsed since the start, in single precision, exceed the timeout
  // (strictly). A NaN or +infinity timeout never expires, a negative one at once, 0 as soon as
  // any time has passed. A clock that reads earlier than the start is an internal failure.
  bool time_up_at(Clock::time_point now) const;
  bool time_up() const { return timeout_ && time_up_at(Clock::now()); }
  // Throws Error(TimeoutError, "Timeout") when the time is up.
  void check() const {
    if (time_up()) throw_timeout();
  }
  [[noreturn]] static void throw_timeout();

 private:
  std::optional<float> timeout_;
  Clock::time_point start_;
};

// ---------------------------------------------------------------- open-list entries

// An entry of the open lists of the weighted searches: `item` is a `SharedState` (weighted A*)
// or an owned `State` (the memory-bounded search); `counter` is the generation count when the
// entry was made (0 for the root), unique within a run and increasing with insertion.
template <class T>
struct PrioritizedItem {
  T item;
  double priority;
  std::uint64_t counter;

  const State& state() const noexcept {
    if constexpr (std::is_same_v<T, State>) {
      return item;
    } else {
      return *item;
    }
  }
};

// Whether `a` is to be taken before `b`: the lower priority; else (equal priorities, or a NaN
// on either side, which is neither lower nor higher) fewer running actions; else the lower
// counter. Total without NaN; with NaN it is applied comparison by comparison as a heap meets it.
template <class T>
bool is_better(const PrioritizedItem<T>& a, const PrioritizedItem<T>& b) noexcept {
  if (a.priority < b.priority) return true;
  if (b.priority < a.priority) return false;
  const std::size_t running_a = a.state().todo.size();
  const std::size_t running_b = b.state().todo.size();
  if (running_a != running_b) return running_a < running_b;
  return a.counter < b.counter;
}

// The priority of a state with path cost `g` and heuristic value `h` under `weight` w:
// ((1 − w) × g) + (w × h), each of the four operations rounded on its own. It is not g + w × h:
// w = 0.5 gives half the A* value, w = 1 gives h alone (for finite g), w = 0 gives g alone.
// Defined out of line in a file compiled without contraction, so that no caller's optimiser can
// fuse a multiply and an add into one rounding.
double blend_priority(double weight, double g, double h) noexcept;

// An array-based binary heap with the better entry on top: push appends and sifts up, take moves
// the last entry to the top and sifts down. `Better(a, b)` is applied comparison by comparison,
// so a NaN priority (an order that is not a strict weak order, which the standard heap
// algorithms may not be given) only leaves the order among the incomparable entries unspecified.
template <class T, class Better>
class BinaryHeap {
 public:
  std::size_t size() const noexcept { return data_.size(); }
  bool empty() const noexcept { return data_.empty(); }

  void push(T entry) {
    data_.push_back(std::move(entry));
    std::size_t i = data_.size() - 1;
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!better_(data_[i], data_[parent])) break;
      std::swap(data_[i], data_[parent]);
      i = parent;
    }
  }

  std::optional<T> pop() {
    if (data_.empty()) return std::nullopt;
    std::optional<T> top(std::move(data_.front()));
    if (data_.size() > 1) data_.front() = std::move(data_.back());
    data_.pop_back();
    const std::size_t n = data_.size();
    std::size_t i = 0;
    for (;;) {
      const std::size_t left = 2 * i + 1;
      if (left >= n) break;
      std::size_t child = left;
      if (left + 1 < n && better_(data_[left + 1], data_[left])) child = left + 1;
      if (!better_(data_[child], data_[i])) break;
      std::swap(data_[i], data_[child]);
      i = child;
    }
    return top;
  }

 private:
  std::vector<T> data_;
  [[no_unique_address]] Better better_;
};

template <class T>
struct IsBetter {
  bool operator()(const PrioritizedItem<T>& a, const PrioritizedItem<T>& b) const noexcept { return is_better(a, b); }
};

// The open list of weighted A*: shared states, best entry first.
using OpenList = BinaryHeap<PrioritizedItem<SharedState>, IsBetter<SharedState>>;

// ---------------------------------------------------------------- duplicate detection

// A state under weak equality: equal when the two states have the same number of running
// actions, equal values, and every running action of the first runs in the second at the same
// next-event position. Instance numbers, networks, durative conditions, g, paths and caches do
// not take part. Hashed on the values alone, as `State` is.
struct WeakEqState {
  SharedState state;

  friend bool operator==(const WeakEqState& a, const WeakEqState& b) noexcept;
};

// The set of already seen states of one informed search, chosen at the start of the run:
//  - a task without durative actions: states under `State` equality (equal values);
//  - a temporal task with weak equality: `WeakEqState`s;
//  - a temporal task without: none, every test passes and nothing is kept.
// The same shared state is equal to itself before contents are compared.
class DuplicateSet {
 public:
  enum class Kind { None, States, WeakStates };

  static Kind choose(bool is_temporal, bool weak_equality) noexcept {
    if (!is_temporal) return Kind::States;
    return weak_equality ? Kind::WeakStates : Kind::None;
  }

  explicit DuplicateSet(Kind kind) : kind_(kind) {}

  Kind kind() const noexcept { return kind_; }
  // True when a state equal to `state` is in the set (always false without a set).
  bool contains(const SharedState& state) const;
  // Adds `state` unless an equal one is present, which the set then keeps. True when added, and
  // always true without a set.
  bool insert(const SharedState& state);
  std::size_t size() const noexcept { return kind_ == Kind::WeakStates ? weak_.size() : states_.size(); }
  void clear() noexcept {
    states_.clear();
    weak_.clear();
  }

 private:
  struct StateKeyHash {
    std::size_t operator()(const SharedState& s) const noexcept { return s->hash(); }
    std::size_t operator()(const WeakEqState& s) const noexcept { return s.state->hash(); }
  };
  struct StateKeyEqual {
    bool operator()(const SharedState& a, const SharedState& b) const noexcept { return a == b || a->eq(*b); }
  };

  Kind kind_;
  boost::unordered_flat_set<SharedState, StateKeyHash, StateKeyEqual> states_;
  boost::unordered_flat_set<WeakEqState, StateKeyHash> weak_;
};

// ---------------------------------------------------------------- breadth- and depth-first

// A tree search without heuristic and without duplicate detection: the open list is a queue of
// states held by value, new states enter at the back, and `bfs` takes from the front (oldest
// first), depth-first from the back (newest first). Logs as "bfs" or "dfs".
//
// With `early_termination` the root and every successor are tested for the goal when they are
// made (a goal successor is neither queued nor counted); without it, each state when it is
// taken. The generation count grows by one per queued successor.
template <SearchSpaceTrait S>
SearchResult basic_search(const S& space, bool bfs, std::optional<float> timeout, bool early_termination) {
  const std::string_view name = bfs ? "bfs" : "dfs";
  QLOG(Info, kSearchLogTarget,
       name << ": timeout=" << format_timeout(timeout) << " early_termination=" << format_flag(early_termination));
  const SearchTimer timer(timeout);
  State root = space.initial_state();
  SearchCounters counters;
  if (early_termination && space.goal_reached(root)) return goal_result(root, 0);

  std::deque<State> open;
  open.push_back(std::move(root));
  while (!open.empty()) {
    timer.check();
    std::deque<State>::iterator taken = bfs ? open.begin() : std::prev(open.end());
    State state = std::move(*taken);
    if (bfs) {
      open.pop_front();
    } else {
      open.pop_back();
    }
    ++counters.expanded;
    if (progress_due(counters.expanded)) log_progress(name, counters, open.size());
    if (!early_termination && space.goal_reached(state)) {
      log_goal_found(name, counters.expanded, state.g);
      return goal_result(state, counters.expanded);
    }
    // The space's own stream gives the successors over the relevant actions in order, and may
    // skip the actions it knows to have none without trying them.
    auto successors = space.get_successor_states_iter(state);
    while (std::optional<State> successor = successors.next()) {
      if (early_termination && space.goal_reached(*successor)) {
        log_goal_found(name, counters.expanded, successor->g);
        return goal_result(*successor, counters.expanded);
      }
      open.push_back(std::move(*successor));
      ++counters.generated;
    }
  }
  log_no_solution(name, counters.expanded);
  return no_plan_result(counters.expanded);
}

}  // namespace quendral

// The informed searches, written over this framework.
#include "base/search/informed_search.hpp"
