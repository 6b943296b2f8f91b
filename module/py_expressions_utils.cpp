#include "module/py_expressions_utils.hpp"

#include "base/expressions/expressions_utils.hpp"
#include "module/py_expressions.hpp"
#include "module/py_state.hpp"

namespace quendral::py {

QUENDRAL_PY_FUNCTION(shift_expression, ("shift_expression", {{"exp"}, {"offset"}}), {
  const NodeList exp = py::convert_arg(sig, args, 0, expressions::py_nodes_to_expression);
  const std::uint64_t offset = py::convert_arg(sig, args, 1, py::to_index);
  return expressions::expression_to_py_nodes(quendral::shift_expression(exp, offset, false)).release();
})

// The value of an expression over a state's fluents.
QUENDRAL_PY_FUNCTION(evaluate, ("evaluate", {{"exp"}, {"state"}}), {
  const NodeList exp = py::convert_arg(sig, args, 0, expressions::py_nodes_to_expression);
  const State& state = py::convert_arg(sig, args, 1, py::state_from_py);
  return py::wrap_node(internal_evaluate(exp, state)).release();
})

QUENDRAL_PY_FUNCTION(simplify, ("simplify", {{"exp"}, {"assignments"}}), {
  const NodeList exp = py::convert_arg(sig, args, 0, expressions::py_nodes_to_expression);
  const auto entries = py::convert_arg(sig, args, 1, [](PyObject* object) {
    return py::to_map(object, py::to_index, [](PyObject* value) { return py::unwrap<PyExpressionNode>(value).node; });
  });
  // Keys that are distinct in Python may name one fluent (two objects with equal `__index__`):
  // the later entry, in the dict's order, wins.
  FluentValueMap assignments;
  for (const auto& [fluent, value] : entries) assignments.insert_or_assign(fluent, value);
  return expressions::expression_to_py_nodes(quendral::simplify(exp, assignments)).release();
})

}  // namespace quendral::py
