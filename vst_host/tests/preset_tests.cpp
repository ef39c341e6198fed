#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/fault_log.h"
#include "platform/system.h"
#include "vst_host/preset_format.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

using ::testing::ElementsAre;

class Presets : public ::testing::Test {
 protected:
  TVstPlugIn& Open(const TEffectProbe& probe) {
    TVstPlugIn* item = host_.VstPlugIns().Add();
    item->SetDLLFileName(probe.Path());
    item->SetActive(true);
    probe.Clear();
    return *item;
  }
  std::string Error(TVstPlugIn& item, std::istream& stream) {
    try {
      item.LoadPreset(stream);
    } catch (const EVstError& error) {
      return error.what();
    }
    return "";
  }
  TVstHost host_;
};

TEST_F(Presets, ParameterPresetsRoundTrip) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  item.SetProgramName("Warm");
  item.SetParameter(0, 0.125f);
  item.SetParameter(2, 0.875f);
  std::stringstream file;
  item.SavePreset(file);
  EXPECT_EQ(file.str().size(), 68u);
  EXPECT_THAT(probe.Requests(),
              ElementsAre(effSetProgramName, effGetProgram, effSetProgram, effGetProgramName));

  item.SetProgramName("Other");
  item.SetParameter(0, 0.0f);
  item.SetParameter(2, 0.0f);
  probe.Clear();
  item.LoadPreset(file);
  EXPECT_THAT(probe.Requests(), ElementsAre(effBeginLoadProgram, effSetProgramName));
  EXPECT_EQ(probe.Entries(kLogSetParameter).size(), 3u);
  EXPECT_EQ(item.ProgramName(), "Warm");
  EXPECT_EQ(item.GetParameter(0), 0.125f);
  EXPECT_EQ(item.GetParameter(2), 0.875f);
}

TEST_F(Presets, ChunkPresetsRoundTripIntoAFreshInstance) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("partiloom_chunk_" + std::to_string(platform::TickCount()) + ".fxp");
  std::vector<uint8_t> saved;
  {
    TEffectProbe probe("chunk");
    TVstPlugIn& item = Open(probe);
    const uint8_t state[3] = {9, 8, 7};
    item.SetChunk(state, 3, true);
    item.SetProgramName("Chunky");
    saved = item.GetChunk(true);
    item.SavePreset(path.string());
    EXPECT_EQ(std::filesystem::file_size(path), 63u);
  }
  host_.VstPlugIns().Clear();
  TEffectProbe probe("chunk");
  TVstPlugIn& fresh = Open(probe);
  ASSERT_NE(fresh.GetChunk(true), saved);
  fresh.LoadPreset(path.string());
  EXPECT_EQ(fresh.GetChunk(true), saved);
  EXPECT_EQ(fresh.ProgramName(), "Chunky");
  std::filesystem::remove(path);
  try {
    fresh.LoadPreset(path.string());
    FAIL();
  } catch (const EVstError& error) {
    EXPECT_STREQ(error.what(), "preset file does not exist");
  }
}

TEST_F(Presets, APresetOfAnotherEffectAppliesNothing) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  std::stringstream file(std::string(
      reinterpret_cast<const char*>(
          vst_preset::BuildParameterPreset(FourCharToLong("Othr"), 1, "x", {0.1f, 0.2f, 0.3f})
              .data()),
      68));
  EXPECT_EQ(Error(item, file), "preset file not for this plugin!");
  EXPECT_EQ(probe.Log().count, 0);
  EXPECT_EQ(file.tellg(), 56);
}

TEST_F(Presets, BadParameterCountsNeverReachBeyondTheEffect) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  // 10 values announced and present, the effect has 3.
  std::vector<float> values(10, 0.5f);
  auto bytes = vst_preset::BuildParameterPreset(FourCharToLong("PlPr"), 1, "x", values);
  std::stringstream many(std::string(bytes.begin(), bytes.end()));
  item.LoadPreset(many);
  auto writes = probe.Entries(kLogSetParameter);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes.back().index, 2);

  // 3 announced, one and a half present.
  probe.Clear();
  bytes = vst_preset::BuildParameterPreset(FourCharToLong("PlPr"), 1, "x", {0.25f, 0.5f, 0.75f});
  std::stringstream cut(std::string(bytes.begin(), bytes.begin() + 56 + 6));
  item.LoadPreset(cut);
  writes = probe.Entries(kLogSetParameter);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].opt, 0.25f);

  // A header cut short is an error and applies nothing.
  probe.Clear();
  std::stringstream header(std::string(bytes.begin(), bytes.begin() + 40));
  EXPECT_EQ(Error(item, header), "preset file is truncated!");
  EXPECT_EQ(probe.Log().count, 0);
}

TEST_F(Presets, AChunkFileIsHandedOverWholeWhateverItsSizeFieldsSay) {
  TEffectProbe probe("chunk");
  TVstPlugIn& item = Open(probe);
  const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
  auto bytes = vst_preset::BuildChunkPreset(FourCharToLong("PlCh"), 1, 0, "", data, 6);
  bytes[56] = 0x7F;  // chunkSize about 2 GB
  std::stringstream file(std::string(bytes.begin(), bytes.end()));
  item.LoadPreset(file);
  const auto sent = probe.Entries(effSetChunk);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].index, 1);
  EXPECT_EQ(sent[0].value, 6);
  EXPECT_EQ(item.GetChunk(true), std::vector<uint8_t>(data, data + 6));
}

// A count beyond reason is refused and recorded, not walked; every sane count keeps the
// format. The "params" effect answers -1 for a parameter it does not have.
TEST_F(Presets, ParameterCountsBeyondTheLimitAreRefusedNotWalked) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  const struct {
    VstInt32 claimed;
    size_t bytes;  // 0: refused
  } cases[] = {{3, 68},
               {0, 56},
               {-7, 56},
               {kMaxWalkedCount, 56 + 4 * size_t(kMaxWalkedCount)},
               {kMaxWalkedCount + 1, 0},
               {INT32_MAX, 0}};
  uint32_t refusals = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.claimed);
    item.Effect()->numParams = c.claimed;
    std::stringstream file;
    if (c.bytes == 0) {
      EXPECT_THROW(item.SavePreset(file), EVstError);
      EXPECT_TRUE(file.str().empty());
      EXPECT_EQ(item.AnswerRefusals().Count, ++refusals);
      EXPECT_EQ(item.AnswerRefusals().Last, std::to_string(c.claimed) + " parameters");
    } else {
      item.SavePreset(file);
      ASSERT_EQ(file.str().size(), c.bytes);
      const std::string bytes = file.str();
      const auto field = [&bytes](size_t at) {
        return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
               (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
      };
      EXPECT_EQ(field(4), c.bytes - 8);          // byteSize
      EXPECT_EQ(field(24), (c.bytes - 56) / 4);  // numParams
      EXPECT_EQ(item.AnswerRefusals().Count, refusals);
    }
  }
  item.Effect()->numParams = 3;
}

TEST_F(Presets, WalkableCountsAreCappedAndRefusalsRecorded) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  const struct {
    VstInt32 claimed, walkable;
  } cases[] = {{1, 1},
               {-1, 0},
               {kMaxWalkedCount, kMaxWalkedCount},
               {kMaxWalkedCount + 1, 0},
               {INT32_MAX, 0}};
  uint32_t refusals = 0;
  for (const auto& c : cases) {
    item.Effect()->numParams = c.claimed;
    item.Effect()->numPrograms = c.claimed;
    EXPECT_EQ(item.WalkableParams(), c.walkable) << c.claimed;
    EXPECT_EQ(item.WalkablePrograms(), c.walkable) << c.claimed;
    if (c.walkable == 0 && c.claimed > 0) refusals += 2;
    EXPECT_EQ(item.AnswerRefusals().Count, refusals) << c.claimed;
  }
  EXPECT_EQ(item.AnswerRefusals().Last, "2147483647 programs");
  item.Effect()->numParams = 3;
  item.Effect()->numPrograms = 1;
}

// An effect that gives no usable chunk leaves the file it is saved to as it was; why is
// recorded.
TEST_F(Presets, AnEffectWithoutAChunkLeavesTheFileAsItWas) {
  TEffectProbe probe("faulty");
  TVstPlugIn& item = Open(probe);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("partiloom_kept_" + std::to_string(platform::TickCount()) + ".fxp"))
                               .string();
  item.SavePreset(path);
  ASSERT_EQ(std::filesystem::file_size(path), 160u);
  std::ifstream reader(path, std::ios::binary);
  const std::string earlier{std::istreambuf_iterator<char>(reader),
                            std::istreambuf_iterator<char>()};
  reader.close();
  using platform::FaultKind;
  const struct {
    uint32_t arm;
    FaultKind kind;
    const char* call;
  } cases[] = {{kArmChunkZeroSize, FaultKind::RefusedAnswer, "effGetChunk (size 0 or below)"},
               {kArmChunkNegativeSize, FaultKind::RefusedAnswer, "effGetChunk (size 0 or below)"},
               {kArmChunkNull, FaultKind::RefusedAnswer, "effGetChunk (null chunk)"},
               {kArmChunkShort, FaultKind::EffectFault, "effGetChunk (copy)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arm);
    const uint32_t recorded = platform::FaultCount(c.kind, item.FaultSource(), c.call);
    probe.Arm(c.arm);
    EXPECT_THROW(item.SavePreset(path), EVstError);
    std::stringstream stream;
    EXPECT_THROW(item.SavePreset(stream), EVstError);
    probe.Arm(0);
    EXPECT_TRUE(stream.str().empty());
    std::ifstream file(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()),
              earlier);
    EXPECT_EQ(platform::FaultCount(c.kind, item.FaultSource(), c.call), recorded + 2);
  }
  std::filesystem::remove(path);
}

// A parameter the effect faults on would be saved as 0 in place of the user's setting: the
// save is refused, the file stays as it was, and the fault is recorded.
TEST_F(Presets, AParameterThatCannotBeReadLeavesTheFileAsItWas) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  item.SetParameter(1, 0.75f);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("partiloom_unread_" + std::to_string(platform::TickCount()) + ".fxp"))
                               .string();
  item.SavePreset(path);
  const auto contents = [&path] {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };
  const std::string earlier = contents();
  ASSERT_EQ(earlier.size(), 68u);

  using platform::FaultKind;
  const uint32_t recorded =
      platform::FaultCount(FaultKind::EffectFault, item.FaultSource(), "getParameter");
  probe.Arm(kArmGetParameterFault);
  item.SetParameter(0, 0.25f);
  EXPECT_THROW(item.SavePreset(path), EVstNoState);
  std::stringstream stream;
  EXPECT_THROW(item.SavePreset(stream), EVstNoState);
  probe.Arm(0);
  EXPECT_TRUE(stream.str().empty());
  EXPECT_EQ(contents(), earlier);
  EXPECT_EQ(platform::FaultCount(FaultKind::EffectFault, item.FaultSource(), "getParameter"),
            recorded + 2);

  // Readable again, the effect saves as before.
  item.SavePreset(path);
  EXPECT_NE(contents(), earlier);
  std::filesystem::remove(path);
}

TEST_F(Presets, AFileThatCannotBeCreatedIsReported) {
  TEffectProbe probe("params");
  TVstPlugIn& item = Open(probe);
  const std::string path = platform::ExecutableDirectory() + "/no/such/folder/x.fxp";
  EXPECT_THROW(item.SavePreset(path), EVstError);
}

TEST_F(Presets, WithoutAnEffectNothingHappens) {
  TVstPlugIn* item = host_.VstPlugIns().Add();
  std::stringstream empty;
  item->SavePreset(empty);
  EXPECT_TRUE(empty.str().empty());
  std::stringstream garbage("garbage");
  EXPECT_NO_THROW(item->LoadPreset(garbage));
}

}  // namespace
