// The cost of a search's log record by what becomes of it, through the real bridge into an
// embedded interpreter (`quendral` imported, so the bridge is installed at maximum level debug):
//  - Trace: above the facade's maximum level, dropped at the call site;
//  - Debug on a logger at INFO: refused by the level the bridge cached from the target's first
//    record, without calling Python and without formatting;
//  - Debug on a logger at INFO, first ever record of its target every time: the bridge asks
//    Python's isEnabledFor, which refuses (each iteration uses a new target; shown for contrast);
//  - Info on that logger: formatted, built by makeRecord and handled (by a NullHandler).
// `formats/iter` counts how often the message was formatted: 0 for every refused record.
#include <benchmark/benchmark.h>

#include <ostream>
#include <string>

#include "base/core/log.hpp"
#include "module/binding.hpp"
#include "module/quendral.hpp"

namespace {

std::uint64_t g_formats = 0;

// A message part that counts its own formatting.
struct Counted {
  std::uint64_t value;
  friend std::ostream& operator<<(std::ostream& out, const Counted& c) {
    ++g_formats;
    return out << c.value;
  }
};

void setup_logger(const char* name) {
  const std::string code = std::string("import logging\nlg = logging.getLogger('") + name +
                           "')\nlg.handlers[:] = [logging.NullHandler()]\nlg.propagate = False\nlg.setLevel(logging.INFO)\n";
  PyRun_SimpleString(code.c_str());
}

void report_formats(benchmark::State& state, std::uint64_t before) {
  state.counters["formats/iter"] =
      benchmark::Counter(static_cast<double>(g_formats - before), benchmark::Counter::kAvgIterations);
}

void BM_TraceDroppedByTheFacade(benchmark::State& state) {
  const std::uint64_t before = g_formats;
  std::uint64_t n = 0;
  for (auto _ : state) {
    QLOG(Trace, "quendral_base::bench_log", "bfs: expanded=" << Counted{++n});
  }
  report_formats(state, before);
}
BENCHMARK(BM_TraceDroppedByTheFacade);

void BM_DebugRefusedByTheCachedLevel(benchmark::State& state) {
  setup_logger("quendral_base.bench_log");
  QLOG(Info, "quendral_base::bench_log", "first record: the bridge caches the logger and its level");
  const std::uint64_t before = g_formats;
  std::uint64_t n = 0;
  for (auto _ : state) {
    QLOG(Debug, "quendral_base::bench_log", "bfs: expanded=" << Counted{++n} << " generated=" << n << " open=" << n);
  }
  report_formats(state, before);
}
BENCHMARK(BM_DebugRefusedByTheCachedLevel);

void BM_DebugRefusedByIsEnabledForOnAFirstRecord(benchmark::State& state) {
  const std::uint64_t before = g_formats;
  std::uint64_t n = 0;
  std::string target;
  for (auto _ : state) {
    state.PauseTiming();
    target = "quendral_base::bench_first_" + std::to_string(++n);
    setup_logger(("quendral_base.bench_first_" + std::to_string(n)).c_str());
    state.ResumeTiming();
    QLOG(Debug, target, "bfs: expanded=" << Counted{n});
  }
  report_formats(state, before);
}
BENCHMARK(BM_DebugRefusedByIsEnabledForOnAFirstRecord)->Iterations(2000);

void BM_InfoFormattedAndHandled(benchmark::State& state) {
  setup_logger("quendral_base.bench_log");
  const std::uint64_t before = g_formats;
  std::uint64_t n = 0;
  for (auto _ : state) {
    QLOG(Info, "quendral_base::bench_log", "bfs: goal found \xe2\x80\x94 expanded=" << Counted{++n} << " depth=3");
  }
  report_formats(state, before);
}
BENCHMARK(BM_InfoFormattedAndHandled);

PyObject* init_quendral() { return quendral::module_init(); }

}  // namespace

int main(int argc, char** argv) {
  if (PyImport_AppendInittab("quendral", &init_quendral) < 0) return 2;
  Py_InitializeEx(0);
  PyObject* module = PyImport_ImportModule("quendral");
  if (!module) {
    PyErr_Print();
    return 2;
  }
  Py_DECREF(module);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Py_FinalizeEx();
  return 0;
}
