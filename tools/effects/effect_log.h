#pragma once

// What a test effect records of the requests it receives, read by the tests through the
// effect library's export "TestEffectLog". The tests keep the library loaded themselves, so
// the record outlives the host's unloading and reloading of it.
#include <cstdint>

struct TEffectLogEntry {
  int32_t opcode;  // a dispatcher opcode, or one of the marks below
  int32_t index;
  int64_t value;
  float opt;
};

// Marks for what is not a dispatcher request.
constexpr int32_t kLogEnteredMain = -1;        // the entry routine "main" ran
constexpr int32_t kLogEnteredPluginMain = -2;  // the entry routine "VSTPluginMain" ran
constexpr int32_t kLogHostAnswer = -3;         // index: host opcode, value: its answer
constexpr int32_t kLogProcessReplacing = -4;   // value: sample frames
constexpr int32_t kLogSetParameter = -5;       // index: parameter, opt: value
constexpr int32_t kLogBankChunkEnd = -6;       // value: the byte after a bank chunk

constexpr int kEffectLogCapacity = 4096;

struct TEffectLog {
  int32_t count;
  TEffectLogEntry entries[kEffectLogCapacity];
};

// Faults the faulting effect can be armed with through its export "TestEffectArm".
constexpr uint32_t kArmDispatcherFault = 1;  // the next dispatcher request faults
constexpr uint32_t kArmProcessFault = 2;     // every processReplacing faults
constexpr uint32_t kArmSetChunkFault = 4;    // every effSetChunk faults
// Chunks that hold no usable state: effGetChunk answers a size of 0, a negative size, a null
// chunk, or a size running into memory that is not there.
constexpr uint32_t kArmChunkZeroSize = 8;
constexpr uint32_t kArmChunkNegativeSize = 16;
constexpr uint32_t kArmChunkNull = 32;
constexpr uint32_t kArmChunkShort = 64;
// processReplacing, setParameter and getParameter (any kind) end with flush-to-zero and
// denormals-are-zero on, rounding towards zero and the invalid and divide-by-zero exceptions
// unmasked, in both the x87 control word and MXCSR.
constexpr uint32_t kArmFloatingPointChange = 128;
// The "io" kind: its next processReplacing ends by taking the counts of the next program and
// reporting them through audioMasterIOChanged.
constexpr uint32_t kArmIOChangeInProcess = 256;
// getParameter faults for its second parameter (index 1), in every kind.
constexpr uint32_t kArmGetParameterFault = 512;
// The "io" kind: effOpen leaves it claiming a million outputs.
constexpr uint32_t kArmHugeCountsAtOpen = 1024;

using TestEffectLogProc = TEffectLog* (*)();
using TestEffectArmProc = void (*)(uint32_t faults);
