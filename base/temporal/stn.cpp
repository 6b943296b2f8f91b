#include "base/temporal/stn.hpp"

#include "base/core/errors.hpp"

namespace quendral {
namespace {

// Scratch space of a propagation, reused by every network on the thread so that an `add` that
// propagates allocates nothing once the buffers have grown.
struct Propagation {
  std::vector<std::uint32_t> queue;    // slots, first in first out from `head`
  std::vector<std::uint32_t> lengths;  // per slot: edges on the walk that set its potential here
};

Propagation& scratch() {
  thread_local Propagation propagation;
  return propagation;
}

}  // namespace

template <class T>
std::uint32_t DeltaSTN<T>::slot_of(NodeId id) {
  auto [it, inserted] = index_.try_emplace(id, static_cast<std::uint32_t>(nodes_.size()));
  if (inserted) {
    QUENDRAL_CHECK(nodes_.size() < UINT32_MAX, "too many nodes in a temporal network");
    nodes_.push_back(NodeSlot{id, T(0), Neighbors()});
  }
  return it->second;
}

template <class T>
void DeltaSTN<T>::add(NodeId x, NodeId y, const T& b) {
  // 1. An inconsistent network stays so and records nothing more, not even new nodes.
  if (!consistent_) return;

  // 2. New nodes start at potential 0 with no constraints.
  const std::uint32_t sx = slot_of(x);
  const std::uint32_t sy = slot_of(y);

  // 3. Duplicate test: only the newest constraint from x to y counts. One no looser than b
  //    (within the tolerance) makes the new one redundant; otherwise the new one goes in front.
  {
    const DeltaNeighbors<T>* cell = nodes_[sx].constraints.get();
    while (cell && cell->elem.dst != y) cell = cell->tail.get();
    if (!(cell && cell->elem.bound <= epsilon_ + b)) {
      nodes_[sx].constraints = DeltaNeighbors<T>::append(DeltaEdge<T>{y, b}, nodes_[sx].constraints);
    }
  }

  // 4. Already satisfied within the tolerance: the potentials stay as they are.
  if (nodes_[sy].distance - epsilon_ <= nodes_[sx].distance + b) {
    consistent_ = true;
    return;
  }

  // 5. Pull y down to satisfy the new constraint, then let the change spread.
  nodes_[sy].distance = nodes_[sx].distance + b;

  // 6. First in, first out; a node may stand in the queue several times. Within a node the
  //    newest constraint is relaxed first. The order decides the potentials when the tolerance
  //    is not 0.
  //
  //    Every potential set here comes from a walk of relaxed constraints that starts with x → y;
  //    `lengths` counts its edges. A walk longer than the number of nodes repeats a node, and
  //    since each relaxation lowered a potential by more than the tolerance, the constraints on
  //    the repeated stretch sum to less than −epsilon: a contradiction beyond the tolerance.
  //    A cycle that does not close through the new constraint escapes the test on y, and
  //    nothing in the network bounds how long the propagation would go round it: in exact
  //    arithmetic it can go round without end; in doubles it may end, but only once the
  //    potentials have grown so large that rounding tips one of the comparisons (thousands of
  //    passes for a five-node cycle with a tolerance of 1), and the network would then be taken
  //    for consistent. This test stops the walk at the first repeat instead. With a tolerance
  //    of 0 it never fires before the test on y below does.
  Propagation& p = scratch();
  p.queue.clear();
  p.lengths.assign(nodes_.size(), 0);
  const std::size_t node_count = nodes_.size();
  std::size_t head = 0;
  p.queue.push_back(sy);
  p.lengths[sy] = 1;
  const T low = -epsilon_;
  while (head < p.queue.size()) {
    const std::uint32_t su = p.queue[head++];
    for (const DeltaNeighbors<T>* cell = nodes_[su].constraints.get(); cell; cell = cell->tail.get()) {
      const DeltaEdge<T>& edge = cell->elem;
      auto it = index_.find(edge.dst);
      QUENDRAL_CHECK(it != index_.end(), "a constraint names a node the network does not hold");
      const std::uint32_t sv = it->second;
      if (nodes_[sv].distance - epsilon_ <= nodes_[su].distance + edge.bound) continue;
      if (sv == sy) {
        // Back into y through a constraint within the tolerance of the one being added: the new
        // constraint closes a negative cycle.
        const T slack = edge.bound - b;
        if (low <= slack && slack <= epsilon_) {
          consistent_ = false;
          return;
        }
      }
      if (p.lengths[su] >= node_count) {
        consistent_ = false;
        return;
      }
      nodes_[sv].distance = nodes_[su].distance + edge.bound;
      p.lengths[sv] = p.lengths[su] + 1;
      p.queue.push_back(sv);
    }
  }

  // 7. The queue ran dry: every constraint holds within the tolerance again.
  consistent_ = true;
}

template class DeltaSTN<double>;
template class DeltaSTN<Rational>;

}  // namespace quendral
