// The Python face of the expression algorithms: `shift_expression` and `simplify`.
#pragma once

#include "module/binding.hpp"

namespace quendral::py {
void register_shift_expression(PyObject* module);
void register_evaluate(PyObject* module);
void register_simplify(PyObject* module);
}  // namespace quendral::py
