#include "crossover/crossover_params.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace crossover {

namespace {

constexpr uint8_t kChunkMagic[4] = {'P', 'L', 'X', 'C'};
constexpr uint32_t kChunkVersion = 1;
constexpr size_t kChunkHeaderSize = 24;
constexpr size_t kProgramRecordSize = kProgramNameSize + 4 * kParamCount;
constexpr size_t kChunkCrcSize = 4;

constexpr const char* kBandParamNames[kParamsPerBand] = {"Gain", "Delay", "Pol", "Mute"};
constexpr const char* kBandParamUnits[kParamsPerBand] = {"dB", "ms", "", ""};

float Clamp01(double value) {
  return static_cast<float>(std::clamp(value, 0.0, 1.0));
}

std::string Format(const char* format, double value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutProgram(std::vector<uint8_t>& out, const TProgram& program) {
  char name[kProgramNameSize] = {};
  std::memcpy(name, program.name.data(), std::min(program.name.size(), kProgramNameSize - 1));
  out.insert(out.end(), name, name + kProgramNameSize);
  for (float value : program.values) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    PutU32(out, bits);
  }
}

bool GetProgram(const uint8_t* p, TProgram& program) {
  const char* name = reinterpret_cast<const char*>(p);
  const size_t length = strnlen(name, kProgramNameSize);
  if (length == kProgramNameSize) return false;
  program.name.assign(name, length);
  p += kProgramNameSize;
  for (float& value : program.values) {
    const uint32_t bits = GetU32(p);
    p += 4;
    std::memcpy(&value, &bits, 4);
    if (!(value >= 0.0f && value <= 1.0f)) return false;  // also refuses NaN
  }
  return true;
}

std::vector<uint8_t> Encode(TChunkKind kind, const TProgram* programs, int count, int current) {
  std::vector<uint8_t> out(kChunkMagic, kChunkMagic + 4);
  PutU32(out, kChunkVersion);
  PutU32(out, static_cast<uint32_t>(kind));
  PutU32(out, kParamCount);
  PutU32(out, static_cast<uint32_t>(count));
  PutU32(out, static_cast<uint32_t>(current));
  for (int i = 0; i < count; ++i) PutProgram(out, programs[i]);
  PutU32(out, Crc32(out.data(), out.size()));
  return out;
}

}  // namespace

std::string ParamName(int index) {
  if (index == kParamBands) return "Bands";
  if (index >= kParamFirstFrequency && index < kParamFirstBand)
    return "Xover " + std::to_string(index - kParamFirstFrequency + 1);
  if (index >= kParamFirstBand && index < kParamCount) {
    const int offset = index - kParamFirstBand;
    return "B" + std::to_string(offset / kParamsPerBand + 1) + " " +
           kBandParamNames[offset % kParamsPerBand];
  }
  return "";
}

std::string ParamUnit(int index) {
  if (index >= kParamFirstFrequency && index < kParamFirstBand) return "Hz";
  if (index >= kParamFirstBand && index < kParamCount)
    return kBandParamUnits[(index - kParamFirstBand) % kParamsPerBand];
  return "";
}

std::string ParamDisplay(int index, float value) {
  if (index == kParamBands) return std::to_string(BandCountFromValue(value));
  if (index >= kParamFirstFrequency && index < kParamFirstBand)
    return Format("%.0f", FrequencyFromValue(value));
  if (index < kParamFirstBand || index >= kParamCount) return "";
  switch ((index - kParamFirstBand) % kParamsPerBand) {
    case kBandGain:
      return Format("%+.1f", GainDbFromValue(value));
    case kBandDelay:
      return Format("%.2f", DelayMsFromValue(value));
    case kBandPolarity:
      return value >= 0.5f ? "Invert" : "Normal";
    default:
      return value >= 0.5f ? "On" : "Off";
  }
}

int BandCountFromValue(float value) {
  return 2 + static_cast<int>(std::lround(std::clamp(value, 0.0f, 1.0f) * 2.0f));
}
float ValueForBandCount(int bands) {
  return Clamp01((bands - 2) / 2.0);
}

double FrequencyFromValue(float value) {
  const double hz =
      kMinFrequencyHz * std::pow(kMaxFrequencyHz / kMinFrequencyHz, std::clamp(value, 0.0f, 1.0f));
  return std::clamp(std::round(hz), kMinFrequencyHz, kMaxFrequencyHz);
}
float ValueForFrequency(double hz) {
  return Clamp01(std::log(hz / kMinFrequencyHz) / std::log(kMaxFrequencyHz / kMinFrequencyHz));
}

double GainDbFromValue(float value) {
  const double db = kMinGainDb + (kMaxGainDb - kMinGainDb) * std::clamp(value, 0.0f, 1.0f);
  return std::round(db * 10.0) / 10.0;
}
float ValueForGainDb(double db) {
  return Clamp01((db - kMinGainDb) / (kMaxGainDb - kMinGainDb));
}

double DelayMsFromValue(float value) {
  return std::round(kMaxDelayMs * std::clamp(value, 0.0f, 1.0f) * 100.0) / 100.0;
}
float ValueForDelayMs(double ms) {
  return Clamp01(ms / kMaxDelayMs);
}

TCrossoverSettings SettingsFromValues(const TParamValues& values) {
  TCrossoverSettings settings;
  settings.band_count = BandCountFromValue(values[kParamBands]);
  for (int x = 0; x < kCrossoverCount; ++x)
    settings.frequency_hz[x] = FrequencyFromValue(values[kParamFirstFrequency + x]);
  for (int b = 0; b < kBandCount; ++b) {
    TBandSettings& band = settings.band[b];
    band.gain_db = GainDbFromValue(values[BandParam(b, kBandGain)]);
    band.delay_ms = DelayMsFromValue(values[BandParam(b, kBandDelay)]);
    band.inverted = values[BandParam(b, kBandPolarity)] >= 0.5f;
    band.muted = values[BandParam(b, kBandMute)] >= 0.5f;
  }
  return settings;
}

std::array<TProgram, kProgramCount> FactoryPrograms() {
  const auto make = [](const char* name, int bands, double f1, double f2, double f3) {
    TProgram program{name, {}};
    program.values[kParamBands] = ValueForBandCount(bands);
    const double frequencies[kCrossoverCount] = {f1, f2, f3};
    for (int x = 0; x < kCrossoverCount; ++x)
      program.values[kParamFirstFrequency + x] = ValueForFrequency(frequencies[x]);
    for (int b = 0; b < kBandCount; ++b)
      program.values[BandParam(b, kBandGain)] = ValueForGainDb(0);
    return program;
  };
  return {make("4-way default", 4, 80, 500, 3000), make("3-way", 3, 250, 3000, 10000),
          make("2-way 80 Hz sub", 2, 80, 1000, 10000)};
}

std::vector<uint8_t> EncodeProgramChunk(const TProgram& program) {
  return Encode(TChunkKind::kProgram, &program, 1, 0);
}

std::vector<uint8_t> EncodeBankChunk(const std::array<TProgram, kProgramCount>& programs,
                                     int current) {
  return Encode(TChunkKind::kBank, programs.data(), kProgramCount, current);
}

std::optional<TDecodedChunk> DecodeChunk(const uint8_t* data, size_t size, TChunkKind kind) {
  if (!data || size < kChunkHeaderSize + kChunkCrcSize) return std::nullopt;
  if (std::memcmp(data, kChunkMagic, 4) != 0 || GetU32(data + 4) != kChunkVersion ||
      GetU32(data + 8) != static_cast<uint32_t>(kind) || GetU32(data + 12) != kParamCount)
    return std::nullopt;
  const uint32_t count = GetU32(data + 16);
  const uint32_t current = GetU32(data + 20);
  const uint32_t expected_count = kind == TChunkKind::kProgram ? 1 : kProgramCount;
  if (count != expected_count || current >= count) return std::nullopt;
  if (size != kChunkHeaderSize + count * kProgramRecordSize + kChunkCrcSize) return std::nullopt;
  if (GetU32(data + size - kChunkCrcSize) != Crc32(data, size - kChunkCrcSize)) return std::nullopt;
  TDecodedChunk decoded;
  decoded.current = static_cast<int>(current);
  decoded.programs.resize(count);
  for (uint32_t i = 0; i < count; ++i)
    if (!GetProgram(data + kChunkHeaderSize + i * kProgramRecordSize, decoded.programs[i]))
      return std::nullopt;
  return decoded;
}

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace crossover
