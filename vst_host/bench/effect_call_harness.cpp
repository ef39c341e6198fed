// The effect call of effect_call_benchmark.cpp on the performance counter, for the Windows
// build under Wine (and natively alike): nanoseconds per call without restoring the caller's
// floating-point words, with the host's compared restore and with an unconditional one, each
// pair measured in turn. Argument: [repetitions].
#include <cstdio>
#include <cstdlib>

#include "asio_convert/bench/timing.h"
#include "vst_host/bench/effect_call_case.h"

namespace {

using Restore = EffectCallCase::Restore;

void Row(const char* name, double without_ns, double with_ns) {
  std::printf("%-48s %9.1f ns without restore %9.1f ns with (%+.1f ns per call)\n", name,
              without_ns, with_ns, with_ns - without_ns);
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  constexpr double kSpan = 2e6;
  EffectCallCase call_case;
  const auto process = [&](Restore restore) {
    return [&call_case, restore] { call_case.Process(restore); };
  };
  const auto empty = [&](Restore restore) {
    return [&call_case, restore] { call_case.Empty(restore); };
  };
  auto [process_plain, process_compared] = bench::MinimumNanosecondsInTurn(
      process(Restore::None), process(Restore::Compared), repetitions, kSpan);
  Row("process 2 in 8 out, 256 frames; compared restore", process_plain, process_compared);
  auto [process_plain2, process_unconditional] = bench::MinimumNanosecondsInTurn(
      process(Restore::None), process(Restore::Unconditional), repetitions, kSpan);
  Row("process 2 in 8 out, 256 frames; unconditional", process_plain2, process_unconditional);
  const double process_ftz = bench::MinimumNanoseconds(
      [&] { call_case.Process(Restore::Compared, true); }, repetitions, kSpan);
  Row("process leaving flush-to-zero; compared restore", process_plain, process_ftz);
  auto [empty_plain, empty_compared] = bench::MinimumNanosecondsInTurn(
      empty(Restore::None), empty(Restore::Compared), repetitions, kSpan);
  Row("empty routine; compared restore", empty_plain, empty_compared);
  auto [empty_plain2, empty_unconditional] = bench::MinimumNanosecondsInTurn(
      empty(Restore::None), empty(Restore::Unconditional), repetitions, kSpan);
  Row("empty routine; unconditional", empty_plain2, empty_unconditional);
  const double period_ns = 256.0 / 44100.0 * 1e9;
  std::printf("compared restore: %.4f %% of the %.2f ms block period\n",
              100.0 * (process_compared - process_plain) / period_ns, period_ns / 1e6);
  return 0;
}
