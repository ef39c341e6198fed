// Fuzz target for the preset reader: any bytes, read for an effect with a known ID and
// parameter count. Beyond the sanitizers' own checks it holds the reader to its promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/four_char.h"
#include "vst_host/preset_format.h"

namespace {
constexpr int32_t kEffectParams = 8;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vst_preset;
  try {
    const TPresetContent content = ParsePreset(data, size, FourCharToLong("PlPr"), kEffectParams);
    if (content.chunk_form) {
      if (content.chunk.size() != size - kChunkHeaderSize) std::abort();
    } else {
      if (content.parameters.size() > kEffectParams) std::abort();
      if (content.parameters.size() > (size - kParameterHeaderSize) / 4) std::abort();
    }
    if (content.program_name.size() > kProgramNameSize) std::abort();
    // What was read writes back to a file that reads the same.
    const auto again = content.chunk_form
                           ? BuildChunkPreset(FourCharToLong("PlPr"), 1, 0, content.program_name,
                                              content.chunk.data(), content.chunk.size())
                           : BuildParameterPreset(FourCharToLong("PlPr"), 1, content.program_name,
                                                  content.parameters);
    const TPresetContent reread =
        ParsePreset(again.data(), again.size(), FourCharToLong("PlPr"), kEffectParams);
    if (reread.chunk != content.chunk || reread.parameters.size() != content.parameters.size())
      std::abort();
  } catch (const EPresetError&) {
  }
  return 0;
}
