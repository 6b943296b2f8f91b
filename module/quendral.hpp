// The module `quendral`: its definition, start-up and registration table.
#pragma once

#include "module/binding.hpp"

namespace quendral {

// The module body: installs the logging bridge and registers the classes and functions.
void quendral(PyObject* module);

// What `PyInit_quendral` returns: the definition for multi-phase initialisation.
PyObject* module_init();

}  // namespace quendral
