#include "vst_host/vst_host.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/file_dialog.h"
#include "platform/fpu.h"
#include "platform/message_box.h"
#include "platform/message_window.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/ui.h"

const char* const kHostCanDoTexts[kHostCanDoCount] = {
    "sendVstEvents",
    "sendVstMidiEvent",
    "sendVstTimeInfo",
    "receiveVstEvents",
    "receiveVstMidiEvent",
    "receiveVstTimeInfo",
    "reportConnectionChanges",
    "acceptIOChanges",
    "sizeWindow",
    "asyncProcessing",
    "offline",
    "supplyIdle",
    "supportShell",
    "openFileSelector",
    "closeFileSelector",
    "editFile",
    "shellCategory",
    "startStopProcess",
};

TVstHost* ActiveVstHost = nullptr;
THostCanDos HostCanDos;
VstInt32 HostBlockSize = 2048;
VstInt32 HostVstVersion = 2300;
float HostTempo = 120.0f;
float HostSampleRate = 44100.0f;
uint16_t HostFPUControlWord = platform::kHostX87ControlWord;
std::unique_ptr<THostFileDialog> FileSelectorDialog;
std::vector<TVstRequestedWindow> HostWindowList;

namespace {

// The capabilities every host starts with: ordinals 0 to 11 and 17.
THostCanDos DefaultCanDos() {
  THostCanDos set;
  for (int i = 0; i <= hcdSupplyIdle; ++i) set.Include(static_cast<THostCanDo>(i));
  set.Include(hcdStartStopProcess);
  return set;
}

// Where an effect's author is sent when it uses the deprecated window request.
constexpr const char* kContactAddress = "partiloom-dev@example.org";

// The effect's text buffers for vendor and product hold 64 bytes by the standard.
constexpr size_t kVendorTextBuffer = 64;
// The longest initial folder taken from a file-selector request; the effect's text has no
// stated size, so its terminator is looked for no further.
constexpr size_t kMaxPathText = 4096;

}  // namespace

// ---- time information -------------------------------------------------------------------

TVstTimeInformation::TVstTimeInformation() : FTimeInfo{} {
  FTimeInfo.sampleRate = 44100.0;
  FTimeInfo.timeSigNumerator = 4;
  FTimeInfo.timeSigDenominator = 4;
  FTimeInfo.smpteFrameRate = 1;
  FTimeInfo.flags = 0xFF00;
}

namespace {
double VstTimeInfo::*const kDoubleFields[8] = {
    &VstTimeInfo::samplePos,     &VstTimeInfo::sampleRate,  &VstTimeInfo::nanoSeconds,
    &VstTimeInfo::ppqPos,        &VstTimeInfo::tempo,       &VstTimeInfo::barStartPos,
    &VstTimeInfo::cycleStartPos, &VstTimeInfo::cycleEndPos,
};
VstInt32 VstTimeInfo::*const kIntegerFields[5] = {
    &VstTimeInfo::timeSigNumerator, &VstTimeInfo::timeSigDenominator, &VstTimeInfo::smpteOffset,
    &VstTimeInfo::smpteFrameRate,   &VstTimeInfo::samplesToNextClock,
};
}  // namespace

double TVstTimeInformation::GetDouble(int Index) const {
  return Index >= 0 && Index < 8 ? FTimeInfo.*kDoubleFields[Index] : 0.0;
}

void TVstTimeInformation::SetDouble(int Index, double Value) {
  if (Index < 0 || Index >= 8 || FTimeInfo.*kDoubleFields[Index] == Value) return;
  FTimeInfo.*kDoubleFields[Index] = Value;
  if (Index == 1) HostSampleRate = static_cast<float>(Value);
  Changed();
}

VstInt32 TVstTimeInformation::GetInteger(int Index) const {
  return Index >= 0 && Index < 5 ? FTimeInfo.*kIntegerFields[Index] : 0;
}

void TVstTimeInformation::SetInteger(int Index, VstInt32 Value) {
  if (Index < 0 || Index >= 5 || FTimeInfo.*kIntegerFields[Index] == Value) return;
  FTimeInfo.*kIntegerFields[Index] = Value;
  Changed();
}

TVstTimeInfoFlags TVstTimeInformation::Flags() const {
  return TVstTimeInfoFlags::FromBits(static_cast<uint32_t>(FTimeInfo.flags) & 0xFFFFu);
}

void TVstTimeInformation::SetFlags(TVstTimeInfoFlags Value) {
  FTimeInfo.flags = static_cast<VstInt32>(Value.Bits() & 0xFFFFu);
}

void TVstTimeInformation::Changed() {
  FOnChanged(this);
}

void TVstTimeInformation::AssignTo(TObject* Dest) const {
  auto* target = dynamic_cast<TVstTimeInformation*>(Dest);
  if (!target) throw EVstError("Cannot assign a TVstTimeInformation to this object");
  target->FTimeInfo = FTimeInfo;
  target->Changed();
}

// ---- host component -----------------------------------------------------------------------

TVstHost::TVstHost(TObject* Owner, TNotifyEvent OnCreateHandler)
    : FOwner(Owner), FOwnerThread(platform::CurrentThreadToken()) {
  OnCreate = OnCreateHandler;
  ActiveVstHost = this;
  HostSampleRate = 44100.0f;
  HostBlockSize = 2048;
  Language = kVstLangEnglish;
  HostCanDos = DefaultCanDos();
  std::optional<std::string> directory;
  if (auto key = platform::RegistryKey::Open(platform::RegistryRoot::LocalMachine, "SOFTWARE\\Vst",
                                             platform::RegistryAccess::ReadOnly))
    directory = key->ReadString("VstPluginsPath");
  PlugInDir = directory ? *directory : platform::ExecutableDirectory();
  try {
    FVstPlugIns = std::make_unique<TVstPlugIns>(this);
    FVstTimeInfo = std::make_unique<TVstTimeInformation>();
    FVstTimeInfo->FOnChanged = TNotifyEvent::Bind<&TVstHost::TimeInfoChanged>(this);
  } catch (...) {
  }
  OnCreate(this);
}

TVstHost::~TVstHost() {
  OnDestroy(this);
  if (FVstPlugIns)
    while (FVstPlugIns->Count() > 0) FVstPlugIns->Delete(0);
  FVstPlugIns.reset();
  FVstTimeInfo.reset();
  if (ActiveVstHost == this) {
    // The windows effects asked for belong to the host they asked.
    HostWindowList.clear();
    ActiveVstHost = nullptr;
  }
}

VstInt32 TVstHost::BlockSize() const {
  return HostBlockSize;
}

void TVstHost::SetBlockSize(VstInt32 Value) {
  HostBlockSize = Value;
  for (int i = 0; i < FVstPlugIns->Count(); ++i)
    if (FVstPlugIns->Items(i)->Effect()) FVstPlugIns->Items(i)->SetBlockSize(Value);
}

THostCanDos TVstHost::CanDos() const {
  return HostCanDos;
}
void TVstHost::SetCanDos(THostCanDos Value) {
  HostCanDos = Value;
}
float TVstHost::Tempo() const {
  return HostTempo;
}

void TVstHost::SetTempo(float Value) {
  HostTempo = Value;
  FVstTimeInfo->SetTempo(Value);
}

bool TVstHost::OnOwnerThread() const {
  return platform::CurrentThreadToken() == FOwnerThread;
}

VstInt32 TVstHost::VstVersion() const {
  return HostVstVersion;
}
void TVstHost::SetVstVersion(VstInt32 Value) {
  HostVstVersion = Value;
}

// ---- host callback ------------------------------------------------------------------------

namespace {

// Requests that touch windows, dialogs or the host's items, or that call into the effect
// again, are work of the host's own thread: from any other thread they are refused (the
// window's idle timer does the idle work anyway). Nor do they nest without end: an effect
// that asks again from inside the answer would recurse until the stack ends.
constexpr int kMaxNestedWindowWork = 2;
int g_nested_window_work = 0;  // touched on the host's own thread only

class TWindowWork {
 public:
  explicit TWindowWork(const TVstHost* host)
      : FAllowed(host && host->OnOwnerThread() && g_nested_window_work < kMaxNestedWindowWork) {
    if (FAllowed) ++g_nested_window_work;
  }
  ~TWindowWork() {
    if (FAllowed) --g_nested_window_work;
  }
  TWindowWork(const TWindowWork&) = delete;
  TWindowWork& operator=(const TWindowWork&) = delete;
  explicit operator bool() const { return FAllowed; }

 private:
  bool FAllowed;
};

// The file dialog is shown modally: the effect may call back meanwhile, but the dialog it
// is inside of stays until it returns.
bool g_file_selector_showing = false;

void CopyHostText(const std::string& text, void* ptr) {
  if (!ptr) return;
  const size_t length = std::min(text.size(), kVendorTextBuffer - 1);
  std::memcpy(ptr, text.data(), length);
  static_cast<char*>(ptr)[length] = '\0';
}

VstIntPtr CanDoAnswer(const void* ptr) {
  if (!ptr) return 0;
  const char* text = static_cast<const char*>(ptr);
  const std::string question(text, strnlen(text, 255));
  for (int i = 0; i < kHostCanDoCount; ++i)
    if (question == kHostCanDoTexts[i])
      return HostCanDos.Contains(static_cast<THostCanDo>(i)) ? 1 : 0;
  return 0;
}

void OpenWindowRequest(const VstWindow* request) {
  if (!request) return;
  TVstRequestedWindow window;
  window.Caption.assign(request->title, strnlen(request->title, sizeof request->title));
  window.Left = request->xPos;
  window.Top = request->yPos;
  window.Width = request->width;
  window.Height = request->height;
  window.Border = request->style == 0   ? TVstRequestedWindow::bsSizeToolWin
                  : request->style == 1 ? TVstRequestedWindow::bsNone
                                        : TVstRequestedWindow::bsDefault;
  // The system's windows offer a tool-window border and the dialog border; a window asked
  // for without border takes the dialog border.
  const platform::ControlKind kind = window.Border == TVstRequestedWindow::bsSizeToolWin
                                         ? platform::ControlKind::ToolWindow
                                         : platform::ControlKind::Form;
  window.Window =
      platform::Control::CreateTopLevel(kind, "VstWindow", window.Caption, nullptr,
                                        {window.Left, window.Top, window.Width, window.Height});
  HostWindowList.push_back(std::move(window));
  platform::ShowMessageBox(std::string("Please contact me if this happens: ") + kContactAddress);
}

VstIntPtr OpenFileSelector(VstFileSelect* request) {
  if (!request || FileSelectorDialog) return 0;
  const VstInt32 command = request->command;
  if (command == kVstFileLoad || command == kVstFileSave || command == kVstMultipleFilesLoad) {
    FileSelectorDialog = std::make_unique<THostFileDialog>();
    THostFileDialog& dialog = *FileSelectorDialog;
    dialog.Save = command == kVstFileSave;
    dialog.Title.assign(request->title, strnlen(request->title, sizeof request->title));
    if (request->initialPath)
      dialog.InitialDir.assign(request->initialPath, strnlen(request->initialPath, kMaxPathText));
    for (VstInt32 i = 0; request->fileTypes && i < request->nbFileTypes; ++i) {
      const VstFileType& type = request->fileTypes[i];
      const std::string name(type.name, strnlen(type.name, sizeof type.name));
      const std::string extension(type.dosType, strnlen(type.dosType, sizeof type.dosType));
      dialog.Filter += name + " (*." + extension + ")|*." + extension + "|";
    }
    platform::FileDialogRequest shown;
    shown.save = dialog.Save;
    shown.title = dialog.Title;
    shown.initial_directory = dialog.InitialDir;
    shown.filter = dialog.Filter;
    g_file_selector_showing = true;
    std::optional<std::string> chosen;
    try {
      chosen = platform::RunFileDialog(shown);
    } catch (...) {
      g_file_selector_showing = false;
      FileSelectorDialog.reset();
      throw;
    }
    g_file_selector_showing = false;
    if (chosen) {
      dialog.FileName = *chosen;
      request->returnPath = dialog.FileName.data();
      request->sizeReturnPath = static_cast<VstInt32>(dialog.FileName.size());
    }
  }
  if (!request->returnPath) FileSelectorDialog.reset();
  return 1;
}

void CloseFileSelector(const VstFileSelect* request) {
  if (!request || !FileSelectorDialog || g_file_selector_showing) return;
  const VstInt32 command = request->command;
  if (command != kVstFileLoad && command != kVstFileSave && command != kVstMultipleFilesLoad)
    return;
  const std::string title(request->title, strnlen(request->title, sizeof request->title));
  if (title == FileSelectorDialog->Title) FileSelectorDialog.reset();
}

bool MentionsRefusedVendor(std::string vendor) {
  std::transform(vendor.begin(), vendor.end(), vendor.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return vendor.find("DASH") != std::string::npos || vendor.find("WUSIK") != std::string::npos;
}

}  // namespace

VstIntPtr HandleHostRequest(TVstHost* host, TVstPlugIn* item, VstInt32 opcode, VstInt32 index,
                            VstIntPtr value, void* ptr, float opt) {
  switch (opcode) {
    case audioMasterAutomate:
      if (item) item->OnAudioMasterAutomate(item, index, value);
      return 0;
    case audioMasterVersion:
      return HostVstVersion;
    case audioMasterCurrentId:
      if (TWindowWork work(host); item && work) item->Identify();
      return 0;
    case audioMasterIdle:
      if (item) {
        item->FNeedIdle = true;
        item->OnAudioMasterIdle(item);
        TWindowWork work(host);
        if (work && host->ManageIdleAutomaticly) {
          item->EditIdle();
          for (int i = 0; i < host->VstPlugIns().Count(); ++i) host->Items(i)->EditIdle();
        }
      }
      return 0;
    case audioMasterPinConnected:
      if (item && item->OnAudioMasterPinConnected)
        return item->OnAudioMasterPinConnected(item, index, value == 0) ? 0 : 1;
      return 0;
    case audioMasterWantMidi:
      if (item) item->OnAudioMasterWantMidi(item);
      return 0;
    case audioMasterGetTime:
      return host ? reinterpret_cast<VstIntPtr>(host->VstTimeInfo().Record()) : 0;
    case audioMasterProcessEvents:
      if (item) item->OnProcessEvents(item, static_cast<PVstEvents>(ptr));
      return 0;
    case audioMasterSetTime:
      return 0;
    case audioMasterTempoAt:
      return static_cast<VstIntPtr>(std::lrint(HostTempo)) * 10000;
    case audioMasterGetNumAutomatableParameters:
      return host ? host->NumAutomatableParameters : 0;
    case audioMasterGetParameterQuantization:
      return host && value == -1 ? host->ParameterQuantization : 0;
    case audioMasterIOChanged:
      // New input and output counts are adopted on the host's thread (AdoptIOChanges),
      // which compares the record's with the adopted ones: the report may come from the
      // audio thread, where no array may be resized.
      if (item) {
        const AEffect* effect = item->Effect();
        if (effect) {
          item->FNumPrograms = effect->numPrograms;
          item->FNumParams = effect->numParams;
        }
        item->OnAudioMasterIOChanged(item);
      }
      return 0;
    case audioMasterNeedIdle:
      if (item) {
        item->FNeedIdle = true;
        item->OnAudioMasterNeedIdle(item);
        TWindowWork work(host);
        if (work && host->ManageIdleAutomaticly) item->Idle();
      }
      return 0;
    case audioMasterSizeWindow:
      // The editor's windows belong to the thread that shows them: from any other thread
      // the request is refused before anything of them is looked at.
      if (TWindowWork work(host); work && item && item->OnEditorThread() && item->FEditorForm) {
        if (MentionsRefusedVendor(item->VendorString())) return 0;
        return item->SizeEditorForm(index, value) ? 1 : 0;
      }
      // A bridged editor's requests come on the bridge's thread, while the helper's window
      // thread waits for the answer and the host's thread may be waiting for the helper:
      // the request is kept for the editor's thread and counts as accepted.
      if (item && item->Bridge() && !item->OnEditorThread())
        return item->KeepEditorSizeRequest(index, value) ? 1 : 0;
      return 0;
    case audioMasterGetSampleRate:
      return static_cast<VstIntPtr>(std::lrint(HostSampleRate));
    case audioMasterGetBlockSize:
      return HostBlockSize;
    case audioMasterGetInputLatency:
      return host ? host->LatencyInput : 0;
    case audioMasterGetOutputLatency:
      return host ? host->LatencyOutput : 0;
    case audioMasterGetPreviousPlug:
    case audioMasterGetNextPlug:
      return 0;
    case audioMasterWillReplaceOrAccumulate:
      return item ? item->ReplaceOrAccumulate : 0;
    case audioMasterGetCurrentProcessLevel:
      return item ? item->CurrentProcessLevel : 0;
    case audioMasterGetAutomationState:
      return item ? item->AutomationState : 0;
    case audioMasterOfflineStart:
      if (item) item->OnAudioMasterOfflineStart(item);
      return 0;
    case audioMasterOfflineRead:
      if (item) item->OnAudioMasterOfflineRead(item, static_cast<PVstOfflineTask>(ptr));
      return 0;
    case audioMasterOfflineWrite:
      if (item) item->OnAudioMasterOfflineWrite(item, static_cast<PVstOfflineTask>(ptr));
      return 0;
    case audioMasterOfflineGetCurrentPass:
      if (item) item->OnAudioMasterOfflineGetCurrentPass(item);
      return 0;
    case audioMasterOfflineGetCurrentMetaPass:
      if (item) item->OnAudioMasterOfflineGetCurrentMetaPass(item);
      return 0;
    case audioMasterSetOutputSampleRate:
      if (item) item->OnAudioMasterSetOutputSampleRate(item, opt);
      HostSampleRate = opt;
      return 0;
    case audioMasterGetOutputSpeakerArrangement:
      return 0;
    case audioMasterGetVendorString:
      if (host) CopyHostText(host->VendorString, ptr);
      return 0;
    case audioMasterGetProductString:
      if (host) CopyHostText(host->ProductString, ptr);
      return 0;
    case audioMasterGetVendorVersion:
      return host ? host->VendorVersion : 0;
    case audioMasterVendorSpecific:
      if (item && item->OnVendorSpecific)
        return item->OnVendorSpecific(static_cast<TAudioMasterOpcode>(opcode), index, value, ptr,
                                      opt);
      return 0;
    case audioMasterSetIcon:
      return 0;
    case audioMasterCanDo:
      return CanDoAnswer(ptr);
    case audioMasterGetLanguage:
      return host ? host->Language : 0;
    case audioMasterOpenWindow:
      if (TWindowWork work(host); work) OpenWindowRequest(static_cast<const VstWindow*>(ptr));
      return 0;
    case audioMasterCloseWindow:
      return 0;
    case audioMasterGetDirectory:
      return host ? reinterpret_cast<VstIntPtr>(host->PlugInDir.c_str()) : 0;
    case audioMasterUpdateDisplay:
      if (item) item->OnAudioMasterUpdateDisplay(item);
      return 0;
    case audioMasterBeginEdit:
      if (item) item->OnAudioMasterBeginEdit(item, index);
      return 0;
    case audioMasterEndEdit:
      if (item) item->OnAudioMasterEndEdit(item, index);
      return 0;
    case audioMasterOpenFileSelector:
      if (TWindowWork work(host); work) return OpenFileSelector(static_cast<VstFileSelect*>(ptr));
      return 0;
    case audioMasterCloseFileSelector:
      if (TWindowWork work(host); work) CloseFileSelector(static_cast<const VstFileSelect*>(ptr));
      return 0;
    case audioMasterEditFile:
    case audioMasterGetChunkFile:
      return 0;
    default:
      // Effects ask this from their process routine too: counted, answered 0, nothing
      // allocated and nothing thrown.
      if (host) host->FUnknownRequests.fetch_add(1, std::memory_order_relaxed);
      return 0;
  }
}

VstIntPtr VSTCALLBACK AudioMasterCallback(AEffect* Effect, VstInt32 Opcode, VstInt32 Index,
                                          VstIntPtr Value, void* Ptr, float Opt) {
  // The SSE control word is the effect's own: the answer is worked out with the host's and
  // the effect gets its own back. The x87 word is the host's to set here.
  const uint32_t effect_mxcsr = platform::ReadMxcsr();
  VstIntPtr answer = 0;
  try {
    TVstHost* const host = ActiveVstHost;
    TVstPlugIn* const item = host ? host->VstPlugIns().FindByEffect(Effect) : nullptr;
    platform::ResetFloatingPointState();
    platform::WriteX87ControlWord(HostFPUControlWord);
    answer = HandleHostRequest(host, item, Opcode & 0xFF, Index, Value, Ptr, Opt);
  } catch (...) {
    answer = 0;
  }
  platform::WriteMxcsr(effect_mxcsr);
  return answer;
}
