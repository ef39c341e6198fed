// The host window's meters and status line: known signals through the router effect and the
// test driver, the figures after a driver change and an underrun, and the strip's place.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"
#include "vst_bridge/effect_proxy.h"
#include "vst_host/tests/test_support.h"

namespace {

using asio_test::DriverConfig;

// Effect output k on driver channel k - 1.
void StoreIdentityRouting(const std::string& driver, std::unique_ptr<platform::RegistryKey> key) {
  for (int k = 1; k <= 8; ++k)
    key->WriteString(settings::RoutingValueName(driver, k),
                     std::to_string(k - 1) + " - Out " + std::to_string(k));
}

class Meters : public ModuleTest {};

// The router effect plays input (k - 1) mod 2 times k on output k: output 1 carries the left
// channel as it is, output 2 the right one doubled.
TEST_F(Meters, KnownSignalsReadTheirLevelsAndFullScaleLightsTheClipMarker) {
  StoreEffect("router");
  const std::string driver = InstallDriver(FloatDriver(8));
  StoreIdentityRouting(driver, Key());
  auto window = MakeWindow();
  SelectDriver(*window, driver);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  window->TimerTimer(nullptr);
  const std::vector<TMeterChannel>& bars = window->MeterStrip().Channels();
  ASSERT_EQ(bars.size(), 8u);
  EXPECT_EQ(bars[0].Label, "0 - Out 1 \u2190 1");
  EXPECT_EQ(window->Meters->MeterBars().size(), 8u);

  // The ring's first lap is silence: every bar at the bottom of the scale.
  ASSERT_EQ(Driver().RunSwitches(16), 16);
  window->TimerTimer(nullptr);
  for (const TLevelMeter& reading : window->MeterStrip().Readings()) {
    EXPECT_EQ(reading.LevelDb(), TLevelMeter::kFloorDb);
    EXPECT_FALSE(reading.Clipped());
  }

  // Left: a 441 Hz sine at -6 dBFS (a peak on every 100th sample); right: a square at half
  // scale, full scale once doubled.
  std::vector<int16_t> frames;
  const auto amplitude = static_cast<int16_t>(std::lround(std::pow(10.0, -6.0 / 20.0) * 32768.0));
  for (int i = 0; i < 4096; ++i) {
    frames.push_back(
        static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * i / 100.0))));
    frames.push_back(static_cast<int16_t>((i / 50) % 2 ? -16384 : 16384));
  }
  const std::vector<char> pcm = Pcm(frames);
  ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  ASSERT_EQ(Driver().RunSwitches(48), 48);
  window->TimerTimer(nullptr);
  const std::vector<TLevelMeter>& readings = window->MeterStrip().Readings();
  EXPECT_NEAR(readings[0].LevelDb(), -6.0f, 0.1f);
  EXPECT_NEAR(readings[0].HoldDb(), -6.0f, 0.1f);
  EXPECT_FALSE(readings[0].Clipped());
  EXPECT_EQ(readings[1].LevelDb(), 0.0f);
  EXPECT_TRUE(readings[1].Clipped());
  const std::vector<platform::MeterBar> drawn = window->Meters->MeterBars();
  EXPECT_NEAR(drawn[0].level, 0.9f, 0.002f);
  EXPECT_TRUE(drawn[1].clipped);

  // A click on the marker puts it out; nothing at full scale follows, so it stays out.
  platform::ClickMeterBar(window->Meters->Handle(), 1);
  EXPECT_FALSE(window->MeterStrip().Readings()[1].Clipped());
  EXPECT_FALSE(window->Meters->MeterBars()[1].clipped);
  EXPECT_TRUE(window->Meters->MeterBars()[2].clipped);
  ASSERT_EQ(Driver().RunSwitches(8), 8);
  window->TimerTimer(nullptr);
  EXPECT_FALSE(window->MeterStrip().Readings()[1].Clipped());
}

TEST_F(Meters, BarsFollowTheRoutingAndTheDriver) {
  StoreEffect("router");
  const std::string eight = InstallDriver(FloatDriver(8));
  const std::string two = InstallDriver(FloatDriver(2));
  StoreIdentityRouting(eight, Key());
  auto window = MakeWindow();
  SelectDriver(*window, eight);
  window->TimerTimer(nullptr);
  auto labels = [&] {
    std::vector<std::string> shown;
    for (const platform::MeterBar& bar : window->Meters->MeterBars()) shown.push_back(bar.label);
    return shown;
  };
  ASSERT_EQ(labels().size(), 8u);
  EXPECT_EQ(labels().front(), "0 - Out 1 \u2190 1");
  EXPECT_EQ(labels().back(), "7 - Out 8 \u2190 8");
  // Outputs 1 and 8 change places; output 2 joins output 8 on the first channel.
  Key()->WriteString(settings::RoutingValueName(eight, 1), "7 - Out 8");
  Key()->WriteString(settings::RoutingValueName(eight, 2), "0 - Out 1");
  Key()->WriteString(settings::RoutingValueName(eight, 8), "0 - Out 1");
  window->LoadRouting(*Key());
  window->TimerTimer(nullptr);
  ASSERT_EQ(labels().size(), 7u);
  EXPECT_EQ(labels().front(), "0 - Out 1 \u2190 8");
  EXPECT_EQ(labels()[1], "2 - Out 3 \u2190 3");
  EXPECT_EQ(labels().back(), "7 - Out 8 \u2190 1");
  // A driver without stored routing: outputs alternate on its two channels.
  SelectDriver(*window, two);
  window->TimerTimer(nullptr);
  EXPECT_EQ(labels(), (std::vector<std::string>{"0 - Out 1 \u2190 7", "1 - Out 2 \u2190 8"}));
}

TEST_F(Meters, TheStatusLineFollowsTheDriverAndCountsUnderrunsAndFaultsPerStream) {
  StoreEffect("router");
  const std::string first = InstallDriver(FloatDriver(2));
  DriverConfig only_48k = FloatDriver(2, 128, {48000.0});
  only_48k.output_latency = 96;
  const std::string second = InstallDriver(only_48k);
  auto window = MakeWindow();
  window->TimerTimer(nullptr);
  EXPECT_EQ(window->StatusText(), "No driver \u00b7 underruns 0 \u00b7 faults 0");
  SelectDriver(*window, first);
  window->TimerTimer(nullptr);
  EXPECT_EQ(window->StatusText(), first +
                                      " \u00b7 44100 Hz \u00b7 block 256 frames (5.8 ms) \u00b7 "
                                      "output latency 11.6 ms \u00b7 underruns 0 \u00b7 faults 0");
  EXPECT_EQ(platform::WindowCaption(window->Meters->Handle()), window->StatusText());

  SelectDriver(*window, second);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  // The ring's silence lasts 8192 frames, 64 blocks: the player writes nothing, and each
  // block after that is short.
  ASSERT_EQ(Driver(1).RunSwitches(64 + 5), 64 + 5);
  const platform::FaultSourceId source = platform::RegisterFaultSource("meter test");
  platform::RecordFault(platform::FaultKind::RefusedAnswer, source, "status line");
  window->TimerTimer(nullptr);
  EXPECT_EQ(window->StatusText(), second +
                                      " \u00b7 44100 \u2192 48000 Hz \u00b7 block 128 frames "
                                      "(2.7 ms) \u00b7 output latency 2.0 ms \u00b7 underruns 5 "
                                      "\u00b7 faults 1");
  // A new stream starts both counts again.
  ASSERT_GT(window->Open(48000, 2, 16), 0);
  window->TimerTimer(nullptr);
  EXPECT_EQ(window->StatusText(), second +
                                      " \u00b7 48000 Hz \u00b7 block 128 frames (2.7 ms) \u00b7 "
                                      "output latency 2.0 ms \u00b7 underruns 0 \u00b7 faults 0");
  window->Close();
}

// The parameter list of an effect without editor sizes the panel to its rows, and a size
// request of such an effect sizes the panel: the strip follows, and the window with it.
TEST_F(Meters, TheStripSitsBelowThePanelWhateverSizeThePanelTakes) {
  StoreEffect("knobs3");
  auto window = MakeWindow();
  platform::NativeWindow form = window->Form->Handle();
  const platform::Bounds listed = platform::WindowBounds(window->Panel->Handle());
  ASSERT_NE(listed.height, 683);
  const platform::Bounds strip = platform::WindowBounds(window->Meters->Handle());
  EXPECT_EQ(strip.left, 0);
  EXPECT_EQ(strip.top, 25 + listed.height);
  EXPECT_EQ(strip.width, 811);
  EXPECT_EQ(platform::WindowClientArea(form).height, 25 + listed.height + strip.height);

  EXPECT_EQ(AudioMasterCallback(window->Effect().Effect(), audioMasterSizeWindow, 640, 420, nullptr,
                                0.0f),
            1);
  const platform::Bounds panel = platform::WindowBounds(window->Panel->Handle());
  EXPECT_EQ(panel.top, 25);
  EXPECT_EQ(panel.height, 420);
  EXPECT_EQ(platform::WindowBounds(window->Meters->Handle()).top, 25 + 420);
  EXPECT_EQ(platform::WindowBounds(window->Meters->Handle()).height, strip.height);
  EXPECT_EQ(platform::WindowClientArea(form).height, 25 + 420 + strip.height);
  // The "Own process" check box goes along, at the status line's right end.
  const platform::Bounds own = platform::WindowBounds(window->BtOwnProcess->Handle());
  EXPECT_GT(own.top, 25 + 420 + strip.height / 2);
  EXPECT_LE(own.top + own.height, 25 + 420 + strip.height);
  EXPECT_LE(own.left + own.width, 811);
  EXPECT_GT(own.left, 811 / 2);
}

#if defined(_WIN32)
// An editor in the helper asks for a size from its window: the window's timer gives it to
// the panel, the window grows around the panel and the strip follows below it.
TEST_F(Meters, TheWindowGrowsAroundTheSizeTheHelpersEditorAsksFor) {
  StoreEffect("painter");
  ASSERT_TRUE(Key()->WriteInteger(settings::kOwnProcess, 1));
  _putenv_s("PARTILOOM_PAINTER_GROW", "900x400");
  auto window = MakeWindow();
  _putenv_s("PARTILOOM_PAINTER_GROW", "");
  ASSERT_NE(window->Effect().Bridge(), nullptr);
  ASSERT_TRUE(window->Effect().EditVisible());
  for (int i = 0; i < 150 && window->Panel->GetBounds().width != 900; ++i)
    platform::WaitAndPumpMessages(20);
  const platform::Bounds panel = window->Panel->GetBounds();
  EXPECT_EQ(panel.width, 900);
  EXPECT_EQ(panel.height, 400);
  const platform::Bounds strip = platform::WindowBounds(window->Meters->Handle());
  EXPECT_EQ(strip.top, 25 + 400);
  EXPECT_EQ(strip.width, 900);
  const platform::Bounds client = platform::WindowClientArea(window->Form->Handle());
  EXPECT_EQ(client.width, 900);
  EXPECT_EQ(client.height, 25 + 400 + strip.height);
  EXPECT_EQ(window->Effect().Bridge()->Restarts(), 0u);
}
#endif

}  // namespace
