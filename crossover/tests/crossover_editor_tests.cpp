// The editor window of the Windows build, driven the way a user and a host drive it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crossover/crossover_editor.h"
#include "crossover/tests/crossover_test_support.h"

namespace {

using namespace crossover;
using namespace crossover_test;

std::vector<std::pair<VstInt32, float>> g_automated;

VstIntPtr VSTCALLBACK RecordingHost(AEffect*, VstInt32 opcode, VstInt32 index, VstIntPtr, void*,
                                    float opt) {
  if (opcode == audioMasterAutomate) g_automated.emplace_back(index, opt);
  return 0;
}

class Editor : public ::testing::Test {
 protected:
  void SetUp() override {
    g_automated.clear();
    host_window_ = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 700, 480,
                                   nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(host_window_, nullptr);
  }
  void TearDown() override { DestroyWindow(host_window_); }
  HWND EditorWindow() const {
    return FindWindowExA(host_window_, nullptr, TCrossoverEditor::kClassName, nullptr);
  }
  HWND Control(int index) const {
    return GetDlgItem(EditorWindow(), TCrossoverEditor::kControlBase + index);
  }
  std::string ValueText(int index) const {
    char text[64] = {};
    GetDlgItemTextA(EditorWindow(), TCrossoverEditor::kTextBase + index, text, sizeof text);
    return text;
  }
  HWND host_window_ = nullptr;
};

TEST_F(Editor, OpensAtItsSizeInTheHostsWindowAndClosesAgain) {
  TEffect effect(48000, RecordingHost);
  ERect* rect = nullptr;
  ASSERT_EQ(effect.Dispatch(effEditGetRect, 0, 0, &rect), 1);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->right - rect->left, TCrossoverEditor::kWidth);
  EXPECT_EQ(rect->bottom - rect->top, TCrossoverEditor::kHeight);
  EXPECT_EQ(effect.Dispatch(effEditOpen, 0, 0, nullptr), 0);
  for (int round = 0; round < 2; ++round) {  // the second opening registers the class anew
    ASSERT_EQ(effect.Dispatch(effEditOpen, 0, 0, host_window_), 1);
    HWND editor = EditorWindow();
    ASSERT_NE(editor, nullptr);
    RECT client;
    GetClientRect(editor, &client);
    EXPECT_EQ(client.right, TCrossoverEditor::kWidth);
    EXPECT_EQ(client.bottom, TCrossoverEditor::kHeight);
    ShowWindow(host_window_, SW_SHOW);
    UpdateWindow(host_window_);
    effect.Dispatch(effEditClose);
    EXPECT_EQ(EditorWindow(), nullptr);
  }
}

TEST_F(Editor, UserChangesReachTheEffectAndTheHost) {
  TEffect effect(48000, RecordingHost);
  ASSERT_EQ(effect.Dispatch(effEditOpen, 0, 0, host_window_), 1);
  const int gain = BandParam(1, kBandGain);
  SendMessageA(EditorWindow(), WM_HSCROLL, MAKEWPARAM(SB_RIGHT, 0), LPARAM(Control(gain)));
  EXPECT_EQ(effect.Get(gain), 1.0f);
  EXPECT_EQ(ValueText(gain), "+12.0 dB");
  const int delay = BandParam(2, kBandDelay);
  SendMessageA(EditorWindow(), WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 125),
               LPARAM(Control(delay)));
  EXPECT_EQ(ValueText(delay), "1.25 ms");
  SendMessageA(Control(BandParam(3, kBandMute)), BM_CLICK, 0, 0);
  EXPECT_EQ(effect.Get(BandParam(3, kBandMute)), 1.0f);
  SendMessageA(Control(kParamBands), CB_SETCURSEL, 1, 0);
  SendMessageA(EditorWindow(), WM_COMMAND,
               MAKEWPARAM(TCrossoverEditor::kControlBase + kParamBands, CBN_SELCHANGE),
               LPARAM(Control(kParamBands)));
  EXPECT_EQ(BandCountFromValue(effect.Get(kParamBands)), 3);
  const std::vector<std::pair<VstInt32, float>> expected = {{gain, 1.0f},
                                                            {delay, ValueForDelayMs(1.25)},
                                                            {BandParam(3, kBandMute), 1.0f},
                                                            {kParamBands, ValueForBandCount(3)}};
  EXPECT_EQ(g_automated, expected);
  effect.Dispatch(effEditClose);
}

TEST_F(Editor, FollowsChangesMadeElsewhereOnIdle) {
  TEffect effect;
  ASSERT_EQ(effect.Dispatch(effEditOpen, 0, 0, host_window_), 1);
  const int crossover = kParamFirstFrequency + 2;
  effect.Set(crossover, 1.0f);
  effect.Set(BandParam(0, kBandPolarity), 1.0f);
  effect.Dispatch(effEditIdle);
  EXPECT_EQ(GetScrollPos(Control(crossover), SB_CTL), 1000);
  EXPECT_EQ(ValueText(crossover), "20000 Hz");
  EXPECT_EQ(SendMessageA(Control(BandParam(0, kBandPolarity)), BM_GETCHECK, 0, 0), BST_CHECKED);
  effect.Dispatch(effSetProgram, 0, 2);
  effect.Dispatch(effEditIdle);
  EXPECT_EQ(SendMessageA(Control(kParamBands), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(ValueText(kParamFirstFrequency), "80 Hz");
  effect.Dispatch(effEditClose);
}

}  // namespace
