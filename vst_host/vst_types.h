#pragma once

// The VST 2 interface as this host uses it: the effect record and its routines, the opcodes
// in both directions, flag sets, the time-information record and the records that pass
// through the host callback. The Windows build lays everything out as 32-bit Windows does;
// the native build uses the interface's 64-bit form (pointer-sized value and result), so
// that real effects of the platform load.
#include <cstddef>
#include <cstdint>

#include "common/enum_set.h"
#include "common/event.h"
#include "common/four_char.h"
#include "common/object.h"

#if defined(_WIN32) && defined(__i386__)
#define VSTCALLBACK __cdecl
#else
#define VSTCALLBACK
#endif

using VstInt32 = int32_t;
using VstIntPtr = intptr_t;

struct AEffect;

using audioMasterCallback = VstIntPtr(VSTCALLBACK*)(AEffect* effect, VstInt32 opcode,
                                                    VstInt32 index, VstIntPtr value, void* ptr,
                                                    float opt);
using AEffectDispatcherProc = VstIntPtr(VSTCALLBACK*)(AEffect* effect, VstInt32 opcode,
                                                      VstInt32 index, VstIntPtr value, void* ptr,
                                                      float opt);
using AEffectProcessProc = void(VSTCALLBACK*)(AEffect* effect, float** inputs, float** outputs,
                                              VstInt32 sampleFrames);
using AEffectProcessDoubleProc = void(VSTCALLBACK*)(AEffect* effect, double** inputs,
                                                    double** outputs, VstInt32 sampleFrames);
using AEffectSetParameterProc = void(VSTCALLBACK*)(AEffect* effect, VstInt32 index, float value);
using AEffectGetParameterProc = float(VSTCALLBACK*)(AEffect* effect, VstInt32 index);
// The library's entry routine: the host callback in, the effect record (or null) out.
using VstPluginMainProc = AEffect*(VSTCALLBACK*)(audioMasterCallback host);

constexpr VstInt32 kEffectMagic = FourCharToLong('V', 's', 't', 'P');

struct AEffect {
  VstInt32 magic;
  AEffectDispatcherProc dispatcher;
  AEffectProcessProc process;
  AEffectSetParameterProc setParameter;
  AEffectGetParameterProc getParameter;
  VstInt32 numPrograms;
  VstInt32 numParams;
  VstInt32 numInputs;
  VstInt32 numOutputs;
  VstInt32 flags;
  VstIntPtr resvd1;
  VstIntPtr resvd2;
  VstInt32 initialDelay;
  VstInt32 realQualities;
  VstInt32 offQualities;
  float ioRatio;
  void* object;
  void* user;
  VstInt32 uniqueID;
  VstInt32 version;
  AEffectProcessProc processReplacing;
  AEffectProcessDoubleProc processDoubleReplacing;
  char future[56];
};

struct ERect {
  int16_t top;
  int16_t left;
  int16_t bottom;
  int16_t right;
};

constexpr ERect MakeERect(int16_t left, int16_t top, int16_t right, int16_t bottom) noexcept {
  return ERect{top, left, bottom, right};
}

struct VstTimeInfo {
  double samplePos;
  double sampleRate;
  double nanoSeconds;
  double ppqPos;
  double tempo;
  double barStartPos;
  double cycleStartPos;
  double cycleEndPos;
  VstInt32 timeSigNumerator;
  VstInt32 timeSigDenominator;
  VstInt32 smpteOffset;
  VstInt32 smpteFrameRate;
  VstInt32 samplesToNextClock;
  VstInt32 flags;
};

// Passed through unchanged; the host never looks inside.
struct VstEvents;
struct VstOfflineTask;
using PVstEvents = VstEvents*;
using PVstOfflineTask = VstOfflineTask*;

struct VstPatchChunkInfo {
  VstInt32 version;
  VstInt32 pluginUniqueID;
  VstInt32 pluginVersion;
  VstInt32 numElements;
  char future[48];
};

// The deprecated request to open a window.
struct VstWindow {
  char title[128];
  int16_t xPos;
  int16_t yPos;
  int16_t width;
  int16_t height;
  VstInt32 style;
  void* parent;
  void* userHandle;
  void* winHandle;
  char future[104];
};

struct VstFileType {
  char name[128];
  char macType[8];
  char dosType[8];
  char unixType[8];
  char mimeType1[128];
  char mimeType2[128];
};

enum VstFileSelectCommand : VstInt32 {
  kVstFileLoad = 0,
  kVstFileSave = 1,
  kVstMultipleFilesLoad = 2,
};

struct VstFileSelect {
  VstInt32 command;
  VstInt32 type;
  VstInt32 macCreator;
  VstInt32 nbFileTypes;
  VstFileType* fileTypes;
  char title[1024];
  char* initialPath;
  char* returnPath;
  VstInt32 sizeReturnPath;
  char** returnMultiplePaths;
  VstInt32 nbReturnPath;
  VstIntPtr reserved;
  char future[116];
};

#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(AEffect) == 144);
static_assert(offsetof(AEffect, flags) == 36 && offsetof(AEffect, initialDelay) == 48);
static_assert(offsetof(AEffect, uniqueID) == 72 && offsetof(AEffect, processReplacing) == 80);
static_assert(offsetof(AEffect, processDoubleReplacing) == 84 && offsetof(AEffect, future) == 88);
static_assert(sizeof(VstTimeInfo) == 88 && offsetof(VstTimeInfo, flags) == 84);
static_assert(sizeof(ERect) == 8);
static_assert(sizeof(VstPatchChunkInfo) == 64);
static_assert(offsetof(VstWindow, xPos) == 128 && offsetof(VstWindow, style) == 136);
static_assert(offsetof(VstWindow, parent) == 140);
static_assert(sizeof(VstFileType) == 408);
static_assert(offsetof(VstFileSelect, fileTypes) == 16 && offsetof(VstFileSelect, title) == 20);
static_assert(offsetof(VstFileSelect, initialPath) == 1044);
static_assert(offsetof(VstFileSelect, returnPath) == 1048);
static_assert(offsetof(VstFileSelect, sizeReturnPath) == 1052);
#endif

// Dispatcher requests the host sends.
enum AEffectOpcodes : VstInt32 {
  effOpen = 0,
  effClose = 1,
  effSetProgram = 2,
  effGetProgram = 3,
  effSetProgramName = 4,
  effGetProgramName = 5,
  effGetParamLabel = 6,
  effGetParamDisplay = 7,
  effGetParamName = 8,
  effSetSampleRate = 10,
  effSetBlockSize = 11,
  effMainsChanged = 12,
  effEditGetRect = 13,
  effEditOpen = 14,
  effEditClose = 15,
  effEditIdle = 19,
  effEditTop = 20,
  effEditSleep = 21,
  effIdentify = 22,
  effGetChunk = 23,
  effSetChunk = 24,
  effGetPlugCategory = 35,
  effSetBypass = 44,
  effGetEffectName = 45,
  effGetVendorString = 47,
  effGetProductString = 48,
  effGetVendorVersion = 49,
  effCanDo = 51,
  effIdle = 53,
  effGetVstVersion = 58,
  effShellGetNextPlugin = 70,
  effBeginLoadProgram = 76,
};

// Host-callback requests; the ordinal is the opcode.
enum TAudioMasterOpcode : VstInt32 {
  audioMasterAutomate,
  audioMasterVersion,
  audioMasterCurrentId,
  audioMasterIdle,
  audioMasterPinConnected,
  audioMasterUnused,
  audioMasterWantMidi,
  audioMasterGetTime,
  audioMasterProcessEvents,
  audioMasterSetTime,
  audioMasterTempoAt,
  audioMasterGetNumAutomatableParameters,
  audioMasterGetParameterQuantization,
  audioMasterIOChanged,
  audioMasterNeedIdle,
  audioMasterSizeWindow,
  audioMasterGetSampleRate,
  audioMasterGetBlockSize,
  audioMasterGetInputLatency,
  audioMasterGetOutputLatency,
  audioMasterGetPreviousPlug,
  audioMasterGetNextPlug,
  audioMasterWillReplaceOrAccumulate,
  audioMasterGetCurrentProcessLevel,
  audioMasterGetAutomationState,
  audioMasterOfflineStart,
  audioMasterOfflineRead,
  audioMasterOfflineWrite,
  audioMasterOfflineGetCurrentPass,
  audioMasterOfflineGetCurrentMetaPass,
  audioMasterSetOutputSampleRate,
  audioMasterGetOutputSpeakerArrangement,
  audioMasterGetVendorString,
  audioMasterGetProductString,
  audioMasterGetVendorVersion,
  audioMasterVendorSpecific,
  audioMasterSetIcon,
  audioMasterCanDo,
  audioMasterGetLanguage,
  audioMasterOpenWindow,
  audioMasterCloseWindow,
  audioMasterGetDirectory,
  audioMasterUpdateDisplay,
  audioMasterBeginEdit,
  audioMasterEndEdit,
  audioMasterOpenFileSelector,
  audioMasterCloseFileSelector,
  audioMasterEditFile,
  audioMasterGetChunkFile,
  audioMasterGetInputSpeakerArrangement,
};

enum TEffFlag {
  effFlagsHasEditor,
  effFlagsHasClip,
  effFlagsHasVu,
  effFlagsCanMono,
  effFlagsCanReplacing,
  effFlagsProgramChunks,
  effFlagsUnused1,
  effFlagsUnused2,
  effFlagsIsSynth,
  effFlagsNoSoundInStop,
  effFlagsExtIsAsync,
  effFlagsExtHasBuffer,
  effFlagsCanDoubleReplacing,
};
using TEffFlags = TEnumSet<TEffFlag>;

// The flags of an effect record as a set: only the low 16 bits carry meaning.
constexpr TEffFlags EffFlagsFromRecord(VstInt32 flags) noexcept {
  return TEffFlags::FromBits(static_cast<uint32_t>(flags) & 0xFFFFu);
}

enum TVstTimeInfoFlag {
  vtiTransportChanged,
  vtiTransportPlaying,
  vtiTransportCycleActive,
  vtiTransportRecording,
  vtiTransportUnused1,
  vtiTransportUnused2,
  vtiAutomationWriting,
  vtiAutomationReading,
  vtiNanosValid,
  vtiPpqPosValid,
  vtiTempoValid,
  vtiBarsValid,
  vtiCyclePosValid,
  vtiTimeSigValid,
  vtiSmpteValid,
  vtiClockValid,
};
using TVstTimeInfoFlags = TEnumSet<TVstTimeInfoFlag>;

enum TVstHostLanguage {
  kVstLangUnknown,
  kVstLangEnglish,
  kVstLangGerman,
  kVstLangFrench,
  kVstLangItalian,
  kVstLangSpanish,
  kVstLangJapanese,
};

enum TVstPluginCategory {
  vpcUnknown,
  vpcEffect,
  vpcSynth,
  vpcAnalysis,
  vpcMastering,
  vpcSpacializer,
  vpcRoomFx,
  vpcSurroundFx,
  vpcRestoration,
  vpcOfflineProcess,
  vpcShell,
  vpcGenerator,
};

enum TReplaceOrAccumulate { roa0NotSupported, roa1Replace, roa2Accumulate };
enum TCurrentProcessLevel {
  cpl0NotSupported,
  cpl1UserThread,
  cpl2AudioThread,
  cpl3Sequencer,
  cpl4OfflineProcessing,
};
enum TAutomationState { as0NotSupported, as1Off, as2Read, as3Write, as4ReadWrite };
enum TGUIStyle { gsDefault, gsOld, gsList };

enum THostCanDo {
  hcdSendVstEvents,
  hcdSendVstMidiEvent,
  hcdSendVstTimeInfo,
  hcdReceiveVstEvents,
  hcdReceiveVstMidiEvent,
  hcdReceiveVstTimeInfo,
  hcdReportConnectionChanges,
  hcdAcceptIOChanges,
  hcdSizeWindow,
  hcdAsyncProcessing,
  hcdOffline,
  hcdSupplyIdle,
  hcdSupportShell,
  hcdOpenFileSelector,
  hcdCloseFileSelector,
  hcdEditFile,
  hcdShellCategory,
  hcdStartStopProcess,
};
using THostCanDos = TEnumSet<THostCanDo>;
constexpr int kHostCanDoCount = 18;
// The capability texts, in ordinal order.
extern const char* const kHostCanDoTexts[kHostCanDoCount];

// The window or control an editor or parameter view is shown in (platform/ui.h).
namespace platform {
class Control;
}

using TVstAutomateEvent = TEvent<void(TObject* Sender, VstInt32 ParamIndex, VstIntPtr ParamValue)>;
using TVstAutomationNotifyEvent = TEvent<void(TObject* Sender, VstInt32 ParameterIndex)>;
using TVstSampleRateChangedEvent = TEvent<void(TObject* Sender, float SampleRate)>;
using TVstPinConnectedEvent = TEvent<bool(TObject* Sender, VstInt32 PinNr, bool isInput)>;
using TVstOfflineEvent = TEvent<void(TObject* Sender, PVstOfflineTask VstOfflineTaskPointer)>;
using TVstProcessEventsEvent = TEvent<void(TObject* Sender, PVstEvents p)>;
using TVstShowEditEvent = TEvent<void(TObject* Sender, platform::Control* Form)>;
using TVendorSpecificEvent = TEvent<VstIntPtr(TAudioMasterOpcode opcode, VstInt32 index,
                                              VstIntPtr value, void* ptr, float opt)>;
