// Saves pictures of the host window as the screen shows it, one BMP file each, into the
// folder given as the only argument: with an effect's own editor in its panel, with the list
// view of an effect without editor, and its routing dialog.
#include <gtest/gtest.h>

#include <filesystem>

#include "output_module/tests/module_test_support.h"
#include "platform/message_window.h"
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
