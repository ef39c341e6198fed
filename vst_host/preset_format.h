#pragma once

// The program file of the VST 2 standard in its two forms (parameter list and opaque chunk),
// kept apart from the effect so that the reader can be exercised on any bytes. All numbers
// in the file are big-endian.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vst_preset {

constexpr size_t kParameterHeaderSize = 56;
constexpr size_t kChunkHeaderSize = 60;
constexpr size_t kProgramNameSize = 28;
// Of the name field, at most this many characters are written (then at least one NUL).
constexpr size_t kProgramNameWritten = 26;

// A preset that cannot be applied; the text is the message for the user.
class EPresetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

extern const char* const kNotForThisPlugin;  // "preset file not for this plugin!"
extern const char* const kTruncated;

struct TPresetContent {
  bool chunk_form = false;
  std::string program_name;
  // Parameter form: the values the file holds, at most as many as the effect has.
  std::vector<float> parameters;
  // Chunk form: every byte after the header, whatever the header's size field claims.
  std::vector<uint8_t> chunk;
};

// Reads a program file held whole in memory, for an effect with the given unique ID and
// parameter count. Throws EPresetError for a file too short for its header or one made
// for another effect. Never reads past `size` and never yields more than
// `effect_param_count` parameters, nor more than the file holds whole.
TPresetContent ParsePreset(const uint8_t* data, size_t size, int32_t effect_id,
                           int32_t effect_param_count);

// Writes the parameter form.
std::vector<uint8_t> BuildParameterPreset(int32_t fx_id, int32_t fx_version,
                                          const std::string& program_name,
                                          const std::vector<float>& parameters);
// Writes the chunk form; numParams is recorded as given.
std::vector<uint8_t> BuildChunkPreset(int32_t fx_id, int32_t fx_version, int32_t num_params,
                                      const std::string& program_name, const uint8_t* chunk,
                                      size_t chunk_size);

}  // namespace vst_preset
