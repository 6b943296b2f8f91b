// Evaluation speed of the delete-relaxation heuristics (hff, hadd, hmax) on the real tasks of the
// shared benchmark set.
//
// For every task below <shared tasks>/classical, 200 states are drawn by a seeded random walk
// through its search space (seed 1); each benchmark evaluates them in turn, without internal
// caching, after one warm-up pass (so the facts of their values are already interned, as in a
// search that has run for a while). Reported: `evals/s`, `allocs/op` (heap blocks per
// evaluation) and the task's operator count. The relaxed task is built outside the timing.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "base/heuristics/relaxation_heuristic.hpp"
#include "base/space/search_space.hpp"
#include "bench/bench_support.hpp"
#include "bench/random_walk.hpp"
#include "bench/sas_task.hpp"

namespace {

using quendral::DeleteRelaxationHeuristic;
using quendral::DeleteRelaxationSettings;
using quendral::RelaxationMode;
using quendral::State;
using quendral::bench::AllocationMeter;

constexpr std::size_t kStates = 200;

struct Prepared {
  std::unique_ptr<DeleteRelaxationHeuristic> heuristic;
  std::vector<std::shared_ptr<const State>> states;
};

Prepared prepare(const std::filesystem::path& file, RelaxationMode mode) {
  const quendral::bench::SasTask task = quendral::bench::load_sas_task(file);
  const quendral::SearchSpace space(std::vector<std::optional<quendral::DurationBounds>>(task.actions.size()),
                                    task.events, task.actions, std::nullopt, std::nullopt, std::nullopt,
                                    task.initial_state, task.goal);
  Prepared p;
  p.states = quendral::bench::random_walk(space, 1, kStates - 1);
  p.heuristic = std::make_unique<DeleteRelaxationHeuristic>(task.actions, task.fluent_types, task.objects, task.events,
                                                            task.goal, DeleteRelaxationSettings{false, false, false, mode});
  for (const auto& s : p.states) benchmark::DoNotOptimize(p.heuristic->eval(*s));
  return p;
}

void evaluate(benchmark::State& bench, const std::filesystem::path& file, RelaxationMode mode) {
  const Prepared p = prepare(file, mode);
  std::size_t evaluations = 0;
  AllocationMeter meter;
  for (auto _ : bench) {
    for (const auto& s : p.states) {
      benchmark::DoNotOptimize(p.heuristic->eval(*s));
      ++evaluations;
    }
  }
  meter.report(bench, evaluations / std::max<std::size_t>(1, bench.iterations()));
  bench.counters["evals/s"] = benchmark::Counter(static_cast<double>(evaluations), benchmark::Counter::kIsRate);
  bench.counters["operators"] = static_cast<double>(p.heuristic->operators.size());
}

}  // namespace

int main(int argc, char** argv) {
  const char* names[] = {"hff", "hadd", "hmax"};
  const RelaxationMode modes[] = {RelaxationMode::Hff, RelaxationMode::Hadd, RelaxationMode::Hmax};
  for (const auto& file : quendral::bench::classical_task_files()) {
    const std::string task = file.parent_path().filename().string() + "/" + file.stem().string();
    for (int m = 0; m < 3; ++m) {
      benchmark::RegisterBenchmark((std::string("BM_Eval/") + names[m] + "/" + task).c_str(),
                                   [file, mode = modes[m]](benchmark::State& bench) { evaluate(bench, file, mode); })
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
