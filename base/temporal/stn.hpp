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
// Copies are cheap: a copy duplicates the node table (ids, potentials and list heads) and shares
// every constraint cell; adding to either copy afterwards never affects the other. Cells are
// immutable and reference-counted atomically, so networks that share them may be copied and
// released on any thread.
#pragma once

#include <cstdint>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/numbers.hpp"
#include "base/task/records.hpp"

namespace quendral {

// One recorded constraint time(src) − time(dst) ≤ bound, src being the node whose list holds it.
template <class T>
struct DeltaEdge {
  std::uint64_t dst;
  T bound;
};

// One cell of a node's constraint list, newest first: `elem` is the constraint, `tail` (the
// older cells) is shared with every network copied from the one that recorded them.
template <class T>
using DeltaNeighbors = PersistentList<DeltaEdge<T>>;

using NodeIdHash = FxWordHash;

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
  std::size_t node_count() const noexcept { return nodes_.size(); }
  bool contains(NodeId id) const noexcept { return index_.contains(id); }

  // The potential of a node (its time is the negation), or null for a node never added.
  const T* distance(NodeId id) const noexcept {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : &nodes_[it->second].distance;
  }
  // The head of a node's constraint list (newest first), or null for a node never added.
  const Neighbors* constraints(NodeId id) const noexcept {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : &nodes_[it->second].constraints;
  }
  // Calls `visit(id, potential)` for every node, in the order the nodes were first added.
  template <class F>
  void for_each_distance(F&& visit) const {
    for (const NodeSlot& slot : nodes_) visit(slot.id, slot.distance);
  }

 private:
  // The two tables of a node (its potential and its list head) live in one slot, so they exist
  // together by construction; `index_` finds a node's slot. Slots keep first-insertion order.
  struct NodeSlot {
    NodeId id;
    T distance;
    Neighbors constraints;
  };

  std::uint32_t slot_of(NodeId id);  // creates the node (potential 0, no constraints) if new

  std::vector<NodeSlot> nodes_;
  boost::unordered_flat_map<NodeId, std::uint32_t, NodeIdHash> index_;
  T epsilon_;
  bool consistent_ = true;
};

extern template class DeltaSTN<double>;
extern template class DeltaSTN<Rational>;

}  // namespace quendral
