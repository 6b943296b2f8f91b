// The planning records a caller describes its actions with, and the path of applied events.
//
//  - `Action`, `Timing`, `Effect`, `Event`: plain values, owned and never changed after
//    construction. They check nothing: an event whose `pos` is not its place in its list, or an
//    effect on a fluent a state does not have, fails where it is used.
//  - `ActionMap`: a small map keyed by `Action` that iterates in first-insertion order, so that
//    nothing that walks it depends on hash layout. The events table and a state's running
//    actions are both `ActionMap`s.
//  - `PathEntry` and `Path`: one applied event, and a state's path of them as a shared-tail list.
#pragma once

#include <atomic>
#include <compare>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/containers/persistent_list.hpp"
#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"

namespace quendral {

// ---------------------------------------------------------------- records

// One ground action, by the caller's number. Per-action tables are indexed by `idx`.
struct Action {
  std::uint64_t idx = 0;

  friend bool operator==(Action a, Action b) noexcept = default;
  friend auto operator<=>(Action a, Action b) noexcept = default;
  // "Action { idx: 3 }"
  std::string repr() const;
};

struct ActionHash {
  std::size_t operator()(Action action) const noexcept { return fx_hash_word(action.idx); }
};

// When an event happens: `delay` after the action's start (`start` true) or after its end.
struct Timing {
  bool start = true;
  Rational delay;

  bool is_from_start() const noexcept { return start; }
  bool is_from_end() const noexcept { return !start; }
  // "Timing { start: false, delay: Ratio { numer: -1, denom: 2 } }"
  std::string repr() const;
};

// One assignment: `fluent` takes the value of `value`, evaluated in the state before the event.
struct Effect {
  std::uint64_t fluent = 0;
  NodeList value;

  // "Effect { fluent: 0, value: [Int(1)] }"
  std::string repr() const;
};

// One timed happening of an action.
struct Event {
  Action action;
  std::uint64_t pos = 0;                  // its place in the action's event list
  NodeList conditions;                    // must hold when the event happens
  std::vector<NodeList> start_conditions; // durative conditions that begin here
  std::vector<NodeList> end_conditions;   // durative conditions whose requirement ends here
  std::vector<Effect> effects;            // in order

  std::string repr() const;
};

using TimedEvent = std::pair<Timing, Event>;

// "[Int(1), Fluent(0)]", the printed form of a node list inside a record.
std::string node_list_repr(std::span<const ExpressionNode> nodes);

// ---------------------------------------------------------------- ActionMap

// A map from `Action` to V that iterates in first-insertion order. Small maps (a state's running
// actions) are searched linearly and copy as one flat array; from `kIndexed` entries on, an
// index (Fx hash) keeps lookups constant-time for large tables (the events table).
//
// Iteration is read-only, even on a mutable map: a key changed in place would leave the index
// pointing at the wrong entry. Values are changed through `find` or `for_each_value`.
//
// There is deliberately no `==`: where states are compared by their running actions, order and
// instance numbers do not count, and an operator comparing entries in order, numbers included,
// would be too easy to reach for. Each comparison spells out what it compares.
template <class V>
class ActionMap {
 public:
  using value_type = std::pair<Action, V>;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  using iterator = const_iterator;

  static constexpr std::size_t kIndexed = 16;

  ActionMap() = default;
  ActionMap(const ActionMap& other)
      : entries_(other.entries_), index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}
  ActionMap(ActionMap&&) noexcept = default;
  ActionMap& operator=(const ActionMap& other) {
    if (this != &other) *this = ActionMap(other);
    return *this;
  }
  ActionMap& operator=(ActionMap&&) noexcept = default;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  // Calls `visit(key, value)` for every entry in order, with the value open to change.
  template <class F>
  void for_each_value(F&& visit) {
    for (value_type& entry : entries_) visit(std::as_const(entry.first), entry.second);
  }

  const V* find(Action key) const noexcept {
    const std::size_t i = position(key);
    return i == kNone ? nullptr : &entries_[i].second;
  }
  V* find(Action key) noexcept {
    const std::size_t i = position(key);
    return i == kNone ? nullptr : &entries_[i].second;
  }
  bool contains(Action key) const noexcept { return position(key) != kNone; }

  // Sets the value of `key`; a key already present keeps its place in the order.
  void insert_or_assign(Action key, V value) {
    const std::size_t i = position(key);
    if (i != kNone) {
      entries_[i].second = std::move(value);
      return;
    }
    entries_.emplace_back(key, std::move(value));
    if (index_) {
      index_->emplace(key, static_cast<std::uint32_t>(entries_.size() - 1));
    } else if (entries_.size() >= kIndexed) {
      rebuild_index();
    }
  }

  // Removes `key`; the others keep their order. Returns whether it was present.
  bool erase(Action key) {
    const std::size_t i = position(key);
    if (i == kNone) return false;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
    if (index_) {
      if (entries_.size() < kIndexed) {
        index_.reset();
      } else {
        rebuild_index();
      }
    }
    return true;
  }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t position(Action key) const noexcept {
    // Most lookups are in a state's running actions, usually none.
    if (entries_.empty()) return kNone;
    if (index_) {
      auto it = index_->find(key);
      return it == index_->end() ? kNone : it->second;
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].first == key) return i;
    }
    return kNone;
  }

  using Index = boost::unordered_flat_map<Action, std::uint32_t, ActionHash>;

  void rebuild_index() {
    if (!index_) index_ = std::make_unique<Index>();
    index_->clear();
    index_->reserve(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      index_->emplace(entries_[i].first, static_cast<std::uint32_t>(i));
    }
  }

  std::vector<value_type> entries_;
  // Null below kIndexed entries: a state's few running actions then cost one vector, not an
  // empty hash table besides.
  std::unique_ptr<Index> index_;
};

// Each action's timed events, in order. The search space and the heuristics take it.
using EventsTable = ActionMap<std::vector<TimedEvent>>;

// One applied event on a state's path: the action, the event's position in its list and the
// instance number the event received.
struct PathEntry {
  Action action;
  std::uint64_t pos = 0;
  std::uint32_t instance = 0;

  friend bool operator==(const PathEntry& a, const PathEntry& b) noexcept = default;
};

using Path = PersistentList<PathEntry>::Ref;

}  // namespace quendral
