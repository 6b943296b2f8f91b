#include "module/py_expressions.hpp"

#include "module/numbers.hpp"

namespace quendral {
namespace {

using py::Args;
using py::Ref;
using py::Signature;

const ExpressionNode& node_of(PyObject* self) { return reinterpret_cast<py::Box<PyExpressionNode>*>(self)->value.node; }

// ---------------------------------------------------------------- attributes

PyObject* get_fluent(PyObject* self, void*) {
  return py::guarded([&] {
    const ExpressionNode& n = node_of(self);
    return (n.kind() == NodeKind::Fluent ? py::py_int(n.fluent_index()) : py::py_none()).release();
  });
}

PyObject* get_object(PyObject* self, void*) {
  return py::guarded([&] {
    const ExpressionNode& n = node_of(self);
    return (n.kind() == NodeKind::Object ? py::py_str(n.object_name()) : py::py_none()).release();
  });
}

PyObject* get_bool_constant(PyObject* self, void*) {
  return py::guarded([&] {
    const ExpressionNode& n = node_of(self);
    return (n.kind() == NodeKind::Bool ? py::py_bool(n.flag()) : py::py_none()).release();
  });
}

PyObject* get_int_constant(PyObject* self, void*) {
  return py::guarded([&] {
    const ExpressionNode& n = node_of(self);
    if (n.kind() != NodeKind::Int) return py::py_none().release();
    return py::py_int(utils::big_int_to_i32(n.int_value())).release();
  });
}

PyObject* get_real_constant(PyObject* self, void*) {
  return py::guarded([&] {
    const ExpressionNode& n = node_of(self);
    if (n.kind() != NodeKind::Rational) return py::py_none().release();
    return py::big_rational_to_py_fraction(n.rational_value()).release();
  });
}

PyObject* node_repr(PyObject* self) {
  return py::guarded([&] { return py::py_str(node_of(self).repr()).release(); });
}

PyGetSetDef kGetSet[] = {
    {"fluent", get_fluent, nullptr, nullptr, nullptr},
    {"object", get_object, nullptr, nullptr, nullptr},
    {"bool_constant", get_bool_constant, nullptr, nullptr, nullptr},
    {"int_constant", get_int_constant, nullptr, nullptr, nullptr},
    {"real_constant", get_real_constant, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const py::ClassSpec& PyExpressionNode::spec() {
  static const py::ClassSpec spec{"ExpressionNode", nullptr, py::ClassState::Frozen, nullptr, kGetSet, nullptr,
                                  node_repr};
  return spec;
}

namespace expressions {

NodeList py_nodes_to_expression(PyObject* object) {
  return py::to_list(object, [](PyObject* item) { return py::unwrap<PyExpressionNode>(item).node; });
}

py::Ref expression_to_py_nodes(std::span<const ExpressionNode> nodes) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::wrap_node(nodes[i]).release());
  }
  return list;
}

}  // namespace expressions

namespace py {

Ref wrap_node(ExpressionNode node) { return wrap(PyExpressionNode{std::move(node)}); }

void register_expression_node_class(PyObject* module) { register_class<PyExpressionNode>(module); }
// ---------------------------------------------------------------- node functions

QUENDRAL_PY_FUNCTION(make_operator_node, ("make_operator_node", {{"kind"}, {"operands"}}), {
  const std::string kind = py::convert_arg(sig, args, 0, py::to_text);
  const std::vector<std::uint64_t> operands =
      py::convert_arg(sig, args, 1, [](PyObject* o) { return py::to_list(o, py::to_index); });
  return py::wrap_node(make_operator(kind, operands)).release();
})

QUENDRAL_PY_FUNCTION(make_bool_constant_node, ("make_bool_constant_node", {{"v"}}), {
  return py::wrap_node(ExpressionNode::boolean(py::convert_arg(sig, args, 0, py::to_flag))).release();
})

QUENDRAL_PY_FUNCTION(make_int_constant_node, ("make_int_constant_node", {{"v"}}), {
  return py::wrap_node(ExpressionNode::integer(BigInt(py::convert_arg(sig, args, 0, py::to_i32)))).release();
})

QUENDRAL_PY_FUNCTION(make_rational_constant_node, ("make_rational_constant_node", {{"numerator"}, {"denominator"}}), {
  const std::int32_t numerator = py::convert_arg(sig, args, 0, py::to_i32);
  const std::int32_t denominator = py::convert_arg(sig, args, 1, py::to_i32);
  return py::wrap_node(ExpressionNode::rational(mk_rational(numerator, denominator))).release();
})

QUENDRAL_PY_FUNCTION(make_object_node, ("make_object_node", {{"name"}}), {
  return py::wrap_node(ExpressionNode::object(py::convert_arg(sig, args, 0, py::to_text))).release();
})

QUENDRAL_PY_FUNCTION(make_fluent_node, ("make_fluent_node", {{"fluent"}}), {
  return py::wrap_node(ExpressionNode::fluent(py::convert_arg(sig, args, 0, py::to_index))).release();
})

}  // namespace py
}  // namespace quendral
