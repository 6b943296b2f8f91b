// The bridge from the engine's log records to Python's `logging`.
#include <gtest/gtest.h>

#include "base/core/errors.hpp"
#include "base/core/log.hpp"
#include "module/log_bridge.hpp"
#include "tests/cpp/embedded_python.hpp"

namespace quendral::testing {
namespace {

// Each test uses targets of its own, since the bridge caches a logger per target for good.
void capture(const std::string& logger, const char* level) {
  exec_python("import logging\n"
              "class _Capture(logging.Handler):\n"
              "    def __init__(self):\n"
              "        super().__init__(logging.NOTSET)\n"
              "        self.records = []\n"
              "    def emit(self, record):\n"
              "        self.records.append(record)\n"
              "cap = _Capture()\n"
              "lg = logging.getLogger('" + logger + "')\n"
              "lg.handlers[:] = [cap]\n"
              "lg.propagate = False\n"
              "lg.setLevel(logging." + level + ")\n");
}

TEST(LogBridge, RecordReachesLoggerNamedByTargetWithLevelFileAndLine) {
  capture("quendral_base.bridge_basic", "DEBUG");
  const int line = __LINE__ + 1;
  QLOG(Info, "quendral_base::bridge_basic", "expanded " << 42 << " states");
  EXPECT_TRUE(eval_true("len(cap.records) == 1"));
  EXPECT_TRUE(eval_true("cap.records[0].name == 'quendral_base.bridge_basic'"));
  EXPECT_TRUE(eval_true("cap.records[0].levelno == 20"));
  EXPECT_TRUE(eval_true("cap.records[0].getMessage() == 'expanded 42 states'"));
  EXPECT_TRUE(eval_true("cap.records[0].args == ()"));
  EXPECT_TRUE(eval_true("cap.records[0].exc_info is None"));
  EXPECT_TRUE(eval_true("cap.records[0].pathname.endswith('test_log_bridge.cpp')"));
  EXPECT_TRUE(eval_true("cap.records[0].lineno == " + std::to_string(line)));
}

TEST(LogBridge, LevelsMapToPythonNumbersAndTraceIsDroppedBeforePython) {
  capture("quendral_base.bridge_levels", "DEBUG");
  QLOG(Error, "quendral_base::bridge_levels", "e");
  QLOG(Warn, "quendral_base::bridge_levels", "w");
  QLOG(Info, "quendral_base::bridge_levels", "i");
  QLOG(Debug, "quendral_base::bridge_levels", "d");
  QLOG(Trace, "quendral_base::bridge_levels", "t");
  EXPECT_TRUE(eval_true("[r.levelno for r in cap.records] == [40, 30, 20, 10]"));
  // A trace record of a target never seen does not even create its Python logger.
  QLOG(Trace, "quendral_base::bridge_trace_only", "t");
  EXPECT_TRUE(eval_true("'quendral_base.bridge_trace_only' not in logging.Logger.manager.loggerDict"));
}

TEST(LogBridge, LevelIsCachedFromFirstRecordLoweringIsNotSeenRaisingIs) {
  capture("quendral_base.bridge_cache", "INFO");
  QLOG(Info, "quendral_base::bridge_cache", "first");
  exec_python("lg.setLevel(logging.DEBUG)");
  QLOG(Debug, "quendral_base::bridge_cache", "lowered later: not seen");
  QLOG(Info, "quendral_base::bridge_cache", "second");
  exec_python("lg.setLevel(logging.ERROR)");
  QLOG(Warn, "quendral_base::bridge_cache", "raised later: dropped by isEnabledFor");
  QLOG(Error, "quendral_base::bridge_cache", "third");
  EXPECT_TRUE(eval_true("[r.getMessage() for r in cap.records] == ['first', 'second', 'third']"));
}

// Counts how often it is written into a message.
struct Formatted {
  int* count;
  friend std::ostream& operator<<(std::ostream& out, const Formatted& f) {
    ++*f.count;
    return out << "x";
  }
};

TEST(LogBridge, MessagesAreFormattedOnlyForRecordsThatAreHandled) {
  capture("quendral_base.bridge_lazy", "INFO");
  int formatted = 0;
  QLOG(Debug, "quendral_base::bridge_lazy", Formatted{&formatted});  // refused by isEnabledFor
  QLOG(Info, "quendral_base::bridge_lazy", Formatted{&formatted});   // handled
  QLOG(Debug, "quendral_base::bridge_lazy", Formatted{&formatted});  // refused by the cached level
  QLOG(Trace, "quendral_base::bridge_lazy", Formatted{&formatted});  // refused by the facade
  EXPECT_EQ(formatted, 1);
  EXPECT_TRUE(eval_true("[r.getMessage() for r in cap.records] == ['x']"));
}

TEST(LogBridge, LevelLoweredBeforeFirstRecordLetsDebugThrough) {
  capture("quendral_base.bridge_early", "DEBUG");
  QLOG(Debug, "quendral_base::bridge_early", "seen");
  EXPECT_TRUE(eval_true("[r.getMessage() for r in cap.records] == ['seen']"));
}

TEST(LogBridge, PendingExceptionSurvivesLogging) {
  capture("quendral_base.bridge_pending", "DEBUG");
  PyErr_SetString(PyExc_ValueError, "pending before the record");
  QLOG(Info, "quendral_base::bridge_pending", "while an exception is pending");
  EXPECT_EQ(take_exception(), "ValueError: pending before the record");
  EXPECT_TRUE(eval_true("len(cap.records) == 1"));
}

TEST(LogBridge, FailureInsideLoggingIsReportedAndLeavesNothingPending) {
  capture("quendral_base.bridge_failing", "DEBUG");
  exec_python("import sys\n"
              "unraisable = []\n"
              "sys.unraisablehook = unraisable.append\n"
              "def _boom(record):\n"
              "    raise RuntimeError('filter failed')\n"
              "lg.addFilter(_boom)\n");
  QLOG(Info, "quendral_base::bridge_failing", "x");
  EXPECT_EQ(take_exception(), "");
  EXPECT_TRUE(eval_true("len(unraisable) == 1 and str(unraisable[0].exc_value) == 'filter failed'"));
  PyErr_SetString(PyExc_KeyError, "kept");
  QLOG(Info, "quendral_base::bridge_failing", "y");
  EXPECT_EQ(take_exception(), "KeyError: 'kept'");
  exec_python("sys.unraisablehook = sys.__unraisablehook__");
}

TEST(LogBridge, SecondInstallationIsAnInternalFailure) {
  EXPECT_THROW(py::install_log_bridge(), InternalFailure);
}

}  // namespace
}  // namespace quendral::testing
