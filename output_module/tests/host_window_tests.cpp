// The host window: its creation from the stored settings, its layout, the driver change and
// the routing it restores, the audio callback and the preset file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/message_window.h"
#include "vst_host/tests/test_support.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
}

std::vector<int32_t> Routing(const TFmASIOConfig& window) {
  std::vector<int32_t> routing;
  for (int k = 1; k <= 8; ++k) routing.push_back(window.OutputRouting(k));
  return routing;
}

class HostWindow : public ModuleTest {};

TEST_F(HostWindow, FirstStartAsksForTheEffectLibraryAndRemembersIt) {
  DialogAnswer() = EffectPath("router");
  auto window = MakeWindow();
  EXPECT_EQ(DialogCount(), 1);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(Key()->ReadString(settings::kVstPlugin), EffectPath("router"));
  ASSERT_TRUE(window->Effect().Active());
  EXPECT_EQ(window->Effect().numOutputs(), 8);
  EXPECT_EQ(window->EffectBlockSize(), 2048);
  EXPECT_EQ(window->ASIOHost.GetDriverIndex(), -1);
  EXPECT_FALSE(Key()->ValueExists(settings::kDriver));
  EXPECT_EQ(Routing(*window), std::vector<int32_t>(8, 0));
  EXPECT_FALSE(window->Form->Visible());
  window.reset();
  // The next start finds the library without asking.
  window = MakeWindow();
  EXPECT_EQ(DialogCount(), 1);
  EXPECT_TRUE(window->Effect().Active());
}

TEST_F(HostWindow, CancellingTheLibraryDialogIsReportedAndTheWindowStaysWithoutEffect) {
  const std::string earlier = "an earlier run's preset";
  WriteFile(settings::kPresetFileName, earlier);
  auto window = MakeWindow();
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0],
            "You have to select the Partiloom.DLL in order to get this plugin running");
  ASSERT_NE(window->Form, nullptr);
  EXPECT_FALSE(window->Effect().Active());
  EXPECT_FALSE(Key()->ValueExists(settings::kVstPlugin));
  window.reset();
  // Without an effect there is nothing to save: the earlier file stays as it was.
  EXPECT_EQ(ReadFile(settings::kPresetFileName), earlier);
  EXPECT_TRUE(Key()->ValueExists(settings::kVisible));
}

TEST_F(HostWindow, WindowAndToolBarAreLaidOutAsDesigned) {
  // An effect with an editor of its own leaves the panel as designed (a parameter list
  // would size it to its rows).
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(2));
  auto window = MakeWindow();
  platform::NativeWindow form = window->Form->Handle();
  EXPECT_EQ(platform::WindowCaption(form), "Config ASIO");
  const platform::Bounds outer = platform::WindowBounds(form);
  EXPECT_EQ(outer.left, 222);
  EXPECT_EQ(outer.top, 192);
  const platform::Bounds client = platform::WindowClientArea(form);
  EXPECT_EQ(client.width, 811);
  // The tool bar, the panel and the strip of meters below it.
  EXPECT_EQ(client.height, 708 + 100);
  struct Item {
    const char* name;
    int32_t left, width;
    const char* caption;
  };
  const Item items[] = {
      {"TBSep1", 0, 8, ""},          {"LbDriver", 8, 33, "Driver:"},
      {"TBSep2", 41, 8, ""},         {"CBDriver", 49, 145, nullptr},
      {"TBSep3", 194, 19, ""},       {"BtControlPanel", 213, 100, "Control Panel"},
      {"ToolButton1", 313, 16, ""},  {"BtRouting", 329, 64, "Routing"},
      {"ToolButton2", 393, 136, ""}, {"Label1", 529, 275, nullptr},
  };
  for (const Item& item : items) {
    SCOPED_TRACE(item.name);
    platform::NativeWindow control = platform::FindNamedWindow(form, item.name);
    ASSERT_NE(control, nullptr);
    const platform::Bounds bounds = platform::WindowBounds(control);
    EXPECT_EQ(bounds.left, item.left);
    EXPECT_EQ(bounds.width, item.width);
    if (item.caption) {
      EXPECT_EQ(platform::WindowCaption(control), item.caption);
    }
  }
  EXPECT_FALSE(platform::WindowCaption(window->Label1->Handle()).empty());
  const platform::Bounds bar = platform::WindowBounds(platform::FindNamedWindow(form, "ToolBar"));
  EXPECT_EQ(bar.width, 811);
  EXPECT_EQ(bar.height, 25);
  const platform::Bounds panel = platform::WindowBounds(platform::FindNamedWindow(form, "Panel"));
  EXPECT_EQ(panel.left, 0);
  EXPECT_EQ(panel.top, 25);
  EXPECT_EQ(panel.width, 811);
  EXPECT_EQ(panel.height, 683);
  // The driver list offers the installed drivers.
  const std::vector<std::string> listed = platform::WindowItems(window->CBDriver->Handle());
  EXPECT_NE(std::find(listed.begin(), listed.end(), driver), listed.end());
  EXPECT_EQ(platform::WindowSelectedIndex(window->CBDriver->Handle()), -1);
}

TEST_F(HostWindow, StoredWindowStateDriverAndRoutingAreRestored) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(4));
  int32_t index = -1;
  auto window =
      RestartedWindow([&](TFmASIOConfig& first) { SelectDriver(first, driver); },
                      [&] {
                        auto key = Key();
                        ASSERT_TRUE(key->ValueExists(settings::kDriver));
                        index = *key->ReadInteger(settings::kDriver);
                        key->WriteInteger(settings::kVisible, 1);
                        key->WriteInteger(settings::kLeft, 100);
                        key->WriteInteger(settings::kTop, 50);
                        key->WriteString(settings::RoutingValueName(driver, 2), "3 - Out 4");
                        key->WriteString(settings::RoutingValueName(driver, 5), "1 - OUT 2");
                      });
  EXPECT_TRUE(window->Form->Visible());
  EXPECT_EQ(window->Form->GetBounds().left, 100);
  EXPECT_EQ(window->Form->GetBounds().top, 50);
  EXPECT_EQ(window->ASIOHost.GetDriverIndex(), index);
  EXPECT_EQ(window->ASIOHost.GetDriverName(), driver);
  EXPECT_EQ(window->CBDriver->SelectedIndex(), index);
  // The start applies no default routing: outputs without a stored one stay at 0.
  EXPECT_EQ(Routing(*window), (std::vector<int32_t>{0, 3, 0, 0, 1, 0, 0, 0}));
}

TEST_F(HostWindow, DriverChangeSetsAlternatingDefaultsThenTheStoredRouting) {
  StoreEffect("router");
  const std::string first = InstallDriver(FloatDriver(4));
  const std::string second = InstallDriver(FloatDriver(2));
  auto key = Key();
  key->WriteString(settings::RoutingValueName(first, 1), "2 - Out 3");
  key->WriteString(settings::RoutingValueName(first, 8), "3 - out 4");
  key->WriteString(settings::RoutingValueName(first, 4), "");            // nothing chosen
  key->WriteString(settings::RoutingValueName(first, 6), "9 - Out 10");  // no such channel
  key.reset();
  auto window = MakeWindow();

  SelectDriver(*window, second);
  EXPECT_EQ(Routing(*window), (std::vector<int32_t>{0, 1, 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(Key()->ReadInteger(settings::kDriver), window->ASIOHost.GetDriverIndex());
  EXPECT_FALSE(window->ASIOHost.GetActive());  // stopped before, stopped after

  window->Open(44100, 2, 16);
  ASSERT_TRUE(window->ASIOHost.GetActive());
  SelectDriver(*window, first);
  EXPECT_EQ(window->ASIOHost.GetDriverName(), first);
  EXPECT_EQ(Routing(*window), (std::vector<int32_t>{2, 1, 0, 1, 0, 1, 0, 3}));
  EXPECT_TRUE(window->ASIOHost.GetActive());  // playing before, playing after
  EXPECT_EQ(Key()->ReadInteger(settings::kDriver), window->ASIOHost.GetDriverIndex());
}

// A reset that could not reopen the driver (the interface was unplugged) leaves none open;
// once the interface is back, choosing the same driver in the list opens it again.
TEST_F(HostWindow, ChoosingTheSameDriverAfterAFailedReopeningOpensIt) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(2));
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  ASSERT_TRUE(Driver().SetFailure("init", asio_test::Failure::Refuse));
  ASSERT_EQ(Driver().SendMessage(kAsioResetRequest), 1);
  for (int i = 0; i < 100 && window->ASIOHost.GetOutputChannelCount() > 0; ++i)
    platform::WaitAndPumpMessages(10);
  ASSERT_EQ(window->ASIOHost.GetOutputChannelCount(), 0) << "the reopening failed";
  EXPECT_FALSE(window->ASIOHost.GetActive());

  ASSERT_TRUE(Driver().SetFailure("init", asio_test::Failure::None));
  const int32_t inits = Driver().CallCount("init");
  SelectDriver(*window, driver);
  EXPECT_EQ(Driver().CallCount("init"), inits + 1);
  EXPECT_EQ(window->ASIOHost.GetOutputChannelCount(), 2);
  EXPECT_EQ(window->ASIOHost.GetDriverName(), driver);
  // The stream the player still holds open plays on without a new start.
  EXPECT_TRUE(window->ASIOHost.GetActive());
  EXPECT_EQ(Driver().RunSwitches(2), 2);
}

// A paused or closed stream does not start playing because a driver was chosen.
TEST_F(HostWindow, ChoosingADriverLeavesAPausedOrClosedStreamSilent) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(2));
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  window->Pause(1);
  SelectDriver(*window, driver);
  EXPECT_FALSE(window->ASIOHost.GetActive()) << "paused";
  window->Pause(0);
  window->Close();
  SelectDriver(*window, driver);
  EXPECT_FALSE(window->ASIOHost.GetActive()) << "closed";
}

// The stored position is the driver's place in the list of installed drivers. A driver
// installed since, whose name sorts first, moves the chosen one down: it is found by its
// name, with its routing, and the position is brought up to date.
TEST_F(HostWindow, AStoredDriverThatMovedInTheListIsOpenedByItsName) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(4));
  {
    auto first = MakeWindow();
    SelectDriver(*first, driver);
  }
  EXPECT_EQ(Key()->ReadString(settings::kDriverName), driver);
  Key()->WriteString(settings::RoutingValueName(driver, 2), "3 - Out 4");
  const std::string earlier = InstallDriver(FloatDriver(2), "Partiloom Output Test Earlier ");
  const int32_t stored = *Key()->ReadInteger(settings::kDriver);

  auto window = MakeWindow();
  const std::vector<std::string> listed = window->CBDriver->Items();
  const auto found = std::find(listed.begin(), listed.end(), driver);
  ASSERT_NE(found, listed.end());
  const auto index = static_cast<int32_t>(found - listed.begin());
  // Tests beside this one install and remove drivers too; the earlier one moved it at least
  // while none of theirs before it went away.
  if (index == stored) GTEST_LOG_(WARNING) << "the driver did not move";
  EXPECT_EQ(window->ASIOHost.GetDriverName(), driver);
  EXPECT_EQ(window->ASIOHost.GetDriverIndex(), index);
  EXPECT_EQ(window->CBDriver->SelectedIndex(), index);
  EXPECT_EQ(window->ASIOHost.GetOutputChannelCount(), 4);
  EXPECT_EQ(Routing(*window), (std::vector<int32_t>{0, 3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Key()->ReadInteger(settings::kDriver), index);
  EXPECT_EQ(Driver(1).CallCount("init"), 0) << earlier << " was not opened";
  EXPECT_TRUE(Messages().empty());
}

// A stored driver that is no longer installed opens none: neither the driver now at its
// position nor another driver's routing. The window says so, without a message box that
// would stop the player's thread at start, until a driver is chosen.
TEST_F(HostWindow, AStoredDriverThatIsGoneOpensNoneAndTheWindowSaysSo) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(4));
  std::string credit;
  {
    auto first = MakeWindow();
    credit = first->Label1->Caption();
    SelectDriver(*first, driver);
  }
  // The stored position still names an installed driver, but another one.
  const std::string gone = "Partiloom Output Test Removed";
  Key()->WriteString(settings::kDriverName, gone);
  Key()->WriteString(settings::RoutingValueName(driver, 1), "3 - Out 4");

  auto window = MakeWindow();
  EXPECT_EQ(window->ASIOHost.GetDriverIndex(), -1);
  EXPECT_EQ(window->ASIOHost.GetDriverName(), "");
  EXPECT_EQ(Driver().CallCount("init"), 1) << "only the first window opened it";
  EXPECT_EQ(window->CBDriver->SelectedIndex(), -1);
  EXPECT_EQ(Routing(*window), std::vector<int32_t>(8, 0));
  EXPECT_TRUE(Messages().empty());
  const std::string notice =
      "ASIO driver \"" + gone + "\" is not installed any more; choose a driver";
  EXPECT_EQ(window->Label1->Caption(), notice);
  EXPECT_EQ(platform::WindowCaption(window->Label1->Handle()), notice);
  // The choice stays stored for when the driver is installed again.
  EXPECT_EQ(Key()->ReadString(settings::kDriverName), gone);

  SelectDriver(*window, driver);
  EXPECT_EQ(window->Label1->Caption(), credit);
  EXPECT_EQ(window->ASIOHost.GetDriverName(), driver);
  EXPECT_EQ(Key()->ReadString(settings::kDriverName), driver);
  EXPECT_EQ(Key()->ReadInteger(settings::kDriver), window->ASIOHost.GetDriverIndex());
}

TEST(StoredDriver, IsFoundByPositionWhileItHoldsTheNameElseByName) {
  const std::vector<std::string> drivers = {"Alpha", "Beta", "Gamma"};
  struct Case {
    int32_t position;
    std::string name;
    std::optional<int32_t> expected;
  };
  const Case cases[] = {
      {1, "Beta", 1},
      {1, "bETA", 1},              // names compare as the registry compares them
      {0, "Gamma", 2},             // another driver now stands at the position
      {7, "Alpha", 0},             // a driver before it went away
      {1, "Delta", std::nullopt},  // not installed any more
      {7, "", 7},
      {-1, "", -1},  // older versions stored no name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.position) + " " + c.name);
    EXPECT_EQ(settings::FindStoredDriver(drivers, c.position, c.name), c.expected);
  }
  EXPECT_EQ(settings::FindStoredDriver({}, 0, "Alpha"), std::nullopt);
}

// Settings of older versions hold only the position: it is opened as it stands.
TEST_F(HostWindow, ASettingWithOnlyThePositionOpensTheDriverThere) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(4));
  auto window = RestartedWindow([&](TFmASIOConfig& first) { SelectDriver(first, driver); },
                                [&] { Key()->DeleteValue(settings::kDriverName); });
  EXPECT_EQ(window->ASIOHost.GetDriverName(), driver);
  EXPECT_EQ(window->ASIOHost.GetOutputChannelCount(), 4);
  EXPECT_FALSE(Key()->ValueExists(settings::kDriverName)) << "a start writes nothing";
}

// The player's audio through the effect to the routed driver channels, as the driver
// captures it.
TEST_F(HostWindow, AudioRunsThroughTheEffectToTheRoutedChannels) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(4));
  auto key = Key();
  key->WriteString(settings::RoutingValueName(driver, 1), "2 - Out 3");
  key->WriteString(settings::RoutingValueName(driver, 8), "3 - Out 4");
  key.reset();
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);

  // The ring starts full of silence; the player fills what the driver has taken, and hears
  // it once the driver has come round to it.
  Driver().SetCapture(true);
  ASSERT_EQ(Driver().RunSwitches(16), 16);
  ASSERT_EQ(window->FreeFrames(), 4096);
  std::vector<int16_t> tone;
  for (int i = 0; i < 4096; ++i) {
    tone.push_back(8192);   // 0.25
    tone.push_back(-4096);  // -0.125
  }
  const std::vector<char> pcm = Pcm(tone);
  ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  ASSERT_EQ(Driver().RunSwitches(32), 32);
  Driver().SetCapture(false);

  // Output k is (k + 1) times input k mod 2; the highest output routed to a channel wins.
  const float expected[4] = {7 * 0.25f, 6 * -0.125f, 1 * 0.25f, 8 * -0.125f};
  for (int32_t channel = 0; channel < 4; ++channel) {
    SCOPED_TRACE("channel " + std::to_string(channel));
    const std::vector<float> samples = CapturedFloats(Driver(), channel);
    ASSERT_EQ(samples.size(), 48u * 256u);
    EXPECT_EQ(samples[8191], 0.0f);
    for (size_t i = 8192; i < samples.size(); ++i) ASSERT_EQ(samples[i], expected[channel]) << i;
  }
}

// A driver channel that loses its last routed output is silenced, instead of repeating the
// last block it was given.
TEST_F(HostWindow, AChannelThatLosesItsRoutingFallsSilent) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(4));
  auto key = Key();
  key->WriteString(settings::RoutingValueName(driver, 1), "3 - Out 4");
  key.reset();
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  window->Open(44100, 2, 16);
  TSingleChannelArrays in(2, 256), out(4, 256);
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(8192, inputs);
  std::vector<int16_t> tone(2 * 8192, 16384);
  const std::vector<char> pcm = Pcm(tone);
  window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));

  window->ASIOHostBufferSwitch32(nullptr, in, out);
  EXPECT_EQ(out[3][255], 0.5f);
  // Output 1 goes back to channel 2: channel 3 no longer has a source.
  Key()->WriteString(settings::RoutingValueName(driver, 1), "2 - Out 3");
  window->LoadRouting(*Key());
  for (int block = 0; block < 3; ++block) {
    window->ASIOHostBufferSwitch32(nullptr, in, out);
    EXPECT_EQ(out[2][0], 0.5f);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(out[3][i], 0.0f) << "block " << block;
  }
}

// A routing position the driver's output arrays do not have (its channel count shrank) is
// skipped; the outputs routed to channels that exist still arrive.
TEST_F(HostWindow, RoutingBeyondTheDriversChannelsIsSkipped) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(2));
  auto window = MakeWindow();
  SelectDriver(*window, driver);  // outputs 2, 4, 6 and 8 go to position 1
  window->Open(44100, 2, 16);
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(8192, inputs);
  const std::vector<char> pcm = Pcm(std::vector<int16_t>(2 * 8192, 4096));
  window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
  TSingleChannelArrays in(2, 256), one_channel(1, 256);
  window->ASIOHostBufferSwitch32(nullptr, in, one_channel);
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(one_channel[0][i], 7 * 0.125f) << i;
}

// The effect was opened for 2048 frames: a driver block of 4096 reaches it in two pieces.
TEST_F(HostWindow, ALongDriverBlockReachesTheEffectInPiecesOfItsBlockSize) {
  TEffectProbe probe("router");
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(2, 4096));
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_EQ(window->ASIOHost.GetBufferSize(), 4096u);
  window->Open(44100, 2, 16);
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(8192, inputs);
  std::vector<int16_t> ramp;
  for (int i = 0; i < 8192; ++i) {
    ramp.push_back(static_cast<int16_t>(i));
    ramp.push_back(static_cast<int16_t>(-i));
  }
  const std::vector<char> pcm = Pcm(ramp);
  window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
  probe.Clear();
  TSingleChannelArrays in(2, 4096), out(2, 4096);
  window->ASIOHostBufferSwitch32(nullptr, in, out);
  const std::vector<TEffectLogEntry> calls = probe.Entries(kLogProcessReplacing);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].value, 2048);
  EXPECT_EQ(calls[1].value, 2048);
  // The pieces land one after the other: channel 1 carries output 8 = 8 x right input.
  for (size_t i = 0; i < 4096; ++i)
    ASSERT_EQ(out[1][i], 8.0f * -static_cast<float>(i) / 32768.0f) << i;
}

// A fault inside the effect's process call is contained: the block is silent, the driver
// goes on, and the next blocks sound again.
TEST_F(HostWindow, AFaultingEffectLeavesSilenceAndTheDriverRunning) {
  TEffectProbe probe("faulty");
  StoreEffect("faulty");
  const std::string driver = InstallDriver(FloatDriver(2));
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(8192, inputs);
  const std::vector<char> pcm = Pcm(std::vector<int16_t>(2 * 8192, 8192));
  window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
  probe.Arm(kArmProcessFault);
  Driver().SetCapture(true);
  ASSERT_EQ(Driver().RunSwitches(8), 8);
  EXPECT_TRUE(window->ASIOHost.GetActive());
  probe.Arm(0);
  ASSERT_EQ(Driver().RunSwitches(2), 2);
  Driver().SetCapture(false);
  const std::vector<float> samples = CapturedFloats(Driver(), 0);
  ASSERT_EQ(samples.size(), 10u * 256u);
  for (size_t i = 0; i < 8 * 256; ++i) ASSERT_EQ(samples[i], 0.0f) << i;
  for (size_t i = 8 * 256; i < samples.size(); ++i) ASSERT_EQ(samples[i], 0.25f) << i;
}

TEST_F(HostWindow, BeforeTheFirstOpenTheEffectRunsButNoChannelIsWritten) {
  TEffectProbe probe("router");
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(2));
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  TSingleChannelArrays in(2, 256), out(2, 256);
  std::fill_n(out[0], 256, 0.5f);
  probe.Clear();
  window->ASIOHostBufferSwitch32(nullptr, in, out);
  EXPECT_EQ(probe.Entries(kLogProcessReplacing).size(), 1u);
  EXPECT_EQ(out[0][0], 0.5f);
}

// "Own Process" as stored: a number (any non-zero is true) or, when it is anything else or
// missing, false. An effect chosen to run in a process of its own plays through the helper.
TEST_F(HostWindow, TheStoredOwnProcessChoiceIsShownAndDecidesTheLoading) {
  const struct {
    const char* what;
    std::function<void(platform::RegistryKey&)> store;
    bool own_process;
  } cases[] = {
      {"missing", [](platform::RegistryKey&) {}, false},
      {"1", [](platform::RegistryKey& key) { key.WriteInteger(settings::kOwnProcess, 1); }, true},
      {"7", [](platform::RegistryKey& key) { key.WriteInteger(settings::kOwnProcess, 7); }, true},
      {"0", [](platform::RegistryKey& key) { key.WriteInteger(settings::kOwnProcess, 0); }, false},
      {"text", [](platform::RegistryKey& key) { key.WriteString(settings::kOwnProcess, "yes"); },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Key()->DeleteValue(settings::kOwnProcess);
    StoreEffect("params");
    c.store(*Key());
    Messages().clear();
    auto window = MakeWindow();
    EXPECT_EQ(window->BtOwnProcess->Checked(), c.own_process);
    EXPECT_EQ(window->Effect().OwnProcess(), c.own_process);
    ASSERT_NE(window->Effect().Effect(), nullptr);
    EXPECT_EQ(window->Effect().Bridge() != nullptr, c.own_process);
    EXPECT_TRUE(Messages().empty()) << Messages()[0];
  }
}

// The check button stores the choice at once and loads the effect again the way chosen; the
// effect's state comes along through the preset file, into the helper and back.
TEST_F(HostWindow, TheOwnProcessButtonStoresTheChoiceAndLoadsTheEffectAgain) {
  StoreEffect("params");
  auto window = MakeWindow();
  window->Effect().SetParameter(1, 0.75f);
  Messages().clear();
  platform::ClickWindow(window->BtOwnProcess->Handle());
  EXPECT_EQ(Key()->ReadInteger(settings::kOwnProcess), 1);
  ASSERT_NE(window->Effect().Effect(), nullptr);
  EXPECT_NE(window->Effect().Bridge(), nullptr);
  EXPECT_EQ(window->Effect().GetParameter(1), 0.75f);
  window->Effect().SetParameter(1, 0.5f);

  platform::ClickWindow(window->BtOwnProcess->Handle());
  EXPECT_EQ(Key()->ReadInteger(settings::kOwnProcess), 0);
  ASSERT_NE(window->Effect().Effect(), nullptr);
  EXPECT_EQ(window->Effect().Bridge(), nullptr);
  EXPECT_FALSE(window->Effect().OwnProcess());
  EXPECT_EQ(window->Effect().GetParameter(1), 0.5f);
  EXPECT_TRUE(Messages().empty()) << Messages()[0];
}

TEST_F(HostWindow, ThePresetIsSavedAtTheEndAndLoadedAtTheNextStart) {
  StoreEffect("params");
  {
    auto window = MakeWindow();
    EXPECT_EQ(window->Effect().GetParameter(1), 0.25f);
    window->Effect().SetParameter(1, 0.75f);
  }
  ASSERT_FALSE(ReadFile(settings::kPresetFileName).empty());
  EXPECT_FALSE(std::filesystem::exists(std::string(settings::kPresetFileName) + ".partial"));
  // The library was let go of, so its parameters start afresh: the value comes from the file.
  {
    auto window = MakeWindow();
    EXPECT_EQ(window->Effect().GetParameter(1), 0.75f);
    window->Effect().SetParameter(1, 0.5f);
  }
  // The second end replaced the file.
  auto window = MakeWindow();
  EXPECT_EQ(window->Effect().GetParameter(1), 0.5f);
  EXPECT_TRUE(Messages().empty());
}

// A save that cannot be completed keeps the earlier file whole.
TEST_F(HostWindow, AFailedSaveKeepsTheEarlierPreset) {
  StoreEffect("params");
  const std::string earlier = "earlier";
  WriteFile(settings::kPresetFileName, earlier);
  auto window = MakeWindow();
  Messages().clear();
  // Something in the way of the file the state is first written to.
  std::filesystem::create_directory(std::string(settings::kPresetFileName) + ".partial");
  window.reset();
  EXPECT_EQ(ReadFile(settings::kPresetFileName), earlier);
  EXPECT_EQ(Messages().size(), 1u);
}

// A preset that does not load is reported once; the driver and its routing come back all the
// same.
TEST_F(HostWindow, APresetThatFailsToLoadDoesNotStopTheDriversRestoration) {
  StoreEffect("params");
  const std::string driver = InstallDriver(FloatDriver(4));
  auto window =
      RestartedWindow([&](TFmASIOConfig& first) { SelectDriver(first, driver); },
                      [&] {
                        Key()->WriteString(settings::RoutingValueName(driver, 3), "3 - Out 4");
                        WriteFile(settings::kPresetFileName, "CcnK but nothing a preset holds");
                        Messages().clear();
                      });
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_EQ(window->ASIOHost.GetDriverName(), driver);
  EXPECT_EQ(window->OutputRouting(3), 3);
  EXPECT_TRUE(window->Effect().Active());
}

// The "io" effect (2 in 2 out, 2 in 6 out or 1 in 1 out by its program) on a driver of eight
// channels, effect output k routed to channel k - 1, and a steady tone in the ring: 0.25
// left, -0.125 right.
class EffectCounts : public ModuleTest {
 protected:
  std::unique_ptr<TFmASIOConfig> WindowWithTone() {
    StoreEffect("io");
    return WindowPlayingSteadyTone(InstallDriver(FloatDriver(8)));
  }
  std::vector<float> Block(TFmASIOConfig& window) { return SteadyBlockLevels(window, out_); }

  // Output k is (k + 1) times input k mod the inputs.
  const std::vector<float> kTwoOutputs{0.25f, -0.25f, 0, 0, 0, 0, 0, 0};
  const std::vector<float> kSixOutputs{0.25f, -0.25f, 0.75f, -0.5f, 1.25f, -0.75f, 0, 0};
  const std::vector<float> kOneOutput{0.25f, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<int32_t> kIdentity{0, 1, 2, 3, 4, 5, 6, 7};
  TSingleChannelArrays out_{8, 256};
};

// Counts the effect reports from inside its process call are adopted by the window's timer;
// then the audio flows again with them, to the channels routed before.
TEST_F(EffectCounts, CountsReportedFromTheProcessCallAreAdoptedByTheTimer) {
  TEffectProbe probe("io");
  auto window = WindowWithTone();
  EXPECT_EQ(Block(*window), kTwoOutputs);
  // The effect asked whether the host takes new counts, and was told yes.
  const auto answers = probe.Entries(kLogHostAnswer);
  const auto can_do = std::find_if(answers.begin(), answers.end(), [](const TEffectLogEntry& e) {
    return e.index == audioMasterCanDo;
  });
  ASSERT_NE(can_do, answers.end());
  EXPECT_EQ(can_do->value, 1);

  probe.Arm(kArmIOChangeInProcess);
  EXPECT_EQ(Block(*window), kTwoOutputs);  // the block that reports the change
  window->TimerTimer(nullptr);
  EXPECT_EQ(Block(*window), kSixOutputs);
  EXPECT_EQ(Block(*window), kSixOutputs);
  EXPECT_EQ(Routing(*window), kIdentity);
}

// Counts that come with a program are adopted at once; outputs that no longer exist fall
// silent, and the routing stays.
TEST_F(EffectCounts, CountsOfANewProgramAreAdoptedAtOnce) {
  auto window = WindowWithTone();
  EXPECT_EQ(Block(*window), kTwoOutputs);
  window->Effect().SetProgramNr(1);
  EXPECT_EQ(Block(*window), kSixOutputs);
  window->Effect().SetProgramNr(2);
  EXPECT_EQ(Block(*window), kOneOutput);
  window->Effect().SetProgramNr(1);
  EXPECT_EQ(Block(*window), kSixOutputs);
  EXPECT_EQ(Routing(*window), kIdentity);
}

TEST_F(HostWindow, TheTimerGivesTheEffectItsEditorIdleCalls) {
  TEffectProbe probe("router");
  StoreEffect("router");
  auto window = MakeWindow();
  EXPECT_TRUE(window->Effect().EditVisible());
  probe.Clear();
  window->TimerTimer(nullptr);
  const std::vector<int32_t> requests = probe.Requests();
  EXPECT_NE(std::find(requests.begin(), requests.end(), effEditIdle), requests.end());
}

}  // namespace
