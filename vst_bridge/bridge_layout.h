#pragma once

// The shared memory between the plug-in's effect proxy and the helper process that hosts the
// effect. Both sides may differ in width (a 32-bit plug-in, a 64-bit helper): the layout
// holds fixed-width fields only, no pointers, every 64-bit field on an 8-byte boundary.
//
// Three channels, each one message slot with a data area, used in strict turns: a side
// writes the message and posts it; the other side answers with a reply, or first with a
// request of its own (a nested host callback), which the waiting side serves before it goes
// on waiting. Control carries the dispatcher and parameters (the host's threads), audio the
// process calls (the audio thread), callbacks the host callbacks the effect makes from
// threads that are in no request of the host's.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vst_bridge {

constexpr uint32_t kLayoutMagic = 0x504C4272;  // "PLBr"
constexpr uint32_t kLayoutVersion = 2;

// The fields of the effect record that the host reads, as the helper's effect has them.
struct TEffectRecord {
  int32_t numPrograms;
  int32_t numParams;
  int32_t numInputs;
  int32_t numOutputs;
  int32_t flags;
  int32_t initialDelay;
  int32_t uniqueID;
  int32_t version;
  uint32_t routines;  // kRoutine... bits: which routines the effect gives
  uint32_t reserved;
};

constexpr uint32_t kRoutineProcess = 1;
constexpr uint32_t kRoutineProcessReplacing = 2;
constexpr uint32_t kRoutineProcessDouble = 4;
constexpr uint32_t kRoutineSetParameter = 8;
constexpr uint32_t kRoutineGetParameter = 16;

enum TMessageKind : uint32_t {
  kReply = 1,
  // The proxy's requests.
  kLoad,          // data: the library path; the reply carries the record or, failed, a text
  kDispatch,      // a dispatcher request; the data as the opcode's pointer use says
  kSetParameter,  // index, opt
  kGetParameter,  // index; the reply's opt
  kProcess,       // value: frames, flags: kProcess...; the audio area holds the buffers
  kPutBulk,       // a piece of a chunk for the effect: value: its whole size, index: offset
  kGetBulk,       // a piece of the chunk taken last: index: offset; the reply: the piece
  kQuit,
  // The helper's request.
  kHostCallback,  // a host callback; flags: kCallback...
};

constexpr uint32_t kProcessAccumulating = 1;  // the effect's process: adds to the outputs
constexpr uint32_t kProcessDouble = 2;        // 64-bit samples

constexpr uint32_t kCallbackFromEffect = 1;  // the effect named its record (not a null one)
constexpr uint32_t kCallbackRefusedPointer =
    2;  // the request carried a pointer the bridge does not carry

constexpr uint32_t kReplyChunkCopyFaulted =
    1;                                       // effGetChunk: the chunk faulted while it was copied
constexpr uint32_t kReplyChunkTooLarge = 2;  // effGetChunk: beyond the bridge's limit, not copied

struct TMessage {
  uint32_t kind;
  int32_t opcode;
  int32_t index;
  uint32_t fault;  // a reply: the code of the effect's fault, 0 when it returned
  int64_t value;
  int64_t result;
  float opt;
  uint32_t size;        // bytes in the channel's data area
  uint32_t flags;       // kProcess..., kCallback..., kReply...
  uint32_t has_record;  // a helper's message: `record` holds the effect's fields
  int64_t period_us;    // kProcess: the block's length, for the helper's spinning
  int64_t posted_at;    // kProcess: when the proxy posted it (counter ticks, the same clock in
                        // both processes), so that the helper knows when the next is due
  TEffectRecord record;
};

// Messages posted to one side, and whether that side sleeps on its signal (else it spins).
struct alignas(64) TMailbox {
  std::atomic<uint32_t> posted;
  std::atomic<uint32_t> sleeping;
  std::atomic<uint32_t> woken;  // posts that had to wake this side through the system
  uint8_t padding[52];
};

enum TSide : uint32_t { kProxySide = 0, kHelperSide = 1 };

struct TChannelArea {
  TMailbox box[2];  // box[side]: messages to that side
  TMessage message;
};

enum TChannelId : uint32_t { kControlChannel, kAudioChannel, kCallbackChannel, kChannelCount };

struct alignas(64) TSharedHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t parent_id;
  std::atomic<uint32_t> quit;  // the proxy is going: the helper's waits end
};

// Where each part lies. The data areas: control carries chunks in pieces, so it is large
// enough for few pieces; the audio area holds the inputs and outputs of one exchange.
constexpr size_t kHeaderBytes = 4096;
constexpr size_t kChannelAreaBytes = 4096;  // TChannelArea, padded
constexpr size_t kControlDataBytes = size_t(1) << 20;
constexpr size_t kCallbackDataBytes = size_t(64) << 10;
constexpr size_t kAudioMessageDataBytes = size_t(64) << 10;
constexpr size_t kAudioBufferBytes = size_t(4) << 20;
// The most inputs or outputs an exchange carries (as many as the host adopts).
constexpr int32_t kMaxBridgedChannels = 1024;

constexpr size_t kControlAreaOffset = kHeaderBytes;
constexpr size_t kControlDataOffset = kControlAreaOffset + kChannelAreaBytes;
constexpr size_t kCallbackAreaOffset = kControlDataOffset + kControlDataBytes;
constexpr size_t kCallbackDataOffset = kCallbackAreaOffset + kChannelAreaBytes;
constexpr size_t kAudioAreaOffset = kCallbackDataOffset + kCallbackDataBytes;
constexpr size_t kAudioDataOffset = kAudioAreaOffset + kChannelAreaBytes;
constexpr size_t kAudioBufferOffset = kAudioDataOffset + kAudioMessageDataBytes;
constexpr size_t kSharedBytes = kAudioBufferOffset + kAudioBufferBytes;

// Where each channel's mailboxes and data lie, by TChannelId.
struct TChannelPlace {
  size_t area, data, capacity;
};
inline constexpr TChannelPlace kChannelPlaces[kChannelCount] = {
    {kControlAreaOffset, kControlDataOffset, kControlDataBytes},
    {kAudioAreaOffset, kAudioDataOffset, kAudioMessageDataBytes},
    {kCallbackAreaOffset, kCallbackDataOffset, kCallbackDataBytes},
};

static_assert(sizeof(TEffectRecord) == 40);
static_assert(sizeof(TMessage) == 104 && offsetof(TMessage, value) == 16);
static_assert(offsetof(TMessage, period_us) == 48 && offsetof(TMessage, record) == 64);
static_assert(sizeof(TMailbox) == 64 && sizeof(TChannelArea) <= kChannelAreaBytes);
static_assert(sizeof(TSharedHeader) <= kHeaderBytes);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// The names of the shared objects of one bridge, from the base the proxy chose.
inline std::string SignalName(const std::string& base, TChannelId channel, TSide side) {
  static const char* const kChannels[] = {"control", "audio", "callback"};
  return base + "-" + kChannels[channel] + (side == kProxySide ? "-proxy" : "-helper");
}

}  // namespace vst_bridge
