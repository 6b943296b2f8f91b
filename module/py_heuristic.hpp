// The heuristic the searches are run with, and its Python class `Heuristic`.
//
// A `Heuristic` wraps exactly one engine heuristic: the delete relaxation (`hdr`: "hff", "hadd",
// "hmax"), the explicit-value h-max (`hmax_explicit`), or a Python callable (`hcustom`). Around
// it, `eval` adds the optional per-state value cache: with `cache_value_in_state`, the value of a
// state is stored in the state's own heuristic cache under the heuristic's name, and any
// heuristic of the same name finds it there later without computing. The cache lock is held only
// for the lookup and for the store, never while a value is computed, so a callable may evaluate
// other heuristics on the state it is given.
//
// A record never changes once a factory made it; what its engine heuristic learns (value caches,
// the delete relaxation's expression manager) lives behind that heuristic's own locks and is
// shared with every copy.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "base/heuristics/hmax_explicit.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"
#include "base/search/heuristic_trait.hpp"
#include "base/space/search_space.hpp"
#include "module/binding.hpp"

namespace quendral {

struct Heuristic {
  std::optional<DeleteRelaxationHeuristic> hdr;
  std::optional<HMaxExplicit> hmax_explicit;
  std::optional<CustomHeuristic> hcustom;
  bool cache_value_in_state = false;

  // "hff", "hadd", "hmax" (with "_no_numbers" when numeric reasoning is off), "hmax_explicit"
  // or "custom": static texts, so a cache lookup builds no string.
  std::string_view name() const;

  // The state's value; throws the engine heuristic's error (or the callable's exception)
  // unchanged, and then stores nothing. The search space is not used.
  HeuristicValue eval(const State& state) const;
  template <class S>
  HeuristicValue eval(const State& state, const S&) const {
    return eval(state);
  }

 private:
  HeuristicValue compute(const State& state) const;
};

static_assert(HeuristicTrait<Heuristic, SearchSpace>);

struct PyHeuristic {
  std::shared_ptr<const Heuristic> heuristic;
  static const py::ClassSpec& spec();
};

namespace py {

// The heuristic a Python `Heuristic` holds (used in place); any other object is a TypeError
// naming the class.
const Heuristic& heuristic_from_py(PyObject* object);

void register_heuristic_class(PyObject* module);

}  // namespace py
}  // namespace quendral
