#include "module/py_heuristic.hpp"

#include <string>
#include <utility>
#include <vector>

#include "module/py_expressions.hpp"
#include "module/py_records.hpp"
#include "module/py_search_space.hpp"
#include "module/py_state.hpp"

namespace quendral {

// ---------------------------------------------------------------- the engine record

std::string_view Heuristic::name() const {
  if (hdr) {
    static constexpr std::string_view kNames[2][3] = {{"hff", "hadd", "hmax"},
                                                      {"hff_no_numbers", "hadd_no_numbers", "hmax_no_numbers"}};
    const auto mode = static_cast<std::size_t>(hdr->mode);
    QUENDRAL_CHECK(mode < 3, "unknown relaxation mode " + std::to_string(mode));
    return kNames[hdr->disable_numeric_reasoning ? 1 : 0][mode];
  }
  if (hmax_explicit) return "hmax_explicit";
  if (hcustom) return "custom";
  internal_failure("internal error: entered unreachable code: One of hdr, hmax_explicit, or hcustom must be set");
}

HeuristicValue Heuristic::compute(const State& state) const {
  if (hdr) return hdr->eval(state);
  if (hmax_explicit) return hmax_explicit->eval(state);
  if (hcustom) return hcustom->eval(state);
  internal_failure("internal error: entered unreachable code: One of hdr, hmax_explicit, or hcustom must be set");
}

HeuristicValue Heuristic::eval(const State& state) const {
  if (!cache_value_in_state) return compute(state);
  const std::string_view key = name();
  if (std::optional<HeuristicValue> stored = state.heuristic_cache.lookup(key)) return *stored;
  // Not locked while computing: the value may come from a callable that evaluates this very
  // state with other heuristics. A failed computation throws past the store.
  const HeuristicValue value = compute(state);
  state.heuristic_cache.store(key, value);
  return value;
}

namespace {

using py::Ref;
using py::Signature;

// ---------------------------------------------------------------- callables

// A Python callable as the engine's custom heuristic. It is called with a fresh full copy of the
// state, wrapped in a new Python `State`; `None` means a dead end, anything else is converted as
// a float argument is. Whatever Python raises travels through the engine unchanged.
class PythonCallable final : public CustomHeuristicCallable {
 public:
  explicit PythonCallable(Ref callable) : callable_(std::move(callable)) {}

  HeuristicValue call(const State& state) const override {
    // Searches call with the interpreter attached already; anything else attaches it here.
    const PyGILState_STATE gil = PyGILState_Ensure();
    struct Release {
      PyGILState_STATE gil;
      ~Release() { PyGILState_Release(gil); }
    } release{gil};
    try {
      Ref copy = py::wrap_state(state.full_clone());
      Ref result = Ref::check(PyObject_CallOneArg(callable_.get(), copy.get()));
      if (result.get() == Py_None) return std::nullopt;
      return py::to_double(result.get());
    } catch (const py::PyErrorSet&) {
      throw Error(std::make_shared<py::CapturedPythonError>());
    }
  }

 private:
  Ref callable_;
};

// ---------------------------------------------------------------- factories

// The factories' parameters: the task description, the three flags and, for the delete
// relaxation, `disable_numeric_reasoning`.
std::vector<py::Param> factory_params(bool numeric_switch) {
  std::vector<py::Param> params{{"actions"},
                                {"fluent_types"},
                                {"objects"},
                                {"events"},
                                {"goals"},
                                {"internal_caching"},
                                {"cache_value_in_state"},
                                {"inadmissible_numeric_heuristic_variant"}};
  if (numeric_switch) params.push_back({"disable_numeric_reasoning", "False"});
  return params;
}

const Signature k_hff_sig("hff", factory_params(true));
const Signature k_hadd_sig("hadd", factory_params(true));
const Signature k_hmax_sig("hmax", factory_params(true));
const Signature k_hmax_explicit_sig("hmax_explicit", factory_params(false));
const Signature k_custom_sig("custom", {{"callable"}, {"cache_value_in_state"}});
const Signature k_eval_sig("eval", {{"state"}, {"ss"}}, true);
const Signature k_reachable_actions_sig("reachable_actions", {{"state"}}, true);

// The task description every engine factory takes, converted in parameter order.
struct TaskDescription {
  std::vector<Action> actions;
  FluentTypes fluent_types;
  ObjectsTable objects;
  EventsTable events;
  NodeList goals;
  bool internal_caching = false;
  bool cache_value_in_state = false;
  bool inadmissible_numeric_heuristic_variant = false;
};

TaskDescription convert_task(const Signature& sig, const py::Args& args) {
  TaskDescription task;
  task.actions = py::convert_arg(sig, args, 0, [](PyObject* o) { return py::to_list(o, py::action_from_py); });
  task.fluent_types = py::convert_arg(sig, args, 1, [](PyObject* o) { return py::to_list(o, py::to_text); });
  task.objects = py::convert_arg(sig, args, 2, [](PyObject* o) {
    ObjectsTable objects;
    // Keys that are equal text are one key: the later entry in the dict's order wins.
    for (auto& [type, names] :
         py::to_map(o, py::to_text, [](PyObject* list) { return py::to_list(list, py::to_text); })) {
      objects.insert_or_assign(std::move(type), std::move(names));
    }
    return objects;
  });
  task.events = py::convert_arg(sig, args, 3, py::events_table_from_py);
  task.goals = py::convert_arg(sig, args, 4, expressions::py_nodes_to_expression);
  task.internal_caching = py::convert_arg(sig, args, 5, py::to_flag);
  task.cache_value_in_state = py::convert_arg(sig, args, 6, py::to_flag);
  task.inadmissible_numeric_heuristic_variant = py::convert_arg(sig, args, 7, py::to_flag);
  return task;
}

Ref wrap_heuristic(Heuristic heuristic) {
  return py::wrap(PyHeuristic{std::make_shared<const Heuristic>(std::move(heuristic))});
}

PyObject* make_relaxation(const Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
                          RelaxationMode mode) {
  return py::guarded([&] {
    py::Args args;
    py::parse_args(sig, argv, nargs, kwnames, args);
    TaskDescription task = convert_task(sig, args);
    const bool disable_numeric_reasoning = py::convert_arg(sig, args, 8, py::to_flag);
    const DeleteRelaxationSettings settings{task.internal_caching, task.inadmissible_numeric_heuristic_variant,
                                            disable_numeric_reasoning, mode};
    Heuristic heuristic;
    heuristic.hdr.emplace(std::move(task.actions), std::move(task.fluent_types), std::move(task.objects),
                          std::move(task.events), std::move(task.goals), settings);
    heuristic.cache_value_in_state = task.cache_value_in_state;
    return wrap_heuristic(std::move(heuristic)).release();
  });
}

PyObject* h_hff(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return make_relaxation(k_hff_sig, argv, nargs, kwnames, RelaxationMode::Hff);
}
PyObject* h_hadd(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return make_relaxation(k_hadd_sig, argv, nargs, kwnames, RelaxationMode::Hadd);
}
PyObject* h_hmax(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return make_relaxation(k_hmax_sig, argv, nargs, kwnames, RelaxationMode::Hmax);
}

PyObject* h_hmax_explicit(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const Signature& sig = k_hmax_explicit_sig;
    py::Args args;
    py::parse_args(sig, argv, nargs, kwnames, args);
    // `objects` and the numeric variant are converted (so they must have their types) and then
    // play no part: the explicit-value h-max evaluates the task's own expressions.
    TaskDescription task = convert_task(sig, args);
    Heuristic heuristic;
    heuristic.hmax_explicit.emplace(std::move(task.actions), task.fluent_types, std::move(task.events),
                                    std::move(task.goals), task.internal_caching);
    heuristic.cache_value_in_state = task.cache_value_in_state;
    return wrap_heuristic(std::move(heuristic)).release();
  });
}

PyObject* h_custom(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const Signature& sig = k_custom_sig;
    py::Args args;
    py::parse_args(sig, argv, nargs, kwnames, args);
    // The callable is stored as it is: an object that cannot be called fails when first used.
    Ref callable = Ref::borrow(args[0]);
    const bool cache_value_in_state = py::convert_arg(sig, args, 1, py::to_flag);
    Heuristic heuristic;
    heuristic.hcustom.emplace(std::make_shared<const PythonCallable>(std::move(callable)));
    heuristic.cache_value_in_state = cache_value_in_state;
    return wrap_heuristic(std::move(heuristic)).release();
  });
}

// ---------------------------------------------------------------- methods and attributes

const Heuristic& heuristic_of(PyObject* self) { return *reinterpret_cast<py::Box<PyHeuristic>*>(self)->value.heuristic; }

PyObject* h_name(PyObject* self, void*) {
  return py::guarded([&] { return py::py_str(heuristic_of(self).name()).release(); });
}

PyObject* h_eval(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const Signature& sig = k_eval_sig;
    py::Args args;
    py::parse_args(sig, argv, nargs, kwnames, args);
    const std::shared_ptr<const State> state = py::convert_arg(sig, args, 0, py::shared_state_from_py);
    std::optional<py::SharedBorrow> borrow;
    py::borrow_search_space(sig, args, 1, borrow);
    const HeuristicValue value = heuristic_of(self).eval(*state);
    return (value ? py::py_float(*value) : py::py_none()).release();
  });
}

PyObject* h_reachable_actions(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const Signature& sig = k_reachable_actions_sig;
    py::Args args;
    py::parse_args(sig, argv, nargs, kwnames, args);
    const std::shared_ptr<const State> state = py::convert_arg(sig, args, 0, py::shared_state_from_py);
    const Heuristic& heuristic = heuristic_of(self);
    if (!heuristic.hdr) py::raise(PyExc_NotImplementedError, "reachable_actions is not available: hdr is None");
    const std::vector<Action> actions = heuristic.hdr->reachable_actions(*state);
    Ref set = Ref::check(PySet_New(nullptr));
    for (const Action action : actions) {
      Ref wrapped = py::wrap_action(action);
      if (PySet_Add(set.get(), wrapped.get()) < 0) py::throw_py();
    }
    return set.release();
  });
}

#define QUENDRAL_METHOD(NAME, FN, SIG, FLAGS)                                                             \
  {NAME, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(FN)), METH_FASTCALL | METH_KEYWORDS | FLAGS, \
   SIG.doc()}

PyMethodDef kHeuristicMethods[] = {
    QUENDRAL_METHOD("hff", h_hff, k_hff_sig, METH_STATIC),
    QUENDRAL_METHOD("hadd", h_hadd, k_hadd_sig, METH_STATIC),
    QUENDRAL_METHOD("hmax", h_hmax, k_hmax_sig, METH_STATIC),
    QUENDRAL_METHOD("hmax_explicit", h_hmax_explicit, k_hmax_explicit_sig, METH_STATIC),
    QUENDRAL_METHOD("custom", h_custom, k_custom_sig, METH_STATIC),
    QUENDRAL_METHOD("eval", h_eval, k_eval_sig, 0),
    QUENDRAL_METHOD("reachable_actions", h_reachable_actions, k_reachable_actions_sig, 0),
    {nullptr, nullptr, 0, nullptr},
};

#undef QUENDRAL_METHOD

PyGetSetDef kHeuristicGetSet[] = {
    {"name", h_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const py::ClassSpec& PyHeuristic::spec() {
  static const py::ClassSpec spec{"Heuristic",      nullptr, py::ClassState::Frozen, nullptr, kHeuristicGetSet,
                                  kHeuristicMethods, nullptr};
  return spec;
}

namespace py {

const Heuristic& heuristic_from_py(PyObject* object) { return *unwrap<PyHeuristic>(object).heuristic; }

void register_heuristic_class(PyObject* module) { register_class<PyHeuristic>(module); }

}  // namespace py
}  // namespace quendral
