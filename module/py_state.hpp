// The Python face of the search state: the class `State`, frozen and read-only, without a
// constructor. Python receives states from the search space; the searches and heuristics use
// the engine state it holds in place.
#pragma once

#include <memory>

#include "base/space/search_state.hpp"
#include "module/binding.hpp"

namespace quendral {

struct PyState {
  std::shared_ptr<const State> state;
  static const py::ClassSpec& spec();
};

namespace py {

// A new Python `State` owning `state`, or sharing it.
Ref wrap_state(State state);
Ref wrap_state(std::shared_ptr<const State> state);

// The engine state a Python `State` holds (used in place); any other object is a TypeError
// naming the class.
const State& state_from_py(PyObject* object);
std::shared_ptr<const State> shared_state_from_py(PyObject* object);

void register_state_class(PyObject* module);

}  // namespace py
}  // namespace quendral
