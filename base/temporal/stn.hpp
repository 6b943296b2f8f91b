// DeltaSTN: a simple temporal network kept consistent incrementally, one constraint at a time.
//
// Nodes are time points named by 64-bit ids. `add(x, y, b)` records time(x) − time(y) ≤ b: in
// graph terms an edge x → y of weight b, which the network keeps in x's list of outgoing
// constraints. Every node carries a potential d (its time is −d); after each `add` that leaves
// the network consistent, every constraint holds within the tolerance `epsilon` fixed at
// creation: d[y] ≤ d[x] + b + epsilon. Potentials start at 0 and only decrease, so with epsilon 0
// −d is the earliest assignment of times at or after 0 that satisfies every constraint.
//
// The network is generic in its number type: `double` in search states, the exact `Rational`
// when plans are built. Both run the same steps and make the same comparisons.
//
// Copies take constant time: the node tables (ids, potentials, list heads, and the index from
// id to slot) are persistent structures shared between a network and its copies until one of
// them writes, and a write copies only the few trie nodes on the way to what it changes. So a
// search state holds, of its network, only what its own step added or changed. Constraint cells
// are immutable and shared likewise. Reference counts are atomic, so networks that share
// structure may be copied and released on any thread. (The exact network of plan building is
// never copied; it keeps plain tables.)
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/containers/persistent_vector.hpp"
#include "base/core/numbers.hpp"
#include "base/task/records.hpp"

namespace quendral {

// One recorded constraint time(src) − time(dst) ≤ bound, src being the node whose list holds it.
// Beside the destination's id a cell keeps its slot, and `stamp`, the number of nodes of the
// network that recorded it at that moment. Slots are never reused and a copy only ever appends
// nodes, so in every network that holds the cell, the node at `dst_slot` is `dst` and the nodes
// below `stamp` are those that existed when the cell was made: a node at a higher slot cannot be
// the destination of this cell or of any older one.
template <class T>
struct DeltaEdge {
  std::uint64_t dst;
  T bound;
  std::uint32_t dst_slot = 0;
  std::uint32_t stamp = 0;
};

// One cell of a node's constraint list, newest first: `elem` is the constraint, `tail` (the
// older cells) is shared with every network copied from the one that recorded them.
template <class T>
using DeltaNeighbors = PersistentList<DeltaEdge<T>>;

using NodeIdHash = FxWordHash;

namespace detail {

// A persistent map from node id to slot, insert-only: a hash trie of branching 32 whose nodes
// are shared between copies and copied on the way to an insertion.
class NodeIndex {
 public:
  NodeIndex() noexcept = default;
  NodeIndex(const NodeIndex& other) noexcept : root_(other.root_) { retain(root_); }
  NodeIndex(NodeIndex&& other) noexcept : root_(std::exchange(other.root_, nullptr)) {}
  NodeIndex& operator=(const NodeIndex& other) noexcept {
    NodeIndex copy(other);
    std::swap(root_, copy.root_);
    return *this;
  }
  NodeIndex& operator=(NodeIndex&& other) noexcept {
    NodeIndex taken(std::move(other));
    std::swap(root_, taken.root_);
    return *this;
  }
  ~NodeIndex() { release(root_); }

  // The slot of `id`, or UINT32_MAX when absent.
  std::uint32_t find(std::uint64_t id) const noexcept;
  // Records `id` (absent so far) at `slot`.
  void insert(std::uint64_t id, std::uint32_t slot);

 private:
  struct Node;
  struct Entry {
    std::uint64_t key;  // the id of a value entry
    union {
      std::uint32_t slot;
      Node* child;
    };
  };
  struct alignas(alignof(Entry)) Node {
    std::atomic<std::uint32_t> refs{1};
    std::uint32_t values = 0;    // bitmap: positions that hold an id and its slot
    std::uint32_t children = 0;  // bitmap: positions that hold a subtrie
    Entry* entries() noexcept { return reinterpret_cast<Entry*>(this + 1); }
    const Entry* entries() const noexcept { return reinterpret_cast<const Entry*>(this + 1); }
  };
  static_assert(sizeof(Node) % alignof(Entry) == 0);

  // The trie reads its key five bits a level from the lowest. The key is the id with its lower
  // half (the instance number) bit-reversed: the first levels go by the instance number's high
  // bits, the last by its low bits and then by the network id. Nodes made in one step carry
  // neighbouring instance numbers, so they share their path but for the last levels, and a
  // step copies one path of the trie instead of one per node. The key is a permutation of the
  // id's bits, so two ids always part at some level.
  static std::uint64_t mix(std::uint64_t id) noexcept {
    std::uint32_t low = static_cast<std::uint32_t>(id);
    low = ((low >> 1) & 0x55555555u) | ((low & 0x55555555u) << 1);
    low = ((low >> 2) & 0x33333333u) | ((low & 0x33333333u) << 2);
    low = ((low >> 4) & 0x0f0f0f0fu) | ((low & 0x0f0f0f0fu) << 4);
    low = ((low >> 8) & 0x00ff00ffu) | ((low & 0x00ff00ffu) << 8);
    low = (low >> 16) | (low << 16);
    return (id & 0xffffffff00000000ull) | low;
  }
  static Node* make(std::uint32_t values, std::uint32_t children);
  static void retain(Node* node) noexcept {
    if (node) node->refs.fetch_add(1, std::memory_order_relaxed);
  }
  static void release(Node* node) noexcept;
  static Node* with(Node* node, std::uint64_t hash, std::uint64_t id, std::uint32_t slot, unsigned shift, bool owned);
  static Node* pair(std::uint64_t h1, const Entry& e1, std::uint64_t h2, const Entry& e2, unsigned shift);

  Node* root_ = nullptr;
};

// A column of the node table: a persistent vector where values copy without failing (so copies
// of the network share it), a plain vector otherwise.
template <class V, bool Shared = std::is_nothrow_copy_constructible_v<V>>
class NodeColumn {
 public:
  std::size_t size() const noexcept { return values_.size(); }
  const V& operator[](std::size_t i) const noexcept { return values_[i]; }
  void set(std::size_t i, V value) { values_.set(i, std::move(value)); }
  void push_back(V value) { values_.push_back(std::move(value)); }

 private:
  PersistentVector<V> values_;
};
template <class V>
class NodeColumn<V, false> {
 public:
  std::size_t size() const noexcept { return values_.size(); }
  const V& operator[](std::size_t i) const noexcept { return values_[i]; }
  void set(std::size_t i, V value) { values_[i] = std::move(value); }
  void push_back(V value) { values_.push_back(std::move(value)); }

 private:
  std::vector<V> values_;
};

// The index of a network whose potentials are shared between copies is shared too; the exact
// network of plan building, which is never copied, keeps a flat hash map.
class FlatNodeIndex {
 public:
  std::uint32_t find(std::uint64_t id) const noexcept {
    const auto it = map_.find(id);
    return it == map_.end() ? UINT32_MAX : it->second;
  }
  void insert(std::uint64_t id, std::uint32_t slot) { map_.emplace(id, slot); }

 private:
  boost::unordered_flat_map<std::uint64_t, std::uint32_t, NodeIdHash> map_;
};

}  // namespace detail

template <class T>
class DeltaSTN {
 public:
  using NodeId = std::uint64_t;
  using Neighbors = typename DeltaNeighbors<T>::Ref;

  // An empty, consistent network with the given tolerance.
  explicit DeltaSTN(T epsilon) : epsilon_(std::move(epsilon)) {}

  // Records time(x) − time(y) ≤ b and repairs the potentials; clears `consistent()` for good
  // when the constraints contradict each other beyond the tolerance. Does nothing once the
  // network is inconsistent.
  void add(NodeId x, NodeId y, const T& b);

  bool consistent() const noexcept { return consistent_; }
  const T& epsilon() const noexcept { return epsilon_; }
  std::size_t node_count() const noexcept { return ids_.size(); }
  bool contains(NodeId id) const noexcept { return index_.find(id) != UINT32_MAX; }

  // The potential of a node (its time is the negation), or null for a node never added. The
  // pointer is valid until the network changes.
  const T* distance(NodeId id) const noexcept {
    const std::uint32_t slot = index_.find(id);
    return slot == UINT32_MAX ? nullptr : &distances_[slot];
  }
  // The head of a node's constraint list (newest first), or null for a node never added; valid
  // until the network changes.
  const Neighbors* constraints(NodeId id) const noexcept {
    const std::uint32_t slot = index_.find(id);
    return slot == UINT32_MAX ? nullptr : &heads_[slot];
  }
  // Calls `visit(id, potential)` for every node, in the order the nodes were first added.
  template <class F>
  void for_each_distance(F&& visit) const {
    for (std::size_t i = 0; i < ids_.size(); ++i) visit(ids_[i], distances_[i]);
  }

 private:
  static constexpr bool kShared = std::is_nothrow_copy_constructible_v<T>;
  using Index = std::conditional_t<kShared, detail::NodeIndex, detail::FlatNodeIndex>;

  std::uint32_t slot_of(NodeId id);  // creates the node (potential 0, no constraints) if new

  // A node's id, potential and list head sit at the same slot of three columns, created
  // together; slots keep first-insertion order and `index_` finds a node's slot.
  detail::NodeColumn<NodeId, kShared> ids_;
  detail::NodeColumn<T, kShared> distances_;
  detail::NodeColumn<Neighbors, kShared> heads_;
  Index index_;
  T epsilon_;
  bool consistent_ = true;
};

extern template class DeltaSTN<double>;
extern template class DeltaSTN<Rational>;

}  // namespace quendral
