// The binding layer: everything that stands between a Python call and the engine.
//
//  - `Ref`: an owning reference to a Python object.
//  - `PyErrorSet`: the C++ exception meaning "a Python exception is already set".
//  - `guarded`: runs a binding body and turns every C++ failure into the matching Python
//    exception; nothing thrown ever crosses into the interpreter.
//  - `Signature` / `parse_args`: one parameter table per callable drives argument parsing, the
//    argument-count errors and the text signature (its docstring).
//  - converters, one per parameter kind; `convert_arg` attaches the note
//    "while processing '<name>'" to a failed conversion.
//  - `Box<T>` / class machinery: heap types made with PyType_FromSpec that cannot be subclassed,
//    carry no instance dict and no weak references, and compare by identity.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/core/errors.hpp"

namespace quendral::py {

// ---------------------------------------------------------------- references and errors

struct PyErrorSet {};

[[noreturn]] inline void throw_py() { throw PyErrorSet{}; }

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }
  // Takes ownership of a new reference returned by the C API; null means a Python error is set.
  static Ref check(PyObject* object) {
    if (!object) throw_py();
    return Ref(object);
  }
  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

[[noreturn]] void raise(PyObject* type, const std::string& message);

// The internal-failure exception, derived from BaseException; created once per process.
PyObject* panic_exception_type();

// Converts the exception being handled into a Python exception (call only inside a catch block).
void set_python_error_from_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

// Raises a Python exception built from an engine error.
[[noreturn]] void raise_engine_error(const Error& error);

// The engine-facing side of an exception raised by Python code (a callable heuristic): the
// module captures the pending exception into it, the engine carries it, the boundary restores it.
class CapturedPythonError : public ForeignError {
 public:
  CapturedPythonError();  // takes the pending Python exception
  ~CapturedPythonError() override;
  void restore() const;

 private:
  PyObject* exception_;
};

// ---------------------------------------------------------------- parameters

// One parameter of a callable, described once: its name and its default as the text signature
// shows it ("None" or "False"; null: required). An omitted argument is converted as the default's
// object, by the same converter as a given one, so the default is written nowhere else.
struct Param {
  const char* name;
  const char* default_text = nullptr;
};

// The object an omitted argument stands for: None or False, after the parameter's default text.
PyObject* default_object(const Param& param);

constexpr std::size_t kMaxParams = 16;

class Signature {
 public:
  // `method`: the text signature starts with "$self".
  Signature(const char* name, std::initializer_list<Param> params, bool method = false)
      : Signature(name, std::vector<Param>(params), method) {}
  Signature(const char* name, std::vector<Param> params, bool method = false);

  const char* name() const noexcept { return name_; }
  const std::vector<Param>& params() const noexcept { return params_; }
  // "name(a, b=None)\n--\n\n": the interpreter reads the text signature from it.
  const char* doc() const noexcept { return doc_.c_str(); }
  // "name(a, b=None)", the signature alone.
  std::string text_signature() const { return doc_.substr(0, doc_.size() - 5); }

 private:
  const char* name_;
  std::vector<Param> params_;
  std::string doc_;
};

class Args {
 public:
  PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
  bool given(std::size_t i) const noexcept { return values_[i] != nullptr; }

 private:
  friend void parse_args(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Args&);
  friend void parse_args(const Signature&, PyObject*, PyObject*, Args&);
  std::array<PyObject*, kMaxParams> values_{};
  // Keyword values of the tuple-and-dict form are borrowed from this copy of the caller's dict,
  // so converting one argument cannot free another by changing the dict.
  Ref keywords_;
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS).
void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);
// Tuple-and-dict form (constructors).
void parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out);

// Attaches the note "while processing '<name>'" to the pending exception.
void add_processing_note(const char* name) noexcept;

// Sets the Python exception for a C++ failure of a conversion and notes the parameter on it
// (an internal failure carries no note); always throws PyErrorSet.
[[noreturn]] void fail_conversion(const char* name);

template <class F>
auto convert_arg(const char* name, PyObject* object, F&& convert) -> decltype(convert(object)) {
  try {
    return convert(object);
  } catch (const PyErrorSet&) {
    add_processing_note(name);
    throw;
  } catch (...) {
    fail_conversion(name);
  }
}

// Converts argument `i` of `sig` with `convert` (an omitted one as its default's object), noting
// the parameter name on failure.
template <class F>
decltype(auto) convert_arg(const Signature& sig, const Args& args, std::size_t i, F&& convert) {
  const Param& param = sig.params()[i];
  return convert_arg(param.name, args.given(i) ? args[i] : default_object(param), std::forward<F>(convert));
}

// ---------------------------------------------------------------- converters (Python -> C++)

const char* type_name(PyObject* object) noexcept;

bool to_flag(PyObject* object);
std::uint64_t to_index(PyObject* object);
std::int32_t to_i32(PyObject* object);
double to_double(PyObject* object);
float to_f32(PyObject* object);
std::string to_text(PyObject* object);

// A sequence other than `str`, read by iteration.
template <class F>
auto to_list(PyObject* object, F&& convert) {
  using T = decltype(convert(object));
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "a 'str' cannot be converted to a list");
  if (!PySequence_Check(object)) {
    raise(PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to 'Sequence'");
  }
  std::vector<T> result;
  // Lists and tuples know their size; anything else may lie about it, so its hint only
  // pre-sizes a little and never fails the conversion.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    result.reserve(static_cast<std::size_t>(Py_SIZE(object)));
  } else {
    const Py_ssize_t hint = PyObject_LengthHint(object, 0);
    if (hint < 0) PyErr_Clear();
    result.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, 4096)));
  }
  Ref iterator = Ref::check(PyObject_GetIter(object));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    Ref owned = Ref::steal(item);
    result.push_back(convert(item));
  }
  if (PyErr_Occurred()) throw_py();
  return result;
}

// A dict, read in its iteration order as (key, value) pairs.
template <class FK, class FV>
auto to_map(PyObject* object, FK&& convert_key, FV&& convert_value) {
  using K = decltype(convert_key(object));
  using V = decltype(convert_value(object));
  if (!PyDict_Check(object)) {
    raise(PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to 'dict'");
  }
  std::vector<std::pair<K, V>> result;
  // Work on a snapshot of the items: converting a key or value may run Python code that
  // changes the dict.
  Ref items = Ref::check(PyDict_Items(object));
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  result.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    K key = convert_key(PyTuple_GET_ITEM(pair, 0));
    V value = convert_value(PyTuple_GET_ITEM(pair, 1));
    result.emplace_back(std::move(key), std::move(value));
  }
  return result;
}

// A set or frozenset, read in its iteration order.
template <class F>
auto to_set(PyObject* object, F&& convert) {
  using T = decltype(convert(object));
  if (!PyAnySet_Check(object)) {
    raise(PyExc_TypeError, std::string("'") + type_name(object) + "' object cannot be converted to 'set'");
  }
  std::vector<T> result;
  Ref iterator = Ref::check(PyObject_GetIter(object));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    Ref owned = Ref::steal(item);
    result.push_back(convert(item));
  }
  if (PyErr_Occurred()) throw_py();
  return result;
}

// Checks that `object` is a tuple of exactly `length` items.
void check_tuple(PyObject* object, Py_ssize_t length);

template <class F1, class F2>
auto to_pair(PyObject* object, F1&& first, F2&& second) {
  check_tuple(object, 2);
  auto a = first(PyTuple_GET_ITEM(object, 0));
  auto b = second(PyTuple_GET_ITEM(object, 1));
  return std::pair<decltype(a), decltype(b)>(std::move(a), std::move(b));
}

template <class F1, class F2, class F3, class F4>
auto to_tuple4(PyObject* object, F1&& f1, F2&& f2, F3&& f3, F4&& f4) {
  check_tuple(object, 4);
  auto a = f1(PyTuple_GET_ITEM(object, 0));
  auto b = f2(PyTuple_GET_ITEM(object, 1));
  auto c = f3(PyTuple_GET_ITEM(object, 2));
  auto d = f4(PyTuple_GET_ITEM(object, 3));
  return std::tuple<decltype(a), decltype(b), decltype(c), decltype(d)>(std::move(a), std::move(b), std::move(c),
                                                                        std::move(d));
}

// `None` (or an omitted argument) is absent; anything else is converted.
template <class F>
auto to_optional(PyObject* object, F&& convert) -> std::optional<decltype(convert(object))> {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return convert(object);
}

// ---------------------------------------------------------------- results (C++ -> Python)

inline Ref py_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref py_none() { return Ref::borrow(Py_None); }
inline Ref py_int(std::uint64_t value) { return Ref::check(PyLong_FromUnsignedLongLong(value)); }
inline Ref py_int(std::int32_t value) { return Ref::check(PyLong_FromLong(value)); }
inline Ref py_float(double value) { return Ref::check(PyFloat_FromDouble(value)); }
inline Ref py_str(std::string_view text) {
  return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// ---------------------------------------------------------------- classes

enum class ClassState { Frozen, BorrowChecked };

struct BoxHeader {
  PyObject_HEAD
  std::atomic<std::int64_t> borrow;  // > 0: shared borrows, -1: the exclusive borrow
};

template <class T>
struct Box : BoxHeader {
  T value;
};

// What a module class declares; its type object is made from it once per process.
struct ClassSpec {
  const char* name;        // bare Python name, e.g. "Effect"
  const char* doc;         // text signature docstring, or null
  ClassState state;
  newfunc constructor;     // null: the class cannot be instantiated from Python
  PyGetSetDef* getset;     // null-terminated, or null
  PyMethodDef* methods;    // null-terminated, or null
  reprfunc repr;           // null: the default object form
};

// Creates (once) and returns the type object of T. T must provide `static const ClassSpec& spec()`.
PyTypeObject* make_type(const ClassSpec& spec, std::size_t basicsize, destructor dealloc);

template <class T>
void box_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Box<T>*>(self)->value.~T();
  reinterpret_cast<Box<T>*>(self)->borrow.~atomic();
  type->tp_free(self);
  Py_DECREF(type);
}

class MutexLock {
 public:
  explicit MutexLock(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~MutexLock() { PyMutex_Unlock(&mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  PyMutex& mutex_;
};

template <class T>
PyTypeObject* type_of() {
  static std::atomic<PyTypeObject*> type{nullptr};
  static PyMutex mutex{};
  PyTypeObject* t = type.load(std::memory_order_acquire);
  if (t) return t;
  MutexLock lock(mutex);
  t = type.load(std::memory_order_acquire);
  if (!t) {
    t = make_type(T::spec(), sizeof(Box<T>), &box_dealloc<T>);
    if (!t) throw_py();
    type.store(t, std::memory_order_release);
  }
  return t;
}

// A new Python object of T's class holding `value`.
template <class T>
Ref wrap(T value) {
  PyTypeObject* type = type_of<T>();
  PyObject* object = PyType_GenericAlloc(type, 0);
  if (!object) throw_py();
  auto* box = reinterpret_cast<Box<T>*>(object);
  new (&box->borrow) std::atomic<std::int64_t>(0);
  new (&box->value) T(std::move(value));
  return Ref::steal(object);
}

template <class T>
bool is_instance(PyObject* object) {
  return Py_IS_TYPE(object, type_of<T>());
}

// The value held by an instance of T's class; anything else is a TypeError naming the class.
template <class T>
T& unwrap(PyObject* object) {
  if (!is_instance<T>(object)) {
    raise(PyExc_TypeError,
          std::string("'") + type_name(object) + "' object cannot be converted to '" + T::spec().name + "'");
  }
  return reinterpret_cast<Box<T>*>(object)->value;
}

// Borrow guards of the borrow-checked classes.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self);
  ~SharedBorrow();
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  std::atomic<std::int64_t>* state_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self);
  ~ExclusiveBorrow();
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  std::atomic<std::int64_t>* state_;
};

// Adds `object` to `module` under `name` and appends the name to the module's `__all__`.
void register_object(PyObject* module, const char* name, PyObject* object);
// Registers T's class.
template <class T>
void register_class(PyObject* module) {
  register_object(module, T::spec().name, reinterpret_cast<PyObject*>(type_of<T>()));
}
// Registers a function (its PyMethodDef must live for the process) bound to the module.
void register_function(PyObject* module, PyMethodDef* def);

}  // namespace quendral::py

// Defines a module function from its parameter table and a body over the parsed `args` (with
// `sig` naming the table): `NAME_def`, the method definition the module registers, whose
// docstring is the text signature. Used at the scope of namespace quendral::py, where a header
// declares `extern PyMethodDef NAME_def;` for the module's registration table.
#define QUENDRAL_PY_FUNCTION(NAME, SIGNATURE, ...)                                                      \
  static const ::quendral::py::Signature k_sig_##NAME SIGNATURE;                                        \
  static PyObject* fn_##NAME(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {  \
    return ::quendral::py::guarded([&]() -> PyObject* {                                                 \
      ::quendral::py::Args args;                                                                        \
      ::quendral::py::parse_args(k_sig_##NAME, argv, nargs, kwnames, args);                             \
      [[maybe_unused]] const ::quendral::py::Signature& sig = k_sig_##NAME;                             \
      __VA_ARGS__                                                                                       \
    });                                                                                                 \
  }                                                                                                     \
  PyMethodDef NAME##_def = {#NAME, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_##NAME)), \
                            METH_FASTCALL | METH_KEYWORDS, k_sig_##NAME.doc()};
