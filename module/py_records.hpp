// The Python faces of the planning records: the classes `Action` (borrow-checked), `Timing`,
// `Effect` and `Event` (frozen), and the conversions of records and of the events table from
// Python objects into engine values.
#pragma once

#include "base/task/records.hpp"
#include "module/binding.hpp"

namespace quendral {

struct PyAction {
  Action value;
  static const py::ClassSpec& spec();
};

struct PyTiming {
  Timing value;
  static const py::ClassSpec& spec();
};

struct PyEffect {
  Effect value;
  static const py::ClassSpec& spec();
};

struct PyEvent {
  Event value;
  static const py::ClassSpec& spec();
};

namespace py {

// A new Python `Action`.
Ref wrap_action(Action action);

// Copies of the engine values held by Python objects of the record classes; any other object is
// a TypeError naming the expected class. An `Action` is read under a shared borrow.
Action action_from_py(PyObject* object);
Timing timing_from_py(PyObject* object);
Effect effect_from_py(PyObject* object);
Event event_from_py(PyObject* object);

// A Python dict {Action: sequence of (Timing, Event) tuples} as the engine's events table, read
// in the dict's order. Keys with equal idx are one key in the engine: the list of the later key
// replaces the earlier one (which keeps its place in the table's order).
EventsTable events_table_from_py(PyObject* object);

void register_effect_class(PyObject* module);
void register_timing_class(PyObject* module);
void register_event_class(PyObject* module);
void register_action_class(PyObject* module);

}  // namespace py
}  // namespace quendral
