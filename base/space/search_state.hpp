// The search state: one node of a search.
//
// A state holds the value of every fluent, the temporal network of a temporal task, the action
// instances that have started and not finished, the durative conditions in force, the path cost
// and the applied events, and a small cache of heuristic values. Everything a successor inherits
// is shared or cheap to copy: the values (state_values.hpp) and the path are persistent structures
// copied in constant time, the network shares its constraint lists, and only the small tables (running
// actions, the network's node table, the durative conditions) are copied entry by entry.
//
// Apart from the heuristic cache, a state is never changed once a search or Python has seen it:
// successor generation copies the parent (`clone_for_child`) and changes the copy before anyone
// else can see it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>
#include <optional>
#include <string>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/hashing.hpp"
#include "base/expressions/expressions.hpp"
#include "base/space/state_values.hpp"
#include "base/task/records.hpp"
#include "base/temporal/stn.hpp"

namespace quendral {

// A running action instance: the position of its next event and the instance number that event
// will receive.
struct TodoEntry {
  std::uint64_t pos = 0;
  std::uint32_t instance = 0;

  friend bool operator==(const TodoEntry& a, const TodoEntry& b) noexcept = default;
};

// Running actions, iterated in the order they were started.
using Todo = ActionMap<TodoEntry>;

// The durative conditions in force: a multiset of node lists. Each applied event adds one
// occurrence of each condition it starts and removes one of each condition it ends.
//
// Iteration visits each distinct condition once with its count, in first-insertion order (a
// condition whose count fell to 0 and comes back goes to the end), so which of several failing
// conditions is met first never depends on hashing. A state holds few conditions at a time, so
// they are kept in a flat array and found by a linear scan; the node lists themselves are shared
// (a child's copy of the multiset copies one small array, never a node list).
class ConditionMultiset {
 public:
  struct Entry {
    std::shared_ptr<const NodeList> condition;
    std::uint64_t count;  // at least 1
  };

  ConditionMultiset() noexcept = default;
  ConditionMultiset(const ConditionMultiset& other)
      : data_(other.data_ ? std::make_unique<Data>(*other.data_) : nullptr) {}
  ConditionMultiset(ConditionMultiset&&) noexcept = default;
  ConditionMultiset& operator=(const ConditionMultiset& other) {
    if (this != &other) data_ = other.data_ ? std::make_unique<Data>(*other.data_) : nullptr;
    return *this;
  }
  ConditionMultiset& operator=(ConditionMultiset&&) noexcept = default;

  // Adds one occurrence of a copy of `condition`.
  void insert(const NodeList& condition);
  // Adds one occurrence, sharing `condition` when it is new here.
  void insert(std::shared_ptr<const NodeList> condition);
  // Removes one occurrence; returns false (and changes nothing) when there is none.
  bool remove(std::span<const ExpressionNode> condition);
  std::uint64_t count(std::span<const ExpressionNode> condition) const;
  // All occurrences, counted with multiplicity.
  std::uint64_t total() const noexcept { return data_ ? data_->total : 0; }
  bool empty() const noexcept { return !data_; }
  // Each distinct condition with its count, in first-insertion order.
  const std::vector<Entry>& distinct() const noexcept;

 private:
  // Held in a block of its own, made by the first insertion and dropped when the last
  // occurrence goes: the states of a classical task never hold a condition and pay one pointer.
  struct Data {
    std::vector<Entry> entries;
    std::uint64_t total = 0;
  };
  std::size_t position(std::span<const ExpressionNode> condition) const noexcept;
  Data& data();

  std::unique_ptr<Data> data_;
};

// Values computed for a state by caching heuristics, under their names ("hff", "hmax", ...); an
// absent value records a dead end. It is the one part of a state that changes after the state is
// published (through a const state, hence `mutable`), so a lock guards it; the lock is held only
// for one lookup, one insertion or one copy, never around a computation.
//
// The table and its lock are made on the first store (the first of racing stores wins, the
// others use its table): most states of a search never get a cached value, and a queued state
// then pays one pointer instead of a lock and an empty table.
class HeuristicCache {
 public:
  HeuristicCache() = default;
  HeuristicCache(const HeuristicCache& other);
  HeuristicCache(HeuristicCache&& other) noexcept : table_(other.table_.exchange(nullptr)) {}
  HeuristicCache& operator=(const HeuristicCache&) = delete;
  HeuristicCache& operator=(HeuristicCache&&) = delete;
  ~HeuristicCache() { delete table_.load(std::memory_order_acquire); }

  // Nothing when the heuristic has no entry; else its stored value (which may be "no value").
  std::optional<std::optional<double>> lookup(std::string_view heuristic) const;
  void store(std::string_view heuristic, std::optional<double> value) const;
  std::size_t size() const;

 private:
  struct Table {
    std::mutex mutex;
    boost::unordered_flat_map<std::string, std::optional<double>, TextHash, TextEqual> entries;
  };
  // The table, made by the first store if there is none yet.
  Table& table_for_store() const;

  mutable std::atomic<Table*> table_{nullptr};
};

// An optional value kept in a block of its own: empty, it costs one pointer. A state's temporal
// network lives here, so that the states of a classical task do not carry its room. It reads as
// `std::optional` does (`has_value`, `*`, `->`, `emplace`, `reset`); a copy copies the value.
template <class T>
class OptionalBox {
 public:
  OptionalBox() noexcept = default;
  OptionalBox(std::nullopt_t) noexcept {}
  OptionalBox(std::optional<T> value) : value_(value ? std::make_unique<T>(std::move(*value)) : nullptr) {}
  OptionalBox(const OptionalBox& other) : value_(other.value_ ? std::make_unique<T>(*other.value_) : nullptr) {}
  OptionalBox(OptionalBox&&) noexcept = default;
  OptionalBox& operator=(const OptionalBox& other) {
    if (this != &other) value_ = other.value_ ? std::make_unique<T>(*other.value_) : nullptr;
    return *this;
  }
  OptionalBox& operator=(OptionalBox&&) noexcept = default;

  bool has_value() const noexcept { return value_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }
  T& operator*() noexcept { return *value_; }
  const T& operator*() const noexcept { return *value_; }
  T* operator->() noexcept { return value_.get(); }
  const T* operator->() const noexcept { return value_.get(); }
  template <class... Args>
  T& emplace(Args&&... args) {
    value_ = std::make_unique<T>(std::forward<Args>(args)...);
    return *value_;
  }
  void reset() noexcept { value_.reset(); }

 private:
  std::unique_ptr<T> value_;
};

class State {
 public:
  StateValues values;                       // one value per fluent index
  OptionalBox<DeltaSTN<double>> stn;        // present exactly in temporal tasks
  Todo todo;
  ConditionMultiset active_conditions;
  double g = 0.0;  // one per applied event
  Path path;       // applied events, newest first
  HeuristicCache heuristic_cache;

  // A root-like state over `initial_values`, with `network` (none by default) and everything
  // else empty.
  explicit State(StateValues initial_values) noexcept : values(std::move(initial_values)) {}
  State(StateValues initial_values, std::optional<DeltaSTN<double>> network)
      : values(std::move(initial_values)), stn(std::move(network)) {}
  State(State&&) noexcept = default;
  State& operator=(State&&) = delete;

  // A copy for a successor: shares the values and the path, copies the network's node table,
  // the running actions and the durative conditions; its heuristic cache starts empty.
  State clone_for_child() const;
  // The same copy with the heuristic cache copied too (under the source's lock).
  State full_clone() const;

  // Equal when neither carries a temporal network and the values are equal; a state with a
  // network equals no state. Nothing else takes part.
  bool eq(const State& other) const noexcept;
  friend bool operator==(const State& a, const State& b) noexcept { return a.eq(b); }
  // Hash of the values alone, so equal states hash alike.
  std::uint64_t hash() const noexcept { return values.hash(); }

  // The evaluator's view of the state: the value of `fluent`, which must be below the number of
  // values (an internal failure otherwise).
  const ExpressionNode& get_fluent_value(std::uint64_t fluent) const {
    QUENDRAL_CHECK(fluent < values.size(), "fluent " + std::to_string(fluent) + " is beyond the state's " +
                                               std::to_string(values.size()) + " values");
    return values[fluent];
  }

 private:
  State(const State& other, bool with_cache);
};

struct StateHash {
  std::size_t operator()(const State& state) const noexcept { return state.hash(); }
};

}  // namespace quendral
