// The search framework: what every search routine shares, written once.
//
// Every routine is a template over the task (SearchSpaceTrait) and, for the informed ones, the
// heuristic (HeuristicTrait), written in one frame, `SearchRun`: it writes the start record,
// owns the timer and the counters, writes the progress records, and makes the two endings (a
// goal's plan and statistics, or the statistics of a run without a plan) with their records.
// Around it:
//  - `SearchResult`: the plan (one `Action` per applied event) and the statistics texts;
//  - `SearchTimer`: the timeout, tested in single precision against the wall clock;
//  - `SearchCounters` and the log records of a run, with their exact texts and printed forms;
//  - `extract_path`: the plan read from a goal state's path.
// The open lists are in open_lists.hpp, duplicate detection in duplicates.hpp, the searches in
// basic_search.hpp, informed_search.hpp and multiqueue.hpp (searches.hpp includes all three).
//
// A run reports failures by throwing: `quendral::Error` for an error of the task or of the
// heuristic, passed on unchanged (nothing is logged then), `Error(TimeoutError, "Timeout")` when
// the time is up, and `InternalFailure` for a broken invariant. A run keeps nothing once it
// returns: its open list, duplicate set and states are released whatever the ending.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/hashing.hpp"
#include "base/core/log.hpp"
#include "base/space/search_space_trait.hpp"
#include "base/space/search_state.hpp"
#include "base/task/records.hpp"

namespace quendral {

// The log target of the searches of this module; Python sees it as the logger
// "quendral_base.search".
inline constexpr std::string_view kSearchLogTarget = "quendral_base::search";

// ---------------------------------------------------------------- result and statistics

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

// ---------------------------------------------------------------- the run frame

// One run of a search routine. Made at the start of the routine, it writes the start record
// "<name>: <parameters>" at info level and then starts the timer; the routine supplies only its
// own steps between the helpers below, which hold the rules every search shares:
//  - the timeout is tested once per iteration (`check_time`);
//  - an expansion is counted before the state's goal test, and every 10000th writes a progress
//    record (`count_expansion`; hill-climbing counts without one);
//  - with `early_termination` states are goal-tested when made, the root included, and a root
//    that is a goal ends the run at once with nothing expanded and no record; without it, each
//    state is tested when taken;
//  - a goal ends the run with its plan, "expanded_states" and "goal_depth" and the record
//    "goal found"; an exhausted open list with "expanded_states" and "no solution found".
class SearchRun {
 public:
  // `parameters(out)` writes the parameter part of the start record.
  template <class Parameters>
  SearchRun(std::string_view name, std::optional<float> timeout, bool early_termination,
            const Parameters& parameters, std::string_view target = kSearchLogTarget)
      : name_(name),
        target_(target),
        early_termination_(early_termination),
        timer_(log_start(name, target, parameters, timeout)) {}

  std::string_view name() const noexcept { return name_; }
  const SearchCounters& counters() const noexcept { return counters_; }

  // Throws Error(TimeoutError, "Timeout") when the time is up.
  void check_time() const { timer_.check(); }

  // Counts one expansion; on every 10000th, writes the progress record with the size of the
  // open lists, which `open_size()` gives (asked for only then).
  template <class OpenSize>
  void count_expansion(const OpenSize& open_size) {
    ++counters_.expanded;
    if (progress_due(counters_.expanded)) log_progress(name_, counters_, open_size(), target_);
  }
  void count_expansion_without_progress() noexcept { ++counters_.expanded; }
  void count_generated() noexcept { ++counters_.generated; }

  // The root's test under `early_termination`: the result when the root is a goal.
  template <SearchSpaceTrait S>
  std::optional<SearchResult> goal_at_root(const S& space, const State& root) const {
    if (early_termination_ && space.goal_reached(root)) return goal_result(root, 0);
    return std::nullopt;
  }
  // The test of a state taken for expansion (without `early_termination`).
  template <SearchSpaceTrait S>
  std::optional<SearchResult> goal_when_taken(const S& space, const State& state) const {
    if (!early_termination_ && space.goal_reached(state)) return goal(state);
    return std::nullopt;
  }
  // The test of a successor when it is made (with `early_termination`).
  template <SearchSpaceTrait S>
  std::optional<SearchResult> goal_when_made(const S& space, const State& successor) const {
    if (early_termination_ && space.goal_reached(successor)) return goal(successor);
    return std::nullopt;
  }

  // The endings: a goal, with its record; the open list exhausted, with its record; a root
  // without heuristic value, which ends the run before any expansion and without a record.
  SearchResult goal(const State& goal) const {
    log_goal_found(name_, counters_.expanded, goal.g, target_);
    return goal_result(goal, counters_.expanded);
  }
  SearchResult exhausted() const {
    log_no_solution(name_, counters_.expanded, target_);
    return no_plan_result(counters_.expanded);
  }
  static SearchResult dead_end_at_root() { return no_plan_result(0); }

 private:
  template <class Parameters>
  static SearchTimer log_start(std::string_view name, std::string_view target, const Parameters& parameters,
                               std::optional<float> timeout) {
    if (log::enabled(log::Level::Info)) {
      log::dispatch_lazy(target, log::Level::Info, __FILE__, static_cast<std::uint32_t>(__LINE__),
                         [&](std::ostream& out) {
                           out << name << ": ";
                           parameters(out);
                         });
    }
    return SearchTimer(timeout);  // the start instant is read after the start record
  }

  std::string_view name_;
  std::string_view target_;
  bool early_termination_;
  SearchCounters counters_;
  SearchTimer timer_;
};

}  // namespace quendral
