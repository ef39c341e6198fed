#include "resampler/stream_resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "resampler/tests/heap_watch.h"

namespace resampler {
namespace {

const double kMinus1dBFS = std::pow(10.0, -1.0 / 20.0);

StreamFormat Format(int input_rate, int output_rate, int channels = 1,
                    Layout layout = Layout::kInterleaved, int block = 512) {
  return StreamFormat{input_rate, output_rate, channels, layout, block};
}

// A sine from phase 0 at frame 0, the same on every channel, interleaved.
std::vector<float> Tone(double frequency, double rate, double amplitude, int64_t frames,
                        int channels = 1) {
  std::vector<float> samples(size_t(frames * channels));
  for (int64_t i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      samples[size_t(i * channels + c)] =
          float(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
  return samples;
}

// A whole stream through `resampler` in blocks of `block` frames, flushed: the interleaved
// output.
std::vector<float> RunStream(StreamResampler& resampler, const std::vector<float>& input,
                             int block) {
  const int channels = resampler.Format().channels;
  const int64_t frames = int64_t(input.size()) / channels;
  std::vector<float> output, buffer;
  for (int64_t at = 0; at < frames; at += block) {
    const int n = int(std::min<int64_t>(block, frames - at));
    const int capacity = resampler.MaxOutputFrames(n);
    buffer.resize(size_t(std::max(capacity, 1) * channels));
    const int written = resampler.Process(input.data() + at * channels, n, buffer.data(), capacity);
    EXPECT_GE(written, 0);
    if (written < 0) return output;
    output.insert(output.end(), buffer.begin(), buffer.begin() + written * channels);
  }
  buffer.resize(size_t(block * channels));
  while (const int written = resampler.Flush(buffer.data(), block)) {
    EXPECT_GT(written, 0);
    if (written < 0) break;
    output.insert(output.end(), buffer.begin(), buffer.begin() + written * channels);
  }
  return output;
}

std::vector<float> Convert(const StreamFormat& format, const std::vector<float>& input) {
  StreamResampler resampler;
  EXPECT_EQ(resampler.Prepare(format), nullptr);
  return RunStream(resampler, input, format.max_input_frames);
}

struct SineFit {
  double amplitude;
  double phase;         // of a sine, at frame 0
  double residual_rms;  // of everything but the sine
};

// Least-squares fit of a sine of `frequency` to frames [begin, end) of channel 0.
SineFit FitSine(const std::vector<float>& x, int channels, int64_t begin, int64_t end,
                double frequency, double rate) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  const double w = 2 * std::numbers::pi * frequency / rate;
  for (int64_t i = begin; i < end; ++i) {
    const double s = std::sin(w * double(i)), c = std::cos(w * double(i)),
                 v = x[size_t(i * channels)];
    ss += s * s, sc += s * c, cc += c * c, xs += v * s, xc += v * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double residual = 0;
  for (int64_t i = begin; i < end; ++i) {
    const double e =
        x[size_t(i * channels)] - a * std::sin(w * double(i)) - b * std::cos(w * double(i));
    residual += e * e;
  }
  return {std::hypot(a, b), std::atan2(b, a), std::sqrt(residual / double(end - begin))};
}

// From the first to the last upward zero crossing of channel 0 in [begin, end), each placed
// between its two samples.
double ZeroCrossingFrequency(const std::vector<float>& x, int channels, int64_t begin, int64_t end,
                             double rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (int64_t i = begin + 1; i < end; ++i) {
    const double before = x[size_t((i - 1) * channels)], now = x[size_t(i * channels)];
    if (before < 0 && now >= 0) {
      const double at = double(i - 1) + before / (before - now);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  return (crossings - 1) * rate / (last - first);
}

double Decibels(double ratio) {
  return 20 * std::log10(ratio);
}

TEST(StreamResampler, Tone997From44100To48000KeepsItsFrequencyLevelAndPhase) {
  const auto input = Tone(997, 44100, kMinus1dBFS, 44100 / 4, 2);
  const auto output = Convert(Format(44100, 48000, 2), input);
  const int64_t frames = int64_t(output.size()) / 2, edge = 2400;
  EXPECT_NEAR(ZeroCrossingFrequency(output, 2, edge, frames - edge, 48000), 997.0, 0.005);
  const SineFit fit = FitSine(output, 2, edge, frames - edge, 997, 48000);
  EXPECT_NEAR(Decibels(fit.amplitude / kMinus1dBFS), 0.0, 0.01);
  // The filter's delay is taken out: the output starts where the input starts.
  EXPECT_NEAR(fit.phase, 0.0, 1e-4);
}

struct RatePair {
  int input_rate;
  int output_rate;
};
const RatePair kRatePairs[] = {
    {44100, 48000}, {48000, 44100}, {96000, 48000}, {22050, 48000}, {44100, 96000}};

// Single tones from 40 Hz to 20 kHz, where they fit in both rates' passband (91 % of the lower
// Nyquist frequency).
TEST(StreamResampler, PassbandIsFlatWithinAHundredthOfADecibel) {
  for (const RatePair& pair : kRatePairs) {
    const double top = 0.91 * std::min(pair.input_rate, pair.output_rate) / 2;
    for (double frequency : {40.0, 997.0, 5000.0, 10000.0, 15000.0, 20000.0}) {
      if (frequency > top) continue;
      const auto output = Convert(Format(pair.input_rate, pair.output_rate),
                                  Tone(frequency, pair.input_rate, 0.5, pair.input_rate / 5));
      const int64_t frames = int64_t(output.size()), edge = pair.output_rate / 20;
      const SineFit fit = FitSine(output, 1, edge, frames - edge, frequency, pair.output_rate);
      EXPECT_NEAR(Decibels(fit.amplitude / 0.5), 0.0, 0.01)
          << pair.input_rate << " -> " << pair.output_rate << " at " << frequency << " Hz";
    }
  }
}

// Near the top of the band: what is not the tone itself (its images above the input's
// Nyquist frequency, or the whole tone where it is above the output's) is 140 dB down.
TEST(StreamResampler, ImagesAndAliasesAre140DecibelsDown) {
  struct Case {
    RatePair rates;
    double frequency;
  };
  for (const Case& c :
       {Case{{44100, 48000}, 20000}, Case{{22050, 48000}, 10000}, Case{{48000, 44100}, 23500},
        Case{{96000, 48000}, 30000}, Case{{44100, 96000}, 21000}}) {
    const double amplitude = kMinus1dBFS;
    const auto output =
        Convert(Format(c.rates.input_rate, c.rates.output_rate),
                Tone(c.frequency, c.rates.input_rate, amplitude, c.rates.input_rate / 5));
    const int64_t frames = int64_t(output.size()), edge = c.rates.output_rate / 20;
    const bool passes = c.frequency < c.rates.output_rate / 2.0;
    const SineFit fit = FitSine(output, 1, edge, frames - edge, c.frequency, c.rates.output_rate);
    const double rest =
        passes ? fit.residual_rms
               : std::sqrt(fit.residual_rms * fit.residual_rms + fit.amplitude * fit.amplitude / 2);
    EXPECT_LT(Decibels(rest / (amplitude / std::sqrt(2.0))), -140.0)
        << c.rates.input_rate << " -> " << c.rates.output_rate << " at " << c.frequency << " Hz";
  }
}

TEST(StreamResampler, StreamLengthIsExact) {
  for (const RatePair& pair : kRatePairs) {
    for (int64_t frames : {0, 1, 7, 1000, 44103}) {
      StreamResampler resampler;
      ASSERT_EQ(resampler.Prepare(Format(pair.input_rate, pair.output_rate, 2)), nullptr);
      const auto output = RunStream(resampler, Tone(1000, pair.input_rate, 0.5, frames, 2), 300);
      EXPECT_EQ(int64_t(output.size()) / 2, resampler.OutputFramesFor(frames))
          << pair.input_rate << " -> " << pair.output_rate << ", " << frames << " frames";
      EXPECT_NEAR(resampler.OutputFramesFor(frames),
                  double(frames) * pair.output_rate / pair.input_rate, 0.5);
      // What the rounding of the length left over.
      EXPECT_NEAR(resampler.DelayFrames(),
                  double(frames) * pair.output_rate / pair.input_rate - double(output.size() / 2),
                  1e-6);
      float spare[2];
      EXPECT_EQ(resampler.Flush(spare, 1), 0);
    }
  }
}

// An impulse comes out where its time is at the new rate.
TEST(StreamResampler, ImpulseKeepsItsTime) {
  struct Case {
    RatePair rates;
    int64_t at, expected;
  };
  for (const Case& c : {Case{{48000, 96000}, 1000, 2000}, Case{{96000, 48000}, 1000, 500},
                        Case{{44100, 88200}, 777, 1554}}) {
    std::vector<float> input(4000, 0.0f);
    input[size_t(c.at)] = 1.0f;
    const auto output = Convert(Format(c.rates.input_rate, c.rates.output_rate), input);
    const auto peak = std::max_element(
        output.begin(), output.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    EXPECT_EQ(peak - output.begin(), c.expected)
        << c.rates.input_rate << " -> " << c.rates.output_rate;
  }
}

TEST(StreamResampler, EqualRatesPassBitForBit) {
  std::mt19937 random(7);
  std::vector<float> input(3 * 1001);
  for (float& sample : input) {
    uint32_t bits = random();
    std::memcpy(&sample, &bits, sizeof(sample));
  }
  for (const Layout layout : {Layout::kInterleaved, Layout::kPlanar}) {
    StreamResampler resampler;
    ASSERT_EQ(resampler.Prepare(Format(48000, 48000, 3, layout, 64)), nullptr);
    EXPECT_TRUE(resampler.PassesThrough());
    std::vector<float> output(input.size());
    for (int at = 0; at < 1001; at += 64) {
      const int n = std::min(64, 1001 - at);
      if (layout == Layout::kInterleaved) {
        ASSERT_EQ(resampler.Process(input.data() + at * 3, n, output.data() + at * 3, n), n);
      } else {
        const float* in[3] = {&input[size_t(at)], &input[size_t(1001 + at)],
                              &input[size_t(2002 + at)]};
        float* out[3] = {&output[size_t(at)], &output[size_t(1001 + at)],
                         &output[size_t(2002 + at)]};
        ASSERT_EQ(resampler.Process(in, n, out, n), n);
      }
    }
    EXPECT_EQ(std::memcmp(output.data(), input.data(), input.size() * sizeof(float)), 0);
    EXPECT_EQ(resampler.DelayFrames(), 0.0);
    float spare[3];
    float* spare_channels[3] = {spare, spare + 1, spare + 2};
    EXPECT_EQ(layout == Layout::kInterleaved ? resampler.Flush(spare, 1)
                                             : resampler.Flush(spare_channels, 1),
              0);
  }
}

TEST(StreamResampler, PlanarGivesWhatInterleavedGives) {
  constexpr int kChannels = 3, kFrames = 5000, kBlock = 480, kRoom = 16384;
  std::vector<float> interleaved(kChannels * kFrames);
  for (int c = 0; c < kChannels; ++c) {
    const auto tone = Tone(300.0 * (c + 1), 44100, 0.3, kFrames);
    for (int i = 0; i < kFrames; ++i) interleaved[size_t(i * kChannels + c)] = tone[size_t(i)];
  }
  const auto expected =
      Convert(Format(44100, 48000, kChannels, Layout::kInterleaved, kBlock), interleaved);

  StreamResampler resampler;
  ASSERT_EQ(resampler.Prepare(Format(44100, 48000, kChannels, Layout::kPlanar, kBlock)), nullptr);
  std::vector<std::vector<float>> in(kChannels, std::vector<float>(kBlock)),
      out(kChannels, std::vector<float>(kRoom));
  std::vector<float> got;
  auto keep = [&](int written) {
    for (int i = 0; i < written; ++i)
      for (int c = 0; c < kChannels; ++c) got.push_back(out[size_t(c)][size_t(i)]);
  };
  const float* in_channels[kChannels];
  float* out_channels[kChannels];
  for (int c = 0; c < kChannels; ++c)
    in_channels[c] = in[size_t(c)].data(), out_channels[c] = out[size_t(c)].data();
  for (int at = 0; at < kFrames; at += kBlock) {
    const int n = std::min(kBlock, kFrames - at);
    for (int i = 0; i < n; ++i)
      for (int c = 0; c < kChannels; ++c)
        in[size_t(c)][size_t(i)] = interleaved[size_t((at + i) * kChannels + c)];
    const int written = resampler.Process(in_channels, n, out_channels, kRoom);
    ASSERT_GE(written, 0);
    keep(written);
  }
  while (const int written = resampler.Flush(out_channels, kRoom)) keep(written);
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0);
}

// After Prepare, converting and flushing make no heap call, whatever the block sizes.
TEST(StreamResampler, ProcessAndFlushMakeNoHeapCall) {
  if (!heap_watch::Available()) GTEST_SKIP() << "no heap watch in this build";
  for (const StreamFormat& format : {Format(44100, 48000, 2, Layout::kInterleaved, 512),
                                     Format(192000, 48000, 8, Layout::kPlanar, 1024),
                                     Format(22050, 48000, 1, Layout::kInterleaved, 4096),
                                     Format(48000, 44100, 2, Layout::kPlanar, 64),
                                     Format(96000, 48000, 6, Layout::kInterleaved, 256),
                                     Format(44100, 96000, 2, Layout::kPlanar, 441),
                                     Format(44100, 48000, 32, Layout::kPlanar, 256),
                                     Format(48000, 44100, 1, Layout::kInterleaved, 16)}) {
    StreamResampler resampler;
    ASSERT_EQ(resampler.Prepare(format), nullptr);
    const int channels = format.channels, block = format.max_input_frames;
    const auto input = Tone(1000, format.input_rate, 0.5, block, channels);
    const int capacity = resampler.MaxOutputFrames(block) + 16384;
    std::vector<float> output(size_t(capacity * channels));
    const float* in[StreamResampler::kMaxChannels];
    float* out[StreamResampler::kMaxChannels];
    for (int c = 0; c < channels; ++c)
      in[c] = input.data() + c * block, out[c] = output.data() + c * capacity;
    std::mt19937 random(3);
    heap_watch::Begin();
    for (int round = 0; round < 60; ++round) {
      const int n = round < 10 ? block : int(random() % unsigned(block + 1));
      const int written = format.layout == Layout::kPlanar
                              ? resampler.Process(in, n, out, capacity)
                              : resampler.Process(input.data(), n, output.data(), capacity);
      ASSERT_GE(written, 0);
    }
    while ((format.layout == Layout::kPlanar ? resampler.Flush(out, capacity)
                                             : resampler.Flush(output.data(), capacity)) > 0) {
    }
    EXPECT_EQ(heap_watch::End(), 0) << format.input_rate << " -> " << format.output_rate;
  }
}

TEST(StreamResampler, RefusesBadFormatsAndCalls) {
  for (const StreamFormat& format :
       {Format(0, 48000), Format(44100, -1), Format(44100, 48000, 0), Format(44100, 48000, 33),
        Format(44100, 48000, 2, Layout::kInterleaved, 0)}) {
    StreamResampler resampler;
    EXPECT_NE(resampler.Prepare(format), nullptr);
    EXPECT_FALSE(resampler.Ready());
    float sample = 0;
    EXPECT_EQ(resampler.Process(&sample, 1, &sample, 1), -1);
    EXPECT_EQ(resampler.Flush(&sample, 1), -1);
  }

  StreamResampler resampler;
  ASSERT_EQ(resampler.Prepare(Format(44100, 48000, 1, Layout::kInterleaved, 256)), nullptr);
  std::vector<float> input(257, 0.25f), output(1024);
  float* planar[1] = {output.data()};
  const float* planar_in[1] = {input.data()};
  EXPECT_EQ(resampler.Process(input.data(), 257, output.data(), 1024), -1);  // block too long
  EXPECT_EQ(resampler.Process(input.data(), 256, output.data(), resampler.MaxOutputFrames(256) - 1),
            -1);                                                   // too little room
  EXPECT_EQ(resampler.Process(planar_in, 256, planar, 1024), -1);  // wrong layout
  // Nothing refused was taken: the stream is exactly as long as what was accepted.
  const auto rest = RunStream(resampler, std::vector<float>(1000, 0.25f), 256);
  EXPECT_EQ(int64_t(rest.size()), resampler.OutputFramesFor(1000));
  EXPECT_EQ(resampler.Process(input.data(), 1, output.data(), 1024), -1);  // after the flush
}

}  // namespace
}  // namespace resampler
