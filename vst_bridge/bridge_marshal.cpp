#include "vst_bridge/bridge_marshal.h"

namespace vst_bridge {

TPointerUse DispatcherPointerUse(VstInt32 opcode, bool has_pointer) noexcept {
  switch (opcode) {
    case effSetProgramName:
    case effCanDo:
    case kEffString2Parameter:
      return TPointerUse::TextIn;
    case effGetProgramName:
    case effGetParamLabel:
    case effGetParamDisplay:
    case effGetParamName:
    case effGetEffectName:
    case effGetVendorString:
    case effGetProductString:
    case effShellGetNextPlugin:
    case kEffGetProgramNameIndexed:
      return TPointerUse::TextOut;
    case effEditGetRect:
      return TPointerUse::RectOut;
    case effEditOpen:
      return TPointerUse::WindowHandle;
    case effGetChunk:
      return TPointerUse::ChunkOut;
    case effSetChunk:
      return TPointerUse::ChunkIn;
    case kEffProcessEvents:
      return TPointerUse::EventsIn;
    case kEffGetInputProperties:
    case kEffGetOutputProperties:
      return TPointerUse::PinOut;
    case kEffGetParameterProperties:
      return TPointerUse::ParameterOut;
    case effBeginLoadProgram:
    case kEffBeginLoadBank:
      return TPointerUse::PatchInfoIn;
    case kEffSetSpeakerArrangement:
      return TPointerUse::SpeakersIn;
    case kEffGetSpeakerArrangement:
      return TPointerUse::SpeakersOut;
    case effOpen:
    case effClose:
    case effSetProgram:
    case effGetProgram:
    case effSetSampleRate:
    case effSetBlockSize:
    case effMainsChanged:
    case effEditClose:
    case effEditIdle:
    case effEditTop:
    case effEditSleep:
    case effIdentify:
    case effGetPlugCategory:
    case effSetBypass:
    case effGetVendorVersion:
    case effIdle:
    case effGetVstVersion:
      return TPointerUse::None;
    default:
      // What a pointer of an unknown request points to is unknown: it cannot cross.
      return has_pointer ? TPointerUse::Refused : TPointerUse::None;
  }
}

TPointerUse CallbackPointerUse(VstInt32 opcode, bool has_pointer) noexcept {
  // The host answers by the opcode's low byte alone: classified otherwise, an answer that is
  // an address of the host's would cross as a number.
  switch (opcode & 0xFF) {
    case audioMasterGetTime:
      return TPointerUse::TimeAnswer;
    case audioMasterProcessEvents:
      return TPointerUse::EventsIn;
    case audioMasterGetVendorString:
    case audioMasterGetProductString:
      return TPointerUse::TextOut;
    case audioMasterCanDo:
      return TPointerUse::TextIn;
    case audioMasterGetDirectory:
      return TPointerUse::DirectoryAnswer;
    case audioMasterAutomate:
    case audioMasterVersion:
    case audioMasterCurrentId:
    case audioMasterIdle:
    case audioMasterPinConnected:
    case audioMasterWantMidi:
    case audioMasterSetTime:
    case audioMasterTempoAt:
    case audioMasterGetNumAutomatableParameters:
    case audioMasterGetParameterQuantization:
    case audioMasterIOChanged:
    case audioMasterNeedIdle:
    case audioMasterSizeWindow:
    case audioMasterGetSampleRate:
    case audioMasterGetBlockSize:
    case audioMasterGetInputLatency:
    case audioMasterGetOutputLatency:
    case audioMasterWillReplaceOrAccumulate:
    case audioMasterGetCurrentProcessLevel:
    case audioMasterGetAutomationState:
    case audioMasterGetVendorVersion:
    case audioMasterGetLanguage:
    case audioMasterUpdateDisplay:
    case audioMasterBeginEdit:
    case audioMasterEndEdit:
      return TPointerUse::None;
    default:
      // Windows, file selectors, speaker answers, offline tasks, vendor records.
      return has_pointer ? TPointerUse::Refused : TPointerUse::None;
  }
}

const char* DispatcherCallName(VstInt32 opcode) noexcept {
  switch (opcode) {
    case effOpen:
      return "effOpen";
    case effClose:
      return "effClose";
    case effSetProgram:
      return "effSetProgram";
    case effGetProgram:
      return "effGetProgram";
    case effSetProgramName:
      return "effSetProgramName";
    case effGetProgramName:
      return "effGetProgramName";
    case effGetParamLabel:
      return "effGetParamLabel";
    case effGetParamDisplay:
      return "effGetParamDisplay";
    case effGetParamName:
      return "effGetParamName";
    case effSetSampleRate:
      return "effSetSampleRate";
    case effSetBlockSize:
      return "effSetBlockSize";
    case effMainsChanged:
      return "effMainsChanged";
    case effEditGetRect:
      return "effEditGetRect";
    case effEditOpen:
      return "effEditOpen";
    case effEditClose:
      return "effEditClose";
    case effEditIdle:
      return "effEditIdle";
    case effGetChunk:
      return "effGetChunk";
    case effSetChunk:
      return "effSetChunk";
    case effCanDo:
      return "effCanDo";
    case effGetEffectName:
      return "effGetEffectName";
    default:
      return "dispatcher";
  }
}

namespace {

struct TSysexEvent {
  VstInt32 type;
  VstInt32 byteSize;
  VstInt32 deltaFrames;
  VstInt32 flags;
  VstInt32 dumpBytes;
  VstIntPtr resvd1;
  char* sysexDump;
  VstIntPtr resvd2;
};

struct TEventList {
  VstInt32 numEvents;
  VstIntPtr reserved;
  uint8_t* events[2];
};

constexpr int32_t kMaxSysexBytes = 60000;

bool Put(uint8_t*& at, const uint8_t* end, const void* bytes, size_t size) noexcept {
  if (static_cast<size_t>(end - at) < size) return false;
  std::memcpy(at, bytes, size);
  at += size;
  return true;
}

bool Get(const uint8_t*& at, const uint8_t* end, void* bytes, size_t size) noexcept {
  if (static_cast<size_t>(end - at) < size) return false;
  std::memcpy(bytes, at, size);
  at += size;
  return true;
}

}  // namespace

size_t SerializeEvents(const void* events, uint8_t* target, size_t capacity) noexcept {
  const auto* list = static_cast<const TEventList*>(events);
  const VstInt32 count = list->numEvents;
  if (count < 0 || count > kMaxEvents) return 0;
  uint8_t* at = target;
  const uint8_t* const end = target + capacity;
  if (!Put(at, end, &count, sizeof count)) return 0;
  for (VstInt32 i = 0; i < count; ++i) {
    const uint8_t* event = list->events[i];
    if (!event) return 0;
    VstInt32 type = 0;
    std::memcpy(&type, event, sizeof type);
    if (type != kSysexEventType) {
      if (!Put(at, end, event, kEventBytes)) return 0;
      continue;
    }
    const auto* sysex = reinterpret_cast<const TSysexEvent*>(event);
    const VstInt32 fields[5] = {sysex->type, sysex->byteSize, sysex->deltaFrames, sysex->flags,
                                sysex->dumpBytes};
    if (fields[4] < 0 || fields[4] > kMaxSysexBytes || (fields[4] > 0 && !sysex->sysexDump))
      return 0;
    if (!Put(at, end, fields, sizeof fields) ||
        !Put(at, end, sysex->sysexDump, static_cast<size_t>(fields[4])))
      return 0;
  }
  return static_cast<size_t>(at - target);
}

void* RebuildEvents(const uint8_t* source, size_t size, TEventStore& store) noexcept {
  const uint8_t* at = source;
  const uint8_t* const end = source + size;
  VstInt32 count = 0;
  if (!Get(at, end, &count, sizeof count) || count < 0 || count > kMaxEvents) return nullptr;
  uint8_t* payload = store.payload;
  const uint8_t* const payload_end = store.payload + sizeof store.payload;
  for (VstInt32 i = 0; i < count; ++i) {
    VstInt32 type = 0;
    if (static_cast<size_t>(end - at) < sizeof type) return nullptr;
    std::memcpy(&type, at, sizeof type);
    uint8_t* const event = payload;
    if (type != kSysexEventType) {
      if (static_cast<size_t>(payload_end - payload) < kEventBytes) return nullptr;
      if (!Get(at, end, payload, kEventBytes)) return nullptr;
      payload += kEventBytes;
    } else {
      VstInt32 fields[5];
      if (!Get(at, end, fields, sizeof fields)) return nullptr;
      const auto dump_bytes = static_cast<size_t>(fields[4]);
      if (fields[4] < 0 || fields[4] > kMaxSysexBytes ||
          static_cast<size_t>(payload_end - payload) < sizeof(TSysexEvent) + dump_bytes + 8)
        return nullptr;
      TSysexEvent sysex{fields[0], fields[1], fields[2], fields[3], fields[4], 0, nullptr, 0};
      sysex.sysexDump = reinterpret_cast<char*>(payload + sizeof(TSysexEvent));
      if (!Get(at, end, sysex.sysexDump, dump_bytes)) return nullptr;
      std::memcpy(payload, &sysex, sizeof sysex);
      payload += (sizeof(TSysexEvent) + dump_bytes + 7) / 8 * 8;
    }
    store.list.events[i] = event;
  }
  store.list.numEvents = count;
  store.list.reserved = 0;
  return &store.list;
}

}  // namespace vst_bridge
