// A double-ended priority queue: the min-max heap of Atkinson, Sack, Santoro and Strothotte.
//
// One array holds a complete binary tree whose levels alternate: an entry on an even level (the
// root's) ranks at or below every entry of its subtree, one on an odd level at or above. So the
// lowest entry is the root and the highest is the higher of the root's children; push and both
// pops cost O(log n) comparisons, and `replace_min` swaps the lowest entry for a new one in a
// single sift.
//
// `Less(a, b)` says that a ranks below b. The heap applies it comparison by comparison as its
// operations meet them, so an order that is not transitive (NaN priorities) still leaves the heap
// well formed in shape, only with an unspecified order among the incomparable entries.
//
// Entries only need to be move-constructible: a search state cannot be move-assigned, so entries
// change places by being relocated (moved out, destroyed, moved back in).
#pragma once

#include <bit>
#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/core/errors.hpp"

namespace quendral {

template <class T, class Less>
class MinMaxHeap {
 public:
  explicit MinMaxHeap(Less less = Less()) : less_(std::move(less)) {}

  std::size_t size() const noexcept { return data_.size(); }
  bool empty() const noexcept { return data_.empty(); }
  void reserve(std::size_t n) { data_.reserve(n); }
  std::size_t capacity() const noexcept { return data_.capacity(); }

  void push(T value) {
    data_.push_back(std::move(value));
    bubble_up(data_.size() - 1);
  }

  // The lowest entry; the heap must not be empty.
  const T& peek_min() const {
    QUENDRAL_CHECK(!data_.empty(), "the lowest entry of an empty heap was asked for");
    return data_[0];
  }
  // The highest entry; the heap must not be empty.
  const T& peek_max() const {
    QUENDRAL_CHECK(!data_.empty(), "the highest entry of an empty heap was asked for");
    return data_[max_index()];
  }

  std::optional<T> pop_min() {
    if (data_.empty()) return std::nullopt;
    return take(0);
  }
  std::optional<T> pop_max() {
    if (data_.empty()) return std::nullopt;
    return take(max_index());
  }

  // Removes the lowest entry and inserts `value` in its place, in one sift; the heap must not be
  // empty. Returns the removed entry.
  T replace_min(T value) {
    QUENDRAL_CHECK(!data_.empty(), "the lowest entry of an empty heap was replaced");
    T old(std::move(data_[0]));
    relocate(data_[0], std::move(value));
    trickle_down(0);
    return old;
  }

  // The entries in heap order, for tests that check the heap's shape.
  const std::vector<T>& entries() const noexcept { return data_; }

 private:
  static bool on_min_level(std::size_t i) noexcept { return (std::bit_width(i + 1) - 1) % 2 == 0; }

  // Moves `value` into `slot`, whose object has been moved from.
  static void relocate(T& slot, T&& value) {
    if constexpr (std::is_move_assignable_v<T>) {
      slot = std::move(value);
    } else {
      std::destroy_at(&slot);
      std::construct_at(&slot, std::move(value));
    }
  }
  void swap_at(std::size_t a, std::size_t b) {
    if constexpr (std::is_move_assignable_v<T> && std::is_swappable_v<T>) {
      using std::swap;
      swap(data_[a], data_[b]);
    } else {
      T held(std::move(data_[a]));
      relocate(data_[a], std::move(data_[b]));
      relocate(data_[b], std::move(held));
    }
  }

  std::size_t max_index() const noexcept {
    if (data_.size() == 1) return 0;
    if (data_.size() == 2) return 1;
    return less_(data_[1], data_[2]) ? 2 : 1;
  }

  // Removes the entry at `i`: the last entry takes its place and sinks.
  T take(std::size_t i) {
    T out(std::move(data_[i]));
    const std::size_t last = data_.size() - 1;
    if (i != last) relocate(data_[i], std::move(data_[last]));
    data_.pop_back();
    if (i < data_.size()) trickle_down(i);
    return out;
  }

  void bubble_up(std::size_t i) {
    if (i == 0) return;
    const std::size_t parent = (i - 1) / 2;
    if (on_min_level(i)) {
      if (less_(data_[parent], data_[i])) {
        swap_at(i, parent);
        bubble_up_by<true>(parent);
      } else {
        bubble_up_by<false>(i);
      }
    } else {
      if (less_(data_[i], data_[parent])) {
        swap_at(i, parent);
        bubble_up_by<false>(parent);
      } else {
        bubble_up_by<true>(i);
      }
    }
  }

  // Climbs by grandparents: towards the maximum on max levels, the minimum on min levels.
  template <bool Max>
  void bubble_up_by(std::size_t i) {
    while (i > 2) {
      const std::size_t grandparent = ((i - 1) / 2 - 1) / 2;
      const bool climbs = Max ? less_(data_[grandparent], data_[i]) : less_(data_[i], data_[grandparent]);
      if (!climbs) return;
      swap_at(i, grandparent);
      i = grandparent;
    }
  }

  void trickle_down(std::size_t i) {
    if (on_min_level(i)) {
      trickle_down_by<false>(i);
    } else {
      trickle_down_by<true>(i);
    }
  }

  // Whether `a` goes further towards the top of this kind of level than `b`.
  template <bool Max>
  bool ahead(std::size_t a, std::size_t b) const {
    return Max ? less_(data_[b], data_[a]) : less_(data_[a], data_[b]);
  }

  template <bool Max>
  void trickle_down_by(std::size_t i) {
    const std::size_t n = data_.size();
    for (;;) {
      const std::size_t first_child = 2 * i + 1;
      if (first_child >= n) return;
      // The most extreme of the children and grandchildren.
      std::size_t m = first_child;
      if (first_child + 1 < n && ahead<Max>(first_child + 1, m)) m = first_child + 1;
      const std::size_t first_grandchild = 2 * first_child + 1;
      for (std::size_t g = first_grandchild; g < first_grandchild + 4 && g < n; ++g) {
        if (ahead<Max>(g, m)) m = g;
      }
      if (m >= first_grandchild) {
        if (!ahead<Max>(m, i)) return;
        swap_at(m, i);
        const std::size_t parent = (m - 1) / 2;
        if (ahead<Max>(parent, m)) swap_at(m, parent);
        i = m;
      } else {
        if (ahead<Max>(m, i)) swap_at(m, i);
        return;
      }
    }
  }

  std::vector<T> data_;
  [[no_unique_address]] Less less_;
};

}  // namespace quendral
