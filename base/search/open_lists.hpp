// The open lists of the best-first searches and the order of their entries.
//
//  - `PrioritizedItem` and `is_better`: an entry (a state, its priority, its generation count)
//    and the order the weighted searches take entries in;
//  - `blend_priority`: the priority ((1 − w) × g) + (w × h) with each operation rounded alone;
//  - `BinaryHeap`: the unbounded open list; `BoundedPriorityQueue`: the bounded one, over a
//    min-max heap, that keeps the best entries when full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/containers/min_max_heap.hpp"
#include "base/core/errors.hpp"
#include "base/search/heuristic_trait.hpp"
#include "base/space/search_state.hpp"

namespace quendral {

// An entry of the open lists of the weighted searches: `item` is a `SharedState` (weighted A*
// of a temporal task), the id of a registered state (weighted A* of any other task) or an owned
// `State` (the memory-bounded search); `counter` is the generation count when the
// entry was made (0 for the root), unique within a run and increasing with insertion. The number
// of the state's running actions, the second key of the order, is kept in the entry, so that
// comparing entries of equal priority, as most comparisons in a heap of whole costs are, reads
// no state.
// The item comes last, so that an entry of a 4-byte id takes 24 bytes.
template <class T>
struct PrioritizedItem {
  double priority;
  std::uint64_t counter;
  std::uint32_t running;
  T item;

  PrioritizedItem(T item_, double priority_, std::uint64_t counter_)
      : priority(priority_), counter(counter_), running(running_of(item_)), item(std::move(item_)) {}
  // An entry whose item is not a state (an id of a registry): the running actions given.
  PrioritizedItem(T item_, double priority_, std::uint64_t counter_, std::size_t running_)
      : priority(priority_), counter(counter_), running(static_cast<std::uint32_t>(running_)), item(std::move(item_)) {}

  const State& state() const noexcept { return state_of(item); }

 private:
  static const State& state_of(const T& item) noexcept {
    if constexpr (std::is_same_v<T, State>) {
      return item;
    } else {
      return *item;
    }
  }
  static std::uint32_t running_of(const T& item) noexcept { return static_cast<std::uint32_t>(state_of(item).todo.size()); }
};

// Whether `a` is to be taken before `b`: the lower priority; else (equal priorities, or a NaN
// on either side, which is neither lower nor higher) fewer running actions; else the lower
// counter. Total without NaN; with NaN it is applied comparison by comparison as a heap meets it.
template <class T>
bool is_better(const PrioritizedItem<T>& a, const PrioritizedItem<T>& b) noexcept {
  if (a.priority < b.priority) return true;
  if (b.priority < a.priority) return false;
  if (a.running != b.running) return a.running < b.running;
  return a.counter < b.counter;
}

// The priority of a state with path cost `g` and heuristic value `h` under `weight` w:
// ((1 − w) × g) + (w × h), each of the four operations rounded on its own. It is not g + w × h:
// w = 0.5 gives half the A* value, w = 1 gives h alone (for finite g), w = 0 gives g alone.
// Defined out of line in a file compiled without contraction, so that no caller's optimiser can
// fuse a multiply and an add into one rounding.
double blend_priority(double weight, double g, double h) noexcept;

// Empties a heap's entries as it is released: plainly, or, for shared states, by address (see
// `release_in_address_order`).
template <class T>
void release_entries(std::vector<T>& entries) noexcept {
  entries.clear();
}
inline void release_entries(std::vector<PrioritizedItem<SharedState>>& entries) noexcept {
  release_in_address_order(entries, [](PrioritizedItem<SharedState>& entry) { return std::move(entry.item); });
}

// An array-based binary heap with the better entry on top: push appends and sifts up, take moves
// the last entry to the top and sifts down. `Better(a, b)` is applied comparison by comparison,
// so a NaN priority (an order that is not a strict weak order, which the standard heap
// algorithms may not be given) only leaves the order among the incomparable entries unspecified.
template <class T, class Better>
class BinaryHeap {
 public:
  BinaryHeap() = default;
  BinaryHeap(BinaryHeap&&) noexcept = default;
  BinaryHeap& operator=(BinaryHeap&&) noexcept = default;
  ~BinaryHeap() { release_entries(data_); }

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

// An open list that keeps at most `capacity` entries. When it is full, a new entry must beat
// the worst one under `Better`; it then replaces it in one operation, else it is released and
// the list is unchanged. A capacity of 0 has no worst entry to compare with: a broken invariant.
template <class T, class Better>
class BoundedPriorityQueue {
 public:
  explicit BoundedPriorityQueue(std::size_t capacity) : capacity_(capacity) { heap_.reserve(capacity); }

  void push(T entry) {
    if (heap_.size() < capacity_) {
      heap_.push(std::move(entry));
      return;
    }
    QUENDRAL_CHECK(capacity_ > 0, "a bounded open list of capacity 0 was pushed to");
    if (Better()(entry, heap_.peek_min())) heap_.replace_min(std::move(entry));
  }
  // The best entry, or nothing when empty.
  std::optional<T> pop() { return heap_.pop_max(); }

  std::size_t size() const noexcept { return heap_.size(); }
  bool empty() const noexcept { return heap_.empty(); }
  std::size_t capacity() const noexcept { return capacity_; }
  std::size_t reserved() const noexcept { return heap_.capacity(); }
  // The worst entry; the list must not be empty.
  const T& worst() const { return heap_.peek_min(); }

 private:
  struct RanksBelow {
    bool operator()(const T& a, const T& b) const { return Better()(b, a); }
  };
  std::size_t capacity_;
  MinMaxHeap<T, RanksBelow> heap_;
};

}  // namespace quendral
