// The Python search functions: each converts its arguments, runs one engine search routine on
// the search space (held under a shared borrow for the whole run) and converts the result into
// the tuple (plan as a list of new `Action`s, or None; statistics as a dict of str to str).
#pragma once

#include <optional>

#include "base/search/framework.hpp"
#include "module/binding.hpp"

namespace quendral::py {

// The optional 32-bit timeout: None (or omitted) is no limit; a number is read as a double and
// narrowed to single precision, so one beyond its range is an infinity.
std::optional<float> to_timeout(PyObject* object);

// (plan or None, {statistic: text}), all new objects.
Ref search_result_to_py(const SearchResult& result);

// The search functions, in the module's registration table.
extern PyMethodDef dfs_search_def;
extern PyMethodDef bfs_search_def;
extern PyMethodDef multiqueue_search_def;
extern PyMethodDef wastar_search_def;
extern PyMethodDef wastar_search_memory_bounded_def;
extern PyMethodDef astar_search_def;
extern PyMethodDef astar_search_memory_bounded_def;
extern PyMethodDef gbfs_search_def;
extern PyMethodDef gbfs_search_memory_bounded_def;
extern PyMethodDef ehc_search_def;

}  // namespace quendral::py
