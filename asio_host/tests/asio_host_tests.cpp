#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <thread>

#include "asio_host/asio_host.h"
#include "asio_host/tests/asio_registry_test.h"
#include "asio_host/tests/fake_asio_driver.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"

namespace {

using Host = TestHost<TCustomASIOHostBasic>;

// Counts the host's notifications in the order they came.
struct Events {
  std::vector<std::string> fired;
  std::vector<int64_t> positions;
  std::vector<int32_t> switches;
  PASIOBufferList last_list = nullptr;
  bool throw_in_switch = false;

  void Bind(TCustomASIOHostBasic& host) {
    host.OnDriverChanged = TNotifyEvent::FromCallable(&driver_changed);
    host.OnReset = TNotifyEvent::FromCallable(&reset);
    host.OnLatencyChanged = TNotifyEvent::FromCallable(&latency);
    host.OnSampleRateChanged = TNotifyEvent::FromCallable(&rate);
    host.OnBuffersCreate = TNotifyEvent::FromCallable(&created);
    host.OnBuffersDestroy = TNotifyEvent::FromCallable(&destroyed);
    host.OnUpdateSamplePos = TSamplePositionUpdateEvent::FromCallable(&position);
    host.OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&buffer_switch);
  }
  int Count(const std::string& name) const {
    return static_cast<int>(std::count(fired.begin(), fired.end(), name));
  }

  std::function<void(TObject*)> driver_changed = [this](TObject*) { fired.push_back("driver"); };
  std::function<void(TObject*)> reset = [this](TObject*) { fired.push_back("reset"); };
  std::function<void(TObject*)> latency = [this](TObject*) { fired.push_back("latency"); };
  std::function<void(TObject*)> rate = [this](TObject*) { fired.push_back("rate"); };
  std::function<void(TObject*)> created = [this](TObject*) { fired.push_back("create"); };
  std::function<void(TObject*)> destroyed = [this](TObject*) { fired.push_back("destroy"); };
  std::function<void(TObject*, int64_t)> position = [this](TObject*, int64_t p) {
    fired.push_back("position");
    positions.push_back(p);
  };
  std::function<void(TObject*, PASIOBufferList, int32_t)> buffer_switch =
      [this](TObject*, PASIOBufferList list, int32_t index) {
        fired.push_back("switch");
        last_list = list;
        switches.push_back(index);
        if (throw_in_switch) throw std::runtime_error("handler failed");
      };
};

class AsioHost : public AsioRegistryTest {
 protected:
  void SetUp() override {
    AsioRegistryTest::SetUp();
    Register("Alpha", ClassIdText(1));
    Register("Beta", ClassIdText(2));
  }
  std::unique_ptr<Host> MakeHost() {
    auto host = std::make_unique<Host>(
        Place(), std::map<std::string, FakeAsioDriver*>{{"Alpha", &alpha}, {"Beta", &beta}});
    events.Bind(*host);
    return host;
  }
  FakeAsioDriver alpha, beta;
  Events events;
};

TEST_F(AsioHost, WithoutDriversTheListIsEmptyAndNothingStarts) {
  AsioRegistryTest::TearDown();
  AsioRegistryTest::SetUp();  // a registry without the two drivers
  Host host(Place(), {});
  EXPECT_TRUE(host.DriverList().empty());
  EXPECT_EQ(host.GetNumDrivers(), 0);
  EXPECT_EQ(host.GetDriverIndex(), -1);
  host.SetActive(true);
  EXPECT_FALSE(host.GetActive());
  host.SetDriverIndex(3);
  EXPECT_EQ(host.GetDriverIndex(), -1);
  EXPECT_EQ(host.CanSampleRate(44100.0), ASE_NotPresent);
  EXPECT_EQ(host.GetInputMeter(0), -1);
  EXPECT_EQ(host.GetOutputMeter(0), -1);
  EXPECT_EQ(host.GetSampleRate(), 44100.0);
}

TEST_F(AsioHost, TheLatestHostServesTheCallbacksUntilItGoes) {
  auto first = MakeHost();
  EXPECT_EQ(ActiveHost(), first.get());
  {
    auto second = MakeHost();
    EXPECT_EQ(ActiveHost(), second.get());
  }
  EXPECT_EQ(ActiveHost(), nullptr);
  first.reset();
  EXPECT_EQ(ActiveHost(), nullptr);
}

TEST_F(AsioHost, OpensADriverByNameAndAsksItForEverything) {
  beta.capabilities = {kAsioCanTimeInfo, kAsioCanOutputMeter};
  beta.sample_rate = 96000.0;
  beta.inputs = 3;
  beta.outputs = 5;
  auto host = MakeHost();
  ASSERT_EQ(host->DriverList(), (std::vector<std::string>{"Alpha", "Beta"}));
  host->SetDriverName("bETA");
  EXPECT_EQ(host->GetDriverIndex(), 1);
  EXPECT_EQ(host->GetDriverName(), "Beta");
  ASSERT_TRUE(host->Driver);
  EXPECT_TRUE(host->BuffersCreated);
  EXPECT_EQ(beta.init_handle, host->Handle());
  EXPECT_NE(host->Handle(), nullptr);
  EXPECT_EQ(host->GetDriverVersion(), 7);
  EXPECT_TRUE(host->GetCanDos() == TASIOCanDos({acdTimeInfo, acdOutputMeter}));
  EXPECT_EQ(host->GetSampleRate(), 96000.0);
  EXPECT_EQ(host->ASIOTime().GetSampleRate(), 96000.0);
  EXPECT_EQ(beta.last_set_rate, 96000.0);
  EXPECT_EQ(host->GetInputChannelCount(), 3);
  EXPECT_EQ(host->GetOutputChannelCount(), 5);
  EXPECT_EQ(host->GetInputLatency(), 300);
  EXPECT_EQ(host->GetOutputLatency(), 400);
  EXPECT_EQ(events.fired, (std::vector<std::string>{"create", "latency", "driver"}));

  // The buffer records: 16-byte aligned, inputs first, each channel numbered within its kind.
  ASSERT_EQ(beta.created_channels, 8);
  EXPECT_EQ(beta.created_infos, host->InputBufferInfos);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(host->InputBufferInfos) % 16, 0u);
  EXPECT_EQ(host->OutputBufferInfos, host->InputBufferInfos + 3);
  EXPECT_EQ(host->OutputBufferInfos[4].channelNum, 4);
  EXPECT_EQ(host->OutputBufferInfos[4].isInput, ASIOFalse);
  EXPECT_EQ(host->InputBufferInfos[2].isInput, ASIOTrue);
  ASSERT_EQ(host->OutputChannelInfos().size(), 5u);
  EXPECT_STREQ(host->OutputChannelInfos()[4].name, "Out 5");
  EXPECT_EQ(beta.callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr), 2);

  host->SetDriverName("Gamma");  // not in the list: nothing happens
  EXPECT_EQ(host->GetDriverIndex(), 1);
  EXPECT_EQ(beta.Count("init"), 1);
}

TEST_F(AsioHost, ClampsTheIndexAndReopensTheLastDriverWhenAskedPastTheEnd) {
  auto host = MakeHost();
  host->SetDriverIndex(1);
  EXPECT_EQ(beta.Count("init"), 1);
  host->SetDriverIndex(9);
  EXPECT_EQ(host->GetDriverIndex(), 1);
  EXPECT_EQ(beta.Count("init"), 2) << "reopened although already selected";
  EXPECT_EQ(beta.references, 1);
  host->SetDriverIndex(-5);
  EXPECT_EQ(host->GetDriverIndex(), -1);
  EXPECT_EQ(host->GetDriverName(), "");
  EXPECT_FALSE(host->Driver);
  EXPECT_EQ(beta.references, 0);
  EXPECT_EQ(host->GetBufferSize(), 0u);
  EXPECT_EQ(host->GetOutputChannelCount(), 0);
}

TEST_F(AsioHost, TakesTheBufferSizeFromTheDriverAndFallsBackForNonsense) {
  alpha.minimum = alpha.maximum = 256;
  alpha.preferred = 512;
  auto host = MakeHost();
  host->SetDriverIndex(0);
  EXPECT_EQ(host->GetBufferPreferredSize(), 256);
  EXPECT_EQ(host->GetBufferSize(), 256u);
  EXPECT_EQ(alpha.created_size, 256);

  for (int32_t preferred : {0, 70000, -3}) {
    beta.preferred = preferred;
    host->SetDriverIndex(1);
    EXPECT_EQ(host->GetBufferSize(), 4096u) << preferred;
    EXPECT_EQ(beta.created_size, preferred) << "the driver is still asked for its own size";
    host->SetDriverIndex(-1);
  }
}

TEST_F(AsioHost, KeepsTheSampleRateSaneAndNeverAsksTheDriverForNonsense) {
  alpha.set_rate_runs = true;
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetSampleRate(44100.0);
  ASSERT_EQ(host->GetSampleRate(), 44100.0);
  const int sets = alpha.Count("setSampleRate");
  for (double rate : {0.0, 2000000.0, -1.0, std::nan("")}) {
    host->SetSampleRate(rate);
    EXPECT_EQ(host->GetSampleRate(), 44100.0) << rate;
    EXPECT_EQ(host->ASIOTime().GetSampleRate(), 44100.0) << rate;
  }
  EXPECT_EQ(alpha.Count("setSampleRate"), sets);
  host->SetSampleRate(48000.0);
  EXPECT_EQ(host->GetSampleRate(), 48000.0);
  EXPECT_EQ(host->CanSampleRate(48000.0), ASE_OK);
  EXPECT_EQ(host->CanSampleRate(12000.0), ASE_NoClock);

  // Without a driver the value asked for is kept, a nonsense one as the default.
  host->SetDriverIndex(-1);
  host->SetSampleRate(22050.0);
  EXPECT_EQ(host->GetSampleRate(), 22050.0);
  EXPECT_EQ(host->ASIOTime().GetSampleRate(), 22050.0);
  host->SetSampleRate(-1.0);
  EXPECT_EQ(host->GetSampleRate(), 44100.0);
}

// The host holds the rate the driver runs at, whatever the driver answered on the way.
TEST_F(AsioHost, HoldsTheRateTheDriverReallyRuns) {
  const platform::FaultSourceId source = platform::RegisterFaultSource("Alpha");
  struct Case {
    const char* driver;
    std::vector<double> rates;
    ASIOError set_answer;
    bool set_runs;
    double expected;  // asked for 44,100 Hz, running at 48,000 Hz
  };
  const Case cases[] = {
      {"takes the rate", {44100.0, 48000.0}, ASE_OK, true, 44100.0},
      {"cannot run it", {48000.0}, ASE_OK, true, 48000.0},
      {"refuses it in setSampleRate", {44100.0, 48000.0}, ASE_HWMalfunction, true, 48000.0},
      {"answers OK and stays", {44100.0, 48000.0}, ASE_OK, false, 48000.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver);
    FakeAsioDriver driver;
    driver.rates = c.rates;
    driver.set_rate_answer = c.set_answer;
    driver.set_rate_runs = c.set_runs;
    Host host(Place(), {{"Alpha", &driver}});
    host.SetDriverIndex(0);
    const uint32_t faults_before =
        platform::FaultCount(platform::FaultKind::FailedCall, source, "getSampleRate") +
        platform::FaultCount(platform::FaultKind::RefusedAnswer, source, "getSampleRate");
    host.SetSampleRate(44100.0);
    EXPECT_EQ(host.GetSampleRate(), c.expected);
    EXPECT_EQ(host.ASIOTime().GetSampleRate(), c.expected);
    EXPECT_EQ(driver.Count("setSampleRate"), c.rates.size() == 1 ? 1 : 2)
        << "a rate the driver cannot run is not asked for";
    EXPECT_EQ(platform::FaultCount(platform::FaultKind::FailedCall, source, "getSampleRate") +
                  platform::FaultCount(platform::FaultKind::RefusedAnswer, source, "getSampleRate"),
              faults_before)
        << "a driver that declines a rate is not at fault";
  }
}

TEST_F(AsioHost, StoppingSilencesBothHalvesOfEveryBufferForItsSampleWidth) {
  alpha.inputs = 1;
  alpha.input_types = {20};       // Float64LSB: 8 bytes
  alpha.output_types = {17, 17};  // Int24LSB: 3 bytes
  alpha.minimum = alpha.maximum = alpha.preferred = 256;
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  EXPECT_TRUE(host->GetActive());
  host->SetActive(false);
  EXPECT_FALSE(host->GetActive());
  EXPECT_EQ(alpha.Count("stop"), 1);
  for (int half = 0; half < 2; ++half) {
    for (size_t channel : {1u, 2u}) {
      const uint8_t* bytes = alpha.Buffer(half, channel);
      EXPECT_EQ(std::count(bytes, bytes + 768, 0), 768) << half << "/" << channel;
      EXPECT_EQ(bytes[768], 0xAB) << "nothing past the block";
    }
    const uint8_t* input = alpha.Buffer(half, 0);
    EXPECT_EQ(std::count(input, input + 2048, 0), 2048);
    EXPECT_EQ(input[2048], 0xAB);
  }
}

TEST_F(AsioHost, ADriverThatCannotBeMadeOrRefusesInitLeavesTheHostWithoutDriver) {
  auto host = MakeHost();
  host->fail_creation = true;
  host->SetDriverIndex(0);
  EXPECT_EQ(host->GetDriverIndex(), 0) << "the selection stays";
  EXPECT_EQ(host->GetDriverName(), "Alpha");
  EXPECT_FALSE(host->Driver);
  EXPECT_EQ(events.Count("driver"), 0);
  host->SetActive(true);
  EXPECT_FALSE(host->GetActive());
  try {
    host->Reset();
    FAIL() << "no exception";
  } catch (const EAsioHost& e) {
    EXPECT_STREQ(e.what(), "ASIO Driver Failed!");
  }

  host->fail_creation = false;
  beta.init_answer = ASIOFalse;
  host->SetDriverIndex(1);
  EXPECT_FALSE(host->Driver);
  EXPECT_EQ(beta.references, 0) << "a refusing driver is released";
  beta.init_answer = -1;
  host->SetDriverIndex(0);
  host->SetDriverIndex(1);
  EXPECT_FALSE(host->Driver);
}

TEST_F(AsioHost, ADriverThatFaultsInInitStartStopOrDisposeNeverTakesTheHostDown) {
  alpha.fault_in_init = true;
  auto host = MakeHost();
  host->SetDriverIndex(0);
  EXPECT_FALSE(host->Driver);
  EXPECT_EQ(alpha.references, 0);

  beta.fault_in_start = true;
  host->SetDriverIndex(1);
  ASSERT_TRUE(host->Driver);
  host->SetActive(true);
  EXPECT_FALSE(host->GetActive());
  EXPECT_EQ(host->GetSampleRate(), 44100.0);
  EXPECT_EQ(beta.Count("stop"), 1) << "a failed start is followed by a stop";

  beta.fault_in_start = false;
  beta.fault_in_stop = true;
  beta.fault_in_dispose = true;
  host->SetActive(true);
  EXPECT_TRUE(host->GetActive());
  host->SetDriverIndex(-1);  // stop, dispose, release: the first two fault
  EXPECT_FALSE(host->GetActive());
  EXPECT_FALSE(host->Driver);
  EXPECT_FALSE(host->BuffersCreated);
  EXPECT_EQ(beta.references, 0);
  EXPECT_EQ(beta.Count("disposeBuffers"), 1);

  beta.fault_in_stop = false;
  beta.throw_in_stop = true;
  host->SetDriverIndex(1);
  host->SetActive(true);
  host->SetActive(false);
  EXPECT_FALSE(host->GetActive());
}

// The messages without a side effect, by selector (the requests that reopen the driver or
// ask for latencies have tests of their own).
TEST_F(AsioHost, AnswersDriverMessagesByTheTable) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  auto message = alpha.callbacks->asioMessage;
  constexpr int32_t kNoSelector = 0;
  const struct {
    int32_t selector;
    bool supported;
  } kSupport[] = {
      {kNoSelector, false},
      {kAsioSelectorSupported, false},
      {kAsioEngineVersion, true},
      {kAsioResetRequest, true},
      {kAsioBufferSizeChange, false},
      {kAsioResyncRequest, true},
      {kAsioLatenciesChanged, true},
      {kAsioSupportsTimeInfo, true},
      {kAsioSupportsTimeCode, true},
      {kAsioMMCCommand, false},
      {kAsioSupportsInputMonitor, false},
      {kAsioOverload, false},
  };
  for (const auto& row : kSupport)
    EXPECT_EQ(message(kAsioSelectorSupported, row.selector, nullptr, nullptr),
              row.supported ? 1 : 0)
        << "kAsioSelectorSupported asked about " << row.selector;

  constexpr int32_t kEngineVersion = 2;
  const struct {
    int32_t selector;
    int32_t answer;
  } kAnswers[] = {
      {kNoSelector, 0},           {kAsioEngineVersion, kEngineVersion}, {kAsioResyncRequest, 0},
      {kAsioSupportsTimeInfo, 1}, {kAsioSupportsTimeCode, 0},           {kAsioMMCCommand, 0},
      {kAsioOverload, 0},
  };
  for (const auto& row : kAnswers)
    EXPECT_EQ(message(row.selector, 0, nullptr, nullptr), row.answer) << row.selector;
  EXPECT_EQ(alpha.Count("init"), 1) << "none of these reopens the driver";
}

TEST_F(AsioHost, AResetRequestReopensTheRunningDriverOnTheHostsThreadAfterTheCallReturned) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  events.fired.clear();
  for (int32_t selector : {kAsioResetRequest, kAsioBufferSizeChange}) {
    const int creations = host->creations;
    EXPECT_EQ(alpha.callbacks->asioMessage(selector, 0, nullptr, nullptr), 1);
    EXPECT_EQ(host->creations, creations) << "nothing happens inside the driver's call";
    for (int i = 0; i < 20 && host->creations == creations; ++i) platform::WaitAndPumpMessages(50);
    EXPECT_EQ(host->creations, creations + 1);
    EXPECT_TRUE(host->GetActive()) << "a running driver runs again";
  }
  EXPECT_EQ(events.Count("reset"), 2);
  EXPECT_EQ(alpha.Count("start"), 3);
  EXPECT_EQ(alpha.references, 1);
}

TEST_F(AsioHost, AResetThatCannotReopenLeavesTheHostWithoutDriver) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->fail_creation = true;
  alpha.callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  for (int i = 0; i < 20 && host->Driver; ++i) platform::WaitAndPumpMessages(50);
  EXPECT_FALSE(host->Driver);
  EXPECT_EQ(events.Count("reset"), 0);
  EXPECT_EQ(host->GetDriverIndex(), 0) << "the selection stays";

  // The device is back: choosing the same driver again opens it, by position or by name.
  host->fail_creation = false;
  host->SetDriverIndex(0);
  ASSERT_TRUE(host->Driver);
  EXPECT_EQ(events.Count("driver"), 2);
  host->Reset();
  host->fail_creation = true;
  EXPECT_THROW(host->Reset(), EAsioHost);
  host->fail_creation = false;
  host->SetDriverName("alpha");
  EXPECT_TRUE(host->Driver);
  EXPECT_EQ(alpha.references, 1);
}

// Pumps the host's thread until `done` or a second has passed.
template <typename Done>
bool PumpUntil(Done done) {
  for (int i = 0; i < 100 && !done(); ++i) platform::WaitAndPumpMessages(10);
  return done();
}

// The driver may report from a thread the system does not know: the host asks for the
// latencies and fires its events on its own thread, once the driver's call has returned.
TEST_F(AsioHost, ReportsLatencyAndRateChangesOnTheHostsThreadAfterTheCallReturned) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  events.fired.clear();
  alpha.input_latency = 11;
  alpha.output_latency = 22;
  EXPECT_EQ(alpha.callbacks->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr), 1);
  alpha.callbacks->sampleRateDidChange(96000.0);
  EXPECT_TRUE(events.fired.empty()) << "nothing happens inside the driver's calls";
  EXPECT_EQ(host->GetInputLatency(), 300);
  host->ServicePendingRequests();
  EXPECT_EQ(host->GetInputLatency(), 11);
  EXPECT_EQ(host->GetOutputLatency(), 22);
  EXPECT_EQ(events.fired, (std::vector<std::string>{"latency", "rate"}));
  EXPECT_EQ(host->GetSampleRate(), 48000.0) << "the reported rate is not taken over";
  // The hidden window's tick serves them as well.
  alpha.callbacks->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
  EXPECT_TRUE(PumpUntil([&] { return events.Count("latency") == 2; }));
}

// A driver whose rate cannot be read back leaves the rate the host already had reason to
// believe: the one asked for when the driver took it, else the previous one. Each such read
// is recorded once.
TEST_F(AsioHost, AReadBackThatFailsOrAnswersNonsenseIsRecordedOnceAndChangesNothingElse) {
  const platform::FaultSourceId source = platform::RegisterFaultSource("Alpha");
  using platform::FaultKind;
  struct Case {
    const char* driver;
    std::vector<double> rates;
    ASIOError get_answer;
    double answered;
    FaultKind kind;
    double expected;  // asked for 44,100 Hz, opened at 48,000 Hz
  };
  const Case cases[] = {
      {"fails in getSampleRate",
       {44100.0, 48000.0},
       ASE_HWMalfunction,
       0.0,
       FaultKind::FailedCall,
       44100.0},
      {"answers 0", {44100.0, 48000.0}, ASE_OK, 0.0, FaultKind::RefusedAnswer, 44100.0},
      {"answers a negative rate",
       {44100.0, 48000.0},
       ASE_OK,
       -48000.0,
       FaultKind::RefusedAnswer,
       44100.0},
      {"answers NaN", {44100.0, 48000.0}, ASE_OK, std::nan(""), FaultKind::RefusedAnswer, 44100.0},
      {"answers beyond the limit",
       {44100.0, 48000.0},
       ASE_OK,
       2e6,
       FaultKind::RefusedAnswer,
       44100.0},
      {"answers 0 after refusing the rate",
       {48000.0},
       ASE_OK,
       0.0,
       FaultKind::RefusedAnswer,
       48000.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver);
    FakeAsioDriver driver;
    driver.rates = c.rates;
    Host host(Place(), {{"Alpha", &driver}});
    host.SetDriverIndex(0);
    ASSERT_EQ(host.GetSampleRate(), 48000.0);
    driver.get_rate_answer = c.get_answer;
    driver.sample_rate = c.answered;
    const uint32_t before = platform::FaultCount(c.kind, source, "getSampleRate");
    host.SetSampleRate(44100.0);
    EXPECT_EQ(host.GetSampleRate(), c.expected);
    EXPECT_EQ(host.ASIOTime().GetSampleRate(), c.expected);
    EXPECT_EQ(platform::FaultCount(c.kind, source, "getSampleRate"), before + 1);
  }
}

// A reported change is served on the host's thread by reading the driver's rate back; the
// rate the report carries is not trusted.
TEST_F(AsioHost, ARateReportTakesTheRateTheDriverRunsAtNow) {
  const platform::FaultSourceId source = platform::RegisterFaultSource("Alpha");
  using platform::FaultKind;
  struct Case {
    const char* driver;
    ASIOError get_answer;
    double runs_at;
    double expected;
    uint32_t read_faults;
  };
  const Case cases[] = {
      {"runs at 96,000 Hz now", ASE_OK, 96000.0, 96000.0, 0},
      {"runs at 32,000 Hz, not the reported rate", ASE_OK, 32000.0, 32000.0, 0},
      {"answers 0", ASE_OK, 0.0, 48000.0, 1},
      {"fails in getSampleRate", ASE_HWMalfunction, 96000.0, 48000.0, 1},
  };
  auto read_faults = [source] {
    return platform::FaultCount(FaultKind::FailedCall, source, "getSampleRate") +
           platform::FaultCount(FaultKind::RefusedAnswer, source, "getSampleRate");
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver);
    auto host = MakeHost();
    host->SetDriverIndex(0);
    host->SetActive(true);
    events.fired.clear();
    alpha.get_rate_answer = c.get_answer;
    alpha.sample_rate = c.runs_at;
    const uint32_t before = read_faults();
    alpha.callbacks->sampleRateDidChange(96000.0);
    EXPECT_EQ(host->GetSampleRate(), 48000.0) << "nothing happens inside the driver's call";
    host->ServicePendingRequests();
    EXPECT_EQ(host->GetSampleRate(), c.expected);
    EXPECT_EQ(host->ASIOTime().GetSampleRate(), c.expected);
    EXPECT_EQ(events.fired, (std::vector<std::string>{"rate"}));
    EXPECT_EQ(read_faults(), before + c.read_faults);
    EXPECT_TRUE(host->GetActive());
    host.reset();
    alpha.get_rate_answer = ASE_OK;
    alpha.sample_rate = 48000.0;
  }
}

// A driver's modal control panel pumps messages, and drivers commonly ask for a reset when
// the user changes the buffer size there: the driver is not released from under its panel.
TEST_F(AsioHost, AResetAskedForInsideTheControlPanelWaitsUntilThePanelHasClosed) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  alpha.inside_control_panel = [&] {
    alpha.callbacks->asioMessage(kAsioBufferSizeChange, 0, nullptr, nullptr);
    for (int i = 0; i < 10; ++i) platform::WaitAndPumpMessages(10);  // the panel's own loop
    host->ServicePendingRequests();  // an owner's timer inside that loop
  };
  alpha.calls.clear();
  host->ControlPanel();
  EXPECT_EQ(alpha.calls, (std::vector<std::string>{"controlPanel", "controlPanel returns"}));
  EXPECT_TRUE(PumpUntil([&] { return events.Count("reset") == 1; }));
  EXPECT_EQ(alpha.Count("release"), 1);
  EXPECT_TRUE(host->GetActive());
}

// Taking the buffers down waits for a switch running on another thread, also after a switch
// on the host's own thread has come and gone.
TEST_F(AsioHost, TakingTheBuffersDownWaitsForASwitchOnAnotherThread) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  const auto host_thread = std::this_thread::get_id();
  std::atomic<bool> entered{false}, release{false}, disposed_during_switch{false};
  std::function<void(TObject*, PASIOBufferList, int32_t)> on_switch = [&](TObject*, PASIOBufferList,
                                                                          int32_t) {
    if (std::this_thread::get_id() == host_thread) return;
    entered = true;
    while (!release) std::this_thread::yield();
    disposed_during_switch = alpha.disposed.load();
  };
  host->OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&on_switch);
  ASIOCallbacks* callbacks = alpha.callbacks;
  callbacks->bufferSwitch(0, ASIOFalse);  // one switch on the host's thread first
  std::thread driver_thread([callbacks] { callbacks->bufferSwitch(1, ASIOFalse); });
  while (!entered) std::this_thread::yield();
  callbacks->bufferSwitch(0, ASIOFalse);  // and one more while the other runs
  std::thread releaser([&release] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    release = true;
  });
  host->SetDriverIndex(-1);
  driver_thread.join();
  releaser.join();
  EXPECT_TRUE(alpha.disposed);
  EXPECT_FALSE(disposed_during_switch) << "the buffers went while the switch ran";
}

// A driver whose stop failed keeps switching: the host silences its buffers between two
// switches, never in the middle of one.
TEST_F(AsioHost, SilencingAfterAFailedStopWaitsForTheSwitchInProgress) {
  alpha.minimum = alpha.maximum = alpha.preferred = 64;
  alpha.fault_in_stop = true;
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  std::atomic<bool> entered{false}, stopping{false};
  std::atomic<int> survived{-1};
  std::function<void(TObject*, PASIOBufferList, int32_t)> on_switch =
      [&](TObject*, PASIOBufferList list, int32_t half) {
        auto* output = static_cast<uint8_t*>(list[2].buffers[half]);
        std::memset(output, 0x55, 64 * 4);
        entered = true;
        while (!stopping) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        survived = static_cast<int>(std::count(output, output + 64 * 4, 0x55));
      };
  host->OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&on_switch);
  ASIOCallbacks* callbacks = alpha.callbacks;
  std::thread driver_thread([callbacks] { callbacks->bufferSwitch(0, ASIOFalse); });
  while (!entered) std::this_thread::yield();
  stopping = true;
  host->SetActive(false);
  driver_thread.join();
  EXPECT_EQ(survived, 64 * 4) << "the switch's output was silenced under it";
  EXPECT_EQ(alpha.Buffer(0, 2)[0], 0) << "and silenced once it was over";
}

// Requests sent at the same time from two threads: each is what it was, none runs on the
// driver's threads, and the waiting ones are served together on the host's thread.
TEST_F(AsioHost, ResetAndLatencyRequestsFromTwoThreadsNeverMix) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  const auto host_thread = std::this_thread::get_id();
  std::atomic<int> off_thread_events{0};
  std::function<void(TObject*)> watch = [&](TObject*) {
    if (std::this_thread::get_id() != host_thread) ++off_thread_events;
  };
  host->OnReset = TNotifyEvent::FromCallable(&watch);
  host->OnLatencyChanged = TNotifyEvent::FromCallable(&watch);
  const int creations = host->creations;
  ASIOCallbacks* callbacks = alpha.callbacks;
  auto storm = [callbacks](int32_t selector) {
    for (int i = 0; i < 20000; ++i) callbacks->asioMessage(selector, 0, nullptr, nullptr);
  };
  std::thread resets(storm, kAsioResetRequest);
  std::thread latencies(storm, kAsioLatenciesChanged);
  resets.join();
  latencies.join();
  EXPECT_EQ(off_thread_events, 0);
  EXPECT_EQ(host->creations, creations);
  host->OnReset = TNotifyEvent::FromCallable(&events.reset);
  EXPECT_TRUE(PumpUntil([&] { return host->creations > creations; }));
  for (int i = 0; i < 5; ++i) platform::WaitAndPumpMessages(20);
  EXPECT_EQ(host->creations, creations + 1) << "forty thousand requests, one reopening";
  EXPECT_EQ(events.Count("reset"), 1);
  EXPECT_EQ(off_thread_events, 0);
}

// A driver that asks again while it is being reopened keeps the host busy for one reopening
// per tick, never inside one loop of the host's thread.
TEST_F(AsioHost, ADriverThatKeepsAskingForResetsDoesNotHoldTheHostsThread) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  int asked = 0;
  alpha.inside_start = [&] {
    if (++asked < 1000) alpha.callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  };
  alpha.callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  const int creations = host->creations;
  for (int pump = 1; pump <= 5; ++pump) {
    platform::SleepMilliseconds(kRequestServiceIntervalMs + 5);
    platform::PumpMessages();
    EXPECT_LE(host->creations, creations + pump) << "one reopening per pump at most";
  }
  EXPECT_GE(host->creations, creations + 1);
  EXPECT_TRUE(host->GetActive());
}

// Counts beyond reason are cut or refused before anything is allocated.
TEST_F(AsioHost, CapsChannelCountsAndRefusesLayoutsTooLargeBeforeAllocating) {
  struct Case {
    int32_t inputs, outputs, size;
    bool accepted;
    int32_t expected_inputs, expected_outputs;
  };
  const Case cases[] = {
      {2, 100000, 64, true, 2, kMaxChannelCount},
      {-7, 3, 64, true, 0, 3},
      {2, 65543, 65530, false, 0, 0},
      {3000, 3000, 65530, false, 0, 0},
      {kMaxChannelCount, kMaxChannelCount, 4096, true, kMaxChannelCount, kMaxChannelCount},
      // Sizes beyond 65530 give BufferSize 4096, but the driver is asked for its own size:
      // that is what its buffers hold, so that is what must fit.
      {2, 2, 100000, true, 2, 2},
      {6, kMaxChannelCount, 65531, false, 0, 0},
      {2, kMaxChannelCount, 100000, false, 0, 0},
  };
  auto host = MakeHost();
  alpha.hand_out_buffers = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.inputs) + " x " + std::to_string(c.outputs) + " x " +
                 std::to_string(c.size));
    alpha.inputs = c.inputs;
    alpha.outputs = c.outputs;
    alpha.minimum = alpha.maximum = alpha.preferred = c.size;
    alpha.created_channels = -1;
    host->SetDriverIndex(-1);
    host->SetDriverIndex(0);
    EXPECT_EQ(host->BuffersCreated, c.accepted);
    EXPECT_EQ(host->GetInputChannelCount(), c.expected_inputs);
    EXPECT_EQ(host->GetOutputChannelCount(), c.expected_outputs);
    EXPECT_EQ(host->OutputChannelInfos().size(), static_cast<size_t>(c.expected_outputs));
    EXPECT_EQ(alpha.created_channels, c.accepted ? c.expected_inputs + c.expected_outputs : -1);
    alpha.callbacks = nullptr;
  }
}

// A name that fills its field is still the driver's whole name: a routing stored with the
// name's display text must find the channel again.
TEST_F(AsioHost, KeepsAChannelNameThatFillsItsWholeField) {
  const std::string full = "Main Out 1 (Line, Balanced) Left";
  ASSERT_EQ(full.size(), sizeof(ASIOChannelInfo::name));
  alpha.outputs = 3;
  alpha.output_names = {full, "Phones"};
  auto host = MakeHost();
  host->SetDriverIndex(0);
  auto name_of = [](const ASIOChannelInfo& info) {
    return std::string(info.name, std::find(info.name, info.name + sizeof(info.name), '\0'));
  };
  const std::vector<ASIOChannelInfo>& outputs = host->OutputChannelInfos();
  ASSERT_EQ(outputs.size(), 3u);
  EXPECT_EQ(name_of(outputs[0]), full);
  EXPECT_EQ(name_of(outputs[1]), "Phones");
  EXPECT_EQ(name_of(outputs[2]), "Out 3");
}

// A driver that calls again while a switch of its runs (here from inside the switch) is
// turned away, and each such call is counted under the driver's name; switches turned away
// because the buffers have gone are not overruns.
TEST_F(AsioHost, CountsEverySwitchThatArrivesWhileOneRuns) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  ASIOCallbacks* const callbacks = alpha.callbacks;
  const platform::FaultSourceId source = platform::RegisterFaultSource("Alpha");
  auto overruns = [source] {
    return platform::FaultCount(platform::FaultKind::RefusedAnswer, source,
                                "bufferSwitch while one ran");
  };
  const uint32_t before = overruns();
  ::ASIOTime record{};
  const std::function<void()> again[] = {
      [&] { callbacks->bufferSwitch(1, ASIOFalse); },
      [&] { callbacks->bufferSwitchTimeInfo(&record, 1, ASIOTrue); },
  };
  const std::function<void()>* inner = nullptr;
  std::function<void(TObject*, PASIOBufferList, int32_t)> call_again =
      [&](TObject*, PASIOBufferList, int32_t index) {
        events.switches.push_back(index);
        (*inner)();
      };
  host->OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&call_again);
  for (const std::function<void()>& call : again) {
    inner = &call;
    callbacks->bufferSwitch(0, ASIOFalse);
  }
  EXPECT_EQ(events.switches, (std::vector<int32_t>{0, 0})) << "the inner calls never ran";
  EXPECT_EQ(alpha.output_ready, 2);
  EXPECT_EQ(overruns() - before, 2u);

  host->SetDriverIndex(-1);
  callbacks->bufferSwitch(0, ASIOFalse);
  callbacks->bufferSwitchTimeInfo(&record, 1, ASIOTrue);
  EXPECT_EQ(overruns() - before, 2u);
}

TEST_F(AsioHost, ABufferSwitchWithoutTimeRecordAsksTheDriverForThePosition) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  events.fired.clear();
  alpha.position = {1, 5};
  alpha.time_stamp = {2, 3};
  for (ASIOBool direct : {ASIOTrue, ASIOFalse}) alpha.callbacks->bufferSwitch(1, direct);
  EXPECT_EQ(events.fired, (std::vector<std::string>{"position", "switch", "position", "switch"}));
  EXPECT_EQ(events.positions, (std::vector<int64_t>{4294967301, 4294967301}));
  EXPECT_EQ(events.switches, (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(events.last_list, host->InputBufferInfos);
  EXPECT_EQ(alpha.output_ready, 2);
  const AsioTimeInfo& info = host->ASIOTime().Record.timeInfo;
  EXPECT_EQ(info.systemTime.hi, 2u);
  EXPECT_EQ(info.flags, uint32_t{kSystemTimeValid | kSamplePositionValid});

  alpha.position_answer = ASE_SPNotAdvancing;
  alpha.callbacks->bufferSwitch(0, ASIOFalse);
  const ::ASIOTime zero{};
  EXPECT_EQ(std::memcmp(&host->ASIOTime().Record, &zero, sizeof(zero)), 0);
  EXPECT_EQ(events.positions.back(), 0);
}

TEST_F(AsioHost, ABufferSwitchWithTimeRecordTakesItWholeAndNoHandlerFailureReachesTheDriver) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  ::ASIOTime record{};
  record.timeInfo.samplePosition = {0, 4096};
  record.timeInfo.sampleRate = 48000.0;
  record.timeInfo.speed = 1.0;
  record.timeCode.flags = 0x55;
  events.throw_in_switch = true;
  EXPECT_EQ(alpha.callbacks->bufferSwitchTimeInfo(&record, 0, ASIOFalse), nullptr);
  EXPECT_EQ(std::memcmp(&host->ASIOTime().Record, &record, sizeof(record)), 0);
  EXPECT_EQ(events.positions, (std::vector<int64_t>{4096}));
  EXPECT_EQ(events.switches, (std::vector<int32_t>{0}));
  // A driver that hands over no record is served as one without time information.
  alpha.position = {0, 8192};
  EXPECT_EQ(alpha.callbacks->bufferSwitchTimeInfo(nullptr, 1, ASIOFalse), nullptr);
  EXPECT_EQ(events.positions.back(), 8192);
}

TEST_F(AsioHost, PassesGainsAndMetersThroughTheDriversFuture) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetInputGain(2, 0x1000);
  EXPECT_EQ(alpha.last_future_selector, kAsioSetInputGain);
  EXPECT_EQ(alpha.last_controls.channel, 2);
  EXPECT_EQ(alpha.last_controls.isInput, ASIOTrue);
  EXPECT_EQ(alpha.last_controls.gain, 0x1000);
  host->SetOutputGain(1, 7);
  EXPECT_EQ(alpha.last_future_selector, kAsioSetOutputGain);
  EXPECT_EQ(alpha.last_controls.isInput, ASIOFalse);
  EXPECT_EQ(host->GetOutputMeter(1), 1234);
  EXPECT_EQ(alpha.last_future_selector, kAsioGetOutputMeter);
  EXPECT_EQ(host->GetInputMeter(0), 1234);
  EXPECT_EQ(alpha.last_controls.isInput, ASIOTrue);
  host->ControlPanel();
  EXPECT_EQ(alpha.Count("controlPanel"), 1);
}

TEST_F(AsioHost, GoingAwayStopsDisposesAndReleasesARunningDriverInThatOrder) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  alpha.calls.clear();
  host.reset();
  EXPECT_EQ(alpha.calls, (std::vector<std::string>{"stop", "disposeBuffers", "release"}));
  EXPECT_EQ(alpha.references, 0);
}

TEST_F(AsioHost, AChannelWithoutBufferAddressIsLeftAloneWhenSilencing) {
  alpha.channels_without_buffer = {0, 3};
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  host->SetActive(false);
  EXPECT_EQ(alpha.Buffer(0, 1)[0], 0);
}

TEST_F(AsioHost, SwitchesAfterTheBuffersWentAreTurnedAwayAndAHandlerMayStopTheHost) {
  auto host = MakeHost();
  host->SetDriverIndex(0);
  host->SetActive(true);
  ASIOCallbacks* callbacks = alpha.callbacks;
  // A handler that stops and closes the driver from inside the switch does not wait for
  // its own switch to end.
  std::function<void(TObject*, PASIOBufferList, int32_t)> stop_inside =
      [&host](TObject*, PASIOBufferList, int32_t) { host->SetDriverIndex(-1); };
  host->OnBufferSwitch = TBufferSwitchEventNative::FromCallable(&stop_inside);
  callbacks->bufferSwitch(0, ASIOFalse);
  EXPECT_FALSE(host->Driver);
  EXPECT_EQ(alpha.Count("disposeBuffers"), 1);
  // A driver that did not stop keeps calling: nothing reaches the host any more.
  events.Bind(*host);
  events.positions.clear();
  callbacks->bufferSwitch(1, ASIOFalse);
  ::ASIOTime record{};
  callbacks->bufferSwitchTimeInfo(&record, 1, ASIOFalse);
  EXPECT_TRUE(events.switches.empty());
  EXPECT_TRUE(events.positions.empty());
}

TEST_F(AsioHost, ReadingStoredPropertiesEndsWithOnCreate) {
  auto host = MakeHost();
  std::vector<std::string> order;
  auto created = [&order](TObject*) { order.push_back("OnCreate"); };
  host->OnCreate = TNotifyEvent::FromCallable(&created);
  host->ReadState([&] {
    order.push_back("read");
    host->SetDriverName("Alpha");
  });
  EXPECT_EQ(order, (std::vector<std::string>{"read", "OnCreate"}));
  EXPECT_EQ(host->GetDriverIndex(), 0);
}

}  // namespace
