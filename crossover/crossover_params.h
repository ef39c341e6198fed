#pragma once

// The effect's parameters as the host sees them (normalised 0..1 values, names, display
// texts and units), the programs it ships with, and the chunk format that saves them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crossover/crossover_dsp.h"

namespace crossover {

// 0: band count, 1..3: crossover frequencies, then per band: gain, delay, polarity, mute.
constexpr int kParamBands = 0;
constexpr int kParamFirstFrequency = 1;
constexpr int kParamFirstBand = kParamFirstFrequency + kCrossoverCount;
constexpr int kParamsPerBand = 4;
constexpr int kParamCount = kParamFirstBand + kBandCount * kParamsPerBand;
enum TBandParam { kBandGain, kBandDelay, kBandPolarity, kBandMute };
constexpr int BandParam(int band, TBandParam which) {
  return kParamFirstBand + band * kParamsPerBand + which;
}

constexpr double kMinFrequencyHz = 20.0;
constexpr double kMaxFrequencyHz = 20000.0;
constexpr double kMinGainDb = -24.0;
constexpr double kMaxGainDb = 12.0;

using TParamValues = std::array<float, kParamCount>;

// Texts of at most 8 characters plus the terminator, the length hosts reserve.
std::string ParamName(int index);
std::string ParamUnit(int index);
std::string ParamDisplay(int index, float value);

// The physical values; each snaps to its resolution (whole hertz, 0.1 dB, 0.01 ms).
int BandCountFromValue(float value);
double FrequencyFromValue(float value);
double GainDbFromValue(float value);
double DelayMsFromValue(float value);
float ValueForBandCount(int bands);
float ValueForFrequency(double hz);
float ValueForGainDb(double db);
float ValueForDelayMs(double ms);
TCrossoverSettings SettingsFromValues(const TParamValues& values);

struct TProgram {
  std::string name;
  TParamValues values{};
};
constexpr int kProgramCount = 3;
constexpr size_t kProgramNameSize = 24;  // with the terminator
// The shipped programs; the first is the one a new instance starts with.
std::array<TProgram, kProgramCount> FactoryPrograms();

// Chunks: one program or the whole bank, little-endian, with a format version and a CRC-32.
// Decoding refuses anything that is not exactly a valid chunk of the expected kind.
enum class TChunkKind : uint32_t { kProgram = 1, kBank = 2 };
std::vector<uint8_t> EncodeProgramChunk(const TProgram& program);
std::vector<uint8_t> EncodeBankChunk(const std::array<TProgram, kProgramCount>& programs,
                                     int current);
struct TDecodedChunk {
  std::vector<TProgram> programs;
  int current = 0;
};
std::optional<TDecodedChunk> DecodeChunk(const uint8_t* data, size_t size, TChunkKind kind);

uint32_t Crc32(const uint8_t* data, size_t size);

}  // namespace crossover
