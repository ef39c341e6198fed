#include <gtest/gtest.h>

#include <mutex>

#include "asio_host/bench/host_switch_case.h"
#include "asio_host/tests/asio_registry_test.h"
#include "asio_host/tests/switch_budget.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"

namespace {

using SwitchBudget = AsioRegistryTest;

// The audio path: ten thousand switches allocate nothing, take no lock and (on Windows)
// call nothing outside the program at all.
TEST_F(SwitchBudget, TenThousandSwitchesAllocateNothingAndTakeNoLock) {
  switch_budget::Install();
  HostSwitchCase plain;
  ASSERT_TRUE(plain.Open(Base()));
  switch_budget::Begin();
  for (int i = 0; i < 10000; ++i) plain.Switch();
  EXPECT_EQ(switch_budget::End(), std::vector<std::string>{});
  EXPECT_EQ(plain.driver.output_ready, 10000);
  // The switches did their work: output 3 holds input 1's ramp (-1 ... 127/128) as Int24LSB.
  const uint8_t* out = plain.Output(1, 3);
  EXPECT_EQ(out[2], 0x80);
  EXPECT_EQ(out[3 * 255 + 2], 0x7E);
  plain.Close();
}

// Every per-block option at once, on the double path too.
TEST_F(SwitchBudget, EveryOptionOnStillAllocatesNothingAndTakesNoLock) {
  switch_budget::Install();
  HostSwitchCase busy;
  ASSERT_TRUE(busy.Open(Base()));
  TASIOGenerator generator;
  busy.host->SetCustomGenerator(&generator);
  busy.host->PreFillInBuffer = bpfNoise;
  busy.host->PreFillOutBuffer = bpfCustom;
  busy.host->InputMonitor = imStereo;
  busy.host->SetPreventClipping(pcAnalog);
  int64_t positions = 0;
  auto on_position = [&positions](TObject*, int64_t) { ++positions; };
  busy.host->OnUpdateSamplePos = TSamplePositionUpdateEvent::FromCallable(&on_position);
  switch_budget::Begin();
  for (int i = 0; i < 10000; ++i) busy.Switch();
  EXPECT_EQ(switch_budget::End(), std::vector<std::string>{});

  auto on64 = [](TObject*, TDoubleChannelArrays& in, TDoubleChannelArrays& out) {
    for (size_t c = 0; c < out.ChannelCount(); ++c)
      std::copy_n(in[c % 2], in.SampleCount(), out[c]);
  };
  busy.host->SetOnBufferSwitch64(TBufferSwitchEvent64::FromCallable(&on64));
  busy.host->PreFillInBuffer = bpfZero;
  busy.host->SetPreventClipping(pcDigital);
  switch_budget::Begin();
  for (int i = 0; i < 10000; ++i) busy.Switch();
  EXPECT_EQ(switch_budget::End(), std::vector<std::string>{});
  EXPECT_EQ(positions, 20000);
  busy.Close();
}

// A driver that calls again while its switch runs: each call is turned away and counted in
// the fault log, still without allocation, lock or call outside the program.
TEST_F(SwitchBudget, SwitchesTurnedAwayWhileOneRunsAreCountedWithinTheBudget) {
  switch_budget::Install();
  HostSwitchCase overrun;
  ASSERT_TRUE(overrun.Open(Base()));
  auto call_again = [&overrun](TObject*, TSingleChannelArrays&, TSingleChannelArrays&) {
    overrun.Switch();
  };
  overrun.host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&call_again));
  const platform::FaultSourceId source = platform::RegisterFaultSource("Switch");
  auto overruns = [source] {
    return platform::FaultCount(platform::FaultKind::RefusedAnswer, source,
                                "bufferSwitch while one ran");
  };
  const uint32_t before = overruns();
  switch_budget::Begin();
  for (int i = 0; i < 10000; ++i) overrun.Switch();
  EXPECT_EQ(switch_budget::End(), std::vector<std::string>{});
  EXPECT_EQ(overruns() - before, 10000u);
  EXPECT_EQ(overrun.driver.output_ready, 10000);
  overrun.Close();
}

// A driver's reports may come from threads the system does not know: asioMessage and
// sampleRateDidChange call nothing outside the program (on Windows: nothing through its
// import table), and what they ask for happens on the host's thread afterwards.
TEST_F(SwitchBudget, DriverRequestsCallNothingOutsideTheProgramAndWaitForTheHostsThread) {
  switch_budget::Install();
  HostSwitchCase running;
  ASSERT_TRUE(running.Open(Base()));
  std::vector<std::string> fired;
  auto on_reset = [&fired](TObject*) { fired.push_back("reset"); };
  auto on_latency = [&fired](TObject*) { fired.push_back("latency"); };
  auto on_rate = [&fired](TObject*) { fired.push_back("rate"); };
  running.host->OnReset = TNotifyEvent::FromCallable(&on_reset);
  running.host->OnLatencyChanged = TNotifyEvent::FromCallable(&on_latency);
  running.host->OnSampleRateChanged = TNotifyEvent::FromCallable(&on_rate);
  ASIOCallbacks* callbacks = running.driver.callbacks;
  const int creations = running.host->creations;
  int32_t answers = 0;
  switch_budget::Begin();
  for (int32_t selector : {kAsioResetRequest, kAsioBufferSizeChange, kAsioLatenciesChanged})
    answers += callbacks->asioMessage(selector, 0, nullptr, nullptr);
  callbacks->sampleRateDidChange(96000.0);
  EXPECT_EQ(switch_budget::End(), std::vector<std::string>{});
  EXPECT_EQ(answers, 3);
  EXPECT_TRUE(fired.empty()) << "nothing happened inside the driver's calls";
  EXPECT_EQ(running.host->creations, creations);

  for (int i = 0; i < 100 && fired.empty(); ++i) platform::WaitAndPumpMessages(10);
  EXPECT_EQ(running.host->creations, creations + 1) << "the requests were served by one reset";
  EXPECT_EQ(fired, (std::vector<std::string>{"latency", "reset", "rate"}));
  EXPECT_TRUE(running.host->GetActive());
  running.Close();
}

// The watch itself: a handler that allocates and locks is caught at both.
TEST_F(SwitchBudget, TheWatchSeesAnAllocationAndALock) {
  switch_budget::Install();
  HostSwitchCase careless;
  ASSERT_TRUE(careless.Open(Base()));
  std::mutex mutex;
  auto on32 = [&mutex](TObject*, TSingleChannelArrays&, TSingleChannelArrays&) {
    std::lock_guard lock(mutex);
    std::vector<float>* scratch = new std::vector<float>(16);
    delete scratch;
  };
  careless.host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  switch_budget::Begin();
  careless.Switch();
  const std::vector<std::string> seen = switch_budget::End();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], "operator new x 2");
  careless.Close();
}

}  // namespace
