// The built effect library as the product meets it: loaded by the VST host, saved to and
// restored from a preset file, processing through the host.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "crossover/crossover_params.h"
#include "platform/system.h"
#include "vst_host/vst_host.h"

namespace {

using namespace crossover;

std::string LibraryPath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "\\Partiloom.dll";
#else
  return platform::ExecutableDirectory() + "/Partiloom.so";
#endif
}

std::string TempFile(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          (name + std::to_string(platform::TickCount()) + ".fxp"))
      .string();
}

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    item_ = host_.VstPlugIns().Add();
    item_->SetDLLFileName(LibraryPath());
    item_->SetActive(true);
    ASSERT_NE(item_->Effect(), nullptr) << LibraryPath();
    item_->SetSampleRate(48000);
    item_->SetBlockSize(256);
    item_->MainsChanged(true);
  }
  TVstHost host_;
  TVstPlugIn* item_ = nullptr;
};

TEST_F(Library, PresentsTwoInputsEightOutputsAndChunkPrograms) {
  EXPECT_EQ(item_->numInputs(), 2);
  EXPECT_EQ(item_->numOutputs(), 8);
  EXPECT_EQ(item_->numParams(), kParamCount);
  EXPECT_EQ(item_->numPrograms(), kProgramCount);
  EXPECT_EQ(item_->InitialDelay(), 0);
  const TEffFlags flags = item_->EffectOptions();
  EXPECT_TRUE(flags.Contains(effFlagsCanReplacing));
  EXPECT_TRUE(flags.Contains(effFlagsCanDoubleReplacing));
  EXPECT_TRUE(flags.Contains(effFlagsProgramChunks));
#if defined(_WIN32)
  EXPECT_TRUE(flags.Contains(effFlagsHasEditor));
#else
  EXPECT_FALSE(flags.Contains(effFlagsHasEditor));
#endif
  EXPECT_EQ(item_->ProgramName(), "4-way default");
  EXPECT_EQ(item_->GetParamName(kParamFirstFrequency + 1), "Xover 2");
  EXPECT_EQ(item_->GetParamLabel(BandParam(2, kBandDelay)), "ms");
  EXPECT_EQ(item_->GetEffectName(), "Partiloom Crossover");

  // Pin names for hosts that show them; a pin past the last is refused.
  struct Pin {
    char label[64];
    VstInt32 flags, arrangement;
    char short_label[8], reserved[48];
  };
  AEffect* effect = item_->Effect();
  const struct {
    VstInt32 opcode, index;
    const char *label, *short_label;
    VstInt32 flags;
  } pins[] = {{33, 0, "Left", "L", 3},        {33, 1, "Right", "R", 1},
              {34, 0, "Band 1 L", "B1 L", 3}, {34, 5, "Band 3 R", "B3 R", 1},
              {34, 7, "Band 4 R", "B4 R", 1}, {34, 8, nullptr, nullptr, 0},
              {33, 2, nullptr, nullptr, 0},   {34, -1, nullptr, nullptr, 0}};
  for (const auto& p : pins) {
    Pin pin{};
    const VstIntPtr answer = effect->dispatcher(effect, p.opcode, p.index, 0, &pin, 0);
    EXPECT_EQ(answer, p.label ? 1 : 0) << p.opcode << " " << p.index;
    if (!p.label) continue;
    EXPECT_STREQ(pin.label, p.label);
    EXPECT_STREQ(pin.short_label, p.short_label);
    EXPECT_EQ(pin.flags, p.flags);
  }
}

TEST_F(Library, PresetFilesRoundTripTheWholeState) {
  const std::string path = TempFile("partiloom_crossover_");
  item_->SetProgramNr(1);
  item_->SetProgramName("Hall");
  for (int i = 0; i < kParamCount; ++i) item_->SetParameter(i, 0.03f * (i + 2));
  std::vector<float> saved(kParamCount);
  for (int i = 0; i < kParamCount; ++i) saved[i] = item_->GetParameter(i);
  item_->SavePreset(path);

  for (int i = 0; i < kParamCount; ++i) item_->SetParameter(i, 0.9f);
  item_->SetProgramName("Other");
  item_->LoadPreset(path);
  EXPECT_EQ(item_->ProgramName(), "Hall");
  for (int i = 0; i < kParamCount; ++i) EXPECT_EQ(item_->GetParameter(i), saved[i]) << i;

  // A damaged file: the effect refuses the chunk, the parameters stay.
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(100);
  file.put('\x7f');
  file.close();
  for (int i = 0; i < kParamCount; ++i) item_->SetParameter(i, 0.5f);
  item_->LoadPreset(path);
  for (int i = 0; i < kParamCount; ++i) EXPECT_EQ(item_->GetParameter(i), 0.5f) << i;
  std::filesystem::remove(path);
}

TEST_F(Library, ProcessesThroughTheHostInBothPrecisions) {
  const int frames = 4800;
  TSingleChannelArrays in(2, frames), out(8, frames);
  TDoubleChannelArrays in_d(2, frames), out_d(8, frames);
  in[0][0] = in[1][0] = 1.0f;
  in_d[0][0] = in_d[1][0] = 1.0;
  ASSERT_TRUE(item_->ProcessReplacing(in, out, frames));
  item_->MainsChanged(false);
  item_->MainsChanged(true);
  ASSERT_TRUE(item_->ProcessDoubleReplacing(in_d, out_d, frames));
  // The bands' impulse responses sum to an all-pass: its energy is the impulse's.
  for (int channel = 0; channel < 2; ++channel) {
    double energy = 0.0, energy_d = 0.0;
    for (int n = 0; n < frames; ++n) {
      double sum = 0.0, sum_d = 0.0;
      for (int b = 0; b < 4; ++b) {
        sum += out[b * 2 + channel][n];
        sum_d += out_d[b * 2 + channel][n];
      }
      energy += sum * sum;
      energy_d += sum_d * sum_d;
    }
    EXPECT_NEAR(energy, 1.0, 1e-4);
    EXPECT_NEAR(energy_d, 1.0, 1e-4);
  }
}

}  // namespace
