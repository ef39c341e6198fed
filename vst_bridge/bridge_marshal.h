#pragma once

// What the pointer argument of each dispatcher request and host callback is, so that each
// side knows what to carry across: the pointer itself never crosses. Requests the bridge
// does not know that come with a pointer are refused.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vst_host/vst_types.h"

namespace vst_bridge {

// Dispatcher opcodes with pointers beyond those the host names.
enum TBridgedOpcode : VstInt32 {
  kEffProcessEvents = 25,
  kEffString2Parameter = 27,
  kEffGetProgramNameIndexed = 29,
  kEffGetInputProperties = 33,
  kEffGetOutputProperties = 34,
  kEffSetSpeakerArrangement = 42,
  kEffVendorSpecific = 50,
  kEffGetParameterProperties = 56,
  kEffGetSpeakerArrangement = 69,
  kEffBeginLoadBank = 75,
};

enum class TPointerUse : uint8_t {
  None,             // no pointer (a pointer given anyway is not passed on)
  TextIn,           // a text the effect reads
  TextOut,          // a text the effect writes
  RectOut,          // ERect**: the effect names its editor's rectangle
  WindowHandle,     // a window handle, a number valid in every process of the session
  ChunkOut,         // void**: the effect names its chunk; value: none; answer: its size
  ChunkIn,          // the chunk, `value` bytes
  EventsIn,         // VstEvents*
  PinOut,           // VstPinProperties*
  ParameterOut,     // VstParameterProperties*
  PatchInfoIn,      // VstPatchChunkInfo*
  SpeakersIn,       // value and pointer: VstSpeakerArrangement* (input, output)
  SpeakersOut,      // value and pointer: VstSpeakerArrangement** (input, output)
  TimeAnswer,       // host callback: the answer is a VstTimeInfo*
  DirectoryAnswer,  // host callback: the answer is a text
  Refused,          // a pointer the bridge does not carry
};

TPointerUse DispatcherPointerUse(VstInt32 opcode, bool has_pointer) noexcept;
TPointerUse CallbackPointerUse(VstInt32 opcode, bool has_pointer) noexcept;
// The name a fault in a dispatcher request is recorded under (a literal).
const char* DispatcherCallName(VstInt32 opcode) noexcept;

// Texts: the host takes at most 255 characters of an effect's text and hands out larger
// buffers than it says, as effects write past what they are told.
constexpr size_t kMaxText = 255;
constexpr size_t kTextBuffer = 1024;
constexpr size_t kVendorText = 64;  // host callbacks for vendor and product
constexpr size_t kMaxDirectoryText = 4095;
// The largest chunk that crosses; larger ones are refused as the host refuses them.
constexpr uint64_t kMaxBridgedChunk = uint64_t(256) << 20;

// Fixed records the interface passes by pointer, by size: the bridge copies their bytes.
constexpr size_t kPinPropertiesBytes = 128;
constexpr size_t kParameterPropertiesBytes = 152;
constexpr size_t kSpeakerPropertiesBytes = 112;
constexpr size_t kSpeakerArrangementHeader = 8;  // type, numChannels
constexpr int32_t kMaxSpeakers = 64;
constexpr size_t kSpeakerArrangementBytes =
    kSpeakerArrangementHeader + kMaxSpeakers * kSpeakerPropertiesBytes;

// Copies a text of at most `limit` characters and its terminator; the length copied.
inline size_t CopyText(char* target, const char* source, size_t limit) noexcept {
  const size_t length = strnlen(source, limit);
  std::memcpy(target, source, length);
  target[length] = '\0';
  return length + 1;
}

// ---- events ------------------------------------------------------------------------------
// Events cross as a list of entries: each its fixed 32-byte event and, for a system-exclusive
// one, its dump bytes; the receiving side rebuilds the pointers into storage of its own.

constexpr int32_t kSysexEventType = 6;
constexpr size_t kEventBytes = 32;
constexpr int32_t kMaxEvents = 1024;

// The receiving side's events: fixed storage, so that rebuilding on the audio thread
// allocates nothing.
struct TEventStore {
  static constexpr size_t kPayloadBytes = size_t(64) << 10;
  // VstEvents: numEvents, reserved, then the event pointers.
  struct {
    VstInt32 numEvents;
    VstIntPtr reserved;
    void* events[kMaxEvents];
  } list;
  alignas(8) uint8_t payload[kPayloadBytes];
};

// Writes the events into `target` (at most `capacity` bytes); the bytes written, 0 when
// they do not fit or are beyond reason. Reads the events behind the fault guard's back: the
// caller guards.
size_t SerializeEvents(const void* events, uint8_t* target, size_t capacity) noexcept;
// Rebuilds serialized events in the store; the VstEvents to hand on, null when malformed.
void* RebuildEvents(const uint8_t* source, size_t size, TEventStore& store) noexcept;

}  // namespace vst_bridge
