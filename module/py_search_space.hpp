// The Python face of the search space: the borrow-checked class `SearchSpace` (constructor,
// methods, `is_temporal` and `relevant_actions`) and the module function `get_fluents`.
//
// Every method and getter holds a shared borrow of the object for its call; the setter of
// `relevant_actions` takes the exclusive one, so it is refused while anything (a search run by
// the module, for instance) holds the space.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "base/space/search_space.hpp"
#include "module/binding.hpp"

namespace quendral {

struct PySearchSpace {
  std::unique_ptr<SearchSpace> space;
  static const py::ClassSpec& spec();
};

namespace py {

// The engine search space held by a Python `SearchSpace`; any other object is a TypeError naming
// the class. The caller holds a borrow (`SharedBorrow`) of the object for as long as it uses it.
const SearchSpace& search_space_from_py(PyObject* object);

// Argument `i` of a call as a search space, borrowed shared at once: `borrow` holds the borrow
// until the caller's call ends, so the space cannot change under it (a search's heuristic that
// sets `relevant_actions` is refused).
const SearchSpace& borrow_search_space(const Signature& sig, const Args& args, std::size_t i,
                                       std::optional<SharedBorrow>& borrow);

void register_search_space_class(PyObject* module);
extern PyMethodDef get_fluents_def;

}  // namespace py
}  // namespace quendral
