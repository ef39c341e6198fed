#include <gtest/gtest.h>

#include "asio_host/tests/asio_registry_test.h"
#include "asio_host/tests/fake_asio_driver.h"
#include "asio_host/vuno_asio.h"

namespace {

TEST(VunoASIO, ForwardsEveryOperationToTheDriverMethodOfTheSamePosition) {
  FakeAsioDriver driver;
  driver.AddRef();
  IVunoASIO* adapter = new TVunoASIO(&driver);
  EXPECT_EQ(adapter->Init(reinterpret_cast<void*>(0x1234)), ASIOTrue);
  EXPECT_EQ(driver.init_handle, reinterpret_cast<void*>(0x1234));
  char name[32] = {};
  adapter->GetDriverName(name);
  EXPECT_STREQ(name, "Fake");
  EXPECT_EQ(adapter->GetDriverVersion(), 7);
  driver.start_answer = ASE_HWMalfunction;
  EXPECT_EQ(adapter->Start(), ASE_HWMalfunction);

  // A double by value reaches the driver as its two words, low word first.
  EXPECT_EQ(adapter->SetSampleRate(44100.0), ASE_OK);
  EXPECT_EQ(driver.last_set_rate_words[0], 0x00000000u);
  EXPECT_EQ(driver.last_set_rate_words[1], 0x40E58880u);
  EXPECT_EQ(adapter->CanSampleRate(44100.0), ASE_OK);
  EXPECT_EQ(adapter->CanSampleRate(12345.0), ASE_NoClock);
  EXPECT_EQ(driver.last_can_rate, 12345.0);

  int32_t a = 0, b = 0, c = 0, d = 0;
  adapter->GetChannels(&a, &b);
  EXPECT_EQ(a * 10 + b, 22);
  adapter->GetLatencies(&a, &b);
  EXPECT_EQ(a, 300);
  EXPECT_EQ(b, 400);
  adapter->GetBufferSize(&a, &b, &c, &d);
  EXPECT_EQ(a, 64);
  EXPECT_EQ(b, 2048);
  EXPECT_EQ(c, 256);
  EXPECT_EQ(d, -1);
  double rate = 0;
  adapter->GetSampleRate(&rate);
  EXPECT_EQ(rate, 48000.0);
  driver.position = {1, 5};
  ASIOSamples position{};
  ASIOTimeStamp stamp{};
  EXPECT_EQ(adapter->GetSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(ASIOSamplesToInt64(position), 4294967301);
  ASIOChannelControls controls{};
  controls.channel = 3;
  EXPECT_EQ(adapter->Future(kAsioGetOutputMeter, &controls), ASE_OK);
  EXPECT_EQ(controls.meter, 1234);
  EXPECT_EQ(driver.last_controls.channel, 3);
  adapter->ControlPanel();
  adapter->OutputReady();
  EXPECT_EQ(driver.output_ready, 1);

  EXPECT_EQ(driver.references, 1);
  adapter->AddRef();
  adapter->Release();
  EXPECT_EQ(driver.references, 1);
  adapter->Release();
  EXPECT_EQ(driver.references, 0) << "the last reference releases the driver object";
}

TEST(VunoASIO, AClassWithoutObjectGivesNoAdapter) {
  GUID unknown{};
  platform::ClassIdFromString("{0BADC0DE-1111-2222-3333-444444444444}", &unknown);
  IVunoASIO* adapter = reinterpret_cast<IVunoASIO*>(1);
  EXPECT_FALSE(CreateVunoASIO(unknown, adapter));
  EXPECT_EQ(adapter, nullptr);
}

TEST(VunoASIO, ADriverThatFaultsWhileGoingAwayDoesNotTakeTheHostWithIt) {
  FakeAsioDriver driver;
  driver.AddRef();
  driver.fault_in_release = true;
  IVunoASIO* adapter = new TVunoASIO(&driver);
  adapter->Release();
  EXPECT_EQ(driver.Count("release"), 1);
}

TEST(AsioSamples, JoinAndSplitBothHalvesAsUnsigned) {
  EXPECT_EQ(ASIOSamplesToInt64({1, 0}), 4294967296);
  EXPECT_EQ(ASIOSamplesToInt64({0, 0xFFFFFFFF}), 4294967295);
  EXPECT_EQ(ASIOSamplesToInt64({0x80000000, 0}), INT64_MIN);
  const ASIOSamples split = Int64ToASIOSamples(4294967301);
  EXPECT_EQ(split.hi, 1u);
  EXPECT_EQ(split.lo, 5u);
}

}  // namespace
