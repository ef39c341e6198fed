// Google Benchmark of every conversion at 256 and 4096 samples, on the vector path the
// library chose and, where the routine has a wider path than SSE2, on each narrower one too
// (rows named /SSE2 and /AVX2), to show what each wider path gains. Each row also
// carries memcpy of the same output bytes, timed in the same run, and the ratio to it.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "asio_convert/bench/bench_cases.h"
#include "asio_convert/bench/timing.h"

namespace {

using asio_convert::detail::VectorPath;

void Convert(benchmark::State& state, const bench::Case& c, VectorPath path) {
  asio_convert::detail::UseVectorPath(path);
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
  const VectorPath chosen = asio_convert::detail::CurrentVectorPath();
  const std::pair<VectorPath, const char*> narrower_paths[] = {{VectorPath::kSse2, "/SSE2"},
                                                               {VectorPath::kAvx2, "/AVX2"}};
  for (const bench::Case& c : cases) {
    benchmark::RegisterBenchmark(c.name.c_str(), Convert, c, chosen)->Arg(256)->Arg(4096);
    const VectorPath widest = std::min(c.widest_path, chosen);
    for (const auto& [path, suffix] : narrower_paths) {
      if (path >= widest) continue;
      benchmark::RegisterBenchmark((c.name + suffix).c_str(), Convert, c, path)
          ->Arg(256)
          ->Arg(4096);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
