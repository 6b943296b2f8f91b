// The extension's one exported symbol.
#include "module/quendral.hpp"

PyMODINIT_FUNC PyInit_quendral(void) { return quendral::module_init(); }
