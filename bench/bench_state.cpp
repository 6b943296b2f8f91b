// Search states and the temporal network.
//
//  - Copying a state for a child must cost the same whatever the number of fluents: the values
//    are shared, not copied. Measured for 10, 1,000 and 100,000 fluents, alone and with the one
//    write a child typically makes.
//  - Equality and hash of a child against its parent skip what the two share; the full
//    comparison and the flat hash of all values are measured beside them for contrast.
//  - DeltaSTN::add with double bounds on a chain of 1,000 action instances, the origin
//    collecting one constraint per instance (so its duplicate test walks an ever longer list).
//
// Each benchmark reports `allocs/iter`, the heap blocks made per iteration.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "base/space/search_state.hpp"
#include "base/temporal/stn.hpp"
#include "bench/bench_support.hpp"


namespace {

using quendral::Action;
using quendral::DeltaSTN;
using quendral::ExpressionNode;
using quendral::NodeList;
using quendral::PathEntry;
using quendral::PersistentList;
using quendral::PersistentVector;
using quendral::State;
using quendral::TodoEntry;

using quendral::bench::AllocationMeter;

// A mid-search state of a numeric task: n fluents of mixed kinds, two running actions, two
// durative conditions in force, a path of 20 events.
State make_state(std::size_t fluents) {
  quendral::StateValues values;
  for (std::size_t i = 0; i < fluents; ++i) {
    values.push_back(i % 3 == 0 ? ExpressionNode::boolean(i % 2 == 0)
                                : ExpressionNode::integer(static_cast<std::int64_t>(i % 100)));
  }
  State state(std::move(values));
  state.todo.insert_or_assign(Action{1}, TodoEntry{1, 5});
  state.todo.insert_or_assign(Action{7}, TodoEntry{2, 9});
  state.active_conditions.insert(NodeList{ExpressionNode::fluent(0)});
  state.active_conditions.insert(NodeList{ExpressionNode::fluent(3), ExpressionNode::boolean(true),
                                          ExpressionNode::binary_operator(quendral::NodeKind::Equals, 0, 1)});
  for (std::uint32_t i = 0; i < 20; ++i) {
    state.path = PersistentList<PathEntry>::append(PathEntry{Action{i % 4}, 0, i}, state.path);
  }
  state.g = 20;
  return state;
}

void BM_CloneForChild(benchmark::State& bench) {
  const State parent = make_state(static_cast<std::size_t>(bench.range(0)));
  const AllocationMeter meter;
  for (auto _ : bench) {
    State child = parent.clone_for_child();
    benchmark::DoNotOptimize(child);
  }
  meter.report(bench);
}
BENCHMARK(BM_CloneForChild)->Arg(10)->Arg(1000)->Arg(100'000);

// What successor generation does per child: copy, then one effect writes one value (path copy).
void BM_CloneForChildAndWriteOne(benchmark::State& bench) {
  const auto n = static_cast<std::size_t>(bench.range(0));
  const State parent = make_state(n);
  const AllocationMeter meter;
  for (auto _ : bench) {
    State child = parent.clone_for_child();
    child.values.set(n / 2, ExpressionNode::integer(-1));
    benchmark::DoNotOptimize(child);
  }
  meter.report(bench);
}
BENCHMARK(BM_CloneForChildAndWriteOne)->Arg(10)->Arg(1000)->Arg(100'000);

// A child that differs from its parent in one value: only the one unshared leaf is compared.
void BM_EqualChildAgainstParent(benchmark::State& bench) {
  const auto n = static_cast<std::size_t>(bench.range(0));
  const State parent = make_state(n);
  State child = parent.clone_for_child();
  child.values.set(n - 1, ExpressionNode::integer(-1));
  for (auto _ : bench) benchmark::DoNotOptimize(parent.eq(child));
}
BENCHMARK(BM_EqualChildAgainstParent)->Arg(10)->Arg(1000)->Arg(100'000);

// Contrast: two equal states built apart share nothing, so every value is compared.
void BM_EqualStatesBuiltApart(benchmark::State& bench) {
  const auto n = static_cast<std::size_t>(bench.range(0));
  const State a = make_state(n), b = make_state(n);
  for (auto _ : bench) benchmark::DoNotOptimize(a.eq(b));
}
BENCHMARK(BM_EqualStatesBuiltApart)->Arg(10)->Arg(1000)->Arg(100'000);

// Hash of a child whose parent was hashed: each iteration writes one value of the child (which
// clears the cached hashes on its path) and hashes it again, so only that path is rehashed.
void BM_HashChildOfHashedParent(benchmark::State& bench) {
  const auto n = static_cast<std::size_t>(bench.range(0));
  const State parent = make_state(n);
  benchmark::DoNotOptimize(parent.hash());
  State child = parent.clone_for_child();
  std::int64_t k = 0;
  for (auto _ : bench) {
    child.values.set(n / 2, ExpressionNode::integer(k++ & 1023));
    benchmark::DoNotOptimize(child.hash());
  }
}
BENCHMARK(BM_HashChildOfHashedParent)->Arg(10)->Arg(1000)->Arg(100'000);

// Contrast: the flat hash of every value, which a state without shared subtree hashes would pay.
void BM_HashAllValues(benchmark::State& bench) {
  const State state = make_state(static_cast<std::size_t>(bench.range(0)));
  for (auto _ : bench) {
    quendral::FxHasher h;
    for (const ExpressionNode& value : state.values) value.hash_into(h);
    benchmark::DoNotOptimize(h.finish());
  }
}
BENCHMARK(BM_HashAllValues)->Arg(10)->Arg(1000)->Arg(100'000);

// ---------------------------------------------------------------- DeltaSTN

constexpr std::uint64_t kOrigin = 1, kHorizon = 2;
constexpr std::uint32_t kInstances = 1000;
constexpr int kAddsPerInstance = 5;

std::uint64_t node(std::uint64_t id, std::uint32_t instance) { return id << 32 | instance; }

// Instance i: starts after the origin, lasts its duration, starts a separation after instance
// i − 1 ends, and ends a separation before the horizon.
void add_instance(DeltaSTN<double>& stn, std::uint32_t i) {
  constexpr double separation = 0.01;
  const double duration = 1.0 + static_cast<double>(i % 7);
  const std::uint64_t s = node(3, i), e = node(4, i);
  stn.add(kOrigin, s, 0);
  stn.add(s, e, -duration);
  stn.add(e, s, duration);
  if (i > 0) stn.add(node(4, i - 1), s, -separation);
  stn.add(e, kHorizon, -separation);
}

void BM_DeltaSTNChain(benchmark::State& bench) {
  const AllocationMeter meter;
  for (auto _ : bench) {
    DeltaSTN<double> stn(0.00001);
    for (std::uint32_t i = 0; i < kInstances; ++i) add_instance(stn, i);
    if (!stn.consistent()) bench.SkipWithError("the chain must stay consistent");
    benchmark::DoNotOptimize(stn);
  }
  meter.report(bench);
  bench.SetItemsProcessed(static_cast<std::int64_t>(bench.iterations()) * (kInstances * kAddsPerInstance - 1));
}
BENCHMARK(BM_DeltaSTNChain)->Unit(benchmark::kMillisecond);

// The same chain grown the way states grow it: every instance is added to a copy of the
// network before it, as successor generation does for each child.
void BM_DeltaSTNChainCopying(benchmark::State& bench) {
  for (auto _ : bench) {
    DeltaSTN<double> stn(0.00001);
    for (std::uint32_t i = 0; i < kInstances; ++i) {
      DeltaSTN<double> child = stn;
      add_instance(child, i);
      stn = std::move(child);
    }
    benchmark::DoNotOptimize(stn);
  }
  bench.SetItemsProcessed(static_cast<std::int64_t>(bench.iterations()) * (kInstances * kAddsPerInstance - 1));
}
BENCHMARK(BM_DeltaSTNChainCopying)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
