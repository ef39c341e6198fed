// Real third-party effects of the platform, loaded the way the host window loads its effect.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "platform/dynamic_library.h"
#include "platform/system.h"
#include "vst_host/vst_host.h"

namespace {

struct CompatCase {
  const char* name;
  const char* path;
  const char* entry;  // the only entry routine the library exports
  bool chunk_presets;
  int min_outputs;
};

void PrintTo(const CompatCase& effect, std::ostream* out) {
  *out << effect.name;
}

class RealEffects : public ::testing::TestWithParam<CompatCase> {};

void ExpectBlockIsFinite(TVstPlugIn& item) {
  constexpr int kFrames = 512;
  TSingleChannelArrays inputs(static_cast<size_t>(item.numInputs()), kFrames);
  TSingleChannelArrays outputs(static_cast<size_t>(item.numOutputs()), kFrames);
  for (size_t c = 0; c < inputs.ChannelCount(); ++c)
    for (int i = 0; i < kFrames; ++i) inputs[c][i] = 0.5f * std::sin(0.05f * static_cast<float>(i));
  for (int block = 0; block < 4; ++block)
    ASSERT_TRUE(item.ProcessReplacing(inputs, outputs, kFrames));
  for (size_t c = 0; c < outputs.ChannelCount(); ++c)
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(std::isfinite(outputs[c][i])) << c << " " << i;
}

TEST_P(RealEffects, LoadProcessPresetRoundTripAndUnload) {
  const CompatCase& effect = GetParam();
  if (!platform::FileExists(effect.path)) GTEST_SKIP() << effect.path << " is not installed";
  {
    platform::DynamicLibrary library(platform::LoadLibraryFile(effect.path).handle);
    const bool by_main = std::string(effect.entry) == "main";
    EXPECT_EQ(library.Export("main") != nullptr, by_main);
    EXPECT_EQ(library.Export("VSTPluginMain") != nullptr, !by_main);
  }
  TVstHost host;
  TVstPlugIn* item = host.VstPlugIns().Add();
  item->SetDLLFileName(effect.path);
  item->SetActive(true);
  ASSERT_TRUE(item->Active());
  EXPECT_EQ(item->uID().size(), 4u);
  EXPECT_GE(item->numOutputs(), effect.min_outputs);
  EXPECT_GT(item->numParams(), 0);
  EXPECT_FALSE(item->GetEffectName().empty() && item->ProductString().empty());
  EXPECT_FALSE(item->VendorString().empty());
  EXPECT_EQ(item->EffectOptions().Contains(effFlagsProgramChunks), effect.chunk_presets);

  // Move a parameter away from its default so that the round trip carries something.
  item->SetParameter(0, item->GetParameter(0) > 0.5f ? 0.25f : 0.75f);
  ExpectBlockIsFinite(*item);
  std::stringstream preset;
  item->SavePreset(preset);
  const std::vector<uint8_t> chunk = item->GetChunk(true);
  std::vector<float> values;
  for (int i = 0; i < item->numParams(); ++i) values.push_back(item->GetParameter(i));

  TVstPlugIn* fresh = host.VstPlugIns().Add();
  fresh->SetDLLFileName(effect.path);
  fresh->SetActive(true);
  fresh->LoadPreset(preset);
  if (effect.chunk_presets) {
    EXPECT_EQ(fresh->GetChunk(true), chunk);
  } else {
    for (int i = 0; i < fresh->numParams(); ++i) EXPECT_EQ(fresh->GetParameter(i), values[i]) << i;
  }
  ExpectBlockIsFinite(*fresh);

  fresh->SetActive(false);
  item->SetActive(false);
  EXPECT_EQ(item->numOutputs(), 0);
  item->Unload();
  fresh->Unload();
  EXPECT_EQ(item->numOutputs(), -1);
}

// What the effect writes for a text request, asked directly, as at most 255 characters.
std::string WrittenText(AEffect* effect, VstInt32 opcode, VstInt32 index) {
  char buffer[1024] = {};
  effect->dispatcher(effect, opcode, index, 0, buffer, 0.0f);
  buffer[255] = '\0';
  return buffer;
}

// These effects answer 1 to the text requests while they write the texts: names, displays,
// units and program names come through all the same, and are what the effect wrote.
TEST_P(RealEffects, TextsMatchWhatTheEffectWrites) {
  const CompatCase& effect = GetParam();
  if (!platform::FileExists(effect.path)) GTEST_SKIP() << effect.path << " is not installed";
  TVstHost host;
  TVstPlugIn* item = host.VstPlugIns().Add();
  item->SetDLLFileName(effect.path);
  item->SetActive(true);
  ASSERT_TRUE(item->Active());
  AEffect* const record = item->Effect();
  int units = 0;
  for (int i = 0; i < item->numParams(); ++i) {
    const struct {
      const char* what;
      VstInt32 opcode;
      std::string taken;
    } texts[] = {{"name", effGetParamName, item->GetParamName(i)},
                 {"display", effGetParamDisplay, item->GetParamDisplay(i)},
                 {"unit", effGetParamLabel, item->GetParamLabel(i)}};
    for (const auto& text : texts)
      EXPECT_EQ(text.taken, WrittenText(record, text.opcode, i)) << text.what << " " << i;
    EXPECT_FALSE(texts[0].taken.empty()) << "name " << i;
    EXPECT_FALSE(texts[1].taken.empty()) << "display " << i;
    units += texts[2].taken.empty() ? 0 : 1;
  }
  EXPECT_GT(units, 0);
  if (item->numPrograms() > 0) {
    EXPECT_FALSE(item->ProgramName().empty());
    EXPECT_EQ(item->ProgramName(), WrittenText(record, effGetProgramName, 0));
  }
  item->Unload();
}

INSTANTIATE_TEST_SUITE_P(
    Debian, RealEffects,
    ::testing::Values(
        // Entered through "main", 2 inputs and 6 outputs.
        CompatCase{"ThreeBandSplitter", "/usr/lib/vst/3BandSplitter-vst.so", "main", false, 6},
        CompatCase{"ThreeBandEQ", "/usr/lib/vst/3BandEQ-vst.so", "main", false, 2},
        // Entered through "VSTPluginMain", with chunk presets.
        CompatCase{"LspCompressorStereo", "/usr/lib/vst/lsp-plugins/compressor-stereo.so",
                   "VSTPluginMain", true, 2},
        CompatCase{"LspCrossoverStereo", "/usr/lib/vst/lsp-plugins/crossover-stereo.so",
                   "VSTPluginMain", true, 3}),
    [](const ::testing::TestParamInfo<CompatCase>& info) { return std::string(info.param.name); });

}  // namespace
