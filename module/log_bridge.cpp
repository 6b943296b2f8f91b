#include "module/log_bridge.hpp"

#include <mutex>
#include <string>

#include <boost/unordered/unordered_flat_map.hpp>

#include "base/core/errors.hpp"
#include "base/core/log.hpp"
#include "module/binding.hpp"

namespace quendral::py {
namespace {

int python_level(log::Level level) {
  switch (level) {
    case log::Level::Error: return 40;
    case log::Level::Warn: return 30;
    case log::Level::Info: return 20;
    case log::Level::Debug: return 10;
    default: return 5;
  }
}

// Per target: the Python logger and the most verbose facade level it accepted when the target
// first logged. Kept for the life of the process, so a level lowered later is not seen here,
// while a level raised later still takes effect through `isEnabledFor`.
struct CachedLogger {
  PyObject* logger;  // owned for the life of the process
  log::Level level;  // Off: the logger accepted nothing
};

std::mutex g_cache_mutex;
boost::unordered_flat_map<std::string, CachedLogger>* g_cache = nullptr;

std::string logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target[i] == ':' && i + 1 < target.size() && target[i + 1] == ':') {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

bool is_enabled_for(PyObject* logger, int level) {
  Ref answer = Ref::check(PyObject_CallMethod(logger, "isEnabledFor", "i", level));
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) throw_py();
  return truth != 0;
}

log::Level most_verbose_accepted(PyObject* logger) {
  for (log::Level level : {log::Level::Trace, log::Level::Debug, log::Level::Info, log::Level::Warn,
                           log::Level::Error}) {
    if (is_enabled_for(logger, python_level(level))) return level;
  }
  return log::Level::Off;
}

void emit(PyObject* logger, const std::string& name, const log::Record& record) {
  const int level = python_level(record.level);
  if (!is_enabled_for(logger, level)) return;
  // Only now, with the logger willing to take it, is the message formatted.
  const std::string text = record.message();
  Ref message = Ref::check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  Ref args = Ref::check(PyTuple_New(0));
  Ref made = Ref::check(PyObject_CallMethod(logger, "makeRecord", "sisiOOO", name.c_str(), level, record.file,
                                            static_cast<int>(record.line), message.get(), args.get(), Py_None));
  Ref handled = Ref::check(PyObject_CallMethod(logger, "handle", "O", made.get()));
}

void handle_record(const log::Record& record) {
  const std::string target(record.target);
  PyObject* logger = nullptr;
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    auto it = g_cache->find(target);
    if (it != g_cache->end()) {
      if (it->second.level == log::Level::Off ||
          static_cast<int>(record.level) > static_cast<int>(it->second.level)) {
        return;  // more verbose than the logger accepted: dropped without calling Python
      }
      logger = it->second.logger;
    }
  }
  const std::string name = logger_name(record.target);
  Ref fresh;
  if (!logger) {
    Ref logging = Ref::check(PyImport_ImportModule("logging"));
    fresh = Ref::check(PyObject_CallMethod(logging.get(), "getLogger", "s", name.c_str()));
    logger = fresh.get();
    first = true;
  }
  emit(logger, name, record);
  if (first) {
    const log::Level accepted = most_verbose_accepted(logger);
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (g_cache->find(target) == g_cache->end()) {
      g_cache->emplace(target, CachedLogger{fresh.release(), accepted});
    }
  }
}

// The sink runs on the engine's calling thread, which holds the interpreter. A Python exception
// pending before the record (a search that is about to fail) is preserved; a failure inside
// `logging` is reported as unraisable and never disturbs the engine's call.
void bridge_sink(const log::Record& record) {
  // Engine calls run on a thread that holds the interpreter; attach only when one does not.
  const bool attach = PyThreadState_GetUnchecked() == nullptr;
  PyGILState_STATE gil{};
  if (attach) gil = PyGILState_Ensure();
  PyObject* pending = PyErr_GetRaisedException();
  try {
    handle_record(record);
  } catch (...) {
    set_python_error_from_current_exception();
  }
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(pending);
  if (attach) PyGILState_Release(gil);
}

}  // namespace

void install_log_bridge() {
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) {
    PyErr_Clear();
    internal_failure("the Python logging package cannot be imported");
  }
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    if (!g_cache) g_cache = new boost::unordered_flat_map<std::string, CachedLogger>();
  }
  if (!log::install_sink(&bridge_sink, log::Level::Debug)) {
    internal_failure("the logging bridge is already installed in this process");
  }
}

}  // namespace quendral::py
