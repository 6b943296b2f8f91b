// Successor generation, the inner loop of every search.
//
//  - Classical: 200 Boolean fluents, 500 one-event actions (condition: a conjunction of three
//    literals, two or three effects), all successors of the root per iteration. Reports
//    successors per second and heap blocks per successor: a child shares the values and the
//    path, so its blocks are the path cell, the written leaves of the values trie and the
//    state's own box in the optional.
//  - Temporal, 20 running instances (each holding one durative condition): the cost of applying
//    one more event, whole (`BM_TemporalExpandEvent`) and split into its three parts, each
//    measured alone on the same state: evaluating the conditions in force and the effects, forming
//    the ordering constraints (node ids and interference tests against the path and every
//    pending event), and propagating them through a copy of the network.
//  - A real task (../shared/tasks/classical), all successors of a sample of reachable states.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "base/expressions/expressions_utils.hpp"
#include "base/space/search_space.hpp"
#include "bench/bench_support.hpp"
#include "bench/sas_task.hpp"

namespace {

using namespace quendral;
using N = ExpressionNode;
using quendral::bench::AllocationMeter;

NodeList literal(std::uint64_t f, bool positive) {
  if (positive) return {N::fluent(f)};
  return {N::fluent(f), N::not_operator(0)};
}

// ---------------------------------------------------------------- classical

std::unique_ptr<SearchSpace> classical_space(std::size_t fluents, std::size_t actions, NodeList& initial) {
  std::mt19937 rng(7);
  initial.clear();
  for (std::size_t i = 0; i < fluents; ++i) initial.push_back(N::boolean(rng() % 2 == 0));
  EventsTable events;
  std::vector<Action> list;
  for (std::uint64_t a = 0; a < actions; ++a) {
    list.push_back(Action{a});
    // Conditions true in the root for about a third of the actions.
    NodeList condition;
    std::vector<std::uint64_t> roots;
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t f = rng() % fluents;
      const bool holds = rng() % 3 != 0;
      const bool positive = initial[f].is_bool(true) == holds;
      const std::uint64_t at = condition.size();
      condition.push_back(N::fluent(f));
      if (!positive) condition.push_back(N::not_operator(at));
      roots.push_back(condition.size() - 1);
    }
    condition.push_back(N::list_operator(NodeKind::And, roots));
    std::vector<Effect> effects;
    for (std::size_t k = 0, n = 2 + rng() % 2; k < n; ++k) {
      effects.push_back(Effect{rng() % fluents, {N::boolean(rng() % 2 == 0)}});
    }
    events.insert_or_assign(Action{a}, {{Timing{true, Rational(0)},
                                         Event{Action{a}, 0, std::move(condition), {}, {}, std::move(effects)}}});
  }
  return std::make_unique<SearchSpace>(std::vector<std::optional<DurationBounds>>(actions), std::move(events), list,
                                       std::nullopt, std::nullopt, std::nullopt, initial);
}

void BM_ClassicalSuccessorsOfRoot(benchmark::State& bench) {
  NodeList initial;
  const auto space = classical_space(200, 500, initial);
  const State root = space->initial_state();
  std::size_t produced = 0;
  AllocationMeter meter;
  for (auto _ : bench) {
    auto stream = space->get_successor_states_iter(root);
    while (auto child = stream.next()) {
      benchmark::DoNotOptimize(*child);
      ++produced;
    }
  }
  meter.report(bench, std::max<std::size_t>(1, produced / std::max<std::size_t>(1, bench.iterations())));
  bench.counters["successors/s"] = benchmark::Counter(static_cast<double>(produced), benchmark::Counter::kIsRate);
  bench.counters["successors/iter"] =
      benchmark::Counter(static_cast<double>(produced), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ClassicalSuccessorsOfRoot);

// ---------------------------------------------------------------- temporal

// 21 durative actions over 40 Boolean fluents: action i < 20 holds fluent i over its run and
// writes fluent 20 + i at its end; action 20 is the probe, reading fluents 0 … 3 and writing
// fluent 39. The state has actions 0 … 19 running (their start events applied).
struct TemporalFixture {
  std::unique_ptr<SearchSpace> space;
  std::unique_ptr<State> running;
  TemporalFixture() {
    constexpr std::uint64_t kRunning = 20, kFluents = 40;
    NodeList initial(kFluents, N::boolean(true));
    EventsTable events;
    std::vector<Action> actions;
    std::vector<std::optional<DurationBounds>> durations;
    for (std::uint64_t a = 0; a <= kRunning; ++a) {
      actions.push_back(Action{a});
      durations.push_back(DurationBounds{{N::integer(100)}, {N::integer(200)}, false, false});
      const bool probe = a == kRunning;
      NodeList condition = probe ? NodeList{N::fluent(0), N::fluent(1), N::fluent(2), N::fluent(3),
                                            N::list_operator(NodeKind::And, std::vector<std::uint64_t>{0, 1, 2, 3})}
                                 : NodeList{N::boolean(true)};
      std::vector<NodeList> opened = probe ? std::vector<NodeList>{} : std::vector<NodeList>{literal(a, true)};
      std::vector<Effect> start_effects = probe ? std::vector<Effect>{Effect{kFluents - 1, {N::boolean(false)}}}
                                                : std::vector<Effect>{};
      events.insert_or_assign(
          Action{a}, {{Timing{true, Rational(0)}, Event{Action{a}, 0, condition, opened, {}, start_effects}},
                      {Timing{false, Rational(0)},
                       Event{Action{a}, 1, {N::boolean(true)}, {}, opened, {Effect{20 + a % 19, {N::boolean(true)}}}}}});
    }
    space = std::make_unique<SearchSpace>(durations, std::move(events), actions, std::nullopt, std::nullopt,
                                          std::nullopt, initial);
    running = std::make_unique<State>(space->initial_state());
    for (std::uint64_t a = 0; a < kRunning; ++a) {
      auto next = space->get_successor_state(*running, Action{a});
      running = std::make_unique<State>(std::move(*next));
    }
  }
};

void BM_TemporalExpandEvent(benchmark::State& bench) {
  const TemporalFixture f;
  AllocationMeter meter;
  for (auto _ : bench) {
    auto child = f.space->get_successor_state(*f.running, Action{20});
    benchmark::DoNotOptimize(child);
  }
  meter.report(bench);
}
BENCHMARK(BM_TemporalExpandEvent);

// The evaluation part: the conditions in force before and after, the event's condition and its
// effect, evaluated in the state.
void BM_TemporalExpandEvent_Evaluation(benchmark::State& bench) {
  const TemporalFixture f;
  const Event& probe = (*f.space->events().find(Action{20}))[0].second;
  for (auto _ : bench) {
    bool all = f.space->is_sat(probe.conditions, *f.running);
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& entry : f.running->active_conditions.distinct()) all &= f.space->is_sat(*entry.condition, *f.running);
    }
    for (const Effect& e : probe.effects) benchmark::DoNotOptimize(internal_evaluate(e.value, *f.running));
    benchmark::DoNotOptimize(all);
  }
}
BENCHMARK(BM_TemporalExpandEvent_Evaluation);

// The ordering part: the node ids and interference answers against the path and the pending
// events, without touching a network.
void BM_TemporalExpandEvent_Ordering(benchmark::State& bench) {
  const TemporalFixture f;
  const TNInterpreter& tn = f.space->tn_interpreter();
  const EventRef applied{Action{20}, 0};
  for (auto _ : bench) {
    std::uint64_t sum = 0;
    for (const PathEntry& e : PersistentList<PathEntry>::iter_rev(f.running->path)) {
      sum += TNInterpreter::node_id(tn.get_event_id(e.action, e.pos), e.instance);
      sum += f.space->mutex_checker().check({applied, EventRef{e.action, e.pos}}, f.space->event_fluents());
    }
    for (const auto& [a, next] : f.running->todo) {
      sum += TNInterpreter::node_id(tn.get_event_id(a, next.pos), next.instance);
      sum += f.space->mutex_checker().check({applied, EventRef{a, next.pos}}, f.space->event_fluents());
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_TemporalExpandEvent_Ordering);

// The propagation part: a copy of the network, the new instance's own constraints and the
// ordering constraints against the 20 earlier events and 20 pending ones.
void BM_TemporalExpandEvent_Propagation(benchmark::State& bench) {
  const TemporalFixture f;
  const TNInterpreter& tn = f.space->tn_interpreter();
  const double eps = f.space->epsilon_f64();
  std::uint32_t instance = 1'000'000;
  AllocationMeter meter;
  for (auto _ : bench) {
    DeltaSTN<double> network = *f.running->stn;
    const std::uint64_t s = TNInterpreter::node_id(tn.get_action_id(Action{20}, true), instance);
    const std::uint64_t e = TNInterpreter::node_id(tn.get_action_id(Action{20}, false), instance);
    const std::uint64_t cur = TNInterpreter::node_id(tn.get_event_id(Action{20}, 0), instance + 1);
    const std::uint64_t end = TNInterpreter::node_id(tn.get_event_id(Action{20}, 1), instance + 2);
    network.add(s, e, -100);
    network.add(e, s, 200);
    network.add(TNInterpreter::origin_node, s, 0);
    network.add(e, TNInterpreter::horizon_node, -eps);
    network.add(s, cur, 0);
    network.add(cur, s, 0);
    network.add(e, end, 0);
    network.add(end, e, 0);
    for (const PathEntry& p : PersistentList<PathEntry>::iter_rev(f.running->path)) {
      network.add(TNInterpreter::node_id(tn.get_event_id(p.action, p.pos), p.instance), cur, 0);
    }
    for (const auto& [a, next] : f.running->todo) {
      network.add(cur, TNInterpreter::node_id(tn.get_event_id(a, next.pos), next.instance), 0);
    }
    network.add(cur, end, -eps);
    benchmark::DoNotOptimize(network.consistent());
  }
  meter.report(bench);
}
BENCHMARK(BM_TemporalExpandEvent_Propagation);

// ---------------------------------------------------------------- a real task

void BM_RealTaskSuccessors(benchmark::State& bench) {
  const auto dir = quendral::bench::shared_tasks_dir();
  if (!dir) {
    bench.SkipWithError("no shared tasks folder");
    return;
  }
  const auto path = *dir / "classical" / "logistics00" / "probLOGISTICS-10-0.sas";
  const quendral::bench::SasTask task = quendral::bench::load_sas_task(path);
  const SearchSpace space(std::vector<std::optional<DurationBounds>>(task.actions.size()), task.events, task.actions,
                          std::nullopt, std::nullopt, std::nullopt, task.initial_state, task.goal);
  // A sample of reachable states, breadth first.
  std::vector<std::shared_ptr<const State>> sample;
  std::deque<std::shared_ptr<const State>> queue{std::make_shared<const State>(space.initial_state())};
  while (!queue.empty() && sample.size() < 200) {
    auto state = queue.front();
    queue.pop_front();
    sample.push_back(state);
    auto stream = space.get_successor_states_iter(*state);
    while (auto child = stream.next()) queue.push_back(std::make_shared<const State>(std::move(*child)));
  }
  std::size_t produced = 0;
  AllocationMeter meter;
  for (auto _ : bench) {
    for (const auto& state : sample) {
      auto stream = space.get_successor_states_iter(*state);
      while (auto child = stream.next()) {
        benchmark::DoNotOptimize(*child);
        ++produced;
      }
    }
  }
  meter.report(bench, std::max<std::size_t>(1, produced / std::max<std::size_t>(1, bench.iterations())));
  bench.counters["successors/s"] = benchmark::Counter(static_cast<double>(produced), benchmark::Counter::kIsRate);
  bench.counters["actions"] = static_cast<double>(task.actions.size());
  bench.counters["fluents"] = static_cast<double>(task.initial_state.size());
  bench.SetLabel(path.filename().string());
}
BENCHMARK(BM_RealTaskSuccessors);

}  // namespace

BENCHMARK_MAIN();
