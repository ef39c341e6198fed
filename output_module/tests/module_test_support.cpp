#include "output_module/tests/module_test_support.h"

#include <cstring>
#include <functional>

#include "output_module/settings.h"
#include "platform/com.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/system.h"
#include "vst_host/tests/test_support.h"

namespace {

void RecordMessage(const std::string& text) {
  ModuleTest::Messages().push_back(text);
}

std::optional<std::string> AnswerDialog(const platform::FileDialogRequest&) {
  ++ModuleTest::DialogCount();
  return ModuleTest::DialogAnswer();
}

}  // namespace

std::vector<std::string>& ModuleTest::Messages() {
  static std::vector<std::string> messages;
  return messages;
}

std::optional<std::string>& ModuleTest::DialogAnswer() {
  static std::optional<std::string> answer;
  return answer;
}

int& ModuleTest::DialogCount() {
  static int count = 0;
  return count;
}

void ModuleTest::SetUp() {
  RegistryTest::SetUp();
  settings::SetKeyPath(Base() + "\\Partiloom");
  Messages().clear();
  DialogAnswer().reset();
  DialogCount() = 0;
  platform::SetMessageBoxHandler(&RecordMessage);
  platform::SetFileDialogHandler(&AnswerDialog);
  // The preset file lies in the current directory: each test has its own.
  previous_directory_ = std::filesystem::current_path();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  directory_ =
      std::filesystem::temp_directory_path() / ("partiloom-output-" + std::string(info->name()) +
                                                "-" + std::to_string(platform::TickCount()));
  std::filesystem::create_directories(directory_);
  std::filesystem::current_path(directory_);
}

void ModuleTest::TearDown() {
  drivers_.clear();
  std::filesystem::current_path(previous_directory_);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
  platform::SetMessageBoxHandler(nullptr);
  platform::SetFileDialogHandler(nullptr);
  settings::SetKeyPath(settings::kKeyPath);
  RegistryTest::TearDown();
}

std::string ModuleTest::InstallDriver(asio_test::DriverConfig config,
                                      const std::string& name_prefix) {
  GUID id = {0x5D2A7C31, 0x1E48, 0x4F96, {0xA3, 0x0B, 0, 0, 0, 0, 0, 0}};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const auto hash = static_cast<uint32_t>(std::hash<std::string>()(info->name()));
  std::memcpy(id.Data4 + 2, &hash, 4);
  const uint32_t now = platform::TickCount();
  std::memcpy(id.Data4 + 6, &now, 1);
  id.Data4[7] = static_cast<uint8_t>(drivers_.size());
  InstalledDriver installed;
  installed.name = name_prefix + platform::ClassIdToString(id);
  config.driver_name = installed.name;
  installed.class_id = id;
  installed.driver = std::make_unique<asio_test::ScopedDriver>(installed.name, id, config);
  EXPECT_TRUE(installed.driver->Installed());
  installed.control = std::make_unique<asio_test::DriverControl>(id);
  EXPECT_TRUE(installed.control->Loaded());
  drivers_.push_back(std::move(installed));
  return drivers_.back().name;
}

bool ModuleTest::ReconfigureDriver(asio_test::DriverConfig config, size_t index) {
  const InstalledDriver& installed = drivers_.at(index);
  config.driver_name = installed.name;
  return asio_test::WriteDriverConfig(installed.class_id, config);
}

void ModuleTest::StoreEffect(const std::string& kind) {
  ASSERT_TRUE(Key()->WriteString(settings::kVstPlugin, EffectPath(kind)));
}

std::unique_ptr<platform::RegistryKey> ModuleTest::Key() const {
  return settings::OpenForWriting();
}

std::unique_ptr<TFmASIOConfig> ModuleTest::MakeWindow() {
  return std::make_unique<TFmASIOConfig>();
}

std::unique_ptr<TFmASIOConfig> ModuleTest::RestartedWindow(
    const std::function<void(TFmASIOConfig&)>& first_run, const std::function<void()>& between) {
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> listed;
    {
      auto window = MakeWindow();
      first_run(*window);
      listed = window->CBDriver->Items();
    }
    between();
    auto window = MakeWindow();
    if (window->CBDriver->Items() == listed) return window;
  }
  ADD_FAILURE() << "the list of installed drivers kept changing";
  return MakeWindow();
}

void ModuleTest::SelectDriver(TFmASIOConfig& window, const std::string& name) {
  const std::vector<std::string> items = window.CBDriver->Items();
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i] == name) {
      platform::SelectWindowItem(window.CBDriver->Handle(), static_cast<int32_t>(i));
      return;
    }
  }
  ADD_FAILURE() << "driver " << name << " is not listed";
}

std::vector<float> CapturedFloats(const asio_test::DriverControl& control, int32_t channel) {
  const std::vector<uint8_t> bytes = control.Output(channel);
  std::vector<float> samples(bytes.size() / 4);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
  return samples;
}

asio_test::DriverConfig FloatDriver(int outputs, int32_t block, std::vector<double> rates) {
  constexpr ASIOSampleType kFloat32LSB = 19;
  asio_test::DriverConfig config;
  config.clock = asio_test::ClockMode::Manual;
  config.outputs.clear();
  for (int i = 0; i < outputs; ++i)
    config.outputs.push_back({"Out " + std::to_string(i + 1), kFloat32LSB});
  config.minimum_size = 64;
  config.maximum_size = config.preferred_size = block;
  config.granularity = 0;
  config.sample_rates = rates;
  config.sample_rate = rates.front();
  return config;
}

std::unique_ptr<TFmASIOConfig> ModuleTest::WindowPlayingSteadyTone(const std::string& driver) {
  auto key = Key();
  for (int k = 1; k <= 8; ++k)
    key->WriteString(settings::RoutingValueName(driver, k),
                     std::to_string(k - 1) + " - Out " + std::to_string(k));
  key.reset();
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  EXPECT_GT(window->Open(44100, 2, 16), 0);
  TSingleChannelArrays drained(2, 8192);
  window->ReadBlock(8192, drained);
  std::vector<int16_t> tone;
  for (int i = 0; i < 8192; ++i) {
    tone.push_back(8192);
    tone.push_back(-4096);
  }
  const std::vector<char> pcm = Pcm(tone);
  window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
  return window;
}

std::vector<float> ModuleTest::SteadyBlockLevels(TFmASIOConfig& window, TSingleChannelArrays& out) {
  TSingleChannelArrays in(2, 256);
  window.ASIOHostBufferSwitch32(nullptr, in, out);
  std::vector<float> levels;
  for (size_t ch = 0; ch < 8; ++ch) {
    levels.push_back(out[ch][0]);
    for (size_t i = 1; i < 256; ++i) EXPECT_EQ(out[ch][i], out[ch][0]) << ch << " " << i;
  }
  return levels;
}

std::vector<char> Pcm(const std::vector<int16_t>& samples) {
  std::vector<char> bytes;
  for (int16_t sample : samples) {
    const auto value = static_cast<uint16_t>(sample);
    bytes.push_back(static_cast<char>(value & 0xFF));
    bytes.push_back(static_cast<char>(value >> 8));
  }
  return bytes;
}
