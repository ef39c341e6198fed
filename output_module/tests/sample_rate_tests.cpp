// The rate the driver really runs at, as the window sees it: a stream's rate the driver
// cannot run is converted to the driver's (and said so, without a box), and the effect always runs
// at the driver's rate, also after the driver's clock changed during playback.
#include <gtest/gtest.h>

#include <string>

#include "output_module/tests/module_test_support.h"
#include "platform/message_window.h"
#include "vst_host/tests/test_support.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;

class SampleRate : public ModuleTest {};

// The rate the effect was told last, from its log.
float LastRateTold(const TEffectProbe& probe, float before) {
  const std::vector<TEffectLogEntry> told = probe.Entries(effSetSampleRate);
  return told.empty() ? before : told.back().opt;
}

TEST_F(SampleRate, AStreamRateTheDriverCannotRunIsResampledAndTheEffectRunsAtTheDrivers) {
  TEffectProbe probe("router");
  StoreEffect("router");
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.sample_rates = {44100.0, 48000.0};
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  float told = LastRateTold(probe, 0.0f);
  ASSERT_EQ(told, 44100.0f);
  struct Case {
    int32_t stream;
    double runs;
    bool reported;
  };
  const Case cases[] = {
      {22050, 44100.0, true},
      {48000, 48000.0, false},
      {96000, 48000.0, true},
      {44100, 44100.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stream);
    Messages().clear();
    probe.Clear();
    EXPECT_GT(window->Open(c.stream, 2, 16), 0);
    EXPECT_EQ(window->ASIOHost.GetSampleRate(), c.runs);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(window->ResamplingText(), c.reported
                                            ? "resampling " + std::to_string(c.stream) + " Hz to " +
                                                  std::to_string(static_cast<int>(c.runs)) + " Hz"
                                            : "");
    told = LastRateTold(probe, told);
    EXPECT_EQ(told, static_cast<float>(c.runs));
    EXPECT_EQ(window->VstHost.VstTimeInfo().SampleRate(), c.runs);
    window->Close();
  }
}

// The driver's clock goes to 96,000 Hz while it plays: the host reads the new rate back on
// its own thread, and the effect takes it suspended, with no block in between, while the
// stream plays on.
TEST_F(SampleRate, AClockChangeDuringPlaybackReachesTheHostAndTheEffect) {
  TEffectProbe probe("router");
  StoreEffect("router");
  DriverConfig config;
  config.clock = ClockMode::Steady;
  config.sample_rate = 48000.0;
  config.clock_change_ms = 100;
  config.clock_change_rate = 96000.0;
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(48000, 2, 16), 0);
  probe.Clear();
  for (int i = 0; i < 300 && window->ASIOHost.GetSampleRate() != 96000.0; ++i)
    platform::WaitAndPumpMessages(10);
  EXPECT_EQ(window->ASIOHost.GetSampleRate(), 96000.0);
  EXPECT_TRUE(window->ASIOHost.GetActive());
  // The stream, at the driver's rate before, is converted to its new one.
  for (int i = 0; i < 300 && window->ResamplingText().empty(); ++i)
    platform::WaitAndPumpMessages(10);
  EXPECT_EQ(window->ResamplingText(), "resampling 48000 Hz to 96000 Hz");
  // Blocks go on at the new rate.
  const int64_t switches = Driver().SwitchCount();
  for (int i = 0; i < 300 && Driver().SwitchCount() < switches + 8; ++i)
    platform::WaitAndPumpMessages(10);
  EXPECT_GE(Driver().SwitchCount(), switches + 8);
  window->Close();

  const TEffectLog& log = probe.Log();
  int suspended = -1, told = -1, resumed = -1;
  for (int i = 0; i < log.count && i < kEffectLogCapacity; ++i) {
    const TEffectLogEntry& entry = log.entries[i];
    if (entry.opcode == effMainsChanged && entry.value == 0 && suspended < 0) suspended = i;
    if (entry.opcode == effSetSampleRate && suspended >= 0 && told < 0) told = i;
    if (entry.opcode == effMainsChanged && entry.value == 1 && told >= 0 && resumed < 0)
      resumed = i;
  }
  ASSERT_GE(suspended, 0);
  ASSERT_GE(told, 0);
  ASSERT_GE(resumed, 0);
  EXPECT_EQ(log.entries[told].opt, 96000.0f);
  for (int i = suspended; i < resumed; ++i)
    EXPECT_NE(log.entries[i].opcode, kLogProcessReplacing)
        << "a block reached the suspended effect";
  bool played_after = false;
  for (int i = resumed; i < log.count && i < kEffectLogCapacity; ++i)
    played_after = played_after || log.entries[i].opcode == kLogProcessReplacing;
  EXPECT_TRUE(played_after);
  EXPECT_EQ(window->VstHost.VstTimeInfo().SampleRate(), 96000.0);
}

}  // namespace
