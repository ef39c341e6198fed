#pragma once

// The switches of the hostile test effect, handed to its export "TestEffectHostile" together
// with a seed before the host loads it.
#include <cstdint>

constexpr uint32_t kHostileCounts = 1;     // counts from 0 and negative up to 2^31 - 1
constexpr uint32_t kHostileSizes = 2;      // chunk sizes and null chunks
constexpr uint32_t kHostileTexts = 4;      // texts of any length without their terminator
constexpr uint32_t kHostileCallbacks = 8;  // host callbacks from inside every call
constexpr uint32_t kHostileThreads = 16;   // host callbacks from three threads of its own
constexpr uint32_t kHostileStorms = 32;    // the same request hundreds of times in a row
constexpr uint32_t kHostileEverything = 63;

using TestEffectHostileProc = void (*)(uint32_t seed, uint32_t behaviours);
