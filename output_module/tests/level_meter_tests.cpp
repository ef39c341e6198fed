// The meters' model: the dB scale, the readings over time, the bars for a routing, the peaks
// the audio thread hands over.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "output_module/level_meters.h"

namespace {

TEST(LevelMeterScale, PeaksMapToDecibelsWithinTheScale) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  struct Case {
    float peak;
    float db;
    float fraction;
  };
  const Case cases[] = {
      {0.0f, -60.0f, 0.0f},       {1e-6f, -60.0f, 0.0f},      {nan, -60.0f, 0.0f},
      {0.01f, -40.0f, 1 / 3.0f},  {0.0316228f, -30.0f, 0.5f}, {0.5011872f, -6.0f, 0.9f},
      {-0.5011872f, -6.0f, 0.9f}, {1.0f, 0.0f, 1.0f},         {4.0f, 0.0f, 1.0f},
      {infinity, 0.0f, 1.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.peak);
    const float db = TLevelMeter::PeakDb(c.peak);
    EXPECT_NEAR(db, c.db, 1e-3);
    EXPECT_NEAR(TLevelMeter::ScaleFraction(db), c.fraction, 1e-4);
  }
  EXPECT_EQ(TLevelMeter::ScaleFraction(-80.0f), 0.0f);
  EXPECT_EQ(TLevelMeter::ScaleFraction(6.0f), 1.0f);
}

// Readings after a run of updates, 40 ms apart as the window's timer makes them.
TEST(LevelMeterReadings, LevelFallsHoldWaitsAndClipStaysUntilCleared) {
  struct Run {
    float peak;
    int ticks;
  };
  struct Case {
    const char* name;
    std::vector<Run> runs;
    float level, hold;
    bool clipped;
  };
  constexpr float kMinus6 = 0.5011872f;
  const Case cases[] = {
      {"silence reads the bottom", {{0.0f, 10}}, -60.0f, -60.0f, false},
      {"a steady peak reads its level", {{kMinus6, 50}}, -6.0f, -6.0f, false},
      {"the level falls 20 dB a second, the hold stays",
       {{kMinus6, 1}, {0.0f, 25}},
       -26.0f,
       -6.0f,
       false},
      {"after 1.5 s the hold drops to the level",
       {{kMinus6, 1}, {0.0f, 38}},
       -6.0f - 20.0f * 1.52f,
       -6.0f - 20.0f * 1.52f,
       false},
      {"a lower peak does not pull the level below it",
       {{kMinus6, 1}, {0.01f, 80}},
       -40.0f,
       -40.0f,
       false},
      {"a higher peak lifts level and hold at once",
       {{0.01f, 5}, {kMinus6, 1}},
       -6.0f,
       -6.0f,
       false},
      {"full scale clips; the marker stays through silence",
       {{1.0f, 1}, {0.0f, 200}},
       -60.0f,
       -60.0f,
       true},
      {"just below full scale does not clip", {{0.99999f, 3}}, -0.0001f, -0.0001f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLevelMeter meter;
    for (const Run& run : c.runs)
      for (int i = 0; i < run.ticks; ++i) meter.Update(run.peak, 0.04);
    EXPECT_NEAR(meter.LevelDb(), c.level, 0.01);
    EXPECT_NEAR(meter.HoldDb(), c.hold, 0.01);
    EXPECT_EQ(meter.Clipped(), c.clipped);
    meter.ClearClip();
    meter.Update(0.0f, 0.04);
    EXPECT_FALSE(meter.Clipped());
  }
}

TEST(MeterChannels, OneBarPerChannelWithTheOutputHeardThere) {
  const std::vector<std::string> four = {"0 - Out 1", "1 - Out 2", "2 - Out 3", "3 - Out 4"};
  struct Case {
    const char* name;
    std::array<int32_t, 8> routing;
    int32_t outputs;
    std::vector<std::string> channels;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {"alternating: the highest output on each channel",
       {0, 1, 0, 1, 0, 1, 0, 1},
       8,
       four,
       {"0 - Out 1 \u2190 7", "1 - Out 2 \u2190 8"}},
      {"an effect of four outputs",
       {0, 1, 0, 1, 0, 1, 0, 1},
       4,
       four,
       {"0 - Out 1 \u2190 3", "1 - Out 2 \u2190 4"}},
      {"in channel order, positions the driver lacks skipped",
       {3, 9, 0, -1, 7, 7, 7, 7},
       8,
       four,
       {"0 - Out 1 \u2190 3", "3 - Out 4 \u2190 1"}},
      {"no outputs, no bars", {0, 1, 2, 3, 0, 1, 2, 3}, 0, four, {}},
      {"no driver, no bars", {0, 1, 2, 3, 0, 1, 2, 3}, 8, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> labels;
    for (const TMeterChannel& channel : MeterChannels(c.routing, c.outputs, c.channels)) {
      labels.push_back(channel.Label);
      EXPECT_EQ(c.routing[static_cast<size_t>(channel.Output - 1)], channel.Channel);
    }
    EXPECT_EQ(labels, c.labels);
  }
}

TEST(PeakTaps, KeepTheLargestPeakOfEachChannelUntilTaken) {
  TSingleChannelArrays out(3, 4);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float first[3][4] = {
      {0.1f, -0.3f, 0.2f, 0.0f}, {nan, 0.05f, -0.02f, 0.0f}, {-1.5f, 0.0f, 0.0f, 0.0f}};
  for (size_t ch = 0; ch < 3; ++ch) std::copy_n(first[ch], 4, out[ch]);
  TPeakTaps taps;
  // Outputs 1 and 4 share channel 0; output 2 names a channel the block lacks.
  const std::array<int32_t, 8> targets = {0, 5, 1, 0, 2, -1, -1, -1};
  taps.PublishBlock(out, targets, 4);
  // A quieter block does not lower what is kept.
  out.Clear();
  out[0][0] = 0.25f;
  taps.PublishBlock(out, targets, 1);
  const float expected[8] = {0.3f, 0.0f, 0.05f, 0.3f, 1.5f, 0.0f, 0.0f, 0.0f};
  for (size_t slot = 0; slot < 8; ++slot) EXPECT_EQ(taps.Take(slot), expected[slot]) << slot;
  for (size_t slot = 0; slot < 8; ++slot) EXPECT_EQ(taps.Take(slot), 0.0f) << slot;
}

TEST(MeterStrip, ANewSetOfBarsStartsAgainAndTheSameSetKeepsItsReadings) {
  TPeakTaps taps;
  TMeterStrip strip;
  const std::vector<TMeterChannel> stereo = {{0, 1, "0 - L \u2190 1"}, {1, 2, "1 - R \u2190 2"}};
  strip.Follow(stereo, taps);
  taps.Publish(1, 1.0f);
  strip.Update(taps, 0.04);
  ASSERT_EQ(strip.Bars().size(), 2u);
  EXPECT_EQ(strip.Bars()[1], (platform::MeterBar{"1 - R \u2190 2", 1.0f, 1.0f, true}));
  strip.Follow(stereo, taps);
  EXPECT_TRUE(strip.Readings()[1].Clipped());
  strip.ClearClip(1);
  EXPECT_FALSE(strip.Readings()[1].Clipped());

  taps.Publish(0, 1.0f);
  strip.Follow({{1, 2, "1 - R \u2190 2"}}, taps);
  strip.Update(taps, 0.04);
  EXPECT_EQ(strip.Bars(), (std::vector<platform::MeterBar>{{"1 - R \u2190 2", 0.0f, 0.0f, false}}));
}

}  // namespace
