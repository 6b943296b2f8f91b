#include "module/quendral.hpp"

#include "module/log_bridge.hpp"
#include "module/py_expressions.hpp"
#include "module/py_expressions_utils.hpp"
#include "module/py_heuristic.hpp"
#include "module/py_records.hpp"
#include "module/py_search.hpp"
#include "module/py_search_space.hpp"
#include "module/py_state.hpp"

namespace quendral {
namespace {

// Every name of the module, in registration order: a class with the function that adds it, or a
// function with its method definition.
struct Registration {
  const char* name;
  void (*add_class)(PyObject* module);
  PyMethodDef* function = nullptr;
};

const Registration kRegistrations[] = {
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
    {"make_operator_node", nullptr, &py::make_operator_node_def},
    {"make_bool_constant_node", nullptr, &py::make_bool_constant_node_def},
    {"make_int_constant_node", nullptr, &py::make_int_constant_node_def},
    {"make_rational_constant_node", nullptr, &py::make_rational_constant_node_def},
    {"make_object_node", nullptr, &py::make_object_node_def},
    {"make_fluent_node", nullptr, &py::make_fluent_node_def},
    {"shift_expression", nullptr, &py::shift_expression_def},
    {"dfs_search", nullptr, &py::dfs_search_def},
    {"bfs_search", nullptr, &py::bfs_search_def},
    {"multiqueue_search", nullptr, &py::multiqueue_search_def},
    {"wastar_search", nullptr, &py::wastar_search_def},
    {"wastar_search_memory_bounded", nullptr, &py::wastar_search_memory_bounded_def},
    {"astar_search", nullptr, &py::astar_search_def},
    {"astar_search_memory_bounded", nullptr, &py::astar_search_memory_bounded_def},
    {"gbfs_search", nullptr, &py::gbfs_search_def},
    {"gbfs_search_memory_bounded", nullptr, &py::gbfs_search_memory_bounded_def},
    {"ehc_search", nullptr, &py::ehc_search_def},
    {"evaluate", nullptr, &py::evaluate_def},
    {"simplify", nullptr, &py::simplify_def},
    {"get_fluents", nullptr, &py::get_fluents_def},
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
    if (registration.function) {
      // A definition filed under another name would silently break the registration order.
      QUENDRAL_CHECK(std::string_view(registration.function->ml_name) == registration.name,
                     std::string("the table entry ") + registration.name + " holds the function " +
                         registration.function->ml_name);
      py::register_function(module, registration.function);
    } else {
      registration.add_class(module);
    }
    // A wrongly wired entry would silently break the registration order.
    QUENDRAL_CHECK(PyObject_HasAttrString(module, registration.name) == 1,
                   std::string("registration did not add ") + registration.name);
  }
}

PyObject* module_init() { return PyModuleDef_Init(&kDefinition); }

}  // namespace quendral
