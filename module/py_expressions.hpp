// The Python face of expression nodes: the class `ExpressionNode`, the node functions and the
// conversions between Python node lists and engine node lists.
#pragma once

#include "base/expressions/expressions.hpp"
#include "module/binding.hpp"

namespace quendral {

// The Python class `ExpressionNode`: a frozen wrapper around one node.
struct PyExpressionNode {
  ExpressionNode node;
  static const py::ClassSpec& spec();
};

namespace expressions {
// A Python sequence of `ExpressionNode` objects as an engine node list (each node copied).
NodeList py_nodes_to_expression(PyObject* object);
// A new Python list of new `ExpressionNode` objects.
py::Ref expression_to_py_nodes(std::span<const ExpressionNode> nodes);
}  // namespace expressions

namespace py {
Ref wrap_node(ExpressionNode node);

void register_expression_node_class(PyObject* module);
extern PyMethodDef make_operator_node_def;
extern PyMethodDef make_bool_constant_node_def;
extern PyMethodDef make_int_constant_node_def;
extern PyMethodDef make_rational_constant_node_def;
extern PyMethodDef make_object_node_def;
extern PyMethodDef make_fluent_node_def;
}  // namespace py

}  // namespace quendral
