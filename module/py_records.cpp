#include "module/py_records.hpp"

#include "module/numbers.hpp"
#include "module/py_expressions.hpp"

namespace quendral {
namespace {

using py::Ref;
using py::Signature;

template <class T>
const auto& value_of(PyObject* self) {
  return reinterpret_cast<py::Box<T>*>(self)->value.value;
}

// Each constructor's parameter table; its docstring is the class's text signature.
const Signature k_action_sig("Action", {{"idx"}});
const Signature k_timing_sig("Timing", {{"start"}, {"delay"}});
const Signature k_effect_sig("Effect", {{"fluent"}, {"value"}});
const Signature k_event_sig("Event",
                            {{"action"}, {"pos"}, {"conditions"}, {"start_conditions"}, {"end_conditions"}, {"effects"}});

std::vector<NodeList> py_expression_list(PyObject* object) {
  return py::to_list(object, expressions::py_nodes_to_expression);
}

Ref expression_lists_to_py(const std::vector<NodeList>& lists) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(lists.size())));
  for (std::size_t i = 0; i < lists.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), expressions::expression_to_py_nodes(lists[i]).release());
  }
  return list;
}

// ---------------------------------------------------------------- Action

PyObject* new_action(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] {
    py::Args a;
    py::parse_args(k_action_sig, args, kwargs, a);
    const std::uint64_t idx = py::convert_arg(k_action_sig, a, 0, py::to_index);
    return py::wrap_action(Action{idx}).release();
  });
}

PyObject* action_idx(PyObject* self, void*) {
  return py::guarded([&] {
    py::SharedBorrow borrow(self);
    return py::py_int(value_of<PyAction>(self).idx).release();
  });
}

PyGetSetDef kActionGetSet[] = {
    {"idx", action_idx, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- Timing

PyObject* new_timing(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] {
    py::Args a;
    py::parse_args(k_timing_sig, args, kwargs, a);
    const bool start = py::convert_arg(k_timing_sig, a, 0, py::to_flag);
    Rational delay = py::convert_arg(k_timing_sig, a, 1, py::get_big_rational);
    return py::wrap(PyTiming{Timing{start, std::move(delay)}}).release();
  });
}

PyObject* timing_delay(PyObject* self, void*) {
  return py::guarded([&] { return py::big_rational_to_py_fraction(value_of<PyTiming>(self).delay).release(); });
}

PyObject* timing_is_from_start(PyObject* self, PyObject*) {
  return py::guarded([&] { return py::py_bool(value_of<PyTiming>(self).is_from_start()).release(); });
}

PyObject* timing_is_from_end(PyObject* self, PyObject*) {
  return py::guarded([&] { return py::py_bool(value_of<PyTiming>(self).is_from_end()).release(); });
}

PyObject* timing_repr(PyObject* self) {
  return py::guarded([&] { return py::py_str(value_of<PyTiming>(self).repr()).release(); });
}

PyGetSetDef kTimingGetSet[] = {
    {"delay", timing_delay, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kTimingMethods[] = {
    {"is_from_start", timing_is_from_start, METH_NOARGS, "is_from_start($self)\n--\n\n"},
    {"is_from_end", timing_is_from_end, METH_NOARGS, "is_from_end($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- Effect

PyObject* new_effect(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] {
    py::Args a;
    py::parse_args(k_effect_sig, args, kwargs, a);
    Effect effect;
    effect.fluent = py::convert_arg(k_effect_sig, a, 0, py::to_index);
    effect.value = py::convert_arg(k_effect_sig, a, 1, expressions::py_nodes_to_expression);
    return py::wrap(PyEffect{std::move(effect)}).release();
  });
}

PyObject* effect_fluent(PyObject* self, void*) {
  return py::guarded([&] { return py::py_int(value_of<PyEffect>(self).fluent).release(); });
}

PyObject* effect_value(PyObject* self, void*) {
  return py::guarded([&] { return expressions::expression_to_py_nodes(value_of<PyEffect>(self).value).release(); });
}

PyObject* effect_repr(PyObject* self) {
  return py::guarded([&] { return py::py_str(value_of<PyEffect>(self).repr()).release(); });
}

PyGetSetDef kEffectGetSet[] = {
    {"fluent", effect_fluent, nullptr, nullptr, nullptr},
    {"value", effect_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- Event

PyObject* new_event(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] {
    py::Args a;
    py::parse_args(k_event_sig, args, kwargs, a);
    Event event;
    event.action = py::convert_arg(k_event_sig, a, 0, py::action_from_py);
    event.pos = py::convert_arg(k_event_sig, a, 1, py::to_index);
    event.conditions = py::convert_arg(k_event_sig, a, 2, expressions::py_nodes_to_expression);
    event.start_conditions = py::convert_arg(k_event_sig, a, 3, py_expression_list);
    event.end_conditions = py::convert_arg(k_event_sig, a, 4, py_expression_list);
    event.effects = py::convert_arg(k_event_sig, a, 5, [](PyObject* o) { return py::to_list(o, py::effect_from_py); });
    return py::wrap(PyEvent{std::move(event)}).release();
  });
}

PyObject* event_action(PyObject* self, void*) {
  return py::guarded([&] { return py::wrap_action(value_of<PyEvent>(self).action).release(); });
}

PyObject* event_pos(PyObject* self, void*) {
  return py::guarded([&] { return py::py_int(value_of<PyEvent>(self).pos).release(); });
}

PyObject* event_conditions(PyObject* self, void*) {
  return py::guarded([&] { return expressions::expression_to_py_nodes(value_of<PyEvent>(self).conditions).release(); });
}

PyObject* event_start_conditions(PyObject* self, void*) {
  return py::guarded([&] { return expression_lists_to_py(value_of<PyEvent>(self).start_conditions).release(); });
}

PyObject* event_end_conditions(PyObject* self, void*) {
  return py::guarded([&] { return expression_lists_to_py(value_of<PyEvent>(self).end_conditions).release(); });
}

PyObject* event_effects(PyObject* self, void*) {
  return py::guarded([&] {
    const std::vector<Effect>& effects = value_of<PyEvent>(self).effects;
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(effects.size())));
    for (std::size_t i = 0; i < effects.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::wrap(PyEffect{effects[i]}).release());
    }
    return list.release();
  });
}

PyObject* event_repr(PyObject* self) {
  return py::guarded([&] { return py::py_str(value_of<PyEvent>(self).repr()).release(); });
}

PyGetSetDef kEventGetSet[] = {
    {"action", event_action, nullptr, nullptr, nullptr},
    {"pos", event_pos, nullptr, nullptr, nullptr},
    {"conditions", event_conditions, nullptr, nullptr, nullptr},
    {"start_conditions", event_start_conditions, nullptr, nullptr, nullptr},
    {"end_conditions", event_end_conditions, nullptr, nullptr, nullptr},
    {"effects", event_effects, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const py::ClassSpec& PyAction::spec() {
  static const py::ClassSpec spec{"Action", k_action_sig.doc(), py::ClassState::BorrowChecked, new_action,
                                  kActionGetSet, nullptr, nullptr};
  return spec;
}

const py::ClassSpec& PyTiming::spec() {
  static const py::ClassSpec spec{"Timing", k_timing_sig.doc(), py::ClassState::Frozen, new_timing,
                                  kTimingGetSet, kTimingMethods, timing_repr};
  return spec;
}

const py::ClassSpec& PyEffect::spec() {
  static const py::ClassSpec spec{"Effect", k_effect_sig.doc(), py::ClassState::Frozen, new_effect,
                                  kEffectGetSet, nullptr, effect_repr};
  return spec;
}

const py::ClassSpec& PyEvent::spec() {
  static const py::ClassSpec spec{"Event", k_event_sig.doc(), py::ClassState::Frozen, new_event,
                                  kEventGetSet, nullptr, event_repr};
  return spec;
}

namespace py {

Ref wrap_action(Action action) { return wrap(PyAction{action}); }

Action action_from_py(PyObject* object) {
  const Action& action = unwrap<PyAction>(object).value;
  SharedBorrow borrow(object);
  return action;
}

Timing timing_from_py(PyObject* object) { return unwrap<PyTiming>(object).value; }
Effect effect_from_py(PyObject* object) { return unwrap<PyEffect>(object).value; }
Event event_from_py(PyObject* object) { return unwrap<PyEvent>(object).value; }

EventsTable events_table_from_py(PyObject* object) {
  auto entries = to_map(object, action_from_py, [](PyObject* list) {
    return to_list(list, [](PyObject* pair) { return to_pair(pair, timing_from_py, event_from_py); });
  });
  EventsTable table;
  for (auto& [action, events] : entries) table.insert_or_assign(action, std::move(events));
  return table;
}

void register_effect_class(PyObject* module) { register_class<PyEffect>(module); }
void register_timing_class(PyObject* module) { register_class<PyTiming>(module); }
void register_event_class(PyObject* module) { register_class<PyEvent>(module); }
void register_action_class(PyObject* module) { register_class<PyAction>(module); }

}  // namespace py
}  // namespace quendral
