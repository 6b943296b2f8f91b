// Node lists: copying, equality and hashing of lists of inline nodes (which must not touch the
// heap) next to lists with operator nodes, and Rational arithmetic inline versus boxed.
//
// Each benchmark reports `allocs/iter`, the heap blocks made per iteration, counted through the
// global operator new and GMP's allocator.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>
#include <span>
#include <vector>

#include <gmpxx.h>

#include "base/core/numbers.hpp"
#include "base/expressions/expressions.hpp"
#include "bench/bench_support.hpp"


namespace {

using quendral::BigInt;
using quendral::ExpressionNode;
using quendral::NodeKind;
using quendral::Rational;

using quendral::bench::AllocationMeter;

void report_nodes(benchmark::State& state, std::size_t nodes_per_iteration) {
  const auto items = static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(nodes_per_iteration);
  state.SetItemsProcessed(items);
  state.SetBytesProcessed(items * static_cast<std::int64_t>(sizeof(ExpressionNode)));
}

// Small Int and Fluent leaves only: every payload inline.
std::vector<ExpressionNode> inline_list(std::size_t size) {
  std::vector<ExpressionNode> nodes;
  nodes.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    nodes.push_back(i % 2 ? ExpressionNode::fluent(i) : ExpressionNode::integer(static_cast<std::int64_t>(i) - 7));
  }
  return nodes;
}

// A post-order list where leaves alternate with operators: binary (LE, Minus, Not) inline, and
// variadic (And, Plus) with their operands in a shared box.
std::vector<ExpressionNode> operator_list(std::size_t size) {
  std::vector<ExpressionNode> nodes;
  nodes.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    if (i < 2 || i % 2 == 0) {
      nodes.push_back(i % 4 ? ExpressionNode::fluent(i) : ExpressionNode::integer(static_cast<std::int64_t>(i)));
      continue;
    }
    const std::uint64_t a = i - 1, b = i - 2;
    switch ((i / 2) % 5) {
      case 0: nodes.push_back(ExpressionNode::binary_operator(NodeKind::LE, b, a)); break;
      case 1: nodes.push_back(ExpressionNode::binary_operator(NodeKind::Minus, b, a)); break;
      case 2: nodes.push_back(ExpressionNode::not_operator(a)); break;
      case 3: {
        const std::uint64_t positions[] = {b, a};
        nodes.push_back(ExpressionNode::list_operator(NodeKind::And, positions));
        break;
      }
      default: {
        const std::uint64_t positions[] = {a, b, a};
        nodes.push_back(ExpressionNode::list_operator(NodeKind::Plus, positions));
        break;
      }
    }
  }
  return nodes;
}

using ListMaker = std::vector<ExpressionNode> (*)(std::size_t);

// Copy-assignment into a list that already has the room, as a search does with its buffers.
void BM_CopyList(benchmark::State& state, ListMaker make) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::vector<ExpressionNode> src = make(size);
  std::vector<ExpressionNode> dst(size);
  const AllocationMeter meter;
  for (auto _ : state) {
    dst = src;
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  meter.report(state);
  report_nodes(state, size);
}

// Two equal lists built apart, so no node shares a box with its counterpart.
void BM_EqualLists(benchmark::State& state, ListMaker make) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::vector<ExpressionNode> a = make(size), b = make(size);
  const AllocationMeter meter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(a.data());
    bool equal = std::span<const ExpressionNode>(a) == std::span<const ExpressionNode>(b);
    benchmark::DoNotOptimize(equal);
  }
  meter.report(state);
  report_nodes(state, size);
}

void BM_HashList(benchmark::State& state, ListMaker make) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::vector<ExpressionNode> nodes = make(size);
  const AllocationMeter meter;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nodes.data());
    std::size_t hash = quendral::NodeListHash{}(nodes);
    benchmark::DoNotOptimize(hash);
  }
  meter.report(state);
  report_nodes(state, size);
}

BENCHMARK_CAPTURE(BM_CopyList, inline, &inline_list)->Arg(8)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_CopyList, operators, &operator_list)->Arg(8)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_EqualLists, inline, &inline_list)->Arg(8)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_EqualLists, operators, &operator_list)->Arg(8)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_HashList, inline, &inline_list)->Arg(8)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_HashList, operators, &operator_list)->Arg(8)->Arg(64)->Arg(1024);

// ---------------------------------------------------------------- Rational arithmetic

constexpr std::size_t kOperands = 256;

// Inline operands keep their parts below 2^20, so every result stays inline; boxed ones have
// parts near 2^100.
std::vector<Rational> rational_operands(bool boxed, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Rational> values;
  values.reserve(kOperands);
  for (std::size_t i = 0; i < kOperands; ++i) {
    const auto n = static_cast<std::int64_t>(rng() % (1u << 20)) - (1 << 19);
    const auto d = static_cast<std::int64_t>(rng() % (1u << 20)) + 1;
    if (!boxed) {
      values.emplace_back(BigInt(n == 0 ? 1 : n), BigInt(d));
      continue;
    }
    mpz_class big_n = n == 0 ? 1 : n, big_d = d;
    big_n <<= 80;
    big_n += static_cast<unsigned long>(rng() % 1000);
    big_d <<= 80;
    big_d += 1;
    values.emplace_back(BigInt(big_n), BigInt(big_d));
  }
  return values;
}

template <class Op>
void BM_Rational(benchmark::State& state, bool boxed, Op op) {
  const std::vector<Rational> xs = rational_operands(boxed, 1), ys = rational_operands(boxed, 2);
  const AllocationMeter meter;
  for (auto _ : state) {
    for (std::size_t i = 0; i < kOperands; ++i) {
      Rational r = op(xs[i], ys[i]);
      benchmark::DoNotOptimize(r);
    }
  }
  meter.report(state, kOperands);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kOperands));
}

const auto op_add = [](const Rational& a, const Rational& b) { return a + b; };
const auto op_mul = [](const Rational& a, const Rational& b) { return a * b; };
const auto op_div = [](const Rational& a, const Rational& b) { return a / b; };
const auto op_less = [](const Rational& a, const Rational& b) { return Rational(a < b ? 1 : 0); };

BENCHMARK_CAPTURE(BM_Rational, add_inline, false, op_add);
BENCHMARK_CAPTURE(BM_Rational, add_boxed, true, op_add);
BENCHMARK_CAPTURE(BM_Rational, mul_inline, false, op_mul);
BENCHMARK_CAPTURE(BM_Rational, mul_boxed, true, op_mul);
BENCHMARK_CAPTURE(BM_Rational, div_inline, false, op_div);
BENCHMARK_CAPTURE(BM_Rational, div_boxed, true, op_div);
BENCHMARK_CAPTURE(BM_Rational, less_inline, false, op_less);
BENCHMARK_CAPTURE(BM_Rational, less_boxed, true, op_less);

}  // namespace

BENCHMARK_MAIN();
