#include "module/py_search.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "module/py_search_space.hpp"
#include "module/py_structures.hpp"

namespace quendral {
namespace py {

std::optional<float> to_timeout(PyObject* object) { return to_optional(object, to_f32); }

Ref search_result_to_py(const SearchResult& result) {
  Ref plan = py_none();
  if (result.plan) {
    plan = Ref::check(PyList_New(static_cast<Py_ssize_t>(result.plan->size())));
    for (std::size_t i = 0; i < result.plan->size(); ++i) {
      PyList_SET_ITEM(plan.get(), static_cast<Py_ssize_t>(i), wrap_action((*result.plan)[i]).release());
    }
  }
  // The keys in name order ("expanded_states" before "goal_depth"), whatever the map's layout.
  std::vector<const std::pair<const std::string, std::string>*> entries;
  for (const auto& entry : result.statistics) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  Ref statistics = Ref::check(PyDict_New());
  for (const auto* entry : entries) {
    Ref key = py_str(entry->first);
    Ref value = py_str(entry->second);
    if (PyDict_SetItem(statistics.get(), key.get(), value.get()) < 0) throw_py();
  }
  return Ref::check(PyTuple_Pack(2, plan.get(), statistics.get()));
}

}  // namespace py

namespace {

// bfs_search and dfs_search: `ss` is borrowed at once and held until the function returns,
// then the timeout and the flag are converted.
PyObject* run_basic_search(const py::Signature& sig, const py::Args& args, bool bfs) {
  // The shared borrow of the space is taken with its conversion and held for the whole run, so
  // the space cannot change under the search.
  std::optional<py::SharedBorrow> borrow;
  const SearchSpace& space = *py::convert_arg(sig, args, 0, [&](PyObject* object) {
    const SearchSpace* found = &py::search_space_from_py(object);
    borrow.emplace(object);
    return found;
  });
  const std::optional<float> timeout = py::convert_arg(sig, args, 1, py::to_timeout);
  const bool early_termination = args.given(2) ? py::convert_arg(sig, args, 2, py::to_flag) : false;
  return py::search_result_to_py(basic_search(space, bfs, timeout, early_termination)).release();
}

QUENDRAL_PY_FUNCTION(dfs_search, ("dfs_search", {{"ss"}, {"timeout", "None"}, {"early_termination", "False"}}),
                     { return run_basic_search(sig, args, false); })

QUENDRAL_PY_FUNCTION(bfs_search, ("bfs_search", {{"ss"}, {"timeout", "None"}, {"early_termination", "False"}}),
                     { return run_basic_search(sig, args, true); })

}  // namespace

namespace py {
void register_dfs_search(PyObject* module) { register_function(module, &k_def_dfs_search); }
void register_bfs_search(PyObject* module) { register_function(module, &k_def_bfs_search); }
}  // namespace py

}  // namespace quendral
