// One buffer switch of the converting host (2 Int32LSB inputs, 8 Int24LSB outputs, 256
// frames, inputs copied to outputs in OnBufferSwitch32), with its share of the block period.
#include <benchmark/benchmark.h>

#include "asio_host/bench/host_switch_case.h"
#include "asio_host/bench/host_switch_place.h"

namespace {

void HostBufferSwitch(benchmark::State& state) {
  BenchRegistryPlace place;
  HostSwitchCase switch_case;
  if (!switch_case.Open(place.Base())) {
    state.SkipWithError("the host did not start");
    return;
  }
  for (auto _ : state) {
    switch_case.Switch();
    benchmark::ClobberMemory();
  }
  // Seconds per switch over the block period, in percent.
  const double period_s = 256.0 / 44100.0;
  state.counters["share_of_period_%"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * period_s / 100.0,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  switch_case.Close();
}
BENCHMARK(HostBufferSwitch)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
