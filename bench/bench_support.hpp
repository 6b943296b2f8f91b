// Shared by the engine benchmarks: heap blocks per iteration as a benchmark counter.
#pragma once

#include <benchmark/benchmark.h>

#include "tests/support/heap_counts.hpp"

namespace quendral::bench {

// Counts the blocks made between construction and `report`.
class AllocationMeter {
 public:
  AllocationMeter() : start_(testing::heap_counts().allocations) {}
  // Blocks per iteration, or per operation when an iteration makes `operations` of them.
  void report(benchmark::State& state, std::size_t operations = 1) const {
    const auto made = static_cast<double>(testing::heap_counts().allocations - start_);
    state.counters[operations == 1 ? "allocs/iter" : "allocs/op"] =
        benchmark::Counter(made / static_cast<double>(operations), benchmark::Counter::kAvgIterations);
  }

 private:
  std::uint64_t start_;
};

}  // namespace quendral::bench
