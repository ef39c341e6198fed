#include <gtest/gtest.h>

#include <cstring>

#include "common/four_char.h"
#include "vst_host/preset_format.h"

namespace {

using namespace vst_preset;

const int32_t kId = FourCharToLong("PlPr");

uint32_t BigEndianAt(const std::vector<uint8_t>& bytes, size_t offset) {
  return (uint32_t{bytes[offset]} << 24) | (uint32_t{bytes[offset + 1]} << 16) |
         (uint32_t{bytes[offset + 2]} << 8) | bytes[offset + 3];
}

void PutBigEndian(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

TEST(PresetFormat, ParameterFormLayout) {
  const auto bytes = BuildParameterPreset(kId, 7, "Init", {0.5f, 0.25f, 1.0f});
  ASSERT_EQ(bytes.size(), 68u);
  EXPECT_EQ(std::memcmp(bytes.data(), "CcnK", 4), 0);
  EXPECT_EQ(BigEndianAt(bytes, 4), 60u);
  EXPECT_EQ(std::memcmp(bytes.data() + 8, "FxCk", 4), 0);
  EXPECT_EQ(BigEndianAt(bytes, 12), 1u);
  EXPECT_EQ(BigEndianAt(bytes, 16), static_cast<uint32_t>(kId));
  EXPECT_EQ(BigEndianAt(bytes, 20), 7u);
  EXPECT_EQ(BigEndianAt(bytes, 24), 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 28), "Init");
  EXPECT_EQ(BigEndianAt(bytes, 56), 0x3F000000u);  // 0.5f, big-endian
}

TEST(PresetFormat, ChunkFormLayoutAndLongNames) {
  std::vector<uint8_t> chunk(100, 0xAB);
  const auto bytes = BuildChunkPreset(kId, 7, 3, std::string(30, 'n'), chunk.data(), chunk.size());
  ASSERT_EQ(bytes.size(), 160u);
  EXPECT_EQ(BigEndianAt(bytes, 4), 152u);
  EXPECT_EQ(std::memcmp(bytes.data() + 8, "FPCh", 4), 0);
  EXPECT_EQ(BigEndianAt(bytes, 56), 100u);
  EXPECT_EQ(bytes[60], 0xAB);
  // A 30-character name keeps 26 characters, then two zero bytes.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 28), 26),
            std::string(26, 'n'));
  EXPECT_EQ(bytes[28 + 26], 0);
  EXPECT_EQ(bytes[28 + 27], 0);
}

TEST(PresetFormat, ReadsBackWhatWasWritten) {
  const auto params =
      ParsePreset(BuildParameterPreset(kId, 1, "Warm", {0.1f, 0.2f, 0.3f}).data(), 68, kId, 3);
  EXPECT_FALSE(params.chunk_form);
  EXPECT_EQ(params.program_name, "Warm");
  EXPECT_EQ(params.parameters, (std::vector<float>{0.1f, 0.2f, 0.3f}));

  const uint8_t data[5] = {1, 2, 3, 4, 5};
  const auto bytes = BuildChunkPreset(kId, 1, 0, "C", data, 5);
  const auto chunk = ParsePreset(bytes.data(), bytes.size(), kId, 0);
  EXPECT_TRUE(chunk.chunk_form);
  EXPECT_EQ(chunk.chunk, std::vector<uint8_t>(data, data + 5));
}

TEST(PresetFormat, ShortFilesAndOtherEffectsAreRefused) {
  auto bytes = BuildParameterPreset(kId, 1, "x", {0.5f});
  for (size_t size : {0u, 9u, 10u, 55u})
    EXPECT_THROW(ParsePreset(bytes.data(), size, kId, 1), EPresetError) << size;
  try {
    ParsePreset(bytes.data(), bytes.size(), FourCharToLong("Othr"), 1);
    FAIL();
  } catch (const EPresetError& error) {
    EXPECT_STREQ(error.what(), "preset file not for this plugin!");
  }
  // A chunk file needs its 60-byte header.
  const auto chunk = BuildChunkPreset(kId, 1, 0, "", nullptr, 0);
  EXPECT_THROW(ParsePreset(chunk.data(), 59, kId, 0), EPresetError);
  EXPECT_NO_THROW(ParsePreset(chunk.data(), 60, kId, 0));
}

TEST(PresetFormat, ParameterCountsAreBelievedOnlyAsFarAsTheyGo) {
  auto bytes = BuildParameterPreset(kId, 1, "x", {0.1f, 0.2f, 0.3f, 0.4f});
  // More in the file than the effect has: the surplus is dropped.
  EXPECT_EQ(ParsePreset(bytes.data(), bytes.size(), kId, 2).parameters.size(), 2u);
  // More announced than the file holds: only whole values that are there.
  PutBigEndian(bytes, 24, 1000000);
  EXPECT_EQ(ParsePreset(bytes.data(), bytes.size() - 2, kId, 100).parameters,
            (std::vector<float>{0.1f, 0.2f, 0.3f}));
  PutBigEndian(bytes, 24, 0x80000000u);  // negative
  EXPECT_TRUE(ParsePreset(bytes.data(), bytes.size(), kId, 100).parameters.empty());
  // An effect with no (or a negative count of) parameters gets none.
  PutBigEndian(bytes, 24, 4);
  EXPECT_TRUE(ParsePreset(bytes.data(), bytes.size(), kId, -5).parameters.empty());
}

TEST(PresetFormat, ChunkSizeFieldsAreNotBelieved) {
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  auto bytes = BuildChunkPreset(kId, 1, 0, "", data, 8);
  PutBigEndian(bytes, 4, 0xFFFFFFF0u);   // byteSize
  PutBigEndian(bytes, 56, 0x7FFFFFFFu);  // chunkSize
  EXPECT_EQ(ParsePreset(bytes.data(), bytes.size(), kId, 0).chunk.size(), 8u);
  PutBigEndian(bytes, 56, 2);
  EXPECT_EQ(ParsePreset(bytes.data(), bytes.size(), kId, 0).chunk.size(), 8u);
}

TEST(PresetFormat, ABankHeaderReadsAsTheParameterForm) {
  auto bytes = BuildParameterPreset(kId, 1, "x", {0.75f});
  std::memcpy(bytes.data() + 8, "FxBk", 4);
  const auto content = ParsePreset(bytes.data(), bytes.size(), kId, 1);
  EXPECT_FALSE(content.chunk_form);
  EXPECT_EQ(content.parameters, std::vector<float>{0.75f});
}

TEST(PresetFormat, ANameFillingItsFieldEndsAtTheField) {
  auto bytes = BuildParameterPreset(kId, 1, "", {});
  std::memset(bytes.data() + 28, 'z', 28);
  EXPECT_EQ(ParsePreset(bytes.data(), bytes.size(), kId, 0).program_name, std::string(28, 'z'));
}

}  // namespace
