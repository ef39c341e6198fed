// Parameters as the host sees them, programs, and the chunk format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "crossover/tests/crossover_test_support.h"

namespace {

using namespace crossover;
using namespace crossover_test;

constexpr VstInt32 kGetProgramNameIndexed = 29;

std::string Text(const TEffect& effect, VstInt32 opcode, VstInt32 index) {
  char text[256];
  std::memset(text, 'x', sizeof text);
  text[255] = '\0';
  effect.Dispatch(opcode, index, 0, text);
  return text;
}

struct TTextCase {
  int index;
  float value;
  const char* name;
  const char* display;
  const char* unit;
};

class ParameterTexts : public ::testing::TestWithParam<TTextCase> {};

TEST_P(ParameterTexts, NameDisplayAndUnitFitTheHostsEightCharacters) {
  const TTextCase& c = GetParam();
  TEffect effect;
  effect.Set(c.index, c.value);
  EXPECT_EQ(Text(effect, effGetParamName, c.index), c.name);
  EXPECT_EQ(Text(effect, effGetParamDisplay, c.index), c.display);
  EXPECT_EQ(Text(effect, effGetParamLabel, c.index), c.unit);
  for (VstInt32 opcode : {effGetParamName, effGetParamDisplay, effGetParamLabel})
    EXPECT_LE(Text(effect, opcode, c.index).size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParameterTexts,
    ::testing::Values(
        TTextCase{kParamBands, 0.0f, "Bands", "2", ""},
        TTextCase{kParamBands, 0.5f, "Bands", "3", ""},
        TTextCase{kParamBands, 1.0f, "Bands", "4", ""},
        TTextCase{kParamFirstFrequency, 0.0f, "Xover 1", "20", "Hz"},
        TTextCase{kParamFirstFrequency + 1, ValueForFrequency(1000), "Xover 2", "1000", "Hz"},
        TTextCase{kParamFirstFrequency + 2, 1.0f, "Xover 3", "20000", "Hz"},
        TTextCase{BandParam(0, kBandGain), 0.0f, "B1 Gain", "-24.0", "dB"},
        TTextCase{BandParam(3, kBandGain), ValueForGainDb(0), "B4 Gain", "+0.0", "dB"},
        TTextCase{BandParam(1, kBandGain), 1.0f, "B2 Gain", "+12.0", "dB"},
        TTextCase{BandParam(2, kBandDelay), 1.0f, "B3 Delay", "20.00", "ms"},
        TTextCase{BandParam(1, kBandDelay), ValueForDelayMs(1.25), "B2 Delay", "1.25", "ms"},
        TTextCase{BandParam(0, kBandPolarity), 1.0f, "B1 Pol", "Invert", ""},
        TTextCase{BandParam(0, kBandPolarity), 0.0f, "B1 Pol", "Normal", ""},
        TTextCase{BandParam(3, kBandMute), 1.0f, "B4 Mute", "On", ""},
        TTextCase{BandParam(3, kBandMute), 0.2f, "B4 Mute", "Off", ""}));

TEST(ParameterValues, PhysicalValuesSurviveTheNormalisedRoundTrip) {
  for (double hz = 20; hz <= 20000; hz += hz < 1000 ? 1 : 7)
    ASSERT_EQ(FrequencyFromValue(ValueForFrequency(hz)), hz);
  for (int tenths = -240; tenths <= 120; ++tenths)
    ASSERT_EQ(GainDbFromValue(ValueForGainDb(tenths / 10.0)), tenths / 10.0);
  for (int hundredths = 0; hundredths <= 2000; ++hundredths)
    ASSERT_EQ(DelayMsFromValue(ValueForDelayMs(hundredths / 100.0)), hundredths / 100.0);
  for (int bands = 2; bands <= 4; ++bands)
    ASSERT_EQ(BandCountFromValue(ValueForBandCount(bands)), bands);
}

TEST(ParameterValues, OutOfRangeValuesAreClampedAndNaNIsIgnored) {
  TEffect effect;
  effect.Set(BandParam(1, kBandGain), 0.25f);
  effect.Set(BandParam(1, kBandGain), std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(effect.Get(BandParam(1, kBandGain)), 0.25f);
  effect.Set(BandParam(1, kBandGain), 7.0f);
  EXPECT_EQ(effect.Get(BandParam(1, kBandGain)), 1.0f);
  effect.Set(kParamFirstFrequency, -3.0f);
  EXPECT_EQ(effect.Get(kParamFirstFrequency), 0.0f);
  effect.Set(kParamCount, 0.5f);  // no such parameter: nothing happens
  EXPECT_EQ(effect.Get(kParamCount), 0.0f);
}

TEST(Programs, ShipNamedSetupsAndKeepEditsPerProgram) {
  TEffect effect;
  const char* const names[kProgramCount] = {"4-way default", "3-way", "2-way 80 Hz sub"};
  for (int p = 0; p < kProgramCount; ++p) {
    char name[64] = {};
    EXPECT_EQ(effect.Dispatch(kGetProgramNameIndexed, p, 0, name), 1);
    EXPECT_STREQ(name, names[p]);
  }
  EXPECT_EQ(effect.Dispatch(effGetProgram), 0);
  effect.Dispatch(effSetProgram, 0, 2);
  EXPECT_EQ(Text(effect, effGetProgramName, 0), "2-way 80 Hz sub");
  EXPECT_EQ(Text(effect, effGetParamDisplay, kParamBands), "2");
  EXPECT_EQ(Text(effect, effGetParamDisplay, kParamFirstFrequency), "80");

  effect.Set(BandParam(0, kBandGain), ValueForGainDb(-3));
  effect.Dispatch(effSetProgramName, 0, 0, const_cast<char*>("Sub, quieter"));
  effect.Dispatch(effSetProgram, 0, 1);
  EXPECT_EQ(Text(effect, effGetParamDisplay, kParamBands), "3");
  EXPECT_EQ(Text(effect, effGetParamDisplay, BandParam(0, kBandGain)), "+0.0");
  effect.Dispatch(effSetProgram, 0, 2);
  EXPECT_EQ(Text(effect, effGetProgramName, 0), "Sub, quieter");
  EXPECT_EQ(Text(effect, effGetParamDisplay, BandParam(0, kBandGain)), "-3.0");
  EXPECT_EQ(effect.Dispatch(effSetProgram, 0, kProgramCount), 0);
  EXPECT_EQ(effect.Dispatch(effGetProgram), 2);
}

TEST(Chunks, ProgramAndBankChunksRestoreEveryValueAndName) {
  TEffect source;
  source.Dispatch(effSetProgram, 0, 1);
  for (int i = 0; i < kParamCount; ++i)
    source.Set(i, static_cast<float>(i + 1) / (kParamCount + 3));
  source.Dispatch(effSetProgramName, 0, 0, const_cast<char*>("Stage left"));
  const std::vector<uint8_t> program = source.Chunk(true);
  const std::vector<uint8_t> bank = source.Chunk(false);

  TEffect target;
  ASSERT_TRUE(target.SetChunk(program, true));
  EXPECT_EQ(target.Dispatch(effGetProgram), 0);  // a program chunk fills the current program
  EXPECT_EQ(Text(target, effGetProgramName, 0), "Stage left");
  for (int i = 0; i < kParamCount; ++i) EXPECT_EQ(target.Get(i), source.Get(i)) << i;

  TEffect whole;
  ASSERT_TRUE(whole.SetChunk(bank, false));
  EXPECT_EQ(whole.Dispatch(effGetProgram), 1);
  EXPECT_EQ(Text(whole, effGetProgramName, 0), "Stage left");
  for (int i = 0; i < kParamCount; ++i) EXPECT_EQ(whole.Get(i), source.Get(i)) << i;
  whole.Dispatch(effSetProgram, 0, 2);
  EXPECT_EQ(Text(whole, effGetProgramName, 0), "2-way 80 Hz sub");
  whole.Dispatch(effSetProgram, 0, 1);
  EXPECT_EQ(whole.Chunk(false), source.Chunk(false));
}

// Rewrites the CRC so that only the intended fault is left in the chunk.
void Reseal(std::vector<uint8_t>& chunk) {
  const uint32_t crc = Crc32(chunk.data(), chunk.size() - 4);
  for (int i = 0; i < 4; ++i) chunk[chunk.size() - 4 + i] = static_cast<uint8_t>(crc >> (8 * i));
}

void PutFloat(std::vector<uint8_t>& chunk, size_t offset, float value) {
  std::memcpy(&chunk[offset], &value, 4);
  Reseal(chunk);
}

struct TBadChunkCase {
  const char* name;
  bool program;
  std::function<void(std::vector<uint8_t>&)> spoil;
};

class BadChunks : public ::testing::TestWithParam<TBadChunkCase> {};

TEST_P(BadChunks, AreRefusedAndLeaveEverythingAsItWas) {
  const TBadChunkCase& c = GetParam();
  TEffect source;
  for (int i = 0; i < kParamCount; ++i) source.Set(i, 0.125f);
  std::vector<uint8_t> chunk = source.Chunk(c.program);
  c.spoil(chunk);

  TEffect target;
  target.Set(BandParam(2, kBandDelay), 0.75f);
  const std::vector<uint8_t> before = target.Chunk(false);
  EXPECT_FALSE(target.SetChunk(chunk, c.program));
  EXPECT_EQ(target.Chunk(false), before);
}

constexpr size_t kFirstValue = 24 + kProgramNameSize;  // header, then the first name

INSTANTIATE_TEST_SUITE_P(
    Table, BadChunks,
    ::testing::Values(
        TBadChunkCase{"empty", true, [](auto& c) { c.clear(); }},
        TBadChunkCase{"header_only", true, [](auto& c) { c.resize(24); }},
        TBadChunkCase{"one_byte_short", true, [](auto& c) { c.pop_back(); }},
        TBadChunkCase{"one_byte_long", false, [](auto& c) { c.push_back(0); }},
        TBadChunkCase{"wrong_magic", true,
                      [](auto& c) {
                        c[0] = 'Q';
                        Reseal(c);
                      }},
        TBadChunkCase{"newer_version", true,
                      [](auto& c) {
                        c[4] = 2;
                        Reseal(c);
                      }},
        TBadChunkCase{"bank_as_program", false,
                      [](auto& c) {
                        c[8] = 1;
                        Reseal(c);
                      }},
        TBadChunkCase{"other_parameter_count", true,
                      [](auto& c) {
                        c[12] = 19;
                        Reseal(c);
                      }},
        TBadChunkCase{"program_count_too_large", true,
                      [](auto& c) {
                        c[16] = 2;
                        Reseal(c);
                      }},
        TBadChunkCase{"current_beyond_bank", false,
                      [](auto& c) {
                        c[20] = 3;
                        Reseal(c);
                      }},
        TBadChunkCase{"flipped_bit", false, [](auto& c) { c[kFirstValue + 5] ^= 0x10; }},
        TBadChunkCase{"damaged_crc", true, [](auto& c) { c.back() ^= 1; }},
        TBadChunkCase{"value_nan", true, [](auto& c) { PutFloat(c, kFirstValue, std::nanf("")); }},
        TBadChunkCase{"value_above_one", false,
                      [](auto& c) { PutFloat(c, kFirstValue + 8, 1.5f); }},
        TBadChunkCase{"value_negative", true, [](auto& c) { PutFloat(c, kFirstValue + 4, -0.1f); }},
        TBadChunkCase{"unterminated_name", true,
                      [](auto& c) {
                        std::memset(&c[24], 'A', kProgramNameSize);
                        Reseal(c);
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
