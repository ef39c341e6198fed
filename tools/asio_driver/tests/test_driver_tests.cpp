#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "asio_host/asio.h"
#include "platform/com.h"
#include "platform/dynamic_library.h"
#include "platform/fault_guard.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"
#include "tools/asio_driver/sample_types.h"
#include "tools/asio_driver/test_driver.h"
#include "tools/asio_driver/wav_file.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;
using asio_test::DriverControl;
using asio_test::Failure;
using asio_test::ScopedDriver;
using ::testing::ElementsAre;

// A class id of this test's own, so that tests running at once in one Wine prefix do not meet.
GUID TestClassId(uint16_t which) {
  GUID id = {0x5D1C7E90, which, 0x4A3B, {0x9C, 0x2D, 0, 0, 0, 0, 0, 0}};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const uint32_t hash = static_cast<uint32_t>(std::hash<std::string>()(std::string(info->name())));
  std::memcpy(id.Data4 + 2, &hash, 4);
  const uint32_t process = static_cast<uint32_t>(platform::TickCount());
  std::memcpy(id.Data4 + 6, &process, 2);
  return id;
}

std::string TestDriverName(const GUID& id) {
  return "Partiloom Test " + platform::ClassIdToString(id);
}

// What the test's stand-in host saw of the driver's calls back.
struct HostRecord {
  std::atomic<int> time_info_switches{0};
  std::atomic<int> plain_switches{0};
  std::vector<int32_t> halves;
  std::vector<uint64_t> positions;
  std::vector<uint32_t> flags;
  std::vector<double> time_rates;  // the rate of each time record
  std::thread::id switch_thread;
  std::thread::id message_thread;
  std::vector<int32_t> messages;
  std::vector<int32_t> message_values;
  double rate_change = 0.0;
  int32_t rate_changes = 0;
  // Buffers the host got from createBuffers, inputs first; the switch copies input i to
  // output i.
  ASIOBufferInfo* infos = nullptr;
  int32_t inputs = 0;
  int32_t outputs = 0;
  std::vector<size_t> half_bytes;  // per input channel
  IASIO* driver = nullptr;
  bool stop_inside_switch = false;
  bool release_inside_switch = false;
  int32_t busy_ms_in_half_1 = 0;  // how long the host works on each switch of half 1
};

HostRecord* g_host = nullptr;

void CopyInputsToOutputs(int32_t half) {
  if (half == 1 && g_host->busy_ms_in_half_1 > 0) {
    const int64_t until = platform::PerformanceCounter() +
                          platform::PerformanceFrequency() * g_host->busy_ms_in_half_1 / 1000;
    while (platform::PerformanceCounter() < until) {
    }
  }
  for (int32_t i = 0; i < g_host->inputs && i < g_host->outputs; ++i) {
    void* from = g_host->infos[i].buffers[half];
    void* to = g_host->infos[g_host->inputs + i].buffers[half];
    if (from && to) std::memcpy(to, from, g_host->half_bytes[i]);
  }
  if (g_host->driver) g_host->driver->outputReady();
}

void ASIO_CDECL HostBufferSwitch(int32_t half, ASIOBool) {
  g_host->switch_thread = std::this_thread::get_id();
  g_host->halves.push_back(half);
  ++g_host->plain_switches;
  CopyInputsToOutputs(half);
}

void ASIO_CDECL HostSampleRateDidChange(ASIOSampleRate rate) {
  g_host->message_thread = std::this_thread::get_id();
  g_host->rate_change = rate;
  ++g_host->rate_changes;
}

int32_t ASIO_CDECL HostAsioMessage(int32_t selector, int32_t value, void*, double*) {
  g_host->message_thread = std::this_thread::get_id();
  g_host->messages.push_back(selector);
  g_host->message_values.push_back(value);
  return selector == kAsioSelectorSupported ? value * 10 : selector + 100;
}

ASIOTime* ASIO_CDECL HostBufferSwitchTimeInfo(ASIOTime* time, int32_t half, ASIOBool) {
  g_host->switch_thread = std::this_thread::get_id();
  g_host->halves.push_back(half);
  const ASIOSamples& position = time->timeInfo.samplePosition;
  g_host->positions.push_back((static_cast<uint64_t>(position.hi) << 32) | position.lo);
  g_host->flags.push_back(time->timeInfo.flags);
  g_host->time_rates.push_back(time->timeInfo.sampleRate);
  ++g_host->time_info_switches;
  CopyInputsToOutputs(half);
  if (g_host->stop_inside_switch) g_host->driver->stop();
  if (g_host->release_inside_switch && g_host->driver) {
    g_host->driver->Release();
    g_host->driver = nullptr;
  }
  return nullptr;
}

ASIOCallbacks g_callbacks = {HostBufferSwitch, HostSampleRateDidChange, HostAsioMessage,
                             HostBufferSwitchTimeInfo};

class TestDriverTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    g_host = &host_;
    platform::ComInitialize();
  }
  void TearDown() override {
    platform::ComUninitialize();
    g_host = nullptr;
    RegistryTest::TearDown();
  }

  // Creates the driver the way the host does: by class id, asking for the class id.
  IASIO* Create(const GUID& id) {
    void* object = nullptr;
    if (FAILED(platform::CreateInProcessObject(id, id, &object))) return nullptr;
    return static_cast<IASIO*>(object);
  }

  // Opens with all channels and the given size; the host record learns the buffers.
  ASIOError CreateAllBuffers(IASIO* driver, int32_t size, const DriverConfig& config) {
    int32_t inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    infos_.assign(static_cast<size_t>(inputs + outputs), ASIOBufferInfo{});
    for (int32_t i = 0; i < inputs + outputs; ++i) {
      infos_[i].isInput = i < inputs ? ASIOTrue : ASIOFalse;
      infos_[i].channelNum = i < inputs ? i : i - inputs;
    }
    host_.infos = infos_.data();
    host_.inputs = inputs;
    host_.outputs = outputs;
    host_.half_bytes.clear();
    for (const auto& channel : config.inputs)
      host_.half_bytes.push_back(static_cast<size_t>(size) *
                                 asio_test::SampleTypeStorageBytes(channel.type));
    host_.driver = driver;
    return driver->createBuffers(infos_.data(), inputs + outputs, size, &g_callbacks);
  }

  HostRecord host_;
  std::vector<ASIOBufferInfo> infos_;
};

TEST_F(TestDriverTest, AnswersItsConfigurationAndLogsTheCalls) {
  const GUID id = TestClassId(1);
  DriverConfig config;
  config.driver_name = "Configured";
  config.version = 7;
  config.inputs = {{"Mic", 17}, {"Line", 1}, {"DSD", 32}};
  config.outputs = {{"Main Left", 3}};
  config.minimum_size = 32;
  config.maximum_size = 1024;
  config.preferred_size = 128;
  config.granularity = 32;
  config.sample_rates = {48000.0, 96000.0};
  config.sample_rate = 48000.0;
  config.input_latency = 11;
  config.output_latency = 22;
  ScopedDriver installed(TestDriverName(id), id, config);
  ASSERT_TRUE(installed.Installed());

  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  ASSERT_TRUE(control.Loaded());
  EXPECT_EQ(control.LiveObjects(), 1);

  EXPECT_EQ(driver->init(nullptr), ASIOTrue);
  char name[32] = {};
  driver->getDriverName(name);
  EXPECT_STREQ(name, "Configured");
  EXPECT_EQ(driver->getDriverVersion(), 7);
  int32_t inputs = 0, outputs = 0;
  EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 3);
  EXPECT_EQ(outputs, 1);
  ASIOChannelInfo info{};
  info.channel = 2;
  info.isInput = ASIOTrue;
  EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, 32);
  EXPECT_STREQ(info.name, "DSD");
  info.channel = 0;
  info.isInput = ASIOFalse;
  EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, 3);
  EXPECT_STREQ(info.name, "Main Left");
  info.channel = 1;
  EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
  int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
  EXPECT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(minimum, 32);
  EXPECT_EQ(maximum, 1024);
  EXPECT_EQ(preferred, 128);
  EXPECT_EQ(granularity, 32);
  EXPECT_EQ(driver->canSampleRate(96000.0), ASE_OK);
  EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
  double rate = 0.0;
  EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0);
  EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
  EXPECT_EQ(driver->setSampleRate(12345.0), ASE_NoClock);
  driver->getSampleRate(&rate);
  EXPECT_EQ(rate, 96000.0);
  int32_t input_latency = 0, output_latency = 0;
  EXPECT_EQ(driver->getLatencies(&input_latency, &output_latency), ASE_OK);
  EXPECT_EQ(input_latency, 11);
  EXPECT_EQ(output_latency, 22);
  EXPECT_EQ(driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
  EXPECT_EQ(driver->future(kAsioCanTimeCode, nullptr), ASE_NotPresent);
  ASIOChannelControls controls{};
  controls.channel = 0;
  controls.isInput = ASIOTrue;
  controls.gain = 1000;
  EXPECT_EQ(driver->future(kAsioSetInputGain, &controls), ASE_SUCCESS);
  controls.gain = 0;
  EXPECT_EQ(driver->future(kAsioGetInputMeter, &controls), ASE_SUCCESS);
  EXPECT_EQ(controls.meter, 1000);

  // A size off the granularity or out of range is refused; the call is logged all the same.
  EXPECT_EQ(CreateAllBuffers(driver, 100, config), ASE_InvalidMode);
  EXPECT_EQ(CreateAllBuffers(driver, 2048, config), ASE_InvalidMode);

  EXPECT_THAT(
      control.Log(),
      ElementsAre("init", "getDriverName", "getDriverVersion", "getChannels",
                  "getChannelInfo(2, 1)", "getChannelInfo(0, 0)", "getChannelInfo(1, 0)",
                  "getBufferSize", "canSampleRate(96000)", "canSampleRate(44100)", "getSampleRate",
                  "setSampleRate(96000)", "setSampleRate(12345)", "getSampleRate", "getLatencies",
                  "future(10)", "future(11)", "future(5, 0, 1, 1000)", "future(6, 0, 1, 0)",
                  "getChannels", "createBuffers(i0 i1 i2 o0, 100)", "getChannels",
                  "createBuffers(i0 i1 i2 o0, 2048)"));
  EXPECT_EQ(control.CallCount("getChannelInfo"), 3);
  driver->Release();
  EXPECT_EQ(control.LiveObjects(), 0);
}

// Calls through the method table by slot, the way a host that declares its own interface
// does: the IUnknown methods take slots 0 to 2, the driver methods follow in order.
TEST_F(TestDriverTest, MethodsSitInTheStandardSlotsWithTheStandardConvention) {
  const GUID id = TestClassId(15);
  DriverConfig config;
  config.inputs = {{"In", 16}};
  config.outputs = {{"Out 1", 19}, {"Out 2", 19}, {"Out 3", 19}};
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  void** table = *reinterpret_cast<void***>(driver);
  using Init = ASIOBool(ASIO_THISCALL*)(void*, void*);
  using GetChannels = ASIOError(ASIO_THISCALL*)(void*, int32_t*, int32_t*);
  using CanSampleRate = ASIOError(ASIO_THISCALL*)(void*, double);
  using GetChannelInfo = ASIOError(ASIO_THISCALL*)(void*, ASIOChannelInfo*);
  using Plain = ASIOError(ASIO_THISCALL*)(void*);
  EXPECT_EQ(reinterpret_cast<Init>(table[3])(driver, nullptr), ASIOTrue);
  int32_t inputs = 0, outputs = 0;
  EXPECT_EQ(reinterpret_cast<GetChannels>(table[9])(driver, &inputs, &outputs), ASE_OK);
  EXPECT_EQ(inputs, 1);
  EXPECT_EQ(outputs, 3);
  EXPECT_EQ(reinterpret_cast<CanSampleRate>(table[12])(driver, 48000.0), ASE_OK);
  ASIOChannelInfo info{};
  info.channel = 2;
  EXPECT_EQ(reinterpret_cast<GetChannelInfo>(table[18])(driver, &info), ASE_OK);
  EXPECT_STREQ(info.name, "Out 3");
  EXPECT_EQ(reinterpret_cast<Plain>(table[21])(driver), ASE_OK);  // controlPanel
  EXPECT_EQ(reinterpret_cast<Plain>(table[23])(driver), ASE_OK);  // outputReady
  EXPECT_THAT(control.Log(), ElementsAre("init", "getChannels", "canSampleRate(48000)",
                                         "getChannelInfo(2, 0)", "controlPanel", "outputReady"));
  driver->Release();
}

TEST_F(TestDriverTest, SwitchesOnRequestFeedingInputsAndCapturingOutputsExactly) {
  const GUID id = TestClassId(2);
  DriverConfig config;
  config.inputs = {{"In 1", 0}, {"In 2", 0}};  // Int16MSB
  config.outputs = {{"Out 1", 0}, {"Out 2", 0}};
  config.clock = ClockMode::Manual;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  ASSERT_EQ(driver->init(nullptr), ASIOTrue);
  ASSERT_EQ(CreateAllBuffers(driver, 64, config), ASE_OK);
  for (const ASIOBufferInfo& info : infos_) {
    EXPECT_NE(info.buffers[0], nullptr);
    EXPECT_NE(info.buffers[1], nullptr);
    EXPECT_NE(info.buffers[0], info.buffers[1]);
  }
  EXPECT_EQ(control.RunSwitches(1), 0) << "switches need a started driver";

  // Three blocks for input 0, one and a half for input 1: the rest is silence.
  std::vector<uint8_t> first(3 * 64 * 2), second(96 * 2);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 7 + 1);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(255 - i);
  ASSERT_TRUE(control.FeedInput(0, first));
  ASSERT_TRUE(control.FeedInput(1, second));
  control.SetCapture(true);
  const int64_t switches_before = control.SwitchCount();
  ASSERT_EQ(driver->start(), ASE_OK);
  EXPECT_EQ(control.RunSwitches(4), 4);
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(control.SwitchCount(), switches_before + 4);

  EXPECT_THAT(host_.halves, ElementsAre(0, 1, 0, 1));
  EXPECT_THAT(host_.positions, ElementsAre(0, 64, 128, 192));
  for (uint32_t flags : host_.flags)
    EXPECT_EQ(flags & (kSamplePositionValid | kSystemTimeValid),
              kSamplePositionValid | kSystemTimeValid);
  EXPECT_NE(host_.switch_thread, std::this_thread::get_id());
  EXPECT_EQ(host_.plain_switches, 0);

  std::vector<uint8_t> expected_first = first;
  expected_first.resize(4 * 64 * 2, 0);
  std::vector<uint8_t> expected_second = second;
  expected_second.resize(4 * 64 * 2, 0);
  EXPECT_EQ(control.Output(0), expected_first);
  EXPECT_EQ(control.Output(1), expected_second);
  EXPECT_EQ(control.CallCount("outputReady"), 4);

  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_InvalidMode);
  driver->Release();
}

TEST_F(TestDriverTest, ClockThreadCallsBackUntilStoppedOrReleased) {
  for (ClockMode clock : {ClockMode::Steady, ClockMode::Fast}) {
    SCOPED_TRACE(asio_test::ClockModeName(clock));
    const GUID id = TestClassId(clock == ClockMode::Steady ? 3 : 4);
    DriverConfig config;
    config.clock = clock;
    config.time_info = clock == ClockMode::Fast;
    ScopedDriver installed(TestDriverName(id), id, config);
    IASIO* driver = Create(id);
    ASSERT_NE(driver, nullptr);
    DriverControl control(id);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(CreateAllBuffers(driver, 64, config), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(control.WaitForSwitches(8));
    EXPECT_EQ(driver->stop(), ASE_OK);
    const int64_t stopped_at = control.SwitchCount();
    platform::SleepMilliseconds(20);
    EXPECT_EQ(control.SwitchCount(), stopped_at) << "no switch after stop returned";
    if (clock == ClockMode::Steady) {
      EXPECT_EQ(host_.time_info_switches, 0);
      EXPECT_EQ(host_.plain_switches, stopped_at);
    } else {
      EXPECT_EQ(host_.plain_switches, 0);
      EXPECT_EQ(host_.time_info_switches, stopped_at);
    }
    for (size_t i = 0; i < host_.halves.size(); ++i)
      ASSERT_EQ(host_.halves[i], static_cast<int32_t>(i % 2));

    // Released while running: the clock thread ends with the object.
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(control.WaitForSwitches(stopped_at + 2));
    driver->Release();
    EXPECT_EQ(control.LiveObjects(), 0);
    const int64_t released_at = control.SwitchCount();
    platform::SleepMilliseconds(20);
    EXPECT_EQ(control.SwitchCount(), released_at);
    host_.halves.clear();
    host_.time_info_switches = 0;
    host_.plain_switches = 0;
  }
}

TEST_F(TestDriverTest, AHostMayStopTheDriverFromInsideTheSwitch) {
  const GUID id = TestClassId(5);
  DriverConfig config;
  config.clock = ClockMode::Fast;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  ASSERT_EQ(CreateAllBuffers(driver, 64, config), ASE_OK);
  host_.stop_inside_switch = true;
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(control.WaitForSwitches(1));
  platform::SleepMilliseconds(20);
  EXPECT_EQ(control.SwitchCount(), 1);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  driver->Release();
}

TEST_F(TestDriverTest, AHostMayReleaseTheDriverFromInsideTheSwitch) {
  const GUID id = TestClassId(12);
  DriverConfig config;
  config.clock = ClockMode::Fast;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  ASSERT_EQ(CreateAllBuffers(driver, 64, config), ASE_OK);
  host_.release_inside_switch = true;
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(control.WaitForSwitches(1));
  for (int i = 0; i < 1000 && control.LiveObjects() > 0; ++i) platform::SleepMilliseconds(1);
  EXPECT_EQ(control.LiveObjects(), 0);
  EXPECT_EQ(control.SwitchCount(), 1);
}

// A host that works 5 ms on every other block of 1.45 ms (64 frames at 44100 Hz) misses the
// deadline of each of those blocks, whichever clock calls it.
TEST_F(TestDriverTest, TimesTheHostsCallbacksFromEachStart) {
  struct Case {
    ClockMode clock;
    bool time_info;
    uint16_t id;
  } cases[] = {
      {ClockMode::Manual, true, 20}, {ClockMode::Steady, false, 21}, {ClockMode::Fast, true, 22}};
  for (const Case& c : cases) {
    SCOPED_TRACE(asio_test::ClockModeName(c.clock));
    const GUID id = TestClassId(c.id);
    DriverConfig config;
    config.clock = c.clock;
    config.time_info = c.time_info;
    ScopedDriver installed(TestDriverName(id), id, config);
    IASIO* driver = Create(id);
    ASSERT_NE(driver, nullptr);
    DriverControl control(id);
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(CreateAllBuffers(driver, 64, config), ASE_OK);
    EXPECT_EQ(control.Timing()->blocks, 0);
    host_.busy_ms_in_half_1 = 5;
    ASSERT_EQ(driver->start(), ASE_OK);
    if (c.clock == ClockMode::Manual)
      EXPECT_EQ(control.RunSwitches(6), 6);
    else
      ASSERT_TRUE(control.WaitForSwitches(6));
    EXPECT_EQ(driver->stop(), ASE_OK);
    auto timing = control.Timing();
    ASSERT_TRUE(timing);
    EXPECT_EQ(timing->blocks, control.SwitchCount());
    EXPECT_GE(timing->late, timing->blocks / 2);
    EXPECT_GE(timing->overlong, timing->blocks / 2);
    EXPECT_LE(timing->overlong, timing->late) << "a callback longer than its block ends late";
    EXPECT_GE(timing->longest_ns, 5000000);
    EXPECT_GE(timing->p999_ns, 5000000) << "one block in two is slow";
    EXPECT_LE(timing->p999_ns, timing->longest_ns);
    EXPECT_EQ(timing->period_ns, 1451247) << "64 / 44100 s";

    // Without a clock thread nothing switches before the record is read.
    if (c.clock == ClockMode::Manual) {
      host_.busy_ms_in_half_1 = 0;
      ASSERT_EQ(driver->start(), ASE_OK);
      timing = control.Timing();
      EXPECT_EQ(timing->blocks, 0) << "each start begins anew";
      EXPECT_EQ(timing->late, 0);
      EXPECT_EQ(timing->longest_ns, 0);
      EXPECT_EQ(driver->stop(), ASE_OK);
    }
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    driver->Release();
    host_.halves.clear();
  }
}

TEST_F(TestDriverTest, CarriesEverySupportedTypeExactlyThroughAThousandSwitches) {
  const GUID id = TestClassId(13);
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.inputs.clear();
  for (ASIOSampleType type : {0, 1, 2, 3, 4, 8, 9, 10, 11, 16, 17, 18, 19, 20, 24, 25, 26, 27})
    config.inputs.push_back({"Type " + std::to_string(type), type});
  config.outputs = config.inputs;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  ASSERT_EQ(CreateAllBuffers(driver, 256, config), ASE_OK);
  constexpr int32_t kSwitches = 1000;
  std::vector<std::vector<uint8_t>> fed(config.inputs.size());
  uint32_t noise = 12345;
  for (size_t channel = 0; channel < fed.size(); ++channel) {
    fed[channel].resize(kSwitches * host_.half_bytes[channel]);
    for (uint8_t& byte : fed[channel]) {
      noise = noise * 1664525u + 1013904223u;
      byte = static_cast<uint8_t>(noise >> 24);
    }
    ASSERT_TRUE(control.FeedInput(static_cast<int32_t>(channel), fed[channel]));
  }
  control.SetCapture(true);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_EQ(control.RunSwitches(kSwitches), kSwitches);
  driver->stop();
  for (size_t channel = 0; channel < fed.size(); ++channel)
    EXPECT_TRUE(control.Output(static_cast<int32_t>(channel)) == fed[channel]) << channel;
  driver->disposeBuffers();
  driver->Release();
}

TEST_F(TestDriverTest, SendsMessagesAndRateChangesFromItsOwnThread) {
  const GUID id = TestClassId(6);
  DriverConfig config;
  config.clock = ClockMode::Manual;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  EXPECT_EQ(control.SendMessage(kAsioResetRequest), std::nullopt) << "no callbacks before buffers";
  ASSERT_EQ(CreateAllBuffers(driver, 256, config), ASE_OK);

  EXPECT_EQ(control.SendMessage(kAsioResetRequest), kAsioResetRequest + 100);
  EXPECT_NE(host_.message_thread, std::this_thread::get_id());
  EXPECT_EQ(control.SendMessage(kAsioSelectorSupported, kAsioBufferSizeChange),
            kAsioBufferSizeChange * 10);
  control.SetLatencies(300, 400);
  EXPECT_EQ(control.SendMessage(kAsioLatenciesChanged), kAsioLatenciesChanged + 100);
  EXPECT_THAT(host_.messages,
              ElementsAre(kAsioResetRequest, kAsioSelectorSupported, kAsioLatenciesChanged));
  int32_t input_latency = 0, output_latency = 0;
  driver->getLatencies(&input_latency, &output_latency);
  EXPECT_EQ(input_latency, 300);
  EXPECT_EQ(output_latency, 400);

  host_.message_thread = std::this_thread::get_id();
  EXPECT_TRUE(control.ChangeSampleRate(48000.0));
  EXPECT_EQ(host_.rate_change, 48000.0);
  EXPECT_NE(host_.message_thread, std::this_thread::get_id());
  double rate = 0.0;
  driver->getSampleRate(&rate);
  EXPECT_EQ(rate, 48000.0);
  driver->disposeBuffers();
  driver->Release();
}

// Reset requests, buffer-size changes alternating the preferred size, and rate reports, each
// on its own timer while the driver runs.
TEST_F(TestDriverTest, SendsTimedRequestsFromItsClockThread) {
  const GUID id = TestClassId(23);
  DriverConfig config;
  config.reset_request_ms = 30;
  config.buffer_size_change_ms = 50;
  config.alternate_size = 1024;
  config.rate_announcement_ms = 70;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  ASSERT_EQ(CreateAllBuffers(driver, 256, config), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  platform::SleepMilliseconds(400);
  driver->stop();

  int resets = 0;
  std::vector<int32_t> sizes;
  for (size_t i = 0; i < host_.messages.size(); ++i) {
    if (host_.messages[i] == kAsioResetRequest) ++resets;
    if (host_.messages[i] == kAsioBufferSizeChange) sizes.push_back(host_.message_values[i]);
  }
  EXPECT_NE(host_.message_thread, std::this_thread::get_id());
  // Timed by the wall clock: a busy machine may delay, never hasten, a request.
  EXPECT_GE(resets, 4);
  EXPECT_LE(resets, 13);
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_LE(sizes.size(), 8u);
  for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], i % 2 ? 256 : 1024) << i;
  EXPECT_GE(host_.rate_changes, 1);
  EXPECT_LE(host_.rate_changes, 5);
  EXPECT_EQ(host_.rate_change, 44100.0);
  int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
  ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
  EXPECT_EQ(preferred, sizes.back()) << "the size of the last change";

  const std::vector<std::string> requests = control.Requests();
  EXPECT_EQ(requests.size(),
            static_cast<size_t>(resets) + sizes.size() + static_cast<size_t>(host_.rate_changes));
  for (const std::string& request : requests) {
    const size_t at = request.find(" at ");
    ASSERT_NE(at, std::string::npos) << request;
    EXPECT_THAT(request.substr(0, at),
                ::testing::AnyOf("reset 0", "buffer-size 256", "buffer-size 1024", "rate 44100"));
    EXPECT_EQ(request.find_first_not_of("0123456789", at + 4), std::string::npos) << request;
  }
  driver->disposeBuffers();
  driver->Release();
}

// A driver told to run only 48,000 Hz starts there, whatever its rate at creation says, and
// takes no other.
TEST_F(TestDriverTest, RunsOnlyTheRatesItIsToldToRun) {
  const GUID id = TestClassId(25);
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.sample_rates = {48000.0};
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  double rate = 0.0;
  EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 48000.0);
  const struct {
    double rate;
    ASIOError answer;
  } kRates[] = {{44100.0, ASE_NoClock}, {22050.0, ASE_NoClock}, {48000.0, ASE_OK}};
  for (const auto& row : kRates) {
    EXPECT_EQ(driver->canSampleRate(row.rate), row.answer) << row.rate;
    EXPECT_EQ(driver->setSampleRate(row.rate), row.answer) << row.rate;
    driver->getSampleRate(&rate);
    EXPECT_EQ(rate, 48000.0) << row.rate;
  }
  driver->Release();
}

// An external clock change during playback: reported once from the clock thread, then the
// driver runs at the new rate, and so does its next object (the host's reopening).
TEST_F(TestDriverTest, ChangesItsClockOnceDuringPlayback) {
  const GUID id = TestClassId(26);
  DriverConfig config;
  config.sample_rate = 48000.0;
  config.clock_change_ms = 60;
  config.clock_change_rate = 96000.0;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  ASSERT_EQ(CreateAllBuffers(driver, 256, config), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  for (int i = 0; i < 200 && host_.rate_changes == 0; ++i) platform::SleepMilliseconds(5);
  platform::SleepMilliseconds(100);
  driver->stop();

  EXPECT_EQ(host_.rate_changes, 1);
  EXPECT_EQ(host_.rate_change, 96000.0);
  EXPECT_NE(host_.message_thread, std::this_thread::get_id());
  ASSERT_FALSE(host_.time_rates.empty());
  EXPECT_EQ(host_.time_rates.front(), 48000.0);
  EXPECT_EQ(host_.time_rates.back(), 96000.0);
  double rate = 0.0;
  driver->getSampleRate(&rate);
  EXPECT_EQ(rate, 96000.0);
  const std::vector<std::string> requests = control.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("clock 96000 at ", 0), 0u) << requests[0];
  driver->disposeBuffers();
  driver->Release();

  IASIO* reopened = Create(id);
  ASSERT_NE(reopened, nullptr);
  reopened->getSampleRate(&rate);
  EXPECT_EQ(rate, 96000.0);
  reopened->Release();
}

// The output WAV file of a class goes on across driver objects (a host's reopening), so that
// it holds every block played, in order.
TEST_F(TestDriverTest, ACaptureGoesOnAcrossTheHostsReopenings) {
  const GUID id = TestClassId(24);
  const std::string wav_path = platform::ExecutableDirectory() + "/reopened_capture.wav";
  std::remove(wav_path.c_str());
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.output_wav = wav_path;
  ScopedDriver installed(TestDriverName(id), id, config);
  DriverControl control(id);
  std::vector<int32_t> ramp(5 * 64);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<int32_t>(i + 1) << 16;
  ASSERT_TRUE(control.FeedInput(0, {reinterpret_cast<const uint8_t*>(ramp.data()),
                                    reinterpret_cast<const uint8_t*>(ramp.data() + ramp.size())}));
  for (int32_t blocks : {2, 3}) {
    IASIO* driver = Create(id);
    ASSERT_NE(driver, nullptr);
    driver->init(nullptr);
    ASSERT_EQ(CreateAllBuffers(driver, 64, config), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(control.RunSwitches(blocks), blocks);
    driver->stop();
    driver->disposeBuffers();
    driver->Release();
  }
  wav::Reader reader;
  ASSERT_TRUE(reader.Open(wav_path)) << reader.Error();
  ASSERT_EQ(reader.FrameCount(), 5 * 64);
  std::vector<double> frames(5 * 64 * 2);
  ASSERT_EQ(reader.Read(frames.data(), 5 * 64), 5u * 64);
  for (size_t i = 0; i < ramp.size(); ++i)
    ASSERT_EQ(frames[2 * i], ramp[i] / 2147483648.0) << "frame " << i;
  reader.Close();
  std::remove(wav_path.c_str());
}

TEST_F(TestDriverTest, FailsOnRequest) {
  const GUID id = TestClassId(7);
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.failures["init"] = Failure::Refuse;
  config.null_buffer_output = 1;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  ASSERT_TRUE(control.SetFailure("init", Failure::None));
  EXPECT_EQ(driver->init(nullptr), ASIOTrue);

  ASSERT_TRUE(control.SetFailure("createBuffers", Failure::Refuse));
  EXPECT_EQ(CreateAllBuffers(driver, 256, config), ASE_HWMalfunction);
  ASSERT_TRUE(control.SetFailure("createBuffers", Failure::None));
  ASSERT_EQ(CreateAllBuffers(driver, 256, config), ASE_OK);
  EXPECT_NE(infos_[2].buffers[0], nullptr);
  EXPECT_EQ(infos_[3].buffers[0], nullptr) << "output 1 has no buffers";
  EXPECT_EQ(infos_[3].buffers[1], nullptr);
  ASSERT_EQ(driver->start(), ASE_OK);
  EXPECT_EQ(control.RunSwitches(2), 2);

  ASSERT_TRUE(control.SetFailure("stop", Failure::Raise));
  uint32_t code = 0;
  ASIOError result = ASE_OK;
  EXPECT_FALSE(platform::Guarded([&] { result = driver->stop(); }, &code));
#if defined(_WIN32)
  EXPECT_EQ(code, platform::kFaultForeignCxxException);
#else
  EXPECT_EQ(code, platform::kFaultCxxException);
#endif
  ASSERT_TRUE(control.SetFailure("disposeBuffers", Failure::Fault));
  EXPECT_FALSE(platform::Guarded([&] { result = driver->disposeBuffers(); }, &code));
  EXPECT_EQ(code, platform::kFaultAccessViolation);

  // The driver still works after its faults.
  ASSERT_TRUE(control.SetFailure("stop", Failure::None));
  ASSERT_TRUE(control.SetFailure("disposeBuffers", Failure::None));
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  driver->Release();
  EXPECT_EQ(control.LiveObjects(), 0);
}

TEST_F(TestDriverTest, PlaysAnInputWavFileIntoAnOutputWavFile) {
  const GUID id = TestClassId(8);
  const std::string folder = platform::ExecutableDirectory();
  const std::string input_path = folder + "/driver_input_" + std::to_string(id.Data4[2]) + ".wav";
  const std::string output_path = folder + "/driver_output_" + std::to_string(id.Data4[2]) + ".wav";
  constexpr size_t kFrames = 300;
  std::vector<double> source(kFrames * 3);
  for (size_t i = 0; i < source.size(); ++i) source[i] = (static_cast<int>(i % 200) - 100) / 128.0;
  {
    wav::Writer writer;
    ASSERT_TRUE(writer.Open(input_path, {3, 44100, wav::SampleFormat::Int16}));
    ASSERT_TRUE(writer.Write(source.data(), kFrames));
    ASSERT_TRUE(writer.Close());
  }
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.inputs = {
      {"A", 17}, {"B", 20}, {"C", 24}, {"D", 27}};  // Int24LSB, Float64LSB, Int32LSB16, -24
  config.outputs = config.inputs;
  config.input_wav = input_path;
  config.output_wav = output_path;
  ScopedDriver installed(TestDriverName(id), id, config);
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  DriverControl control(id);
  driver->init(nullptr);
  ASSERT_EQ(CreateAllBuffers(driver, 128, config), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_EQ(control.RunSwitches(3), 3);
  driver->stop();
  driver->disposeBuffers();
  driver->Release();

  wav::Reader reader;
  ASSERT_TRUE(reader.Open(output_path)) << reader.Error();
  EXPECT_EQ(reader.format().channels, 4);
  EXPECT_EQ(reader.format().sample_format, wav::SampleFormat::Float32);
  ASSERT_EQ(reader.FrameCount(), 3 * 128);
  std::vector<double> captured(3 * 128 * 4);
  ASSERT_EQ(reader.Read(captured.data(), 3 * 128), 3u * 128);
  for (size_t frame = 0; frame < 3 * 128; ++frame) {
    for (size_t channel = 0; channel < 3; ++channel)
      ASSERT_EQ(captured[frame * 4 + channel], frame < kFrames ? source[frame * 3 + channel] : 0.0)
          << frame << " " << channel;
    ASSERT_EQ(captured[frame * 4 + 3], 0.0) << "the file has no fourth channel";
  }
  std::remove(input_path.c_str());
  std::remove(output_path.c_str());
}

TEST_F(TestDriverTest, TwoDifferentlyConfiguredDriversAtOnce) {
  const GUID first_id = TestClassId(9);
  const GUID second_id = TestClassId(10);
  DriverConfig first;
  first.clock = ClockMode::Fast;
  DriverConfig second;
  second.driver_name = "Second";
  second.inputs = {};
  second.outputs = {{"1", 19}, {"2", 19}, {"3", 19}, {"4", 19}};
  second.clock = ClockMode::Manual;
  ScopedDriver first_installed(TestDriverName(first_id), first_id, first);
  ScopedDriver second_installed(TestDriverName(second_id), second_id, second);
  IASIO* one = Create(first_id);
  IASIO* two = Create(second_id);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  DriverControl first_control(first_id);
  DriverControl second_control(second_id);
  EXPECT_EQ(one->init(nullptr), ASIOTrue);
  EXPECT_EQ(two->init(nullptr), ASIOTrue);
  int32_t inputs = -1, outputs = -1;
  two->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 0);
  EXPECT_EQ(outputs, 4);
  one->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 2);
  EXPECT_EQ(outputs, 2);
  char name[32] = {};
  two->getDriverName(name);
  EXPECT_STREQ(name, "Second");
  EXPECT_THAT(first_control.Log(), ElementsAre("init", "getChannels"));
  EXPECT_THAT(second_control.Log(), ElementsAre("init", "getChannels", "getDriverName"));
  platform::DynamicLibrary library(
      platform::LoadLibraryFile(asio_test::DriverLibraryPath()).handle);
  auto can_unload =
      reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)()>(library.Export("DllCanUnloadNow"));
  ASSERT_NE(can_unload, nullptr);
  one->Release();
  EXPECT_EQ(can_unload(), S_FALSE);
  two->Release();
  EXPECT_EQ(first_control.LiveObjects(), 0);
  EXPECT_EQ(second_control.LiveObjects(), 0);
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(TestDriverTest, ConfigurationSurvivesTheRegistry) {
  const GUID id = TestClassId(14);
  EXPECT_FALSE(asio_test::ReadDriverConfig(id));
  DriverConfig config;
  config.driver_name = "Stored";
  config.version = 3;
  config.inputs = {};
  config.outputs = {{"Left \\ with\tcontrol", 40}, {"", 2}};
  config.minimum_size = 1;
  config.maximum_size = 65536;
  config.preferred_size = 70000;
  config.granularity = 0;
  config.sample_rates = {8000.0, 44100.0, 192000.0, 0.1};
  config.sample_rate = 0.1;
  config.input_latency = -1;
  config.output_latency = 1 << 30;
  config.time_info = false;
  config.clock = ClockMode::Fast;
  config.clock_speed = 2.5;
  config.failures = {
      {"init", Failure::Raise}, {"outputReady", Failure::Fault}, {"stop", Failure::Refuse}};
  config.null_buffer_input = 3;
  config.null_buffer_output = 0;
  config.input_wav = "C:\\in.wav";
  config.output_wav = "/tmp/out.wav";
  config.reset_request_ms = 5000;
  config.buffer_size_change_ms = 30000;
  config.alternate_size = 1024;
  config.rate_announcement_ms = 7;
  config.clock_change_ms = 250;
  config.clock_change_rate = 88200.0;
  ASSERT_TRUE(asio_test::WriteDriverConfig(id, config));
  const auto read = asio_test::ReadDriverConfig(id);
  asio_test::DeleteDriverConfig(id);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->driver_name, config.driver_name);
  EXPECT_EQ(read->version, config.version);
  EXPECT_TRUE(read->inputs.empty());
  ASSERT_EQ(read->outputs.size(), 2u);
  EXPECT_EQ(read->outputs[0].name, config.outputs[0].name);
  EXPECT_EQ(read->outputs[0].type, 40);
  EXPECT_EQ(read->outputs[1].name, "");
  EXPECT_EQ(read->outputs[1].type, 2);
  EXPECT_EQ(read->minimum_size, 1);
  EXPECT_EQ(read->maximum_size, 65536);
  EXPECT_EQ(read->preferred_size, 70000);
  EXPECT_EQ(read->granularity, 0);
  EXPECT_EQ(read->sample_rates, config.sample_rates);
  EXPECT_EQ(read->sample_rate, 0.1);
  EXPECT_EQ(read->input_latency, -1);
  EXPECT_EQ(read->output_latency, 1 << 30);
  EXPECT_FALSE(read->time_info);
  EXPECT_EQ(read->clock, ClockMode::Fast);
  EXPECT_EQ(read->clock_speed, 2.5);
  EXPECT_EQ(read->failures, config.failures);
  EXPECT_EQ(read->null_buffer_input, 3);
  EXPECT_EQ(read->null_buffer_output, 0);
  EXPECT_EQ(read->input_wav, config.input_wav);
  EXPECT_EQ(read->output_wav, config.output_wav);
  EXPECT_EQ(read->reset_request_ms, 5000);
  EXPECT_EQ(read->buffer_size_change_ms, 30000);
  EXPECT_EQ(read->alternate_size, 1024);
  EXPECT_EQ(read->rate_announcement_ms, 7);
  EXPECT_EQ(read->clock_change_ms, 250);
  EXPECT_EQ(read->clock_change_rate, 88200.0);
  EXPECT_FALSE(asio_test::ReadDriverConfig(id));
}

TEST_F(TestDriverTest, RegistersItselfWithTheDefaultConfiguration) {
  platform::DynamicLibrary library(
      platform::LoadLibraryFile(asio_test::DriverLibraryPath()).handle);
  ASSERT_TRUE(library.Loaded());
  auto register_server =
      reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)()>(library.Export("DllRegisterServer"));
  auto unregister_server =
      reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)()>(library.Export("DllUnregisterServer"));
  ASSERT_NE(register_server, nullptr);
  ASSERT_NE(unregister_server, nullptr);
  ASSERT_EQ(register_server(), S_OK);
  // Unregistered also when an assertion below ends the test early.
  struct Unregister {
    HRESULT(STDMETHODCALLTYPE* routine)();
    ~Unregister() { routine(); }
  } unregister{unregister_server};

  auto listing =
      platform::RegistryKey::Open(platform::RegistryRoot::LocalMachine,
                                  std::string("Software\\ASIO\\") + asio_test::kDefaultDriverName,
                                  platform::RegistryAccess::ReadOnly);
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->ReadString("CLSID"),
            platform::ClassIdToString(asio_test::kDefaultDriverClassId));
  listing.reset();

  IASIO* driver = Create(asio_test::kDefaultDriverClassId);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->init(nullptr), ASIOTrue);
  char name[32] = {};
  driver->getDriverName(name);
  EXPECT_STREQ(name, asio_test::kDefaultDriverName);
  int32_t inputs = 0, outputs = 0;
  driver->getChannels(&inputs, &outputs);
  EXPECT_EQ(inputs, 2);
  EXPECT_EQ(outputs, 2);
  driver->Release();

  EXPECT_EQ(unregister_server(), S_OK);
  EXPECT_FALSE(
      platform::RegistryKey::Open(platform::RegistryRoot::LocalMachine,
                                  std::string("Software\\ASIO\\") + asio_test::kDefaultDriverName,
                                  platform::RegistryAccess::ReadOnly));
  EXPECT_EQ(Create(asio_test::kDefaultDriverClassId), nullptr);
}

TEST_F(TestDriverTest, UnknownClassIdsAreNotServed) {
  const GUID id = TestClassId(11);
  // Registered with this library but neither configured nor its own: still served, as the
  // registration points here.
  ASSERT_TRUE(asio_test::RegisterDriver(TestDriverName(id), id, asio_test::DriverLibraryPath()));
  IASIO* driver = Create(id);
  ASSERT_NE(driver, nullptr);
  driver->Release();
  asio_test::UnregisterDriver(TestDriverName(id), id);

  platform::DynamicLibrary library(
      platform::LoadLibraryFile(asio_test::DriverLibraryPath()).handle);
  auto get_class_object = reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)(REFCLSID, REFIID, void**)>(
      library.Export("DllGetClassObject"));
  ASSERT_NE(get_class_object, nullptr);
  void* factory = reinterpret_cast<void*>(1);
  EXPECT_EQ(get_class_object(id, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
}

}  // namespace
