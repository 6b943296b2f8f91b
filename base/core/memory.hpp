// The engine's allocator for the small blocks a search makes and frees by the million: value
// leaves and trie nodes of the persistent vectors, cells of the shared-tail lists, shared states.
//
// Where the machine has the thread-caching allocator mimalloc, these blocks come from it: the
// process's malloc spends a large part of a search's time, and of the release of its states, in
// the free path of blocks of a few hundred bytes (bin unlinking and consolidation). The library is
// opened privately at the first allocation and only its own entry points are called, so it
// replaces nobody's malloc: every other block of the process keeps its allocator. Without it, and
// always in the sanitizer build (so that the sanitizers see every block), the blocks come from the
// global operator new. Blocks may be freed on any thread; alignment is that of operator new.
//
// `g_block_observer`, when set, is told of every block made (+1) and freed (-1) while the blocks
// bypass operator new: the tests' heap accounting sets it, so that counting blocks does not depend
// on where they come from.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

namespace quendral::memory {

using BlockObserver = void (*)(int delta);
inline std::atomic<BlockObserver> g_block_observer{nullptr};

struct Backend {
  void* (*allocate)(std::size_t size);  // null on failure
  void (*release)(void* block);
  bool bypasses_operator_new;
};
// Chosen once, at the first call.
const Backend& backend() noexcept;

inline void* allocate(std::size_t size) {
  const Backend& b = backend();
  void* block = b.allocate(size);
  if (!block) throw std::bad_alloc();
  if (b.bypasses_operator_new) {
    if (const BlockObserver observer = g_block_observer.load(std::memory_order_relaxed)) observer(+1);
  }
  return block;
}

inline void release(void* block) noexcept {
  if (!block) return;
  const Backend& b = backend();
  if (b.bypasses_operator_new) {
    if (const BlockObserver observer = g_block_observer.load(std::memory_order_relaxed)) observer(-1);
  }
  b.release(block);
}

// A standard allocator over these blocks (for `std::allocate_shared`).
template <class T>
struct Allocator {
  using value_type = T;
  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}  // NOLINT: implicit, as allocators convert
  T* allocate(std::size_t n) { return static_cast<T*>(memory::allocate(n * sizeof(T))); }
  void deallocate(T* block, std::size_t) noexcept { memory::release(block); }
  template <class U>
  friend bool operator==(const Allocator&, const Allocator<U>&) noexcept {
    return true;
  }
};

// Drops one reference of a shared block; true when it was the last, and the block is to go.
// The last reference is dropped by a plain load, without a locked instruction: whoever holds the
// only reference is the only one who could make another, and the acquiring load sees every
// change made before the other references were dropped (each dropped with release order). A
// search releases its states mostly through last references, millions of them at its end.
template <class Count>
inline bool drop_reference(std::atomic<Count>& refs) noexcept {
  if (refs.load(std::memory_order_acquire) == 1) return true;
  return refs.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

// Class-specific allocation for a record made and freed one at a time on the hot path.
#define QUENDRAL_BLOCK_ALLOCATED                                                             \
  static void* operator new(std::size_t size) { return ::quendral::memory::allocate(size); } \
  static void operator delete(void* block) noexcept { ::quendral::memory::release(block); }

}  // namespace quendral::memory
