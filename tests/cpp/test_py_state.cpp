// The Python class `State`, driven through Python against engine states built and wrapped here:
// a state made directly can hold every kind of value, a running action with a chosen instance
// number and a network at once, which no small task reaches in one step. Also the conversion of a
// Python events dict into the engine's events table.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "module/py_records.hpp"
#include "module/py_state.hpp"
#include "tests/cpp/embedded_python.hpp"

namespace quendral::testing {
namespace {

using py::Ref;
using N = ExpressionNode;

void set_global(const char* name, const Ref& object) {
  ASSERT_EQ(PyObject_SetAttrString(PyImport_AddModule("__main__"), name, object.get()), 0);
}

State running_state() {
  StateValues values;
  values.push_back(N::integer(5));
  values.push_back(N::boolean(true));
  values.push_back(N::rational(mk_rational(1, 2)));
  values.push_back(N::object("truck\n1"));
  State state(std::move(values), DeltaSTN<double>(0.00001));
  state.todo.insert_or_assign(Action{3}, TodoEntry{1, 7});
  state.todo.insert_or_assign(Action{1}, TodoEntry{2, 4294967295u});
  state.path = PersistentList<PathEntry>::append(PathEntry{Action{3}, 0, 6}, state.path);
  state.path = PersistentList<PathEntry>::append(PathEntry{Action{1}, 1, 4294967294u}, state.path);
  state.g = 2.0;
  state.heuristic_cache.store("hff", 1.0);
  return state;
}

void define_helpers() {
  exec_python("import quendral, weakref, inspect\n"
              "def raises(exc, f):\n"
              "    try:\n        f()\n    except exc as e:\n        return (type(e).__name__, str(e), getattr(e, '__notes__', []))\n"
              "    return None\n");
}

TEST(PyState, ReadOnlySurface) {
  set_global("s", py::wrap_state(running_state()));
  define_helpers();
  EXPECT_TRUE(eval_true("type(s) is quendral.State and type(s).__name__ == 'State'"));
  EXPECT_TRUE(eval_true("s.g == 2.0 and type(s.g) is float"));
  // Running actions in the order they started; each read makes new Action objects.
  EXPECT_TRUE(eval_true("[(a.idx, v) for a, v in s.todo.items()] == [(3, (1, 7)), (1, (2, 4294967295))]"));
  EXPECT_TRUE(eval_true("all(type(a) is quendral.Action for a in s.todo)"));
  EXPECT_TRUE(eval_true("list(s.todo)[0] is not list(s.todo)[0]"));
  // The path oldest first; two reads are equal in content but share no object.
  EXPECT_TRUE(eval_true("[(a.idx, p, k) for a, p, k in s.path] == [(3, 0, 6), (1, 1, 4294967294)]"));
  EXPECT_TRUE(eval_true("s.path is not s.path and s.path[0][0] is not s.path[0][0]"));
  EXPECT_TRUE(eval_true("all(type(e) is tuple and len(e) == 3 for e in s.path)"));
  // Nothing else of the state is visible, and nothing can be set.
  EXPECT_TRUE(eval_true("not any(hasattr(s, n) for n in ('stn', 'active_conditions', 'heuristic_cache', 'values'))"));
  EXPECT_TRUE(eval_true("raises(AttributeError, lambda: setattr(s, 'g', 1.0)) is not None"));
  EXPECT_TRUE(eval_true("raises(AttributeError, lambda: setattr(s, 'extra', 1)) is not None"));
  EXPECT_TRUE(eval_true("not hasattr(s, '__dict__') and raises(TypeError, lambda: weakref.ref(s)) is not None"));
  EXPECT_TRUE(eval_true("raises(TypeError, quendral.State) is not None"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: type('Sub', (quendral.State,), {})) is not None"));
  set_global("twin", py::wrap_state(running_state()));
  EXPECT_TRUE(eval_true("s == s and s != twin and hash(s) == object.__hash__(s)"));
}

TEST(PyState, GetValue) {
  set_global("s", py::wrap_state(running_state()));
  define_helpers();
  EXPECT_TRUE(eval_true("quendral.State.get_value.__text_signature__ == '($self, fluent)'"));
  EXPECT_TRUE(eval_true("str(inspect.signature(s.get_value)) == '(fluent)'"));
  EXPECT_TRUE(eval_true("[repr(s.get_value(i)) for i in range(4)] == "
                        "['Int(5)', 'Bool(true)', 'Rational(Ratio { numer: 1, denom: 2 })', 'Object(\"truck\\\\n1\")']"));
  EXPECT_TRUE(eval_true("s.get_value(fluent=3).object == 'truck\\n1'"));
  EXPECT_TRUE(eval_true("s.get_value(0) is not s.get_value(0)"));
  EXPECT_TRUE(eval_true("raises(Exception, lambda: s.get_value(4)) == ('Exception', 'Fluent not found!', [])"));
  EXPECT_TRUE(eval_true("raises(Exception, lambda: s.get_value(2**64 - 1)) == ('Exception', 'Fluent not found!', [])"));
  EXPECT_TRUE(eval_true("raises(OverflowError, lambda: s.get_value(-1))[2] == [\"while processing 'fluent'\"]"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: s.get_value(1.0))[2] == [\"while processing 'fluent'\"]"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: s.get_value())[2] == []"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: s.get_value(0, 1))[2] == []"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: s.get_value(index=0))[2] == []"));
}

TEST(PyState, RootStateReadsEmpty) {
  set_global("root", py::wrap_state(State(StateValues())));
  EXPECT_TRUE(eval_true("root.g == 0.0 and root.todo == {} and root.path == []"));
}

TEST(PyState, PythonObjectSharesTheEngineState) {
  auto shared = std::make_shared<const State>(running_state());
  Ref object = py::wrap_state(shared);
  EXPECT_EQ(&py::state_from_py(object.get()), shared.get());
  EXPECT_EQ(py::shared_state_from_py(object.get()), shared);
  shared->heuristic_cache.store("hmax", 4.0);  // the cache stays writable through shared states
  EXPECT_EQ(py::state_from_py(object.get()).heuristic_cache.lookup("hmax"),
            std::optional<std::optional<double>>(4.0));

  exec_python("import quendral\n");
  Ref not_a_state = eval_python("quendral.Action(1)");
  ASSERT_TRUE(not_a_state);
  EXPECT_THROW(py::state_from_py(not_a_state.get()), py::PyErrorSet);
  EXPECT_EQ(take_exception(), "TypeError: 'Action' object cannot be converted to 'State'");
}

TEST(PyState, ReadingLeavesNothingBehind) {
  set_global("s", py::wrap_state(running_state()));
  exec_python("import gc, sys\n"
              "def growth(f, n=300):\n"
              "    def swallow():\n"
              "        try:\n            f()\n        except BaseException:\n            pass\n"
              "    counts = []\n"
              "    for _ in range(4):\n"
              "        for _ in range(n):\n            swallow()\n"
              "        gc.collect()\n        counts.append(sys.getallocatedblocks())\n"
              "    return min(b - a for a, b in zip(counts[1:], counts[2:])) / n\n");
  if (!eval_true("sys.getallocatedblocks() > 0")) GTEST_SKIP() << "block counts need the interpreter's own allocator";
  for (const char* call : {"lambda: s.todo", "lambda: s.path", "lambda: s.g", "lambda: s.get_value(3)",
                           "lambda: s.get_value(4)", "lambda: s.get_value(-1)", "lambda: s.get_value(fluent='x')"}) {
    EXPECT_TRUE(eval_true(std::string("growth(") + call + ") < 0.2")) << call;
  }
}

TEST(PyState, EvaluateOverAState) {
  set_global("s", py::wrap_state(running_state()));
  define_helpers();
  exec_python("from quendral import make_fluent_node as f, make_int_constant_node as i, make_operator_node as op\n");
  // fluents: 0 = Int 5, 1 = Bool true, 2 = Rational 1/2, 3 = Object
  EXPECT_TRUE(eval_true("repr(quendral.evaluate([f(0), f(2), op('+', [0, 1])], s)) == "
                        "'Rational(Ratio { numer: 11, denom: 2 })'"));
  EXPECT_TRUE(eval_true("repr(quendral.evaluate(exp=[f(2), f(2), op('+', [0, 1])], state=s)) == 'Int(1)'"));
  EXPECT_TRUE(eval_true("repr(quendral.evaluate([f(3)], s)) == repr(s.get_value(3))"));
  EXPECT_TRUE(eval_true("repr(quendral.evaluate([f(1), op('not', [0])], s)) == 'Bool(false)'"));
  EXPECT_TRUE(eval_true("raises(ValueError, lambda: quendral.evaluate([f(1), i(1), op('+', [0, 1])], s)) == "
                        "('ValueError', 'Expected a number!', [])"));
  EXPECT_TRUE(eval_true("raises(ZeroDivisionError, lambda: quendral.evaluate([f(0), i(0), op('/', [0, 1])], s)) == "
                        "('ZeroDivisionError', 'division by zero', [])"));
  EXPECT_TRUE(eval_true("raises(BaseException, lambda: quendral.evaluate([f(4)], s))[0] == 'PanicException'"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: quendral.evaluate([f(0)], 's'))[2] == [\"while processing 'state'\"]"));
  // A million nested negations of a true fluent.
  EXPECT_TRUE(eval_true("repr(quendral.evaluate([f(1)] + [op('not', [k]) for k in range(999_999)], s)) == "
                        "'Bool(false)'"));
  exec_python("import gc, sys\n"
              "def growth(f, n=300):\n"
              "    counts = []\n"
              "    for _ in range(4):\n"
              "        for _ in range(n):\n"
              "            try:\n                f()\n            except BaseException:\n                pass\n"
              "        gc.collect()\n        counts.append(sys.getallocatedblocks())\n"
              "    return min(b - a for a, b in zip(counts[1:], counts[2:])) / n\n");
  if (!eval_true("sys.getallocatedblocks() > 0")) GTEST_SKIP() << "block counts need the interpreter's own allocator";
  for (const char* call : {"lambda: quendral.evaluate([f(0), f(2), op('+', [0, 1])], s)",
                           "lambda: quendral.evaluate([f(1), i(1), op('+', [0, 1])], s)",
                           "lambda: quendral.evaluate([f(9)], s)"}) {
    EXPECT_TRUE(eval_true(std::string("growth(") + call + ") < 0.2")) << call;
  }
}

// ---------------------------------------------------------------- events table

TEST(PyEventsTable, EqualIndicesCollapseAndTheLaterListWins) {
  exec_python("from quendral import Action, Timing, Event\n"
              "def ev(a, pos):\n"
              "    return Event(Action(a), pos, [], [], [], [])\n"
              "first, second = Action(1), Action(1)\n"
              "table = {first: [(Timing(True, 0), ev(1, 0))], Action(0): [],\n"
              "         second: [(Timing(True, 0), ev(1, 0)), (Timing(False, -1), ev(1, 1))]}\n");
  Ref table = eval_python("table");
  const EventsTable events = py::events_table_from_py(table.get());
  ASSERT_EQ(events.size(), 2u);
  auto it = events.begin();
  EXPECT_EQ(it->first, Action{1});  // first seen first
  ASSERT_EQ(it->second.size(), 2u);
  EXPECT_FALSE(it->second[1].first.is_from_start());
  EXPECT_EQ(it->second[1].first.delay, Rational(-1));
  EXPECT_EQ(it->second[1].second.pos, 1u);
  ++it;
  EXPECT_EQ(it->first, Action{0});
  EXPECT_TRUE(it->second.empty());
  EXPECT_TRUE(py::events_table_from_py(eval_python("{}").get()).empty());
}

TEST(PyEventsTable, MalformedTablesRaiseTheirConversionErrors) {
  exec_python("from quendral import Action, Timing, Event\n"
              "good = (Timing(True, 0), Event(Action(0), 0, [], [], [], []))\n");
  const std::pair<const char*, const char*> cases[] = {
      {"[(Action(0), [good])]", "TypeError"},
      {"{0: [good]}", "TypeError"},
      {"{Action(0): 'x'}", "TypeError"},
      {"{Action(0): good}", "TypeError"},
      {"{Action(0): [list(good)]}", "TypeError"},
      {"{Action(0): [good + (1,)]}", "ValueError"},
      {"{Action(0): [(good[1], good[0])]}", "TypeError"},
      {"{Action(0): [good], Action(1): [None]}", "TypeError"},
  };
  for (const auto& [expression, error] : cases) {
    Ref table = eval_python(expression);
    ASSERT_TRUE(table) << expression;
    EXPECT_THROW(py::events_table_from_py(table.get()), py::PyErrorSet) << expression;
    const std::string raised = take_exception();
    EXPECT_EQ(raised.substr(0, raised.find(':')), error) << expression << " gave " << raised;
  }
}

}  // namespace
}  // namespace quendral::testing
