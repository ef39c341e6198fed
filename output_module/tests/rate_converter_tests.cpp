// A stream converted on its way into the ring: what CanWrite answers and Write takes are
// stream frames, what the ring receives is exactly the converted stream, and nothing the
// player was told was stored is lost, whatever the ratio and however the player writes.
#include "output_module/rate_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "output_module/tests/module_test_support.h"

namespace {

// Stereo 16-bit frames of a 1 kHz tone at -6 dBFS from frame `first` on, at `rate`.
std::vector<char> ToneFrames(int64_t first, int32_t count, int32_t rate) {
  std::vector<int16_t> samples;
  for (int64_t n = first; n < first + count; ++n) {
    const auto value = static_cast<int16_t>(
        std::lround(16384 * std::sin(2 * std::numbers::pi * 1000.0 * double(n) / rate)));
    samples.push_back(value);
    samples.push_back(static_cast<int16_t>(-value));
  }
  return Pcm(samples);
}

int32_t Queued(const TStreamRing& ring) {
  return ring.Length() - ring.FreeFrames();
}

// The player writes what CanWrite allows in pieces (a partial frame at each piece's end), the
// driver reads blocks; at the end the conversion is finished into the ring.
TEST(RateConverter, WritesTakeStreamFramesAndTheRingGetsTheWholeConvertedStream) {
  struct Case {
    int32_t stream_rate, driver_rate;
    int32_t piece;   // frames a write offers
    uint32_t block;  // frames a read takes
  };
  const Case cases[] = {
      {44100, 48000, 576, 256},  {48000, 44100, 576, 512}, {96000, 48000, 4096, 64},
      {22050, 48000, 1000, 256}, {8000, 48000, 576, 1024}, {44100, 96000, 7, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.stream_rate) + " -> " + std::to_string(c.driver_rate));
    TRateConverter converter;
    ASSERT_EQ(converter.Start(c.stream_rate, c.driver_rate, 2), nullptr);
    ASSERT_TRUE(converter.Converting());
    TStreamRing ring;
    ring.Resize(2, 256);
    ring.GrowTo(converter.RingLengthFor(ring.Length()));
    TSingleChannelArrays inputs(2, c.block);
    ring.ReadBlock(static_cast<uint32_t>(ring.Length()), inputs);  // the starting silence
    const int64_t total = c.stream_rate / 2;                       // half a second
    int64_t written = 0, received = 0, read = 0;
    while (written < total) {
      const int32_t can_write = converter.StreamFramesFor(ring.FreeFrames());
      const auto offered = static_cast<int32_t>(std::min<int64_t>(c.piece, total - written));
      std::vector<char> pcm = ToneFrames(written, offered, c.stream_rate);
      pcm.push_back(0x55);  // half a sample: never stored
      TPcmFrames frames(pcm.data(), pcm.size(), 2, 16, 1.0f);
      const int32_t before = Queued(ring);
      const size_t taken = converter.Write(frames, ring);
      EXPECT_EQ(taken, static_cast<size_t>(std::min(can_write, offered)));
      written += static_cast<int64_t>(taken);
      received += Queued(ring) - before;
      // What the player may write next still leaves room for what the filter holds.
      ASSERT_GE(converter.StreamFramesFor(ring.FreeFrames()), 0);
      const TRingRead got = ring.ReadBlock(c.block, inputs);
      read += static_cast<int64_t>(got.Taken);
      ASSERT_LT(read, 100 * total) << "the writes stalled";
    }
    const int32_t before = Queued(ring);
    converter.Finish(ring);
    received += Queued(ring) - before;
    EXPECT_FALSE(converter.Started());
    // Exactly the converted stream's length: the frames the filter held came out too.
    EXPECT_EQ(received, std::llround(double(total) * c.driver_rate / c.stream_rate));
  }
}

// Equal rates do not convert: CanWrite answers the ring's free frames, and the stream
// passes untouched (the window stores it through the ring itself).
TEST(RateConverter, EqualRatesPassAndAFailedStartPassesToo) {
  TRateConverter converter;
  EXPECT_EQ(converter.Start(48000, 48000, 2), nullptr);
  EXPECT_TRUE(converter.Started());
  EXPECT_FALSE(converter.Converting());
  EXPECT_EQ(converter.StreamFramesFor(1234), 1234);
  EXPECT_EQ(converter.RingLengthFor(8192), 8192);
  // More channels than the resampler takes: the reason, and the frames pass.
  EXPECT_NE(converter.Start(44100, 48000, 40), nullptr);
  EXPECT_FALSE(converter.Converting());
  EXPECT_EQ(converter.StreamFramesFor(1234), 1234);
}

class RateConversion : public ModuleTest {};

// Through the window on a driver that runs 48 kHz only: a 44.1 kHz stream is converted,
// CanWrite counts its frames, a Close after the end mark pushes out what the filter holds,
// and the time stays the stream's.
TEST_F(RateConversion, TheWindowConvertsAStreamTheDriverCannotRun) {
  StoreEffect("router");
  asio_test::DriverConfig config;
  config.clock = asio_test::ClockMode::Manual;
  config.sample_rates = {48000.0};
  config.sample_rate = 48000.0;
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  EXPECT_EQ(window->ASIOHost.GetSampleRate(), 48000.0);
  EXPECT_EQ(window->ResamplingText(), "resampling 44100 Hz to 48000 Hz");
  const int32_t length = window->RingLength();
  EXPECT_GT(length, 8192);  // 8192 frames' time at the driver's rate, and the filter's
  TSingleChannelArrays inputs(2, static_cast<size_t>(length));
  window->ReadBlock(static_cast<uint32_t>(length), inputs);  // the starting silence
  const int32_t can_write = window->FreeFrames();
  EXPECT_GE(can_write, 8192);
  EXPECT_LT(can_write, length);
  // More than CanWrite answered: what fits is stored, and CanWrite says the rest is full.
  const std::vector<char> pcm = ToneFrames(0, can_write + 500, 44100);
  EXPECT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  EXPECT_EQ(window->FreeFrames(), 0);
  EXPECT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 1);
  // The end mark and Close: what the filter holds goes into the queue, which plays out,
  // exactly the converted length of what was stored.
  const int32_t before_close = window->WritePos();
  window->Write(nullptr, 0);
  window->Close();
  EXPECT_NE(window->WritePos(), before_close);
  EXPECT_EQ(window->ReadBlock(static_cast<uint32_t>(length), inputs).Taken,
            static_cast<size_t>(std::lround(can_write * 48000.0 / 44100.0)));
  // The next track goes on converting; a seek drops what is queued and what the filter holds.
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  EXPECT_EQ(window->ResamplingText(), "resampling 44100 Hz to 48000 Hz");
  EXPECT_EQ(window->Write(pcm.data(), 4000), 0);
  window->Flush(1500);
  EXPECT_EQ(window->OutputTime(), 1500);
  EXPECT_EQ(window->ReadBlock(static_cast<uint32_t>(length), inputs).Taken, 0u);
  // The window's label says it at the next tick, and the credit line returns for a stream
  // at the driver's rate.
  window->TimerTimer(nullptr);
  EXPECT_EQ(window->Label1->Caption(), "resampling 44100 Hz to 48000 Hz");
  window->Close();
  ASSERT_GT(window->Open(48000, 2, 16), 0);
  EXPECT_EQ(window->ResamplingText(), "");
  window->TimerTimer(nullptr);
  EXPECT_EQ(window->Label1->Caption(), "Partiloom: effect outputs on ASIO channels");
  EXPECT_TRUE(Messages().empty());
}

}  // namespace
