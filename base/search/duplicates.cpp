#include "base/search/duplicates.hpp"

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
