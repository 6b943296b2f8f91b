// Helpers for C++ tests that run against an embedded interpreter with `quendral` importable.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "module/binding.hpp"

namespace quendral::testing {

// Runs statements in the shared test namespace `__main__`; fails the test on an exception.
inline void exec_python(const std::string& code) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* globals = PyModule_GetDict(main);
  PyObject* result = PyRun_String(code.c_str(), Py_file_input, globals, globals);
  if (!result) {
    PyErr_Print();
    FAIL() << "Python code failed:\n" << code;
  }
  Py_DECREF(result);
}

// Evaluates an expression in `__main__`; a null result means an exception is pending.
inline py::Ref eval_python(const std::string& expression) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* globals = PyModule_GetDict(main);
  return py::Ref::steal(PyRun_String(expression.c_str(), Py_eval_input, globals, globals));
}

inline bool eval_true(const std::string& expression) {
  py::Ref value = eval_python(expression);
  if (!value) {
    PyErr_Print();
    ADD_FAILURE() << "Python expression failed: " << expression;
    return false;
  }
  return PyObject_IsTrue(value.get()) == 1;
}

// The type name and message of the pending exception, which is cleared; "" when none is pending.
inline std::string take_exception(std::string* notes = nullptr) {
  PyObject* exception = PyErr_GetRaisedException();
  if (!exception) return "";
  std::string text = Py_TYPE(exception)->tp_name;
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__module__");
  if (module && PyUnicode_Check(module) && !PyUnicode_EqualToUTF8(module, "builtins") &&
      text.find('.') == std::string::npos) {
    text = std::string(PyUnicode_AsUTF8(module)) + "." + text;
  }
  Py_XDECREF(module);
  PyErr_Clear();
  PyObject* message = PyObject_Str(exception);
  if (message) {
    text += ": ";
    text += PyUnicode_AsUTF8(message);
    Py_DECREF(message);
  }
  if (notes) {
    notes->clear();
    PyObject* list = PyObject_GetAttrString(exception, "__notes__");
    if (list) {
      for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        if (i) *notes += "|";
        *notes += PyUnicode_AsUTF8(PyList_GetItem(list, i));
      }
      Py_DECREF(list);
    }
    PyErr_Clear();
  }
  Py_DECREF(exception);
  return text;
}

}  // namespace quendral::testing
