// The player's Quit made from inside one of the plug-in's modal loops: the player's main thread
// runs them, and they hand the player's messages on. Quit must leave nothing freed under the
// loop (the sanitizers see to that), end the loop, and have stopped the driver and saved the
// settings and the preset when it returns; the window goes once the loop has unwound.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/ui.h"
#include "vst_host/tests/test_support.h"

namespace {

// What Quit left behind when it returned to the code that called it inside the loop.
struct InsideQuit {
  int visits = 0;
  int32_t depth = 0;  // the modal runs Quit was called in
  bool window_gone = false;
  bool preset_saved = false;
  int32_t driver_stops = 0;
  std::function<int32_t()> count_stops;
};
InsideQuit* g_inside = nullptr;

void QuitHere() {
  InsideQuit& inside = *g_inside;
  if (inside.visits++ > 0) return;
  inside.depth = platform::ModalRunDepth();
  winampGetOutModule()->Quit();
  inside.window_gone = FmASIOConfig == nullptr;
  inside.preset_saved = std::filesystem::exists(settings::kPresetFileName);
  if (inside.count_stops) inside.driver_stops = inside.count_stops();
}

void QuitInDialog(platform::Control&) {
  QuitHere();
}
void QuitInBox(const std::string& text) {
  ModuleTest::Messages().push_back(text);
  QuitHere();
}
std::optional<std::string> QuitInFileDialog(const platform::FileDialogRequest&) {
  QuitHere();
  return std::nullopt;
}
// The user picks a library just as the player quits.
std::optional<std::string> QuitAndChooseTheRouter(const platform::FileDialogRequest&) {
  QuitHere();
  return EffectPath("router");
}
// The plain answers, when Quit is not made inside: no user to wait for.
void RecordBox(const std::string& text) {
  ModuleTest::Messages().push_back(text);
}
std::optional<std::string> CancelFileDialog(const platform::FileDialogRequest&) {
  return std::nullopt;
}

class QuitInsideModal : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    g_inside = &inside_;
  }
  void TearDown() override {
    platform::SetModalHandler(nullptr);
    g_inside = nullptr;
    // A Quit that failed to end the window must not leave it to the next test.
    if (FmASIOConfig) winampGetOutModule()->Quit();
    platform::AllowModalRuns();
    ModuleTest::TearDown();
  }
  // Every Quit is followed by the next Init; after it, nothing of the quit window is left.
  void ExpectQuitCompletely() {
    EXPECT_EQ(FmASIOConfig, nullptr);
    EXPECT_EQ(StreamLock, nullptr);
    EXPECT_EQ(platform::ModalRunDepth(), 0);
    TOutputModule* record = winampGetOutModule();
    record->Init();
    EXPECT_NE(FmASIOConfig, nullptr) << "the next Init makes a window again";
    record->Quit();
  }

  InsideQuit inside_;
};

TEST_F(QuitInsideModal, TheRoutingDialogEndsWithItsChoiceStoredAndTheWindowGoesAfterIt) {
  StoreEffect("params");
  const std::string driver = InstallDriver({});
  TOutputModule* record = winampGetOutModule();
  record->Init();
  ASSERT_NE(FmASIOConfig, nullptr);
  SelectDriver(*FmASIOConfig, driver);
  ASSERT_GT(record->Open(44100, 2, 16, -1, -1), 0);
  inside_.count_stops = [this] { return Driver().CallCount("stop"); };
  // A choice in the open dialog, which its close stores.
  platform::SetModalHandler([](platform::Control& dialog) {
    platform::Control* first = dialog.FindChild("CBOutput1");
    if (first && first->Items().size() > 1) first->SetSelectedIndex(1);
    QuitInDialog(dialog);
  });
  platform::ClickWindow(FmASIOConfig->BtRouting->Handle());

  EXPECT_EQ(inside_.visits, 1);
  EXPECT_GE(inside_.depth, 1);
  EXPECT_TRUE(inside_.window_gone);
  EXPECT_TRUE(inside_.preset_saved) << "the preset is saved before Quit returns";
  EXPECT_GE(inside_.driver_stops, 1) << "the driver is stopped before Quit returns";
  auto key = Key();
  const auto stored = key->ReadString(settings::RoutingValueName(driver, 1));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->substr(0, 4), "1 - ") << *stored;
  EXPECT_TRUE(key->ReadInteger(settings::kVisible));
  EXPECT_TRUE(Messages().empty());
  ExpectQuitCompletely();
}

// The loops of the first start (the library dialog, then the box that says none was chosen)
// and of the box that says the preset does not load: Quit inside each ends it, and no other
// box follows.
TEST_F(QuitInsideModal, TheLibraryDialogAndTheMessageBoxesEndAndNoOtherBoxFollows) {
  struct Case {
    const char* name;
    bool store_effect;
    bool box_quits;
    bool bad_preset;
  };
  for (const Case& c : {Case{"library dialog", false, false, false},
                        Case{"box of the first start", false, true, false},
                        Case{"box of a preset that does not load", true, true, true}}) {
    SCOPED_TRACE(c.name);
    inside_ = InsideQuit{};
    Messages().clear();
    if (c.store_effect) StoreEffect("params");
    if (c.bad_preset) std::ofstream(settings::kPresetFileName) << "not a preset";
    platform::SetFileDialogHandler(c.box_quits ? &CancelFileDialog : &QuitInFileDialog);
    platform::SetMessageBoxHandler(c.box_quits ? &QuitInBox : &RecordBox);
    TOutputModule* record = winampGetOutModule();
    record->Init();
    EXPECT_EQ(inside_.visits, 1);
    EXPECT_GE(inside_.depth, 1);
    EXPECT_EQ(Messages().size(), c.box_quits ? 1u : 0u);
    platform::SetMessageBoxHandler(&RecordBox);
    platform::SetFileDialogHandler(&CancelFileDialog);
    ExpectQuitCompletely();
    if (c.bad_preset) {
      EXPECT_TRUE(inside_.preset_saved);
      // Quit saved the effect's state over the file that did not load.
      std::ifstream saved(settings::kPresetFileName, std::ios::binary);
      char magic[4] = {};
      saved.read(magic, 4);
      EXPECT_EQ(std::string(magic, 4), "CcnK");
    }
  }
}

// A choice that the effect button's dialog brings back after a Quit inside it is not
// carried out: the effect whose state Quit saved stays the stored one.
TEST_F(QuitInsideModal, TheEffectDialogEndsAndItsChoiceIsNotCarriedOut) {
  StoreEffect("params");
  TOutputModule* record = winampGetOutModule();
  record->Init();
  ASSERT_NE(FmASIOConfig, nullptr);
  platform::SetFileDialogHandler(&QuitAndChooseTheRouter);
  platform::ClickWindow(FmASIOConfig->BtEffect->Handle());
  EXPECT_EQ(inside_.visits, 1);
  EXPECT_TRUE(inside_.window_gone);
  EXPECT_TRUE(inside_.preset_saved);
  EXPECT_EQ(Key()->ReadString(settings::kVstPlugin), EffectPath("params"));
  EXPECT_TRUE(Messages().empty());
  platform::SetFileDialogHandler(&CancelFileDialog);
  ExpectQuitCompletely();
}

}  // namespace
