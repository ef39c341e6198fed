// The buffer switch of host_switch_benchmark.cpp on the performance counter, for the
// Windows build under Wine (and natively alike). Prints ns per switch and its share of the
// 5.8 ms block period (256 frames at 44100 Hz). Argument: [repetitions].
#include <cstdio>
#include <cstdlib>

#include "asio_host/bench/host_switch_case.h"
#include "asio_host/bench/host_switch_place.h"
#include "asio_convert/bench/timing.h"

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  BenchRegistryPlace place;
  HostSwitchCase switch_case;
  if (!switch_case.Open(place.Base())) {
    std::printf("the host did not start\n");
    return 1;
  }
  const double ns = bench::MinimumNanoseconds([&] { switch_case.Switch(); }, repetitions, 2e6);
  const double period_ns = 256.0 / 44100.0 * 1e9;
  const double share = 100.0 * ns / period_ns;
  std::printf("host buffer switch (2 x Int32LSB in, 8 x Int24LSB out, 256 frames): %.0f ns, "
              "%.4f %% of the %.2f ms block period (target below 0.1 %%: %s)\n",
              ns, share, period_ns / 1e6, share < 0.1 ? "met" : "MISSED");
  switch_case.Close();
  return 0;
}
