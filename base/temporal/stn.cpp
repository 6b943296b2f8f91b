#include "base/temporal/stn.hpp"

#include <algorithm>
#include <new>

#include "base/core/errors.hpp"

namespace quendral {

// ---------------------------------------------------------------- NodeIndex

namespace detail {

namespace {
// Bits set in a trie node's bitmap. The build targets no particular processor, so
// `std::popcount` is a library call; this stays inline.
int popcount(std::uint32_t v) noexcept {
  v = v - ((v >> 1) & 0x55555555u);
  v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
  return static_cast<int>((((v + (v >> 4)) & 0x0f0f0f0fu) * 0x01010101u) >> 24);
}
}  // namespace

NodeIndex::Node* NodeIndex::make(std::uint32_t values, std::uint32_t children) {
  const int count = popcount(values | children);
  void* memory = ::operator new(sizeof(Node) + static_cast<std::size_t>(count) * sizeof(Entry));
  Node* node = new (memory) Node;
  node->values = values;
  node->children = children;
  return node;
}

void NodeIndex::release(Node* node) noexcept {
  if (!node || node->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  const std::uint32_t occupied = node->values | node->children;
  Entry* entries = node->entries();
  for (std::uint32_t bits = node->children; bits; bits &= bits - 1) {
    const std::uint32_t bit = bits & (~bits + 1);
    release(entries[popcount(occupied & (bit - 1))].child);
  }
  node->~Node();
  ::operator delete(node);
}

std::uint32_t NodeIndex::find(std::uint64_t id) const noexcept {
  const std::uint64_t hash = mix(id);
  const Node* node = root_;
  for (unsigned shift = 0; node; shift += 5) {
    const std::uint32_t bit = std::uint32_t{1} << ((hash >> shift) & 31);
    const std::uint32_t occupied = node->values | node->children;
    if (!(occupied & bit)) return UINT32_MAX;
    const Entry& entry = node->entries()[popcount(occupied & (bit - 1))];
    if (node->values & bit) return entry.key == id ? entry.slot : UINT32_MAX;
    node = entry.child;
  }
  return UINT32_MAX;
}

// A trie node holding the two value entries, at the first level where their hashes part.
NodeIndex::Node* NodeIndex::pair(std::uint64_t h1, const Entry& e1, std::uint64_t h2, const Entry& e2,
                                 unsigned shift) {
  const std::uint32_t b1 = std::uint32_t{1} << ((h1 >> shift) & 31);
  const std::uint32_t b2 = std::uint32_t{1} << ((h2 >> shift) & 31);
  if (b1 == b2) {
    Node* node = make(0, b1);
    node->entries()[0].key = 0;
    node->entries()[0].child = pair(h1, e1, h2, e2, shift + 5);
    return node;
  }
  Node* node = make(b1 | b2, 0);
  node->entries()[b1 < b2 ? 0 : 1] = e1;
  node->entries()[b1 < b2 ? 1 : 0] = e2;
  return node;
}

// `node` (null: an empty one) with `id` at `slot` added below it. A node that only this index
// reaches (`owned`: it and every node above it held once) is changed in place, or, when it
// must grow, moved into a larger node; a shared one is copied, and the copy holds its own
// references to the subtries it keeps. So the first insertion after a copy copies the path to
// the new id, and later ones change in place what that copy made.
NodeIndex::Node* NodeIndex::with(Node* node, std::uint64_t hash, std::uint64_t id, std::uint32_t slot, unsigned shift,
                                 bool owned) {
  Entry fresh;
  fresh.key = id;
  fresh.slot = slot;
  const std::uint32_t bit = std::uint32_t{1} << ((hash >> shift) & 31);
  if (!node) {
    Node* made = make(bit, 0);
    made->entries()[0] = fresh;
    return made;
  }
  const std::uint32_t occupied = node->values | node->children;
  const int at = popcount(occupied & (bit - 1));
  const int count = popcount(occupied);
  Entry* old = node->entries();
  if (!(occupied & bit)) {
    Node* made = make(node->values | bit, node->children);
    Entry* entries = made->entries();
    std::copy(old, old + at, entries);
    entries[at] = fresh;
    std::copy(old + at, old + count, entries + at + 1);
    if (owned) {
      // The references move with the entries.
      node->~Node();
      ::operator delete(node);
    } else {
      for (std::uint32_t bits = node->children; bits; bits &= bits - 1) {
        const std::uint32_t b = bits & (~bits + 1);
        retain(entries[popcount((occupied | bit) & (b - 1))].child);
      }
    }
    return made;
  }
  Node* child;
  bool child_owned = false;
  if (node->values & bit) {
    // The position holds another id: both move one level down.
    child = pair(mix(old[at].key), old[at], hash, fresh, shift + 5);
  } else {
    child_owned = owned && old[at].child->refs.load(std::memory_order_acquire) == 1;
    child = with(old[at].child, hash, id, slot, shift + 5, child_owned);
  }
  if (owned) {
    if (node->values & bit) {
      node->values &= ~bit;
      node->children |= bit;
    } else if (!child_owned) {
      release(old[at].child);  // this node's reference moves to the copy
    }
    old[at].key = 0;
    old[at].child = child;
    return node;
  }
  std::uint32_t values = node->values;
  std::uint32_t children = node->children;
  if (values & bit) {
    values &= ~bit;
    children |= bit;
  }
  Node* made = make(values, children);
  Entry* entries = made->entries();
  std::copy(old, old + count, entries);
  entries[at].key = 0;
  entries[at].child = child;
  for (std::uint32_t bits = children & ~bit; bits; bits &= bits - 1) {
    const std::uint32_t b = bits & (~bits + 1);
    retain(entries[popcount(occupied & (b - 1))].child);
  }
  return made;
}

void NodeIndex::insert(std::uint64_t id, std::uint32_t slot) {
  const bool owned = root_ && root_->refs.load(std::memory_order_acquire) == 1;
  Node* made = with(root_, mix(id), id, slot, 0, owned);
  // An owned root was changed in place or moved into `made`; a shared one stays with its
  // other holders.
  if (!owned) release(root_);
  root_ = made;
}

}  // namespace detail

// ---------------------------------------------------------------- DeltaSTN

namespace {

// Scratch space of a propagation, reused by every network on the thread. `lengths[slot]` is
// meaningful only where `marks[slot]` holds the current propagation's number, so starting a
// propagation costs nothing per node of the network: it touches only the nodes it relaxes.
struct Propagation {
  std::vector<std::uint32_t> queue;    // slots, first in first out from `head`
  std::vector<std::uint32_t> lengths;  // per slot: edges on the walk that set its potential here
  std::vector<std::uint32_t> marks;    // per slot: the propagation that wrote `lengths`
  std::uint32_t current = 0;

  void begin(std::size_t node_count) {
    if (marks.size() < node_count) {
      marks.resize(std::max(node_count, 2 * marks.size()), 0);
      lengths.resize(marks.size(), 0);
    }
    if (++current == 0) {  // wrapped round: forget every old mark
      std::fill(marks.begin(), marks.end(), 0);
      current = 1;
    }
    queue.clear();
  }
  std::uint32_t length(std::uint32_t slot) const noexcept { return marks[slot] == current ? lengths[slot] : 0; }
  void set_length(std::uint32_t slot, std::uint32_t value) noexcept {
    marks[slot] = current;
    lengths[slot] = value;
  }
};

Propagation& scratch() {
  thread_local Propagation propagation;
  return propagation;
}

}  // namespace

template <class T>
std::uint32_t DeltaSTN<T>::slot_of(NodeId id) {
  const std::uint32_t found = index_.find(id);
  if (found != UINT32_MAX) return found;
  QUENDRAL_CHECK(ids_.size() < UINT32_MAX - 1, "too many nodes in a temporal network");
  const auto slot = static_cast<std::uint32_t>(ids_.size());
  index_.insert(id, slot);
  ids_.push_back(id);
  distances_.push_back(T(0));
  heads_.push_back(Neighbors());
  return slot;
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
  //    The walk stops at the first cell made before y existed: no cell from there on names y.
  {
    const DeltaNeighbors<T>* cell = heads_[sx].get();
    while (cell && cell->elem.stamp > sy && cell->elem.dst_slot != sy) cell = cell->tail.get();
    if (cell && cell->elem.stamp <= sy) cell = nullptr;
    if (!(cell && cell->elem.bound <= epsilon_ + b)) {
      const auto stamp = static_cast<std::uint32_t>(ids_.size());
      heads_.set(sx, DeltaNeighbors<T>::append(DeltaEdge<T>{y, b, sy, stamp}, heads_[sx]));
    }
  }

  // 4. Already satisfied within the tolerance: the potentials stay as they are.
  if (distances_[sy] - epsilon_ <= distances_[sx] + b) {
    consistent_ = true;
    return;
  }

  // 5. Pull y down to satisfy the new constraint, then let the change spread.
  distances_.set(sy, distances_[sx] + b);

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
  const std::size_t node_count = ids_.size();
  p.begin(node_count);
  std::size_t head = 0;
  p.queue.push_back(sy);
  p.set_length(sy, 1);
  const T low = -epsilon_;
  while (head < p.queue.size()) {
    const std::uint32_t su = p.queue[head++];
    // Relaxing changes potentials only, never a list head, so the cells stay where they are.
    for (const DeltaNeighbors<T>* cell = heads_[su].get(); cell; cell = cell->tail.get()) {
      const DeltaEdge<T>& edge = cell->elem;
      const std::uint32_t sv = edge.dst_slot;
      const T& du = distances_[su];
      if (distances_[sv] - epsilon_ <= du + edge.bound) continue;
      if (sv == sy) {
        // Back into y through a constraint within the tolerance of the one being added: the new
        // constraint closes a negative cycle.
        const T slack = edge.bound - b;
        if (low <= slack && slack <= epsilon_) {
          consistent_ = false;
          return;
        }
      }
      const std::uint32_t length = p.length(su);
      if (length >= node_count) {
        consistent_ = false;
        return;
      }
      distances_.set(sv, du + edge.bound);
      p.set_length(sv, length + 1);
      p.queue.push_back(sv);
    }
  }

  // 7. The queue ran dry: every constraint holds within the tolerance again.
  consistent_ = true;
}

template class DeltaSTN<double>;
template class DeltaSTN<Rational>;

}  // namespace quendral
