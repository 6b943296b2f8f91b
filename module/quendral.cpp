#include "module/quendral.hpp"

#include "module/log_bridge.hpp"
#include "module/py_expressions.hpp"

namespace quendral {
namespace {

// Every name of the module in registration order. A name whose engine part is not built yet has
// no registration and is absent from the module.
struct Registration {
  const char* name;
  void (*add)(PyObject* module);
};

constexpr Registration kRegistrations[] = {
    // classes
    {"ExpressionNode", py::register_expression_node_class},
    {"Effect", nullptr},
    {"Timing", nullptr},
    {"Event", nullptr},
    {"Action", nullptr},
    {"SearchSpace", nullptr},
    {"State", nullptr},
    {"Heuristic", nullptr},
    // functions
    {"make_operator_node", py::register_make_operator_node},
    {"make_bool_constant_node", py::register_make_bool_constant_node},
    {"make_int_constant_node", py::register_make_int_constant_node},
    {"make_rational_constant_node", py::register_make_rational_constant_node},
    {"make_object_node", py::register_make_object_node},
    {"make_fluent_node", py::register_make_fluent_node},
    {"shift_expression", nullptr},
    {"dfs_search", nullptr},
    {"bfs_search", nullptr},
    {"multiqueue_search", nullptr},
    {"wastar_search", nullptr},
    {"wastar_search_memory_bounded", nullptr},
    {"astar_search", nullptr},
    {"astar_search_memory_bounded", nullptr},
    {"gbfs_search", nullptr},
    {"gbfs_search_memory_bounded", nullptr},
    {"ehc_search", nullptr},
    {"evaluate", nullptr},
    {"simplify", nullptr},
    {"get_fluents", nullptr},
};
static_assert(std::size(kRegistrations) == 28);

int module_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "quendral: the execution step was not given a module");
    return -1;
  }
  PyObject* result = py::guarded([&]() -> PyObject* {
    quendral(module);
    return Py_None;
  });
  return result ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "quendral",
    "A search engine for automated planning over exact numeric and temporal tasks.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

void quendral(PyObject* module) {
  py::install_log_bridge();
  for (const Registration& registration : kRegistrations) {
    if (registration.add) registration.add(module);
  }
}

PyObject* module_init() { return PyModuleDef_Init(&kDefinition); }

}  // namespace quendral
