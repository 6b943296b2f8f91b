// The binding layer: argument parsing, the converters of every parameter kind, the notes on
// failed conversions, the class machinery and the borrow guards.
#include <gtest/gtest.h>

#include "module/binding.hpp"
#include "module/numbers.hpp"
#include "tests/cpp/embedded_python.hpp"

namespace quendral::testing {
namespace {

using py::Ref;

// Converts the value of a Python expression with `convert` under parameter name "p"; returns
// "ok" or the exception ("Type: message") with its notes.
template <class F>
std::string convert(const std::string& expression, F&& f, std::string* notes = nullptr) {
  Ref object = eval_python(expression);
  if (!object) {
    PyErr_Print();
    return "bad test expression";
  }
  try {
    py::convert_arg("p", object.get(), f);
    return "ok";
  } catch (const py::PyErrorSet&) {
    std::string local;
    std::string text = take_exception(notes ? notes : &local);
    return text;
  }
}

struct Case {
  const char* expression;
  const char* outcome;  // "ok" or the exception type name
};

template <class F>
void check_cases(const char* kind, F&& f, std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    std::string notes;
    const std::string result = convert(c.expression, f, &notes);
    const std::string type = result.substr(0, result.find(':'));
    EXPECT_EQ(type, c.outcome) << kind << " of " << c.expression << " gave " << result;
    if (type != "ok") {
      EXPECT_EQ(notes, "while processing 'p'") << kind << " of " << c.expression;
    }
  }
}

TEST(Converters, AcceptAndRefuseByParameterKind) {
  exec_python("class Idx:\n    def __index__(self): return 7\n"
              "class BadIdx:\n    def __index__(self): raise KeyError('hostile')\n"
              "class Flt:\n    def __float__(self): return 2.5\n"
              "import fractions\n");
  check_cases("flag", py::to_flag,
              {{"True", "ok"}, {"False", "ok"}, {"1", "TypeError"}, {"None", "TypeError"}, {"'x'", "TypeError"}});
  check_cases("index", py::to_index,
              {{"0", "ok"}, {"2**64 - 1", "ok"}, {"True", "ok"}, {"Idx()", "ok"}, {"-1", "OverflowError"},
               {"2**64", "OverflowError"}, {"1.0", "TypeError"}, {"'3'", "TypeError"}, {"BadIdx()", "KeyError"}});
  check_cases("i32", py::to_i32,
              {{"-2**31", "ok"}, {"2**31 - 1", "ok"}, {"Idx()", "ok"}, {"2**31", "OverflowError"},
               {"-2**31 - 1", "OverflowError"}, {"2**100", "OverflowError"}, {"1.5", "TypeError"}});
  check_cases("double", py::to_double,
              {{"1.5", "ok"}, {"3", "ok"}, {"Flt()", "ok"}, {"Idx()", "ok"}, {"float('nan')", "ok"},
               {"'1.5'", "TypeError"}, {"None", "TypeError"}, {"2**2000", "OverflowError"}});
  check_cases("f32", py::to_f32, {{"1e300", "ok"}, {"2", "ok"}, {"'x'", "TypeError"}});
  check_cases("text", py::to_text,
              {{"'ab'", "ok"}, {"'\\u00e9\\U0001f600'", "ok"}, {"b'ab'", "TypeError"}, {"'\\ud800'", "UnicodeEncodeError"}});
  auto list_of_index = [](PyObject* o) { return py::to_list(o, py::to_index); };
  check_cases("list", list_of_index,
              {{"[1, 2]", "ok"}, {"(1, 2)", "ok"}, {"[]", "ok"}, {"range(3)", "ok"}, {"'12'", "TypeError"},
               {"{1, 2}", "TypeError"}, {"5", "TypeError"}, {"[1, -1]", "OverflowError"}, {"[[1]]", "TypeError"}});
  auto map_of = [](PyObject* o) { return py::to_map(o, py::to_index, py::to_text); };
  check_cases("map", map_of,
              {{"{1: 'a'}", "ok"}, {"{}", "ok"}, {"[(1, 'a')]", "TypeError"}, {"{1: 2}", "TypeError"},
               {"{-1: 'a'}", "OverflowError"}});
  auto set_of = [](PyObject* o) { return py::to_set(o, py::to_index); };
  check_cases("set", set_of, {{"{1, 2}", "ok"}, {"frozenset()", "ok"}, {"[1]", "TypeError"}});
  auto pair_of = [](PyObject* o) { return py::to_pair(o, py::to_index, py::to_flag); };
  check_cases("pair", pair_of,
              {{"(1, True)", "ok"}, {"[1, True]", "TypeError"}, {"(1,)", "ValueError"}, {"(1, True, 3)", "ValueError"},
               {"(1, 1)", "TypeError"}});
  auto four = [](PyObject* o) { return py::to_tuple4(o, py::to_index, py::to_index, py::to_index, py::to_index); };
  check_cases("4-tuple", four, {{"(1, 2, 3, 4)", "ok"}, {"(1, 2, 3)", "ValueError"}, {"[1, 2, 3, 4]", "TypeError"}});
  auto optional_index = [](PyObject* o) { return py::to_optional(o, py::to_index); };
  check_cases("optional", optional_index, {{"None", "ok"}, {"3", "ok"}, {"-3", "OverflowError"}});
}

TEST(Converters, ValuesComeThroughExactly) {
  EXPECT_EQ(py::to_index(eval_python("2**64 - 1").get()), UINT64_MAX);
  EXPECT_EQ(py::to_i32(eval_python("-2**31").get()), INT32_MIN);
  EXPECT_EQ(py::to_f32(eval_python("0.1").get()), 0.1f);
  EXPECT_EQ(py::to_text(eval_python("'\\u00e9'").get()), "\xc3\xa9");
  auto list = py::to_list(eval_python("(3, 1, 2)").get(), py::to_index);
  EXPECT_EQ(list, (std::vector<std::uint64_t>{3, 1, 2}));
  auto map = py::to_map(eval_python("{2: 'b', 1: 'a'}").get(), py::to_index, py::to_text);
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[0].first, 2u);  // dict order
  EXPECT_EQ(map[1].second, "a");
  EXPECT_FALSE(py::to_optional(nullptr, py::to_index).has_value());
}

TEST(Converters, SequencesThatLieAboutTheirLengthAreReadByIteration) {
  exec_python("import sys\n"
              "class Huge(list):\n    def __len__(self): return sys.maxsize\n"
              "class Failing(list):\n    def __len__(self): raise ValueError('no length')\n");
  EXPECT_EQ(py::to_list(eval_python("Huge([1, 2])").get(), py::to_index), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(py::to_list(eval_python("Failing([3])").get(), py::to_index), (std::vector<std::uint64_t>{3}));
}

TEST(Converters, CxxFailureOfAConversionCarriesTheNote) {
  std::string notes;
  EXPECT_EQ(convert("1", [](PyObject*) -> int { throw std::bad_alloc(); }, &notes), "MemoryError: ");
  EXPECT_EQ(notes, "while processing 'p'");
  EXPECT_EQ(convert("1", [](PyObject*) -> int { internal_failure("broken"); }, &notes),
            "pyo3_runtime.PanicException: broken");
  EXPECT_EQ(notes, "");
}

TEST(Converters, ListElementConversionThatMutatesTheListIsSafe) {
  exec_python("victim = [0, 0, 0]\n"
              "class Shrink:\n    def __index__(self):\n        victim.clear()\n        return 1\n"
              "victim[0] = Shrink()\n");
  auto values = py::to_list(eval_python("victim").get(), py::to_index);
  EXPECT_EQ(values, (std::vector<std::uint64_t>{1}));
}

TEST(Rationals, GetBigRationalReadsIntsAndFractionsOnly) {
  exec_python("from fractions import Fraction\n"
              "class Five:\n    def __index__(self): return 5\n");
  struct RationalCase {
    const char* expression;
    const char* value;  // "n/d", or null for the ValueError
  };
  const RationalCase cases[] = {
      {"7", "7/1"},
      {"True", "1/1"},
      {"Fraction(1, 2)", "1/2"},
      {"Fraction(-6, 8)", "-3/4"},
      {"Five()", "5/1"},
      {"0.5", nullptr},
      {"2**31", nullptr},
      {"'1/2'", nullptr},
      {"Fraction(1, 2**31)", nullptr},
      {"None", nullptr},
  };
  for (const auto& c : cases) {
    Ref object = eval_python(c.expression);
    ASSERT_TRUE(object) << c.expression;
    try {
      Rational r = py::get_big_rational(object.get());
      ASSERT_NE(c.value, nullptr) << c.expression;
      EXPECT_EQ(r.numer().to_string() + "/" + r.denom().to_string(), c.value) << c.expression;
    } catch (const py::PyErrorSet&) {
      EXPECT_EQ(c.value, nullptr) << c.expression;
      EXPECT_EQ(take_exception(), "ValueError: Unable to parse Rational number") << c.expression;
    }
  }
  EXPECT_FALSE(py::get_option_big_rational(Py_None).has_value());
}

TEST(Rationals, FractionSubclassLyingAboutItsDenominatorIsRefusedNotFatal) {
  exec_python("from fractions import Fraction\n"
              "class Liar(Fraction):\n    @property\n    def denominator(self): return 0\n");
  Ref liar = eval_python("Liar(1, 2)");
  EXPECT_THROW(py::get_big_rational(liar.get()), py::PyErrorSet);
  EXPECT_EQ(take_exception(), "ValueError: Unable to parse Rational number");
}

TEST(Rationals, ConvertBackToFractionsExactly) {
  PyObject* main = PyImport_AddModule("__main__");
  const std::pair<Rational, const char*> cases[] = {
      {Rational(2), "Fraction(2)"},
      {Rational(BigInt(-1), BigInt(2)), "Fraction(-1, 2)"},
      {Rational(0), "Fraction(0)"},
      {Rational(BigInt::from_decimal("-123456789012345678901234567891"), BigInt::from_decimal("98765432109876543210")),
       "Fraction(-123456789012345678901234567891, 98765432109876543210)"},
  };
  for (const auto& [value, expected] : cases) {
    Ref fraction = py::big_rational_to_py_fraction(value);
    PyObject_SetAttrString(main, "got", fraction.get());
    EXPECT_TRUE(eval_true(std::string("type(got) is __import__('fractions').Fraction and got == __import__('fractions').") +
                          expected))
        << expected;
  }
}

// A class built with the module's class machinery, used only here.
struct Probe {
  int value;
  static const py::ClassSpec& spec();
};

PyObject* probe_shared(PyObject* self, PyObject*) {
  return py::guarded([&] {
    py::SharedBorrow borrow(self);
    py::ExclusiveBorrow exclusive(self);  // refused: a shared borrow is held
    return py::py_none().release();
  });
}

PyObject* probe_exclusive(PyObject* self, PyObject*) {
  return py::guarded([&] {
    py::ExclusiveBorrow exclusive(self);
    py::SharedBorrow borrow(self);  // refused: the exclusive borrow is held
    return py::py_none().release();
  });
}

PyObject* probe_value(PyObject* self, void*) {
  return py::guarded([&] { return py::py_int(static_cast<std::int32_t>(py::unwrap<Probe>(self).value)).release(); });
}

PyMethodDef kProbeMethods[] = {
    {"shared_then_exclusive", probe_shared, METH_NOARGS, "shared_then_exclusive($self)\n--\n\n"},
    {"exclusive_then_shared", probe_exclusive, METH_NOARGS, "exclusive_then_shared($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef kProbeGetSet[] = {{"value", probe_value, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr, nullptr}};

const py::ClassSpec& Probe::spec() {
  static const py::ClassSpec spec{"Probe", nullptr, py::ClassState::BorrowChecked, nullptr, kProbeGetSet,
                                  kProbeMethods, nullptr};
  return spec;
}

// raises(exc, f): the message of the `exc` that f() raises, or None.
void define_raises() {
  exec_python("def raises(exc, f):\n"
              "    try:\n        f()\n    except exc as e:\n        return str(e)\n"
              "    return None\n");
}

TEST(Classes, ModuleClassRules) {
  Ref probe = py::wrap(Probe{5});
  PyObject* main = PyImport_AddModule("__main__");
  PyObject_SetAttrString(main, "probe", probe.get());
  PyObject_SetAttrString(main, "other", py::wrap(Probe{5}).get());
  define_raises();
  exec_python("Probe = type(probe)\n");
  EXPECT_TRUE(eval_true("Probe.__name__ == 'Probe' and Probe.__qualname__ == 'Probe'"));
  EXPECT_TRUE(eval_true("probe.value == 5"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: Probe()) is not None"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: type('Sub', (Probe,), {})) is not None"));
  EXPECT_TRUE(eval_true("raises(AttributeError, lambda: setattr(probe, 'value', 1)) is not None"));
  EXPECT_TRUE(eval_true("raises(AttributeError, lambda: setattr(probe, 'extra', 1)) is not None"));
  EXPECT_TRUE(eval_true("not hasattr(probe, '__dict__')"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: __import__('weakref').ref(probe)) is not None"));
  EXPECT_TRUE(eval_true("probe != other and probe == probe and hash(probe) == object.__hash__(probe)"));
  EXPECT_TRUE(eval_true("len({probe: 1, other: 2}) == 2"));
  EXPECT_TRUE(eval_true("raises(TypeError, lambda: setattr(Probe, 'x', 1)) is not None"));
}

TEST(Classes, BorrowConflictsRaiseTheirTwoMessages) {
  Ref probe = py::wrap(Probe{1});
  PyObject* main = PyImport_AddModule("__main__");
  PyObject_SetAttrString(main, "probe", probe.get());
  define_raises();
  EXPECT_TRUE(eval_true("raises(RuntimeError, probe.shared_then_exclusive) == 'Already borrowed'"));
  EXPECT_TRUE(eval_true("raises(RuntimeError, probe.exclusive_then_shared) == 'Already mutably borrowed'"));
  // Guards are released on the way out: a later exclusive borrow succeeds.
  EXPECT_TRUE(eval_true("raises(RuntimeError, probe.exclusive_then_shared) == 'Already mutably borrowed'"));
}

TEST(Errors, EngineFailuresBecomeTheirPythonExceptions) {
  auto run = [](auto&& body) {
    PyObject* result = py::guarded([&]() -> PyObject* {
      body();
      return py::py_none().release();
    });
    EXPECT_EQ(result, nullptr);
    return take_exception();
  };
  EXPECT_EQ(run([] { throw Error(ErrorKind::ZeroDivisionError, "division by zero"); }),
            "ZeroDivisionError: division by zero");
  EXPECT_EQ(run([] { throw Error(ErrorKind::TimeoutError, "Timeout"); }), "TimeoutError: Timeout");
  EXPECT_EQ(run([] { throw Error(ErrorKind::Exception, "Overflow"); }), "Exception: Overflow");
  EXPECT_EQ(run([] { internal_failure("broken invariant"); }), "pyo3_runtime.PanicException: broken invariant");
  EXPECT_EQ(run([] { throw std::bad_alloc(); }), "MemoryError: ");
  // A Python exception captured by the engine comes back unchanged.
  EXPECT_EQ(run([] {
              PyErr_SetString(PyExc_LookupError, "from a callable");
              throw Error(std::make_shared<py::CapturedPythonError>());
            }),
            "LookupError: from a callable");
  // Capturing when nothing was raised is a broken invariant, not a silent success.
  EXPECT_EQ(run([] { throw Error(std::make_shared<py::CapturedPythonError>()); }),
            "pyo3_runtime.PanicException: a Python error was to be passed on but none had been raised");
}

TEST(Signatures, DocstringIsTheTextSignature) {
  py::Signature function("search", {{"ss"}, {"timeout", "None"}, {"early_termination", "False"}});
  EXPECT_STREQ(function.doc(), "search(ss, timeout=None, early_termination=False)\n--\n\n");
  EXPECT_EQ(function.text_signature(), "search(ss, timeout=None, early_termination=False)");
  py::Signature method("get_value", {{"fluent"}}, true);
  EXPECT_EQ(method.text_signature(), "get_value($self, fluent)");
}

}  // namespace
}  // namespace quendral::testing
