#pragma once

// Minimum-of-many timing on the performance counter, for the conversion and for memcpy of
// the same output bytes in the same run.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/system.h"

namespace bench {

// Nanoseconds per call: the least of `repetitions` measurements, each of enough calls to
// span at least `span_ns` on the counter (whose tick may be 100 ns).
template <class F>
double MinimumNanoseconds(F&& call, int repetitions, double span_ns) {
  const double tick_ns = 1e9 / double(platform::PerformanceFrequency());
  int calls = 1;
  for (;;) {
    const int64_t start = platform::PerformanceCounter();
    for (int i = 0; i < calls; ++i) call();
    const double elapsed = double(platform::PerformanceCounter() - start) * tick_ns;
    if (elapsed >= span_ns || calls >= (1 << 24)) break;
    calls *= 2;
  }
  double best = 1e300;
  for (int r = 0; r < repetitions; ++r) {
    const int64_t start = platform::PerformanceCounter();
    for (int i = 0; i < calls; ++i) call();
    best = std::min(best, double(platform::PerformanceCounter() - start) * tick_ns / calls);
  }
  return best;
}

// memcpy that the compiler cannot drop although its result is never read.
inline void CopyBytes(void* to, const void* from, size_t bytes) {
  std::memcpy(to, from, bytes);
  __asm__ volatile("" : : "r"(to) : "memory");
}

}  // namespace bench
