// The tool bar's effect button: the library dialog of the first start, then the chosen effect
// in place of the one that played, with the routing as it was; a library that does not load
// leaves the effect before, with its state.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "vst_host/tests/test_support.h"

namespace {

class EffectChoice : public ModuleTest {
 protected:
  // A window playing a steady tone (0.25 left, -0.125 right) through `kind` into a driver of
  // eight channels, effect output k routed to channel k - 1.
  std::unique_ptr<TFmASIOConfig> PlayingWindow(const std::string& kind) {
    StoreEffect(kind);
    return WindowPlayingSteadyTone(InstallDriver(FloatDriver(8)));
  }

  // The level of each channel in the next driver block, which must hold for the whole block.
  std::vector<float> Block(TFmASIOConfig& window) { return SteadyBlockLevels(window, out_); }

  void Choose(TFmASIOConfig& window, const std::optional<std::string>& answer) {
    DialogAnswer() = answer;
    platform::ClickWindow(window.BtEffect->Handle());
  }

  std::string StoredEffect() const {
    return Key()->ReadString(settings::kVstPlugin).value_or("<none>");
  }

  std::vector<int32_t> Routing(const TFmASIOConfig& window) const {
    std::vector<int32_t> routing;
    for (int k = 1; k <= 8; ++k) routing.push_back(window.OutputRouting(k));
    return routing;
  }

  // Output k is k times input (k - 1) mod 2: the router has eight outputs, "io" two.
  const std::vector<float> kRouter{0.25f, -0.25f, 0.75f, -0.5f, 1.25f, -0.75f, 1.75f, -1.0f};
  const std::vector<float> kTwoOutputs{0.25f, -0.25f, 0, 0, 0, 0, 0, 0};
  TSingleChannelArrays out_{8, 256};
};

TEST_F(EffectChoice, TheButtonStandsOnTheToolBarBetweenRoutingAndTheCreditLine) {
  StoreEffect("router");
  auto window = MakeWindow();
  const platform::Bounds button = window->BtEffect->GetBounds();
  EXPECT_EQ(platform::WindowCaption(window->BtEffect->Handle()), "Choose Effect...");
  const platform::Bounds routing = window->BtRouting->GetBounds();
  const platform::Bounds credit = window->Label1->GetBounds();
  EXPECT_GE(button.left, routing.left + routing.width);
  EXPECT_LE(button.left + button.width, credit.left);
  EXPECT_EQ(button.top, routing.top);
  EXPECT_EQ(button.height, routing.height);
}

// While the stream plays: the state of the effect that goes is saved, the chosen one plays
// with the routing as it was, shows its editor and is stored. The same effect chosen again
// takes its state back from the preset file; another has no use for that preset, and that is
// no failure worth a message.
TEST_F(EffectChoice, TheChosenEffectPlaysWithTheRoutingAndIsStored) {
  auto window = PlayingWindow("router");
  window->Effect().SetParameter(1, 0.75f);
  EXPECT_EQ(Block(*window), kRouter);
  const std::vector<int32_t> routing = Routing(*window);

  Choose(*window, EffectPath("router"));
  EXPECT_TRUE(Messages().empty()) << Messages().front();
  EXPECT_EQ(window->Effect().GetParameter(1), 0.75f);
  EXPECT_EQ(Block(*window), kRouter);

  Choose(*window, EffectPath("io"));
  EXPECT_EQ(DialogCount(), 2);
  EXPECT_TRUE(Messages().empty()) << Messages().front();
  EXPECT_EQ(StoredEffect(), EffectPath("io"));
  ASSERT_TRUE(window->Effect().Active());
  EXPECT_EQ(window->Effect().DLLFileName(), EffectPath("io"));
  EXPECT_EQ(window->Effect().numOutputs(), 2);
  EXPECT_TRUE(window->Effect().EditVisible());
  EXPECT_TRUE(window->ASIOHost.GetActive());
  EXPECT_EQ(Routing(*window), routing);
  // The outputs the new effect does not have fall silent.
  EXPECT_EQ(Block(*window), kTwoOutputs);
  // The preset file holds the router's state: its identifier follows the file's header.
  std::ifstream preset(settings::kPresetFileName, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(preset), {}};
  ASSERT_GE(bytes.size(), 20u);
  EXPECT_EQ(bytes.substr(16, 4), "PlRt");
}

// A library that is no effect is reported as at the first start; the effect before plays on
// with its state, and the stored choice stays.
TEST_F(EffectChoice, ALibraryThatDoesNotLoadLeavesTheEffectBeforeWithItsState) {
  auto window = PlayingWindow("router");
  window->Effect().SetParameter(1, 0.75f);
  const std::vector<int32_t> routing = Routing(*window);
  struct Case {
    std::string library;
    const char* message;
  };
  const Case cases[] = {
      {EffectPath("no_entry"), "This is not a valid Vst Plugin!"},
      {EffectPath("null_entry"), "This is not a valid Vst Plugin!"},
      {EffectPath("bad_magic"), "There is no magic in it... failed!"},
      {(Directory() / "missing.dll").string(), "This is not a valid Vst Plugin!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    Messages().clear();
    Choose(*window, c.library);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0], c.message);
    EXPECT_EQ(StoredEffect(), EffectPath("router"));
    ASSERT_TRUE(window->Effect().Active());
    EXPECT_EQ(window->Effect().DLLFileName(), EffectPath("router"));
    EXPECT_EQ(window->Effect().GetParameter(1), 0.75f);
    EXPECT_TRUE(window->Effect().EditVisible());
    EXPECT_EQ(Routing(*window), routing);
    EXPECT_EQ(Block(*window), kRouter);
  }
}

// An audio block that does not end (an effect stuck in its process call) keeps the effect
// from being unloaded under it: the change is refused and the user told.
TEST_F(EffectChoice, AnEffectThatDoesNotFinishItsBlockIsNotChanged) {
  auto window = PlayingWindow("router");
  {
    const TVstPlugIn::TAudioBlock stuck(window->Effect());
    Choose(*window, EffectPath("io"));
  }
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0],
            "The effect did not finish its audio block in time; it was not changed. Try again");
  EXPECT_EQ(window->Effect().DLLFileName(), EffectPath("router"));
  EXPECT_EQ(StoredEffect(), EffectPath("router"));
  EXPECT_EQ(Block(*window), kRouter);
}

// Cancelling touches nothing, not even the preset file; a window whose first start was
// cancelled gets its effect from the button.
TEST_F(EffectChoice, CancellingChangesNothingAndAWindowWithoutEffectGetsOne) {
  auto window = MakeWindow();
  ASSERT_EQ(Messages().size(), 1u);  // the first start's dialog was cancelled
  Messages().clear();
  Choose(*window, std::nullopt);
  EXPECT_EQ(DialogCount(), 2);
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(window->Effect().Active());
  EXPECT_FALSE(Key()->ValueExists(settings::kVstPlugin));

  Choose(*window, EffectPath("params"));
  EXPECT_TRUE(Messages().empty()) << Messages().front();
  ASSERT_TRUE(window->Effect().Active());
  EXPECT_EQ(StoredEffect(), EffectPath("params"));
  window->Effect().SetParameter(1, 0.75f);
  AEffect* const record = window->Effect().Effect();

  Choose(*window, std::nullopt);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(window->Effect().Effect(), record) << "the effect was not reloaded";
  EXPECT_EQ(window->Effect().GetParameter(1), 0.75f);
  EXPECT_EQ(StoredEffect(), EffectPath("params"));
  EXPECT_FALSE(std::filesystem::exists(settings::kPresetFileName));
}

}  // namespace
