#include "module/py_search_space.hpp"

#include <optional>
#include <string>
#include <vector>

#include "module/numbers.hpp"
#include "module/py_expressions.hpp"
#include "module/py_records.hpp"
#include "module/py_state.hpp"

namespace quendral {
namespace {

using py::Ref;
using py::Signature;

const Signature k_search_space_sig("SearchSpace",
                                   {{"actions_duration"},
                                    {"events"},
                                    {"actions"},
                                    {"compression_safe_actions"},
                                    {"action_objects"},
                                    {"obj_to_prev_actions_map"},
                                    {"initial_state", "None"},
                                    {"goal", "None"},
                                    {"relevant_actions", "None"},
                                    {"deadline", "None"},
                                    {"epsilon", "None"}});
const Signature k_reset_sig("reset", {}, true);
const Signature k_initial_state_sig("initial_state", {{"initial_state", "None"}}, true);
const Signature k_successors_sig("get_successor_states", {{"state"}}, true);
const Signature k_successor_sig("get_successor_state", {{"state"}, {"action"}}, true);
const Signature k_goal_reached_sig("goal_reached", {{"state"}, {"goal", "None"}}, true);
const Signature k_subgoals_sat_sig("subgoals_sat", {{"state"}, {"goal", "None"}}, true);
const Signature k_build_plan_sig("build_plan", {{"path"}}, true);

SearchSpace& space_of(PyObject* self) { return *reinterpret_cast<py::Box<PySearchSpace>*>(self)->value.space; }

std::vector<Action> to_actions(PyObject* object) { return py::to_list(object, py::action_from_py); }

std::optional<NodeList> to_optional_nodes(PyObject* object) {
  return py::to_optional(object, expressions::py_nodes_to_expression);
}

Ref actions_to_py(const std::vector<Action>& actions) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(actions.size())));
  for (std::size_t i = 0; i < actions.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::wrap_action(actions[i]).release());
  }
  return list;
}

std::optional<std::span<const ExpressionNode>> as_span(const std::optional<NodeList>& nodes) {
  if (!nodes) return std::nullopt;
  return std::span<const ExpressionNode>(*nodes);
}

// ---------------------------------------------------------------- constructor

PyObject* new_search_space(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return py::guarded([&] {
    const Signature& sig = k_search_space_sig;
    py::Args a;
    py::parse_args(sig, args, kwargs, a);
    auto durations = py::convert_arg(sig, a, 0, [](PyObject* o) {
      return py::to_list(o, [](PyObject* entry) {
        return py::to_optional(entry, [](PyObject* bounds) {
          auto [lower, upper, lower_open, upper_open] =
              py::to_tuple4(bounds, expressions::py_nodes_to_expression, expressions::py_nodes_to_expression,
                            py::to_flag, py::to_flag);
          return DurationBounds{std::move(lower), std::move(upper), lower_open, upper_open};
        });
      });
    });
    EventsTable events = py::convert_arg(sig, a, 1, py::events_table_from_py);
    const std::vector<Action> actions = py::convert_arg(sig, a, 2, to_actions);
    auto compression_safe = py::convert_arg(sig, a, 3, [](PyObject* o) {
      return py::to_optional(o, [](PyObject* list) { return py::to_list(list, py::to_flag); });
    });
    auto action_objects = py::convert_arg(sig, a, 4, [](PyObject* o) {
      return py::to_optional(o, [](PyObject* lists) {
        return py::to_list(lists, [](PyObject* list) { return py::to_list(list, py::to_text); });
      });
    });
    auto prev_actions = py::convert_arg(sig, a, 5, [](PyObject* o) {
      return py::to_optional(o, [](PyObject* dict) {
        // Keys that are equal text are one key: the later entry in the dict's order wins.
        ObjectPrevActionsMap map;
        for (auto& [name, actions] : py::to_map(dict, py::to_text, [](PyObject* set) {
               return py::to_set(set, py::action_from_py);
             })) {
          map.insert_or_assign(std::move(name), ActionSet(actions.begin(), actions.end()));
        }
        return map;
      });
    });
    std::optional<NodeList> initial_state = py::convert_arg(sig, a, 6, to_optional_nodes);
    std::optional<NodeList> goal = py::convert_arg(sig, a, 7, to_optional_nodes);
    auto relevant = py::convert_arg(sig, a, 8, [](PyObject* o) { return py::to_optional(o, to_actions); });
    std::optional<Rational> deadline = py::convert_arg(sig, a, 9, py::get_option_big_rational);
    std::optional<Rational> epsilon = py::convert_arg(sig, a, 10, [](PyObject* o) {
      std::optional<Rational> value = py::get_option_big_rational(o);
      // A tolerance of zero or below would let the network's repair loop run forever.
      if (value && value->sign() <= 0) py::raise(PyExc_ValueError, SearchSpace::kEpsilonNotPositive);
      return value;
    });
    auto space = std::make_unique<SearchSpace>(std::move(durations), std::move(events), actions,
                                               std::move(compression_safe), std::move(action_objects),
                                               std::move(prev_actions), std::move(initial_state), std::move(goal),
                                               std::move(relevant), std::move(deadline), std::move(epsilon));
    return py::wrap(PySearchSpace{std::move(space)}).release();
  });
}

// ---------------------------------------------------------------- methods

template <class Body>
PyObject* method(const Signature& sig, PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
                 Body&& body) {
  return py::guarded([&] {
    const py::SharedBorrow borrow(self);
    py::Args args;
    py::parse_args(sig, argv, nargs, kwnames, args);
    return body(space_of(self), args).release();
  });
}

PyObject* ss_reset(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_reset_sig, self, argv, nargs, kwnames, [](const SearchSpace&, const py::Args&) { return py::py_none(); });
}

PyObject* ss_initial_state(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_initial_state_sig, self, argv, nargs, kwnames, [](const SearchSpace& space, const py::Args& args) {
    const std::optional<NodeList> values = py::convert_arg(k_initial_state_sig, args, 0, to_optional_nodes);
    return py::wrap_state(space.initial_state(as_span(values)));
  });
}

PyObject* ss_get_successor_states(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_successors_sig, self, argv, nargs, kwnames, [](const SearchSpace& space, const py::Args& args) {
    const auto state = py::convert_arg(k_successors_sig, args, 0, py::shared_state_from_py);
    std::vector<State> successors = space.py_get_successor_states(*state);
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(successors.size())));
    for (std::size_t i = 0; i < successors.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::wrap_state(std::move(successors[i])).release());
    }
    return list;
  });
}

PyObject* ss_get_successor_state(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_successor_sig, self, argv, nargs, kwnames, [](const SearchSpace& space, const py::Args& args) {
    const auto state = py::convert_arg(k_successor_sig, args, 0, py::shared_state_from_py);
    const Action action = py::convert_arg(k_successor_sig, args, 1, py::action_from_py);
    std::optional<State> successor = space.get_successor_state(*state, action);
    return successor ? py::wrap_state(std::move(*successor)) : py::py_none();
  });
}

PyObject* ss_goal_reached(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_goal_reached_sig, self, argv, nargs, kwnames, [](const SearchSpace& space, const py::Args& args) {
    const auto state = py::convert_arg(k_goal_reached_sig, args, 0, py::shared_state_from_py);
    const std::optional<NodeList> goal = py::convert_arg(k_goal_reached_sig, args, 1, to_optional_nodes);
    return py::py_bool(space.goal_reached(*state, as_span(goal)));
  });
}

PyObject* ss_subgoals_sat(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_subgoals_sat_sig, self, argv, nargs, kwnames, [](const SearchSpace& space, const py::Args& args) {
    const auto state = py::convert_arg(k_subgoals_sat_sig, args, 0, py::shared_state_from_py);
    const std::optional<NodeList> goal = py::convert_arg(k_subgoals_sat_sig, args, 1, to_optional_nodes);
    const std::vector<NodeList> satisfied = space.subgoals_sat(*state, as_span(goal));
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(satisfied.size())));
    for (std::size_t i = 0; i < satisfied.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), expressions::expression_to_py_nodes(satisfied[i]).release());
    }
    return list;
  });
}

// An exact time as "numerator/denominator" of the reduced value, also for whole numbers: "3/1".
Ref time_text(const std::optional<Rational>& value) {
  if (!value) return py::py_none();
  std::string text = value->numer().to_string();
  text += '/';
  text += value->denom().to_string();
  return py::py_str(text);
}

PyObject* ss_build_plan(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return method(k_build_plan_sig, self, argv, nargs, kwnames, [](const SearchSpace& space, const py::Args& args) {
    const std::vector<Action> path = py::convert_arg(k_build_plan_sig, args, 0, to_actions);
    const TimedPlan plan = space.build_plan(path);
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(plan.size())));
    for (std::size_t i = 0; i < plan.size(); ++i) {
      Ref start = time_text(plan[i].start);
      Ref action = py::wrap_action(plan[i].action);
      Ref duration = time_text(plan[i].duration);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      Ref::check(PyTuple_Pack(3, start.get(), action.get(), duration.get())).release());
    }
    return list;
  });
}

// ---------------------------------------------------------------- attributes

PyObject* ss_is_temporal(PyObject* self, void*) {
  return py::guarded([&] {
    const py::SharedBorrow borrow(self);
    return py::py_bool(space_of(self).is_temporal()).release();
  });
}

PyObject* ss_relevant_actions(PyObject* self, void*) {
  return py::guarded([&] {
    const py::SharedBorrow borrow(self);
    return actions_to_py(space_of(self).relevant_actions()).release();
  });
}

int ss_set_relevant_actions(PyObject* self, PyObject* value, void*) {
  PyObject* done = py::guarded([&]() -> PyObject* {
    if (!value) py::raise(PyExc_AttributeError, "property has no deleter");
    // Converted before the borrow is taken: a failure leaves the list as it was.
    std::vector<Action> actions = py::convert_arg("relevant_actions", value, to_actions);
    const py::ExclusiveBorrow borrow(self);
    space_of(self).set_relevant_actions(std::move(actions));
    return Py_None;
  });
  return done ? 0 : -1;
}

#define QUENDRAL_METHOD(NAME, FN, SIG) \
  {NAME, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FN)), METH_FASTCALL | METH_KEYWORDS, SIG.doc()}

PyMethodDef kSearchSpaceMethods[] = {
    QUENDRAL_METHOD("reset", ss_reset, k_reset_sig),
    QUENDRAL_METHOD("initial_state", ss_initial_state, k_initial_state_sig),
    QUENDRAL_METHOD("get_successor_states", ss_get_successor_states, k_successors_sig),
    QUENDRAL_METHOD("get_successor_state", ss_get_successor_state, k_successor_sig),
    QUENDRAL_METHOD("goal_reached", ss_goal_reached, k_goal_reached_sig),
    QUENDRAL_METHOD("subgoals_sat", ss_subgoals_sat, k_subgoals_sat_sig),
    QUENDRAL_METHOD("build_plan", ss_build_plan, k_build_plan_sig),
    {nullptr, nullptr, 0, nullptr},
};

#undef QUENDRAL_METHOD

PyGetSetDef kSearchSpaceGetSet[] = {
    {"is_temporal", ss_is_temporal, nullptr, nullptr, nullptr},
    {"relevant_actions", ss_relevant_actions, ss_set_relevant_actions, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const py::ClassSpec& PySearchSpace::spec() {
  static const py::ClassSpec spec{"SearchSpace",      k_search_space_sig.doc(), py::ClassState::BorrowChecked,
                                  new_search_space,   kSearchSpaceGetSet,       kSearchSpaceMethods,
                                  nullptr};
  return spec;
}

namespace py {

const SearchSpace& search_space_from_py(PyObject* object) { return *unwrap<PySearchSpace>(object).space; }

const SearchSpace& borrow_search_space(const Signature& sig, const Args& args, std::size_t i,
                                       std::optional<SharedBorrow>& borrow) {
  return convert_arg(sig, args, i, [&](PyObject* object) -> const SearchSpace& {
    const SearchSpace& space = search_space_from_py(object);
    borrow.emplace(object);
    return space;
  });
}

void register_search_space_class(PyObject* module) { register_class<PySearchSpace>(module); }

// ---------------------------------------------------------------- get_fluents

QUENDRAL_PY_FUNCTION(get_fluents, ("get_fluents", {{"expr"}}), {
  const NodeList expr = py::convert_arg(sig, args, 0, expressions::py_nodes_to_expression);
  const std::vector<std::uint64_t> fluents = quendral::get_fluents(expr);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(fluents.size())));
  for (std::size_t i = 0; i < fluents.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::py_int(fluents[i]).release());
  }
  return list.release();
})

}  // namespace py
}  // namespace quendral
