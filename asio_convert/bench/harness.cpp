// Times every conversion at 256 and 4096 samples beside memcpy of the same output bytes
// and prints one table row per case. Runs in both builds; the figures that count are those
// of the Windows build. Arguments: [repetitions] [filter substring] [vector path: SSE2,
// AVX2 or AVX512, by default the one the library chose].

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "asio_convert/bench/bench_cases.h"
#include "asio_convert/bench/timing.h"

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const std::string filter = argc > 2 ? argv[2] : "";
#if ASIO_CONVERT_SSE2
  if (argc > 3) {
    using asio_convert::detail::VectorPath;
    const std::pair<const char*, VectorPath> paths[] = {
        {"SSE2", VectorPath::kSse2}, {"AVX2", VectorPath::kAvx2}, {"AVX512", VectorPath::kAvx512}};
    const auto chosen = std::find_if(std::begin(paths), std::end(paths), [&](const auto& p) {
      return p.first == std::string(argv[3]);
    });
    if (chosen == std::end(paths)) {
      std::printf("no vector path %s: SSE2, AVX2 or AVX512\n", argv[3]);
      return 2;
    }
    if (!asio_convert::detail::UseVectorPath(chosen->second)) {
      std::printf("this processor has no %s path\n", argv[3]);
      return 1;
    }
  }
#endif
  std::printf("%-28s %6s %10s %12s %11s %8s %7s\n", "routine", "n", "ns/sample", "memcpy ns",
              "ratio", "target", "");
  int met = 0, missed = 0;
  for (const bench::Case& c : bench::AllCases()) {
    if (!filter.empty() && c.name.find(filter) == std::string::npos) continue;
    for (int32_t n : {256, 4096}) {
      const bench::AlignedBytes in = bench::InputFor(c, n);
      const size_t out_bytes = size_t(n) * c.OutputBytes();
      bench::AlignedBytes out(out_bytes + 64), copy_from(out_bytes + 64, 1);
      const auto [routine_ns, memcpy_ns] = bench::MinimumNanosecondsInTurn(
          [&] { c.Run(in.data(), out.data(), n); },
          [&] { bench::CopyBytes(out.data(), copy_from.data(), out_bytes); }, repetitions, 20000);
      const double ratio = routine_ns / memcpy_ns;
      const bool counts = n == 4096;
      const bool ok = ratio <= c.target;
      if (counts) (ok ? met : missed) += 1;
      std::printf("%-28s %6d %10.3f %12.1f %10.2fx %7.0fx %7s\n", c.name.c_str(), int(n),
                  routine_ns / n, memcpy_ns, ratio, c.target,
                  counts ? (ok ? "met" : "MISSED") : "");
    }
  }
  std::printf("targets at 4096 samples: %d met, %d missed\n", met, missed);
  return 0;
}
