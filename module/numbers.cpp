#include "module/numbers.hpp"

namespace quendral::py {
namespace {

[[noreturn]] void unable_to_parse() {
  PyErr_Clear();
  raise(PyExc_ValueError, "Unable to parse Rational number");
}

// Reads a signed 32-bit integer, or gives nothing (with no Python error left pending).
std::optional<std::int32_t> try_i32(PyObject* object) {
  try {
    return to_i32(object);
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

Ref fraction_class() {
  // Imported at every call on purpose: the module keeps no reference to `fractions`.
  Ref fractions = Ref::check(PyImport_ImportModule("fractions"));
  return Ref::check(PyObject_GetAttrString(fractions.get(), "Fraction"));
}

}  // namespace

Rational get_big_rational(PyObject* object) {
  if (auto value = try_i32(object)) return Rational(*value);
  Ref fraction;
  try {
    fraction = fraction_class();
  } catch (const PyErrorSet&) {
    unable_to_parse();
  }
  const int is_fraction = PyObject_IsInstance(object, fraction.get());
  if (is_fraction != 1) unable_to_parse();
  Ref numerator = Ref::steal(PyObject_GetAttrString(object, "numerator"));
  if (!numerator) unable_to_parse();
  Ref denominator = Ref::steal(PyObject_GetAttrString(object, "denominator"));
  if (!denominator) unable_to_parse();
  auto n = try_i32(numerator.get());
  auto d = try_i32(denominator.get());
  if (!n || !d || *d == 0) unable_to_parse();
  return mk_rational(*n, *d);
}

std::optional<Rational> get_option_big_rational(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return get_big_rational(object);
}

Ref big_rational_to_py_fraction(const Rational& value) {
  Ref fraction = fraction_class();
  const std::string text = value.numer().to_string() + "/" + value.denom().to_string();
  Ref argument = py_str(text);
  return Ref::check(PyObject_CallOneArg(fraction.get(), argument.get()));
}

}  // namespace quendral::py
