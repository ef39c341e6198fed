#include "vst_host/preset_format.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/four_char.h"

namespace vst_preset {

const char* const kNotForThisPlugin = "preset file not for this plugin!";
const char* const kTruncated = "preset file is truncated!";

namespace {

constexpr size_t kFxIdOffset = 16;
constexpr size_t kNumParamsOffset = 24;
constexpr size_t kNameOffset = 28;
constexpr size_t kFormByteOffset = 9;

uint32_t ReadBigEndian(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void WriteBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void WriteHeader(std::vector<uint8_t>& out, uint32_t byte_size, int32_t fx_magic, int32_t fx_id,
                 int32_t fx_version, int32_t num_params, const std::string& name) {
  WriteBigEndian(out, static_cast<uint32_t>(FourCharToLong("CcnK")));
  WriteBigEndian(out, byte_size);
  WriteBigEndian(out, static_cast<uint32_t>(fx_magic));
  WriteBigEndian(out, 1);
  WriteBigEndian(out, static_cast<uint32_t>(fx_id));
  WriteBigEndian(out, static_cast<uint32_t>(fx_version));
  WriteBigEndian(out, static_cast<uint32_t>(num_params));
  uint8_t field[kProgramNameSize] = {};
  std::memcpy(field, name.data(), std::min(name.size(), kProgramNameWritten));
  // A name with an embedded NUL ends there, like any text the effect reads.
  out.insert(out.end(), field, field + kProgramNameSize);
}

}  // namespace

TPresetContent ParsePreset(const uint8_t* data, size_t size, int32_t effect_id,
                           int32_t effect_param_count) {
  if (size <= kFormByteOffset) throw EPresetError(kTruncated);
  TPresetContent content;
  content.chunk_form = data[kFormByteOffset] != 'x';
  const size_t header = content.chunk_form ? kChunkHeaderSize : kParameterHeaderSize;
  if (size < header) throw EPresetError(kTruncated);
  if (static_cast<int32_t>(ReadBigEndian(data + kFxIdOffset)) != effect_id)
    throw EPresetError(kNotForThisPlugin);

  const char* name = reinterpret_cast<const char*>(data + kNameOffset);
  content.program_name.assign(name, strnlen(name, kProgramNameSize));

  const size_t rest = size - header;
  if (content.chunk_form) {
    content.chunk.assign(data + header, data + size);
    return content;
  }
  // The file's count is believed only as far as the effect has parameters and the file
  // holds whole values.
  const int32_t announced = static_cast<int32_t>(ReadBigEndian(data + kNumParamsOffset));
  size_t count = announced > 0 ? static_cast<size_t>(announced) : 0;
  count = std::min(count, effect_param_count > 0 ? static_cast<size_t>(effect_param_count) : 0);
  count = std::min(count, rest / 4);
  content.parameters.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t bits = ReadBigEndian(data + header + 4 * i);
    std::memcpy(&content.parameters[i], &bits, sizeof bits);
  }
  return content;
}

std::vector<uint8_t> BuildParameterPreset(int32_t fx_id, int32_t fx_version,
                                          const std::string& program_name,
                                          const std::vector<float>& parameters) {
  std::vector<uint8_t> out;
  out.reserve(kParameterHeaderSize + 4 * parameters.size());
  const auto count = static_cast<uint32_t>(parameters.size());
  WriteHeader(out, 48 + 4 * count, FourCharToLong("FxCk"), fx_id, fx_version,
              static_cast<int32_t>(count), program_name);
  for (float value : parameters) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    WriteBigEndian(out, bits);
  }
  return out;
}

std::vector<uint8_t> BuildChunkPreset(int32_t fx_id, int32_t fx_version, int32_t num_params,
                                      const std::string& program_name, const uint8_t* chunk,
                                      size_t chunk_size) {
  if (chunk_size > std::numeric_limits<uint32_t>::max() - 52)
    throw EPresetError("preset chunk is too large!");
  std::vector<uint8_t> out;
  out.reserve(kChunkHeaderSize + chunk_size);
  const auto size = static_cast<uint32_t>(chunk_size);
  WriteHeader(out, 52 + size, FourCharToLong("FPCh"), fx_id, fx_version, num_params, program_name);
  WriteBigEndian(out, size);
  if (chunk_size) out.insert(out.end(), chunk, chunk + chunk_size);
  return out;
}

}  // namespace vst_preset
