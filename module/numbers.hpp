// Exact numbers at the Python boundary.
#pragma once

#include "base/core/numbers.hpp"
#include "module/binding.hpp"

namespace quendral::py {

// An int (bool included) or `__index__` object in the signed 32-bit range gives n/1; a
// `fractions.Fraction` whose parts fit 32 bits gives its value; anything else is a ValueError
// "Unable to parse Rational number".
Rational get_big_rational(PyObject* object);
// `None` (or an omitted argument) is absent; anything else as `get_big_rational`.
std::optional<Rational> get_option_big_rational(PyObject* object);
// A new `fractions.Fraction`, built from the text "numerator/denominator".
Ref big_rational_to_py_fraction(const Rational& value);

}  // namespace quendral::py
