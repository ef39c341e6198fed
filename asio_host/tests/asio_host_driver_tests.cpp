// The host against the project's test driver, created as an installed driver is: listed from
// the registry and made through the system's in-process object creation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "asio_host/asio_host.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"
#include "tools/asio_driver/test_driver.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;
using asio_test::DriverControl;
using asio_test::Failure;
using asio_test::ScopedDriver;

// A class id and name of this test's own: tests running at once share the Windows registry.
GUID TestClassId() {
  GUID id = {0x7A5E0C31, 0x2B4D, 0x4F6A, {0x8E, 0x1C, 0, 0, 0, 0, 0, 0}};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const uint32_t hash = static_cast<uint32_t>(std::hash<std::string>()(info->name()));
  std::memcpy(id.Data4 + 2, &hash, 4);
  const uint32_t now = platform::TickCount();
  std::memcpy(id.Data4 + 6, &now, 2);
  return id;
}

class HostWithDriver : public RegistryTest {
 protected:
  void Install(const DriverConfig& config) {
    class_id_ = TestClassId();
    name_ = "Partiloom Host Test " + platform::ClassIdToString(class_id_);
    driver_ = std::make_unique<ScopedDriver>(name_, class_id_, config);
    ASSERT_TRUE(driver_->Installed());
    control_ = std::make_unique<DriverControl>(class_id_);
    ASSERT_TRUE(control_->Loaded());
  }
  void TearDown() override {
    control_.reset();
    driver_.reset();
    RegistryTest::TearDown();
  }
  int32_t IndexOf(const TCustomASIOHostBasic& host) const {
    const auto& list = host.DriverList();
    auto found = std::find(list.begin(), list.end(), name_);
    return found == list.end() ? -1 : static_cast<int32_t>(found - list.begin());
  }

  GUID class_id_{};
  std::string name_;
  std::unique_ptr<ScopedDriver> driver_;
  std::unique_ptr<DriverControl> control_;
};

TEST_F(HostWithDriver, IsListedOpenedByIndexAndByNameStartedAndStopped) {
  DriverConfig config;
  config.clock = ClockMode::Steady;
  config.version = 42;
  Install(config);
  TCustomASIOHostBasic host;
  const int32_t index = IndexOf(host);
  ASSERT_GE(index, 0) << "the installed driver is listed";

  std::atomic<int> switches{0};
  std::atomic<int64_t> last_position{-1};
  auto on_switch = [&switches](TObject*, PASIOBufferList list, int32_t half) {
    if (list && (half == 0 || half == 1)) ++switches;
  };
  auto on_position = [&last_position](TObject*, int64_t position) { last_position = position; };
  host.OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&on_switch);
  host.OnUpdateSamplePos = TSamplePositionUpdateEvent::FromCallable(&on_position);

  host.SetDriverIndex(index);
  EXPECT_EQ(host.GetDriverName(), name_);
  EXPECT_EQ(host.GetDriverVersion(), 42);
  EXPECT_EQ(host.GetBufferSize(), 256u);
  EXPECT_EQ(host.GetOutputChannelCount(), 2);
  EXPECT_STREQ(host.OutputChannelInfos()[1].name, "Output 2");
  EXPECT_EQ(host.GetOutputLatency(), 512);
  EXPECT_EQ(control_->LiveObjects(), 1);

  host.SetActive(true);
  ASSERT_TRUE(host.GetActive());
  EXPECT_TRUE(control_->WaitForSwitches(20));
  host.SetActive(false);
  EXPECT_GE(switches.load(), 20);
  EXPECT_GE(last_position.load(), 19 * 256);
  const int after_stop = switches.load();
  platform::SleepMilliseconds(30);
  EXPECT_EQ(switches.load(), after_stop) << "a stopped driver switches no more";

  host.SetDriverIndex(-1);
  EXPECT_EQ(control_->LiveObjects(), 0);
  host.SetDriverName(name_);
  EXPECT_EQ(host.GetDriverIndex(), index);
  EXPECT_EQ(control_->LiveObjects(), 1);
  host.SetActive(true);
  EXPECT_TRUE(host.GetActive());
}

// The driver asks for a reset from its own thread while it plays; the host reopens it on its
// own thread once the request has returned, and plays on.
TEST_F(HostWithDriver, AResetRequestDuringPlaybackReopensTheDriverAThousandTimes) {
  DriverConfig config;
  config.clock = ClockMode::Fast;
  Install(config);
  TCustomASIOHostBasic host;
  const auto host_thread = std::this_thread::get_id();
  int resets = 0;
  bool reset_on_host_thread = true;
  auto on_reset = [&](TObject*) {
    ++resets;
    reset_on_host_thread &= std::this_thread::get_id() == host_thread;
  };
  host.OnReset = TNotifyEvent::FromCallable(&on_reset);
  host.SetDriverIndex(IndexOf(host));
  host.SetActive(true);
  ASSERT_TRUE(host.GetActive());

  for (int round = 0; round < 1000; ++round) {
    const int64_t switched = control_->SwitchCount();
    ASSERT_EQ(control_->SendMessage(kAsioResetRequest), std::optional<int32_t>(1)) << round;
    for (int wait = 0; wait < 200 && resets == round; ++wait) platform::WaitAndPumpMessages(10);
    ASSERT_EQ(resets, round + 1) << "the request reached the host's thread";
    ASSERT_TRUE(host.GetActive()) << round;
    ASSERT_TRUE(control_->WaitForSwitches(switched + 2, 5000)) << "plays on after round " << round;
  }
  EXPECT_TRUE(reset_on_host_thread);
  EXPECT_EQ(control_->LiveObjects(), 1);
  EXPECT_EQ(control_->CallCount("init"), 1001);
}

// Faults and foreign exceptions in the calls whose failures the host passes over.
TEST_F(HostWithDriver, ADriverThatFaultsInStopOrDisposeBuffersNeverTakesTheHostDown) {
  DriverConfig config;
  config.clock = ClockMode::Fast;
  Install(config);
  TCustomASIOHostBasic host;
  int switches = 0;
  auto on_switch = [&switches](TObject*, PASIOBufferList, int32_t) { ++switches; };
  host.OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&on_switch);
  const int32_t index = IndexOf(host);
  for (Failure failure : {Failure::Fault, Failure::Raise}) {
    host.SetDriverIndex(index);
    host.SetActive(true);
    ASSERT_TRUE(host.GetActive());
    ASSERT_TRUE(control_->WaitForSwitches(control_->SwitchCount() + 5));
    control_->SetFailure("stop", failure);
    control_->SetFailure("disposeBuffers", failure);
    // The driver fails to stop and keeps switching while the host takes its buffers down.
    host.SetActive(false);
    EXPECT_FALSE(host.GetActive());
    host.SetDriverIndex(-1);
    EXPECT_EQ(control_->LiveObjects(), 0);
    control_->SetFailure("stop", Failure::None);
    control_->SetFailure("disposeBuffers", Failure::None);
  }
  control_->SetFailure("start", Failure::Fault);
  host.SetDriverIndex(index);
  host.SetActive(true);
  EXPECT_FALSE(host.GetActive());
  control_->SetFailure("init", Failure::Fault);
  host.SetDriverIndex(-1);
  host.SetDriverIndex(index);
  EXPECT_EQ(control_->LiveObjects(), 0) << "a driver that faults in init is let go";

  // None of it went unrecorded: each kind under the driver's name and the call.
  const platform::FaultSourceId source = platform::RegisterFaultSource(name_);
  using platform::FaultKind;
  for (const char* call : {"stop", "disposeBuffers", "start", "init"})
    EXPECT_GT(platform::FaultCount(FaultKind::DriverFault, source, call), 0u) << call;
}

TEST_F(HostWithDriver, AnUnregisteredClassGivesNoDriver) {
  GUID id = TestClassId();
  IVunoASIO* driver = nullptr;
  EXPECT_FALSE(CreateVunoASIO(id, driver));
  EXPECT_EQ(driver, nullptr);
}

}  // namespace
