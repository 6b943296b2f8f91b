// Blind breadth-first search on real classical tasks, and timed plan building.
//
//  - BM_BlindBfs: breadth-first search (a tree search: no duplicate detection) on a task of the
//    shared set, stopped by its timeout after `budget` seconds; the expansion count is read from
//    the progress lines the search logs every 10000 expansions. Reports expansions and generated
//    states per second. The open list grows by every successor, so the budget is kept short.
//  - BM_BytesPerStoredState: the heap bytes held per state of a breadth-first open list, measured
//    by filling a queue with 200,000 successors level by level, as the search does.
//  - BM_ReleaseStates: the time per state of releasing a breadth-first open list of a million
//    states, as a search that its timeout ends releases it.
//  - BM_GbfsHff: greedy best-first search with hff on real tasks, the C++ side of the cost of
//    calling a search from Python (bench/bench_python.py runs the same searches from Python);
//  - BM_Gbfs: greedy best-first search (`wastar_search` at weight 1) with a goal-count
//    heuristic written here, on real tasks, until solved or a short timeout; reports expansions
//    per second; the same runs of the memory-bounded variant, whose open list does not fill.
//  - BM_MemoryBoundedOverflow: `wastar_search_memory_bounded` at weight 0.5 (A* order) with the
//    same heuristic on a task large enough that its open list reaches its bound of 400000; the
//    resident set is sampled at every progress line. Reports the largest open list seen, the
//    peak resident set when the list first reached its bound and at the end, and their ratio:
//    memory stays flat once the bound is reached.
//  - BM_BuildPlan: `build_plan` of a temporal plan of 100 and of 1,000 events (each event is
//    ordered against every earlier one, so the cost grows quadratically by design).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "base/core/log.hpp"
#include "base/core/memory.hpp"
#include "base/heuristics/relaxation_heuristic.hpp"
#include "base/search/searches.hpp"
#include "base/space/search_space.hpp"
#include "bench/sas_task.hpp"

namespace {

using namespace quendral;

std::uint64_t g_last_progress = 0;
std::uint64_t g_last_generated = 0;
std::uint64_t g_last_open = 0;
// Called at every progress line when set.
void (*g_on_progress)() = nullptr;

void install_progress_sink() {
  static const bool installed = log::install_sink(
      [](const log::Record& record) {
        const std::string message = record.message();
        const std::size_t at = message.find("expanded=");
        if (record.level == log::Level::Debug && at != std::string::npos) {
          g_last_progress = std::stoull(message.substr(at + 9));
          g_last_generated = std::stoull(message.substr(message.find("generated=") + 10));
          g_last_open = std::stoull(message.substr(message.find("open=") + 5));
          if (g_on_progress) g_on_progress();
        }
      },
      log::Level::Debug);
  (void)installed;
}

// The goal facts (fluent, value node) of a task read from a file: its goal is a conjunction of
// "Fluent == Object" facts (or one fact alone).
using GoalFacts = std::vector<std::pair<std::uint64_t, ExpressionNode>>;

GoalFacts goal_facts(const NodeList& goal) {
  GoalFacts facts;
  for (const ExpressionNode& node : goal) {
    if (node.kind() != NodeKind::Equals) continue;
    const ExpressionNode& left = goal[node.left_operand()];
    const ExpressionNode& right = goal[node.right_operand()];
    if (left.kind() == NodeKind::Fluent) facts.emplace_back(left.fluent_index(), right);
  }
  return facts;
}

// The number of goal facts that do not hold: cheap, so the search's own costs dominate.
struct GoalCount {
  GoalFacts facts;
  HeuristicValue eval(const State& state, const SearchSpace&) const {
    double missing = 0;
    for (const auto& [fluent, value] : facts) {
      if (!(state.values[fluent] == value)) missing += 1;
    }
    return missing;
  }
};
static_assert(HeuristicTrait<GoalCount, SearchSpace>);

std::unique_ptr<SearchSpace> classical_space(const std::string& relative, GoalFacts* facts = nullptr) {
  const auto dir = bench::shared_tasks_dir();
  if (!dir) return nullptr;
  bench::SasTask task = bench::load_sas_task(*dir / "classical" / relative);
  if (facts) *facts = goal_facts(task.goal);
  std::vector<std::optional<DurationBounds>> durations(task.actions.size());
  return std::make_unique<SearchSpace>(std::move(durations), std::move(task.events), task.actions, std::nullopt,
                                       std::nullopt, std::nullopt, std::move(task.initial_state),
                                       std::move(task.goal));
}

void BM_BlindBfs(benchmark::State& state, const std::string& task) {
  install_progress_sink();
  const std::unique_ptr<SearchSpace> space = classical_space(task);
  if (!space) {
    state.SkipWithError("the shared tasks are not available");
    return;
  }
  const float budget = 0.5f;
  std::uint64_t expanded = 0;
  std::uint64_t generated = 0;
  double seconds = 0;
  for (auto _ : state) {
    g_last_progress = 0;
    const auto start = std::chrono::steady_clock::now();
    try {
      basic_search(*space, true, budget, false);
      state.SkipWithError("the search ended before its timeout");
    } catch (const Error&) {
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    expanded += g_last_progress;
    generated += g_last_generated;
  }
  state.counters["expansions/s"] = static_cast<double>(expanded) / seconds;
  state.counters["generated/s"] = static_cast<double>(generated) / seconds;
}
BENCHMARK_CAPTURE(BM_BlindBfs, gripper_prob05, std::string("gripper/prob05.sas"))
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlindBfs, logistics_8_0, std::string("logistics00/probLOGISTICS-8-0.sas"))
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// The bytes the process holds: malloc's count when the engine's blocks come from operator new,
// else the resident set (the engine's blocks then come from their own allocator).
double held_bytes() {
  if (!memory::backend().bypasses_operator_new) return static_cast<double>(mallinfo2().uordblks);
  std::ifstream statm("/proc/self/statm");
  double pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4096.0;
}

void BM_BytesPerStoredState(benchmark::State& state, const std::string& task) {
  const std::unique_ptr<SearchSpace> space = classical_space(task);
  if (!space) {
    state.SkipWithError("the shared tasks are not available");
    return;
  }
  constexpr std::size_t kStates = 200000;
  double bytes = 0;
  for (auto _ : state) {
    std::deque<State> open;
    std::deque<State> frontier;
    frontier.push_back(space->initial_state());
    const double before = held_bytes();
    while (open.size() < kStates && !frontier.empty()) {
      State parent = std::move(frontier.front());
      frontier.pop_front();
      for (Action action : space->relevant_actions()) {
        if (std::optional<State> child = space->get_successor_state(parent, action)) {
          if (open.size() < kStates) open.push_back(child->clone_for_child());
          frontier.push_back(std::move(*child));
        }
      }
    }
    // The frontier repeats the queue's states; only the queue is counted.
    frontier.clear();
    frontier.shrink_to_fit();
    bytes = (held_bytes() - before) / static_cast<double>(open.size());
  }
  state.counters["bytes/state"] = bytes;
  state.counters["sizeof(State)"] = sizeof(State);
}
BENCHMARK_CAPTURE(BM_BytesPerStoredState, gripper_prob05, std::string("gripper/prob05.sas"))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BytesPerStoredState, logistics_8_0, std::string("logistics00/probLOGISTICS-8-0.sas"))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The release of a breadth-first open list of a million states, as a search that its timeout
// ends releases it: the time per state. The states are made level by level, as the search does.
void BM_ReleaseStates(benchmark::State& state, const std::string& task) {
  const std::unique_ptr<SearchSpace> space = classical_space(task);
  if (!space) {
    state.SkipWithError("the shared tasks are not available");
    return;
  }
  constexpr std::size_t kStates = 1'000'000;
  double seconds = 0;
  std::size_t released = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto open = std::make_unique<std::deque<State>>();
    open->push_back(space->initial_state());
    for (std::size_t next = 0; open->size() < kStates && next < open->size(); ++next) {
      for (Action action : space->relevant_actions()) {
        if (open->size() >= kStates) break;
        if (std::optional<State> child = space->get_successor_state((*open)[next], action)) open->push_back(std::move(*child));
      }
    }
    released = open->size();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    open.reset();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["ns/state"] = seconds * 1e9 / static_cast<double>(released);
}
BENCHMARK_CAPTURE(BM_ReleaseStates, logistics_12_0, std::string("logistics00/probLOGISTICS-12-0.sas"))
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReleaseStates, blocks_17_0, std::string("blocks/probBLOCKS-17-0.sas"))
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// A real task with its goal-count heuristic; no space (and the benchmark skipped) when the
// shared tasks are not available.
struct GoalCountTask {
  std::unique_ptr<SearchSpace> space;
  GoalCount heuristic;
};
GoalCountTask goal_count_task(benchmark::State& state, const std::string& task) {
  install_progress_sink();
  GoalFacts facts;
  std::unique_ptr<SearchSpace> space = classical_space(task, &facts);
  if (!space) state.SkipWithError("the shared tasks are not available");
  return GoalCountTask{std::move(space), GoalCount{std::move(facts)}};
}

void BM_Gbfs(benchmark::State& state, const std::string& task, bool bounded) {
  const auto [space, heuristic] = goal_count_task(state, task);
  if (!space) return;
  std::uint64_t expanded = 0;
  double seconds = 0;
  bool solved = true;
  for (auto _ : state) {
    g_last_progress = 0;
    const auto start = std::chrono::steady_clock::now();
    try {
      const SearchResult result = bounded ? wastar_search_memory_bounded(*space, heuristic, 1.0, 5.0f, false, false)
                                          : wastar_search(*space, heuristic, 1.0, 5.0f, false, false);
      expanded += std::stoull(result.statistics.at("expanded_states"));
      solved = solved && result.plan.has_value();
    } catch (const Error&) {
      expanded += g_last_progress;
      solved = false;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["expansions/s"] = static_cast<double>(expanded) / seconds;
  state.counters["expanded"] = static_cast<double>(expanded) / static_cast<double>(state.iterations());
  state.counters["solved"] = solved ? 1 : 0;
}
BENCHMARK_CAPTURE(BM_Gbfs, logistics_10_0, std::string("logistics00/probLOGISTICS-10-0.sas"), false)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Gbfs, blocks_12_0, std::string("blocks/probBLOCKS-12-0.sas"), false)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
// The same runs in bounded memory (the open list never fills here): the cost of owned states
// moving through the double-ended heap and of the Bloom filter, against shared states and a set.
BENCHMARK_CAPTURE(BM_Gbfs, logistics_10_0_memory_bounded, std::string("logistics00/probLOGISTICS-10-0.sas"), true)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Gbfs, blocks_12_0_memory_bounded, std::string("blocks/probBLOCKS-12-0.sas"), true)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// Greedy best-first search with hff over a real task, driven from C++ through the engine
// heuristic alone: bench/bench_python.py runs the same searches from Python (same grounding, same
// expansions), so the two timings show what the Python layer costs.
struct Hff {
  DeleteRelaxationHeuristic relaxation;
  HeuristicValue eval(const State& state, const SearchSpace&) const { return relaxation.eval(state); }
};
static_assert(HeuristicTrait<Hff, SearchSpace>);

void BM_GbfsHff(benchmark::State& state, const std::string& task) {
  install_progress_sink();
  const auto dir = bench::shared_tasks_dir();
  if (!dir) {
    state.SkipWithError("the shared tasks are not available");
    return;
  }
  bench::SasTask sas = bench::load_sas_task(*dir / "classical" / task);
  const Hff hff{DeleteRelaxationHeuristic(sas.actions, FluentTypes(sas.fluent_types), sas.objects, sas.events,
                                          sas.goal, DeleteRelaxationSettings{})};
  std::vector<std::optional<DurationBounds>> durations(sas.actions.size());
  const SearchSpace space(std::move(durations), std::move(sas.events), sas.actions, std::nullopt, std::nullopt,
                          std::nullopt, std::move(sas.initial_state), std::move(sas.goal));
  double expanded = 0;
  for (auto _ : state) {
    const SearchResult result = wastar_search(space, hff, 1.0, std::nullopt, false, false);
    expanded = static_cast<double>(std::stoull(result.statistics.at("expanded_states")));
  }
  state.counters["expanded"] = expanded;
}
BENCHMARK_CAPTURE(BM_GbfsHff, blocks_14_0, std::string("blocks/probBLOCKS-14-0.sas"))
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GbfsHff, logistics_15_0, std::string("logistics00/probLOGISTICS-15-0.sas"))
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GbfsHff, depot_p07, std::string("depot/p07.sas"))->Iterations(5)->Unit(benchmark::kMillisecond);

// The resident set and its peak, in bytes, from /proc/self/status.
std::pair<double, double> resident_and_peak() {
  std::ifstream status("/proc/self/status");
  std::string key;
  double rss = 0;
  double hwm = 0;
  while (status >> key) {
    if (key == "VmRSS:") status >> rss;
    if (key == "VmHWM:") status >> hwm;
  }
  return {rss * 1024, hwm * 1024};
}

double g_rss_at_bound = 0;
double g_rss_last = 0;
std::uint64_t g_max_open = 0;
std::uint64_t g_expanded_at_bound = 0;
void sample_memory() {
  g_rss_last = resident_and_peak().first;
  if (g_last_open > g_max_open) g_max_open = g_last_open;
  // Progress lines count the open list after the take: a full list shows one entry less.
  if (g_rss_at_bound == 0 && g_last_open + 1 >= kBoundedOpenListCapacity) {
    g_rss_at_bound = g_rss_last;
    g_expanded_at_bound = g_last_progress;
  }
}

void BM_MemoryBoundedOverflow(benchmark::State& state, const std::string& task) {
  const auto [space, heuristic] = goal_count_task(state, task);
  if (!space) return;
  for (auto _ : state) {
    g_rss_at_bound = 0;
    g_max_open = 0;
    g_expanded_at_bound = 0;
    g_on_progress = sample_memory;
    try {
      wastar_search_memory_bounded(*space, heuristic, 0.5, 6.0f, false, false);
    } catch (const Error&) {
    }
    g_on_progress = nullptr;
  }
  state.counters["max_open"] = static_cast<double>(g_max_open);
  state.counters["expanded"] = static_cast<double>(g_last_progress);
  state.counters["expanded_at_bound"] = static_cast<double>(g_expanded_at_bound);
  state.counters["rss_at_bound_MiB"] = g_rss_at_bound / (1 << 20);
  state.counters["rss_at_end_MiB"] = g_rss_last / (1 << 20);
  state.counters["peak_rss_MiB"] = resident_and_peak().second / (1 << 20);
}
BENCHMARK_CAPTURE(BM_MemoryBoundedOverflow, logistics_15_0, std::string("logistics00/probLOGISTICS-15-0.sas"))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A temporal task of 8 durative actions on 4 fluents, each action with events at its start and
// end that write one fluent and read another, and a path of `events` events: the actions started
// and finished in turn, two of them overlapping at every moment.
void BM_BuildPlan(benchmark::State& state) {
  const auto events_wanted = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kActions = 8;
  constexpr std::size_t kFluents = 4;
  EventsTable table;
  std::vector<Action> actions;
  std::vector<std::optional<DurationBounds>> durations;
  for (std::size_t a = 0; a < kActions; ++a) {
    actions.push_back(Action{a});
    durations.push_back(DurationBounds{{ExpressionNode::integer(1)}, {ExpressionNode::integer(5)}, false, false});
    std::vector<TimedEvent> list;
    for (std::size_t j = 0; j < 2; ++j) {
      Event e;
      e.action = Action{a};
      e.pos = j;
      e.conditions = {ExpressionNode::fluent((a + 1) % kFluents), ExpressionNode::integer(0),
                      ExpressionNode::binary_operator(NodeKind::LE, 1, 0)};
      e.effects.push_back(Effect{(a + j) % kFluents, {ExpressionNode::integer(static_cast<std::int64_t>(a))}});
      list.push_back({Timing{j == 0, Rational(0)}, std::move(e)});
    }
    table.insert_or_assign(Action{a}, std::move(list));
  }
  NodeList init(kFluents, ExpressionNode::integer(0));
  const SearchSpace space(durations, std::move(table), actions, std::nullopt, std::nullopt, std::nullopt, init,
                          NodeList{ExpressionNode::boolean(true)});
  // start a0, start a1, end a0, start a2, end a1, start a3, ...: two instances always overlap.
  std::vector<Action> path = {Action{0}};
  for (std::size_t i = 1; path.size() < events_wanted; ++i) {
    path.push_back(Action{i % kActions});
    if (path.size() < events_wanted) path.push_back(Action{(i - 1) % kActions});
  }
  for (auto _ : state) {
    TimedPlan plan = space.build_plan(path);
    benchmark::DoNotOptimize(plan);
  }
  state.counters["events"] = static_cast<double>(path.size());
}
BENCHMARK(BM_BuildPlan)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
