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

void release_in_address_order(std::vector<SharedState>& states) noexcept {
  // Two passes of 16 bits over the address above its low 6 (blocks are at least that far apart),
  // which orders any heap of up to 256 GiB; beyond that the order is by region, as good for the
  // cache. The scatter moves references; no count changes before the final walk.
  constexpr unsigned kLow = 6;
  const std::size_t n = states.size();
  // A few thousand states fit the caches as they stand; up to the radix sort's break-even
  // (its two passes fill 2 × 65536 counters) a comparison sort is cheaper.
  if (n < 8192) {
    states.clear();
    return;
  }
  if (n < 65536) {
    std::sort(states.begin(), states.end(), [](const SharedState& a, const SharedState& b) {
      return std::less<const State*>{}(a.get(), b.get());
    });
    for (SharedState& s : states) s.reset();
    states.clear();
    return;
  }
  std::vector<SharedState> scratch;
  std::vector<std::size_t> start;
  try {
    scratch.resize(n);
    start.resize(std::size_t{1} << 16);
  } catch (const std::bad_alloc&) {
    states.clear();  // no room to order them: released as they stand
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
  for (SharedState& s : states) s.reset();
  states.clear();
}

DuplicateSet::~DuplicateSet() {
  std::vector<SharedState> held;
  try {
    held.reserve(states_.size());
  } catch (const std::bad_alloc&) {
    return;  // the set releases its states as they stand
  }
  for (const Entry& e : states_) held.push_back(std::move(e.state));
  states_.clear();
  release_in_address_order(held);
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
