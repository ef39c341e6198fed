// Effects in the helper process, driven by the VST host as effects of its own process: every
// answer, every sample, every chunk and preset the same as the same library loaded here.
#if defined(_WIN32)
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/editor_parent.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"
#include "platform/system.h"
#include "tools/effects/effect_log.h"
#include "vst_bridge/effect_proxy.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

std::string CrossoverPath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "\\Partiloom.dll";
#else
  return platform::ExecutableDirectory() + "/Partiloom.so";
#endif
}

class Bridged : public ::testing::Test {
 protected:
  TVstPlugIn& Open(const std::string& path, bool bridged) {
    TVstPlugIn* item = host_.VstPlugIns().Add();
    if (bridged) {
      item->BridgeHelper = vst_bridge::HelperBesideModule(vst_bridge::THelperWidth::SameAsPlugIn);
      // Every block waits for its answer: these tests compare samples, not time.
      item->BridgeTimings.audio_min_wait_us = 2000000;
    }
    item->SetDLLFileName(path);
    item->SetActive(true);
    EXPECT_TRUE(item->Active()) << path;
    EXPECT_EQ(item->Bridge() != nullptr, bridged);
    return *item;
  }
  void TearDown() override { SetEnvironment("PARTILOOM_TEST_EFFECT_ARM", "0"); }
  TVstHost host_;
};

// Everything the host asks an effect that is no audio, as text.
std::vector<std::string> Describe(TVstPlugIn& item) {
  std::vector<std::string> d;
  const auto add = [&](const std::string& what, const auto& value) {
    std::ostringstream line;
    line << what << "=" << value;
    d.push_back(line.str());
  };
  add("in", item.numInputs());
  add("out", item.numOutputs());
  add("params", item.numParams());
  add("programs", item.numPrograms());
  add("delay", item.InitialDelay());
  add("flags", item.EffectOptions().Bits());
  add("id", item.uID());
  add("version", item.Version());
  add("vst", item.GetVstVersion());
  add("category", item.GetPlugCategory());
  add("name", item.GetEffectName());
  add("vendor", item.VendorString());
  add("product", item.ProductString());
  add("vendor version", item.VendorVersion());
  add("can bypass", item.CanDo("bypass"));
  add("can fly", item.CanDo("fly"));
  add("program", item.ProgramNr());
  add("program name", item.ProgramName());
  for (VstInt32 i = -1; i <= item.numParams(); ++i) {
    const std::string n = std::to_string(i);
    add("param name " + n, item.GetParamName(i));
    add("param label " + n, item.GetParamLabel(i));
    add("param display " + n, item.GetParamDisplay(i));
    add("param " + n, item.GetParameter(i));
  }
  item.SetProgramName(std::string(300, 'q'));
  add("long program name", item.ProgramName());
  return d;
}

TEST_F(Bridged, EveryAnswerIsTheSameAsInThisProcess) {
  for (const char* kind : {"params", "chunk", "router", "io"}) {
    SCOPED_TRACE(kind);
    TVstPlugIn& here = Open(EffectPath(kind), false);
    TVstPlugIn& there = Open(EffectPath(kind), true);
    EXPECT_EQ(Describe(there), Describe(here));
    host_.VstPlugIns().Clear();
  }
}

// Blocks of varied length through both items; false at the first sample that differs.
template <typename Sample>
void ExpectSameAudio(TVstPlugIn& here, TVstPlugIn& there, int accumulate_every = 0) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  const size_t ins = static_cast<size_t>(here.numInputs());
  const size_t outs = static_cast<size_t>(here.numOutputs());
  int block = 0;
  for (const int frames : {256, 1, 64, 1000, 256, 4096, 17, 256, 256, 2048}) {
    TChannelArrays<Sample> in(ins, static_cast<size_t>(frames));
    TChannelArrays<Sample> out_here(outs, static_cast<size_t>(frames));
    TChannelArrays<Sample> out_there(outs, static_cast<size_t>(frames));
    for (size_t c = 0; c < ins; ++c)
      for (int i = 0; i < frames; ++i) in.Data()[c][i] = static_cast<Sample>(noise(random));
    const bool accumulating = accumulate_every > 0 && ++block % accumulate_every == 0;
    for (size_t c = 0; c < outs; ++c)
      for (int i = 0; i < frames; ++i)
        out_here.Data()[c][i] = out_there.Data()[c][i] = accumulating ? Sample(0.25) : Sample(9);
    if constexpr (std::is_same_v<Sample, double>) {
      ASSERT_TRUE(here.ProcessDoubleReplacing(in, out_here, frames));
      ASSERT_TRUE(there.ProcessDoubleReplacing(in, out_there, frames));
    } else if (accumulating) {
      ASSERT_TRUE(here.Process(in, out_here, frames));
      ASSERT_TRUE(there.Process(in, out_there, frames));
    } else {
      ASSERT_TRUE(here.ProcessReplacing(in, out_here, frames));
      ASSERT_TRUE(there.ProcessReplacing(in, out_there, frames));
    }
    for (size_t c = 0; c < outs; ++c)
      ASSERT_EQ(0, std::memcmp(out_here.Data()[c], out_there.Data()[c], frames * sizeof(Sample)))
          << "output " << c << " of a block of " << frames;
  }
}

TEST_F(Bridged, OutputIsSampleExact) {
  TVstPlugIn& here = Open(EffectPath("router"), false);
  TVstPlugIn& there = Open(EffectPath("router"), true);
  ExpectSameAudio<float>(here, there, 3);
  ExpectSameAudio<double>(here, there);
  host_.VstPlugIns().Clear();

  TVstPlugIn& crossover_here = Open(CrossoverPath(), false);
  TVstPlugIn& crossover_there = Open(CrossoverPath(), true);
  for (TVstPlugIn* item : {&crossover_here, &crossover_there}) {
    item->SetSampleRate(48000);
    item->SetBlockSize(4096);
    item->MainsChanged(true);
    item->SetParameter(0, 0.3f);
  }
  {
    SCOPED_TRACE("crossover");
    ExpectSameAudio<float>(crossover_here, crossover_there);
  }
  // A program of the crossover's own, then its state carried as a chunk from one to the other.
  crossover_there.SetProgramNr(2);
  std::vector<uint8_t> bank = crossover_there.GetChunk(false);
  ASSERT_FALSE(bank.empty());
  crossover_here.SetChunk(bank.data(), static_cast<VstInt32>(bank.size()), false);
  EXPECT_EQ(crossover_here.GetChunk(false), bank);
  ExpectSameAudio<float>(crossover_here, crossover_there);
}

// Blocks that come at the driver's pace, some of them early, find the helper awake: none has
// to wake it through the system, which may take milliseconds. Only the first block (the
// helper was idle), and one after a pause long enough for the helper to call playing stopped,
// may.
TEST_F(Bridged, BlocksAtTheDriversPaceNeverWakeTheHelperThroughTheSystem) {
  TVstPlugIn& item = Open(EffectPath("router"), true);
  constexpr int kFrames = 256;
  constexpr double kRate = 44100;
  item.SetSampleRate(kRate);
  item.SetBlockSize(kFrames);
  item.MainsChanged(true);
  TChannelArrays<float> in(static_cast<size_t>(item.numInputs()), kFrames);
  TChannelArrays<float> out(static_cast<size_t>(item.numOutputs()), kFrames);
  const int64_t period = static_cast<int64_t>(platform::PerformanceFrequency() * kFrames / kRate);
  std::mt19937 random(11);
  ASSERT_TRUE(item.ProcessReplacing(in, out, kFrames));
  const uint32_t first = item.Bridge()->AudioWakeUps();
  uint32_t pauses = 0;
  int64_t last = platform::PerformanceCounter();
  for (int block = 0; block < 200; ++block) {
    // Every fifth block comes after a third of a period to half of one, as after a late one.
    const int64_t gap =
        block % 5 == 0 ? period / 3 + static_cast<int64_t>(random() % 6) * period / 36 : period;
    while (platform::PerformanceCounter() < last + gap) {
    }
    const int64_t now = platform::PerformanceCounter();
    if (now - last > 3 * period) ++pauses;  // this thread was held up: the helper may sleep
    last = now;
    ASSERT_TRUE(item.ProcessReplacing(in, out, kFrames));
    // Held up while it served the effect's callback from inside the block, this thread may
    // find the helper gone to sleep on its answer (after 2 ms).
    if (platform::PerformanceCounter() - now > period / 3) ++pauses;
  }
  EXPECT_LE(item.Bridge()->AudioWakeUps() - first, pauses);
}

TEST_F(Bridged, ChunksOfMegabytesAndPresetFilesCrossBothWays) {
  TVstPlugIn& here = Open(EffectPath("chunk"), false);
  TVstPlugIn& there = Open(EffectPath("chunk"), true);
  // More than the control channel's data area holds: it crosses in pieces, both ways.
  std::vector<uint8_t> state(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  there.SetChunk(state.data(), static_cast<VstInt32>(state.size()), true);
  EXPECT_EQ(there.GetChunk(true), state);
  here.SetChunk(state.data(), static_cast<VstInt32>(state.size()), true);

  // The bank chunk carries the effect's mark in front; the same preset file from both.
  std::vector<uint8_t> bank = there.GetChunk(false);
  ASSERT_EQ(bank.size(), state.size() + 1);
  EXPECT_EQ(bank[0], 'B');
  here.SetProgramName("Wide");
  there.SetProgramName("Wide");
  std::stringstream file_here, file_there;
  here.SavePreset(file_here);
  there.SavePreset(file_there);
  EXPECT_EQ(file_there.str(), file_here.str());

  std::vector<uint8_t> other(100, 0x5A);
  there.SetChunk(other.data(), static_cast<VstInt32>(other.size()), true);
  there.SetProgramName("Other");
  there.LoadPreset(file_there);
  EXPECT_EQ(there.GetChunk(true), state);
  EXPECT_EQ(there.ProgramName(), "Wide");
}

TEST_F(Bridged, ParameterPresetsRoundTrip) {
  TVstPlugIn& item = Open(EffectPath("params"), true);
  item.SetProgramName("Warm");
  item.SetParameter(0, 0.125f);
  item.SetParameter(2, 0.875f);
  std::stringstream file;
  item.SavePreset(file);
  EXPECT_EQ(file.str().size(), 68u);
  item.SetProgramName("Other");
  item.SetParameter(0, 0.0f);
  item.SetParameter(2, 0.0f);
  item.LoadPreset(file);
  EXPECT_EQ(item.ProgramName(), "Warm");
  EXPECT_EQ(item.GetParameter(0), 0.125f);
  EXPECT_EQ(item.GetParameter(2), 0.875f);
  EXPECT_EQ(item.GetParamDisplay(0), "12.50");
}

// A parameter that faults in the helper is as unreadable as one that faults here.
TEST_F(Bridged, AParameterPresetIsNotSavedWhenAParameterCannotBeRead) {
  SetEnvironment("PARTILOOM_TEST_EFFECT_ARM", std::to_string(kArmGetParameterFault));
  TVstPlugIn& item = Open(EffectPath("params"), true);
  std::stringstream file;
  EXPECT_THROW(item.SavePreset(file), EVstNoState);
  EXPECT_TRUE(file.str().empty());
  EXPECT_GE(
      platform::FaultCount(platform::FaultKind::EffectFault, item.FaultSource(), "getParameter"),
      1u);
}

TEST_F(Bridged, HostCallbacksFromInsideRequestsAndProcessCallsReachTheHost) {
  // The chunk effect reports a restored parameter from inside effSetChunk.
  TVstPlugIn& chunk = Open(EffectPath("chunk"), true);
  std::vector<VstInt32> automated;
  std::thread::id automated_on;
  auto automate = [&](TObject*, VstInt32 index, VstIntPtr) {
    automated.push_back(index);
    automated_on = std::this_thread::get_id();
  };
  chunk.OnAudioMasterAutomate = TVstAutomateEvent::FromCallable(&automate);
  const uint8_t bytes[4] = {1, 2, 3, 4};
  chunk.SetChunk(bytes, 4, true);
  EXPECT_EQ(automated, std::vector<VstInt32>{0});
  EXPECT_EQ(automated_on, std::this_thread::get_id());

  // The io effect takes new counts with a program without a report: the record shows them
  // after the request, and the host adopts them.
  TVstPlugIn& io = Open(EffectPath("io"), true);
  int adopted = 0;
  auto count = [&](TObject*) { ++adopted; };
  io.OnIOCountsAdopted = TNotifyEvent::FromCallable(&count);
  io.SetProgramNr(1);
  EXPECT_EQ(adopted, 1);
  EXPECT_EQ(io.AdoptedInputs(), 2);
  EXPECT_EQ(io.AdoptedOutputs(), 6);
  host_.VstPlugIns().Clear();

  // Armed, it reports new counts from inside processReplacing, on the audio thread.
  SetEnvironment("PARTILOOM_TEST_EFFECT_ARM", std::to_string(kArmIOChangeInProcess));
  TVstPlugIn& reporting = Open(EffectPath("io"), true);
  int reported = 0;
  auto report = [&](TObject*) { ++reported; };
  reporting.OnAudioMasterIOChanged = TNotifyEvent::FromCallable(&report);
  TSingleChannelArrays in(2, 64), out(2, 64);
  std::thread audio([&] { reporting.ProcessReplacing(in, out, 64); });
  audio.join();
  EXPECT_EQ(reported, 1);
  EXPECT_EQ(reporting.numOutputs(), 6);
  EXPECT_TRUE(reporting.AdoptIOChanges());
  EXPECT_EQ(reporting.AdoptedOutputs(), 6);
}

TEST_F(Bridged, FaultsInTheHelperAreContainedAndRecordedAsInThisProcess) {
  platform::ResetFaultLog();
  SetEnvironment("PARTILOOM_TEST_EFFECT_ARM", std::to_string(kArmProcessFault));
  TVstPlugIn& item = Open(EffectPath("faulty"), true);
  TSingleChannelArrays in(2, 64), out(2, 64);
  out.Data()[0][5] = 1.0f;
  item.ProcessReplacing(in, out, 64);
  EXPECT_EQ(out.Data()[0][5], 0.0f);
  EXPECT_EQ(platform::FaultCount(platform::FaultKind::EffectFault, item.FaultSource(),
                                 "processReplacing"),
            1u);
  // Requests whose pointer the bridge cannot know are refused, not passed as addresses.
  char record[64] = {};
  EXPECT_EQ(item.VstDispatch(99, 0, 0, record), 0);
  EXPECT_EQ(platform::FaultCount(platform::FaultKind::RefusedAnswer, item.FaultSource(),
                                 "dispatcher (a pointer the bridge does not carry)"),
            1u);
  EXPECT_EQ(item.Bridge()->State(), vst_bridge::TBridgeState::Running);
}

TEST_F(Bridged, TheEffectsEditorOpensInTheHostsWindowFromTheHelper) {
  TVstPlugIn& item = Open(EffectPath("painter"), true);
  TEditorPanel panel;
  // The editor's window is the helper's, its parent the host's: the system sends messages
  // between the two while the request waits. Not taken, they would hold both until the
  // request's deadline (5 s) judged the helper hung.
  const uint32_t start = platform::TickCount();
  item.ShowEdit(*panel.panel);
  EXPECT_LT(platform::TickCount() - start, 2000u);
  EXPECT_TRUE(item.EditVisible());
  ERect rect{};
  item.EditGetRect(rect);
  EXPECT_GT(rect.right - rect.left, 0);
  item.EditIdle();
  item.CloseEdit();
  EXPECT_FALSE(item.EditVisible());
  EXPECT_EQ(item.Bridge()->State(), vst_bridge::TBridgeState::Running);
  EXPECT_EQ(item.Bridge()->Restarts(), 0u);
}

#if defined(_WIN32)
HWND Handle(const std::unique_ptr<platform::Control>& control) {
  return static_cast<HWND>(control->Handle());
}

// The top-level window `owner` owns, of any process; null if none.
HWND WindowOwnedBy(HWND owner) {
  for (HWND window = GetTopWindow(nullptr); window; window = GetWindow(window, GW_HWNDNEXT))
    if (GetWindow(window, GW_OWNER) == owner) return window;
  return nullptr;
}

// left, top, right, bottom on the screen, of the whole window or of the client area.
std::vector<LONG> ScreenRect(HWND window, bool client) {
  RECT area{};
  if (client) {
    GetClientRect(window, &area);
    MapWindowPoints(window, HWND_DESKTOP, reinterpret_cast<POINT*>(&area), 2);
  } else {
    GetWindowRect(window, &area);
  }
  return {area.left, area.top, area.right, area.bottom};
}

// Whether `upper` lies above `lower` in the order of the top-level windows.
bool Above(HWND upper, HWND lower) {
  for (HWND next = GetWindow(upper, GW_HWNDNEXT); next; next = GetWindow(next, GW_HWNDNEXT))
    if (next == lower) return true;
  return false;
}

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

// Where the system leaves another process's child window undrawn, the helper's editor lies
// in a window of the helper's laid over the panel, which follows the panel at each idle.
TEST_F(Bridged, TheEffectsEditorFromTheHelperIsShownOverThePanelAndFollowsIt) {
  TVstPlugIn& item = Open(EffectPath("painter"), true);
  TEditorPanel panel;
  const HWND form = Handle(panel.form);
  const HWND panel_window = Handle(panel.panel);
  item.ShowEdit(*panel.panel);
  ASSERT_TRUE(item.EditVisible());
  if (platform::DrawsOtherProcessesChildWindows()) GTEST_SKIP() << "the panel holds the editor";
  const HWND overlay = WindowOwnedBy(form);
  ASSERT_NE(overlay, nullptr);
  EXPECT_NE(ProcessOf(overlay), GetCurrentProcessId());
  EXPECT_EQ(GetWindowLongA(overlay, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_THICKFRAME), WS_POPUP);
  const HWND editor = GetWindow(overlay, GW_CHILD);
  ASSERT_NE(editor, nullptr);
  EXPECT_TRUE(IsWindowVisible(editor));
  EXPECT_EQ(GetWindow(panel_window, GW_CHILD), nullptr);

  const struct {
    const char* step;
    void (*act)(HWND form);
    bool shown;
  } kSteps[] = {
      {"open", [](HWND) {}, true},
      {"moved",
       [](HWND form) { SetWindowPos(form, nullptr, 260, 190, 0, 0, SWP_NOSIZE | SWP_NOZORDER); },
       true},
      {"hidden", [](HWND form) { ShowWindow(form, SW_HIDE); }, false},
      {"shown", [](HWND form) { ShowWindow(form, SW_SHOWNA); }, true},
      {"minimised", [](HWND form) { ShowWindow(form, SW_SHOWMINNOACTIVE); }, false},
      {"restored", [](HWND form) { ShowWindow(form, SW_RESTORE); }, true},
      {"moved again",
       [](HWND form) { SetWindowPos(form, nullptr, 40, 30, 0, 0, SWP_NOSIZE | SWP_NOZORDER); },
       true},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.step);
    step.act(form);
    // What the system makes of the step (activation, raising) reaches the form first, as
    // it would before the window's next idle timer.
    for (int i = 0; i < 3; ++i) platform::WaitAndPumpMessages(20);
    item.EditIdle();
    EXPECT_EQ(IsWindowVisible(overlay) != FALSE, step.shown);
    if (step.shown) {
      EXPECT_EQ(ScreenRect(overlay, false), ScreenRect(panel_window, true));
      EXPECT_TRUE(Above(overlay, form));
    }
  }
  item.CloseEdit();
  EXPECT_FALSE(IsWindow(overlay));
  EXPECT_EQ(item.Bridge()->Restarts(), 0u);
}

// A click as the user makes it, at a point of the screen.
void ClickAt(POINT point) {
  SetCursorPos(point.x, point.y);
  INPUT press[2] = {};
  press[0].type = press[1].type = INPUT_MOUSE;
  press[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  press[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, press, sizeof(INPUT));
}

void PressKey(WORD key) {
  INPUT press[2] = {};
  press[0].type = press[1].type = INPUT_KEYBOARD;
  press[0].ki.wVk = press[1].ki.wVk = key;
  press[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, press, sizeof(INPUT));
}

POINT CentreOf(HWND window) {
  RECT area;
  GetWindowRect(window, &area);
  return {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

// The painter's Reset button sets every parameter to 0.5: whether the editor took the
// user's action shows in the effect's parameters.
bool WaitForReset(TVstPlugIn& item) {
  for (int i = 0; i < 100; ++i) {
    if (item.GetParameter(0) == 0.5f) return true;
    platform::WaitAndPumpMessages(20);
    item.EditIdle();
  }
  return false;
}

TEST_F(Bridged, TheMouseAndTheKeyboardReachTheEditorFromTheHelper) {
  TVstPlugIn& item = Open(EffectPath("painter"), true);
  TEditorPanel panel(400, 240);
  const HWND form = Handle(panel.form);
  item.ShowEdit(*panel.panel);
  ASSERT_TRUE(item.EditVisible());
  item.EditIdle();
  const HWND overlay = WindowOwnedBy(form);
  const HWND editor = GetWindow(overlay ? overlay : Handle(panel.panel), GW_CHILD);
  ASSERT_NE(editor, nullptr);
  const HWND reset = GetDlgItem(editor, 101);
  ASSERT_NE(reset, nullptr);
  const DWORD editor_thread = GetWindowThreadProcessId(editor, nullptr);
  // The window with the keyboard in the editor's thread, once it is `expected` (or after 1 s).
  const auto focus_becomes = [editor_thread](HWND expected) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    for (int i = 0; i < 50; ++i) {
      if (GetGUIThreadInfo(editor_thread, &info) && info.hwndFocus == expected) break;
      platform::WaitAndPumpMessages(20);
    }
    return info.hwndFocus;
  };
  RECT area;
  GetWindowRect(editor, &area);
  const POINT background{area.left + 5, area.top + 100};

  // A click on the editor's background makes its window the active one, and the editor's
  // window the one with the keyboard.
  ClickAt(background);
  EXPECT_EQ(focus_becomes(editor), editor);
  item.SetParameter(0, 0.0f);
  ClickAt(CentreOf(reset));
  EXPECT_TRUE(WaitForReset(item)) << "the click";
  // The pressed button has the keyboard: the space bar presses it again.
  EXPECT_EQ(focus_becomes(reset), reset);
  item.SetParameter(0, 0.0f);
  PressKey(VK_SPACE);
  EXPECT_TRUE(WaitForReset(item)) << "the space bar";

  // The host's window activated comes to the front; at its next idle the editor's window is
  // back above it, and a click into it finds the keyboard where it was.
  SetForegroundWindow(form);
  for (int i = 0; i < 50 && GetForegroundWindow() != form; ++i) platform::WaitAndPumpMessages(20);
  for (int i = 0; i < 10; ++i) platform::WaitAndPumpMessages(20);
  if (overlay) {
    // The system may raise the form again for a while after the activation: each idle puts
    // the window back.
    bool above = false;
    for (int i = 0; i < 25 && !above; ++i) {
      item.EditIdle();
      above = Above(overlay, form);
      platform::WaitAndPumpMessages(20);
    }
    EXPECT_TRUE(above && Above(overlay, form));
  }
  ClickAt(background);
  EXPECT_EQ(focus_becomes(reset), reset);
  item.SetParameter(0, 0.0f);
  PressKey(VK_SPACE);
  EXPECT_TRUE(WaitForReset(item)) << "the space bar after the editor's window was active again";
  item.CloseEdit();
  EXPECT_EQ(item.Bridge()->Restarts(), 0u);
}
#endif

// The editor asks for a size from its window in the helper; the request comes on the
// bridge's thread, is answered at once and reaches the panel on its own thread.
TEST_F(Bridged, TheEffectsEditorGetsTheSizeItAsksForFromTheHelper) {
  SetEnvironment("PARTILOOM_PAINTER_GROW", "480x300");
  TVstPlugIn& item = Open(EffectPath("painter"), true);
  SetEnvironment("PARTILOOM_PAINTER_GROW", "");
  const auto ask_from_other_thread = [&item](VstInt32 width, VstIntPtr height) {
    VstIntPtr answer = -1;
    std::thread([&] {
      answer =
          AudioMasterCallback(item.Effect(), audioMasterSizeWindow, width, height, nullptr, 0.0f);
    }).join();
    return answer;
  };
  // Without an editor showing, or for a size no window takes, there is nothing to keep.
  EXPECT_EQ(ask_from_other_thread(400, 300), 0);
  TEditorPanel panel;
  item.ShowEdit(*panel.panel);
  ASSERT_TRUE(item.EditVisible());
  EXPECT_EQ(ask_from_other_thread(0, 300), 0);
  EXPECT_EQ(ask_from_other_thread(40000, 300), 0);
#if defined(_WIN32)
  // The window's idle timer takes the request.
  for (int i = 0; i < 150 && panel.panel->ClientArea().width != 480; ++i) {
    platform::WaitAndPumpMessages(20);
    item.EditIdle();
  }
  EXPECT_EQ(panel.panel->ClientArea().width, 480);
  EXPECT_EQ(panel.panel->ClientArea().height, 300);
#endif
  EXPECT_EQ(ask_from_other_thread(420, 260), 1);
  item.EditIdle();
  EXPECT_EQ(panel.panel->ClientArea().width, 420);
  EXPECT_EQ(panel.panel->ClientArea().height, 260);
#if defined(_WIN32)
  // A window laid over the panel takes the panel's new size.
  if (const HWND overlay = WindowOwnedBy(Handle(panel.form))) {
    EXPECT_EQ(ScreenRect(overlay, false), ScreenRect(Handle(panel.panel), true));
  }
#endif
  item.CloseEdit();
  EXPECT_EQ(item.Bridge()->State(), vst_bridge::TBridgeState::Running);
  EXPECT_EQ(item.Bridge()->Restarts(), 0u);
}

TEST_F(Bridged, ALibraryThatGivesNoEffectOrAMissingHelperFailsToOpen) {
  TVstPlugIn* refusing = host_.VstPlugIns().Add();
  refusing->BridgeHelper = vst_bridge::HelperBesideModule(vst_bridge::THelperWidth::SameAsPlugIn);
  refusing->SetDLLFileName(EffectPath("null_entry"));
  EXPECT_THROW(refusing->SetActive(true), EVstError);
  EXPECT_EQ(refusing->Bridge(), nullptr);

  std::string error;
  EXPECT_EQ(vst_bridge::TEffectProxy::Open(platform::ExecutableDirectory() + "/no-such-helper",
                                           EffectPath("params"), &AudioMasterCallback, error),
            nullptr);
  EXPECT_NE(error.find("no-such-helper"), std::string::npos);
}

}  // namespace
