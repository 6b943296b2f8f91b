// Duplicate detection of the informed searches: the set of states a run has already seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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
  DuplicateSet(const DuplicateSet&) = delete;
  DuplicateSet& operator=(const DuplicateSet&) = delete;
  // Releases the states in the order of their addresses (see `release_in_address_order`).
  ~DuplicateSet();

  Kind kind() const noexcept { return kind_; }
  // True when a state equal to `state` is in the set (always false without a set).
  bool contains(const SharedState& state) const;
  // Adds `state` unless an equal one is present, which the set then keeps. True when added, and
  // always true without a set.
  bool insert(const SharedState& state);
  // The same for a state not shared yet: it is shared only when it is added (a successor equal
  // to a state already seen, as most are in a dense space, costs no shared block). The shared
  // state when added, nothing when an equal one was present; always the shared state without
  // a set.
  std::optional<SharedState> insert_new(State&& state);
  std::size_t size() const noexcept { return kind_ == Kind::WeakStates ? weak_.size() : states_.size(); }
  void clear() noexcept {
    states_.clear();
    weak_.clear();
  }

 private:
  // A state of the set with its hash, so that growing the set rehashes without reading a state
  // and a probe reads a state only when the hashes agree.
  struct Entry {
    mutable SharedState state;  // moved out only when the set is released (the hash stays)
    std::uint64_t hash;
  };
  struct EntryHash {
    using is_transparent = void;
    std::size_t operator()(const Entry& e) const noexcept { return e.hash; }
    std::size_t operator()(const State& s) const noexcept { return s.hash(); }
  };
  struct EntryEqual {
    using is_transparent = void;
    bool operator()(const Entry& a, const Entry& b) const noexcept {
      return a.state == b.state || (a.hash == b.hash && a.state->eq(*b.state));
    }
    bool operator()(const State& a, const Entry& b) const noexcept { return &a == b.state.get() || a.eq(*b.state); }
    bool operator()(const Entry& a, const State& b) const noexcept { return a.state.get() == &b || a.state->eq(b); }
  };
  struct StateKeyHash {
    std::size_t operator()(const WeakEqState& s) const noexcept { return s.state->hash(); }
  };

  Kind kind_;
  boost::unordered_flat_set<Entry, EntryHash, EntryEqual> states_;
  boost::unordered_flat_set<WeakEqState, StateKeyHash> weak_;
};

}  // namespace quendral
