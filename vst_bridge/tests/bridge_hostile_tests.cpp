// The hostile test effect in the helper, every hostility at once, seed after seed: a whole
// life of the effect as the host leads it, with an audio thread processing meanwhile. The
// effect stays sound in its own memory, so the helper must survive what it answers as the
// plug-in does: a helper that dies here is a fault of the bridge.
// PARTILOOM_HOSTILE_SEEDS sets how many seeds (PARTILOOM_HOSTILE_FIRST_SEED the first).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "platform/fault_log.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "tools/effects/hostile_effect.h"
#include "vst_bridge/effect_proxy.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

uint32_t EnvironmentNumber(const char* name, uint32_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? uint32_t(std::strtoul(text, nullptr, 10)) : fallback;
}

std::optional<std::string> Cancel(const platform::FileDialogRequest&) {
  return std::nullopt;
}
void Swallow(const std::string&) {}

// Under Wine a seed's life takes seconds (a process start, callbacks by the thousand).
#if defined(_WIN32)
constexpr uint32_t kDefaultSeeds = 3;
#else
constexpr uint32_t kDefaultSeeds = 6;
#endif

size_t Channels(VstInt32 claimed) {
  return claimed >= 0 && claimed <= 64 ? size_t(claimed) : 2;
}

void LiveOneEffect(uint32_t seed) {
  TVstHost host;
  host.ManageIdleAutomaticly = seed % 2 == 0;
  TVstPlugIn* item = host.VstPlugIns().Add();
  item->BridgeHelper = vst_bridge::HelperBesideModule(vst_bridge::THelperWidth::SameAsPlugIn);
  item->SetDLLFileName(EffectPath("hostile"));
  try {
    item->SetActive(true);
  } catch (const EVstError&) {
  }
  ASSERT_TRUE(item->Active());
  vst_bridge::TEffectProxy& bridge = *item->Bridge();

  std::atomic<bool> stop{false};
  const size_t inputs = Channels(item->numInputs()), outputs = Channels(item->numOutputs());
  std::thread audio([&] {
    TSingleChannelArrays in(inputs, 64), out(outputs, 64);
    TDoubleChannelArrays din(inputs, 64), dout(outputs, 64);
    for (int block = 0; block < 100 && !stop.load(); ++block) {
      item->ProcessReplacing(in, out, 64);
      if (block % 16 == 0) item->ProcessDoubleReplacing(din, dout, 64);
      if (block % 32 == 0) item->Process(in, out, 64);
    }
  });
  const VstInt32 params = std::min<VstInt32>(item->WalkableParams(), 20);
  for (VstInt32 i = -1; i <= params; ++i) {
    EXPECT_LE(item->GetParamName(i).size(), 255u);
    EXPECT_LE(item->GetParamDisplay(i).size(), 255u);
    item->SetParameter(i, item->GetParameter(i));
  }
  EXPECT_LE(item->GetEffectName().size(), 255u);
  EXPECT_LE(item->VendorString().size(), 255u);
  item->SetProgramNr(item->ProgramNr());
  item->SetProgramName(std::string(300, 'p'));
  for (int i = 0; i < 10; ++i) item->Idle();
  std::stringstream preset;
  try {
    item->SavePreset(preset);
    item->LoadPreset(preset);
  } catch (const EVstError&) {
  }
  const std::vector<uint8_t> program = item->GetChunk(true);
  if (!program.empty()) item->SetChunk(program.data(), VstInt32(program.size()), true);
  bridge.CacheState();
  stop = true;
  audio.join();
  // A hang may be judged on a machine loaded beyond reason; a helper that ended is a fault.
  EXPECT_NE(bridge.State(), vst_bridge::TBridgeState::Failed);
  EXPECT_EQ(platform::FaultCount(platform::FaultKind::EffectFault, item->FaultSource(),
                                 "helper (the process ended)"),
            0u);
  item->SetActive(false);
  item->Unload();
}

TEST(BridgedHostileEffect, TheHelperSurvivesEverySeed) {
  platform::ResetFaultLog();
  platform::SetFileDialogHandler(&Cancel);
  platform::SetMessageBoxHandler(&Swallow);
  const uint32_t first = EnvironmentNumber("PARTILOOM_HOSTILE_FIRST_SEED", 1);
  const uint32_t seeds = EnvironmentNumber("PARTILOOM_HOSTILE_SEEDS", kDefaultSeeds);
  for (uint32_t seed = first; seed < first + seeds && !HasFatalFailure(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    SetEnvironment("PARTILOOM_HOSTILE",
                   std::to_string(seed) + " " + std::to_string(kHostileEverything));
    LiveOneEffect(seed);
  }
  SetEnvironment("PARTILOOM_HOSTILE", "0 0");
  FileSelectorDialog.reset();
  HostWindowList.clear();
  platform::SetFileDialogHandler(nullptr);
  platform::SetMessageBoxHandler(nullptr);
}

}  // namespace
