#include <gtest/gtest.h>

#include <cstring>

#include "asio_host/asio_host_converting.h"
#include "asio_host/tests/asio_registry_test.h"
#include "asio_host/tests/fake_asio_driver.h"

namespace {

using Host = TestHost<TCustomASIOHost>;

class ConvertingHost : public AsioRegistryTest {
 protected:
  void SetUp() override {
    AsioRegistryTest::SetUp();
    Register("Fake", ClassIdText(1));
    driver.inputs = 2;
    driver.outputs = 2;
    driver.input_types = {ASIOSTFloat32LSB, ASIOSTFloat32LSB};
    driver.output_types = {ASIOSTFloat32LSB, ASIOSTFloat32LSB};
    driver.minimum = driver.maximum = driver.preferred = 8;
  }
  std::unique_ptr<Host> Open() {
    auto host =
        std::make_unique<Host>(Place(), std::map<std::string, FakeAsioDriver*>{{"Fake", &driver}});
    host->SetDriverIndex(0);
    EXPECT_TRUE(host->BuffersCreated);
    return host;
  }
  // Float32LSB buffers read and write as plain floats.
  float* In(int half, size_t channel) {
    return reinterpret_cast<float*>(driver.Buffer(half, channel));
  }
  float* Out(int half, size_t channel) {
    return reinterpret_cast<float*>(
        driver.Buffer(half, static_cast<size_t>(driver.inputs) + channel));
  }
  void FillInputs(int half, float first) {
    for (int32_t c = 0; c < driver.inputs; ++c)
      if (In(half, static_cast<size_t>(c)))
        for (int i = 0; i < 8; ++i)
          In(half, static_cast<size_t>(c))[i] = first + static_cast<float>(c) + i / 100.0f;
  }
  void Switch(int half) { driver.callbacks->bufferSwitch(half, ASIOFalse); }

  FakeAsioDriver driver;
};

TEST_F(ConvertingHost, SizesItsArraysByTheBufferSizeRule) {
  driver.minimum = driver.maximum = 512;
  driver.preferred = 256;
  auto host = Open();
  EXPECT_EQ(host->GetBufferSize(), 512u);
  EXPECT_EQ(driver.created_size, 512);
  EXPECT_EQ(host->SingleInBuffer().SampleCount(), 512u);
  EXPECT_EQ(host->DoubleOutBuffer().SampleCount(), 512u);
  EXPECT_EQ(host->SingleOutBuffer().ChannelCount(), 2u);

  for (int32_t preferred : {0, 70000}) {
    driver.minimum = 64;
    driver.maximum = 100000;
    driver.preferred = preferred;
    host->SetDriverIndex(-1);
    host->SetDriverIndex(0);
    EXPECT_EQ(host->GetBufferSize(), 4096u);
    EXPECT_EQ(host->SingleInBuffer().SampleCount(), 4096u);
    EXPECT_EQ(driver.created_size, preferred);
  }
}

// A driver that accepted a size below 1 has buffers of no samples: none are touched.
TEST_F(ConvertingHost, NeverTouchesMoreSamplesThanTheDriverWasAskedFor) {
  driver.minimum = 64;
  driver.maximum = 100000;
  driver.preferred = 0;
  auto host = Open();
  std::memset(driver.Buffer(0, 2), 0x7F, 4096 * 4);
  Switch(0);
  EXPECT_EQ(driver.Buffer(0, 2)[0], 0x7F);
  EXPECT_EQ(driver.output_ready, 1);
}

TEST_F(ConvertingHost, WithDefaultsEachSwitchConvertsTheInputsAndTheUnchangedOutputs) {
  auto host = Open();
  FillInputs(1, 0.25f);
  Switch(1);
  EXPECT_EQ(host->SingleInBuffer()[1][3], 1.25f + 0.03f);
  EXPECT_EQ(Out(1, 0)[0], 0.0f) << "zeros after creation";
  EXPECT_EQ(driver.Buffer(0, 2)[0], 0xAB) << "the other half is not touched";
  EXPECT_EQ(driver.output_ready, 1);
}

TEST_F(ConvertingHost, TheDoubleHandlerWinsOverTheSingleOneUntilItIsCleared) {
  auto host = Open();
  int singles = 0, doubles = 0;
  auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) {
    ++singles;
    out[0][0] = 0.5f;
  };
  auto on64 = [&](TObject*, TDoubleChannelArrays& in, TDoubleChannelArrays& out) {
    ++doubles;
    out[0][0] = in[1][1] * 2;
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  host->SetOnBufferSwitch64(TBufferSwitchEvent64::FromCallable(&on64));
  FillInputs(0, 0.25f);
  Switch(0);
  EXPECT_EQ(singles, 0);
  EXPECT_EQ(doubles, 1);
  EXPECT_EQ(Out(0, 0)[0], static_cast<float>((1.25f + 0.01f) * 2.0));
  EXPECT_EQ(host->SingleInBuffer()[1][1], 0.0f) << "the single arrays were not used";
  host->SetOnBufferSwitch64(nullptr);
  Switch(0);
  EXPECT_EQ(singles, 1);
  EXPECT_EQ(Out(0, 0)[0], 0.5f);
}

TEST_F(ConvertingHost, TheNativeHandlerBypassesAllConversionButPositionAndOutputReadyStay) {
  auto host = Open();
  int native = 0, single = 0, positions = 0;
  auto on_native = [&](TObject*, PASIOBufferList list, int32_t half) {
    ++native;
    EXPECT_EQ(list, host->InputBufferInfos);
    EXPECT_EQ(half, 1);
  };
  auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays&) { ++single; };
  auto on_position = [&](TObject*, int64_t) { ++positions; };
  host->OnBufferSwitchNative = TBufferSwitchEventNative::FromCallable(&on_native);
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  host->OnUpdateSamplePos = TSamplePositionUpdateEvent::FromCallable(&on_position);
  host->PreFillOutBuffer = bpfNoise;
  FillInputs(1, 0.5f);
  Switch(1);
  EXPECT_EQ(native, 1);
  EXPECT_EQ(single, 0);
  EXPECT_EQ(positions, 1);
  EXPECT_EQ(driver.output_ready, 1);
  EXPECT_EQ(host->SingleInBuffer()[0][0], 0.0f);
  EXPECT_EQ(host->SingleOutBuffer()[0][0], 0.0f);
}

TEST_F(ConvertingHost, MonitorsInputsIntoOutputsBeforeTheHandlerAndSkipsMissingChannels) {
  driver.inputs = 3;
  driver.input_types = {ASIOSTFloat32LSB, ASIOSTFloat32LSB, ASIOSTFloat32LSB};
  auto host = Open();
  float seen[2] = {0, 0};
  auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) {
    seen[0] = out[0][2];
    seen[1] = out[1][2];
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  FillInputs(0, 0.25f);
  host->InputMonitor = imStereo;
  Switch(0);
  EXPECT_EQ(seen[0], 0.27f);
  EXPECT_EQ(seen[1], 1.27f);

  host->SetInputChannelOffset(2);
  host->SetOutputChannelOffset(1);
  host->PreFillOutBuffer = bpfZero;
  host->InputMonitor = imMono;
  Switch(0);
  EXPECT_EQ(seen[0], 0.0f);
  EXPECT_EQ(seen[1], 2.27f);
  host->InputMonitor = imStereo;  // input 3 and output 2 do not exist: only the first pair
  Switch(0);
  EXPECT_EQ(seen[1], 2.27f);

  host->InputMonitor = imAll;  // the offsets do not matter; two pairs
  Switch(0);
  EXPECT_EQ(seen[0], 0.27f);
  EXPECT_EQ(seen[1], 1.27f);
}

TEST_F(ConvertingHost, ClipsDigitallyOrAnalogBeforeConversion) {
  auto host = Open();
  float value = 1.0f;
  auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) {
    out[0][0] = value;
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  host->SetPreventClipping(pcAnalog);
  Switch(0);
  EXPECT_FLOAT_EQ(Out(0, 0)[0], 0.8f);
  host->SetPreventClipping(pcDigital);
  value = 1.5f;
  Switch(0);
  EXPECT_EQ(Out(0, 0)[0], 1.0f);
  host->SetPreventClipping(pcNone);
  Switch(0);
  EXPECT_EQ(Out(0, 0)[0], 1.5f);
}

TEST_F(ConvertingHost, TakesChannelOffsetsOnlyBelowTheChannelCount) {
  auto early =
      std::make_unique<Host>(Place(), std::map<std::string, FakeAsioDriver*>{{"Fake", &driver}});
  early->SetInputChannelOffset(1);  // as a stored form read before a driver is open
  EXPECT_EQ(early->GetInputChannelOffset(), 0);
  early.reset();
  auto host = Open();
  host->SetInputChannelOffset(1);
  EXPECT_EQ(host->GetInputChannelOffset(), 1);
  host->SetInputChannelOffset(3);
  EXPECT_EQ(host->GetInputChannelOffset(), 1);
  host->SetOutputChannelOffset(2);
  EXPECT_EQ(host->GetOutputChannelOffset(), 0);
}

struct CountingGenerator : TASIOGenerator {
  int inputs = 0, outputs = 0;
  void ProcessBlock(TSingleChannelArrays& buffer, bool output) override {
    (output ? outputs : inputs)++;
    for (size_t c = 0; c < buffer.ChannelCount(); ++c) buffer[c][0] = output ? 0.75f : -0.75f;
  }
};

TEST_F(ConvertingHost, FillsFromTheCustomGeneratorOrKeepsThePreviousBlockWithoutOne) {
  auto host = Open();
  host->PreFillInBuffer = bpfCustom;
  FillInputs(0, 0.25f);
  Switch(0);
  EXPECT_EQ(host->SingleInBuffer()[0][0], 0.0f) << "no generator: the arrays keep what they had";

  CountingGenerator generator;
  host->SetCustomGenerator(&generator);
  EXPECT_EQ(generator.BlockSize, 8u);
  EXPECT_EQ(generator.SampleRate, 48000.0);
  host->PreFillOutBuffer = bpfCustom;
  Switch(0);
  EXPECT_EQ(generator.inputs, 1);
  EXPECT_EQ(generator.outputs, 1);
  EXPECT_EQ(host->SingleInBuffer()[1][0], -0.75f);
  EXPECT_EQ(Out(0, 1)[0], 0.75f);

  driver.minimum = driver.maximum = driver.preferred = 16;
  host->Reset();
  EXPECT_EQ(generator.BlockSize, 16u) << "every buffer creation tells the generator";

  // The double path converts from the driver instead, and leaves the outputs alone.
  auto on64 = [](TObject*, TDoubleChannelArrays&, TDoubleChannelArrays&) {};
  host->SetOnBufferSwitch64(TBufferSwitchEvent64::FromCallable(&on64));
  FillInputs(0, 0.25f);
  Switch(0);
  EXPECT_EQ(generator.inputs, 1);
  EXPECT_EQ(host->DoubleInBuffer()[0][1], static_cast<double>(0.25f + 0.01f));
}

TEST_F(ConvertingHost, PreFillsWithSilenceOrNoiseInRange) {
  auto host = Open();
  host->PreFillInBuffer = bpfNoise;
  host->PreFillOutBuffer = bpfNoise;
  Switch(0);
  bool varied = false;
  for (size_t c = 0; c < 2; ++c)
    for (int i = 0; i < 8; ++i) {
      const float in = host->SingleInBuffer()[c][i], out = Out(0, c)[i];
      EXPECT_GE(in, -1.0f);
      EXPECT_LT(in, 1.0f);
      EXPECT_GE(out, -1.0f);
      EXPECT_LT(out, 1.0f);
      varied |= in != host->SingleInBuffer()[0][0];
    }
  EXPECT_TRUE(varied);
  host->PreFillInBuffer = bpfZero;
  host->PreFillOutBuffer = bpfZero;
  FillInputs(0, 0.5f);
  Switch(0);
  EXPECT_EQ(host->SingleInBuffer()[1][7], 0.0f);
  EXPECT_EQ(Out(0, 1)[7], 0.0f);
}

TEST_F(ConvertingHost, LeavesChannelsWithoutAddressOrConverterUnconverted) {
  driver.inputs = 3;
  driver.outputs = 3;
  driver.input_types = {ASIOSTFloat32LSB, ASIOSTFloat32LSB, 32};  // 32: a type without converter
  driver.output_types = {ASIOSTFloat32LSB, ASIOSTFloat32LSB, 32};
  driver.channels_without_buffer = {1, 4};  // input 1 and output 1
  auto host = Open();
  auto on32 = [](TObject*, TSingleChannelArrays& in, TSingleChannelArrays& out) {
    for (size_t c = 0; c < 3; ++c) out[c][0] = in[c][0] + 0.5f;
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  FillInputs(0, 0.25f);
  Switch(0);
  EXPECT_EQ(host->SingleInBuffer()[0][0], 0.25f);
  EXPECT_EQ(host->SingleInBuffer()[1][0], 0.0f);
  EXPECT_EQ(host->SingleInBuffer()[2][0], 0.0f);
  EXPECT_EQ(Out(0, 0)[0], 0.75f);
  EXPECT_EQ(driver.Buffer(0, 5)[0], 0xAB) << "the unconvertible output is left alone";
}

// A channel whose new type has no converter is left alone, never converted by the routine an
// earlier driver's channel of that number had.
TEST_F(ConvertingHost, AChannelWithoutConverterAfterAResetIsLeftAlone) {
  auto host = Open();
  auto on32 = [](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) { out[0][0] = 0.5f; };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  Switch(0);
  ASSERT_EQ(Out(0, 0)[0], 0.5f);
  driver.output_types = {32, 32};
  driver.input_types = {-3, 32};
  host->Reset();
  FillInputs(0, 0.25f);
  Switch(0);
  EXPECT_EQ(driver.Buffer(0, 2)[0], 0xAB) << "the output was converted by an old converter";
  EXPECT_EQ(host->SingleInBuffer()[0][0], 0.0f) << "the input was converted by an old converter";
}

// A handler that closes, resets or changes the driver inside its own switch: the rest of
// that switch leaves the old buffers and the new driver alone, on both paths.
TEST_F(ConvertingHost, AHandlerThatClosesResetsOrChangesTheDriverEndsItsSwitch) {
  Register("Other", ClassIdText(2));
  FakeAsioDriver other;
  other.input_types = other.output_types = {ASIOSTFloat32LSB, ASIOSTFloat32LSB};
  other.minimum = other.maximum = other.preferred = 8;
  enum Action { kClose, kReset, kChange };
  for (const bool double_path : {false, true}) {
    for (const Action action : {kClose, kReset, kChange}) {
      SCOPED_TRACE(std::string(double_path ? "double " : "single ") + std::to_string(action));
      Host host(Place(), {{"Fake", &driver}, {"Other", &other}});
      host.SetDriverIndex(0);
      host.SetActive(true);
      host.SetPreventClipping(pcDigital);
      auto act = [&] {
        if (action == kClose) host.SetDriverIndex(-1);
        if (action == kReset) host.Reset();
        if (action == kChange) host.SetDriverIndex(1);
      };
      auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays&) { act(); };
      auto on64 = [&](TObject*, TDoubleChannelArrays&, TDoubleChannelArrays&) { act(); };
      if (double_path)
        host.SetOnBufferSwitch64(TBufferSwitchEvent64::FromCallable(&on64));
      else
        host.SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
      const int ready = driver.output_ready + other.output_ready;
      driver.callbacks->bufferSwitch(0, ASIOFalse);
      EXPECT_EQ(driver.output_ready + other.output_ready, ready)
          << "no driver hears of the old switch";
      if (action != kClose) {
        ASSERT_TRUE(host.BuffersCreated);
        EXPECT_EQ(host.SingleOutBuffer().SampleCount(), 8u);
      }
      host.SetOnBufferSwitch32(nullptr);
      host.SetOnBufferSwitch64(nullptr);
      host.SetDriverIndex(-1);
    }
  }
}

// A layout too large to allocate leaves the host without buffers, and switches touch nothing.
TEST_F(ConvertingHost, ALayoutTooLargeIsRefusedWithEmptyArrays) {
  driver.outputs = 65543;
  driver.hand_out_buffers = false;
  driver.minimum = 64;
  driver.maximum = 100000;
  driver.preferred = 65530;
  Host host(Place(), {{"Fake", &driver}});
  host.SetDriverIndex(0);
  EXPECT_FALSE(host.BuffersCreated);
  EXPECT_EQ(host.SingleOutBuffer().ChannelCount(), 0u);
  EXPECT_EQ(host.DoubleOutBuffer().ChannelCount(), 0u);
  EXPECT_EQ(host.GetOutputChannelCount(), 0);
  EXPECT_EQ(driver.Count("createBuffers"), 0);
}

TEST_F(ConvertingHost, OutputsCarryThePreviousBlockWhenNothingOverwritesThem) {
  auto host = Open();
  bool write = true;
  auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) {
    if (write) out[1][4] = -0.5f;
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  Switch(0);
  write = false;
  Switch(1);
  EXPECT_EQ(Out(1, 1)[4], -0.5f);
}

TEST_F(ConvertingHost, HasTheLatenciesWhenOnLatencyChangedFires) {
  auto host =
      std::make_unique<Host>(Place(), std::map<std::string, FakeAsioDriver*>{{"Fake", &driver}});
  int32_t seen = 0;
  auto on_latency = [&](TObject*) { seen = host->GetInputLatency() + host->GetOutputLatency(); };
  host->OnLatencyChanged = TNotifyEvent::FromCallable(&on_latency);
  host->SetDriverIndex(0);
  EXPECT_EQ(seen, 700);
}

// Dither reaches a host through the converters it copies when it creates its buffers.
TEST_F(ConvertingHost, DithersOutputsFromTheNextBufferCreationOn) {
  driver.output_types = {ASIOSTInt16LSB, ASIOSTInt16LSB};
  auto host = Open();
  auto on32 = [](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) {
    std::fill_n(out[0], out.SampleCount(), 0.3f / 32767.0f);  // 0.3 of a step
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  auto ones = [this] {
    const auto* samples = reinterpret_cast<const int16_t*>(driver.Buffer(0, 2));
    return std::count(samples, samples + 8, int16_t{1});
  };
  host->SetOutputDither(odUDF);
  Switch(0);
  EXPECT_EQ(ones(), 0) << "the buffers were made before the dither was chosen";
  int dithered = 0;
  host->Reset();
  for (int i = 0; i < 16; ++i) {
    Switch(0);
    dithered += static_cast<int>(ones());
  }
  EXPECT_GT(dithered, 0);
  EXPECT_LT(dithered, 16 * 8);
  host->SetOutputDither(odNone);
  host->Reset();
  Switch(0);
  EXPECT_EQ(ones(), 0);
}

// A new host passes samples beyond full scale through unclipped, and claims every
// optimisation without installing any routine.
TEST_F(ConvertingHost, StartsWithoutClippingOrDitherAndInstallsNoRoutines) {
  const auto input_before = InputConverterTable;
  const auto output_before = OutputConverterTable;
  const TClipRoutines digital_before = ClipDigital, analog_before = ClipAnalog;
  auto host = Open();
  EXPECT_EQ(host->GetPreventClipping(), pcNone);
  EXPECT_TRUE(host->GetConvertOptimizations() == TConvertOptimizations({coSSE, co3DNow}));
  EXPECT_EQ(host->GetOutputDither(), odNone);
  EXPECT_EQ(host->InputMonitor, imDisabled);
  EXPECT_TRUE(InputConverterTable == input_before) << "a new host installs nothing";
  EXPECT_TRUE(OutputConverterTable == output_before) << "a new host installs nothing";
  EXPECT_TRUE(ClipDigital == digital_before && ClipAnalog == analog_before);

  const float beyond_full_scale = 1.5f;
  auto on32 = [&](TObject*, TSingleChannelArrays&, TSingleChannelArrays& out) {
    out[0][0] = beyond_full_scale;
  };
  host->SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&on32));
  Switch(0);
  EXPECT_EQ(Out(0, 0)[0], beyond_full_scale);
}

}  // namespace
