// Entry point of the C++ tests that need an interpreter: it embeds one, makes `quendral`
// importable as a built-in module, and imports it (which installs the logging bridge).
#include <gtest/gtest.h>

#include "module/quendral.hpp"

// Under AddressSanitizer: the interpreter's own allocations are not ours to account for.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {
PyObject* init_quendral() { return quendral::module_init(); }
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (PyImport_AppendInittab("quendral", &init_quendral) < 0) return 2;
  Py_InitializeEx(0);
  PyObject* module = PyImport_ImportModule("quendral");
  if (!module) {
    PyErr_Print();
    return 2;
  }
  Py_DECREF(module);
  const int result = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return result;
}
