#include "module/quendral.hpp"

#include "module/log_bridge.hpp"
#include "module/py_expressions.hpp"
#include "module/py_expressions_utils.hpp"
#include "module/py_heuristic.hpp"
#include "module/py_search.hpp"
#include "module/py_search_space.hpp"
#include "module/py_state.hpp"
#include "module/py_records.hpp"

namespace quendral {
namespace {

// Every name of the module, in registration order.
struct Registration {
  const char* name;
  void (*add)(PyObject* module);
};

constexpr Registration kRegistrations[] = {
    // classes
    {"ExpressionNode", py::register_expression_node_class},
    {"Effect", py::register_effect_class},
    {"Timing", py::register_timing_class},
    {"Event", py::register_event_class},
    {"Action", py::register_action_class},
    {"SearchSpace", py::register_search_space_class},
    {"State", py::register_state_class},
    {"Heuristic", py::register_heuristic_class},
    // functions
    {"make_operator_node", py::register_make_operator_node},
    {"make_bool_constant_node", py::register_make_bool_constant_node},
    {"make_int_constant_node", py::register_make_int_constant_node},
    {"make_rational_constant_node", py::register_make_rational_constant_node},
    {"make_object_node", py::register_make_object_node},
    {"make_fluent_node", py::register_make_fluent_node},
    {"shift_expression", py::register_shift_expression},
    {"dfs_search", py::register_dfs_search},
    {"bfs_search", py::register_bfs_search},
    {"multiqueue_search", py::register_multiqueue_search},
    {"wastar_search", py::register_wastar_search},
    {"wastar_search_memory_bounded", py::register_wastar_search_memory_bounded},
    {"astar_search", py::register_astar_search},
    {"astar_search_memory_bounded", py::register_astar_search_memory_bounded},
    {"gbfs_search", py::register_gbfs_search},
    {"gbfs_search_memory_bounded", py::register_gbfs_search_memory_bounded},
    {"ehc_search", py::register_ehc_search},
    {"evaluate", py::register_evaluate},
    {"simplify", py::register_simplify},
    {"get_fluents", py::register_get_fluents},
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
    registration.add(module);
    // A wrongly wired entry would silently break the registration order.
    QUENDRAL_CHECK(PyObject_HasAttrString(module, registration.name) == 1,
                   std::string("registration did not add ") + registration.name);
  }
}

PyObject* module_init() { return PyModuleDef_Init(&kDefinition); }

}  // namespace quendral
