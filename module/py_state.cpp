#include "module/py_state.hpp"

#include <algorithm>
#include <vector>

#include "module/py_expressions.hpp"
#include "module/py_records.hpp"

namespace quendral {
namespace {

using py::Ref;
using py::Signature;

const State& state_of(PyObject* self) { return *reinterpret_cast<py::Box<PyState>*>(self)->value.state; }

PyObject* state_g(PyObject* self, void*) {
  return py::guarded([&] { return py::py_float(state_of(self).g).release(); });
}

// {Action: (position of the next event, instance number it will receive)}, in the order the
// running actions were started.
PyObject* state_todo(PyObject* self, void*) {
  return py::guarded([&] {
    Ref dict = Ref::check(PyDict_New());
    for (const auto& [action, entry] : state_of(self).todo) {
      Ref key = py::wrap_action(action);
      Ref pos = py::py_int(entry.pos);
      Ref instance = py::py_int(static_cast<std::uint64_t>(entry.instance));
      Ref value = Ref::check(PyTuple_Pack(2, pos.get(), instance.get()));
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) py::throw_py();
    }
    return dict.release();
  });
}

// [(Action, event position, instance number)], oldest first.
PyObject* state_path(PyObject* self, void*) {
  return py::guarded([&] {
    std::vector<const PathEntry*> entries;
    for (const PathEntry& entry : PersistentList<PathEntry>::iter_rev(state_of(self).path)) entries.push_back(&entry);
    std::reverse(entries.begin(), entries.end());
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      Ref action = py::wrap_action(entries[i]->action);
      Ref pos = py::py_int(entries[i]->pos);
      Ref instance = py::py_int(static_cast<std::uint64_t>(entries[i]->instance));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      Ref::check(PyTuple_Pack(3, action.get(), pos.get(), instance.get())).release());
    }
    return list.release();
  });
}

const Signature k_get_value_sig("get_value", {{"fluent"}}, true);

PyObject* state_get_value(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    py::Args args;
    py::parse_args(k_get_value_sig, argv, nargs, kwnames, args);
    const std::uint64_t fluent = py::convert_arg(k_get_value_sig, args, 0, py::to_index);
    const State& state = state_of(self);
    if (fluent >= state.values.size()) py::raise(PyExc_Exception, "Fluent not found!");
    return py::wrap_node(state.values[fluent]).release();
  });
}

PyGetSetDef kStateGetSet[] = {
    {"g", state_g, nullptr, nullptr, nullptr},
    {"todo", state_todo, nullptr, nullptr, nullptr},
    {"path", state_path, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStateMethods[] = {
    {"get_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(state_get_value)),
     METH_FASTCALL | METH_KEYWORDS, k_get_value_sig.doc()},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const py::ClassSpec& PyState::spec() {
  static const py::ClassSpec spec{"State", nullptr, py::ClassState::Frozen, nullptr, kStateGetSet, kStateMethods,
                                  nullptr};
  return spec;
}

namespace py {

Ref wrap_state(State state) { return wrap(PyState{std::make_shared<const State>(std::move(state))}); }

Ref wrap_state(std::shared_ptr<const State> state) { return wrap(PyState{std::move(state)}); }

const State& state_from_py(PyObject* object) { return *unwrap<PyState>(object).state; }

std::shared_ptr<const State> shared_state_from_py(PyObject* object) { return unwrap<PyState>(object).state; }

void register_state_class(PyObject* module) { register_class<PyState>(module); }

}  // namespace py
}  // namespace quendral
