#include "vst_host/vst_plugin.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>
#include <thread>

#include "platform/dynamic_library.h"
#include "platform/fault_guard.h"
#include "platform/fault_log.h"
#include "platform/fpu.h"
#include "platform/system.h"
#include "vst_bridge/effect_proxy.h"
#include "vst_host/preset_format.h"
#include "vst_host/vst_host.h"

namespace {

// Effects are told a text buffer is 255 bytes; some write past what they are told, so the
// buffer handed out is larger. At most this many characters are taken from it.
constexpr size_t kMaxText = 255;
constexpr size_t kTextBuffer = 1024;
// A shell that never ends its list of names would hang the host.
constexpr int kMaxShellNames = 4096;
// The call a chunk that faults while it is copied is recorded under.
constexpr char kChunkCopyCall[] = "effGetChunk (copy)";
// How long the host's thread waits for an audio block in progress before it tries again
// later: an effect stuck in its process call must not hang the window.
constexpr auto kAudioBlockWait = std::chrono::milliseconds(100);

std::string TakeText(const char* buffer) {
  return std::string(buffer, strnlen(buffer, kMaxText));
}

}  // namespace

TVstPlugIn::TVstPlugIn(TVstPlugIns* Collection) : FCollection(Collection) {}

TVstPlugIn::~TVstPlugIn() {
  if (FDLLFileName.empty()) return;
  try {
    if (FEditVisible) CloseEdit();  // its handler may throw: nothing leaves a destructor
  } catch (...) {
  }
  Unload();
  ReleaseOwnEditorForm();
}

void TVstPlugIn::AssignTo(TObject* Dest) {
  auto* target = dynamic_cast<TVstPlugIn*>(Dest);
  if (!target) throw EVstError("Cannot assign a TVstPlugIn to this object");
  target->FDisplayName = FDisplayName;
  target->ReplaceOrAccumulate = ReplaceOrAccumulate;
  target->CurrentProcessLevel = CurrentProcessLevel;
  target->AutomationState = AutomationState;
  target->OnAudioMasterAutomate = OnAudioMasterAutomate;
  target->OnAudioMasterIdle = OnAudioMasterIdle;
  target->OnAudioMasterNeedIdle = OnAudioMasterNeedIdle;
  target->OnAudioMasterIOChanged = OnAudioMasterIOChanged;
  target->OnAudioMasterWantMidi = OnAudioMasterWantMidi;
  target->OnAudioMasterOfflineStart = OnAudioMasterOfflineStart;
  target->OnAudioMasterOfflineRead = OnAudioMasterOfflineRead;
  target->OnAudioMasterOfflineWrite = OnAudioMasterOfflineWrite;
  target->OnAudioMasterOfflineGetCurrentPass = OnAudioMasterOfflineGetCurrentPass;
  target->OnAudioMasterOfflineGetCurrentMetaPass = OnAudioMasterOfflineGetCurrentMetaPass;
  target->OnAudioMasterSetOutputSampleRate = OnAudioMasterSetOutputSampleRate;
  target->OnAudioMasterUpdateDisplay = OnAudioMasterUpdateDisplay;
  target->OnAudioMasterBeginEdit = OnAudioMasterBeginEdit;
  target->OnAudioMasterEndEdit = OnAudioMasterEndEdit;
  target->OnAudioMasterPinConnected = OnAudioMasterPinConnected;
  target->OnVendorSpecific = OnVendorSpecific;
  target->OnShowEdit = OnShowEdit;
  target->OnCloseEdit = OnCloseEdit;
  target->OnAfterLoad = OnAfterLoad;
  target->OnProcessEvents = OnProcessEvents;
  target->BridgeHelper = BridgeHelper;
  target->BridgeTimings = BridgeTimings;
  target->SetDLLFileName(FDLLFileName);
  target->SetOwnProcess(FOwnProcess);
  target->SetActive(FActive);
  target->FProgramNr = ProgramNr();
  // An effect without a bank chunk has nothing to hand over. As with a loaded preset, a
  // zero byte follows the data, as some effects read a terminating byte.
  std::vector<uint8_t> bank = GetChunk(false);
  if (bank.empty()) return;
  bank.push_back(0);
  target->SetChunk(bank.data(), static_cast<VstInt32>(bank.size() - 1), false);
}

void TVstPlugIn::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value)
    OpenEffect();
  else
    CloseEffect();
}

namespace {

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a fault in a control request is recorded under; a literal, as the record keeps
// only its address.
const char* OpcodeName(VstInt32 opcode) {
  static constexpr struct {
    VstInt32 opcode;
    const char* name;
  } kNames[] = {{effOpen, "effOpen"},
                {effClose, "effClose"},
                {effSetProgram, "effSetProgram"},
                {effGetProgram, "effGetProgram"},
                {effSetProgramName, "effSetProgramName"},
                {effGetProgramName, "effGetProgramName"},
                {effGetParamLabel, "effGetParamLabel"},
                {effGetParamDisplay, "effGetParamDisplay"},
                {effGetParamName, "effGetParamName"},
                {effSetSampleRate, "effSetSampleRate"},
                {effSetBlockSize, "effSetBlockSize"},
                {effMainsChanged, "effMainsChanged"},
                {effEditGetRect, "effEditGetRect"},
                {effEditOpen, "effEditOpen"},
                {effEditClose, "effEditClose"},
                {effEditIdle, "effEditIdle"},
                {effEditTop, "effEditTop"},
                {effEditSleep, "effEditSleep"},
                {effIdentify, "effIdentify"},
                {effGetChunk, "effGetChunk"},
                {effSetChunk, "effSetChunk"},
                {effGetPlugCategory, "effGetPlugCategory"},
                {effSetBypass, "effSetBypass"},
                {effGetEffectName, "effGetEffectName"},
                {effGetVendorString, "effGetVendorString"},
                {effGetProductString, "effGetProductString"},
                {effGetVendorVersion, "effGetVendorVersion"},
                {effCanDo, "effCanDo"},
                {effIdle, "effIdle"},
                {effGetVstVersion, "effGetVstVersion"},
                {effShellGetNextPlugin, "effShellGetNextPlugin"},
                {effBeginLoadProgram, "effBeginLoadProgram"}};
  for (const auto& entry : kNames)
    if (entry.opcode == opcode) return entry.name;
  return "dispatcher";
}

}  // namespace

VstIntPtr TVstPlugIn::VstDispatch(VstInt32 Opcode, VstInt32 Index, VstIntPtr Value, void* Ptr,
                                  float Opt) {
  platform::ResetFloatingPointState();
  AEffect* const effect = Effect();
  if (!effect) return 0;
  VstIntPtr result = 0;
  uint32_t fault = 0;
  const bool returned = platform::Guarded(
      [&] {
        AEffectDispatcherProc dispatcher = effect->dispatcher;
        if (dispatcher) result = dispatcher(effect, Opcode, Index, Value, Ptr, Opt);
      },
      &fault);
  if (returned) return result;
  platform::RecordFault(platform::FaultKind::EffectFault, FFaultSource, OpcodeName(Opcode), fault);
  return 0;
}

std::string TVstPlugIn::StringRequest(VstInt32 Opcode, VstInt32 Index, TTextAnswer Answer) {
  char buffer[kTextBuffer] = {};
  const VstIntPtr answer = VstDispatch(Opcode, Index, 0, buffer);
  buffer[kTextBuffer - 1] = '\0';
  switch (Answer) {
    case TTextAnswer::Written:
      // Many effects answer 1 here although they wrote the text; an answer of 0 with an
      // empty buffer gives the same empty text, so what is in the zeroed buffer counts.
      return TakeText(buffer);
    case TTextAnswer::Confirmed:
      return answer != 0 ? TakeText(buffer) : std::string();
  }
  return std::string();
}

// ---- audio and parameters -------------------------------------------------------------

namespace {

template <typename Sample>
bool ArraysFit(const AEffect* effect, const TChannelArrays<Sample>& inputs,
               const TChannelArrays<Sample>& outputs, VstInt32 frames) {
  if (frames < 0) return false;
  const auto fits = [frames](const TChannelArrays<Sample>& arrays, VstInt32 channels) {
    if (channels <= 0) return true;
    return arrays.ChannelCount() >= static_cast<size_t>(channels) &&
           arrays.SampleCount() >= static_cast<size_t>(frames);
  };
  return fits(inputs, effect->numInputs) && fits(outputs, effect->numOutputs);
}

template <typename Sample, typename Routine>
bool RunProcess(AEffect* effect, Routine routine, TChannelArrays<Sample>& inputs,
                TChannelArrays<Sample>& outputs, VstInt32 frames, platform::FaultSourceId source,
                const char* call) {
  if (!effect || !routine || !ArraysFit(effect, inputs, outputs, frames)) return false;
  Sample** const in = inputs.Data();
  Sample** const out = outputs.Data();
  uint32_t fault = 0;
  if (platform::Guarded([&] { routine(effect, in, out, frames); }, &fault,
                        platform::FloatingPointAfterReturn::Restored))
    return true;
  // Counted only: this is the audio thread.
  platform::RecordFault(platform::FaultKind::EffectFault, source, call, fault);
  outputs.Clear();
  return false;
}

}  // namespace

void TVstPlugIn::SetParameter(VstInt32 Index, float Value) {
  AEffect* const effect = Effect();
  if (!effect || !effect->setParameter || Index < 0 || Index >= effect->numParams) return;
  uint32_t fault = 0;
  if (!platform::Guarded([&] { effect->setParameter(effect, Index, Value); }, &fault,
                         platform::FloatingPointAfterReturn::Restored))
    platform::RecordFault(platform::FaultKind::EffectFault, FFaultSource, "setParameter", fault);
}

float TVstPlugIn::GetParameter(VstInt32 Index) {
  AEffect* const effect = Effect();
  if (!effect || !effect->getParameter || Index < 0 || Index >= effect->numParams) return 0.0f;
  float value = 0.0f;
  uint32_t fault = 0;
  if (!platform::Guarded([&] { value = effect->getParameter(effect, Index); }, &fault,
                         platform::FloatingPointAfterReturn::Restored)) {
    platform::RecordFault(platform::FaultKind::EffectFault, FFaultSource, "getParameter", fault);
    return 0.0f;
  }
  return value;
}

bool TVstPlugIn::Process(TSingleChannelArrays& Inputs, TSingleChannelArrays& Outputs,
                         VstInt32 SampleFrames) {
  AEffect* const effect = Effect();
  return RunProcess(effect, effect ? effect->process : nullptr, Inputs, Outputs, SampleFrames,
                    FFaultSource, "process");
}

bool TVstPlugIn::ProcessReplacing(TSingleChannelArrays& Inputs, TSingleChannelArrays& Outputs,
                                  VstInt32 SampleFrames) {
  AEffect* const effect = Effect();
  return RunProcess(effect, effect ? effect->processReplacing : nullptr, Inputs, Outputs,
                    SampleFrames, FFaultSource, "processReplacing");
}

bool TVstPlugIn::ProcessDoubleReplacing(TDoubleChannelArrays& Inputs, TDoubleChannelArrays& Outputs,
                                        VstInt32 SampleFrames) {
  AEffect* const effect = Effect();
  return RunProcess(effect, effect ? effect->processDoubleReplacing : nullptr, Inputs, Outputs,
                    SampleFrames, FFaultSource, "processDoubleReplacing");
}

// ---- changed input and output counts -----------------------------------------------------

TVstPlugIn::TAudioBlock::TAudioBlock(TVstPlugIn& Item) noexcept
    : FBlocks(Item.FAudioBlocks),
      FHeld(FBlocks.fetch_add(1, std::memory_order_acquire) < kAudioBlocksClosed) {
  if (!FHeld) FBlocks.fetch_sub(1, std::memory_order_release);
}

TVstPlugIn::TAudioBlock::~TAudioBlock() {
  if (FHeld) FBlocks.fetch_sub(1, std::memory_order_release);
}

bool TVstPlugIn::CloseAudioBlocks() {
  FAudioBlocks.fetch_add(kAudioBlocksClosed, std::memory_order_acq_rel);
  const auto deadline = std::chrono::steady_clock::now() + kAudioBlockWait;
  while (FAudioBlocks.load(std::memory_order_acquire) != kAudioBlocksClosed) {
    if (std::chrono::steady_clock::now() > deadline) {
      OpenAudioBlocks();
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

bool TVstPlugIn::CountsToAdopt(VstInt32& Inputs, VstInt32& Outputs) {
  AEffect* const effect = Effect();
  if (!effect || !FActive) return false;
  if (!platform::Guarded([&] {
        Inputs = effect->numInputs;
        Outputs = effect->numOutputs;
      }))
    return false;
  Inputs = std::max<VstInt32>(Inputs, 0);
  Outputs = std::max<VstInt32>(Outputs, 0);
  if (Inputs == AdoptedInputs() && Outputs == AdoptedOutputs()) return false;
  if (Inputs > kMaxAdoptedChannels || Outputs > kMaxAdoptedChannels) {
    if (FRefusedCounts != std::make_pair(Inputs, Outputs)) {
      FRefusedCounts = {Inputs, Outputs};
      Refuse("audioMasterIOChanged",
             std::to_string(Inputs) + " inputs and " + std::to_string(Outputs) + " outputs");
    }
    return false;
  }
  return true;
}

bool TVstPlugIn::AdoptAndOpen() {
  bool adopted = false;
  try {
    VstInt32 inputs = 0, outputs = 0;
    if (CountsToAdopt(inputs, outputs)) {
      FNumInputs = inputs;
      FNumOutputs = outputs;
      adopted = true;
      OnIOCountsAdopted(this);
    }
  } catch (...) {
    OpenAudioBlocks();
    throw;
  }
  OpenAudioBlocks();
  return adopted;
}

bool TVstPlugIn::AdoptIOChanges() {
  VstInt32 inputs = 0, outputs = 0;
  if (!CountsToAdopt(inputs, outputs)) return false;
  // An audio block that does not end in time: the counts are tried again next time.
  if (!CloseAudioBlocks()) return false;
  return AdoptAndOpen();
}

// ---- request wrappers -------------------------------------------------------------------

VstInt32 TVstPlugIn::ProgramNr() {
  FProgramNr = FActive ? static_cast<VstInt32>(VstDispatch(effGetProgram)) : -1;
  return FProgramNr;
}

void TVstPlugIn::SetProgramNr(VstInt32 Value) {
  if (!FActive) return;
  FProgramNr = Value;
  // A program may bring other input and output counts: no audio block runs while the effect
  // takes it, and they are adopted before the next one.
  const bool closed = CloseAudioBlocks();
  VstDispatch(effSetProgram, 0, Value);
  if (closed)
    AdoptAndOpen();
  else
    AdoptIOChanges();
}

std::string TVstPlugIn::ProgramName() {
  return FActive ? StringRequest(effGetProgramName, 0, TTextAnswer::Written) : std::string();
}

void TVstPlugIn::SetProgramName(const std::string& Value) {
  if (!FActive) return;
  char buffer[kTextBuffer] = {};
  std::memcpy(buffer, Value.data(), std::min(Value.size(), kMaxText));
  VstDispatch(effSetProgramName, 0, 0, buffer);
}

std::string TVstPlugIn::GetParamLabel(VstInt32 Index) {
  return FActive ? StringRequest(effGetParamLabel, Index, TTextAnswer::Written) : std::string();
}

std::string TVstPlugIn::GetParamDisplay(VstInt32 Index) {
  return FActive ? StringRequest(effGetParamDisplay, Index, TTextAnswer::Written) : std::string();
}

std::string TVstPlugIn::GetParamName(VstInt32 Index) {
  return FActive ? StringRequest(effGetParamName, Index, TTextAnswer::Written) : std::string();
}

void TVstPlugIn::SetSampleRate(double Rate) {
  VstDispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(Rate));
}

void TVstPlugIn::SetBlockSize(VstInt32 Size) {
  VstDispatch(effSetBlockSize, 0, Size);
}

void TVstPlugIn::MainsChanged(bool On) {
  VstDispatch(effMainsChanged, 0, On ? 1 : 0);
}

void TVstPlugIn::EditGetRect(ERect& Rect) {
  if (!FActive) return;
  ERect* cell = nullptr;
  VstDispatch(effEditGetRect, 0, 0, &cell);
  if (!cell) return;
  ERect copy{};
  // The rectangle is the effect's memory: read it behind the guard.
  if (platform::Guarded([&] { copy = *cell; })) Rect = copy;
}

void TVstPlugIn::EditOpen(void* Handle) {
  FEditVisible = VstDispatch(effEditOpen, 0, 0, Handle) > 0;
}

void TVstPlugIn::EditClose() {
  if (!FEditVisible) return;
  if ((VstDispatch(effEditClose) & 0xFF) == 0) FEditVisible = false;
}

VstIntPtr TVstPlugIn::EditIdle() {
  TakeEditorSizeRequest();
  return FEditVisible ? VstDispatch(effEditIdle) : 0;
}

void TVstPlugIn::EditTop() {
  if (FEditVisible) VstDispatch(effEditTop);
}

void TVstPlugIn::EditSleep() {
  if (FEditVisible) VstDispatch(effEditSleep);
}

void TVstPlugIn::Identify() {
  VstDispatch(effIdentify);
}

std::vector<uint8_t> TVstPlugIn::GetChunk(bool IsProgram) {
  std::vector<uint8_t> chunk;
  TakeChunk(IsProgram, chunk);
  return chunk;
}

const char* TVstPlugIn::TakeChunk(bool IsProgram, std::vector<uint8_t>& Chunk) {
  Chunk.clear();
  void* data = nullptr;
  const VstIntPtr size = VstDispatch(effGetChunk, IsProgram ? 1 : 0, 0, &data);
  if (size <= 0) return "effGetChunk (size 0 or below)";
  if (!data) return "effGetChunk (null chunk)";
  if (static_cast<uint64_t>(size) > kMaxChunkBytes) {
    Refuse("effGetChunk", "chunk of " + std::to_string(size) + " bytes");
    return "effGetChunk";
  }
  try {
    Chunk.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return "effGetChunk (no memory for the chunk)";
  }
  uint8_t* const target = Chunk.data();
  uint32_t fault = 0;
  // The size is the effect's word: a chunk shorter than claimed faults here, not later.
  if (!platform::Guarded([&] { std::memcpy(target, data, static_cast<size_t>(size)); }, &fault)) {
    Chunk.clear();
    platform::RecordFault(platform::FaultKind::EffectFault, FFaultSource, kChunkCopyCall, fault);
    return kChunkCopyCall;
  }
  return nullptr;
}

void TVstPlugIn::SetChunk(const void* Data, VstInt32 Size, bool IsProgram) {
  VstDispatch(effSetChunk, IsProgram ? 1 : 0, Size, const_cast<void*>(Data));
}

VstIntPtr TVstPlugIn::GetPlugCategory() {
  return FActive ? VstDispatch(effGetPlugCategory) : 0;
}

void TVstPlugIn::SetBypass(bool On) {
  VstDispatch(effSetBypass, 0, On ? 1 : 0);
}

std::string TVstPlugIn::GetEffectName() {
  return FActive ? StringRequest(effGetEffectName, 0, TTextAnswer::Confirmed) : std::string();
}

std::string TVstPlugIn::VendorString() {
  return FActive ? StringRequest(effGetVendorString, 0, TTextAnswer::Confirmed) : std::string();
}

std::string TVstPlugIn::ProductString() {
  return FActive ? StringRequest(effGetProductString, 0, TTextAnswer::Confirmed) : std::string();
}

VstInt32 TVstPlugIn::VendorVersion() {
  return FActive ? static_cast<VstInt32>(VstDispatch(effGetVendorVersion)) : -1;
}

VstIntPtr TVstPlugIn::CanDo(const std::string& Text) {
  char buffer[kTextBuffer] = {};
  std::memcpy(buffer, Text.data(), std::min(Text.size(), kMaxText));
  return VstDispatch(effCanDo, 0, 0, buffer);
}

VstIntPtr TVstPlugIn::Idle() {
  return FNeedIdle ? VstDispatch(effIdle) : 0;
}

VstInt32 TVstPlugIn::GetVstVersion() {
  return FActive ? static_cast<VstInt32>(VstDispatch(effGetVstVersion)) : -1;
}

VstIntPtr TVstPlugIn::GetNextShellPlugin(std::string& Name) {
  if (!FActive) return 0;
  char buffer[kTextBuffer] = {};
  const VstIntPtr answer = VstDispatch(effShellGetNextPlugin, 0, 0, buffer);
  buffer[kTextBuffer - 1] = '\0';
  if (answer != 0) Name = TakeText(buffer);
  return answer;
}

void TVstPlugIn::BeginLoadProgram(const VstPatchChunkInfo& Info) {
  if (!FActive) return;
  VstPatchChunkInfo copy = Info;
  VstDispatch(effBeginLoadProgram, 0, 0, &copy);
}

VstInt32 TVstPlugIn::WalkableParams() {
  return WalkableCount(numParams(), "parameters");
}

VstInt32 TVstPlugIn::WalkablePrograms() {
  return WalkableCount(numPrograms(), "programs");
}

VstInt32 TVstPlugIn::WalkableCount(VstInt32 Claimed, const char* What) {
  if (Claimed <= 0) return 0;
  if (Claimed <= kMaxWalkedCount) return Claimed;
  Refuse(What, std::to_string(Claimed) + " " + What);
  return 0;
}

void TVstPlugIn::Refuse(const char* Call, const std::string& Answer) {
  ++FRefusals.Count;
  FRefusals.Last = Answer;
  platform::RecordFault(platform::FaultKind::RefusedAnswer, FFaultSource, Call);
}

// ---- life cycle -------------------------------------------------------------------------

TLoadRoute TVstPlugIn::LoadRoute() const {
  const TLibraryWidthReading reading = ReadLibraryWidth(FDLLFileName);
  if (!reading.Width) return TLoadRoute::InProcess;
  return ChooseLoadRoute(*reading.Width, FOwnProcess);
}

void TVstPlugIn::OpenEffect() {
  bool loaded = true;
  if (!Effect()) {
    switch (LoadRoute()) {
      case TLoadRoute::InProcess:
        loaded = Load(FDLLFileName);
        break;
      case TLoadRoute::Bridge:
        loaded = LoadBridged();
        break;
      case TLoadRoute::Refused:
        throw EVstError(FileNameOf(FDLLFileName) +
                        " is a library for another processor: it cannot be loaded");
    }
  }
  platform::ResetFloatingPointState();
  FEditVisible = false;
  FNeedIdle = false;
  AEffect* const effect = Effect();
  if (!effect) throw EVstError(loaded ? "Loading failed!" : "This is not a valid Vst Plugin!");
  VstInt32 magic = 0;
  if (!platform::Guarded([&] { magic = effect->magic; }) || magic != kEffectMagic) {
    // Nothing may reach a record without the magic: let go of it before reporting.
    ForgetEffect();
    FActive = false;
    Unload();
    throw EVstError("There is no magic in it... failed!");
  }
  if (effect->uniqueID == 0) {
    std::string name;
    for (int i = 0; i < kMaxShellNames && GetNextShellPlugin(name) != 0; ++i) {
    }
  }
  // Faults are recorded under the library's file name: the effect's own name needs a request.
  FFaultSource = platform::RegisterFaultSource(FileNameOf(FDLLFileName));
  VstDispatch(effOpen);
  CanDo("bypass");
  SetSampleRate(HostSampleRate);
  SetBlockSize(HostBlockSize);
  SetBypass(false);
  FActive = true;
  const auto id = static_cast<uint32_t>(effect->uniqueID);
  FuID = {static_cast<char>(id >> 24), static_cast<char>(id >> 16), static_cast<char>(id >> 8),
          static_cast<char>(id)};
  FVersion = effect->version;
  FPluginVstVersion = GetVstVersion();
  const VstIntPtr category = GetPlugCategory() & 0xFF;
  FPlugCategory = category <= vpcGenerator ? static_cast<TVstPluginCategory>(category) : vpcUnknown;
  // Counts beyond the limit size no arrays, now as when they change later: the effect is
  // heard with none until it reports counts that fit.
  const VstInt32 inputs = std::max<VstInt32>(effect->numInputs, 0);
  const VstInt32 outputs = std::max<VstInt32>(effect->numOutputs, 0);
  if (inputs > kMaxAdoptedChannels || outputs > kMaxAdoptedChannels) {
    FRefusedCounts = {inputs, outputs};
    Refuse("effOpen",
           std::to_string(inputs) + " inputs and " + std::to_string(outputs) + " outputs");
    FNumInputs = 0;
    FNumOutputs = 0;
  } else {
    FNumInputs = inputs;
    FNumOutputs = outputs;
  }
  FNumPrograms = effect->numPrograms;
  FNumParams = effect->numParams;
  MainsChanged(true);
}

bool TVstPlugIn::LoadBridged() {
  const TLibraryWidthReading reading = ReadLibraryWidth(FDLLFileName);
  vst_bridge::THelperWidth width = vst_bridge::THelperWidth::SameAsPlugIn;
  if (reading.Width && *reading.Width != kHostLibraryWidth)
    width = *reading.Width == TLibraryWidth::x64 ? vst_bridge::THelperWidth::X64
                                                 : vst_bridge::THelperWidth::X86;
  // A helper named by the caller (tests) stays; otherwise the one beside the plug-in.
  const std::string named = BridgeHelper;
  const std::string helper = named.empty() ? vst_bridge::HelperBesideModule(width) : named;
  if (!platform::FileExists(helper)) throw EVstError(NoBridgeText(helper));
  BridgeHelper = helper;
  const bool loaded = Load(FDLLFileName);
  BridgeHelper = named;
  return loaded;
}

std::string TVstPlugIn::NoBridgeText(const std::string& Helper) const {
  const TLibraryWidthReading reading = ReadLibraryWidth(FDLLFileName);
  const std::string name = FileNameOf(FDLLFileName);
  const std::string missing = ": the helper " + FileNameOf(Helper) + " is not beside the plug-in";
  if (reading.Width && *reading.Width != kHostLibraryWidth)
    return name + " is a " + LibraryWidthName(*reading.Width) + " effect" + missing;
  return name + " cannot run in a process of its own" + missing;
}

void TVstPlugIn::CloseEffect() {
  while (FEditVisible) CloseEdit();
  if (FActive) {
    VstDispatch(effClose);
    ForgetEffect();
  }
  FActive = false;
  FVersion = 0;
  FPlugCategory = vpcUnknown;
  FNumInputs = 0;
  FNumOutputs = 0;
  FNumPrograms = 0;
  FNumParams = 0;
}

bool TVstPlugIn::Load(const std::string& FileName) {
  try {
    Unload();
    FMainFunction = nullptr;
    if (!platform::FileExists(FileName)) throw EVstError("File " + FileName + " does not exists");
    AEffect* effect = nullptr;
    if (!BridgeHelper.empty()) {
      std::string error;
      FBridge = vst_bridge::TEffectProxy::Open(BridgeHelper, FileName, &AudioMasterCallback, error,
                                               BridgeTimings);
      if (!FBridge) throw EVstError(error);
      effect = FBridge->Effect();
    } else {
      if (BindEntryPoint(FileName)) {
        Unload();
        return false;
      }
      platform::ResetFloatingPointState();
      const VstPluginMainProc entry = FMainFunction;
      // The effect may call back from inside its entry routine; no item holds the record
      // yet, so those calls are answered from the host alone.
      if (!platform::Guarded([&] { effect = entry(&AudioMasterCallback); })) effect = nullptr;
    }
    if (!effect) throw EVstError("PlugIn " + FileName + " could not be loaded");
    FEffect.store(effect, std::memory_order_release);
    OnAfterLoad(this);
  } catch (...) {
    Unload();
    return false;
  }
  FActive = true;
  FDLLFileName = FileName;
  return true;
}

bool TVstPlugIn::BindEntryPoint(const std::string& FileName) {
  const platform::LibraryLoadResult loaded = platform::LoadLibraryFile(FileName);
  if (!loaded.handle) {
    std::string text = loaded.error_text;
    if (text.empty()) text = platform::SystemErrorMessage(loaded.error_code, 256);
    if (text.empty()) text = std::to_string(loaded.error_code);
    throw EVstError(text);
  }
  FLibHandle = loaded.handle;
  std::string extension;
  const size_t dot = FileName.find_last_of('.');
  const size_t separator = FileName.find_last_of("/\\");
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator))
    extension = FileName.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  void* entry =
      platform::FindLibraryExport(FLibHandle, extension == ".vst3" ? "GetPluginFactory" : "main");
  if (!entry) entry = platform::FindLibraryExport(FLibHandle, "VSTPluginMain");
  if (!entry) return true;
  FMainFunction = reinterpret_cast<VstPluginMainProc>(entry);
  return false;
}

void TVstPlugIn::Unload() {
  // Each on its own: a failure to close the editor must not keep effClose from the effect.
  try {
    CloseEdit();
  } catch (...) {
  }
  try {
    CloseEffect();
  } catch (...) {
  }
  FNumInputs = -1;
  FNumOutputs = -1;
  FNumPrograms = -1;
  FVersion = -1;
  FuID.clear();
  if (FLibHandle) {
    void* const library = FLibHandle;
    // Freeing runs the library's own clean-up code.
    platform::Guarded([&] { platform::FreeLibraryHandle(library); });
    FLibHandle = nullptr;
  }
  FMainFunction = nullptr;
  ForgetEffect();
  FBridge.reset();
}

// ---- preset files -------------------------------------------------------------------------

void TVstPlugIn::SavePreset(const std::string& FileName) {
  if (!Effect()) return;
  // The state first: an effect that gives none leaves the file as it was.
  const std::vector<uint8_t> bytes = PresetBytes();
  std::ofstream file(FileName, std::ios::binary | std::ios::trunc);
  if (!file) throw EVstError("Cannot create file \"" + FileName + "\"");
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) throw EVstError("Cannot write file \"" + FileName + "\"");
}

void TVstPlugIn::SavePreset(std::ostream& Stream) {
  if (!Effect()) return;
  const std::vector<uint8_t> bytes = PresetBytes();
  Stream.seekp(0);
  Stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  if (!Stream) throw EVstError("preset could not be written");
}

std::vector<uint8_t> TVstPlugIn::PresetBytes() {
  AEffect* const effect = Effect();
  const VstInt32 count = std::max<VstInt32>(effect->numParams, 0);
  std::vector<uint8_t> bytes;
  if (!EffectOptions().Contains(effFlagsProgramChunks)) {
    if (count > kMaxWalkedCount) {
      Refuse("parameters", std::to_string(count) + " parameters");
      throw EVstError("preset not saved: the effect reports " + std::to_string(count) +
                      " parameters");
    }
    SetProgramNr(ProgramNr());
    const std::string name = ProgramName();
    // A value the effect could not give reads as 0: saved, it would replace the user's
    // setting. Faults are counted here as in the helper, under the same library name; a
    // helper that is gone or was replaced meanwhile answered nothing.
    const auto faults = [this] {
      return platform::FaultCount(platform::FaultKind::EffectFault, FFaultSource, "getParameter");
    };
    const uint32_t faults_before = faults();
    const uint32_t restarts_before = FBridge ? FBridge->Restarts() : 0;
    std::vector<float> values(static_cast<size_t>(count));
    for (VstInt32 i = 0; i < count; ++i) values[static_cast<size_t>(i)] = GetParameter(i);
    if (faults() != faults_before)
      throw EVstNoState("preset not saved: the effect faulted when its parameters were read");
    if (FBridge && (FBridge->State() != vst_bridge::TBridgeState::Running ||
                    FBridge->Restarts() != restarts_before))
      throw EVstNoState("preset not saved: the effect's helper did not answer");
    bytes = vst_preset::BuildParameterPreset(effect->uniqueID, effect->version, name, values);
  } else {
    const std::string name = ProgramName();
    const uint32_t refused_before = FRefusals.Count;
    std::vector<uint8_t> chunk;
    if (const char* missing = TakeChunk(true, chunk)) {
      if (FRefusals.Count != refused_before)
        throw EVstNoState("preset not saved: the effect reports a " + FRefusals.Last);
      // An empty state saved over a good one would lose the user's settings without a word.
      // A fault while copying is recorded already, with its code.
      if (missing != kChunkCopyCall)
        platform::RecordFault(platform::FaultKind::RefusedAnswer, FFaultSource, missing);
      throw EVstNoState("preset not saved: the effect gave no state to save");
    }
    bytes = vst_preset::BuildChunkPreset(effect->uniqueID, effect->version, count, name,
                                         chunk.data(), chunk.size());
  }
  return bytes;
}

void TVstPlugIn::LoadPreset(const std::string& FileName) {
  if (!platform::FileExists(FileName)) throw EVstError("preset file does not exist");
  std::ifstream file(FileName, std::ios::binary);
  if (!file) throw EVstError("Cannot open file \"" + FileName + "\"");
  LoadPreset(file);
}

void TVstPlugIn::LoadPreset(std::istream& Stream) {
  AEffect* const effect = Effect();
  if (!effect) return;
  // The whole stream is read as it is: no field of the file sizes anything.
  Stream.clear();
  Stream.seekg(0);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(Stream),
                             std::istreambuf_iterator<char>()};
  vst_preset::TPresetContent content;
  try {
    content =
        vst_preset::ParsePreset(bytes.data(), bytes.size(), effect->uniqueID, effect->numParams);
  } catch (const vst_preset::EPresetError& error) {
    // A preset of another effect leaves the stream after its header.
    if (std::string(error.what()) == vst_preset::kNotForThisPlugin) {
      Stream.clear();
      Stream.seekg(bytes[9] == 'x' ? vst_preset::kParameterHeaderSize
                                   : vst_preset::kChunkHeaderSize);
    }
    throw EVstError(error.what());
  }
  if (content.chunk_form) {
    SetProgramName(content.program_name);
    // One byte more than the data, as some effects read a terminating byte.
    content.chunk.push_back(0);
    SetChunk(content.chunk.data(), static_cast<VstInt32>(content.chunk.size() - 1), true);
    return;
  }
  VstPatchChunkInfo info{};
  info.version = 1;
  info.pluginUniqueID = effect->uniqueID;
  info.pluginVersion = effect->version;
  info.numElements = effect->numParams;
  BeginLoadProgram(info);
  SetProgramName(content.program_name);
  for (size_t i = 0; i < content.parameters.size(); ++i)
    SetParameter(static_cast<VstInt32>(i), content.parameters[i]);
}

// ---- the collection ---------------------------------------------------------------------

void TVstPlugIns::Publish() {
  auto list = std::make_unique<std::vector<TVstPlugIn*>>();
  list->reserve(FItems.size());
  for (const auto& item : FItems) list->push_back(item.get());
  FPublished.store(list.get(), std::memory_order_release);
  FSnapshots.push_back(std::move(list));
}

TVstPlugIn* TVstPlugIns::Add() {
  FItems.push_back(std::make_unique<TVstPlugIn>(this));
  Publish();
  return FItems.back().get();
}

void TVstPlugIns::Delete(int Index) {
  // Out of the list first: the effect may call back while the item goes.
  std::unique_ptr<TVstPlugIn> item = std::move(FItems.at(static_cast<size_t>(Index)));
  FItems.erase(FItems.begin() + Index);
  Publish();
  item.reset();
}

void TVstPlugIns::Clear() {
  while (!FItems.empty()) Delete(0);
}

void TVstPlugIns::Assign(const TVstPlugIns& Source) {
  if (&Source == this) return;
  Clear();
  for (int i = 0; i < Source.Count(); ++i) Source.Items(i)->AssignTo(Add());
}

TVstPlugIn* TVstPlugIns::FindByEffect(const AEffect* Effect) const {
  const std::vector<TVstPlugIn*>* const list = FPublished.load(std::memory_order_acquire);
  if (!Effect || !list) return nullptr;
  for (TVstPlugIn* item : *list)
    if (item->Effect() == Effect) return item;
  return nullptr;
}
