// A helper that dies or stops answering: the audio thread keeps its pace with silence, the
// fault is recorded once, the helper comes back with the effect's last known state; three
// quick failures in a row turn the effect off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fault_log.h"
#include "platform/interprocess.h"
#include "platform/system.h"
#include "tools/effects/hostile_effect.h"
#include "vst_bridge/effect_proxy.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

using vst_bridge::TBridgeState;

struct TPlayed {
  int blocks = 0;
  int silent = 0;
  double longest_ms = 0.0;
  float last_peak = 0.0f;
};

// Blocks of 256 frames at 44.1 kHz, at about their pace, with 0.5 on every input, until
// `done` (given what was played) says so or `timeout_ms` has passed.
template <typename Done>
TPlayed Play(TVstPlugIn& item, Done done, uint32_t timeout_ms) {
  TPlayed played;
  const size_t ins = static_cast<size_t>(std::max(item.AdoptedInputs(), 1));
  const size_t outs = static_cast<size_t>(std::max(item.AdoptedOutputs(), 1));
  TSingleChannelArrays in(ins, 256), out(outs, 256);
  for (size_t c = 0; c < ins; ++c) std::fill(in.Data()[c], in.Data()[c] + 256, 0.5f);
  const uint32_t start = platform::TickCount();
  while (!done(played) && platform::TickCount() - start < timeout_ms) {
    const int64_t before = platform::PerformanceCounter();
    item.ProcessReplacing(in, out, 256);
    const double ms = 1000.0 * static_cast<double>(platform::PerformanceCounter() - before) /
                      static_cast<double>(platform::PerformanceFrequency());
    played.longest_ms = std::max(played.longest_ms, ms);
    played.last_peak = 0.0f;
    for (size_t c = 0; c < outs; ++c)
      for (int i = 0; i < 256; ++i)
        played.last_peak = std::max(played.last_peak, std::abs(out.Data()[c][i]));
    played.silent += played.last_peak == 0.0f;
    ++played.blocks;
    platform::SleepMilliseconds(4);
  }
  return played;
}

// The first block after a pause may come too early for the helper that sleeps.
bool Sounding(const TPlayed& played) {
  return played.last_peak > 0.0f;
}

class BridgeFailures : public ::testing::Test {
 protected:
  void SetUp() override { platform::ResetFaultLog(); }
  void TearDown() override { SetEnvironment("PARTILOOM_HOSTILE", "0 0"); }

  TVstPlugIn& Open(const std::string& path, const vst_bridge::TBridgeTimings& timings = {}) {
    TVstPlugIn* item = host_.VstPlugIns().Add();
    item->BridgeHelper = vst_bridge::HelperBesideModule(vst_bridge::THelperWidth::SameAsPlugIn);
    item->BridgeTimings = timings;
    item->SetDLLFileName(path);
    item->SetActive(true);
    item->SetSampleRate(44100);
    item->SetBlockSize(256);
    item->MainsChanged(true);
    return *item;
  }
  // The hostile effect without hostility, for a seed that gives it no chunks: its state is
  // its parameters.
  TVstPlugIn& OpenPlainHostile() {
    for (int seed = 0;; ++seed) {
      SetEnvironment("PARTILOOM_HOSTILE", std::to_string(seed) + " 0");
      TVstPlugIn& item = Open(EffectPath("hostile"));
      if (!item.EffectOptions().Contains(effFlagsProgramChunks)) return item;
      host_.VstPlugIns().Clear();
    }
  }
  uint32_t Faults(TVstPlugIn& item, const char* call) {
    return platform::FaultCount(platform::FaultKind::EffectFault, item.FaultSource(), call);
  }
  TVstHost host_;
};

TEST_F(BridgeFailures, AHelperThatDiesComesBackWithTheEffectsStateWithinASecond) {
  TVstPlugIn& item = Open(EffectPath("chunk"));
  std::vector<uint8_t> state(5000);
  for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<uint8_t>(i % 251);
  item.SetChunk(state.data(), static_cast<VstInt32>(state.size()), true);
  vst_bridge::TEffectProxy& bridge = *item.Bridge();
  const uint32_t first_helper = bridge.HelperId();
  EXPECT_GT(Play(item, Sounding, 2000).last_peak, 0.0f);

  const uint32_t killed_at = platform::TickCount();
  ASSERT_TRUE(platform::KillProcess(first_helper));
  const TPlayed played = Play(
      item,
      [&](const TPlayed&) {
        return bridge.Restarts() == 1 && bridge.State() == TBridgeState::Running;
      },
      5000);
  const uint32_t recovered_ms = platform::TickCount() - killed_at;
  ASSERT_EQ(bridge.State(), TBridgeState::Running);
  EXPECT_LT(recovered_ms, 1000u);
  EXPECT_NE(bridge.HelperId(), first_helper);
  EXPECT_GT(played.silent, 0);
  EXPECT_LT(played.longest_ms, 100.0);
  EXPECT_EQ(item.GetChunk(true), state);
  EXPECT_GT(Play(item, Sounding, 2000).last_peak, 0.0f);
  EXPECT_EQ(Faults(item, "helper (the process ended)"), 1u);
  std::printf("helper back after %u ms\n", static_cast<unsigned>(recovered_ms));
}

TEST_F(BridgeFailures, AProcessCallThatHangsOrCrashesGivesSilenceThenTheEffectAgain) {
  for (const int32_t request : {kHostileHangRequest, kHostileCrashRequest}) {
    SCOPED_TRACE(request);
    platform::ResetFaultLog();
    TVstPlugIn& item = OpenPlainHostile();
    vst_bridge::TEffectProxy& bridge = *item.Bridge();
    // What the effect holds is taken by the cache; what the host sets later is kept too.
    item.SetParameter(3, 0.7f);
    bridge.CacheState();
    item.SetParameter(5, 0.1f);
    EXPECT_FLOAT_EQ(Play(item, Sounding, 2000).last_peak, 0.5f);

    item.VstDispatch(50, request);
    const TPlayed played = Play(
        item,
        [&](const TPlayed&) {
          return bridge.Restarts() == 1 && bridge.State() == TBridgeState::Running;
        },
        5000);
    ASSERT_EQ(bridge.State(), TBridgeState::Running);
    EXPECT_GT(played.silent, 0);
    // No block waits for the judgement of a hang (300 ms), let alone for the helper's end;
    // the bound leaves room for a loaded machine's pauses.
    EXPECT_LT(played.longest_ms, 100.0);
    EXPECT_EQ(
        Faults(item, "processReplacing (no answer)") + Faults(item, "helper (the process ended)"),
        1u);
    EXPECT_FLOAT_EQ(Play(item, Sounding, 2000).last_peak, 0.5f);
    EXPECT_FLOAT_EQ(item.GetParameter(3), 0.7f);
    EXPECT_FLOAT_EQ(item.GetParameter(5), 0.1f);
    host_.VstPlugIns().Clear();
  }
}

TEST_F(BridgeFailures, AReplyTooLateForItsBlockIsNoHangWhenNoBlockFollows) {
  // Blocks that wait for nothing: the first one after a pause misses its reply for sure.
  vst_bridge::TBridgeTimings impatient;
  impatient.audio_spin_share = 0.0;
  impatient.audio_min_wait_us = 0;
  TVstPlugIn& item = Open(EffectPath("router"), impatient);
  vst_bridge::TEffectProxy& bridge = *item.Bridge();
  platform::SleepMilliseconds(300);  // the helper's audio thread sleeps
  const TPlayed one = Play(
      item, [](const TPlayed& played) { return played.blocks == 1; }, 1000);
  EXPECT_EQ(one.silent, 1);
  // Playing stops; the late reply is taken all the same, long before a hang is judged.
  platform::SleepMilliseconds(600);
  EXPECT_EQ(bridge.State(), TBridgeState::Running);
  EXPECT_EQ(bridge.Restarts(), 0u);
  EXPECT_EQ(Faults(item, "processReplacing (no answer)"), 0u);
}

TEST_F(BridgeFailures, ThreeQuickFailuresInARowTurnTheEffectOff) {
  SetEnvironment("PARTILOOM_HOSTILE", "0 " + std::to_string(kHostileCrashInProcess));
  TVstPlugIn& item = Open(EffectPath("hostile"));
  vst_bridge::TEffectProxy& bridge = *item.Bridge();
  const TPlayed played = Play(
      item, [&](const TPlayed&) { return bridge.State() == TBridgeState::Failed; }, 10000);
  ASSERT_EQ(bridge.State(), TBridgeState::Failed);
  EXPECT_EQ(bridge.Restarts(), 2u);
  EXPECT_EQ(played.silent, played.blocks);
  EXPECT_EQ(Faults(item, "helper (failed three times in a row: the effect is off)"), 1u);
  // Off: silence at once, requests answered 0, nothing waited for.
  const TPlayed after = Play(
      item, [](const TPlayed&) { return false; }, 50);
  EXPECT_EQ(after.silent, after.blocks);
  EXPECT_LT(after.longest_ms, 1.0);
  EXPECT_EQ(item.GetParameter(0), 0.0f);
  EXPECT_EQ(item.GetEffectName(), "");
  // Nor is a preset of these answers saved over the user's settings, in either form.
  std::stringstream preset;
  EXPECT_THROW(item.SavePreset(preset), EVstNoState);
  item.Effect()->flags ^= 1 << effFlagsProgramChunks;
  EXPECT_THROW(item.SavePreset(preset), EVstNoState);
  EXPECT_TRUE(preset.str().empty());
}

}  // namespace
