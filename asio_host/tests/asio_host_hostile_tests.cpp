// The converting host against the test driver in its hostile mode, seed after seed: whatever
// the driver answers, from whatever thread and inside whichever call, the host neither
// crashes, nor trips the sanitizers, nor hangs. PARTILOOM_HOSTILE_SEEDS and
// PARTILOOM_HOSTILE_FIRST_SEED choose the seeds (scripts/hostile.sh runs many).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "asio_host/asio_host_converting.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"
#include "tools/asio_driver/test_driver.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;
using asio_test::DriverControl;
using asio_test::ScopedDriver;

// Seeds per test case; the cases run side by side under the test command. Wine is slower,
// the native build with its sanitizers runs the many.
#if defined(_WIN32)
constexpr uint32_t kSeedsPerCase = 40;
#else
constexpr uint32_t kSeedsPerCase = 70;
#endif
constexpr uint32_t kCases = 3;

uint32_t FromEnvironment(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}

GUID TestClassId(uint32_t which) {
  GUID id = {0x41D7E2B9, 0x0C63, 0x4E15, {0xA2, 0x7F, 0, 0, 0, 0, 0, 0}};
  const uint32_t now = platform::TickCount();
  std::memcpy(id.Data4 + 2, &now, 4);
  id.Data4[6] = static_cast<uint8_t>(which);
  return id;
}

// Which behaviours a seed turns on: every one alone, all together, and mixes.
uint32_t BehavioursOf(uint32_t seed) {
  constexpr uint32_t kCount = 7;
  if (seed % 9 < kCount) return 1u << (seed % 9);
  if (seed % 9 == kCount) return asio_test::kHostileAll;
  return static_cast<uint32_t>(std::mt19937(seed)()) & asio_test::kHostileAll;
}

class HostileDriver : public RegistryTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  void RunSeed(uint32_t seed, DriverControl& control, const std::string& name) {
    control.SetHostile(BehavioursOf(seed), seed);

    std::mt19937 steps(seed);
    TASIOHost host;
    auto on32 = [](TObject*, TSingleChannelArrays& in, TSingleChannelArrays& out) {
      for (size_t c = 0; c < out.ChannelCount(); ++c)
        for (size_t i = 0; i < out.SampleCount(); ++i)
          out[c][i] = in.ChannelCount() ? in[0][i] * 2 : 0.5f;
    };
    auto on64 = [](TObject*, TDoubleChannelArrays& in, TDoubleChannelArrays& out) {
      for (size_t c = 0; c < out.ChannelCount() && c < in.ChannelCount(); ++c)
        std::copy_n(in[c], in.SampleCount(), out[c]);
    };
    host.SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
    if (steps() % 2) host.SetOnBufferSwitch64(TBufferSwitchEvent64::FromCallable(&on64));
    host.InputMonitor = static_cast<TInputMonitor>(steps() % 4);
    host.PreFillOutBuffer = static_cast<TBufferPreFill>(steps() % 3);
    host.SetPreventClipping(static_cast<TPreventClipping>(steps() % 3));
    host.SetDriverName(name);
    host.SetActive(true);
    for (int step = 0; step < 6; ++step) {
      switch (steps() % 8) {
        case 0:
          try {
            host.Reset();
          } catch (const EAsioHost&) {
          }
          break;
        case 1:
          host.ControlPanel();
          break;
        case 2:
          host.SetActive(!host.GetActive());
          break;
        case 3:
          host.SetDriverIndex(-1);
          host.SetDriverName(name);
          host.SetActive(true);
          break;
        case 4:
          try {
            host.ServicePendingRequests();
          } catch (const EAsioHost&) {
          }
          break;
        case 5:
          host.SetSampleRate(48000.0);
          break;
        default:
          platform::WaitAndPumpMessages(5);
          break;
      }
      ASSERT_LE(host.GetOutputChannelCount(), kMaxChannelCount);
      ASSERT_LE(host.GetInputChannelCount(), kMaxChannelCount);
      ASSERT_LE(host.SingleOutBuffer().ChannelCount() * host.SingleOutBuffer().SampleCount(),
                kMaxChannelSamples);
    }
    platform::WaitAndPumpMessages(5);
  }
};

// Case n takes its share of the seeds; with PARTILOOM_HOSTILE_SEEDS set, case 0 runs them all.
TEST_P(HostileDriver, TheHostSurvivesEverySeed) {
  const bool chosen = std::getenv("PARTILOOM_HOSTILE_SEEDS") != nullptr;
  if (chosen && GetParam() != 0) GTEST_SKIP() << "case 0 runs the chosen seeds";
  const uint32_t first = FromEnvironment("PARTILOOM_HOSTILE_FIRST_SEED", 1) +
                         (chosen ? 0 : GetParam() * kSeedsPerCase);
  const uint32_t seeds = FromEnvironment("PARTILOOM_HOSTILE_SEEDS", kSeedsPerCase);
  const GUID class_id = TestClassId(GetParam());
  const std::string name = "Partiloom Hostile " + platform::ClassIdToString(class_id);
  // One driver runs the steady clock, the other switches back to back.
  DriverConfig steady;
  steady.clock_speed = 8.0;
  DriverConfig fast;
  fast.clock = ClockMode::Fast;
  const GUID fast_id = [&] {
    GUID id = class_id;
    id.Data2 ^= 1;
    return id;
  }();
  const std::string fast_name = name + " Fast";
  ScopedDriver steady_driver(name, class_id, steady);
  ScopedDriver fast_driver(fast_name, fast_id, fast);
  ASSERT_TRUE(steady_driver.Installed());
  ASSERT_TRUE(fast_driver.Installed());
  DriverControl steady_control(class_id), fast_control(fast_id);
  ASSERT_TRUE(steady_control.Loaded());
  for (uint32_t seed = first; seed < first + seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    if (seed % 3 == 0)
      RunSeed(seed, steady_control, name);
    else
      RunSeed(seed, fast_control, fast_name);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileDriver, ::testing::Range(0u, kCases));

}  // namespace
