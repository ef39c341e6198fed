// The ring shared by two threads: the player's thread writes as far as CanWrite allows and
// now and then opens a new stream (which resizes the ring); the driver's clock thread reads a
// block at every buffer switch. Built with ThreadSanitizer, this shows the exchange is free of
// data races; in every build, that the stream keeps flowing through the resizes.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "output_module/settings.h"
#include "output_module/stream_ring.h"
#include "output_module/tests/module_test_support.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "vst_host/tests/test_support.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;

class StreamThreads : public ModuleTest {
 protected:
  // A window with a stream open on a driver that runs no block by itself: the test's own
  // threads read the ring.
  std::unique_ptr<TFmASIOConfig> WindowWithStream() {
    DriverConfig config;
    config.clock = ClockMode::Manual;
    const std::string driver = InstallDriver(config);
    auto window = MakeWindow();
    SelectDriver(*window, driver);
    EXPECT_GT(window->Open(44100, 2, 16), 0);
    return window;
  }
};

TEST_F(StreamThreads, WriterAndReaderShareTheRingWhileOpenResizesIt) {
  StoreEffect("router");
  DriverConfig config;
  config.clock = ClockMode::Steady;
  config.outputs = {{"Out 1", 19}, {"Out 2", 19}};
  config.minimum_size = 64;
  config.maximum_size = config.preferred_size = 256;
  const std::string driver = InstallDriver(config);
  Key()->WriteString(settings::RoutingValueName(driver, 1), "0 - Out 1");
  auto window = MakeWindow();
  SelectDriver(*window, driver);

  // Stream after stream, each with more channels than the ring had: every Open grows it
  // while the driver is running.
  const int32_t streams[] = {2, 9, 10, 12};
  const int64_t switches_before = Driver().SwitchCount();
  int64_t frames_written = 0;
  for (const int32_t channels : streams) {
    SCOPED_TRACE(std::to_string(channels) + " channels");
    ASSERT_GT(window->Open(44100, channels, 16), 0);
    EXPECT_EQ(window->RingBuffer().ChannelCount(), static_cast<size_t>(std::max(channels, 8)));
    std::vector<int16_t> frame(static_cast<size_t>(channels));
    std::vector<char> pcm;
    // About a quarter of a second of audio per stream, in pieces as the ring frees up.
    const int64_t target = frames_written + 11025;
    const uint32_t started = platform::TickCount();
    while (frames_written < target) {
      ASSERT_LT(platform::TickCount() - started, 20000u) << "the driver stopped reading";
      const int32_t free = window->FreeFrames();
      if (free < 64) {
        platform::SleepMilliseconds(1);
        continue;
      }
      const int32_t count = std::min<int32_t>(free, 1024);
      pcm.clear();
      for (int32_t f = 0; f < count; ++f) {
        std::fill(frame.begin(), frame.end(), static_cast<int16_t>((frames_written + f) % 32768));
        const std::vector<char> bytes = Pcm(frame);
        pcm.insert(pcm.end(), bytes.begin(), bytes.end());
      }
      ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
      frames_written += count;
    }
  }
  window->Close();
  EXPECT_GT(Driver().SwitchCount() - switches_before, 100);
  EXPECT_FALSE(window->ASIOHost.GetActive());
}

// Stereo frames numbered on from `first` (1 .. 32767, then 1 again); the number on the left.
std::vector<char> NumberedFrames(int32_t first, int32_t count) {
  std::vector<int16_t> samples;
  for (int32_t n = first; n < first + count; ++n) {
    const auto number = static_cast<int16_t>((n - 1) % 32767 + 1);
    samples.push_back(number);
    samples.push_back(static_cast<int16_t>(-number));
  }
  return Pcm(samples);
}

// The player falls behind a reader that never waits: between CanWrite and Write the reader
// runs dry again and again. Every frame written still comes out, once and in order. (Which
// pair of sizes makes the reader overtake the writer depends on the build's speed.)
TEST_F(StreamThreads, AWriterThatFallsBehindLosesNoFrameToTheReader) {
  struct Case {
    size_t block;   // frames of a block read
    int32_t piece;  // frames of a write at most
  };
  for (const Case c : {Case{256, 300}, Case{2048, 100}}) {
    SCOPED_TRACE("block " + std::to_string(c.block) + ", piece " + std::to_string(c.piece));
    auto window = WindowWithStream();
    constexpr int32_t kFrames = 200000;
    int32_t received = 0;  // numbered frames the reader took, in order
    int32_t misplaced = 0;
    std::thread reader([&] {
      TSingleChannelArrays inputs(2, c.block);
      const uint32_t started = platform::TickCount();
      while (received < kFrames && platform::TickCount() - started < 20000) {
        window->ReadBlock(static_cast<uint32_t>(c.block), inputs);
        for (size_t i = 0; i < c.block; ++i) {
          const auto number = static_cast<int32_t>(std::lround(inputs[0][i] * 32768.0f));
          if (number == 0) continue;
          if (number != received % 32767 + 1) ++misplaced;
          ++received;
        }
      }
    });
    int32_t written = 0;
    const uint32_t started = platform::TickCount();
    while (written < kFrames && platform::TickCount() - started < 20000) {
      const int32_t free = std::min(window->FreeFrames(), kFrames - written);
      if (free < 1) {
        std::this_thread::yield();
        continue;
      }
      const int32_t count = std::min(free, c.piece);
      const std::vector<char> pcm = NumberedFrames(written + 1, count);
      if (window->Write(pcm.data(), static_cast<int32_t>(pcm.size())) == 0) written += count;
    }
    reader.join();
    EXPECT_EQ(written, kFrames);
    EXPECT_EQ(received, kFrames);
    EXPECT_EQ(misplaced, 0);
  }
}

// The player's decoder thread writes while its stream thread opens the next stream, which
// resizes the ring: the write must never reach a ring that is being replaced.
TEST_F(StreamThreads, WritesWhileOpenResizesTheRingOnAnotherThread) {
  auto window = WindowWithStream();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    TSingleChannelArrays inputs(16, 256);
    while (!stop.load()) window->ReadBlock(256, inputs);
  });
  std::thread writer([&] {
    const std::vector<char> pcm = NumberedFrames(1, 256);
    while (!stop.load()) {
      const int32_t result = window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
      EXPECT_TRUE(result == 0 || result == 1);
    }
  });
  for (int round = 0; round < 1000; ++round) window->Open(44100, round % 2 == 0 ? 16 : 2, 16);
  stop = true;
  writer.join();
  reader.join();
  EXPECT_GE(window->FreeFrames(), 0);
  EXPECT_LE(window->FreeFrames(), window->RingLength());
}

// A stream converted to the driver's rate: the player's writer thread, a reader, and Flush
// and Open starting the conversion afresh on a third thread, all at once.
TEST_F(StreamThreads, AConvertedStreamTakesWritesWhileFlushAndOpenStartItAfresh) {
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.sample_rates = {48000.0};
  config.sample_rate = 48000.0;
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  ASSERT_EQ(window->ResamplingText(), "resampling 44100 Hz to 48000 Hz");
  std::atomic<bool> stop{false};
  std::atomic<int64_t> stored{0};
  std::thread reader([&] {
    TSingleChannelArrays inputs(8, 256);
    while (!stop.load()) window->ReadBlock(256, inputs);
  });
  std::thread writer([&] {
    const std::vector<char> pcm = NumberedFrames(1, 256);
    while (!stop.load()) {
      if (window->FreeFrames() < 256) continue;
      if (window->Write(pcm.data(), static_cast<int32_t>(pcm.size())) == 0) stored += 1;
    }
  });
  for (int round = 0; round < 60; ++round) {
    if (round % 10 == 9)
      window->Open(round % 20 == 19 ? 22050 : 44100, 2, 16);
    else
      window->Flush(round * 100);
    platform::SleepMilliseconds(2);
  }
  stop = true;
  writer.join();
  reader.join();
  EXPECT_GT(stored.load(), 60);
  EXPECT_EQ(window->ResamplingText(), "resampling 22050 Hz to 48000 Hz");
}

// The ring on its own, resized over and over on a third thread (as the host's buffer
// creation and the player's Open do) while the writer and the reader run: the frames come
// out once each and in order, whatever the lengths and channel counts in between.
TEST_F(StreamThreads, ResizesWhileBothSidesRunKeepEveryFrameInOrder) {
  TStreamRing ring;
  ring.Resize(2, 256);
  constexpr int32_t kFrames = 300000;
  std::atomic<bool> writing{true};
  int32_t received = 0;
  int32_t misplaced = 0;
  std::thread reader([&] {
    TSingleChannelArrays inputs(2, 512);
    const uint32_t started = platform::TickCount();
    while (received < kFrames && platform::TickCount() - started < 30000) {
      const TRingRead read = ring.ReadBlock(512, inputs);
      for (size_t i = 0; i < read.Taken; ++i) {
        const auto number = static_cast<int32_t>(std::lround(inputs[0][i] * 32768.0f));
        if (number == 0) continue;  // the silence the ring starts with
        if (number != received % 32767 + 1) ++misplaced;
        ++received;
      }
      if (read.Taken == 0) std::this_thread::yield();
    }
  });
  std::thread writer([&] {
    int32_t written = 0;
    while (written < kFrames) {
      const int32_t count = std::min({ring.FreeFrames(), 700, kFrames - written});
      if (count < 1) {
        std::this_thread::yield();
        continue;
      }
      const std::vector<char> pcm = NumberedFrames(written + 1, count);
      TPcmFrames frames(pcm.data(), pcm.size(), 2, 16, 1.0f);
      written += static_cast<int32_t>(ring.Write(frames));
    }
    writing = false;
  });
  const uint32_t blocks[] = {256, 8192, 512, 16384, 64, 4096};
  for (int round = 0; writing.load(); ++round) {
    const uint32_t block = blocks[static_cast<size_t>(round) % std::size(blocks)];
    if (round % 3 == 0)
      ring.Resize(round % 2 == 0 ? 10 : 2, block);
    else
      ring.FitBlock(block);
    ASSERT_GE(ring.Length(), TStreamRing::LengthFor(block));
    platform::SleepMilliseconds(1);
  }
  writer.join();
  reader.join();
  EXPECT_EQ(received, kFrames);
  EXPECT_EQ(misplaced, 0);
}

// A stream plays through the effect while the driver asks for new buffer sizes, longer and
// shorter than the ring: the host reopens it on its thread and the ring follows. Every frame
// the driver played is the one after the frame it played before (silence aside).
TEST_F(StreamThreads, BufferSizeChangesWhileAStreamPlaysLoseNoFrame) {
  StoreEffect("router");
  DriverConfig config;
  config.clock = ClockMode::Steady;
  config.clock_speed = 8.0;
  config.outputs = {{"Out 1", 19}, {"Out 2", 19}};
  config.minimum_size = 64;
  config.maximum_size = 16384;
  config.preferred_size = 256;
  config.granularity = 0;
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  Driver().SetCapture(true);

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    int32_t written = 0;
    while (writing.load()) {
      const int32_t count = std::min(window->FreeFrames(), 576);
      if (count < 1) {
        platform::SleepMilliseconds(1);
        continue;
      }
      const std::vector<char> pcm = NumberedFrames(written + 1, count);
      if (window->Write(pcm.data(), static_cast<int32_t>(pcm.size())) == 0) written += count;
    }
  });
  for (const int32_t block : {8192, 512, 16384, 256}) {
    config.preferred_size = block;
    ASSERT_TRUE(ReconfigureDriver(config));
    ASSERT_TRUE(Driver().SendMessage(kAsioBufferSizeChange).has_value());
    for (int i = 0; i < 500 && window->ASIOHost.GetBufferSize() != static_cast<uint32_t>(block);
         ++i)
      platform::WaitAndPumpMessages(10);
    EXPECT_EQ(window->ASIOHost.GetBufferSize(), static_cast<uint32_t>(block));
    EXPECT_GE(window->RingLength(), 2 * block);
    const int64_t switches = Driver().SwitchCount();
    for (int i = 0; i < 500 && Driver().SwitchCount() < switches + 4; ++i)
      platform::WaitAndPumpMessages(10);
  }
  writing = false;
  writer.join();
  // Before Close, which fades out what was still queued.
  Driver().SetCapture(false);
  window->Close();

  // Driver channel 0 carries effect outputs 1, 3, 5 and 7 (the routing a new driver gets);
  // the last one wins: 7 times the left input.
  int32_t heard = 0;
  int32_t previous = 0;
  int32_t breaks = 0;
  for (const float sample : CapturedFloats(Driver(), 0)) {
    const auto number = static_cast<int32_t>(std::lround(sample * 32768.0f / 7.0f));
    if (number == 0) continue;
    if (previous != 0 && number != previous % 32767 + 1) ++breaks;
    previous = number;
    ++heard;
  }
  EXPECT_GT(heard, 20000);
  EXPECT_EQ(breaks, 0);
}

// The user chooses another effect, and then the first again, while the driver's clock thread
// plays numbered frames that the player's thread writes: no driver block meets an effect
// that is half unloaded or half loaded, and every frame comes out once and in order, silence
// between the effects aside. Driver channel 0 carries only output 1, the left input as it is
// in both effects.
TEST_F(StreamThreads, EffectsChosenWhileAStreamPlaysLoseNoFrame) {
  StoreEffect("router");
  DriverConfig config;
  config.clock = ClockMode::Steady;
  config.clock_speed = 8.0;
  config.outputs = {{"Out 1", 19}, {"Out 2", 19}};
  config.minimum_size = 64;
  config.maximum_size = config.preferred_size = 256;
  const std::string driver = InstallDriver(config);
  for (const int output : {3, 5, 7})
    Key()->WriteString(settings::RoutingValueName(driver, output), "1 - Out 2");
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  Driver().SetCapture(true);

  constexpr int32_t kFrames = 100000;
  std::thread writer([&] {
    int32_t written = 0;
    const uint32_t started = platform::TickCount();
    while (written < kFrames && platform::TickCount() - started < 30000) {
      const int32_t count = std::min({window->FreeFrames(), 576, kFrames - written});
      if (count < 1) {
        platform::SleepMilliseconds(1);
        continue;
      }
      const std::vector<char> pcm = NumberedFrames(written + 1, count);
      if (window->Write(pcm.data(), static_cast<int32_t>(pcm.size())) == 0) written += count;
    }
  });
  for (const char* kind : {"io", "router"}) {
    ASSERT_TRUE(Driver().WaitForSwitches(Driver().SwitchCount() + 40));
    DialogAnswer() = EffectPath(kind);
    platform::ClickWindow(window->BtEffect->Handle());
    EXPECT_EQ(window->Effect().DLLFileName(), EffectPath(kind));
  }
  writer.join();
  // What the ring still holds plays out.
  ASSERT_TRUE(Driver().WaitForSwitches(Driver().SwitchCount() + window->RingLength() / 256 + 4));
  window->Close();
  Driver().SetCapture(false);
  EXPECT_TRUE(Messages().empty());

  int32_t heard = 0;
  int32_t breaks = 0;
  for (const float sample : CapturedFloats(Driver(), 0)) {
    const auto number = static_cast<int32_t>(std::lround(sample * 32768.0f));
    if (number == 0) continue;
    if (number != heard % 32767 + 1) ++breaks;
    ++heard;
  }
  EXPECT_EQ(heard, kFrames);
  EXPECT_EQ(breaks, 0);
}

// Tracks of one format as the player plays them: a decode thread opens, writes as CanWrite
// allows, marks the end and polls IsPlaying; then Close comes from the main thread, or from
// the decode thread itself (a chained stream), and the next track's Open from its decode
// thread, while two visualisation threads read both times and the driver's clock plays.
// Every track goes on the one driver start.
TEST_F(StreamThreads, ThePlayersThreadsCloseAndOpenWhileTheTimesAreRead) {
  StoreEffect("router");
  DriverConfig config;
  config.clock = ClockMode::Steady;
  config.clock_speed = 8.0;
  config.outputs = {{"Out 1", 19}, {"Out 2", 19}};
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  const int32_t starts_before = Driver().CallCount("start");

  std::atomic<bool> playing{true};
  std::vector<std::thread> visualisation;
  for (int v = 0; v < 2; ++v)
    visualisation.emplace_back([&] {
      while (playing.load()) {
        window->OutputTime();
        window->WrittenTime();
        platform::SleepMilliseconds(1);
      }
    });
  constexpr int kTracks = 6;
  std::atomic<int> track_ended{-1};
  std::atomic<int> track_closed{-1};
  std::atomic<int> failures{0};
  std::atomic<bool> decoded{false};
  std::thread decoder([&] {
    for (int track = 0; track < kTracks; ++track) {
      if (window->Open(44100, 2, 16) <= 0) ++failures;
      int32_t written = 0;
      const uint32_t started = platform::TickCount();
      while (written < 8820 && platform::TickCount() - started < 10000) {
        if (window->FreeBytes() < 576 * 4) {
          platform::SleepMilliseconds(1);
          continue;
        }
        const std::vector<char> pcm = NumberedFrames(written + 1, 576);
        if (window->Write(pcm.data(), static_cast<int32_t>(pcm.size())) == 0) written += 576;
      }
      window->Write(nullptr, 0);
      while (window->IsPlaying() != 0 && platform::TickCount() - started < 10000)
        platform::SleepMilliseconds(1);
      if (track % 2 == 1) {
        window->Close();
      } else {
        track_ended = track;
        while (track_closed.load() != track && platform::TickCount() - started < 10000)
          platform::SleepMilliseconds(1);
      }
    }
    decoded = true;
  });
  // The main thread: the window's messages (a decode thread's Open is made there), and the
  // Close of every other track.
  const uint32_t started = platform::TickCount();
  while (!decoded.load() && platform::TickCount() - started < 60000) {
    if (track_ended.load() > track_closed.load()) {
      window->Close();
      track_closed = track_ended.load();
    }
    platform::WaitAndPumpMessages(1);
  }
  decoder.join();
  playing = false;
  for (std::thread& thread : visualisation) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(track_closed.load(), kTracks - 2);
  EXPECT_EQ(Driver().CallCount("start") - starts_before, 1);
}

}  // namespace
