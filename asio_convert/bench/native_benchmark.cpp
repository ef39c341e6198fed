// Google Benchmark of every conversion at 256 and 4096 samples. Each row also carries
// memcpy of the same output bytes, timed in the same run, and the ratio to it.

#include <benchmark/benchmark.h>

#include <vector>

#include "asio_convert/bench/bench_cases.h"
#include "asio_convert/bench/timing.h"

namespace {

void Convert(benchmark::State& state, const bench::Case& c) {
  const int32_t n = int32_t(state.range(0));
  const bench::AlignedBytes in = bench::InputFor(c, n);
  const size_t out_bytes = size_t(n) * c.OutputBytes();
  bench::AlignedBytes out(out_bytes + 64), copy_from(out_bytes + 64, 1);
  for (auto _ : state) {
    c.Run(in.data(), out.data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  const auto [routine_ns, memcpy_ns] = bench::MinimumNanosecondsInTurn(
      [&] { c.Run(in.data(), out.data(), n); },
      [&] { bench::CopyBytes(out.data(), copy_from.data(), out_bytes); }, 15, 20000);
  state.counters["ns_per_sample"] = routine_ns / n;
  state.counters["memcpy_ns"] = memcpy_ns;
  state.counters["x_memcpy"] = routine_ns / memcpy_ns;
  state.counters["target"] = c.target;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<bench::Case> cases = bench::AllCases();
  for (const bench::Case& c : cases) {
    benchmark::RegisterBenchmark(c.name.c_str(), Convert, c)->Arg(256)->Arg(4096);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
