#include "module/binding.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace quendral::py {

// ---------------------------------------------------------------- errors

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrorSet{};
}

PyObject* panic_exception_type() {
  static std::atomic<PyObject*> type{nullptr};
  static PyMutex mutex{};
  PyObject* t = type.load(std::memory_order_acquire);
  if (t) return t;
  MutexLock lock(mutex);
  t = type.load(std::memory_order_acquire);
  if (!t) {
    // Callers match this exception by its qualified name; keep it.
    t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                  "An internal failure of the engine: the call was abandoned.",
                                  PyExc_BaseException, nullptr);
    if (t) type.store(t, std::memory_order_release);
  }
  return t;
}

namespace {

PyObject* exception_type_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Exception: return PyExc_Exception;
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::TypeError: return PyExc_TypeError;
    case ErrorKind::ZeroDivisionError: return PyExc_ZeroDivisionError;
    case ErrorKind::NotImplementedError: return PyExc_NotImplementedError;
    case ErrorKind::RuntimeError: return PyExc_RuntimeError;
    case ErrorKind::TimeoutError: return PyExc_TimeoutError;
  }
  return PyExc_Exception;
}

void set_internal_failure(std::string_view message, const char* file, unsigned line) noexcept {
  std::fprintf(stderr, "quendral: internal failure at %s:%u: %.*s\n", file, line, static_cast<int>(message.size()),
               message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (!type) return;  // the creation failure stays pending
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!text) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void set_engine_error(const Error& error) {
  if (const auto& foreign = error.foreign()) {
    if (auto* captured = dynamic_cast<CapturedPythonError*>(foreign.get())) {
      captured->restore();
      return;
    }
  }
  PyObject* text =
      PyUnicode_DecodeUTF8(error.message().data(), static_cast<Py_ssize_t>(error.message().size()), "replace");
  if (!text) return;
  PyErr_SetObject(exception_type_of(error.kind()), text);
  Py_DECREF(text);
}

}  // namespace

void set_python_error_from_current_exception() noexcept {
  // Nothing here allocates on the C++ heap: this runs while reporting a failure, possibly one of
  // memory.
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) set_internal_failure("a Python error was signalled but none is set", __FILE__, __LINE__);
  } catch (const Error& error) {
    set_engine_error(error);
  } catch (const InternalFailure& failure) {
    set_internal_failure(failure.message(), failure.where().file_name(), failure.where().line());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    set_internal_failure(std::string_view(other.what()), __FILE__, __LINE__);
  } catch (...) {
    set_internal_failure("unknown C++ exception", __FILE__, __LINE__);
  }
}

void raise_engine_error(const Error& error) {
  set_engine_error(error);
  throw PyErrorSet{};
}

CapturedPythonError::CapturedPythonError() : exception_(PyErr_GetRaisedException()) {}

CapturedPythonError::~CapturedPythonError() {
  // Engine errors live only within a call, on the thread that holds the interpreter.
  Py_XDECREF(exception_);
}

void CapturedPythonError::restore() const {
  if (!exception_) {
    set_internal_failure("a Python error was to be passed on but none had been raised", __FILE__, __LINE__);
    return;
  }
  Py_INCREF(exception_);
  PyErr_SetRaisedException(exception_);
}

// ---------------------------------------------------------------- parameters

Signature::Signature(const char* name, std::vector<Param> params, bool method)
    : name_(name), params_(std::move(params)) {
  doc_ = name;
  doc_ += '(';
  bool first = true;
  if (method) {
    doc_ += "$self";
    first = false;
  }
  for (const Param& p : params_) {
    if (!first) doc_ += ", ";
    first = false;
    doc_ += p.name;
    if (p.default_text) {
      doc_ += '=';
      doc_ += p.default_text;
    }
  }
  doc_ += ")\n--\n\n";
}

namespace {

[[noreturn]] void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PyErrorSet{};
}

Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  const auto& params = sig.params();
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, params[i].name)) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

void assign_keyword(const Signature& sig, std::array<PyObject*, kMaxParams>& values, PyObject* key, PyObject* value) {
  const Py_ssize_t i = find_param(sig, key);
  if (i < 0) raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name(), key);
  if (values[static_cast<std::size_t>(i)]) {
    raise_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name(),
                 sig.params()[static_cast<std::size_t>(i)].name);
  }
  values[static_cast<std::size_t>(i)] = value;
}

void check_positional_count(const Signature& sig, Py_ssize_t nargs) {
  const std::size_t n = sig.params().size();
  if (static_cast<std::size_t>(nargs) > n) {
    raise_format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", sig.name(), n,
                 n == 1 ? "" : "s", nargs);
  }
}

void check_required(const Signature& sig, const std::array<PyObject*, kMaxParams>& values) {
  const auto& params = sig.params();
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!values[i] && !params[i].default_text) {
      raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.name(), params[i].name,
                   i + 1);
    }
  }
}

}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) {
  QUENDRAL_CHECK(sig.params().size() <= kMaxParams, "too many parameters in a parameter table");
  if (!kwnames && static_cast<std::size_t>(nargs) == sig.params().size()) {
    // The common call: every parameter given by position.
    std::copy(args, args + nargs, out.values_.begin());
    return;
  }
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[static_cast<std::size_t>(i)] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      assign_keyword(sig, out.values_, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
  }
  check_required(sig, out.values_);
}

void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) {
  QUENDRAL_CHECK(sig.params().size() <= kMaxParams, "too many parameters in a parameter table");
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional_count(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    out.keywords_ = Ref::check(PyDict_Copy(kwargs));
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(out.keywords_.get(), &pos, &key, &value)) assign_keyword(sig, out.values_, key, value);
  }
  check_required(sig, out.values_);
}

void fail_conversion(const char* name) {
  set_python_error_from_current_exception();
  PyObject* pending = PyErr_Occurred();
  if (pending && !PyErr_GivenExceptionMatches(pending, panic_exception_type())) add_processing_note(name);
  throw PyErrorSet{};
}

PyObject* default_object(const Param& param) {
  const std::string_view text = param.default_text ? param.default_text : "";
  if (text == "None") return Py_None;
  if (text == "False") return Py_False;
  internal_failure(std::string("the parameter '") + param.name + "' has no default an omitted argument can stand for");
}

void add_processing_note(const char* name) noexcept {
  PyObject* exception = PyErr_GetRaisedException();
  if (!exception) return;
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
  if (note) {
    PyObject* result = PyObject_CallMethod(exception, "add_note", "O", note);
    Py_DECREF(note);
    if (result) {
      Py_DECREF(result);
    } else {
      PyErr_Clear();  // the original failure matters more than its note
    }
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exception);
}

// ---------------------------------------------------------------- converters

const char* type_name(PyObject* object) noexcept {
  // The bare name, as the interpreter's own messages show it ("builtins.Action" -> "Action").
  const char* name = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

namespace {

// A NumPy boolean scalar: type `bool` or `bool_` of module "numpy". Looked up by name so that
// NumPy stays optional.
bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(name.get()) &&
         (PyUnicode_EqualToUTF8(name.get(), "bool") || PyUnicode_EqualToUTF8(name.get(), "bool_"));
}

}  // namespace

bool to_flag(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) throw_py();
    return truth != 0;
  }
  raise(PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to 'bool'");
}

std::uint64_t to_index(PyObject* object) {
  // Plain ints skip the __index__ round trip: this sits on every call that takes a number.
  Ref index = PyLong_CheckExact(object) ? Ref::borrow(object) : Ref::check(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_py();
  return value;
}

std::int32_t to_i32(PyObject* object) {
  Ref index = PyLong_CheckExact(object) ? Ref::borrow(object) : Ref::check(PyNumber_Index(object));
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw_py();
  if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int32_t>(value);
}

double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_py();
  return value;
}

float to_f32(PyObject* object) { return static_cast<float>(to_double(object)); }

std::string to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise(PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to 'str'");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) throw_py();
  return std::string(data, static_cast<std::size_t>(size));
}

void check_tuple(PyObject* object, Py_ssize_t length) {
  if (!PyTuple_Check(object)) {
    raise(PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to 'tuple'");
  }
  if (PyTuple_GET_SIZE(object) != length) {
    raise_format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", length,
                 PyTuple_GET_SIZE(object));
  }
}

// ---------------------------------------------------------------- classes

PyTypeObject* make_type(const ClassSpec& spec, std::size_t basicsize, destructor dealloc) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
  if (spec.doc) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  if (spec.constructor) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor)});
  if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
  if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
  if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
  slots.push_back({0, nullptr});

  // The classes belong to no module of their own: "builtins." leaves __name__ and __qualname__
  // bare and gives __module__ a value (without a dot the interpreter warns that the type has
  // no __module__). The name must outlive the type, so it is kept for the process.
  auto* qualified = new std::string(std::string("builtins.") + spec.name);
  unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
  if (!spec.constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{qualified->c_str(), static_cast<int>(basicsize), 0, flags, slots.data()};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

SharedBorrow::SharedBorrow(PyObject* self) : state_(&reinterpret_cast<BoxHeader*>(self)->borrow) {
  std::int64_t current = state_->load(std::memory_order_relaxed);
  do {
    if (current < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
  } while (!state_->compare_exchange_weak(current, current + 1, std::memory_order_acquire));
}

SharedBorrow::~SharedBorrow() { state_->fetch_sub(1, std::memory_order_release); }

ExclusiveBorrow::ExclusiveBorrow(PyObject* self) : state_(&reinterpret_cast<BoxHeader*>(self)->borrow) {
  std::int64_t expected = 0;
  if (!state_->compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
    raise(PyExc_RuntimeError, "Already borrowed");
  }
}

ExclusiveBorrow::~ExclusiveBorrow() { state_->store(0, std::memory_order_release); }

void register_object(PyObject* module, const char* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py();
    PyErr_Clear();
    all = Ref::check(PyList_New(0));
  }
  if (!PyList_Check(all.get())) raise(PyExc_TypeError, "`__all__` must be a list");
  Ref text = Ref::check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) throw_py();
  if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_py();
  if (PyObject_SetAttrString(module, name, object) < 0) throw_py();
}

void register_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module));
  Ref function = Ref::check(PyCFunction_NewEx(def, module, module_name.get()));
  register_object(module, def->ml_name, function.get());
}

}  // namespace quendral::py
