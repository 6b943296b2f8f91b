// HeuristicTrait: what a search needs from a heuristic.
//
// An implementation supplies one operation, `eval`: the value of one state. The lazy forms below
// (`eval_gen`, `eval_gen_owned`, `eval_gen_container`) belong to the interface itself, are built
// on `eval` for every implementation and are never replaced by one: they are what the informed
// searches put at the evaluating end of their successor pipelines, so that a successor is
// evaluated only when the search asks for it.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/containers/lazy_sequence.hpp"
#include "base/core/memory.hpp"
#include "base/space/search_space_trait.hpp"
#include "base/space/search_state.hpp"

namespace quendral {

// A state shared by reference counting between the open lists, the duplicate sets and the
// pipelines of a search; immutable once shared.
using SharedState = std::shared_ptr<const State>;

// `state`, moved into a new shared state (one block for the state and its count).
inline SharedState share_state(State&& state) {
  return std::allocate_shared<State>(memory::Allocator<State>(), std::move(state));
}

// Drops the references in `states` (and empties it) in the order of the states' addresses.
// A search's containers hold their states in heap or hash order, scattered over memory; the
// allocator laid them out, with their value leaves and path cells, in the order they were
// made, so releasing them by address walks each of those regions forward instead of missing
// the cache on every state. Large lists are ordered by a radix sort, linear in the states;
// a few thousand are released as they stand.
void release_in_address_order(std::vector<SharedState>& states) noexcept;

// The same for the elements of a container: `take(element)` moves the element's shared state
// out; the container is emptied. Without room for the list, the container is emptied as it
// stands.
template <class Items, class Take>
void release_in_address_order(Items& items, Take take) noexcept {
  std::vector<SharedState> states;
  try {
    states.reserve(items.size());
  } catch (const std::bad_alloc&) {
    items.clear();
    return;
  }
  for (auto& item : items) states.push_back(take(item));
  items.clear();
  release_in_address_order(states);
}

// The value of a state: a number (used as it comes: sign, infinities and NaN are not tested), or
// nothing when the goal cannot be reached from the state (a dead end, which the searches drop).
using HeuristicValue = std::optional<double>;

// `eval(state, space)`:
//  - returns the state's value for the task `space`; the state is only read (a caching heuristic
//    may record the value in the state's own heuristic cache, the one part of a state that may
//    change after it was published);
//  - throws `quendral::Error` when the value cannot be computed (an evaluation error, or an
//    exception raised by a heuristic given as a Python callable, carried unchanged); the search
//    then ends with that error.
// It is `const`: what a heuristic learns while it evaluates (its value caches) lives behind its
// own locks.
template <class H, class S>
concept HeuristicTrait = SearchSpaceTrait<S> && requires(const H& heuristic, const State& state, const S& space) {
  { heuristic.eval(state, space) } -> std::same_as<HeuristicValue>;
};

// ---------------------------------------------------------------- the lazy forms

template <class State_>
struct Evaluated {
  State_ state;
  HeuristicValue value;
};

// `eval_gen` and `eval_gen_owned`: for each item of `successors`, in order, an error item is
// passed on unchanged (thrown on), and a state s becomes (s, eval(s, space)); when `eval` throws,
// that error is the item and s is released. One successor is pulled and evaluated per request.
// `State_` is `SharedState` for `eval_gen` and the owned `State` for `eval_gen_owned`.
template <class H, class S, class State_, class Inner>
  requires HeuristicTrait<H, S> && LazySequence<Inner, State_>
class EvalGen {
 public:
  EvalGen(const H& heuristic, Inner successors, const S& space)
      : heuristic_(&heuristic), successors_(std::move(successors)), space_(&space) {}

  std::optional<Evaluated<State_>> next() {
    std::optional<State_> state = successors_.next();
    if (!state) return std::nullopt;
    // Evaluate before the state is moved into the item.
    HeuristicValue value = heuristic_->eval(state_of(*state), *space_);
    return Evaluated<State_>{std::move(*state), value};
  }
  SizeHint size_hint() const { return size_hint_of(successors_); }

 private:
  static const State& state_of(const State& state) noexcept { return state; }
  static const State& state_of(const SharedState& state) noexcept { return *state; }

  const H* heuristic_;
  Inner successors_;
  const S* space_;
};

template <class H, class S, class Inner>
  requires HeuristicTrait<H, S> && LazySequence<Inner, SharedState>
std::unique_ptr<BoxedSequence<Evaluated<SharedState>>> eval_gen(const H& heuristic, Inner successors, const S& space) {
  return box_sequence<Evaluated<SharedState>>(EvalGen<H, S, SharedState, Inner>(heuristic, std::move(successors), space));
}

template <class H, class S, class Inner>
  requires HeuristicTrait<H, S> && LazySequence<Inner, State>
std::unique_ptr<BoxedSequence<Evaluated<State>>> eval_gen_owned(const H& heuristic, Inner successors, const S& space) {
  return box_sequence<Evaluated<State>>(EvalGen<H, S, State, Inner>(heuristic, std::move(successors), space));
}

// `eval_gen_container`: one item per container of `batch`, in batch order: (its position in the
// batch from 0, eval(its state, space)), or the error of `eval` as the item. Creating the
// sequence evaluates nothing; its size hint is exact. A container is anything with a `state`
// member holding a `SharedState`; the batch must outlive the sequence.
struct PositionedValue {
  std::size_t position;
  HeuristicValue value;
};

template <class H, class S, class Container>
  requires HeuristicTrait<H, S> && requires(const Container& c) {
    { *c.state } -> std::convertible_to<const State&>;
  }
class EvalGenContainer {
 public:
  EvalGenContainer(const H& heuristic, std::span<const Container> batch, const S& space)
      : heuristic_(&heuristic), batch_(batch), space_(&space) {}

  std::optional<PositionedValue> next() {
    if (position_ >= batch_.size()) return std::nullopt;
    const std::size_t position = position_++;  // moved past before `eval` may throw
    return PositionedValue{position, heuristic_->eval(*batch_[position].state, *space_)};
  }
  SizeHint size_hint() const {
    const std::size_t left = batch_.size() - position_;
    return SizeHint{left, left};
  }

 private:
  const H* heuristic_;
  std::span<const Container> batch_;
  const S* space_;
  std::size_t position_ = 0;
};

template <class H, class S, class Container>
  requires HeuristicTrait<H, S>
std::unique_ptr<BoxedSequence<PositionedValue>> eval_gen_container(const H& heuristic,
                                                                   std::span<const Container> batch, const S& space) {
  return box_sequence<PositionedValue>(EvalGenContainer<H, S, Container>(heuristic, batch, space));
}

}  // namespace quendral

namespace quendral {

// ---------------------------------------------------------------- heuristics given as callables

// A heuristic computed by the host: a Python callable, reached through this interface so that the
// engine never calls into the interpreter itself. module/ implements it.
class CustomHeuristicCallable {
 public:
  virtual ~CustomHeuristicCallable() = default;
  // The callable's value for a fresh full copy of `state`: a number as it comes, nothing for a
  // dead end. An exception raised by the callable, or a result that is not a number, is thrown
  // as an `Error` carrying the host's own exception unchanged.
  virtual HeuristicValue call(const State& state) const = 0;
};

// The engine side of a callable heuristic. Copies share the callable.
class CustomHeuristic {
 public:
  explicit CustomHeuristic(std::shared_ptr<const CustomHeuristicCallable> callable) : callable_(std::move(callable)) {}

  HeuristicValue eval(const State& state) const { return callable_->call(state); }

 private:
  std::shared_ptr<const CustomHeuristicCallable> callable_;
};

}  // namespace quendral
