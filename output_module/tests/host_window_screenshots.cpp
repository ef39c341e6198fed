// Saves pictures of the host window as the screen shows it, one BMP file each, into the
// folder given as the only argument: with an effect's own editor in its panel (also the
// crossover's, from the helper), with the list view of an effect without editor, and its
// routing dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "vst_host/tests/test_support.h"

namespace {

std::string g_folder;

// Lets the windows paint before they are captured.
void Settle() {
  for (int i = 0; i < 10; ++i) platform::WaitAndPumpMessages(30);
}

void Save(platform::NativeWindow window, const std::string& name) {
  Settle();
  const std::string path = g_folder + "/" + name + ".bmp";
  EXPECT_TRUE(platform::CaptureWindowImage(window, path)) << path;
}

// The window's designed place leaves its bottom below a 768-line screen.
void ShowWhole(platform::Control& form) {
  form.SetPosition(0, 0);
  form.BringToFront();
}

// The colours inside `area` (in the picture's pixels, top row 0) of a saved 24-bit picture.
std::set<uint32_t> ColoursIn(const std::string& bmp_path, const RECT& area) {
  std::ifstream file(bmp_path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  std::set<uint32_t> colours;
  if (bytes.size() < 54) return colours;
  auto field = [&bytes](size_t at) {
    int32_t value = 0;
    std::memcpy(&value, &bytes[at], 4);
    return value;
  };
  const int32_t offset = field(10), width = field(18), height = field(22);
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  for (LONG y = std::max<LONG>(area.top, 0); y < std::min<LONG>(area.bottom, height); ++y) {
    for (LONG x = std::max<LONG>(area.left, 0); x < std::min<LONG>(area.right, width); ++x) {
      // Rows are stored bottom-up.
      const size_t at = static_cast<size_t>(offset) + static_cast<size_t>(height - 1 - y) * stride +
                        static_cast<size_t>(x) * 3;
      if (at + 3 > bytes.size()) continue;
      colours.insert(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16);
    }
  }
  return colours;
}

void SaveRoutingDialog(platform::Control& dialog) {
  Save(dialog.Handle(), "audio_routing");
  platform::CloseWindowLater(dialog.Handle());
}

class HostWindowPictures : public ModuleTest {};

TEST_F(HostWindowPictures, WithTheEffectsOwnEditor) {
  StoreEffect("painter");
  auto window = MakeWindow();
  ShowWhole(*window->Form);
  Save(window->Form->Handle(), "config_asio_own_editor");
  // The effect button lies over the tool bar's blank spacer: the picture shows its face,
  // edges and caption, not the spacer's one flat colour.
  RECT form, button;
  GetWindowRect(static_cast<HWND>(window->Form->Handle()), &form);
  GetWindowRect(static_cast<HWND>(window->BtEffect->Handle()), &button);
  OffsetRect(&button, -form.left, -form.top);
  EXPECT_GE(ColoursIn(g_folder + "/config_asio_own_editor.bmp", button).size(), 3u);
}

// The crossover run in a process of its own: its editor is the helper's window, in the
// panel of this one, or (under Wine) in a window of the helper's laid over the panel.
TEST_F(HostWindowPictures, WithTheCrossoversEditorFromTheHelper) {
  ASSERT_TRUE(Key()->WriteString(settings::kVstPlugin,
                                 platform::ExecutableDirectory() + "\\Partiloom.dll"));
  ASSERT_TRUE(Key()->WriteInteger(settings::kOwnProcess, 1));
  auto window = MakeWindow();
  ASSERT_NE(window->Effect().Bridge(), nullptr);
  ASSERT_TRUE(window->Effect().EditVisible());
  ShowWhole(*window->Form);
  // The editor paints in the helper, between the requests the window's timer makes.
  for (int i = 0; i < 10; ++i) window->TimerTimer(nullptr);
  Save(window->Form->Handle(), "config_asio_crossover_own_process");
}

TEST_F(HostWindowPictures, WithTheListViewAndTheRoutingDialog) {
  StoreEffect("knobs40");
  asio_test::DriverConfig config;
  config.clock = asio_test::ClockMode::Manual;
  config.outputs = {{"Out 1", 18}, {"Out 2", 18}, {"Out 3", 18}, {"Out 4", 18}};
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ShowWhole(*window->Form);
  Save(window->Form->Handle(), "config_asio_list_view");
  platform::SetModalHandler(&SaveRoutingDialog);
  platform::ClickWindow(window->BtRouting->Handle());
  platform::SetModalHandler(nullptr);
}

// The meters while known signals play: output 1 a -6 dBFS sine, output 2 a square at full
// scale (its clip marker lit), the outputs above them multiples of the two.
TEST_F(HostWindowPictures, WithTheMetersReadingKnownSignals) {
  StoreEffect("router");
  asio_test::DriverConfig config;
  config.clock = asio_test::ClockMode::Manual;
  config.outputs.clear();
  for (int k = 1; k <= 8; ++k) config.outputs.push_back({"Out " + std::to_string(k), 19});
  const std::string driver = InstallDriver(config);
  for (int k = 1; k <= 8; ++k)
    Key()->WriteString(settings::RoutingValueName(driver, k),
                       std::to_string(k - 1) + " - Out " + std::to_string(k));
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  // As the running timer would, the meters take the new driver's channels first.
  window->TimerTimer(nullptr);
  ASSERT_EQ(Driver().RunSwitches(32), 32);
  std::vector<int16_t> frames;
  for (int i = 0; i < 8192; ++i) {
    frames.push_back(static_cast<int16_t>(std::lround(16423 * std::sin(i * 0.0628318530718))));
    frames.push_back(static_cast<int16_t>((i / 50) % 2 ? -2048 : 16384));
  }
  const std::vector<char> pcm = Pcm(frames);
  window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
  ASSERT_EQ(Driver().RunSwitches(40), 40);
  window->TimerTimer(nullptr);
  ShowWhole(*window->Form);
  Save(window->Form->Handle(), "config_asio_meters");
  window->Close();
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  // Absolute now: the tests change the current directory.
  g_folder = std::filesystem::absolute(argv[1]).string();
  return RUN_ALL_TESTS();
}
