// Evaluation of conditions of 5 to 50 nodes, the innermost loop of every search: fluents holding
// small integers and Booleans (which must not touch the heap), the same conditions over
// rational-valued fluents, and the two fluent sources (a state's value vector and a hashed
// assignment). Interning of node lists seen before, beside them.
//
// Each benchmark reports nodes per second (`items_per_second`) and `allocs/iter`, the heap blocks
// made per evaluation, counted through the global operator new and GMP's allocator.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <span>
#include <vector>

#include <gmpxx.h>

#include "base/core/errors.hpp"
#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"
#include "base/expressions/expressions_utils.hpp"
#include "bench/bench_support.hpp"


namespace {

using quendral::ExpressionNode;
using quendral::NodeKind;
using quendral::NodeList;

using quendral::bench::AllocationMeter;

// Fluents 0..31 are numeric, 32..63 Boolean.
constexpr std::uint64_t kNumeric = 32;
constexpr std::uint64_t kFluents = 64;

// A state's values: one node per fluent, read by index.
struct VectorSource {
  std::vector<ExpressionNode> values;
  const ExpressionNode& get_fluent_value(std::uint64_t fluent) const {
    QUENDRAL_CHECK(fluent < values.size(), "fluent beyond the state");
    return values[fluent];
  }
};

VectorSource make_values(bool rational, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  VectorSource source;
  for (std::uint64_t f = 0; f < kFluents; ++f) {
    const auto n = static_cast<std::int64_t>(rng() % 101) - 50;
    if (f >= kNumeric) {
      source.values.push_back(ExpressionNode::boolean(rng() % 2 == 0));
    } else if (rational) {
      const auto d = static_cast<std::int64_t>(rng() % 7 + 2);
      source.values.push_back(ExpressionNode::rational(quendral::Rational(quendral::BigInt(n), quendral::BigInt(d))));
    } else {
      source.values.push_back(ExpressionNode::integer(n));
    }
  }
  return source;
}

// Random conditions in post-order: connectives over comparisons of small arithmetic terms and
// over Boolean fluents.
class ConditionMaker {
 public:
  explicit ConditionMaker(std::uint64_t seed) : rng_(seed) {}

  NodeList make(std::size_t budget) {
    nodes_.clear();
    boolean(budget);
    return nodes_;
  }

 private:
  std::uint64_t pick(std::uint64_t n) { return rng_() % n; }
  std::uint64_t emit(ExpressionNode node) {
    nodes_.push_back(std::move(node));
    return nodes_.size() - 1;
  }

  std::uint64_t number(std::size_t budget) {
    if (budget <= 2) {
      if (pick(10) < 7) return emit(ExpressionNode::fluent(pick(kNumeric)));
      return emit(ExpressionNode::integer(static_cast<std::int64_t>(pick(9)) + 1));
    }
    const std::size_t left_budget = 1 + pick(budget - 2);
    const std::uint64_t a = number(left_budget);
    const std::uint64_t b = number(budget - 1 - left_budget);
    switch (pick(3)) {
      case 0: {
        const std::uint64_t ops[] = {a, b};
        return emit(ExpressionNode::list_operator(NodeKind::Plus, ops));
      }
      case 1: return emit(ExpressionNode::binary_operator(NodeKind::Minus, a, b));
      default: {
        const std::uint64_t ops[] = {a, b};
        return emit(ExpressionNode::list_operator(NodeKind::Times, ops));
      }
    }
  }

  std::uint64_t boolean(std::size_t budget) {
    if (budget <= 1) return emit(ExpressionNode::fluent(kNumeric + pick(kFluents - kNumeric)));
    if (budget == 2) return emit(ExpressionNode::not_operator(boolean(1)));
    switch (pick(4)) {
      case 0:
      case 1: {
        const std::size_t left_budget = 1 + pick(budget - 2);
        const std::uint64_t a = number(left_budget);
        const std::uint64_t b = number(budget - 1 - left_budget);
        static constexpr NodeKind kComparisons[] = {NodeKind::LE, NodeKind::LT, NodeKind::Equals};
        return emit(ExpressionNode::binary_operator(kComparisons[pick(3)], a, b));
      }
      case 2: return emit(ExpressionNode::not_operator(boolean(budget - 1)));
      default: {
        std::vector<std::uint64_t> ops;
        std::size_t left = budget - 1;
        const std::size_t parts = std::min<std::size_t>(left, 2 + pick(3));
        for (std::size_t k = 0; k < parts; ++k) {
          const std::size_t share = k + 1 == parts ? left : std::max<std::size_t>(1, left / (parts - k));
          ops.push_back(boolean(share));
          left -= share;
        }
        return emit(ExpressionNode::list_operator(pick(2) ? NodeKind::And : NodeKind::Or, ops));
      }
    }
  }

  std::mt19937_64 rng_;
  NodeList nodes_;
};

constexpr std::size_t kConditions = 256;

std::vector<NodeList> make_conditions(std::size_t size) {
  ConditionMaker maker(size * 7919);
  std::vector<NodeList> conditions;
  for (std::size_t k = 0; k < kConditions; ++k) conditions.push_back(maker.make(size));
  return conditions;
}

template <class Source>
void run(benchmark::State& state, const Source& source) {
  const auto conditions = make_conditions(static_cast<std::size_t>(state.range(0)));
  std::size_t nodes = 0;
  for (const NodeList& c : conditions) nodes += c.size();
  for (const NodeList& c : conditions) benchmark::DoNotOptimize(quendral::internal_evaluate(c, source));  // warm up
  const AllocationMeter meter;
  for (auto _ : state) {
    for (const NodeList& c : conditions) {
      ExpressionNode value = quendral::internal_evaluate(c, source);
      benchmark::DoNotOptimize(value);
    }
  }
  meter.report(state, kConditions);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(nodes));
  state.counters["nodes/cond"] = static_cast<double>(nodes) / kConditions;
}

void BM_EvaluateState(benchmark::State& state, bool rational) { run(state, make_values(rational, 11)); }

void BM_EvaluateAssignments(benchmark::State& state, bool rational) {
  const VectorSource values = make_values(rational, 11);
  quendral::FluentAssignments source;
  for (std::uint64_t f = 0; f < kFluents; ++f) source.assignments.emplace(f, &values.values[f]);
  run(state, source);
}

BENCHMARK_CAPTURE(BM_EvaluateState, small_ints_and_bools, false)->Arg(5)->Arg(10)->Arg(20)->Arg(50);
BENCHMARK_CAPTURE(BM_EvaluateState, rationals_and_bools, true)->Arg(5)->Arg(10)->Arg(20)->Arg(50);
BENCHMARK_CAPTURE(BM_EvaluateAssignments, small_ints_and_bools, false)->Arg(5)->Arg(50);
BENCHMARK_CAPTURE(BM_EvaluateAssignments, rationals_and_bools, true)->Arg(5)->Arg(50);

// Interning lists seen before: one hash of the list and one comparison with the stored copy.
void BM_InternSeen(benchmark::State& state) {
  const auto conditions = make_conditions(static_cast<std::size_t>(state.range(0)));
  quendral::ExpressionManager manager;
  for (const NodeList& c : conditions) manager.put(c);
  std::size_t nodes = 0;
  for (const NodeList& c : conditions) nodes += c.size();
  const AllocationMeter meter;
  for (auto _ : state) {
    for (const NodeList& c : conditions) benchmark::DoNotOptimize(manager.put(c));
  }
  meter.report(state, kConditions);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(nodes));
}
BENCHMARK(BM_InternSeen)->Arg(5)->Arg(50);

}  // namespace

BENCHMARK_MAIN();
