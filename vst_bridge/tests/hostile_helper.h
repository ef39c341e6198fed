#pragma once

// How the tests' hostile helper (hostile_helper_main.cpp) bends its replies: the bits of
// PARTILOOM_HOSTILE_HELPER in its environment.
#include <cstdint>
#include <string>

#include "platform/system.h"

// A piece of a chunk states four times the data area's size.
constexpr uint32_t kBendChunkPieceBeyondArea = 1;
// effGetChunk answers "too large" with a size of 100 bytes.
constexpr uint32_t kBendChunkTooLargeWithinLimit = 2;
// Both speaker arrangements of effGetSpeakerArrangement claim a million speakers.
constexpr uint32_t kBendMillionSpeakers = 4;

// The hostile helper beside the running test program.
inline std::string HostileHelperPath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "\\vst_bridge_hostile_helper.exe";
#else
  return platform::ExecutableDirectory() + "/vst_bridge_hostile_helper";
#endif
}
