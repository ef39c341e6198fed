#include <gtest/gtest.h>

#include "tools/player/player_model.h"

namespace {

using namespace harness;

// The thresholds where each decoder starts to write, for 16-bit stereo (4 bytes a frame) and
// 24-bit stereo (6): the MP3 decoder writes at a block's bytes, the WAV decoder only above.
TEST(DecoderPace, EachDecoderWritesFromItsOwnThresholdOfFreeBytes) {
  struct Case {
    DecoderKind decoder;
    bool dsp;
    int64_t bytes_per_frame;
    int64_t last_refused;  // the largest answer that does not write
    int64_t write_frames;
  } const cases[] = {
      {DecoderKind::Mp3, false, 4, 4607, 1152}, {DecoderKind::Mp3, true, 4, 9215, 2304},
      {DecoderKind::Mp3, false, 6, 6911, 1152}, {DecoderKind::Mp3, true, 6, 13823, 2304},
      {DecoderKind::Wav, false, 4, 2304, 576},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes_per_frame) + " bytes, dsp " + std::to_string(c.dsp));
    const DecoderPace pace = PaceOf(c.decoder, c.dsp);
    EXPECT_FALSE(pace.Writes(c.last_refused, c.bytes_per_frame));
    EXPECT_TRUE(pace.Writes(c.last_refused + 1, c.bytes_per_frame));
    EXPECT_FALSE(pace.Writes(0, c.bytes_per_frame));
    EXPECT_EQ(pace.write_frames, c.write_frames);
  }
}

TEST(TimeTally, DecreasesCountWithinAStretchOnly) {
  TimeTally tally;
  tally.Add(1, 100, 300);
  tally.Add(1, 90, 310);  // back: counted
  tally.Add(1, 90, 320);
  tally.Add(2, 10, 200);   // a seek began stretch 2: no decrease
  tally.Add(2, 250, 240);  // ahead of the written time
  tally.Add(2, 260);       // a caller that asks only the output time
  EXPECT_EQ(tally.samples, 6);
  EXPECT_EQ(tally.output_decreases, 1);
  EXPECT_EQ(tally.output_above_written, 1);
  EXPECT_EQ(tally.max_lag_ms, 230);

  TimeTally other;
  other.Add(7, 5, 1005);
  other.Add(7, 4, 1004);
  tally.Merge(other);
  EXPECT_EQ(tally.samples, 8);
  EXPECT_EQ(tally.output_decreases, 2);
  EXPECT_EQ(tally.max_lag_ms, 1000);
}

}  // namespace
