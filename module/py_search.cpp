#include "module/py_search.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "base/search/searches.hpp"
#include "module/py_heuristic.hpp"
#include "module/py_records.hpp"
#include "module/py_search_space.hpp"

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

// Every search's parameters are converted in order, `ss` first: its shared borrow is taken at
// once and held until the function returns, so the space cannot change under the search.

// bfs_search and dfs_search: `ss`, `timeout`, `early_termination`.
PyObject* run_basic_search(const py::Signature& sig, const py::Args& args, bool bfs) {
  std::optional<py::SharedBorrow> borrow;
  const SearchSpace& space = py::borrow_search_space(sig, args, 0, borrow);
  const std::optional<float> timeout = py::convert_arg(sig, args, 1, py::to_timeout);
  const bool early_termination = py::convert_arg(sig, args, 2, py::to_flag);
  return py::search_result_to_py(basic_search(space, bfs, timeout, early_termination)).release();
}

// The informed searches: `ss`, then `heuristic` (used in place: what its caches learn stays in
// them), `weight` where there is one, `timeout` and the two flags.
struct InformedArgs {
  std::optional<py::SharedBorrow> borrow;
  const SearchSpace* space = nullptr;
  const Heuristic* heuristic = nullptr;
  double weight = 0.0;
  std::optional<float> timeout;
  bool early_termination = false;
  bool weak_equality = false;
};

// `with_weight`: the third parameter is the caller's weight; otherwise the weight is `weight`.
void convert_informed(const py::Signature& sig, const py::Args& args, bool with_weight, InformedArgs& out) {
  out.space = &py::borrow_search_space(sig, args, 0, out.borrow);
  out.heuristic = &py::convert_arg(sig, args, 1, py::heuristic_from_py);
  std::size_t next = 2;
  if (with_weight) out.weight = py::convert_arg(sig, args, next++, py::to_double);
  out.timeout = py::convert_arg(sig, args, next++, py::to_timeout);
  out.early_termination = py::convert_arg(sig, args, next++, py::to_flag);
  out.weak_equality = py::convert_arg(sig, args, next, py::to_flag);
}

enum class Bounded { No, Yes };

PyObject* run_wastar(const py::Signature& sig, const py::Args& args, std::optional<double> fixed_weight,
                     Bounded bounded) {
  InformedArgs a;
  convert_informed(sig, args, !fixed_weight, a);
  if (fixed_weight) a.weight = *fixed_weight;
  const SearchResult result =
      bounded == Bounded::Yes
          ? wastar_search_memory_bounded(*a.space, *a.heuristic, a.weight, a.timeout, a.early_termination,
                                         a.weak_equality)
          : wastar_search(*a.space, *a.heuristic, a.weight, a.timeout, a.early_termination, a.weak_equality);
  return py::search_result_to_py(result).release();
}

}  // namespace

namespace py {

#define QUENDRAL_BASIC_SIGNATURE(NAME) (#NAME, {{"ss"}, {"timeout", "None"}, {"early_termination", "False"}})
#define QUENDRAL_INFORMED_SIGNATURE(NAME) \
  (#NAME, {{"ss"}, {"heuristic"}, {"timeout", "None"}, {"early_termination", "False"}, {"weak_equality", "False"}})
#define QUENDRAL_WEIGHTED_SIGNATURE(NAME)                                                                   \
  (#NAME, {{"ss"}, {"heuristic"}, {"weight"}, {"timeout", "None"}, {"early_termination", "False"}, \
           {"weak_equality", "False"}})

QUENDRAL_PY_FUNCTION(dfs_search, QUENDRAL_BASIC_SIGNATURE(dfs_search), { return run_basic_search(sig, args, false); })
QUENDRAL_PY_FUNCTION(bfs_search, QUENDRAL_BASIC_SIGNATURE(bfs_search), { return run_basic_search(sig, args, true); })

QUENDRAL_PY_FUNCTION(wastar_search, QUENDRAL_WEIGHTED_SIGNATURE(wastar_search),
                     { return run_wastar(sig, args, std::nullopt, Bounded::No); })
QUENDRAL_PY_FUNCTION(astar_search, QUENDRAL_INFORMED_SIGNATURE(astar_search),
                     { return run_wastar(sig, args, 0.5, Bounded::No); })
QUENDRAL_PY_FUNCTION(gbfs_search, QUENDRAL_INFORMED_SIGNATURE(gbfs_search),
                     { return run_wastar(sig, args, 1.0, Bounded::No); })
QUENDRAL_PY_FUNCTION(wastar_search_memory_bounded, QUENDRAL_WEIGHTED_SIGNATURE(wastar_search_memory_bounded),
                     { return run_wastar(sig, args, std::nullopt, Bounded::Yes); })
QUENDRAL_PY_FUNCTION(astar_search_memory_bounded, QUENDRAL_INFORMED_SIGNATURE(astar_search_memory_bounded),
                     { return run_wastar(sig, args, 0.5, Bounded::Yes); })
QUENDRAL_PY_FUNCTION(gbfs_search_memory_bounded, QUENDRAL_INFORMED_SIGNATURE(gbfs_search_memory_bounded),
                     { return run_wastar(sig, args, 1.0, Bounded::Yes); })

QUENDRAL_PY_FUNCTION(ehc_search, QUENDRAL_INFORMED_SIGNATURE(ehc_search), {
  InformedArgs a;
  convert_informed(sig, args, false, a);
  return py::search_result_to_py(ehc_search(*a.space, *a.heuristic, a.timeout, a.early_termination, a.weak_equality))
      .release();
})

#undef QUENDRAL_BASIC_SIGNATURE
#undef QUENDRAL_INFORMED_SIGNATURE
#undef QUENDRAL_WEIGHTED_SIGNATURE

// multiqueue_search: each (Heuristic, weight) pair is converted into a copy of the heuristic
// (sharing its caches with the given object) and the weight; the copies live for the run.
QUENDRAL_PY_FUNCTION(multiqueue_search,
                     ("multiqueue_search", {{"ss"},
                                            {"heuristics"},
                                            {"timeout", "None"},
                                            {"early_termination", "False"},
                                            {"weak_equality", "False"}}),
                     {
                       std::optional<SharedBorrow> borrow;
                       const SearchSpace& space = borrow_search_space(sig, args, 0, borrow);
                       std::vector<std::pair<Heuristic, double>> pairs = convert_arg(sig, args, 1, [](PyObject* o) {
                         return to_list(o, [](PyObject* pair) {
                           return to_pair(
                               pair, [](PyObject* h) { return Heuristic(heuristic_from_py(h)); }, to_double);
                         });
                       });
                       const std::optional<float> timeout = convert_arg(sig, args, 2, to_timeout);
                       const bool early_termination = convert_arg(sig, args, 3, to_flag);
                       const bool weak_equality = convert_arg(sig, args, 4, to_flag);
                       const RoundRobinSwitchPolicy policy{pairs.size()};
                       return search_result_to_py(_multiqueue_search(space, std::move(pairs), policy, timeout,
                                                                     early_termination, weak_equality))
                           .release();
                     })

}  // namespace py

}  // namespace quendral
