// What each event reads and writes, and the two memoised tests over it that order the events of
// different action instances in a temporal network.
//
//  - `EventFluents`: five fluent sets per event, built once from the events table.
//  - `MutexChecker`: do two events interfere (one writes what the other reads, or both write the
//    same fluent)? Two such events must be at least epsilon apart.
//  - `PrecedenceChecker`: must the first event come before the second, because the first changes
//    what a durative condition opened by the second reads, or the second changes what a durative
//    condition closed by the first reads?
//
// An event is named by (action, position in the action's list). Keys are used as given, so the
// symmetric interference test may be memoised under both orders of a pair; the answers agree.
// Events of the same action are always ordered, without looking anything up or recording it.
// Each memo has its own lock, held from the lookup to the recording, so the checkers may be
// asked from several threads; a failure while it is held releases it (RAII), leaving the memo as
// it was.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "base/expressions/expressions.hpp"
#include "base/task/records.hpp"

namespace quendral {

using FluentSet = boost::unordered_flat_set<std::uint64_t, FxWordHash>;

struct EventFluents {
  FluentSet reads;                    // fluents of the condition and of every effect's value
  FluentSet writes;                   // the fluent of every effect
  FluentSet touches;                  // reads ∪ writes
  FluentSet start_condition_fluents;  // fluents of the durative conditions opened here
  FluentSet end_condition_fluents;    // fluents of the durative conditions closed here
};

// The five sets of one event. Durative conditions are not reads: they are ordered by the
// precedence test, not kept apart by the interference test.
EventFluents compute_event_fluents(const Event& event);

// By action idx, by event position.
using EventFluentsTable = std::vector<std::vector<EventFluents>>;

// The fluent index of every `Fluent` node of `nodes`, in node order, duplicates kept; whether a
// node is reachable from the root does not matter.
std::vector<std::uint64_t> get_fluents(std::span<const ExpressionNode> nodes);

struct EventRef {
  Action action;
  std::uint64_t pos = 0;
  friend bool operator==(const EventRef&, const EventRef&) noexcept = default;
};
using EventPair = std::pair<EventRef, EventRef>;

struct EventPairHash {
  std::size_t operator()(const EventPair& key) const noexcept {
    FxHasher h;
    h.write_u64(key.first.action.idx);
    h.write_u64(key.first.pos);
    h.write_u64(key.second.action.idx);
    h.write_u64(key.second.pos);
    return h.finish();
  }
};

namespace detail {
// A memo of answers by key as given; `compute` runs under the lock.
class EventPairMemo {
 public:
  template <class F>
  bool check(const EventPair& key, F&& compute) const {
    if (key.first.action == key.second.action) return true;
    const std::lock_guard lock(mutex_);
    if (const auto it = cache_.find(key); it != cache_.end()) return it->second;
    const bool answer = compute();
    cache_.emplace(key, answer);
    return answer;
  }
  std::size_t size() const {
    const std::lock_guard lock(mutex_);
    return cache_.size();
  }

 private:
  mutable std::mutex mutex_;
  mutable boost::unordered_flat_map<EventPair, bool, EventPairHash> cache_;
};

// The sets of one event; an action idx or position outside the table is an internal failure.
const EventFluents& event_fluents_of(const EventFluentsTable& table, const EventRef& event);
}  // namespace detail

class MutexChecker {
 public:
  // True when the two events interfere.
  bool check(const EventPair& key, const EventFluentsTable& event_fluents) const;
  // Number of answers recorded.
  std::size_t memo_size() const { return memo_.size(); }

 private:
  detail::EventPairMemo memo_;
};

class PrecedenceChecker {
 public:
  // True when the first event of the key must come before the second.
  bool check(const EventPair& key, const EventFluentsTable& event_fluents) const;
  std::size_t memo_size() const { return memo_.size(); }

 private:
  detail::EventPairMemo memo_;
};

}  // namespace quendral
