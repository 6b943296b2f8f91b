#include "tests/support/heap_counts.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

#include <gmp.h>

#include "base/core/memory.hpp"

namespace {
std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::int64_t> g_live{0};

void* counted_malloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_live.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
// Kept out of line: inlined into operator delete, a bare free() reads to the compiler as a
// mismatch with operator new.
[[gnu::noinline]] void counted_free(void* block) noexcept {
  if (block == nullptr) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

void* gmp_allocate(std::size_t size) {
  void* block = counted_malloc(size);
  if (block == nullptr) std::abort();
  return block;
}
void* gmp_reallocate(void* block, std::size_t, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* moved = std::realloc(block, size);
  if (moved == nullptr) std::abort();
  return moved;
}
void gmp_free(void* block, std::size_t) { counted_free(block); }

// The engine's own block allocator, where it bypasses operator new, reports its blocks here.
void count_engine_block(int delta) {
  if (delta > 0) g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_live.fetch_add(delta, std::memory_order_relaxed);
}
[[maybe_unused]] const bool g_engine_hook = [] {
  quendral::memory::g_block_observer.store(&count_engine_block, std::memory_order_relaxed);
  return true;
}();

// Installed before main(); blocks GMP made earlier come from the same malloc, so mixing is safe.
[[maybe_unused]] const bool g_gmp_hooks = [] {
  mp_set_memory_functions(&gmp_allocate, &gmp_reallocate, &gmp_free);
  return true;
}();
}  // namespace

void* operator new(std::size_t size) {
  if (void* block = counted_malloc(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { counted_free(block); }
void operator delete[](void* block) noexcept { counted_free(block); }
void operator delete(void* block, std::size_t) noexcept { counted_free(block); }
void operator delete[](void* block, std::size_t) noexcept { counted_free(block); }
// The nothrow forms too (std::stable_sort's buffer uses them): a block from the default
// allocator freed here, or the reverse, would be a mismatch.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted_malloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted_malloc(size); }
void operator delete(void* block, const std::nothrow_t&) noexcept { counted_free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { counted_free(block); }

namespace quendral::testing {

HeapCounts heap_counts() noexcept {
  return {g_allocations.load(std::memory_order_relaxed), g_live.load(std::memory_order_relaxed)};
}

}  // namespace quendral::testing
