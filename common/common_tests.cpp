#include <gtest/gtest.h>

#include "common/channel_arrays.h"
#include "common/event.h"
#include "common/four_char.h"

namespace {

TEST(FourCharToLong, FirstCharacterIsMostSignificant) {
  EXPECT_EQ(FourCharToLong('C', 'c', 'n', 'K'), 0x43636E4B);
  EXPECT_EQ(FourCharToLong("FxCk"), 0x4678436B);
  // Characters above 0x7F are taken as bytes, not sign-extended into the other bytes.
  EXPECT_EQ(static_cast<uint32_t>(FourCharToLong('\xFF', 0, '\x80', 1)), 0xFF008001u);
}

TEST(ChannelArrays, PointerArrayAddressesEachChannel) {
  TSingleChannelArrays a(3, 5);
  ASSERT_EQ(a.ChannelCount(), 3u);
  ASSERT_EQ(a.SampleCount(), 5u);
  float** data = a.Data();
  for (size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(data[c], a[c]);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(a[c][i], 0.0f);
    for (size_t i = 0; i < 5; ++i) data[c][i] = float(c * 10 + i);
  }
  EXPECT_EQ(a[2][4], 24.0f);
  EXPECT_EQ(a[1][0], 10.0f);
}

TEST(ChannelArrays, ResizeKeepsSamplesAndZeroFillsGrowth) {
  TDoubleChannelArrays a(2, 4);
  for (size_t c = 0; c < 2; ++c)
    for (size_t i = 0; i < 4; ++i) a[c][i] = double(1 + c * 4 + i);

  a.SetSize(3, 6);  // both dimensions grow
  for (size_t c = 0; c < 2; ++c) {
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(a[c][i], double(1 + c * 4 + i));
    for (size_t i = 4; i < 6; ++i) EXPECT_EQ(a[c][i], 0.0);
  }
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(a[2][i], 0.0);

  a.SetSampleCount(2);  // shrink keeps the head of each channel
  EXPECT_EQ(a[1][1], 6.0);
  a.SetSampleCount(3);  // growing again must not resurrect old samples
  EXPECT_EQ(a[1][2], 0.0);

  a.SetChannelCount(1);
  a.SetChannelCount(2);
  EXPECT_EQ(a[0][1], 2.0);
  EXPECT_EQ(a[1][0], 0.0);
  EXPECT_EQ(a.Data()[1], a[1]);
}

TEST(ChannelArrays, CopiesOwnTheirSamplesAndMovesKeepPointers) {
  TSingleChannelArrays a(2, 3);
  a[1][2] = 7.0f;
  TSingleChannelArrays b = a;
  b[1][2] = 8.0f;
  EXPECT_EQ(a[1][2], 7.0f);
  EXPECT_NE(a.Data()[1], b.Data()[1]);
  EXPECT_EQ(b.Data()[1], b[1]);

  float* channel = a[1];
  TSingleChannelArrays c = std::move(a);
  EXPECT_EQ(c[1], channel);
  EXPECT_EQ(c[1][2], 7.0f);
  EXPECT_EQ(a.ChannelCount(), 0u);
  EXPECT_EQ(a.SampleCount(), 0u);
}

struct Counter : TObject {
  int calls = 0;
  TObject* last_sender = nullptr;
  void Changed(TObject* sender) {
    ++calls;
    last_sender = sender;
  }
  int Twice(int x) { return 2 * x; }
};

TEST(Event, BoundMethodRunsAndUnassignedIsSkipped) {
  Counter counter;
  TNotifyEvent unassigned;
  EXPECT_FALSE(unassigned.Assigned());
  unassigned(&counter);  // nothing happens

  TNotifyEvent changed = TNotifyEvent::Bind<&Counter::Changed>(&counter);
  ASSERT_TRUE(changed.Assigned());
  changed(&counter);
  EXPECT_EQ(counter.calls, 1);
  EXPECT_EQ(counter.last_sender, &counter);

  TEvent<int(int)> twice = TEvent<int(int)>::Bind<&Counter::Twice>(&counter);
  EXPECT_EQ(twice(21), 42);
  EXPECT_EQ(TEvent<int(int)>()(21), 0);

  int seen = 0;
  auto remember = [&seen](int x) { seen = x; return x + 1; };
  auto from_lambda = TEvent<int(int)>::FromCallable(&remember);
  EXPECT_EQ(from_lambda(5), 6);
  EXPECT_EQ(seen, 5);
}

}  // namespace
