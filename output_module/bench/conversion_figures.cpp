// Figures of a stream converted to the driver's rate, for each of libsoxr's quality settings:
// passband flatness, image and alias rejection, a -1 dBFS 997 Hz 16-bit tone's frequency and
// THD+N against the source's own, the stream's length and timing; then the cost of the whole
// stream path (16-bit bytes decoded, converted, stored in the ring and read back) as a share
// of one core. Not a test: the bars that count are checked by resampler_tests. The figures
// that count are those of the Windows build. Arguments: [seconds of audio per cost run]
// [cost: the cost only].

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "output_module/rate_converter.h"
#include "platform/system.h"
#include "resampler/stream_resampler.h"

namespace {

using resampler::Quality;

constexpr Quality kQualities[] = {Quality::kQuick, Quality::kLow, Quality::kMedium, Quality::kHigh,
                                  Quality::kVeryHigh};
const char* const kQualityNames[] = {"quick", "low", "medium", "high", "very high"};

struct Conversion {
  int from, to;
};
constexpr Conversion kConversions[] = {
    {44100, 48000}, {48000, 44100}, {96000, 48000}, {22050, 48000}, {44100, 96000}};

// A mono stream through a resampler of `quality`, flushed.
std::vector<float> Convert(const std::vector<float>& input, Conversion c, Quality quality) {
  resampler::StreamResampler resampler;
  constexpr int kBlock = 1024;
  if (resampler.Prepare({c.from, c.to, 1, resampler::Layout::kInterleaved, kBlock, quality}))
    return {};
  std::vector<float> output, buffer;
  for (size_t at = 0; at < input.size(); at += kBlock) {
    const int n = int(std::min<size_t>(kBlock, input.size() - at));
    buffer.resize(size_t(std::max(resampler.MaxOutputFrames(n), 1)));
    const int written = resampler.Process(input.data() + at, n, buffer.data(), int(buffer.size()));
    output.insert(output.end(), buffer.begin(), buffer.begin() + std::max(written, 0));
  }
  buffer.resize(kBlock * 8);
  while (const int written = resampler.Flush(buffer.data(), int(buffer.size()))) {
    if (written < 0) break;
    output.insert(output.end(), buffer.begin(), buffer.begin() + written);
  }
  return output;
}

std::vector<float> Sine(double frequency, double rate, double amplitude, size_t frames) {
  std::vector<float> x(frames);
  for (size_t i = 0; i < frames; ++i)
    x[i] = float(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
  return x;
}

struct Fit {
  double amplitude, residual_rms, frequency;
};
// Least squares of a sine at `frequency` over [begin, end); with `refine`, at the frequency
// within 20 ppm of it that leaves the least residual (golden-section search).
Fit FitSine(const std::vector<float>& x, size_t begin, size_t end, double frequency, double rate,
            bool refine = false) {
  auto solve = [&](double f, double& amplitude) {
    double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
    const double w = 2 * std::numbers::pi * f / rate;
    for (size_t i = begin; i < end; ++i) {
      const double s = std::sin(w * double(i)), c = std::cos(w * double(i)), v = x[i];
      ss += s * s, sc += s * c, cc += c * c, xs += v * s, xc += v * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
    amplitude = std::hypot(a, b);
    double residual = 0;
    for (size_t i = begin; i < end; ++i) {
      const double e = x[i] - a * std::sin(w * double(i)) - b * std::cos(w * double(i));
      residual += e * e;
    }
    return std::sqrt(residual / double(end - begin));
  };
  double lo = frequency * (1 - 2e-5), hi = frequency * (1 + 2e-5), amplitude = 0;
  if (!refine) lo = hi = frequency;
  for (int step = 0; refine && step < 40; ++step) {
    const double m1 = hi - (hi - lo) * 0.618, m2 = lo + (hi - lo) * 0.618;
    if (solve(m1, amplitude) < solve(m2, amplitude))
      hi = m2;
    else
      lo = m1;
  }
  const double residual = solve((lo + hi) / 2, amplitude);
  return {amplitude, residual, (lo + hi) / 2};
}

double Db(double ratio) {
  return 20 * std::log10(std::max(ratio, 1e-300));
}

void PrintQuality(Conversion c, int q) {
  const double lower = std::min(c.from, c.to);
  const double top = std::min(20000.0, 0.45 * lower);
  const size_t frames = size_t(c.from);  // one second
  const size_t skip = size_t(c.to) / 10;
  // Flatness: tones from 40 Hz to the top, a third of an octave apart, and the top itself.
  double flat = 0;
  for (double f = 40; f <= top * 1.0001; f = std::min(f * 1.26, f < top ? top : 2 * top)) {
    const std::vector<float> out = Convert(Sine(f, c.from, 0.5, frames), c, kQualities[q]);
    const Fit fit = FitSine(out, skip, out.size() - skip, f, c.to);
    flat = std::max(flat, std::abs(Db(fit.amplitude / 0.5)));
    if (f >= top) break;
  }
  // Images (and everything else but the tone) of tones near the top of the band.
  double images = -400;
  for (const double f : {0.5 * top, 0.8 * top, top}) {
    const std::vector<float> out = Convert(Sine(f, c.from, 0.5, frames), c, kQualities[q]);
    const Fit fit = FitSine(out, skip, out.size() - skip, f, c.to);
    images = std::max(images, Db(fit.residual_rms / (fit.amplitude / std::sqrt(2.0))));
  }
  // Aliases: a tone above the output's Nyquist frequency that would fold to 0.45 x its rate.
  double aliases = 0;
  bool alias_measured = false;
  if (c.to < c.from && 0.55 * c.to < 0.45 * c.from) {
    const std::vector<float> out =
        Convert(Sine(0.55 * c.to, c.from, 0.5, frames), c, kQualities[q]);
    double squares = 0;
    for (size_t i = skip; i < out.size() - skip; ++i) squares += double(out[i]) * out[i];
    aliases = Db(std::sqrt(squares / double(out.size() - 2 * skip)) / (0.5 / std::sqrt(2.0)));
    alias_measured = true;
  }
  // A -1 dBFS 997 Hz tone, 16 bits: its THD+N before and after.
  std::vector<float> tone(frames);
  const double amplitude = std::pow(10.0, -1.0 / 20);
  for (size_t i = 0; i < frames; ++i)
    tone[i] = float(std::lround(32767 * amplitude *
                                std::sin(2 * std::numbers::pi * 997.0 * double(i) / c.from)) /
                    32768.0);
  const Fit source = FitSine(tone, 0, tone.size(), 997.0, c.from);
  const std::vector<float> out = Convert(tone, c, kQualities[q]);
  const Fit fit = FitSine(out, skip, out.size() - skip, 997.0, c.to, true);
  // Length and timing: an impulse in the middle comes out where its time is.
  std::vector<float> impulse(frames, 0.0f);
  impulse[frames / 2] = 1.0f;
  const std::vector<float> response = Convert(impulse, c, kQualities[q]);
  const auto peak =
      size_t(std::max_element(response.begin(), response.end(),
                              [](float a, float b) { return std::abs(a) < std::abs(b); }) -
             response.begin());
  double at = double(peak);
  if (peak > 0 && peak + 1 < response.size()) {
    const double l = response[peak - 1], m = response[peak], r = response[peak + 1];
    at += 0.5 * (l - r) / (l - 2 * m + r);
  }
  const double expected_at = double(frames / 2) * c.to / c.from;
  const long long expected_length = std::llround(double(frames) * c.to / c.from);
  std::printf("%6d->%-6d %-9s %8.4f %8.1f %8s %10.4f %8.1f %8.1f %6lld %8.3f\n", c.from, c.to,
              kQualityNames[q], flat, images,
              alias_measured ? std::to_string(int(std::lround(aliases))).c_str() : "-",
              fit.frequency, Db(source.residual_rms / (source.amplitude / std::sqrt(2.0))),
              Db(fit.residual_rms / (fit.amplitude / std::sqrt(2.0))),
              (long long)response.size() - expected_length, at - expected_at);
}

// Seconds of stream audio through the whole path: the player's 16-bit bytes in pieces of 576
// frames, decoded and converted into the ring, the ring read in blocks of 256 frames. Timed
// in spans of 50 ms of audio; the least span counts (a shared machine slows the others).
double PathShare(int from, int to, int channels, int q, double seconds) {
  TRateConverter converter;
  if (converter.Start(from, to, size_t(channels), kQualities[q])) return -1;
  TStreamRing ring;
  ring.Resize(size_t(channels), 256);
  ring.GrowTo(converter.RingLengthFor(ring.Length()));
  TSingleChannelArrays block(size_t(channels), 256);
  ring.ReadBlock(uint32_t(ring.Length()), block);
  constexpr int kPiece = 576;
  std::vector<int16_t> pcm(size_t(kPiece) * channels);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(8000 * std::sin(0.01 * double(i)));
  constexpr double kSpan = 0.05;
  const auto span_frames = int64_t(kSpan * from);
  double least = 1e30;
  for (int span = 0; span < int(seconds / kSpan); ++span) {
    const int64_t start = platform::PerformanceCounter();
    for (int64_t written = 0; written < span_frames;) {
      TPcmFrames frames(pcm.data(), pcm.size() * 2, size_t(channels), 16, 1.0f);
      written += int64_t(converter.Write(frames, ring));
      while (ring.ReadBlock(256, block).Taken == 256) {
      }
    }
    const double elapsed =
        double(platform::PerformanceCounter() - start) / double(platform::PerformanceFrequency());
    least = std::min(least, elapsed);
  }
  return 100 * least / kSpan;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 10.0;
  const bool cost_only = argc > 2 && std::string(argv[2]) == "cost";
  if (!cost_only) {
    std::printf("%-13s %-9s %8s %8s %8s %10s %8s %8s %6s %8s\n", "conversion", "quality", "flat dB",
                "image dB", "alias dB", "997 Hz at", "src THDN", "THD+N", "len", "time");
    for (const Conversion& c : kConversions)
      for (int q = 0; q < 5; ++q) PrintQuality(c, q);
  }
  std::printf("\nstream path, share of one core (%.0f s of audio, least 50 ms span)\n", seconds);
  std::printf("%-9s %16s %16s\n", "quality", "2ch 44.1->48 %", "8ch 192->48 %");
  for (int q = 0; q < 5; ++q)
    std::printf("%-9s %16.3f %16.3f\n", kQualityNames[q], PathShare(44100, 48000, 2, q, seconds),
                PathShare(192000, 48000, 8, q, seconds));
  return 0;
}
