#include <gtest/gtest.h>

#include <cmath>

#include "tools/player/capture_check.h"
#include "tools/player/pcm_signal.h"
#include "tools/player/spectrum.h"

namespace {

using namespace harness;

constexpr double kTwoPi = 6.283185307179586;

std::vector<double> Channel(const PcmSource& source, int channel, double from, double to) {
  std::vector<double> samples;
  const auto first = static_cast<size_t>(from * source.sample_rate);
  const auto end = std::min(static_cast<size_t>(to * source.sample_rate), source.Frames());
  for (size_t i = first; i < end; ++i)
    samples.push_back(source.samples[2 * i + static_cast<size_t>(channel)] / 32768.0);
  return samples;
}

TEST(Spectrum, ASineCentredOnABinReadsItsAmplitudeAndBadFramesGiveNothing) {
  constexpr size_t kSize = 1024;
  struct Case {
    double bin, amplitude;
  } cases[] = {{10, 1.0}, {100, 0.25}, {511, 0.5}};
  for (const Case& c : cases) {
    std::vector<double> samples(8 * kSize);
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = c.amplitude * std::sin(kTwoPi * c.bin * static_cast<double>(i) / kSize);
    const auto spectrum = AverageSpectrum(samples, 0, samples.size(), kSize);
    ASSERT_EQ(spectrum.size(), kSize / 2 + 1);
    const auto peak = static_cast<size_t>(c.bin);
    EXPECT_NEAR(spectrum[peak], c.amplitude, 1e-9) << c.bin;
    // The Hann window's leakage reaches the neighbours only.
    EXPECT_NEAR(spectrum[peak - 1], c.amplitude / 2, 1e-9) << c.bin;
    EXPECT_LT(spectrum[peak - 3], c.amplitude * 1e-6) << c.bin;
  }
  const std::vector<double> samples(4096, 0.5);
  EXPECT_TRUE(AverageSpectrum(samples, 0, 4096, 1000).empty());         // not a power of two
  EXPECT_TRUE(AverageSpectrum(samples, 0, 4096, 8).empty());            // too short a frame
  EXPECT_TRUE(AverageSpectrum(samples, 1000, 4096, 4096).empty());      // span under one frame
  EXPECT_EQ(AverageSpectrum(samples, 0, 1 << 20, 4096).size(), 2049u);  // end clamped
}

TEST(Spectrum, FractionalOctavesStepFromLowToHighAndFallBackToTheNearestBin) {
  std::vector<double> spectrum(8193);
  for (size_t k = 0; k < spectrum.size(); ++k) spectrum[k] = static_cast<double>(k);
  const auto points = FractionalOctaves(spectrum, 44100, 20, 20000, 12);
  ASSERT_EQ(points.size(), 120u);  // 20 Hz up to 2^(119/12) x 20 Hz, below 20 kHz
  EXPECT_DOUBLE_EQ(points.front().frequency, 20.0);
  EXPECT_NEAR(points.back().frequency, 20.0 * std::pow(2.0, 119.0 / 12), 1e-6);
  // At 20 Hz the band is narrower than the 2.7 Hz bins: the nearest bin, 7 (18.8 Hz).
  EXPECT_DOUBLE_EQ(points.front().amplitude, 7.0);
  // Higher up, the power mean of the bins inside: near the bin number of the centre.
  EXPECT_NEAR(points.back().amplitude / (points.back().frequency / (22050.0 / 8192)), 1.0, 0.01);
  EXPECT_TRUE(FractionalOctaves({}, 44100, 20, 20000, 12).empty());
  EXPECT_TRUE(FractionalOctaves(spectrum, 44100, 20, 10, 12).empty());
}

TEST(Programme, SectionsHaveTheirLevelsAndTheRightChannelIsHalfTheLeft) {
  const PcmSource programme = GenerateProgramme(kProgrammeSeconds + 1);
  ASSERT_EQ(programme.Frames(), static_cast<size_t>((kProgrammeSeconds + 1) * 44100));
  for (size_t i = 0; i < programme.Frames(); ++i)
    ASSERT_LE(std::abs(2 * programme.samples[2 * i + 1] - programme.samples[2 * i]), 1) << i;
  struct Section {
    double from, to, peak_dbfs, rms_dbfs;
  } sections[] = {
      {0.1, 7.9, -12.0, -15.0},    // sweep
      {8.1, 13.9, -5.0, -18.0},    // pink noise: its peaks stand well above its RMS
      {14.1, 14.9, -12.0, -15.0},  // 60 Hz
      {17.1, 17.9, -12.0, -15.0},  // 8 kHz
  };
  for (const Section& s : sections) {
    const auto left = Channel(programme, 0, s.from, s.to);
    const Levels levels = MeasureLevels(left, 0, left.size());
    EXPECT_NEAR(Dbfs(levels.rms), s.rms_dbfs, 0.1) << s.from;
    if (s.from < 8 || s.from > 14) {
      EXPECT_NEAR(Dbfs(levels.peak), s.peak_dbfs, 0.01) << s.from;
    }
    EXPECT_LT(Dbfs(levels.peak), s.peak_dbfs + 1.0) << s.from;
  }
  // Sections fade in, and the pattern repeats after its end.
  EXPECT_EQ(programme.samples[0], 0);
  const auto again = static_cast<size_t>(kProgrammeSeconds * 44100);
  for (size_t i = 0; i < 44100; i += 97)
    ASSERT_EQ(programme.samples[2 * (again + i)], programme.samples[2 * i]) << i;
}

TEST(Programme, TheNoiseIsPinkAndTheSweepCoversTheBand) {
  const PcmSource programme = GenerateProgramme(kProgrammeSeconds);
  const auto level = [](const std::vector<double>& samples, double hz) {
    const auto points =
        FractionalOctaves(AverageSpectrum(samples, 0, samples.size(), 16384), 44100, hz, hz, 3);
    return Dbfs(points.at(0).amplitude);
  };
  // Pink: 3 dB less per octave, over six octaves.
  const auto noise = Channel(programme, 0, 8.1, 13.9);
  EXPECT_NEAR(level(noise, 100) - level(noise, 6400), 18.0, 1.5);
  // An exponential sweep has a pink spectrum too, from 20 Hz to 20 kHz.
  const auto sweep = Channel(programme, 0, 0.0, 8.0);
  EXPECT_NEAR(level(sweep, 40) - level(sweep, 10240), 24.0, 1.5);
}

}  // namespace
