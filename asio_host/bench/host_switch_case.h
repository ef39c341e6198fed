#pragma once

// One buffer switch of a running converting host as a driver makes it: 2 Int32LSB inputs,
// 8 Int24LSB outputs, 256 frames, and an OnBufferSwitch32 that copies the inputs to the
// outputs. The driver lives in the program; its part of the switch (outputReady) does
// nothing, so what is measured is the host's.
#include <memory>
#include <string>

#include "asio_host/asio_host_converting.h"
#include "asio_host/tests/fake_asio_driver.h"
#include "platform/registry.h"
#include "platform/system.h"

class HostSwitchCase {
 public:
  static constexpr int32_t kFrames = 256;

  // Lists the in-program driver below `base` (under the current user) and starts it.
  bool Open(const std::string& base) {
    const std::string class_id = "{5A17C0DE-0000-4000-8000-00000000BE7C}";
    using platform::RegistryAccess;
    using platform::RegistryKey;
    using platform::RegistryRoot;
    auto entry = RegistryKey::Open(RegistryRoot::CurrentUser, base + "\\ASIO\\Switch", RegistryAccess::Full, true);
    auto server = RegistryKey::Open(RegistryRoot::CurrentUser, base + "\\CLSID\\" + class_id + "\\InprocServer32",
                                    RegistryAccess::Full, true);
    if (!entry || !server) return false;
    entry->WriteString("clsid", class_id);
    server->WriteString("", platform::ModulePath(reinterpret_cast<const void*>(&HostSwitchCase::Anchor)));

    driver.inputs = 2;
    driver.outputs = 8;
    driver.input_types = {ASIOSTInt32LSB, ASIOSTInt32LSB};
    driver.output_types.assign(8, ASIOSTInt24LSB);
    driver.minimum = driver.maximum = driver.preferred = kFrames;
    host = std::make_unique<TestHost<TASIOHost>>(
        TAsioDriverRegistry{platform::RegistryRoot::CurrentUser, base + "\\ASIO",
                            platform::RegistryRoot::CurrentUser, base + "\\CLSID"},
        std::map<std::string, FakeAsioDriver*>{{"Switch", &driver}});
    host->SetOnBufferSwitch32(TBufferSwitchEvent32::Bind<&HostSwitchCase::CopyInputs>(this));
    host->SetDriverIndex(0);
    host->SetActive(true);
    if (!host->GetActive() || !driver.callbacks) return false;
    // Something to convert: a ramp over the full range in both input halves.
    for (int half = 0; half < 2; ++half)
      for (size_t channel = 0; channel < 2; ++channel) {
        auto* samples = reinterpret_cast<int32_t*>(driver.Buffer(half, channel));
        for (int32_t i = 0; i < kFrames; ++i) samples[i] = (i - kFrames / 2) * 16777216 + static_cast<int32_t>(channel);
      }
    time.timeInfo.speed = 1.0;
    time.timeInfo.sampleRate = 44100.0;
    time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid | kSpeedValid;
    return true;
  }

  void Close() {
    host.reset();
  }

  // One switch, as the driver's thread makes it.
  void Switch() noexcept {
    position += kFrames;
    time.timeInfo.samplePosition = Int64ToASIOSamples(position);
    driver.callbacks->bufferSwitchTimeInfo(&time, half, ASIOTrue);
    half ^= 1;
  }

  // The output bytes the last switch left in the driver's buffers, for a check.
  const uint8_t* Output(int which_half, size_t channel) { return driver.Buffer(which_half, 2 + channel); }

  FakeAsioDriver driver;
  std::unique_ptr<TestHost<TASIOHost>> host;

 private:
  // An address inside this program: the listed driver's "library" must be a file that exists.
  static void Anchor() {}
  void CopyInputs(TObject*, TSingleChannelArrays& in, TSingleChannelArrays& out) {
    for (size_t channel = 0; channel < out.ChannelCount(); ++channel)
      std::copy_n(in[channel % in.ChannelCount()], in.SampleCount(), out[channel]);
  }

  ::ASIOTime time{};
  int64_t position = 0;
  int half = 0;
};
