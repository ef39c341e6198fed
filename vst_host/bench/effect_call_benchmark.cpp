// The effect call of a buffer switch with and without restoring the caller's floating-point
// words afterwards (effect_call_case.h); scripts/bench.sh runs it.
#include <benchmark/benchmark.h>

#include "vst_host/bench/effect_call_case.h"

namespace {

using Restore = EffectCallCase::Restore;

void ProcessCall(benchmark::State& state, Restore restore, bool flush_to_zero) {
  EffectCallCase call_case;
  for (auto _ : state) {
    call_case.Process(restore, flush_to_zero);
    benchmark::ClobberMemory();
  }
  // Seconds per call over the block period (256 frames at 44100 Hz), in percent.
  state.counters["share_of_period_%"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * (256.0 / 44100.0) / 100.0,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void EmptyCall(benchmark::State& state, Restore restore) {
  EffectCallCase call_case;
  for (auto _ : state) {
    call_case.Empty(restore);
    benchmark::ClobberMemory();
  }
}

BENCHMARK_CAPTURE(ProcessCall, without_restore, Restore::None, false)->UseRealTime();
BENCHMARK_CAPTURE(ProcessCall, restore_compared, Restore::Compared, false)->UseRealTime();
BENCHMARK_CAPTURE(ProcessCall, restore_unconditional, Restore::Unconditional, false)->UseRealTime();
BENCHMARK_CAPTURE(ProcessCall, ftz_left_restore_compared, Restore::Compared, true)->UseRealTime();
BENCHMARK_CAPTURE(EmptyCall, without_restore, Restore::None)->UseRealTime();
BENCHMARK_CAPTURE(EmptyCall, restore_compared, Restore::Compared)->UseRealTime();
BENCHMARK_CAPTURE(EmptyCall, restore_unconditional, Restore::Unconditional)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
