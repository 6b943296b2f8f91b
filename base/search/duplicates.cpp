#include "base/search/duplicates.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <new>
#include <utility>
#include <vector>

namespace quendral {

bool operator==(const WeakEqState& a, const WeakEqState& b) noexcept {
  const State& x = *a.state;
  const State& y = *b.state;
  if (&x == &y) return true;
  if (x.todo.size() != y.todo.size()) return false;
  if (!(x.values == y.values)) return false;
  for (const auto& [action, entry] : x.todo) {
    const TodoEntry* other = y.todo.find(action);
    if (!other || other->pos != entry.pos) return false;
  }
  return true;
}

namespace {

// Puts `states` in the order of their addresses where that pays: a few thousand states fit the
// caches as they stand, and up to the radix sort's break-even (its two passes fill 2 × 65536
// counters) a comparison sort is cheaper. Without room for the radix sort's scratch, leaves the
// order as it is.
void order_by_address(std::vector<SharedState>& states) noexcept {
  const std::size_t n = states.size();
  if (n < 8192) return;
  if (n < 65536) {
    std::sort(states.begin(), states.end(), [](const SharedState& a, const SharedState& b) {
      return std::less<const State*>{}(a.get(), b.get());
    });
    return;
  }
  // Two passes of 16 bits over the address above its low 6 (blocks are at least that far apart),
  // which orders any heap of up to 256 GiB; beyond that the order is by region, as good for the
  // cache. The scatter moves references; no count changes.
  constexpr unsigned kLow = 6;
  std::vector<SharedState> scratch;
  std::vector<std::size_t> start;
  try {
    scratch.resize(n);
    start.resize(std::size_t{1} << 16);
  } catch (const std::bad_alloc&) {
    return;
  }
  const auto key = [](const SharedState& s, unsigned pass) {
    return (reinterpret_cast<std::uintptr_t>(s.get()) >> (kLow + 16 * pass)) & 0xFFFF;
  };
  std::vector<SharedState>* from = &states;
  std::vector<SharedState>* to = &scratch;
  for (unsigned pass = 0; pass < 2; ++pass) {
    std::fill(start.begin(), start.end(), 0);
    for (const SharedState& s : *from) ++start[key(s, pass)];
    std::size_t at = 0;
    for (std::size_t& slot : start) at += std::exchange(slot, at);
    for (SharedState& s : *from) (*to)[start[key(s, pass)]++] = std::move(s);
    std::swap(from, to);
  }
  // After two passes the ordered references are back in `states`.
}

}  // namespace

void release_in_address_order(std::vector<SharedState>& states) noexcept {
  order_by_address(states);
  for (SharedState& s : states) s.reset();  // front to back, in the order found
  states.clear();
}

DuplicateSet::~DuplicateSet() {
  release_in_address_order(states_, [](const Entry& e) { return std::move(e.state); });
}

bool DuplicateSet::contains(const SharedState& state) const {
  switch (kind_) {
    case Kind::None: return false;
    case Kind::States: return states_.contains(*state);
    case Kind::WeakStates: return weak_.contains(WeakEqState{state});
  }
  return false;
}

bool DuplicateSet::insert(const SharedState& state) {
  switch (kind_) {
    case Kind::None: return true;
    case Kind::States: return states_.insert(Entry{state, state->hash()}).second;
    case Kind::WeakStates: return weak_.insert(WeakEqState{state}).second;
  }
  return true;
}

std::optional<SharedState> DuplicateSet::insert_new(State&& state) {
  if (kind_ == Kind::States) {
    const std::uint64_t hash = state.hash();
    if (states_.contains(state)) return std::nullopt;
    SharedState shared = share_state(std::move(state));
    states_.insert(Entry{shared, hash});
    return shared;
  }
  SharedState shared = share_state(std::move(state));
  if (!insert(shared)) return std::nullopt;
  return shared;
}

}  // namespace quendral
