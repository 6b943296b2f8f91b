#include "base/core/memory.hpp"

#if QUENDRAL_FAST_BLOCKS
#include <dlfcn.h>
#endif

namespace quendral::memory {
namespace {

void* plain_allocate(std::size_t size) { return ::operator new(size, std::nothrow); }
void plain_release(void* block) { ::operator delete(block); }

Backend choose() noexcept {
#if QUENDRAL_FAST_BLOCKS
  // RTLD_LOCAL: the library's own malloc and operator new stay out of every symbol lookup.
  if (void* library = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL)) {
    auto* allocate = reinterpret_cast<void* (*)(std::size_t)>(dlsym(library, "mi_malloc"));
    auto* release = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
    if (allocate && release) return Backend{allocate, release, true};
    dlclose(library);
  }
#endif
  return Backend{plain_allocate, plain_release, false};
}

}  // namespace

const Backend& backend() noexcept {
  static const Backend chosen = choose();
  return chosen;
}

}  // namespace quendral::memory
