// Duplicate detection of the informed searches: the set of states a run has already seen.
#pragma once

#include <cstddef>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/search/heuristic_trait.hpp"
#include "base/space/search_state.hpp"

namespace quendral {

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

}  // namespace quendral
