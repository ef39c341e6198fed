#pragma once

// One hosted VST 2 effect library (TVstPlugIn) and the collection of them that a host owns.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/channel_arrays.h"
#include "platform/fault_log.h"
#include "platform/message_window.h"
#include "platform/ui.h"
#include "vst_bridge/bridge_timings.h"
#include "vst_host/library_width.h"
#include "vst_host/vst_types.h"

class TVstHost;
class TVstPlugIns;
class TVstPlugIn;
namespace vst_bridge {
class TEffectProxy;
}

// The host callback's handling; it reaches into the calling item.
VstIntPtr HandleHostRequest(TVstHost* host, TVstPlugIn* item, VstInt32 opcode, VstInt32 index,
                            VstIntPtr value, void* ptr, float opt);

// Answers beyond reason are refused, not worked on: the host walks at most this many
// parameters or programs of an effect, and takes a chunk of at most this many bytes.
inline constexpr VstInt32 kMaxWalkedCount = 65536;
inline constexpr uint64_t kMaxChunkBytes = uint64_t(256) << 20;
// Nor does it size audio arrays for more inputs or outputs than this.
inline constexpr VstInt32 kMaxAdoptedChannels = 1024;

// The effect's answers an item refused (a count or size beyond the limits above): how many,
// and the last one as text, e.g. "2147483647 parameters".
struct TVstAnswerRefusals {
  uint32_t Count = 0;
  std::string Last;
};

// A failure of the effect host, carrying the text for the user.
class EVstError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A preset was not saved because the effect gave no state to save (no chunk, a null one, one
// that faulted when copied, one beyond the limit, a parameter it faulted on, no answer from
// its helper); why is in the fault log.
class EVstNoState : public EVstError {
 public:
  using EVstError::EVstError;
};

class TVstPlugIn : public TObject {
 public:
  explicit TVstPlugIn(TVstPlugIns* Collection);
  ~TVstPlugIn() override;
  TVstPlugIn(const TVstPlugIn&) = delete;
  TVstPlugIn& operator=(const TVstPlugIn&) = delete;

  TVstPlugIns* Collection() const { return FCollection; }

  // Copies settings, events and state into another item, which loads and opens the same
  // library. Throws for a target that is no effect item.
  void AssignTo(TObject* Dest);
  std::string GetDisplayName() const { return FDisplayName; }
  void SetDisplayName(const std::string& Value) { FDisplayName = Value; }

  // Life cycle.
  bool Active() const { return FActive; }
  void SetActive(bool Value);
  void OpenEffect();
  void CloseEffect();
  bool Load(const std::string& FileName);
  bool BindEntryPoint(const std::string& FileName);
  void Unload();
  // When set, Load runs the effect in this helper program (vst_bridge/) instead of this
  // process: an effect of another width, or one that must not take the player down.
  std::string BridgeHelper;
  vst_bridge::TBridgeTimings BridgeTimings;
  // The bridge to the helper while a bridged effect is loaded, else null.
  vst_bridge::TEffectProxy* Bridge() const { return FBridge.get(); }

  // Every control request goes through here: floating-point state reset, fault guard,
  // 0 on any failure or without an effect record.
  VstIntPtr VstDispatch(VstInt32 Opcode, VstInt32 Index = 0, VstIntPtr Value = 0,
                        void* Ptr = nullptr, float Opt = 0.0f);

  // Audio and parameters: directly on the effect's routines, each behind the fault guard.
  // A process call whose arrays are too small for the effect or the block is refused; a
  // process call that faults leaves silence in the outputs. Both answer false. After each,
  // the caller's x87 control word and MXCSR are back: an effect that unmasks exceptions or
  // turns on flush-to-zero leaves nothing of it to the host's following work.
  virtual void SetParameter(VstInt32 Index, float Value);
  virtual float GetParameter(VstInt32 Index);
  virtual bool Process(TSingleChannelArrays& Inputs, TSingleChannelArrays& Outputs,
                       VstInt32 SampleFrames);
  virtual bool ProcessReplacing(TSingleChannelArrays& Inputs, TSingleChannelArrays& Outputs,
                                VstInt32 SampleFrames);
  virtual bool ProcessDoubleReplacing(TDoubleChannelArrays& Inputs, TDoubleChannelArrays& Outputs,
                                      VstInt32 SampleFrames);
  // New input or output counts of an effect that is open: it reports them through
  // audioMasterIOChanged (possibly from its process call on the audio thread), or its record
  // shows them after a program change. The host's thread adopts them here, from its timer or
  // idle work; SetProgramNr does it at once, and keeps audio blocks out while the effect
  // takes the program. While no audio block is held, the adopted counts take the record's
  // and OnIOCountsAdopted runs, where the owner resizes the arrays it hands to the process
  // calls. True when new counts were adopted. Counts beyond kMaxAdoptedChannels are refused
  // and recorded.
  bool AdoptIOChanges();
  // The counts the owner's arrays are sized by: those at opening, then those adopted.
  VstInt32 AdoptedInputs() const { return std::max<VstInt32>(FNumInputs.load(), 0); }
  VstInt32 AdoptedOutputs() const { return std::max<VstInt32>(FNumOutputs.load(), 0); }

  // The audio thread's hold on the arrays it hands to the effect, for one block: false while
  // the host's thread adopts new counts (the block then leaves the effect alone). One atomic
  // step in, one out: no lock, no wait.
  class TAudioBlock {
   public:
    explicit TAudioBlock(TVstPlugIn& Item) noexcept;
    ~TAudioBlock();
    TAudioBlock(const TAudioBlock&) = delete;
    TAudioBlock& operator=(const TAudioBlock&) = delete;
    explicit operator bool() const noexcept { return FHeld; }

   private:
    std::atomic<int32_t>& FBlocks;
    bool FHeld;
  };

  // The host's thread keeps audio blocks out for a scope, while it unloads and loads the
  // item's library and resizes the arrays the blocks use. False when a block in progress did
  // not end in time: then nothing is kept out. Count adoptions inside the scope (also those
  // of a program change) find the blocks closed already and give up after their wait.
  class TAudioBlocksClosed {
   public:
    explicit TAudioBlocksClosed(TVstPlugIn& Item) : FItem(Item), FClosed(Item.CloseAudioBlocks()) {}
    ~TAudioBlocksClosed() {
      if (FClosed) FItem.OpenAudioBlocks();
    }
    TAudioBlocksClosed(const TAudioBlocksClosed&) = delete;
    TAudioBlocksClosed& operator=(const TAudioBlocksClosed&) = delete;
    explicit operator bool() const noexcept { return FClosed; }

   private:
    TVstPlugIn& FItem;
    bool FClosed;
  };

  // Request wrappers.
  VstInt32 ProgramNr();
  void SetProgramNr(VstInt32 Value);
  std::string ProgramName();
  void SetProgramName(const std::string& Value);
  std::string GetParamLabel(VstInt32 Index);
  std::string GetParamDisplay(VstInt32 Index);
  std::string GetParamName(VstInt32 Index);
  void SetSampleRate(double Rate);
  void SetBlockSize(VstInt32 Size);
  void MainsChanged(bool On);
  void EditGetRect(ERect& Rect);
  void EditOpen(void* Handle);
  void EditClose();
  VstIntPtr EditIdle();
  void EditTop();
  void EditSleep();
  void Identify();
  // The effect's chunk, copied at once: its memory is the effect's and valid only until
  // the next request.
  std::vector<uint8_t> GetChunk(bool IsProgram);
  void SetChunk(const void* Data, VstInt32 Size, bool IsProgram);
  VstIntPtr GetPlugCategory();
  void SetBypass(bool On);
  std::string GetEffectName();
  std::string VendorString();
  std::string ProductString();
  VstInt32 VendorVersion();
  VstIntPtr CanDo(const std::string& Text);
  VstIntPtr Idle();
  VstInt32 GetVstVersion();
  VstIntPtr GetNextShellPlugin(std::string& Name);
  void BeginLoadProgram(const VstPatchChunkInfo& Info);

  // The effect's user interface (editor_views.cpp): its own editor, or a view of its
  // parameters built from controls, shown in a control of the caller or, without argument,
  // in a tool window of the item's own. CloseEdit removes exactly what ShowEdit made and
  // always ends hidden. All of it belongs to the thread that shows it.
  void ShowEdit(platform::Control& Control);
  void ShowEdit();
  void CloseEdit();
  // Throws "Close Editor first!" while the user interface is showing.
  void SetGUIStyle(TGUIStyle Value);
  TGUIStyle GUIStyle() const { return FGUIStyle; }
  // The control that holds a parameter view, or the item's own window; null while none.
  platform::Control* EditorForm() const { return FEditorForm; }
  bool OwnEditorForm() const { return FOwnEditorForm != nullptr; }
  // Handlers of the parameter views' controls and of the own window.
  void TrackBarChange();
  void ComboBoxChange();
  void ScrollBarChange(VstInt32 Row);
  void EditorFormClose();

  // The counts to walk when going through the effect's parameters or programs: the claimed
  // count, 0 for a negative one, and 0 with the refusal recorded for one beyond
  // kMaxWalkedCount. A parameter preset of an effect claiming too many is not saved.
  VstInt32 WalkableParams();
  VstInt32 WalkablePrograms();
  const TVstAnswerRefusals& AnswerRefusals() const { return FRefusals; }
  // The name the item's faults are recorded under (platform/fault_log.h).
  platform::FaultSourceId FaultSource() const { return FFaultSource; }

  // Preset files (the effect's current program).
  void SavePreset(const std::string& FileName);
  void SavePreset(std::ostream& Stream);
  void LoadPreset(const std::string& FileName);
  void LoadPreset(std::istream& Stream);

  // Properties.
  VstInt32 numInputs() const { return FEffect ? FEffect.load()->numInputs : FNumInputs.load(); }
  VstInt32 numOutputs() const { return FEffect ? FEffect.load()->numOutputs : FNumOutputs.load(); }
  VstInt32 numPrograms() const {
    return FEffect ? FEffect.load()->numPrograms : FNumPrograms.load();
  }
  VstInt32 numParams() const { return FEffect ? FEffect.load()->numParams : FNumParams.load(); }
  VstInt32 Version() const { return FVersion; }
  VstInt32 InitialDelay() const { return FEffect ? FEffect.load()->initialDelay : 0; }
  TReplaceOrAccumulate ReplaceOrAccumulate = roa0NotSupported;
  TCurrentProcessLevel CurrentProcessLevel = cpl0NotSupported;
  TAutomationState AutomationState = as0NotSupported;
  std::string uID() const { return FuID; }
  VstInt32 PluginVstVersion() const { return FPluginVstVersion; }
  bool EditVisible() const { return FEditVisible; }
  TEffFlags EffectOptions() const {
    return FEffect ? EffFlagsFromRecord(FEffect.load()->flags) : TEffFlags();
  }
  TVstPluginCategory PlugCategory() const { return FPlugCategory; }
  const std::string& DLLFileName() const { return FDLLFileName; }
  void SetDLLFileName(const std::string& Value) { FDLLFileName = Value; }
  // The user's choice to run the effect in a process of its own, also when its library has
  // the host's width; it counts from the next opening.
  bool OwnProcess() const { return FOwnProcess; }
  void SetOwnProcess(bool Value) { FOwnProcess = Value; }
  // How the library of DLLFileName loads (library_width.h): the one place that decides. A
  // file whose header tells no width loads in process, where the system's loader answers.
  TLoadRoute LoadRoute() const;
  // The record the effect handed out, null while none is held.
  AEffect* Effect() const { return FEffect.load(std::memory_order_acquire); }

  TVstAutomateEvent OnAudioMasterAutomate;
  TNotifyEvent OnAudioMasterIdle;
  TNotifyEvent OnAudioMasterNeedIdle;
  TNotifyEvent OnAudioMasterIOChanged;
  // On the host's thread, once new counts are adopted (AdoptIOChanges).
  TNotifyEvent OnIOCountsAdopted;
  TNotifyEvent OnAudioMasterWantMidi;
  TNotifyEvent OnAudioMasterOfflineStart;
  TVstOfflineEvent OnAudioMasterOfflineRead;
  TVstOfflineEvent OnAudioMasterOfflineWrite;
  TNotifyEvent OnAudioMasterOfflineGetCurrentPass;
  TNotifyEvent OnAudioMasterOfflineGetCurrentMetaPass;
  TVstSampleRateChangedEvent OnAudioMasterSetOutputSampleRate;
  TNotifyEvent OnAudioMasterUpdateDisplay;
  TVstAutomationNotifyEvent OnAudioMasterBeginEdit;
  TVstAutomationNotifyEvent OnAudioMasterEndEdit;
  TVstPinConnectedEvent OnAudioMasterPinConnected;
  TVendorSpecificEvent OnVendorSpecific;
  TVstShowEditEvent OnShowEdit;
  TNotifyEvent OnCloseEdit;
  TNotifyEvent OnAfterLoad;
  TVstProcessEventsEvent OnProcessEvents;

 private:
  friend VstIntPtr HandleHostRequest(TVstHost*, TVstPlugIn*, VstInt32, VstInt32, VstIntPtr, void*,
                                     float);
  // How a text request tells that it wrote its text: by writing it whatever it answers, or
  // by answering non-zero.
  enum class TTextAnswer { Written, Confirmed };
  // A request that fills a text; the text the effect wrote, as its kind of answer tells.
  std::string StringRequest(VstInt32 Opcode, VstInt32 Index, TTextAnswer Answer);
  // Whether the calling thread is the one the user interface was shown on.
  bool OnEditorThread() const {
    return FEditorThread.load(std::memory_order_relaxed) == platform::CurrentThreadToken();
  }
  // The editor-size request: the editor form's new client size; false for a size no
  // window can take.
  bool SizeEditorForm(VstIntPtr Width, VstIntPtr Height);
  // An editor-size request from a thread other than the editor's (a bridged editor's come
  // on the bridge's thread): kept for the editor's thread, which takes it at its next
  // EditIdle. False for a size no window can take or while no editor shows. Touches no
  // window, takes no lock.
  bool KeepEditorSizeRequest(VstIntPtr Width, VstIntPtr Height) noexcept;
  // On the editor's thread: the kept request, made again there.
  void TakeEditorSizeRequest();
  void BuildSelectorView(platform::Control& Control);
  void BuildListView(platform::Control& Control);
  platform::Control* AddViewControl(platform::ControlKind Kind, platform::Control& Parent,
                                    const std::string& Name, const platform::Bounds& Bounds,
                                    const std::string& Caption = {});
  platform::Control* FindViewControl(const std::string& Name) const;
  // Destroys the view control of this name; false when there is none.
  bool RemoveViewControl(const std::string& Name);
  void ReleaseOwnEditorForm();
  void ForgetEffect() { FEffect.store(nullptr, std::memory_order_release); }
  VstInt32 WalkableCount(VstInt32 Claimed, const char* What);
  // The effect's chunk copied into Chunk; null when taken, else why not (a literal, as the
  // fault log keeps it).
  const char* TakeChunk(bool IsProgram, std::vector<uint8_t>& Chunk);
  // The preset file's bytes for the effect's current program.
  std::vector<uint8_t> PresetBytes();
  // Keeps audio blocks out until those in progress have ended; false (and open again) when
  // one does not end in time.
  bool CloseAudioBlocks();
  // The record's input and output counts, when they differ from the adopted ones and are
  // within kMaxAdoptedChannels (beyond it they are refused and recorded).
  bool CountsToAdopt(VstInt32& Inputs, VstInt32& Outputs);
  // With audio blocks kept out: adopts new counts and runs OnIOCountsAdopted; then lets the
  // blocks in again. True when new counts were adopted.
  bool AdoptAndOpen();
  void OpenAudioBlocks() { FAudioBlocks.fetch_sub(kAudioBlocksClosed, std::memory_order_release); }
  // Records an answer refused in `Call` (a literal).
  void Refuse(const char* Call, const std::string& Answer);
  // Loads FDLLFileName through the helper of its width, found beside the plug-in.
  bool LoadBridged();
  // Why a library that goes through the bridge cannot load: its helper `Helper` is missing.
  std::string NoBridgeText(const std::string& Helper) const;

  TVstPlugIns* FCollection;
  std::string FDisplayName = "TVstPlugIn";
  bool FActive = false;
  void* FLibHandle = nullptr;
  VstPluginMainProc FMainFunction = nullptr;
  std::unique_ptr<vst_bridge::TEffectProxy> FBridge;
  // Published only once the item is whole; the host callback finds items by it, possibly
  // from another thread.
  std::atomic<AEffect*> FEffect{nullptr};
  std::atomic<bool> FNeedIdle{false};
  platform::Control* FEditorForm = nullptr;
  // The tool window the item made for itself (then also FEditorForm), and the controls of a
  // parameter view. The controls go first: they may live in that window.
  std::unique_ptr<platform::Control> FOwnEditorForm;
  std::vector<std::unique_ptr<platform::Control>> FViewControls;
  // The thread the user interface was shown on; only there may its windows be touched.
  std::atomic<uintptr_t> FEditorThread{0};
  // A kept editor-size request, width in the upper and height in the lower 16 bits; 0 for
  // none.
  std::atomic<uint32_t> FKeptEditorSize{0};
  // The own window's close handler runs: the window may only go once it has returned.
  bool FClosingEditorForm = false;
  bool FEditVisible = false;
  // The adopted input and output counts; the host's thread writes them, any thread reads.
  std::atomic<VstInt32> FNumInputs{-1};
  std::atomic<VstInt32> FNumOutputs{-1};
  // The effect may report changed counts of these from its audio thread.
  std::atomic<VstInt32> FNumPrograms{-1};
  std::atomic<VstInt32> FNumParams{-1};
  VstInt32 FVersion = -1;
  VstInt32 FProgramNr = -1;
  std::string FuID;
  VstInt32 FPluginVstVersion = -1;
  TVstPluginCategory FPlugCategory = vpcUnknown;
  std::string FDLLFileName;
  bool FOwnProcess = false;
  TGUIStyle FGUIStyle = gsDefault;
  TVstAnswerRefusals FRefusals;
  platform::FaultSourceId FFaultSource = 0;
  // Audio blocks held, plus kAudioBlocksClosed while the host's thread adopts new counts.
  static constexpr int32_t kAudioBlocksClosed = 0x40000000;
  std::atomic<int32_t> FAudioBlocks{0};
  // The counts last refused, so that a refusal is recorded once, not at every timer tick.
  std::pair<VstInt32, VstInt32> FRefusedCounts{-1, -1};
};

class TVstPlugIns {
 public:
  explicit TVstPlugIns(TVstHost* Owner) : FVstHost(Owner) {}
  ~TVstPlugIns() { Clear(); }
  TVstPlugIns(const TVstPlugIns&) = delete;
  TVstPlugIns& operator=(const TVstPlugIns&) = delete;

  TVstHost* VstHost() const { return FVstHost; }
  int Count() const { return static_cast<int>(FItems.size()); }
  TVstPlugIn* Items(int Index) const { return FItems.at(static_cast<size_t>(Index)).get(); }
  // A new item at the end; it joins the list only once it is built.
  TVstPlugIn* Add();
  void Delete(int Index);
  void Clear();
  // Makes this collection a copy of Source, item by item.
  void Assign(const TVstPlugIns& Source);
  // The item holding this effect record, or null. Safe on any thread while items are
  // added: it reads a published list that only ever holds whole items.
  TVstPlugIn* FindByEffect(const AEffect* Effect) const;

 private:
  void Publish();

  TVstHost* FVstHost;
  std::vector<std::unique_ptr<TVstPlugIn>> FItems;
  // Lists of the items for the host callback; an old list may still be read by another
  // thread, so each stays until the collection goes.
  std::atomic<const std::vector<TVstPlugIn*>*> FPublished{nullptr};
  std::vector<std::unique_ptr<std::vector<TVstPlugIn*>>> FSnapshots;
};
