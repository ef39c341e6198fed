// What the bands do to a signal: the sum is flat, the edges sit at -6 dB, and gain, delay,
// polarity and mute act exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "crossover/tests/crossover_test_support.h"

namespace {

using namespace crossover;
using namespace crossover_test;

constexpr double kHalfDb = -6.0206;  // 20 log10(1/2)

TCrossoverSettings Crossovers(double f1, double f2, double f3, int bands = 4) {
  TCrossoverSettings settings;
  settings.band_count = bands;
  settings.frequency_hz = {f1, f2, f3};
  return settings;
}

// One channel's output band `band` as doubles.
std::vector<double> Band(const std::vector<Signal>& outputs, int band, int channel = 0) {
  const Signal& s = outputs[band * kChannelCount + channel];
  return std::vector<double>(s.begin(), s.end());
}

std::vector<double> BandSum(const std::vector<Signal>& outputs, int channel) {
  std::vector<double> sum(outputs[0].size(), 0.0);
  for (int b = 0; b < kBandCount; ++b)
    for (size_t n = 0; n < sum.size(); ++n) sum[n] += outputs[b * kChannelCount + channel][n];
  return sum;
}

struct TFlatCase {
  double rate;
  TCrossoverSettings settings;
};

class SumOfBands : public ::testing::TestWithParam<TFlatCase> {};

TEST_P(SumOfBands, IsFlatWithinFiveHundredthsOfADecibelAcrossTheAudioBand) {
  const TFlatCase& c = GetParam();
  TEffect effect(c.rate);
  effect.SetSettings(c.settings);
  const std::vector<Signal> outputs = ImpulseResponses(effect, static_cast<int>(c.rate));
  for (int channel = 0; channel < kChannelCount; ++channel) {
    const std::vector<double> sum = BandSum(outputs, channel);
    double worst = 0.0;
    for (double hz : AudioFrequencies(121))
      worst = std::max(worst, std::abs(Db(std::abs(Spectrum(sum, hz, c.rate)))));
    EXPECT_LT(worst, 0.05) << "channel " << channel;
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", worst);
    RecordProperty("worst_error_db", text);
  }
}

INSTANTIATE_TEST_SUITE_P(RatesAndSplits, SumOfBands,
                         ::testing::Values(TFlatCase{44100, Crossovers(80, 500, 3000)},
                                           TFlatCase{48000, Crossovers(80, 500, 3000)},
                                           TFlatCase{96000, Crossovers(80, 500, 3000)},
                                           TFlatCase{44100, Crossovers(20, 2000, 19000)},
                                           TFlatCase{48000,
                                                     Crossovers(300, 250, 8000)},  // out of order
                                           TFlatCase{96000, Crossovers(40, 160, 15000)},
                                           TFlatCase{48000, Crossovers(80, 1000, 10000, 2)},
                                           TFlatCase{44100, Crossovers(250, 3000, 10000, 3)}),
                         [](const auto& info) {
                           const TFlatCase& c = info.param;
                           std::string name = std::to_string(static_cast<int>(c.rate)) + "Hz";
                           for (double hz : c.settings.frequency_hz)
                             name += "_" + std::to_string(static_cast<int>(hz));
                           return name + "_" + std::to_string(c.settings.band_count) + "bands";
                         });

struct TEdgeCase {
  double rate;
  int crossover;
};

class BandEdges : public ::testing::TestWithParam<TEdgeCase> {};

TEST_P(BandEdges, BothNeighboursAreSixDecibelsDownAtTheCrossover) {
  const TEdgeCase& c = GetParam();
  const TCrossoverSettings settings = Crossovers(100, 1000, 10000);
  TEffect effect(c.rate);
  effect.SetSettings(settings);
  const std::vector<Signal> outputs = ImpulseResponses(effect, static_cast<int>(c.rate / 4));
  const double hz = settings.frequency_hz[c.crossover];
  for (int band : {c.crossover, c.crossover + 1}) {
    const double level = Db(std::abs(Spectrum(Band(outputs, band), hz, c.rate)));
    EXPECT_NEAR(level, kHalfDb, 0.02) << "band " << band + 1 << " at " << hz << " Hz";
    RecordProperty("band" + std::to_string(band + 1) + "_db", std::to_string(level));
  }
}

INSTANTIATE_TEST_SUITE_P(RatesAndCrossovers, BandEdges,
                         ::testing::Values(TEdgeCase{44100, 0}, TEdgeCase{44100, 1},
                                           TEdgeCase{44100, 2}, TEdgeCase{48000, 0},
                                           TEdgeCase{48000, 1}, TEdgeCase{48000, 2},
                                           TEdgeCase{96000, 0}, TEdgeCase{96000, 1},
                                           TEdgeCase{96000, 2}),
                         [](const auto& info) {
                           return std::to_string(static_cast<int>(info.param.rate)) +
                                  "Hz_crossover" + std::to_string(info.param.crossover + 1);
                         });

// The editor's plot is computed, not measured: it must show what the audio path does.
TEST(BandMagnitude, MatchesTheMeasuredResponseOfEveryBand) {
  const double rate = 44100;
  for (int bands : {2, 3, 4}) {
    TCrossoverSettings settings = Crossovers(120, 900, 6000, bands);
    settings.band[1].gain_db = -6.5;
    settings.band[2].inverted = true;
    TEffect effect(rate);
    effect.SetSettings(settings);
    const std::vector<Signal> outputs = ImpulseResponses(effect, 22050);
    for (int b = 0; b < kBandCount; ++b) {
      const std::vector<double> band = Band(outputs, b);
      for (double hz : AudioFrequencies(31)) {
        const double computed = BandMagnitude(settings, b, hz, rate);
        const double measured = std::abs(Spectrum(band, hz, rate));
        if (computed < 1e-3) {
          EXPECT_LT(measured, 2e-3) << bands << " bands, band " << b + 1 << " at " << hz;
        } else {
          EXPECT_NEAR(Db(measured), Db(computed), 0.01)
              << bands << " bands, band " << b + 1 << " at " << hz;
        }
      }
    }
  }
}

struct TBandCase {
  const char* name;
  int band;
  TBandSettings settings;
  double rate;
  int delay_samples;
};

class BandControls : public ::testing::TestWithParam<TBandCase> {};

// Against the same effect with neutral bands: the changed band is the neutral one scaled and
// shifted by exactly the set amounts; every other band is untouched.
TEST_P(BandControls, ScaleAndShiftTheirBandExactly) {
  const TBandCase& c = GetParam();
  Signal left(4096), right(4096);
  uint32_t seed = 12345;
  for (size_t n = 0; n < left.size(); ++n) {
    seed = seed * 1664525u + 1013904223u;
    left[n] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    right[n] = 0.5f * left[(n * 7) % left.size()];
  }
  TEffect neutral(c.rate), changed(c.rate);
  TCrossoverSettings settings = Crossovers(150, 1500, 7000);
  neutral.SetSettings(settings);
  settings.band[c.band] = c.settings;
  changed.SetSettings(settings);
  const std::vector<Signal> expected = neutral.Process(left, right, 256);
  const std::vector<Signal> actual = changed.Process(left, right, 256);
  const double gain = SignedGain(c.settings);
  for (int k = 0; k < kOutputCount; ++k) {
    const bool mine = k / kChannelCount == c.band;
    const int shift = mine ? c.delay_samples : 0;
    const double scale = mine ? gain : 1.0;
    for (size_t n = 0; n < actual[k].size(); ++n) {
      const double want = n >= static_cast<size_t>(shift) ? scale * expected[k][n - shift] : 0.0;
      ASSERT_NEAR(actual[k][n], want, 1e-6 * std::max(1.0, std::abs(scale)))
          << "output " << k + 1 << " sample " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BandControls,
    ::testing::Values(TBandCase{"gain_plus_6", 1, {6.0, 0.0, false, false}, 48000, 0},
                      TBandCase{"gain_minus_24", 0, {-24.0, 0.0, false, false}, 48000, 0},
                      TBandCase{"gain_plus_12_inverted", 3, {12.0, 0.0, true, false}, 44100, 0},
                      TBandCase{"muted", 2, {0.0, 3.0, false, true}, 48000, 144},
                      TBandCase{"delay_5ms", 2, {0.0, 5.0, false, false}, 48000, 240},
                      TBandCase{"delay_20ms", 0, {0.0, 20.0, false, false}, 44100, 882},
                      TBandCase{"delay_rounds", 3, {0.0, 1.25, false, false}, 44100, 55},
                      TBandCase{"delay_one_sample", 1, {-3.0, 0.01, true, false}, 96000, 1},
                      TBandCase{"delay_20ms_96k", 3, {0.0, 20.0, false, false}, 96000, 1920}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Processing, DoublePrecisionMatchesSinglePrecision) {
  TEffect single(48000), twice(48000);
  const int frames = 2048;
  Signal left(frames), right(frames);
  std::vector<double> left_d(frames), right_d(frames);
  for (int n = 0; n < frames; ++n) {
    left[n] = static_cast<float>(std::sin(n * 0.05) * 0.8);
    right[n] = static_cast<float>(std::cos(n * 0.31) * 0.3);
    left_d[n] = left[n];
    right_d[n] = right[n];
  }
  const std::vector<Signal> expected = single.Process(left, right, frames);
  std::vector<std::vector<double>> outputs(kOutputCount, std::vector<double>(frames));
  double* in[2] = {left_d.data(), right_d.data()};
  double* out[kOutputCount];
  for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data();
  twice.Record()->processDoubleReplacing(twice.Record(), in, out, frames);
  for (int k = 0; k < kOutputCount; ++k)
    for (int n = 0; n < frames; ++n) ASSERT_NEAR(outputs[k][n], expected[k][n], 1e-6);
}

}  // namespace
