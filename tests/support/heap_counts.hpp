// Heap accounting for the C++ tests and benchmarks. A binary linked with quendral_heap_counts
// counts every block made through the global operator new, through GMP's allocator and through
// the engine's block allocator (base/core/memory.hpp), so that
// a test or benchmark can check that an operation made no block at all, or that every block it
// made is gone once the last owner is.
#pragma once

#include <cstdint>

namespace quendral::testing {

struct HeapCounts {
  std::uint64_t allocations;  // blocks made (or grown) so far
  std::int64_t live;          // blocks made and not yet freed
};

HeapCounts heap_counts() noexcept;

}  // namespace quendral::testing
