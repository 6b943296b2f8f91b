// Construction of the relaxed task of the delete-relaxation heuristics.
//
//  - The largest real task of the shared benchmark set (by operator count), read once through the
//    task reader; skipped when the tasks are not beside the repository.
//  - A generated numeric task of n one-event actions (n = 1,250 to 10,000), each with a Boolean
//    condition, a linear condition over two of n/10 numeric fluents, a constant increase, an
//    assignment and a Boolean effect, and a goal of n/10 linear conditions. Its linear
//    conditions grow with n, so the helping relation is part of what is measured: construction
//    must stay near-linear in n.
//
// Each benchmark reports the operators built, `allocs/iter` (heap blocks made per construction),
// and the memory the built task holds: `retained_bytes` (heap bytes in use while it is alive)
// and `retained_blocks`. The copying of the inputs, which the constructor takes over, is not
// timed.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/heuristics/relaxation_heuristic.hpp"
#include "bench/bench_support.hpp"
#include "bench/sas_task.hpp"

namespace {

using quendral::Action;
using quendral::DeleteRelaxationHeuristic;
using quendral::Effect;
using quendral::Event;
using quendral::EventsTable;
using quendral::ExpressionNode;
using quendral::FluentTypes;
using quendral::NodeKind;
using quendral::NodeList;
using quendral::ObjectsTable;
using quendral::Rational;
using quendral::Timing;
using quendral::TimedEvent;
using quendral::bench::AllocationMeter;
namespace testing = quendral::testing;

struct TaskInputs {
  std::vector<Action> actions;
  FluentTypes fluent_types;
  ObjectsTable objects;
  EventsTable events;
  NodeList goal;
};

// Builds the relaxed task from fresh copies of `task` in every iteration, timing only the
// construction, and reports what the last one holds.
void construct(benchmark::State& state, const TaskInputs& task) {
  AllocationMeter meter;
  std::size_t operators = 0;
  double retained_bytes = 0, retained_blocks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::size_t bytes_before = mallinfo2().uordblks;
    const std::int64_t blocks_before = testing::heap_counts().live;
    TaskInputs copy = task;
    state.ResumeTiming();
    std::optional<DeleteRelaxationHeuristic> h;
    h.emplace(std::move(copy.actions), std::move(copy.fluent_types), std::move(copy.objects), std::move(copy.events),
              std::move(copy.goal), quendral::DeleteRelaxationSettings{});
    state.PauseTiming();
    operators = h->operators.size();
    // The inputs were taken over and dropped (`copy` holds only moved-from shells): what is
    // left since the count before the copy is the relaxed task.
    retained_bytes = static_cast<double>(mallinfo2().uordblks) - static_cast<double>(bytes_before);
    retained_blocks = static_cast<double>(testing::heap_counts().live - blocks_before);
    h.reset();
    state.ResumeTiming();
  }
  meter.report(state);
  state.counters["operators"] = static_cast<double>(operators);
  state.counters["retained_bytes"] = retained_bytes;
  state.counters["retained_blocks"] = retained_blocks;
}

const std::optional<TaskInputs>& largest_real_task() {
  static const std::optional<TaskInputs> task = []() -> std::optional<TaskInputs> {
    std::optional<quendral::bench::SasTask> best;
    for (const auto& file : quendral::bench::classical_task_files()) {
      quendral::bench::SasTask sas = quendral::bench::load_sas_task(file);
      if (!best || sas.actions.size() > best->actions.size()) best = std::move(sas);
    }
    if (!best) return std::nullopt;
    return TaskInputs{best->actions, best->fluent_types, best->objects, best->events, best->goal};
  }();
  return task;
}

void BM_RelaxedTaskLargestRealTask(benchmark::State& state) {
  const auto& task = largest_real_task();
  if (!task) {
    state.SkipWithError("the shared benchmark tasks are not beside the repository");
    return;
  }
  construct(state, *task);
}
BENCHMARK(BM_RelaxedTaskLargestRealTask)->Unit(benchmark::kMillisecond);

// [Fluent(a), Fluent(b), Plus, Int(c), LE]: x_a + x_b <= c.
void append_sum_at_most(NodeList& nodes, std::uint64_t a, std::uint64_t b, std::int64_t c) {
  const std::uint64_t base = nodes.size();
  nodes.push_back(ExpressionNode::fluent(a));
  nodes.push_back(ExpressionNode::fluent(b));
  const std::uint64_t pair[] = {base, base + 1};
  nodes.push_back(ExpressionNode::list_operator(NodeKind::Plus, pair));
  nodes.push_back(ExpressionNode::integer(c));
  nodes.push_back(ExpressionNode::binary_operator(NodeKind::LE, base + 2, base + 3));
}

TaskInputs numeric_task(std::size_t n) {
  std::mt19937_64 rng(n);
  const std::size_t numeric = std::max<std::size_t>(n / 10, 2), booleans = std::max<std::size_t>(n / 10, 1);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(rng); };
  TaskInputs task;
  // Numeric fluents 0 .. numeric - 1, then Boolean ones.
  task.fluent_types.assign(numeric, "int");
  task.fluent_types.resize(numeric + booleans, "bool");
  for (std::size_t i = 0; i < n; ++i) {
    const Action action{i};
    task.actions.push_back(action);
    Event event;
    event.action = action;
    const std::uint64_t b = numeric + pick(booleans);
    event.conditions.push_back(ExpressionNode::fluent(b));
    append_sum_at_most(event.conditions, pick(numeric), pick(numeric), static_cast<std::int64_t>(pick(50)));
    const std::uint64_t roots[] = {0, event.conditions.size() - 1};
    event.conditions.push_back(ExpressionNode::list_operator(NodeKind::And, roots));
    const std::uint64_t up = pick(numeric), set = (up + 1 + pick(numeric - 1)) % numeric;
    const std::uint64_t increase[] = {0, 1};
    event.effects.push_back(Effect{up, NodeList{ExpressionNode::fluent(up), ExpressionNode::integer(1 + pick(3)),
                                                ExpressionNode::list_operator(NodeKind::Plus, increase)}});
    event.effects.push_back(Effect{set, NodeList{ExpressionNode::integer(static_cast<std::int64_t>(pick(10)))}});
    event.effects.push_back(Effect{numeric + pick(booleans), NodeList{ExpressionNode::boolean(true)}});
    std::vector<TimedEvent> timed;
    timed.emplace_back(Timing{true, Rational()}, std::move(event));
    task.events.insert_or_assign(action, std::move(timed));
  }
  std::vector<std::uint64_t> roots;
  for (std::size_t g = 0; g < n / 10; ++g) {
    // 10 <= x_a + x_b, written as a strict comparison half the time.
    const std::uint64_t base = task.goal.size();
    task.goal.push_back(ExpressionNode::integer(10));
    task.goal.push_back(ExpressionNode::fluent(pick(numeric)));
    task.goal.push_back(ExpressionNode::fluent(pick(numeric)));
    const std::uint64_t pair[] = {base + 1, base + 2};
    task.goal.push_back(ExpressionNode::list_operator(NodeKind::Plus, pair));
    task.goal.push_back(ExpressionNode::binary_operator(g % 2 ? NodeKind::LT : NodeKind::LE, base, base + 3));
    roots.push_back(base + 4);
  }
  task.goal.push_back(ExpressionNode::list_operator(NodeKind::And, roots));
  return task;
}

void BM_RelaxedTaskNumeric(benchmark::State& state) {
  const TaskInputs task = numeric_task(static_cast<std::size_t>(state.range(0)));
  construct(state, task);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RelaxedTaskNumeric)->RangeMultiplier(2)->Range(1250, 10000)->Unit(benchmark::kMillisecond)->Complexity();

}  // namespace

BENCHMARK_MAIN();
