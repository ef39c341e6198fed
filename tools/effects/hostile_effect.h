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
// Beyond every hostility above, for the effect bridge: processReplacing takes the process
// down (a fault on a thread of its own, where no guard is), or never returns.
constexpr uint32_t kHostileCrashInProcess = 64;
constexpr uint32_t kHostileHangInProcess = 128;
// The vendor-specific request (opcode 50) with this index turns the behaviour on at once.
constexpr int32_t kHostileCrashRequest = 0x43726173;  // "Cras"
constexpr int32_t kHostileHangRequest = 0x48616E67;   // "Hang"
// An effect that the host loads in a process of its own (the bridge's helper) takes its seed
// and behaviours from the environment: PARTILOOM_HOSTILE="<seed> <behaviours>".

using TestEffectHostileProc = void (*)(uint32_t seed, uint32_t behaviours);
