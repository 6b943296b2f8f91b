// The Python face of the expression algorithms: `shift_expression` and `simplify`.
#pragma once

#include "module/binding.hpp"

namespace quendral::py {
extern PyMethodDef shift_expression_def;
extern PyMethodDef evaluate_def;
extern PyMethodDef simplify_def;
}  // namespace quendral::py
