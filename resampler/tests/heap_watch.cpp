#include "resampler/tests/heap_watch.h"

#include <cstddef>

namespace {

// Plain globals: a thread-local variable of mingw is itself reached through the heap.
bool g_watching = false;
long g_calls = 0;

void Count() {
  if (g_watching) ++g_calls;
}

}  // namespace

#if defined(_WIN32)
extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* memory, size_t size);
void __real_free(void* memory);
void* __wrap_malloc(size_t size) {
  Count();
  return __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size) {
  Count();
  return __real_calloc(count, size);
}
void* __wrap_realloc(void* memory, size_t size) {
  Count();
  return __real_realloc(memory, size);
}
void __wrap_free(void* memory) {
  if (memory) Count();
  __real_free(memory);
}
}
namespace heap_watch {
bool Available() {
  return true;
}
}  // namespace heap_watch

#elif defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (GCC installs no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*on_allocation)(const volatile void*,
                                                                               size_t),
                                                         void (*on_release)(const volatile void*));
namespace {
void OnAllocation(const volatile void*, size_t) {
  Count();
}
void OnRelease(const volatile void*) {
  Count();
}
const bool g_hooked = __sanitizer_install_malloc_and_free_hooks(OnAllocation, OnRelease) != 0;
}  // namespace
namespace heap_watch {
bool Available() {
  return g_hooked;
}
}  // namespace heap_watch

#else
namespace heap_watch {
bool Available() {
  return false;
}
}  // namespace heap_watch
#endif

namespace heap_watch {

void Begin() {
  g_calls = 0;
  g_watching = true;
}

long End() {
  g_watching = false;
  return g_calls;
}

}  // namespace heap_watch
