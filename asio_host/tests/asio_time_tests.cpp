#include <gtest/gtest.h>

#include "asio_host/asio_time.h"

namespace {

struct ChangeCounter {
  int changes = 0;
  void Changed(TObject*) { ++changes; }
};

TEST(ASIOTimeSub, StartsAtSpeedOneAndTheDefaultRateWithTheFourValidFlags) {
  TASIOTimeSub time;
  EXPECT_EQ(time.GetSpeed(), 1.0);
  EXPECT_EQ(time.GetSampleRate(), 44100.0);
  EXPECT_EQ(time.GetSamplePos(), 0);
  EXPECT_TRUE(time.GetFlags() ==
              TATFlags({atSystemTimeValid, atSamplePositionValid, atSampleRateValid, atSpeedValid}));
  EXPECT_EQ(time.Record.timeInfo.flags, 15u);
}

TEST(ASIOTimeSub, FiresChangeOnlyForRealChangesOfPositionSpeedAndRateNeverForFlags) {
  TASIOTimeSub time;
  ChangeCounter counter;
  time.OnChanged = TNotifyEvent::Bind<&ChangeCounter::Changed>(&counter);
  time.SetSampleRate(44100.0);
  time.SetSpeed(1.0);
  time.SetSamplePos(0);
  EXPECT_EQ(counter.changes, 0);
  time.SetSampleRate(48000.0);
  EXPECT_EQ(counter.changes, 1);
  time.SetSamplePos(4294967301);
  EXPECT_EQ(time.Record.timeInfo.samplePosition.hi, 1u);
  EXPECT_EQ(time.Record.timeInfo.samplePosition.lo, 5u);
  EXPECT_EQ(counter.changes, 2);
  time.SetFlags({atSampleRateChanged});
  EXPECT_EQ(counter.changes, 2);
  EXPECT_EQ(time.Record.timeInfo.flags, 16u);
  // Higher bits of the record's word are not part of the set.
  time.Record.timeInfo.flags = 0xFFC1;
  EXPECT_TRUE(time.GetFlags() == TATFlags({atSystemTimeValid}));
}

TEST(ASIOTimeSub, AssignsTheWholeRecordToAnotherTimeRecordOnly) {
  TASIOTimeSub source, target;
  source.Record.timeCode.speed = 2.5;
  source.SetSamplePos(77);
  ChangeCounter counter;
  target.OnChanged = TNotifyEvent::Bind<&ChangeCounter::Changed>(&counter);
  source.AssignTo(target);
  EXPECT_EQ(target.GetSamplePos(), 77);
  EXPECT_EQ(target.Record.timeCode.speed, 2.5);
  EXPECT_EQ(counter.changes, 1);
  TObject other;
  EXPECT_THROW(source.AssignTo(other), std::invalid_argument);
}

TEST(ASIOGenerator, StartsWithTheDefaultRateAndBlockAndYieldsSilenceOnEveryChannel) {
  TASIOGenerator generator;
  EXPECT_EQ(generator.SampleRate, 44100.0);
  EXPECT_EQ(generator.BlockSize, 2048u);
  TSingleChannelArrays buffer(3, 16);
  for (size_t c = 0; c < 3; ++c)
    for (size_t i = 0; i < 16; ++i) buffer[c][i] = 0.5f;
  generator.ProcessBlock(buffer, true);
  for (size_t c = 0; c < 3; ++c)
    for (size_t i = 0; i < 16; ++i) ASSERT_EQ(buffer[c][i], 0.0f);
}

}  // namespace
