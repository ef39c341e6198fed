#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/message_box.h"
#include "platform/message_window.h"
#include "vst_host/editor_views.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

using ::testing::ElementsAre;
using namespace editor_views;

TEST(ValueCaption, FitsTheLabelByDroppingZerosThenTheUnit) {
  const struct {
    const char* display;
    const char* unit;
    const char* shown;
  } cases[] = {
      {"12.500000", "", "12.50"},
      {"12.500000", "dB", "12.50 dB"},
      {"-123.5000000", "Hz", "-123.50"},    // "-123.50 Hz" would take 10
      {"-247.0000000", "Hz", "-247.0 Hz"},  // 9 still fit
      {"0.5", "dB", "0.5 dB"},
      {"1.000000", "", "1.000000"},  // 8 characters fit as they are
      {"10.000000", "", "10.0"},
      {"1.0005", "dB", "1.0005 dB"},  // inner zeros are part of the value
      {"1.0000005", "dB", "1.0000005"},
      {"123456789", "", "123456789"},  // no decimal point: nothing to drop
      {"Shelf", "", "Shelf"},
      {"", "", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ValueCaption(c.display, c.unit), c.shown) << c.display << " " << c.unit;
}

VstIntPtr Ask(TVstPlugIn& item, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr) {
  return AudioMasterCallback(item.Effect(), opcode, index, value, ptr, 0.0f);
}

VstIntPtr AskFromOtherThread(TVstPlugIn& item, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                             void* ptr) {
  VstIntPtr answer = -1;
  std::thread([&] { answer = Ask(item, opcode, index, value, ptr); }).join();
  return answer;
}

class EditorViews : public ::testing::Test {
 protected:
  TVstPlugIn& Open(const std::string& kind, TGUIStyle style = gsDefault) {
    probe_ = std::make_unique<TEffectProbe>(kind);
    TVstPlugIn* item = host_.VstPlugIns().Add();
    item->SetDLLFileName(probe_->Path());
    item->SetActive(true);
    item->SetGUIStyle(style);
    probe_->Clear();
    return *item;
  }
  void* EditorParent() const {
    return reinterpret_cast<void* (*)()>(probe_->Export("TestEffectEditorParent"))();
  }
  void* EditorWindow() const {
    return reinterpret_cast<void* (*)()>(probe_->Export("TestEffectEditorWindow"))();
  }
  std::vector<TEffectLogEntry> Parameters() const { return probe_->Entries(kLogSetParameter); }

  TVstHost host_;
  std::unique_ptr<TEffectProbe> probe_;
};

platform::NativeWindow Find(const TEditorPanel& panel, const std::string& name) {
  return platform::FindNamedWindow(panel.panel->Handle(), name);
}

TEST_F(EditorViews, TheOwnEditorOpensInTheCallersControlAndSizesIt) {
  TVstPlugIn& item = Open("painter");
  TEditorPanel panel;
  item.ShowEdit(*panel.panel);
  item.ShowEdit(*panel.panel);
  EXPECT_THAT(probe_->Requests(), ElementsAre(effEditOpen, effEditIdle));
  EXPECT_EQ(EditorParent(), panel.panel->Handle());
  EXPECT_NE(EditorWindow(), nullptr);
  EXPECT_EQ(item.EditorForm(), panel.panel.get());
  // The editor asks for the size it needs: the control takes it, from the editor's thread.
  EXPECT_EQ(Ask(item, audioMasterSizeWindow, 400, 250, nullptr), 1);
  EXPECT_EQ(AskFromOtherThread(item, audioMasterSizeWindow, 500, 500, nullptr), 0);
  EXPECT_EQ(panel.panel->ClientArea().width, 400);
  EXPECT_EQ(panel.panel->ClientArea().height, 250);
  // No window of the item's own comes while the editor is in the caller's control.
  item.ShowEdit();
  EXPECT_FALSE(item.OwnEditorForm());
  item.CloseEdit();
  EXPECT_EQ(EditorWindow(), nullptr);
  EXPECT_EQ(item.EditorForm(), nullptr);
  EXPECT_FALSE(item.EditVisible());
}

#if defined(_WIN32)
// The editor asks from a timer of its own window, as a user's drag makes it ask: the
// caller's control and the item's own window take the size.
TEST_F(EditorViews, AnEditorThatAsksForASizeFromItsWindowGetsIt) {
  _putenv_s("PARTILOOM_PAINTER_GROW", "480x300");
  for (const bool in_panel : {true, false}) {
    SCOPED_TRACE(in_panel ? "panel" : "own window");
    TVstPlugIn& item = Open("painter");
    TEditorPanel panel;
    if (in_panel)
      item.ShowEdit(*panel.panel);
    else
      item.ShowEdit();
    platform::Control* form = item.EditorForm();
    ASSERT_NE(form, nullptr);
    for (int i = 0; i < 100 && form->ClientArea().width != 480; ++i)
      platform::WaitAndPumpMessages(20);
    EXPECT_EQ(form->ClientArea().width, 480);
    EXPECT_EQ(form->ClientArea().height, 300);
    item.CloseEdit();
    host_.VstPlugIns().Clear();
  }
  _putenv_s("PARTILOOM_PAINTER_GROW", "");
}
#endif

TEST_F(EditorViews, TheListViewLaysOutOneRowPerParameter) {
  TVstPlugIn& item = Open("knobs3", gsList);
  TEditorPanel panel;
  item.ShowEdit(*panel.panel);
  EXPECT_EQ(panel.panel->ClientArea().height, 52);
  const int32_t bar_left = TextWidth("Cutoff Frequency:_") + 2;
  const struct {
    int row, top;
    const char *name, *value;
  } rows[] = {{0, 2, "Gain:", "12.50"},
              {1, 18, "Level:", "12.50 dB"},
              {2, 34, "Cutoff Frequency:", "-123.50"}};
  for (const auto& r : rows) {
    const std::string i = std::to_string(r.row);
    SCOPED_TRACE(i);
    const platform::Bounds name = platform::WindowBounds(Find(panel, "LbL" + i));
    const platform::Bounds value = platform::WindowBounds(Find(panel, "LbV" + i));
    const platform::Bounds bar = platform::WindowBounds(Find(panel, "ParamBar" + i));
    EXPECT_EQ(platform::WindowCaption(Find(panel, "LbL" + i)), r.name);
    EXPECT_EQ(platform::WindowCaption(Find(panel, "LbV" + i)), r.value);
    EXPECT_EQ(platform::WindowValue(Find(panel, "ParamBar" + i)), 500);
    platform::Control* bar_control = panel.panel->FindChild("ParamBar" + i);
    ASSERT_NE(bar_control, nullptr);
    EXPECT_EQ(bar_control->Kind(), platform::ControlKind::ScrollBar);
    EXPECT_EQ(bar_control->Minimum(), 0);
    EXPECT_EQ(bar_control->Maximum(), 1000);
    EXPECT_EQ(name.left, 2);
    EXPECT_EQ(name.top, r.top);
    EXPECT_EQ(value.left, 228);
    EXPECT_EQ(value.width, 65);
    EXPECT_EQ(value.top, r.top);
    EXPECT_EQ(bar.left, bar_left);
    EXPECT_EQ(bar.width, 300 - bar_left - 72);
    EXPECT_EQ(bar.top, r.top);
  }
  EXPECT_EQ(Find(panel, "LbL3"), nullptr);
}

TEST_F(EditorViews, ScrollBarsSetTheirParameterAndShowItsValue) {
  TVstPlugIn& item = Open("knobs3", gsList);
  TEditorPanel panel;
  item.ShowEdit(*panel.panel);
  const struct {
    int row, position;
    float value;
    const char* shown;
  } moves[] = {{1, 500, 0.5f, "12.50 dB"}, {0, 1000, 1.0f, "25.0"}, {2, 1000, 1.0f, "-247.0 Hz"}};
  for (const auto& m : moves) {
    const std::string i = std::to_string(m.row);
    probe_->Clear();
    platform::MoveWindowValue(Find(panel, "ParamBar" + i), m.position);
    ASSERT_EQ(Parameters().size(), 1u) << i;
    EXPECT_EQ(Parameters()[0].index, m.row);
    EXPECT_EQ(Parameters()[0].opt, m.value);
    EXPECT_EQ(platform::WindowCaption(Find(panel, "LbV" + i)), m.shown);
  }
}

TEST_F(EditorViews, TheSelectorViewFollowsTheChosenParameter) {
  TVstPlugIn& item = Open("painter", gsOld);
  TEditorPanel panel;
  item.ShowEdit(*panel.panel);
  platform::NativeWindow box = Find(panel, "ParamBox");
  platform::NativeWindow bar = Find(panel, "ParamBar");
  EXPECT_THAT(platform::WindowItems(box), ElementsAre("Drive", "Tone", "Level", "Mix"));
  EXPECT_EQ(platform::WindowSelectedIndex(box), 0);
  EXPECT_EQ(platform::WindowValue(bar), 50);
  EXPECT_EQ(platform::WindowCaption(Find(panel, "LbL")), "");
  const platform::Bounds bar_bounds = platform::WindowBounds(bar);
  EXPECT_EQ(bar_bounds.left, 5);
  EXPECT_EQ(bar_bounds.top, 33);
  EXPECT_EQ(bar_bounds.width, 280);
  EXPECT_EQ(platform::WindowBounds(box).width, 284);
  EXPECT_EQ(panel.panel->FindChild("ParamBar")->Kind(), platform::ControlKind::TrackBar);
  EXPECT_EQ(panel.panel->FindChild("ParamBar")->Maximum(), 100);

  platform::MoveWindowValue(bar, 30);
  EXPECT_EQ(platform::WindowCaption(Find(panel, "LbL")), "Value: 30.0%");
  platform::SelectWindowItem(box, 2);
  EXPECT_EQ(platform::WindowValue(bar), 50);
  platform::MoveWindowValue(bar, 80);
  platform::SelectWindowItem(box, 0);
  EXPECT_EQ(platform::WindowValue(bar), 30);
  platform::SelectWindowItem(box, 2);
  EXPECT_EQ(platform::WindowValue(bar), 80);
  ASSERT_EQ(Parameters().size(), 2u);
  EXPECT_EQ(Parameters()[0].index, 0);
  EXPECT_FLOAT_EQ(Parameters()[0].opt, 0.3f);
  EXPECT_EQ(Parameters()[1].index, 2);
  EXPECT_FLOAT_EQ(Parameters()[1].opt, 0.8f);
}

TEST_F(EditorViews, CloseEditTakesAwayExactlyWhatTheViewAdded) {
  const struct {
    const char* kind;
    TGUIStyle style;
  } cases[] = {{"knobs3", gsList}, {"knobs3", gsOld}, {"painter", gsList}, {"knobs40", gsDefault}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    TVstPlugIn& item = Open(c.kind, c.style);
    TEditorPanel panel;
    auto own = platform::Control::CreateChild(platform::ControlKind::Button, *panel.panel, "Mine",
                                              {0, 0, 10, 10});
    item.ShowEdit(*panel.panel);
    EXPECT_TRUE(item.EditVisible());
    try {
      item.SetGUIStyle(gsDefault);
      ADD_FAILURE() << "the style changed while showing";
    } catch (const EVstError& error) {
      EXPECT_STREQ(error.what(), "Close Editor first!");
    }
    item.CloseEdit();
    for (const char* name : {"ParamBox", "ParamBar", "LbL", "LbL0", "LbV0", "ParamBar0", "LbV2"})
      EXPECT_EQ(Find(panel, name), nullptr) << name;
    EXPECT_NE(Find(panel, "Mine"), nullptr);
    EXPECT_TRUE(panel.panel->Visible());
    EXPECT_FALSE(item.EditVisible());
    EXPECT_EQ(item.EditorForm(), nullptr);
    item.SetGUIStyle(gsDefault);
    host_.VstPlugIns().Clear();
  }
}

TEST_F(EditorViews, TheOwnWindowIsNamedAndSizedForWhatItShows) {
  const struct {
    const char* kind;
    const char* caption;
    int32_t height;
  } cases[] = {{"knobs3", "Acme - Verb", 52},
               {"knobs40", "Forty Knobs", ListViewHeight(40)},
               {"painter", "Partiloom Tests - Painter", 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    TVstPlugIn& item = Open(c.kind);
    item.ShowEdit();
    platform::Control* window = item.EditorForm();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(item.OwnEditorForm());
    EXPECT_EQ(window->Kind(), platform::ControlKind::ToolWindow);
    EXPECT_EQ(window->Caption(), c.caption);
    EXPECT_TRUE(window->Visible());
    EXPECT_EQ(window->ClientArea().width, 360);
    EXPECT_EQ(window->ClientArea().height, c.height);
    if (item.EffectOptions().Contains(effFlagsHasEditor))
      EXPECT_EQ(EditorParent(), window->Handle());
    item.CloseEdit();
    EXPECT_EQ(item.EditorForm(), nullptr);
    EXPECT_FALSE(item.OwnEditorForm());
    host_.VstPlugIns().Clear();
  }
}

TEST_F(EditorViews, ClosingTheOwnWindowClosesTheEditor) {
  TVstPlugIn& item = Open("painter");
  item.ShowEdit();
  platform::CloseWindowLater(item.EditorForm()->Handle());
  for (int i = 0; i < 100 && item.EditVisible(); ++i) platform::WaitAndPumpMessages(20);
  platform::PumpMessages();  // the window's release comes after its close
  EXPECT_FALSE(item.EditVisible());
  EXPECT_EQ(item.EditorForm(), nullptr);
  EXPECT_EQ(EditorWindow(), nullptr);
  EXPECT_THAT(probe_->Requests(), testing::Contains(effEditClose));
}

TEST_F(EditorViews, TheOwnWindowWakesTheEditorWhenActiveAndLetsItSleepOtherwise) {
  TVstPlugIn& item = Open("painter");
  item.ShowEdit();
  auto other = platform::Control::CreateTopLevel(platform::ControlKind::Form, "Other", "Other",
                                                 nullptr, {10, 10, 200, 100});
  other->Show();
  for (platform::NativeWindow window : {item.EditorForm()->Handle(), other->Handle()})
    platform::ActivateWindow(window);
  platform::PumpMessages();
  EXPECT_THAT(probe_->Requests(), testing::Contains(effEditSleep));
  platform::ActivateWindow(item.EditorForm()->Handle());
  platform::PumpMessages();
  EXPECT_THAT(probe_->Requests(), testing::Contains(effEditTop));
}

TEST_F(EditorViews, SizeRequestsResizeTheOwnWindowFromItsThreadOnly) {
  TVstPlugIn& item = Open("painter");
  item.ShowEdit();
  EXPECT_EQ(Ask(item, audioMasterSizeWindow, 420, 260, nullptr), 1);
  EXPECT_EQ(AskFromOtherThread(item, audioMasterSizeWindow, 500, 500, nullptr), 0);
  for (const auto& size : {std::pair<int, int>{0, 100}, {100, -1}, {40000, 100}})
    EXPECT_EQ(Ask(item, audioMasterSizeWindow, size.first, size.second, nullptr), 0);
  const platform::Bounds client = item.EditorForm()->ClientArea();
  EXPECT_EQ(client.width, 420);
  EXPECT_EQ(client.height, 260);
}

std::vector<std::string> g_boxes;
void KeepBox(const std::string& text) {
  g_boxes.push_back(text);
}

TEST_F(EditorViews, WindowRequestsMakeHiddenWindowsOnTheHostsThreadOnly) {
  TVstPlugIn& item = Open("knobs3");
  platform::SetMessageBoxHandler(&KeepBox);
  VstWindow request{};
  std::strcpy(request.title, "Meters");
  request.width = 300;
  request.height = 200;
  EXPECT_EQ(AskFromOtherThread(item, audioMasterOpenWindow, 0, 0, &request), 0);
  EXPECT_TRUE(HostWindowList.empty());
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(Ask(item, audioMasterOpenWindow, 0, 0, &request), 0);
  platform::SetMessageBoxHandler(nullptr);
  ASSERT_EQ(HostWindowList.size(), 1u);
  ASSERT_NE(HostWindowList[0].Window, nullptr);
  EXPECT_EQ(HostWindowList[0].Window->Caption(), "Meters");
  EXPECT_FALSE(HostWindowList[0].Window->Visible());
  EXPECT_EQ(HostWindowList[0].Window->ClientArea().width, 300);
  EXPECT_EQ(g_boxes.size(), 1u);
}

TEST_F(EditorViews, FortyParametersFillTheHostWindowsPanel) {
  TVstPlugIn& item = Open("knobs40");
  TEditorPanel panel(811, 683);
  item.ShowEdit(*panel.panel);
  EXPECT_EQ(panel.panel->ClientArea().width, 811);
  EXPECT_EQ(panel.panel->ClientArea().height, 644);
  for (int i = 0; i < 40; ++i) {
    const std::string row = std::to_string(i);
    const platform::Bounds value = platform::WindowBounds(Find(panel, "LbV" + row));
    EXPECT_EQ(value.left, 739) << row;
    EXPECT_EQ(value.top, RowTop(i)) << row;
    EXPECT_EQ(platform::WindowValue(Find(panel, "ParamBar" + row)),
              PositionOf(item.GetParameter(i), 1000));
    const std::string shown = platform::WindowCaption(Find(panel, "LbV" + row));
    EXPECT_FALSE(shown.empty()) << row;
    EXPECT_LE(shown.size(), 11u) << row << " " << shown;
  }
  EXPECT_EQ(RowTop(39), 626);
}

}  // namespace
