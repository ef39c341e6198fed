// Cost of the conversion: stereo 44.1 -> 48 kHz interleaved and eight channels 192 -> 48 kHz
// planar, one block at a time as the stream feeds it. Prints the time per block, per input
// frame, the share of one core that real time takes and how long Prepare takes. Runs in both
// builds; the figures that count are those of the Windows build. Argument: [repetitions].

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "asio_convert/bench/timing.h"
#include "resampler/stream_resampler.h"

namespace {

void Measure(const char* name, const resampler::StreamFormat& format, int repetitions) {
  resampler::StreamResampler resampler;
  const int64_t start = platform::PerformanceCounter();
  const char* error = resampler.Prepare(format);
  const double prepare_ms = 1e3 * double(platform::PerformanceCounter() - start) /
                            double(platform::PerformanceFrequency());
  if (error) {
    std::printf("%-34s %s\n", name, error);
    return;
  }
  const int channels = format.channels, block = format.max_input_frames;
  std::vector<float> input(size_t(block) * channels);
  for (size_t i = 0; i < input.size(); ++i) input[i] = float(0.5 * std::sin(0.05 * double(i)));
  const int capacity = resampler.MaxOutputFrames(block) + 65536;
  std::vector<float> output(size_t(capacity) * channels);
  const float* in[resampler::StreamResampler::kMaxChannels];
  float* out[resampler::StreamResampler::kMaxChannels];
  for (int c = 0; c < channels; ++c)
    in[c] = input.data() + size_t(c) * block, out[c] = output.data() + size_t(c) * capacity;
  const bool planar = format.layout == resampler::Layout::kPlanar;
  auto call = [&] {
    if (planar)
      resampler.Process(in, block, out, capacity);
    else
      resampler.Process(input.data(), block, output.data(), capacity);
  };
  const double ns = bench::MinimumNanoseconds(call, repetitions, 2e6);
  const double block_ns = 1e9 * block / format.input_rate;
  std::printf("%-34s %6d %12.1f %12.2f %10.2f %% %12.1f\n", name, block, ns / 1000, ns / block,
              100 * ns / block_ns, prepare_ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  std::printf("%-34s %6s %12s %12s %12s %12s\n", "conversion", "block", "us/block", "ns/frame",
              "real time", "prepare ms");
  using resampler::Layout;
  Measure("stereo 44100 -> 48000 interleaved", {44100, 48000, 2, Layout::kInterleaved, 512},
          repetitions);
  Measure("8 channels 192000 -> 48000 planar", {192000, 48000, 8, Layout::kPlanar, 2048},
          repetitions);
  return 0;
}
