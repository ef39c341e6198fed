// The host against the hostile test effect: for every behaviour alone and all of them
// together, a number of seeds, each a whole life of one effect as the host window leads it
// (open, texts, parameters, presets, chunks, idle calls, a copy of the item, close, unload)
// with an audio thread processing meanwhile. The host must come through every seed.
// PARTILOOM_HOSTILE_SEEDS sets how many seeds (PARTILOOM_HOSTILE_FIRST_SEED the first).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "platform/dynamic_library.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "tools/effects/hostile_effect.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

uint32_t EnvironmentNumber(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? uint32_t(std::strtoul(text, nullptr, 10)) : fallback;
}

std::optional<std::string> ChooseOrCancel(const platform::FileDialogRequest& request) {
  if (request.title.size() % 2 == 0) return std::nullopt;
  return std::string("C:\\chosen.fxp");
}
void Swallow(const std::string&) {}

// Channel arrays for an effect's claimed count: the count when it is modest, else two,
// which the host then refuses to process with.
size_t Channels(VstInt32 claimed) {
  return claimed >= 0 && claimed <= 64 ? size_t(claimed) : 2;
}

// True when the effect opened.
bool LiveOneEffect(const std::string& path, uint32_t seed) {
  TVstHost host;
  host.ManageIdleAutomaticly = seed % 2 == 0;
  host.VendorString = "Partiloom";
  TVstPlugIn* item = host.VstPlugIns().Add();
  item->SetDLLFileName(path);
  try {
    item->SetActive(true);
  } catch (const EVstError&) {
    return false;
  }
  if (!item->Active()) return false;

  std::atomic<bool> stop{false};
  const size_t inputs = Channels(item->numInputs()), outputs = Channels(item->numOutputs());
  std::thread audio([&] {
    TSingleChannelArrays in(inputs, 64), out(outputs, 64);
    TDoubleChannelArrays din(inputs, 64), dout(outputs, 64);
    for (int block = 0; block < 200 && !stop.load(); ++block) {
      item->ProcessReplacing(in, out, 64);
      if (block % 16 == 0) item->ProcessDoubleReplacing(din, dout, 64);
      if (block % 32 == 0) item->Process(in, out, 64);
    }
  });

  const VstInt32 params = std::min<VstInt32>(item->WalkableParams(), 40);
  for (VstInt32 i = -1; i <= params; ++i) {
    EXPECT_LE(item->GetParamName(i).size(), 255u);
    EXPECT_LE(item->GetParamDisplay(i).size(), 255u);
    EXPECT_LE(item->GetParamLabel(i).size(), 255u);
    item->SetParameter(i, item->GetParameter(i));
  }
  item->WalkablePrograms();
  EXPECT_LE(item->ProgramName().size(), 255u);
  EXPECT_LE(item->VendorString().size(), 255u);
  EXPECT_LE(item->ProductString().size(), 255u);
  EXPECT_LE(item->GetEffectName().size(), 255u);
  item->SetProgramNr(item->ProgramNr());
  item->SetProgramName(std::string(300, 'p'));
  item->CanDo("bypass");
  for (int i = 0; i < 20; ++i) {
    item->Idle();
    item->EditIdle();
  }
  std::stringstream preset;
  try {
    item->SavePreset(preset);
    item->LoadPreset(preset);
  } catch (const EVstError&) {
  }
  const std::vector<uint8_t> program = item->GetChunk(true);
  if (!program.empty()) item->SetChunk(program.data(), VstInt32(program.size()), true);
  stop = true;
  audio.join();

  if (seed % 5 == 0) {
    TVstPlugIn* copy = host.VstPlugIns().Add();
    try {
      item->AssignTo(copy);
    } catch (const EVstError&) {
    }
    copy->Unload();
  }
  item->SetActive(false);
  item->Unload();
  return true;
}

struct THostileCase {
  const char* name;
  uint32_t behaviours;
};

void PrintTo(const THostileCase& c, std::ostream* out) {
  *out << c.name;
}

class HostileEffect : public ::testing::TestWithParam<THostileCase> {
 protected:
  void SetUp() override {
    platform::SetFileDialogHandler(&ChooseOrCancel);
    platform::SetMessageBoxHandler(&Swallow);
  }
  void TearDown() override {
    FileSelectorDialog.reset();
    HostWindowList.clear();
    platform::SetFileDialogHandler(nullptr);
    platform::SetMessageBoxHandler(nullptr);
  }
};

TEST_P(HostileEffect, TheHostSurvivesEverySeed) {
  const std::string path = EffectPath("hostile");
  platform::LibraryLoadResult loaded = platform::LoadLibraryFile(path);
  ASSERT_NE(loaded.handle, nullptr) << path << ": " << loaded.error_text;
  platform::DynamicLibrary library(loaded.handle);
  auto configure = reinterpret_cast<TestEffectHostileProc>(library.Export("TestEffectHostile"));
  ASSERT_NE(configure, nullptr);
  const uint32_t first = EnvironmentNumber("PARTILOOM_HOSTILE_FIRST_SEED", 1);
  const uint32_t seeds = EnvironmentNumber("PARTILOOM_HOSTILE_SEEDS", 50);
  uint32_t opened = 0;
  for (uint32_t seed = first; seed < first + seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    configure(seed, GetParam().behaviours);
    opened += LiveOneEffect(path, seed) ? 1 : 0;
    if (HasFatalFailure()) return;
  }
  // The effect opens whatever it answers: every seed is a whole life.
  EXPECT_EQ(opened, seeds);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, HostileEffect,
    ::testing::Values(THostileCase{"Counts", kHostileCounts}, THostileCase{"Sizes", kHostileSizes},
                      THostileCase{"Texts", kHostileTexts},
                      THostileCase{"Callbacks", kHostileCallbacks},
                      THostileCase{"Threads", kHostileThreads},
                      THostileCase{"Storms", kHostileStorms | kHostileCallbacks},
                      THostileCase{"Everything", kHostileEverything}),
    [](const ::testing::TestParamInfo<THostileCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
