// The ring shared by two threads: the player's thread writes as far as CanWrite allows and
// now and then opens a new stream (which resizes the ring); the driver's clock thread reads a
// block at every buffer switch. Built with ThreadSanitizer, this shows the exchange is free of
// data races; in every build, that the stream keeps flowing through the resizes.
#include <gtest/gtest.h>

#include <thread>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/system.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;

class StreamThreads : public ModuleTest {};

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
    ASSERT_EQ(window->Open(44100, channels, 16), 1);
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

}  // namespace
