// The routing dialog, driven through the modal hook: what it offers, stores and reloads.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <functional>

#include "output_module/routing.h"
#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;

DriverConfig FourOutputs() {
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.outputs = {{"Out 1", 18}, {"Out 2", 18}, {"Out 3", 18}, {"Out 4", 18}};
  return config;
}

// What the test does inside the modal dialog, and what it saw there.
struct ModalVisit {
  std::function<void(platform::Control&)> act;
  std::vector<std::vector<std::string>> items;  // per list
  std::vector<int32_t> selections;              // per list, as the dialog opened
  platform::Bounds bounds;
  std::string caption;
  int visits = 0;
};
ModalVisit* g_visit = nullptr;

void VisitModal(platform::Control& dialog) {
  ModalVisit& visit = *g_visit;
  ++visit.visits;
  visit.caption = dialog.Caption();
  visit.bounds = dialog.GetBounds();
  visit.items.clear();
  visit.selections.clear();
  for (int k = 1; k <= 8; ++k) {
    platform::Control* list = dialog.FindChild("CBOutput" + std::to_string(k));
    if (!list) continue;
    visit.items.push_back(list->Items());
    visit.selections.push_back(list->SelectedIndex());
  }
  if (visit.act) visit.act(dialog);
  platform::CloseWindowLater(dialog.Handle());
}

class RoutingDialog : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    g_visit = &visit_;
    platform::SetModalHandler(&VisitModal);
  }
  void TearDown() override {
    platform::SetModalHandler(nullptr);
    g_visit = nullptr;
    ModuleTest::TearDown();
  }
  // Opens the dialog as the Routing button does.
  void Run(TFmASIOConfig& window) { platform::ClickWindow(window.BtRouting->Handle()); }

  ModalVisit visit_;
};

TEST_F(RoutingDialog, OffersTheDriversChannelsInEveryList) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FourOutputs());
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  Run(*window);
  ASSERT_EQ(visit_.visits, 1);
  EXPECT_EQ(visit_.caption, "Audio Routing");
  EXPECT_EQ(visit_.bounds.left, 295);
  EXPECT_EQ(visit_.bounds.top, 254);
  const std::vector<std::string> channels = {"0 - Out 1", "1 - Out 2", "2 - Out 3", "3 - Out 4"};
  ASSERT_EQ(visit_.items.size(), 8u);
  for (const auto& items : visit_.items) EXPECT_EQ(items, channels);
  EXPECT_EQ(visit_.selections, std::vector<int32_t>(8, -1));
}

TEST_F(RoutingDialog, LaysOutEightLabelledListsInRows) {
  StoreEffect("router");
  auto window = MakeWindow();
  TFmRouting dialog(*window);
  EXPECT_EQ(dialog.GroupBox1->Caption(), " Routing ");
  const platform::Bounds box = dialog.GroupBox1->GetBounds();
  EXPECT_EQ(box.left, 8);
  EXPECT_EQ(box.top, 8);
  EXPECT_EQ(box.width, 224);
  EXPECT_EQ(box.height, 238);
  const platform::Bounds client = dialog.Form->ClientArea();
  EXPECT_EQ(client.width, 239);
  EXPECT_EQ(client.height, 252);
  const int32_t label_tops[] = {22, 49, 76, 103, 130, 156, 183, 210};
  const int32_t list_tops[] = {19, 46, 73, 100, 127, 153, 180, 207};
  for (size_t k = 0; k < 8; ++k) {
    SCOPED_TRACE(k + 1);
    EXPECT_EQ(dialog.LbOutput[k]->Name(), "LbOutput" + std::to_string(k + 1));
    EXPECT_EQ(dialog.LbOutput[k]->Caption(), "Output " + std::to_string(k + 1) + ":");
    EXPECT_EQ(dialog.LbOutput[k]->GetBounds().left, 10);
    EXPECT_EQ(dialog.LbOutput[k]->GetBounds().top, label_tops[k]);
    EXPECT_EQ(dialog.CBOutput[k]->Name(), "CBOutput" + std::to_string(k + 1));
    const platform::Bounds list = dialog.CBOutput[k]->GetBounds();
    EXPECT_EQ(list.left, 63);
    EXPECT_EQ(list.top, list_tops[k]);
    EXPECT_EQ(list.width, 153);
    EXPECT_EQ(dialog.Form->FindChild("CBOutput" + std::to_string(k + 1)), dialog.CBOutput[k].get());
  }
}

#if defined(_WIN32)
// The keyboard's way through the dialog, as its modal loop takes Tab: from the control that
// has the focus when it opens, then Tab after Tab. A user expects the lists from the first
// output to the eighth, top to bottom, and then the first again.
TEST_F(RoutingDialog, TabGoesThroughTheListsTopToBottom) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FourOutputs());
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  std::vector<std::string> focused;
  visit_.act = [&focused](platform::Control& dialog) {
    focused.push_back(platform::WindowName(GetFocus()));
    for (int press = 0; press < 9; ++press) {
      MSG tab{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {}};
      IsDialogMessageA(static_cast<HWND>(dialog.Handle()), &tab);
      focused.push_back(platform::WindowName(GetFocus()));
    }
  };
  Run(*window);
  ASSERT_EQ(visit_.visits, 1);
  std::vector<std::string> expected;
  for (int k = 1; k <= 8; ++k) expected.push_back("CBOutput" + std::to_string(k));
  expected.insert(expected.end(), {"CBOutput1", "CBOutput2"});
  EXPECT_EQ(focused, expected);
}
#endif

// A choice made in the dialog is stored per driver by its text, read back into the routing
// right after the dialog closes, and selected again the next time it opens.
TEST_F(RoutingDialog, StoresTheChoiceAndReloadsIt) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FourOutputs());
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  window->Form->SetPosition(300, 120);
  visit_.act = [](platform::Control& dialog) {
    dialog.FindChild("CBOutput1")->SetSelectedIndex(2);
    dialog.FindChild("CBOutput4")->SetSelectedIndex(3);
  };
  Run(*window);
  auto key = Key();
  EXPECT_EQ(key->ReadString(settings::RoutingValueName(driver, 1)), "2 - Out 3");
  EXPECT_EQ(key->ReadString(settings::RoutingValueName(driver, 4)), "3 - Out 4");
  // Nothing chosen: stored empty, and the routing keeps the driver change's default.
  EXPECT_EQ(key->ReadString(settings::RoutingValueName(driver, 2)), "");
  EXPECT_EQ(window->OutputRouting(1), 2);
  EXPECT_EQ(window->OutputRouting(4), 3);
  EXPECT_EQ(window->OutputRouting(2), 1);
  // The host window's position, not the dialog's.
  EXPECT_EQ(key->ReadInteger(settings::kRoutingLeft), 300);
  EXPECT_EQ(key->ReadInteger(settings::kRoutingTop), 120);

  // A stored text in another case still selects its channel; the host window moves back to
  // where it was when the dialog closed.
  key->WriteString(settings::RoutingValueName(driver, 6), "1 - OUT 2");
  window->Form->SetPosition(10, 20);
  visit_.act = nullptr;
  Run(*window);
  EXPECT_EQ(visit_.selections, (std::vector<int32_t>{2, -1, -1, 3, -1, 1, -1, -1}));
  EXPECT_EQ(window->Form->GetBounds().left, 300);
  EXPECT_EQ(window->Form->GetBounds().top, 120);
  EXPECT_EQ(window->OutputRouting(6), 1);
}

TEST_F(RoutingDialog, EachDriverKeepsItsOwnRouting) {
  StoreEffect("router");
  const std::string first = InstallDriver(FourOutputs());
  const std::string second = InstallDriver(FourOutputs());
  auto window = MakeWindow();
  SelectDriver(*window, first);
  visit_.act = [](platform::Control& dialog) {
    dialog.FindChild("CBOutput1")->SetSelectedIndex(3);
  };
  Run(*window);
  SelectDriver(*window, second);
  EXPECT_EQ(window->OutputRouting(1), 0);
  visit_.act = [](platform::Control& dialog) {
    dialog.FindChild("CBOutput1")->SetSelectedIndex(2);
  };
  Run(*window);
  EXPECT_EQ(window->OutputRouting(1), 2);
  SelectDriver(*window, first);
  EXPECT_EQ(window->OutputRouting(1), 3);
}

TEST_F(RoutingDialog, StoredTextsMatchChannelsIgnoringAsciiCaseOnly) {
  StoreEffect("router");
  DriverConfig config = FourOutputs();
  config.outputs[2].name = "\xC4usgang";  // a letter beyond ASCII
  const std::string driver = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  struct Case {
    const char* stored;
    int32_t routing;  // of output 1 afterwards; no match keeps the 0 it had
  };
  const Case cases[] = {
      {"3 - Out 4", 3},      {"1 - OUT 2", 1},  {"3 - oUT 4", 3}, {"2 - \xC4usgang", 2},
      {"2 - \xE4usgang", 0}, {"3 - Out 4 ", 0}, {"Out 4", 0},     {"", 0},
  };
  const std::string name = settings::RoutingValueName(driver, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    Key()->WriteString(name, "0 - Out 1");
    window->LoadRouting(*Key());
    ASSERT_EQ(window->OutputRouting(1), 0);
    Key()->WriteString(name, c.stored);
    window->LoadRouting(*Key());
    EXPECT_EQ(window->OutputRouting(1), c.routing);
  }
}

}  // namespace
