// The values of a state: one value per fluent, stored compactly.
//
// Most values of a grounded task are Booleans and objects, so a state keeps each value as its
// 4-byte value code (expressions.hpp) in a persistent vector; only a value that has no code (a
// number) is kept as a node, in a second persistent vector of the same length that exists only
// while the state holds such a value. A successor copies a leaf of at most 64 codes (at most
// 280 bytes) instead of 32 nodes (about 800), equality compares codes as raw memory, and
// releasing a state touches no node.
//
// Reading a value gives a reference to a node that lives as long as the vector that holds it
// (a number) or as the process (a Boolean or an object), so the evaluator reads values in place.
//
// Representation, kept canonical so that equal values have equal representations:
//  - `codes_[i]` is the value code of value i, or `kNoValueCode` when it has none;
//  - `numbers_` is null when no code is `kNoValueCode`; otherwise it points to a shared block
//    with the count of such codes and one node per value: value i at each `kNoValueCode`
//    position, the default node everywhere else. The block is shared by copies and copied
//    before a write when it is not this vector's alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>

#include "base/containers/persistent_vector.hpp"
#include "base/core/hashing.hpp"
#include "base/core/memory.hpp"
#include "base/expressions/expressions.hpp"

namespace quendral {

class StateValues {
  // Leaves of 64 codes: most grounded tasks have at most that many fluents, and their states'
  // codes are then one block.
  using Codes = PersistentVector<std::uint32_t, 6>;

 public:
  class const_iterator;

  StateValues() noexcept = default;
  StateValues(const StateValues& other) noexcept : codes_(other.codes_), numbers_(other.numbers_) {
    if (numbers_) numbers_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  StateValues(StateValues&& other) noexcept : codes_(std::move(other.codes_)), numbers_(std::exchange(other.numbers_, nullptr)) {}
  StateValues& operator=(const StateValues& other) noexcept {
    StateValues copy(other);
    swap(copy);
    return *this;
  }
  StateValues& operator=(StateValues&& other) noexcept {
    StateValues taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~StateValues() { release(numbers_); }
  void swap(StateValues& other) noexcept {
    codes_.swap(other.codes_);
    std::swap(numbers_, other.numbers_);
  }

  explicit StateValues(std::span<const ExpressionNode> nodes) {
    for (const ExpressionNode& node : nodes) push_back(node);
  }
  template <class It>
  StateValues(It first, It last) {
    for (; first != last; ++first) push_back(*first);
  }

  // The values of the `n` codes at `codes`, none of them `kNoValueCode`.
  static StateValues from_codes(const std::uint32_t* codes, std::size_t n) {
    StateValues values;
    values.codes_ = Codes::from_values(codes, n);
    return values;
  }

  std::size_t size() const noexcept { return codes_.size(); }
  bool empty() const noexcept { return codes_.empty(); }

  // The value at `i`, which must be below `size()`.
  const ExpressionNode& operator[](std::size_t i) const noexcept {
    const std::uint32_t c = codes_[i];
    return c == kNoValueCode ? numbers_->nodes[i] : node_of_value_code(c);
  }
  // The value code at `i` (`kNoValueCode` for a number).
  std::uint32_t code(std::size_t i) const noexcept { return codes_[i]; }
  // Calls `visit(codes, n)` for each run of codes in order (`kNoValueCode` for a number).
  template <class F>
  void for_each_code_run(F&& visit) const {
    codes_.for_each_leaf(visit);
  }
  // True when no value is a number: every value is its code.
  bool all_coded() const noexcept { return numbers_ == nullptr; }

  // Replaces the value at `i` (below `size()`).
  void set(std::size_t i, const ExpressionNode& value) {
    const std::uint32_t c = value_code(value);
    const std::uint32_t before = codes_[i];
    if (c != kNoValueCode) {
      if (before == c) return;
      codes_.set(i, c);
      if (before == kNoValueCode) forget_number(i);
      return;
    }
    if (before != kNoValueCode) {
      codes_.set(i, kNoValueCode);
      if (!numbers_) make_numbers();
      own_numbers().count++;
    }
    own_numbers().nodes.set(i, value);
  }

  void push_back(const ExpressionNode& value) {
    const std::uint32_t c = value_code(value);
    codes_.push_back(c);
    if (c != kNoValueCode) {
      if (numbers_) own_numbers().nodes.push_back(ExpressionNode());
      return;
    }
    if (!numbers_) {
      make_numbers();
      own_numbers().nodes.set(codes_.size() - 1, value);
    } else {
      own_numbers().nodes.push_back(value);
    }
    own_numbers().count++;
  }

  friend bool operator==(const StateValues& a, const StateValues& b) noexcept {
    if (!(a.codes_ == b.codes_)) return false;
    // Equal codes have their numbers at the same positions, so both have a block or neither.
    return a.numbers_ == b.numbers_ || a.numbers_->nodes == b.numbers_->nodes;
  }

  // Equal values hash alike. The digests of both vectors are cached in their nodes, so a state
  // that shares most nodes with one already hashed costs only the nodes it does not share.
  std::uint64_t hash() const noexcept {
    const std::uint64_t h = codes_.hash();
    if (!numbers_) return h;
    FxHasher mix;
    mix.write_u64(h);
    mix.write_u64(numbers_->nodes.hash());
    return mix.finish();
  }

  const_iterator begin() const noexcept { return const_iterator(this, 0, codes_.begin()); }
  const_iterator end() const noexcept { return const_iterator(this, size(), codes_.end()); }

  // The nodes behind the values, for measurements of sharing (`PersistentVector::visit_nodes`).
  template <class F>
  void visit_nodes(F&& visit) const {
    codes_.visit_nodes(visit);
    if (numbers_) numbers_->nodes.visit_nodes(visit);
  }

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = ExpressionNode;
    using difference_type = std::ptrdiff_t;
    using pointer = const ExpressionNode*;
    using reference = const ExpressionNode&;

    const_iterator() noexcept = default;
    const ExpressionNode& operator*() const noexcept {
      const std::uint32_t c = *codes_;
      return c == kNoValueCode ? values_->numbers_->nodes[index_] : node_of_value_code(c);
    }
    const ExpressionNode* operator->() const noexcept { return &**this; }
    // The value code of the value at hand.
    std::uint32_t code() const noexcept { return *codes_; }
    const_iterator& operator++() noexcept {
      ++index_;
      ++codes_;
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept { return a.index_ == b.index_; }

   private:
    friend class StateValues;
    const_iterator(const StateValues* values, std::size_t index, Codes::const_iterator codes) noexcept
        : values_(values), index_(index), codes_(codes) {}

    const StateValues* values_ = nullptr;
    std::size_t index_ = 0;
    Codes::const_iterator codes_;
  };

 private:
  struct Numbers {
    QUENDRAL_BLOCK_ALLOCATED
    std::atomic<std::uint32_t> refs{1};
    std::size_t count = 0;  // positions whose code is kNoValueCode
    PersistentVector<ExpressionNode> nodes;
  };

  static void release(Numbers* numbers) noexcept {
    if (numbers && memory::drop_reference(numbers->refs)) delete numbers;
  }
  // The first number arrives: a node per value, all default so far.
  void make_numbers() {
    numbers_ = new Numbers;
    for (std::size_t k = 0; k < codes_.size(); ++k) numbers_->nodes.push_back(ExpressionNode());
  }
  // The block, this vector's alone (copied first when it is shared; the copy shares the nodes).
  Numbers& own_numbers() {
    if (numbers_->refs.load(std::memory_order_acquire) != 1) {
      Numbers* copy = new Numbers;
      copy->count = numbers_->count;
      copy->nodes = numbers_->nodes;
      release(numbers_);
      numbers_ = copy;
    }
    return *numbers_;
  }
  // The number at `i` gave way to a coded value.
  void forget_number(std::size_t i) {
    if (numbers_->count == 1) {
      release(numbers_);
      numbers_ = nullptr;
    } else {
      Numbers& own = own_numbers();
      --own.count;
      own.nodes.set(i, ExpressionNode());
    }
  }

  Codes codes_;
  Numbers* numbers_ = nullptr;
};

}  // namespace quendral
