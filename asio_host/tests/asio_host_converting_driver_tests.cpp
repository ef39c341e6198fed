// The converting host against the project's test driver, installed and created as a real
// driver is: every supported sample type through input -> float -> output.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "asio_host/asio_host_converting.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"
#include "tools/asio_driver/test_driver.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;
using asio_test::DriverControl;
using asio_test::ScopedDriver;

constexpr int32_t kFrames = 256;

GUID TestClassId() {
  GUID id = {0x3C9F2E17, 0x6A41, 0x4B8D, {0x95, 0x0E, 0, 0, 0, 0, 0, 0}};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const uint32_t hash = static_cast<uint32_t>(std::hash<std::string>()(info->name()));
  std::memcpy(id.Data4 + 2, &hash, 4);
  const uint32_t now = platform::TickCount();
  std::memcpy(id.Data4 + 6, &now, 2);
  return id;
}

uint32_t Width(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16MSB: case ASIOSTInt16LSB: return 2;
    case ASIOSTInt24MSB: case ASIOSTInt24LSB: return 3;
    case ASIOSTFloat64MSB: case ASIOSTFloat64LSB: return 8;
    default: return 4;
  }
}

// Sample bytes of `type` that a driver could deliver: random codes of the type's range
// (sign-extended for the aligned types), finite floats within ±1 for the float types.
std::vector<uint8_t> InputBytes(ASIOSampleType type, size_t samples, std::mt19937& random) {
  const uint32_t width = Width(type);
  std::vector<uint8_t> bytes(samples * width);
  const bool big_endian = type < ASIOSTInt16LSB;
  const int index = SampleTypeIndex(type);
  static const int kBits[kSupportedSampleTypeCount] = {16, 24, 32, 0, 0, 16, 18, 20, 24,
                                                       16, 24, 32, 0, 0, 16, 18, 20, 24};
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (size_t i = 0; i < samples; ++i) {
    uint8_t little[8] = {};
    const int bits = kBits[index];
    if (bits == 0 && width == 4) {
      const float value = static_cast<float>(unit(random));
      std::memcpy(little, &value, 4);
    } else if (bits == 0) {
      const double value = unit(random);
      std::memcpy(little, &value, 8);
    } else {
      const int64_t low = -(int64_t{1} << (bits - 1)), high = (int64_t{1} << (bits - 1)) - 1;
      const int64_t code = std::uniform_int_distribution<int64_t>(low, high)(random);
      const uint64_t raw = static_cast<uint64_t>(code);
      std::memcpy(little, &raw, 8);
    }
    for (uint32_t b = 0; b < width; ++b)
      bytes[i * width + b] = big_endian ? little[width - 1 - b] : little[b];
  }
  return bytes;
}

class ConvertingHostWithDriver : public RegistryTest {
 protected:
  void TearDown() override {
    control_.reset();
    driver_.reset();
    RegistryTest::TearDown();
  }
  void Install(const DriverConfig& config) {
    class_id_ = TestClassId();
    name_ = "Partiloom Converting Test " + platform::ClassIdToString(class_id_);
    driver_ = std::make_unique<ScopedDriver>(name_, class_id_, config);
    ASSERT_TRUE(driver_->Installed());
    control_ = std::make_unique<DriverControl>(class_id_);
    ASSERT_TRUE(control_->Loaded());
  }

  GUID class_id_{};
  std::string name_;
  std::unique_ptr<ScopedDriver> driver_;
  std::unique_ptr<DriverControl> control_;
};

// One input and one output channel per supported type; the handler copies input i to
// output i, so every output must hold exactly what the type's two table routines make of
// the input, switch after switch, in both halves.
TEST_F(ConvertingHostWithDriver, EveryTypeConvertsInputToFloatToOutputAsTheTablesSay) {
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.minimum_size = config.maximum_size = config.preferred_size = kFrames;
  config.inputs.clear();
  config.outputs.clear();
  for (ASIOSampleType type : kSupportedSampleTypes) {
    config.inputs.push_back({"In " + std::to_string(type), type});
    config.outputs.push_back({"Out " + std::to_string(type), type});
  }
  Install(config);

  for (const bool double_path : {false, true}) {
    SCOPED_TRACE(double_path ? "double" : "single");
    const int switches = double_path ? 100 : 1000;
    const size_t samples = static_cast<size_t>(switches) * kFrames;
    std::mt19937 random(double_path ? 2 : 1);
    std::vector<std::vector<uint8_t>> inputs;
    for (int32_t c = 0; c < kSupportedSampleTypeCount; ++c) {
      inputs.push_back(InputBytes(kSupportedSampleTypes[static_cast<size_t>(c)], samples, random));
      ASSERT_TRUE(control_->FeedInput(c, inputs.back()));
    }

    TASIOHost host;
    auto copy32 = [](TObject*, TSingleChannelArrays& in, TSingleChannelArrays& out) {
      for (size_t c = 0; c < in.ChannelCount(); ++c) std::copy_n(in[c], in.SampleCount(), out[c]);
    };
    auto copy64 = [](TObject*, TDoubleChannelArrays& in, TDoubleChannelArrays& out) {
      for (size_t c = 0; c < in.ChannelCount(); ++c) std::copy_n(in[c], in.SampleCount(), out[c]);
    };
    host.SetOnBufferSwitch32(TBufferSwitchEvent32::FromCallable(&copy32));
    if (double_path) host.SetOnBufferSwitch64(TBufferSwitchEvent64::FromCallable(&copy64));
    host.SetDriverName(name_);
    ASSERT_EQ(host.GetDriverName(), name_);
    ASSERT_EQ(host.GetBufferSize(), static_cast<uint32_t>(kFrames));
    control_->SetCapture(true);
    host.SetActive(true);
    ASSERT_TRUE(host.GetActive());
    ASSERT_EQ(control_->RunSwitches(switches), switches);
    host.SetActive(false);
    control_->SetCapture(false);

    for (int32_t c = 0; c < kSupportedSampleTypeCount; ++c) {
      const ASIOSampleType type = kSupportedSampleTypes[static_cast<size_t>(c)];
      SCOPED_TRACE("sample type " + std::to_string(type));
      const TInputConverter in = InputConverterTable[static_cast<size_t>(c)];
      const TOutputConverter out = OutputConverterTable[static_cast<size_t>(c)];
      std::vector<uint8_t> expected(inputs[static_cast<size_t>(c)].size());
      std::vector<float> single(samples);
      std::vector<double> wide(samples);
      if (double_path) {
        in.ToDouble(inputs[static_cast<size_t>(c)].data(), wide.data(), static_cast<int32_t>(samples));
        out.FromDouble(wide.data(), expected.data(), static_cast<int32_t>(samples));
      } else {
        in.ToSingle(inputs[static_cast<size_t>(c)].data(), single.data(), static_cast<int32_t>(samples));
        out.FromSingle(single.data(), expected.data(), static_cast<int32_t>(samples));
      }
      const std::vector<uint8_t> captured = control_->Output(c);
      ASSERT_EQ(captured.size(), expected.size());
      size_t first_difference = 0;
      while (first_difference < expected.size() && captured[first_difference] == expected[first_difference])
        ++first_difference;
      EXPECT_EQ(first_difference, expected.size()) << "byte " << first_difference << " differs";
    }
  }
}

}  // namespace
