#pragma once

// Minimum-of-many timing on the performance counter, for the conversion and for memcpy of
// the same output bytes in the same run.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/system.h"

namespace bench {

// How many calls span at least `span_ns` on the counter (whose tick may be 100 ns).
template <class F>
int CallsToSpan(F&& call, double span_ns) {
  const double tick_ns = 1e9 / double(platform::PerformanceFrequency());
  int calls = 1;
  for (;;) {
    const int64_t start = platform::PerformanceCounter();
    for (int i = 0; i < calls; ++i) call();
    const double elapsed = double(platform::PerformanceCounter() - start) * tick_ns;
    if (elapsed >= span_ns || calls >= (1 << 24)) return calls;
    calls *= 2;
  }
}

// Nanoseconds per call of `call`, `calls` at a time.
template <class F>
double TimeCalls(F&& call, int calls) {
  const double tick_ns = 1e9 / double(platform::PerformanceFrequency());
  const int64_t start = platform::PerformanceCounter();
  for (int i = 0; i < calls; ++i) call();
  return double(platform::PerformanceCounter() - start) * tick_ns / calls;
}

// Nanoseconds per call: the least of `repetitions` measurements, each of enough calls to
// span at least `span_ns`.
template <class F>
double MinimumNanoseconds(F&& call, int repetitions, double span_ns) {
  const int calls = CallsToSpan(call, span_ns);
  double best = 1e300;
  for (int r = 0; r < repetitions; ++r) best = std::min(best, TimeCalls(call, calls));
  return best;
}

// As MinimumNanoseconds for two calls whose times are compared, measured in turn so that
// a machine that slows down for a while (shared, or changing its clock) slows both alike.
template <class F, class G>
std::pair<double, double> MinimumNanosecondsInTurn(F&& first, G&& second, int repetitions,
                                                   double span_ns) {
  const int first_calls = CallsToSpan(first, span_ns), second_calls = CallsToSpan(second, span_ns);
  std::pair<double, double> best{1e300, 1e300};
  for (int r = 0; r < repetitions; ++r) {
    best.first = std::min(best.first, TimeCalls(first, first_calls));
    best.second = std::min(best.second, TimeCalls(second, second_calls));
  }
  return best;
}

// memcpy that the compiler cannot drop although its result is never read.
inline void CopyBytes(void* to, const void* from, size_t bytes) {
  std::memcpy(to, from, bytes);
  __asm__ volatile("" : : "r"(to) : "memory");
}

}  // namespace bench
