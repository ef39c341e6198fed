// The library's boundary towards the player (the record and its callbacks), the host window
// that owns the effect and the driver, and the stream ring between them.
#include "output_module/outputasio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>

#include "output_module/routing.h"
#include "output_module/settings.h"
#include "platform/fault_log.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/system.h"
#include "vst_host/preset_format.h"

TFmASIOConfig* FmASIOConfig = nullptr;
std::unique_ptr<std::mutex> StreamLock;
TOutputModule OutputModule{};

namespace {

constexpr char kCreditLine[] = "Partiloom: effect outputs on ASIO channels";
constexpr char kNoLibraryChosen[] =
    "You have to select the Partiloom.DLL in order to get this plugin running";
constexpr char kLibraryNotStored[] = "The path of the Partiloom.DLL could not be stored";
constexpr char kEffectBusy[] =
    "The effect did not finish its audio block in time; it was not changed. Try again";

// Calls into the window in progress on the calling thread: every window handler and record
// callback that may wait in a modal loop runs through ReportFailure. A Quit made inside one
// (the loop hands the player's messages on) leaves the delete to the outermost call on its
// thread, which returns only after the loop.
thread_local int t_window_calls = 0;
thread_local bool t_quit_pending = false;
thread_local TFmASIOConfig* t_quit_window = nullptr;

void FinishQuit() noexcept;

struct WindowCall {
  WindowCall() noexcept { ++t_window_calls; }
  ~WindowCall() {
    if (--t_window_calls == 0 && t_quit_pending) FinishQuit();
  }
  WindowCall(const WindowCall&) = delete;
  WindowCall& operator=(const WindowCall&) = delete;
};

// What the user sees of a failure in a window handler: the handler's work stops there, the
// window goes on.
template <typename Handler>
void ReportFailure(Handler&& handler) noexcept {
  const WindowCall call;
  try {
    handler();
  } catch (const std::exception& error) {
    platform::ShowMessageBox(error.what());
  } catch (...) {
    platform::ShowMessageBox("Unknown failure");
  }
}

// The strip of meters and the status line below the panel.
constexpr int32_t kMeterStripHeight = 100;
// The window's inside width as made, the tool bar's: the narrowest it gets.
constexpr int32_t kFormClientWidth = 811;

// How long an effect is left alone after it is stopped and after it is unloaded.
constexpr uint32_t kEffectSettleMs = 10;

// The library dialog, at the first start and from the tool bar; nothing when cancelled.
std::optional<std::string> AskForEffectLibrary() {
  platform::FileDialogRequest request;
  request.title = "Please select the Partiloom.dll";
  request.filter = "Partiloom (Partiloom.dll)|Partiloom.dll|";
  return platform::RunFileDialog(request);
}

// How long a stop's fade-out takes: long enough against a click, short enough that nothing
// of the stopped stream is heard after it.
constexpr size_t kFadeOutFrames = 128;

// Fades the first `Taken` frames of every channel out and silences the rest of the block.
void FadeOut(TSingleChannelArrays& Inputs, size_t Taken) noexcept {
  const size_t ramp = std::min(Taken, kFadeOutFrames);
  for (size_t ch = 0; ch < Inputs.ChannelCount(); ++ch) {
    float* samples = Inputs[ch];
    for (size_t i = 0; i < ramp; ++i)
      samples[i] *= static_cast<float>(ramp - 1 - i) / static_cast<float>(ramp);
    std::fill(samples + ramp, samples + Inputs.SampleCount(), 0.0f);
  }
}

constexpr uint32_t kWindowCallMessage = platform::kFirstUserMessage + 1;
// How long a player's thread waits for the window's thread to take up its call.
constexpr auto kWindowAnswerTime = std::chrono::seconds(5);
// Channels a stream may have: as many as any sound card's driver has outputs and more.
constexpr int32_t kMostStreamChannels = 64;

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point then) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               then)
      .count();
}

}  // namespace

// ---- construction -----------------------------------------------------------------------------

TFmASIOConfig::TFmASIOConfig() : VstHost(this), ASIOHost(this) {
  FWindowThread = platform::CurrentThreadToken();
  FCallWindow = std::make_unique<platform::MessageWindow>(&TFmASIOConfig::WindowCallMessage, this);
  // The status line counts the faults of this window's time, then of each stream's.
  FFaultsAtOpen.store(platform::TotalFaultCount(), std::memory_order_relaxed);
  VstHost.VstPlugIns().Add();
  CreateControls();
  ConfigureHosts();
  Form->StartTimer(40, [this] { ReportFailure([this] { TimerTimer(this); }); });
  ReportFailure([this] { FormCreate(this); });
  ReportFailure([this] { UpdateMeters(); });
}

TFmASIOConfig::~TFmASIOConfig() {
  ReportFailure([this] { FormDestroy(this); });
  try {
    Form->StopTimer();
    ASIOHost.SetActive(false);
  } catch (...) {
  }
  // The editor lives in the panel: it goes first.
  try {
    Effect().CloseEdit();
  } catch (...) {
  }
}

void TFmASIOConfig::CreateParams(TCreateParams& Params) {
  Params.WndParent = OutputModule.main_window;
}

void TFmASIOConfig::CreateControls() {
  using platform::Bounds;
  using platform::Control;
  using platform::ControlKind;
  TCreateParams params;
  CreateParams(params);
  Form = Control::CreateTopLevel(ControlKind::Form, "FmASIOConfig", "Config ASIO", params.WndParent,
                                 Bounds{222, 192, 811, 708 + kMeterStripHeight},
                                 platform::FontSpec{"Tahoma", -11});
  ToolBar = Control::CreateChild(ControlKind::ToolBar, *Form, "ToolBar", Bounds{0, 0, 811, 25});
  // The tool bar's items left to right; the separators are gaps of the stated widths.
  int32_t left = 0;
  auto item = [&](ControlKind kind, const char* name, int32_t width, int32_t top, int32_t height,
                  const std::string& caption = {}) {
    std::unique_ptr<Control> control =
        Control::CreateChild(kind, *ToolBar, name, Bounds{left, top, width, height}, caption);
    left += width;
    return control;
  };
  constexpr int32_t kButtonHeight = 21;
  constexpr int32_t kLabelTop = 4;  // the text sits level with the buttons' captions
  constexpr int32_t kLabelHeight = 13;
  TBSep1 = item(ControlKind::Label, "TBSep1", 8, 0, kButtonHeight);
  LbDriver = item(ControlKind::Label, "LbDriver", 33, kLabelTop, kLabelHeight, "Driver:");
  LbDriver->SetAlignment(platform::TextAlignment::Center);
  TBSep2 = item(ControlKind::Label, "TBSep2", 8, 0, kButtonHeight);
  CBDriver = item(ControlKind::ComboBox, "CBDriver", 145, 0, kButtonHeight);
  TBSep3 = item(ControlKind::Label, "TBSep3", 19, 0, kButtonHeight);
  BtControlPanel =
      item(ControlKind::Button, "BtControlPanel", 100, 0, kButtonHeight, "Control Panel");
  ToolButton1 = item(ControlKind::Label, "ToolButton1", 16, 0, kButtonHeight);
  BtRouting = item(ControlKind::Button, "BtRouting", 64, 0, kButtonHeight, "Routing");
  ToolButton2 = item(ControlKind::Label, "ToolButton2", 136, 0, kButtonHeight);
  Label1 = item(ControlKind::Label, "Label1", 275, kLabelTop, kLabelHeight, kCreditLine);
  Label1->SetAlignment(platform::TextAlignment::Center);
  Panel = Control::CreateChild(ControlKind::Panel, *Form, "Panel", Bounds{0, 25, 811, 683});
  // The tool bar has no room after the credit line: the effect's button stands in the gap
  // after "Routing", as far from it as "Routing" is from "Control Panel", and follows it in
  // the tab order.
  BtEffect = Control::CreateChild(
      ControlKind::Button, *ToolBar, "BtEffect",
      Bounds{ToolButton2->GetBounds().left + ToolButton1->GetBounds().width, 0, 100, kButtonHeight},
      "Choose Effect...");
  BtEffect->SetTabOrder(8);  // right after BtRouting, the eighth of the bar's items
  // The tool bar is full: the "Own process" check box stands at the right end of the status
  // line below the meters. Created before them, it lies above them.
  BtOwnProcess = Control::CreateChild(ControlKind::CheckBox, *Form, "BtOwnProcess",
                                      OwnProcessBounds(708), "Own process");
  Meters = Control::CreateChild(ControlKind::LevelMeter, *Form, "Meters",
                                Bounds{0, 708, 811, kMeterStripHeight});
  Meters->SetMeterMarks(TMeterStrip::Marks());
  Meters->OnBarClick = [this](int32_t bar) {
    ReportFailure([this, bar] {
      FMeterStrip.ClearClip(static_cast<size_t>(bar));
      Meters->SetMeterBars(FMeterStrip.Bars());
    });
  };
  Panel->OnResize = [this] { ReportFailure([this] { FitMetersBelowPanel(); }); };

  CBDriver->OnChange = [this] { ReportFailure([this] { CBDriverChange(this); }); };
  BtControlPanel->OnClick = [this] { ReportFailure([this] { BtControlPanelClick(this); }); };
  BtRouting->OnClick = [this] { ReportFailure([this] { BtRoutingClick(this); }); };
  BtEffect->OnClick = [this] { ReportFailure([this] { BtEffectClick(this); }); };
  BtOwnProcess->OnClick = [this] { ReportFailure([this] { BtOwnProcessClick(this); }); };
}

void TFmASIOConfig::ConfigureHosts() {
  VstHost.ParameterQuantization = 0;
  VstHost.SetCanDos({hcdSendVstEvents, hcdSendVstMidiEvent, hcdSendVstTimeInfo, hcdReceiveVstEvents,
                     hcdReceiveVstMidiEvent, hcdReceiveVstTimeInfo, hcdAcceptIOChanges,
                     hcdSizeWindow, hcdAsyncProcessing, hcdOffline, hcdSupplyIdle, hcdEditFile,
                     hcdStartStopProcess});
  Effect().OnIOCountsAdopted = TNotifyEvent::Bind<&TFmASIOConfig::EffectIOCountsAdopted>(this);
  VstHost.ManageIdleAutomaticly = false;
  VstHost.SetTempo(120.0f);
  VstHost.SetVstVersion(2400);
  VstHost.VendorVersion = 0;
  VstHost.PlugInDir = "C:\\Programme\\Audio\\Plugins\\VST";
  TVstTimeInformation& time = VstHost.VstTimeInfo();
  time.SetSampleRate(44100.0);
  time.SetTempo(120.0);
  time.SetFlags({vtiNanosValid, vtiPpqPosValid, vtiTempoValid, vtiBarsValid, vtiCyclePosValid,
                 vtiTimeSigValid, vtiSmpteValid, vtiClockValid});

  ASIOHost.ReadState([this] {
    ASIOHost.SetConvertOptimizations({coSSE, co3DNow});
    ASIOHost.SetSampleRate(44100.0);
    ASIOHost.ASIOTime().SetSpeed(1.0);
    ASIOHost.ASIOTime().SetSampleRate(44100.0);
    ASIOHost.ASIOTime().SetFlags(
        {atSystemTimeValid, atSamplePositionValid, atSampleRateValid, atSpeedValid});
    ASIOHost.OnLatencyChanged = TNotifyEvent::Bind<&TFmASIOConfig::ASIOHostLatencyChanged>(this);
    ASIOHost.OnSampleRateChanged =
        TNotifyEvent::Bind<&TFmASIOConfig::ASIOHostSampleRateChanged>(this);
    ASIOHost.OnBuffersCreate = TNotifyEvent::Bind<&TFmASIOConfig::ASIOHostBuffersCreate>(this);
    ASIOHost.SetOnBufferSwitch32(
        TBufferSwitchEvent32::Bind<&TFmASIOConfig::ASIOHostBufferSwitch32>(this));
  });
}

// ---- window handlers ----------------------------------------------------------------------------

void TFmASIOConfig::FormCreate(TObject*) {
  CBDriver->SetItems(ASIOHost.DriverList());
  FVolume = 1.0f;

  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  const bool visible = settings::ReadBoolean(*key, settings::kVisible);
  if (visible) Form->Show();
  const platform::Bounds bounds = Form->GetBounds();
  const int32_t left = key->ReadInteger(settings::kLeft).value_or(bounds.left);
  const int32_t top = key->ReadInteger(settings::kTop).value_or(bounds.top);
  Form->SetPosition(left, top);
  // The player loads every installed output and initialises each: the effect and the driver
  // wait for this one's first use. A window left open is in use at once, and a host without
  // a main window loads only the output it means to play through.
  if (visible || !OutputModule.main_window) PrepareHere();
}

void TFmASIOConfig::PrepareHere() {
  if (FPreparing) return;  // the library dialog's loop hands on the player's calls
  if (FPrepared.load(std::memory_order_acquire)) {
    if (!FDriverReleased.exchange(false)) return;
    if (std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting())
      if (const std::optional<int32_t> driver = key->ReadInteger(settings::kDriver))
        RestoreDriver(*key, *driver);
    KeepDriverFigures();
    return;
  }
  FPreparing = true;
  // Once, whatever comes of it: a dialog the user cancelled is not asked again until the
  // next start.
  struct Prepared {
    TFmASIOConfig& window;
    ~Prepared() {
      window.KeepDriverFigures();
      window.FPreparing = false;
      window.FPrepared.store(true, std::memory_order_release);
    }
  } prepared{*this};

  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  while (!key->ValueExists(settings::kVstPlugin)) {
    const std::optional<std::string> chosen = AskForEffectLibrary();
    if (!chosen) throw std::runtime_error(kNoLibraryChosen);
    // A path that cannot be stored would bring the dialog back for ever.
    if (!key->WriteString(settings::kVstPlugin, *chosen))
      throw std::runtime_error(kLibraryNotStored);
  }

  const bool own_process = settings::ReadBoolean(*key, settings::kOwnProcess);
  BtOwnProcess->SetChecked(own_process);
  Effect().SetOwnProcess(own_process);

  // A preset that does not load is reported once the driver and its routing are back.
  std::string preset_failure;
  LoadEffect(key->ReadString(settings::kVstPlugin).value_or(std::string()), preset_failure);

  if (const std::optional<int32_t> driver = key->ReadInteger(settings::kDriver))
    RestoreDriver(*key, *driver);
  if (!preset_failure.empty()) platform::ShowMessageBox(preset_failure);
}

bool TFmASIOConfig::PrepareForUse() {
  if (FPrepared.load(std::memory_order_acquire) && !FDriverReleased.load()) return true;
  return OnWindowThread([this] { PrepareHere(); });
}

struct TFmASIOConfig::TWindowCall {
  const std::function<void()>* call;
  bool started = false;
  bool done = false;
  std::exception_ptr failure;
};

bool TFmASIOConfig::OnWindowThread(const std::function<void()>& Call) {
  if (platform::CurrentThreadToken() == FWindowThread) {
    Call();
    return true;
  }
  TWindowCall call{&Call};
  std::unique_lock<std::mutex> lock(FCallLock);
  FCalls.push_back(&call);
  if (!FCallWindow->Post(kWindowCallMessage, 0, 0)) {
    std::erase(FCalls, &call);
    return false;
  }
  if (!FCallChanged.wait_for(lock, kWindowAnswerTime, [&] { return call.started; })) {
    std::erase(FCalls, &call);
    return false;
  }
  // Once started, it may take as long as it takes: the library dialog waits for the user.
  FCallChanged.wait(lock, [&] { return call.done; });
  if (call.failure) std::rethrow_exception(call.failure);
  return true;
}

void TFmASIOConfig::WindowCallMessage(void* Context, uint32_t Message, uintptr_t,
                                      intptr_t) noexcept {
  if (Message != kWindowCallMessage) return;
  auto* window = static_cast<TFmASIOConfig*>(Context);
  std::unique_lock<std::mutex> lock(window->FCallLock);
  if (window->FCalls.empty()) return;  // its caller gave up
  TWindowCall* call = window->FCalls.front();
  window->FCalls.pop_front();
  call->started = true;
  window->FCallChanged.notify_all();
  lock.unlock();
  try {
    (*call->call)();
  } catch (...) {
    call->failure = std::current_exception();
  }
  lock.lock();
  call->done = true;
  window->FCallChanged.notify_all();
}

void TFmASIOConfig::OutputModeChange(int32_t Mode) {
  if ((Mode & 1) != 0) {
    PrepareForUse();
    return;
  }
  if (!FPrepared.load(std::memory_order_acquire) || ASIOHost.GetDriverIndex() < 0) return;
  const std::lock_guard<std::mutex> control(FStreamControl);
  if (FStreamOpen.load()) return;
  if (FDraining.load()) EndStream();
  ASIOHost.SetActive(false);
  ASIOHost.SetDriverIndex(-1);
  FDriverReleased.store(true);
  KeepDriverFigures();
}

void TFmASIOConfig::RestoreDriver(platform::RegistryKey& Key, int32_t Position) {
  const std::string name = Key.ReadString(settings::kDriverName).value_or(std::string());
  const std::optional<int32_t> index =
      settings::FindStoredDriver(ASIOHost.DriverList(), Position, name);
  if (!index) {
    // Another driver would play on another device at another level, with routing meant for
    // this one. A message box here would hold the player's thread at its start.
    const std::string notice =
        "ASIO driver \"" + name + "\" is not installed any more; choose a driver";
    Label1->SetCaption(notice);
    platform::WriteDebugOutput(notice + "\n");
    return;
  }
  CBDriver->SetSelectedIndex(*index);
  ASIOHost.SetDriverIndex(*index);
  if (*index != Position) Key.WriteInteger(settings::kDriver, *index);
  LoadRouting(Key);
}

void TFmASIOConfig::LoadEffect(const std::string& Path, std::string& PresetFailure) {
  std::unique_lock<std::mutex> lock;
  if (StreamLock) lock = std::unique_lock<std::mutex>(*StreamLock);
  // A running driver goes on calling: its blocks leave the item and the ring alone (the
  // routed channels are silent) until the item is whole again, so no frame is lost.
  const TVstPlugIn::TAudioBlocksClosed closed(Effect());
  if (!closed) throw std::runtime_error(kEffectBusy);
  const std::string previous = Effect().Effect() ? Effect().DLLFileName() : std::string();
  try {
    ReplaceEffect(Path, PresetFailure);
  } catch (...) {
    // The preset file holds the state the effect had: the caller saved it.
    if (!previous.empty()) {
      try {
        std::string ignored;
        ReplaceEffect(previous, ignored);
      } catch (const std::exception& error) {
        platform::WriteNotice("partiloom: the effect \"" + previous +
                              "\" could not be loaded again: " + error.what());
      }
    }
    throw;
  }
}

void TFmASIOConfig::ReplaceEffect(const std::string& Path, std::string& PresetFailure) {
  TVstPlugIn& effect = Effect();
  try {
    effect.CloseEdit();
  } catch (...) {
  }
  effect.SetActive(false);
  // An effect's own threads get a moment to see the stop before its library goes, and the
  // old library a moment to finish leaving before the next one loads.
  platform::SleepMilliseconds(kEffectSettleMs);
  try {
    effect.Unload();
  } catch (...) {
  }
  platform::SleepMilliseconds(kEffectSettleMs);

  effect.SetDLLFileName(Path);
  FollowHostSampleRate();  // the effect opens at the driver's rate
  effect.SetActive(true);
  FEffectBlockSize = VstHost.BlockSize();
  FVstInBuffer.SetSize(static_cast<size_t>(effect.AdoptedInputs()), 0);
  FVstOutBuffer.SetSize(static_cast<size_t>(effect.AdoptedOutputs()), 0);
  effect.ShowEdit(*Panel);
  if (platform::FileExists(settings::kPresetFileName)) {
    try {
      effect.LoadPreset(std::string(settings::kPresetFileName));
    } catch (const std::exception& error) {
      PresetFailure = error.what();
    }
  }
}

void TFmASIOConfig::FormDestroy(TObject*) {
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  const platform::Bounds bounds = Form->GetBounds();
  settings::StoreWindowState(*key, Form->Visible(), bounds.left, bounds.top);
  SavePresetFile();
}

// Without an effect there is nothing to save, and the file of an earlier run stays. The state
// goes to a file beside the preset first and replaces it only once it is whole.
void TFmASIOConfig::SavePresetFile() {
  TVstPlugIn& effect = Effect();
  if (!effect.Effect()) return;
  namespace fs = std::filesystem;
  const fs::path target = settings::kPresetFileName;
  const fs::path partial = std::string(settings::kPresetFileName) + ".partial";
  try {
    {
      std::ofstream file(partial, std::ios::binary | std::ios::trunc);
      if (!file) throw EVstError("Cannot create file \"" + partial.string() + "\"");
      effect.SavePreset(file);
      file.close();
      if (!file) throw EVstError("Cannot write file \"" + partial.string() + "\"");
    }
    fs::rename(partial, target);
  } catch (const EVstNoState&) {
    // The effect gave nothing to save: the earlier file stays, and the fault log says why.
    std::error_code ignored;
    fs::remove(partial, ignored);
  } catch (...) {
    std::error_code ignored;
    fs::remove(partial, ignored);
    throw;
  }
}

void TFmASIOConfig::TimerTimer(TObject*) {
  // Faults the audio thread and the driver's threads counted become lines here.
  platform::FlushFaultLog();
  UpdateMeters();
  ShowResampling();
  StopPlayedOutDriver();
  TVstPlugIn& effect = Effect();
  if (!effect.Active()) return;
  effect.AdoptIOChanges();
  effect.Idle();
  effect.EditIdle();
}

void TFmASIOConfig::UpdateMeters() {
  std::array<int32_t, 8> routing;
  for (size_t i = 0; i < routing.size(); ++i)
    routing[i] = FOutputRouting[i].load(std::memory_order_relaxed);
  std::vector<std::string> channels;
  for (const ASIOChannelInfo& info : ASIOHost.OutputChannelInfos())
    channels.push_back(settings::ChannelDisplayText(info));
  const int32_t outputs = Effect().Active() ? Effect().numOutputs() : 0;
  FMeterStrip.Follow(MeterChannels(routing, outputs, channels), FPeakTaps);
  const auto now = std::chrono::steady_clock::now();
  FMeterStrip.Update(FPeakTaps, std::chrono::duration<double>(now - FMetersUpdated).count());
  FMetersUpdated = now;
  Meters->SetMeterBars(FMeterStrip.Bars());
  std::string status = StatusLine(StatusFigures());
  if (status != FStatusText) {
    Meters->SetCaption(status);
    FStatusText = std::move(status);
  }
}

TStatusFigures TFmASIOConfig::StatusFigures() const {
  TStatusFigures figures;
  if (ASIOHost.GetDriverIndex() >= 0) figures.Driver = ASIOHost.GetDriverName();
  figures.DriverRate = ASIOHost.GetSampleRate();
  figures.StreamRate = StreamSampleRate();
  figures.BlockFrames = ASIOHost.GetBufferSize();
  figures.OutputLatencyFrames = ASIOHost.GetOutputLatency();
  figures.Underruns = FUnderruns.load(std::memory_order_relaxed);
  // The faults since the stream opened.
  const uint32_t total = platform::TotalFaultCount();
  const uint32_t at_open = FFaultsAtOpen.load(std::memory_order_relaxed);
  figures.Faults = total >= at_open ? total - at_open : total;
  return figures;
}

platform::Bounds TFmASIOConfig::OwnProcessBounds(int32_t StripTop) const {
  constexpr int32_t kWidth = 84, kHeight = 17;
  return {Form->ClientArea().width - kWidth - 4, StripTop + kMeterStripHeight - kHeight - 1, kWidth,
          kHeight};
}

void TFmASIOConfig::FitMetersBelowPanel() {
  const platform::Bounds panel = Panel->GetBounds();
  const int32_t top = panel.top + panel.height;
  // A wider panel (an editor that asked for more) widens the window; a narrower one leaves
  // the tool bar its full width.
  const int32_t width = std::max(kFormClientWidth, panel.left + panel.width);
  Meters->SetBounds({0, top, width, kMeterStripHeight});
  BtOwnProcess->SetBounds(OwnProcessBounds(top));
  Form->SetClientSize(width, top + kMeterStripHeight);
}

// Runs while no driver block holds the effect's arrays: they take the new counts and keep
// their length, so that the next block allocates nothing.
void TFmASIOConfig::EffectIOCountsAdopted(TObject*) {
  TVstPlugIn& effect = Effect();
  FVstInBuffer.SetSize(static_cast<size_t>(effect.AdoptedInputs()), FVstInBuffer.SampleCount());
  FVstOutBuffer.SetSize(static_cast<size_t>(effect.AdoptedOutputs()), FVstOutBuffer.SampleCount());
}

void TFmASIOConfig::CBDriverChange(TObject*) {
  Label1->SetCaption(kCreditLine);
  const bool was_active = ASIOHost.GetActive();
  ASIOHost.SetActive(false);
  ASIOHost.SetDriverIndex(CBDriver->SelectedIndex());
  // Until the new driver's stored routing says otherwise, outputs alternate between its
  // first two channels (1, 3, 5, 7 on channel 0; 2, 4, 6, 8 on channel 1): every stereo pair
  // the effect makes is heard on the driver's first stereo pair.
  for (size_t i = 0; i < FOutputRouting.size(); ++i)
    FOutputRouting[i].store(static_cast<int32_t>(i % 2), std::memory_order_relaxed);
  StoreDriverAndLoadRouting();
  // A stream the player holds open plays on, also when a failed reset (a device unplugged)
  // had stopped the host before the user chose the driver again.
  const bool stream_plays = (FStreamOpen.load(std::memory_order_relaxed) || FDraining.load()) &&
                            !FPaused.load(std::memory_order_relaxed);
  FDriverReleased.store(false);
  ASIOHost.SetActive(was_active || stream_plays);
  KeepDriverFigures();
}

void TFmASIOConfig::StoreDriverAndLoadRouting() {
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  key->WriteInteger(settings::kDriver, ASIOHost.GetDriverIndex());
  key->WriteString(settings::kDriverName, ASIOHost.GetDriverName());
  LoadRouting(*key);
}

void TFmASIOConfig::BtControlPanelClick(TObject*) {
  // The driver's panel may wait in a loop of its own: a Quit inside asks its dialog to close.
  const platform::ModalScope panel;
  if (panel.Admitted()) ASIOHost.ControlPanel();
}

void TFmASIOConfig::BtEffectClick(TObject*) {
  const std::optional<std::string> chosen = AskForEffectLibrary();
  // A Quit made inside the dialog has saved the state of the effect that stays.
  if (!chosen || t_quit_pending) return;
  // Saved before anything changes: a state that cannot be written keeps the effect.
  SavePresetFile();
  std::string preset_failure;
  LoadEffect(*chosen, preset_failure);
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key || !key->WriteString(settings::kVstPlugin, *chosen))
    throw std::runtime_error(kLibraryNotStored);
  // The preset file holds the state of the effect that went: another effect has no use for
  // it, the same effect takes it back.
  if (!preset_failure.empty() && preset_failure != vst_preset::kNotForThisPlugin)
    platform::ShowMessageBox(preset_failure);
}

void TFmASIOConfig::BtRoutingClick(TObject*) {
  TFmRouting dialog(*this);
  std::vector<std::string> channels;
  for (const ASIOChannelInfo& info : ASIOHost.OutputChannelInfos())
    channels.push_back(settings::ChannelDisplayText(info));
  dialog.CBOutput[0]->ClearItems();
  dialog.CBOutput[0]->SetItems(channels);
  for (size_t k = 1; k < dialog.CBOutput.size(); ++k)
    dialog.CBOutput[k]->SetItems(dialog.CBOutput[0]->Items());
  dialog.FormShow(&dialog);
  dialog.Form->ShowModal();
  if (std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting()) LoadRouting(*key);
}

void TFmASIOConfig::BtOwnProcessClick(TObject*) {
  const bool own_process = BtOwnProcess->Checked();
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (key) settings::WriteBoolean(*key, settings::kOwnProcess, own_process);
  Effect().SetOwnProcess(own_process);
  const std::string path =
      key ? key->ReadString(settings::kVstPlugin).value_or(std::string()) : Effect().DLLFileName();
  if (path.empty()) return;
  // The effect's state goes to the preset file, which the new loading reads back.
  SavePresetFile();
  std::string preset_failure;
  LoadEffect(path, preset_failure);
  if (!preset_failure.empty()) platform::ShowMessageBox(preset_failure);
}

void TFmASIOConfig::LoadRouting(const platform::RegistryKey& Key) {
  const std::string& driver = ASIOHost.GetDriverName();
  const std::vector<ASIOChannelInfo>& channels = ASIOHost.OutputChannelInfos();
  for (int k = 1; k <= settings::kRoutedOutputs; ++k) {
    const std::string name = settings::RoutingValueName(driver, k);
    if (!Key.ValueExists(name)) continue;
    const std::string stored = settings::LowerAscii(Key.ReadString(name).value_or(std::string()));
    for (size_t j = 0; j < channels.size(); ++j) {
      if (settings::LowerAscii(settings::ChannelDisplayText(channels[j])) == stored)
        FOutputRouting[static_cast<size_t>(k - 1)].store(static_cast<int32_t>(j),
                                                         std::memory_order_relaxed);
    }
  }
}

int32_t TFmASIOConfig::OutputRouting(int Output) const noexcept {
  if (Output < 1 || Output > static_cast<int>(FOutputRouting.size())) return 0;
  return FOutputRouting[static_cast<size_t>(Output - 1)].load(std::memory_order_relaxed);
}

// ---- the audio callback -------------------------------------------------------------------------

void TFmASIOConfig::ASIOHostBufferSwitch32(TObject*, TSingleChannelArrays&,
                                           TSingleChannelArrays& OutBuffer) noexcept {
  // Nothing may reach the driver: the block stays as far as it got.
  try {
    ProcessDriverBlock(OutBuffer);
  } catch (...) {
    platform::RecordFault(platform::FaultKind::EffectFault,
                          VstHost.VstPlugIns().Count() > 0 ? Effect().FaultSource() : 0,
                          "audio callback");
  }
}

void TFmASIOConfig::ProcessDriverBlock(TSingleChannelArrays& OutBuffer) {
  if (VstHost.VstPlugIns().Count() < 1) return;
  TVstPlugIn& effect = Effect();
  const size_t frames = std::min<size_t>(ASIOHost.GetBufferSize(), OutBuffer.SampleCount());
  if (frames == 0) return;
  // While the window adopts new counts of the effect, its arrays are not this thread's: the
  // channels routed so far are silent for this block.
  const TVstPlugIn::TAudioBlock block(effect);
  if (!block) {
    for (const int32_t previous : FLastTargets)
      if (previous >= 0 && static_cast<size_t>(previous) < OutBuffer.ChannelCount())
        std::fill_n(OutBuffer[static_cast<size_t>(previous)], frames, 0.0f);
    return;
  }
  // The effect never gets more frames than it was opened for, nor more than the ring holds:
  // a longer driver block runs in pieces.
  size_t piece = frames;
  if (FEffectBlockSize > 0) piece = std::min(piece, static_cast<size_t>(FEffectBlockSize));
  const int32_t ring_length = FRing.Length();
  if (ring_length > 0) piece = std::min(piece, static_cast<size_t>(ring_length));
  FVstInBuffer.SetSampleCount(piece);
  FVstOutBuffer.SetSampleCount(piece);

  // One routing for the whole block, so that every piece goes to the same channels.
  std::array<int32_t, 8> targets;
  for (size_t i = 0; i < targets.size(); ++i) {
    const int32_t target = FOutputRouting[i].load(std::memory_order_relaxed);
    // A position the driver does not have is skipped.
    targets[i] =
        target >= 0 && static_cast<size_t>(target) < OutBuffer.ChannelCount() ? target : -1;
  }
  std::array<int32_t, 8> written;
  written.fill(-1);

  const int32_t outputs = effect.AdoptedOutputs();
  const uint32_t block_number = FBlocksRun.fetch_add(1, std::memory_order_relaxed) + 1;
  int32_t fade = FFade.load(std::memory_order_acquire);
  const int32_t fade_at_start = fade;
  bool short_of_frames = false;
  bool took_frames = false;
  for (size_t offset = 0; offset < frames; offset += piece) {
    const size_t count = std::min(piece, frames - offset);
    TRingRead read;
    if (fade == kFaded) {
      // Faded out: the rest of the stopped stream waits for Close to drop it.
      read.Channels = FVstInBuffer.ChannelCount();
      for (size_t ch = 0; ch < FVstInBuffer.ChannelCount(); ++ch)
        std::fill_n(FVstInBuffer[ch], count, 0.0f);
    } else {
      read = ReadBlock(static_cast<uint32_t>(count), FVstInBuffer);
      if (fade == kFadeAsked) {
        FadeOut(FVstInBuffer, read.Taken);
        fade = kFaded;
      }
    }
    took_frames = took_frames || read.Taken > 0;
    const size_t ring_channels = read.Channels;
    short_of_frames = short_of_frames || (read.GateOpen && ring_channels > 0 && read.Taken < count);
    // A refused or failed call leaves silence, not the previous block, in the outputs.
    if (effect.Active() &&
        !effect.ProcessReplacing(FVstInBuffer, FVstOutBuffer, static_cast<VstInt32>(count)))
      FVstOutBuffer.Clear();
    const size_t copied = std::min({static_cast<size_t>(std::max(outputs, 0)), ring_channels,
                                    targets.size(), FVstOutBuffer.ChannelCount()});
    for (size_t i = 0; i < copied; ++i) {
      if (targets[i] < 0) continue;
      std::copy_n(FVstOutBuffer[i], count, OutBuffer[static_cast<size_t>(targets[i])] + offset);
      written[i] = targets[i];
    }
  }

  // A channel that has lost its last routed output is silenced. Nothing else writes the
  // host's output arrays (no pre-fill, no monitoring), so it stays silent from then on.
  for (const int32_t previous : FLastTargets) {
    if (previous < 0 || static_cast<size_t>(previous) >= OutBuffer.ChannelCount()) continue;
    if (std::find(written.begin(), written.end(), previous) != written.end()) continue;
    std::fill_n(OutBuffer[static_cast<size_t>(previous)], frames, 0.0f);
  }
  FLastTargets = written;
  if (took_frames) FLastFrameBlock.store(std::max(block_number, 1u), std::memory_order_relaxed);
  if (fade != fade_at_start) FFade.store(fade, std::memory_order_release);
  // The player fell behind: counted while it holds a stream open and playing, up to the end
  // of its data.
  if (short_of_frames && FStreamOpen.load(std::memory_order_relaxed) &&
      !FPaused.load(std::memory_order_relaxed) && !FEndMarked.load(std::memory_order_relaxed) &&
      fade_at_start == kNoFade)
    FUnderruns.fetch_add(1, std::memory_order_relaxed);
  FPeakTaps.PublishBlock(OutBuffer, written, frames);
}

void TFmASIOConfig::ASIOHostSampleRateChanged(TObject*) noexcept {
  KeepDriverFigures();
  ReportFailure([this] { FollowHostSampleRate(); });
  ReportFailure([this] { FollowDriverRateInStream(); });
}

// The host's time information holds the rate the effect was told: an effect opened later
// starts at it, and it answers the effect's questions. An open effect takes a new rate only
// while suspended, and no driver block may reach it meanwhile: a running host stops for it.
void TFmASIOConfig::FollowHostSampleRate() {
  const double rate = ASIOHost.GetSampleRate();
  TVstTimeInformation& time = VstHost.VstTimeInfo();
  if (time.SampleRate() == rate) return;
  time.SetSampleRate(rate);
  if (VstHost.VstPlugIns().Count() < 1 || !Effect().Active()) return;
  TVstPlugIn& effect = Effect();
  const bool was_active = ASIOHost.GetActive();
  if (was_active) ASIOHost.SetActive(false);
  effect.MainsChanged(false);
  effect.SetSampleRate(rate);
  effect.MainsChanged(true);
  if (was_active) ASIOHost.SetActive(true);
}

void TFmASIOConfig::ASIOHostLatencyChanged(TObject*) noexcept {
  KeepDriverFigures();
}

void TFmASIOConfig::ASIOHostBuffersCreate(TObject*) {
  // The host's thread, with the driver stopped; the player may be writing meanwhile.
  ReportFailure([this] { FRing.FitBlock(ASIOHost.GetBufferSize()); });
  KeepDriverFigures();
  // Another driver, or the same one reopened, may run at another rate.
  ReportFailure([this] { FollowHostSampleRate(); });
  ReportFailure([this] { FollowDriverRateInStream(); });
}

void TFmASIOConfig::KeepDriverFigures() noexcept {
  FDriverRate.store(static_cast<int32_t>(std::lround(ASIOHost.GetSampleRate())));
  FOutputLatency.store(std::max(ASIOHost.GetOutputLatency(), 0));
  FBlockFrames.store(static_cast<int32_t>(std::min<uint32_t>(ASIOHost.GetBufferSize(), INT32_MAX)));
}

// ---- the stream ring ----------------------------------------------------------------------------

int32_t TFmASIOConfig::Open(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample) {
  // A depth the ring cannot read would open into silence: the player hears of it instead,
  // and a stream open before goes on as it was until the player closes it.
  if (TPcmFrames::SampleBytes(BitsPerSample) == 0) {
    platform::WriteNotice("partiloom: the player's stream of " + std::to_string(BitsPerSample) +
                          " bits a sample is refused; 8, 16, 24 and 32 bits play");
    return -1;
  }
  if (SampleRate < kLowestStreamRate || SampleRate > kHighestStreamRate) {
    platform::WriteNotice("partiloom: the player's stream at " + std::to_string(SampleRate) +
                          " Hz is refused; " + std::to_string(kLowestStreamRate) + " to " +
                          std::to_string(kHighestStreamRate) + " Hz play");
    return -1;
  }
  if (Channels < 1 || Channels > kMostStreamChannels) {
    platform::WriteNotice("partiloom: the player's stream of " + std::to_string(Channels) +
                          " channels is refused; 1 to " + std::to_string(kMostStreamChannels) +
                          " play");
    return -1;
  }
  // The hosts are the window's thread's: a decode thread's Open is made there.
  int32_t result = -1;
  if (!OnWindowThread([&] {
        PrepareHere();
        result = OpenHere(SampleRate, Channels, BitsPerSample);
      })) {
    platform::WriteNotice(
        "partiloom: the player's window thread did not take up the stream; it is refused");
    return -1;
  }
  return result;
}

int32_t TFmASIOConfig::OpenHere(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample) {
  const std::lock_guard<std::mutex> control(FStreamControl);
  // An Open without a Close ends the stream before as a Close would.
  if (FStreamOpen.load()) CloseStream();
  if (ASIOHost.GetDriverIndex() < 0) {
    if (FDraining.load()) EndStream();
    platform::WriteNotice(
        "partiloom: no ASIO driver is chosen; the stream is refused until one is chosen in the "
        "\"Config ASIO\" window");
    return -1;
  }
  // The next track of an album: the stream goes on behind the queued frames, on the driver
  // that plays them.
  const bool continues = FDraining.load() && ASIOHost.GetActive() && !FPaused.load() &&
                         SampleRate == FStreamSampleRate.load() && Channels == FChannels.load() &&
                         BitsPerSample == FBitsPerSample.load();
  if (FDraining.load() && !continues) {
    WaitUntilPlayedOut();
    EndStream();
  }
  if (continues) {
    FDraining.store(false);
    const std::lock_guard<std::mutex> lock(FConverterLock);
    StartConversion(SampleRate, Channels);
  } else {
    FRing.Restart(static_cast<size_t>(Channels), ASIOHost.GetBufferSize());
    ASIOHost.SetSampleRate(static_cast<double>(SampleRate));
    FollowHostSampleRate();
    ASIOHost.SetActive(true);
    KeepDriverFigures();
    if (!ASIOHost.GetActive()) {
      platform::WriteNotice("partiloom: the ASIO driver \"" + ASIOHost.GetDriverName() +
                            "\" did not start; the stream is refused");
      return -1;
    }
    const std::lock_guard<std::mutex> lock(FConverterLock);
    FChannels.store(Channels, std::memory_order_relaxed);
    FBitsPerSample.store(BitsPerSample, std::memory_order_relaxed);
    FStreamSampleRate.store(SampleRate, std::memory_order_relaxed);
    StartConversion(SampleRate, Channels);
  }
  {
    const std::lock_guard<std::mutex> lock(FTimeLock);
    FStartMs.store(0);
    FFramesWritten.store(0);
    FLastOutputMs = 0;
  }
  FBlocksAtOpen = FBlocksRun.load();
  FWatchedBlocks.store(FBlocksAtOpen);
  FWatchedSinceMs.store(SteadyMilliseconds());
  FUnderruns.store(0, std::memory_order_relaxed);
  FFaultsAtOpen.store(platform::TotalFaultCount(), std::memory_order_relaxed);
  FEndMarked.store(false);
  FStreamOpen.store(true, std::memory_order_relaxed);
  return LatencyMs();
}

void TFmASIOConfig::StartConversion(int32_t StreamRate, int32_t Channels) {
  const auto driver_rate = static_cast<int32_t>(std::lround(ASIOHost.GetSampleRate()));
  const std::string rates =
      std::to_string(StreamRate) + " Hz to " + std::to_string(driver_rate) + " Hz";
  if (const char* failure =
          FConverter.Start(StreamRate, driver_rate, static_cast<size_t>(std::max(Channels, 0))))
    platform::WriteNotice("partiloom: resampling " + rates + " fails (" + failure +
                          "); the stream plays unconverted");
  if (FConverter.Converting())
    FRing.GrowTo(FConverter.RingLengthFor(TStreamRing::LengthFor(ASIOHost.GetBufferSize())));
  const std::string text = FConverter.Converting() ? "resampling " + rates : std::string();
  if (text == FResamplingText) return;
  FResamplingText = text;
  if (!text.empty()) platform::WriteNotice("partiloom: " + text);
}

void TFmASIOConfig::FollowDriverRateInStream() {
  const std::lock_guard<std::mutex> lock(FConverterLock);
  if (!FConverter.Started() ||
      std::lround(ASIOHost.GetSampleRate()) == static_cast<long>(FConverter.DriverRate()))
    return;
  // What is queued at the old rate plays at the new one; from here on the frames fit it.
  FConverter.Finish(FRing);
  StartConversion(FConverter.StreamRate(), FChannels.load(std::memory_order_relaxed));
}

std::string TFmASIOConfig::ResamplingText() const {
  const std::lock_guard<std::mutex> lock(FConverterLock);
  return FResamplingText;
}

void TFmASIOConfig::ShowResampling() {
  const std::string text = ResamplingText();
  const std::string caption = Label1->Caption();
  if (caption != kCreditLine && caption != FResamplingShown) return;
  const std::string wanted = text.empty() ? std::string(kCreditLine) : text;
  if (caption != wanted) Label1->SetCaption(wanted);
  FResamplingShown = text;
}

void TFmASIOConfig::Close() {
  const auto close = [this] {
    const std::lock_guard<std::mutex> control(FStreamControl);
    CloseStream();
  };
  // A window's thread that does not answer would leave the stream playing: better closed here.
  if (!OnWindowThread(close)) close();
}

void TFmASIOConfig::CloseStream() {
  if (!FStreamOpen.load()) {
    // No stream: a driver that Pause started stops.
    if (!FDraining.load()) ASIOHost.SetActive(false);
    return;
  }
  if (!FEndMarked.load()) {
    EndStream();
    return;
  }
  // What the filter still holds is the stream's end: it goes into the queue, which plays out.
  {
    const std::lock_guard<std::mutex> lock(FConverterLock);
    FConverter.Finish(FRing);
  }
  FStreamOpen.store(false, std::memory_order_relaxed);
  FPlayedOut = false;
  FDraining.store(true);
}

void TFmASIOConfig::EndStream() {
  {
    const std::lock_guard<std::mutex> lock(FConverterLock);
    FConverter.Finish(FRing);
  }
  // The audio thread fades what it reads next and then reads nothing more; a driver that has
  // not called since the stream opened, or does not within a few blocks, stops without.
  if (ASIOHost.GetActive() && !FPaused.load() && FRing.QueuedFrames() > 0 &&
      FBlocksRun.load(std::memory_order_relaxed) != FBlocksAtOpen) {
    FFade.store(kFadeAsked, std::memory_order_release);
    const int64_t rate = std::max(FDriverRate.load(), 1);
    const int64_t wait_ms = std::max<int64_t>(50, 3 * int64_t{FBlockFrames.load()} * 1000 / rate);
    const auto asked = std::chrono::steady_clock::now();
    while (FFade.load(std::memory_order_acquire) != kFaded && MillisecondsSince(asked) < wait_ms)
      platform::SleepMilliseconds(1);
  }
  ASIOHost.SetActive(false);
  FRing.Drop();
  FLastFrameBlock.store(0, std::memory_order_relaxed);
  FFade.store(kNoFade, std::memory_order_release);
  FStreamOpen.store(false, std::memory_order_relaxed);
  FDraining.store(false);
  FEndMarked.store(false);
}

void TFmASIOConfig::WaitUntilPlayedOut() {
  const auto start = std::chrono::steady_clock::now();
  const int64_t longest_ms = LatencyMs() + 100;
  while (FramesToBeHeard() > 0 && !DriverStalled() && MillisecondsSince(start) < longest_ms)
    platform::SleepMilliseconds(2);
}

void TFmASIOConfig::StopPlayedOutDriver() {
  if (!FDraining.load()) return;
  // A player's call that holds the stream is about to change it: the next tick looks again.
  std::unique_lock<std::mutex> control(FStreamControl, std::try_to_lock);
  if (!control.owns_lock() || !FDraining.load()) return;
  if (FramesToBeHeard() > 0 && ASIOHost.GetActive() && !DriverStalled()) {
    FPlayedOut = false;
    return;
  }
  if (!FPlayedOut) {
    FPlayedOut = true;
    FPlayedOutAt = std::chrono::steady_clock::now();
    return;
  }
  if (MillisecondsSince(FPlayedOutAt) >= kCloseGraceMs) EndStream();
}

int32_t TFmASIOConfig::Write(const char* Data, int32_t Length) {
  if (Length == 0) {
    if (FStreamOpen.load(std::memory_order_relaxed)) FEndMarked.store(true);
    return 1;
  }
  const std::lock_guard<std::mutex> lock(FConverterLock);
  const int32_t channels = FChannels.load(std::memory_order_relaxed);
  // Before Open and after Close there is no stream to write to.
  if (!FStreamOpen.load(std::memory_order_relaxed) || channels < 1 || !Data || Length < 1) return 1;
  TPcmFrames frames(Data, static_cast<size_t>(Length), static_cast<size_t>(channels),
                    FBitsPerSample.load(std::memory_order_relaxed),
                    FVolume.load(std::memory_order_relaxed));
  const size_t stored =
      FConverter.Converting() ? FConverter.Write(frames, FRing) : FRing.Write(frames);
  if (stored == 0) return 1;
  FFramesWritten.fetch_add(static_cast<int64_t>(stored));
  FEndMarked.store(false);
  return 0;
}

int32_t TFmASIOConfig::FreeFrames() const noexcept {
  const std::lock_guard<std::mutex> lock(FConverterLock);
  return FConverter.StreamFramesFor(FRing.FreeFrames());
}

// A decoder writes a block only once it all fits, twice its length while a DSP plug-in of
// the player may double it: 2 x 1152 frames. The ring holds at least 8192 stream frames
// (more while converting, never less; see TStreamRing::LengthFor and
// TRateConverter::RingLengthFor) and its reader frees a driver block at a time, so the
// free space reaches such a block at every depth and channel count.
int32_t TFmASIOConfig::FreeBytes() const noexcept {
  if (!FStreamOpen.load(std::memory_order_relaxed)) return 0;
  const int64_t bytes = int64_t{FreeFrames()} * FChannels.load(std::memory_order_relaxed) *
                        static_cast<int64_t>(TPcmFrames::SampleBytes(FBitsPerSample.load()));
  return static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, INT32_MAX));
}

int64_t TFmASIOConfig::FramesToBeHeard() const noexcept {
  const int64_t queued = FRing.QueuedFrames();
  const int64_t block = FBlockFrames.load(std::memory_order_relaxed);
  const int64_t latency = FOutputLatency.load(std::memory_order_relaxed);
  // The block that took the last frame plays out one output latency and its own length
  // after it was taken; each block since has brought that nearer.
  const uint32_t last = FLastFrameBlock.load(std::memory_order_relaxed);
  const uint32_t since = FBlocksRun.load(std::memory_order_relaxed) - last;
  const int64_t in_driver =
      last == 0 ? 0 : std::max<int64_t>(0, latency + block - int64_t{since} * block);
  return queued + in_driver;
}

bool TFmASIOConfig::DriverStalled() const noexcept {
  const uint32_t blocks = FBlocksRun.load(std::memory_order_relaxed);
  const int64_t now_ms = SteadyMilliseconds();
  if (FWatchedBlocks.exchange(blocks) != blocks) {
    FWatchedSinceMs.store(now_ms);
    return false;
  }
  return now_ms - FWatchedSinceMs.load() > 1000;
}

int32_t TFmASIOConfig::IsPlaying() const noexcept {
  if (!FStreamOpen.load(std::memory_order_relaxed) && !FDraining.load()) return 0;
  const int64_t frames = FramesToBeHeard();
  if (frames <= 0) return 0;
  // A paused stream is still to be heard; one whose driver stopped calling never will be.
  if (!FPaused.load(std::memory_order_relaxed) && DriverStalled()) return 0;
  if (!FEndMarked.load()) return 1;
  const int64_t rate = FDriverRate.load(std::memory_order_relaxed);
  return rate > 0 && frames * 1000 > int64_t{kEndOfStreamNoticeMs} * rate ? 1 : 0;
}

int32_t TFmASIOConfig::LatencyMs() const noexcept {
  const int64_t rate = FDriverRate.load(std::memory_order_relaxed);
  if (rate <= 0) return 1;
  const int64_t frames = int64_t{FRing.Length()} + FOutputLatency.load(std::memory_order_relaxed);
  return static_cast<int32_t>(std::clamp<int64_t>((frames * 1000 + rate - 1) / rate, 1, INT32_MAX));
}

int32_t TFmASIOConfig::Pause(int32_t Paused) {
  bool previous = false;
  const auto pause = [&] {
    const std::lock_guard<std::mutex> control(FStreamControl);
    previous = FPaused.exchange(Paused != 0, std::memory_order_relaxed);
    ASIOHost.SetActive(Paused == 0);
  };
  if (!OnWindowThread(pause)) pause();
  return previous ? 1 : 0;
}

void TFmASIOConfig::SetVolume(int32_t Volume) noexcept {
  if (Volume < 0 || Volume > 255) return;
  FVolume.store(static_cast<float>(Volume / 255.0), std::memory_order_relaxed);
}

void TFmASIOConfig::Flush(int32_t TimeMs) {
  const std::lock_guard<std::mutex> control(FStreamControl);
  if (FStreamOpen.load(std::memory_order_relaxed)) {
    const std::lock_guard<std::mutex> lock(FConverterLock);
    // What the filter holds is of the old position: it goes with the queue.
    const bool converting = FConverter.Started();
    FConverter.Finish(FRing);
    FRing.Drop();
    if (converting) {
      try {
        StartConversion(FStreamSampleRate.load(std::memory_order_relaxed),
                        FChannels.load(std::memory_order_relaxed));
      } catch (...) {
        // Out of memory: the stream passes unconverted rather than the player failing.
      }
    }
  }
  const std::lock_guard<std::mutex> lock(FTimeLock);
  FFramesWritten.store(0);
  FStartMs.store(std::max(TimeMs, 0));
  FLastOutputMs = std::max(TimeMs, 0);
  FEndMarked.store(false);
}

int64_t TFmASIOConfig::WrittenMs() const noexcept {
  const int64_t rate = FStreamSampleRate.load(std::memory_order_relaxed);
  const int64_t frames = FFramesWritten.load(std::memory_order_relaxed);
  return FStartMs.load(std::memory_order_relaxed) + (rate > 0 ? frames * 1000 / rate : 0);
}

int32_t TFmASIOConfig::WrittenTime() const noexcept {
  return static_cast<int32_t>(std::min<int64_t>(WrittenMs(), INT32_MAX));
}

int32_t TFmASIOConfig::OutputTime() const noexcept {
  const int64_t written = WrittenMs();
  const int64_t rate = FDriverRate.load(std::memory_order_relaxed);
  const int64_t pending_ms = rate > 0 ? (FramesToBeHeard() * 1000 + rate - 1) / rate : 0;
  const std::lock_guard<std::mutex> lock(FTimeLock);
  int64_t output = std::max(FStartMs.load(std::memory_order_relaxed), written - pending_ms);
  output = std::min(std::max(output, FLastOutputMs), written);
  FLastOutputMs = output;
  return static_cast<int32_t>(std::min<int64_t>(output, INT32_MAX));
}

// ---- the record ---------------------------------------------------------------------------------
// Every callback but Init finds the window through FmASIOConfig; before Init and after Quit
// it answers as an output with nothing to play.

namespace {

void PLAYER_CALL Config(void*) {
  if (!FmASIOConfig) return;
  // The window comes also when loading failed: it is where the user mends that.
  ReportFailure([] { FmASIOConfig->PrepareForUse(); });
  if (FmASIOConfig) ReportFailure([] { FmASIOConfig->Form->BringToFront(); });
}

void PLAYER_CALL Init() {
  // A window whose Quit waits for a loop to unwind is still there.
  if (FmASIOConfig || t_quit_pending) return;
  platform::AllowModalRuns();
  StreamLock = std::make_unique<std::mutex>();
  ReportFailure([] { FmASIOConfig = new TFmASIOConfig(); });
}

void PLAYER_CALL Quit() {
  // The player's main thread runs the window and its modal loops, which hand the player's
  // messages on: Quit may come from inside one of them (or from inside Init's). Then the
  // driver stops and the settings and the preset are saved now, the loops are asked to end,
  // and the window goes when the call that runs the outermost loop returns, after Quit.
  const bool inside_a_call = t_window_calls > 0;
  TFmASIOConfig* window = FmASIOConfig;
  if (window) {
    ReportFailure([window] {
      if (std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting()) {
        const platform::Bounds bounds = window->Form->GetBounds();
        settings::StoreWindowState(*key, window->Form->Visible(), bounds.left, bounds.top);
      }
    });
    ReportFailure([window] { window->ASIOHost.SetActive(false); });
    FmASIOConfig = nullptr;
    if (!inside_a_call) delete window;
  }
  if (inside_a_call) {
    if (window) ReportFailure([window] { window->FormDestroy(window); });
    platform::EndModalRuns();
    t_quit_window = window;
    t_quit_pending = true;
    platform::FlushFaultLog();
    return;
  }
  platform::FlushFaultLog();
  StreamLock.reset();
}

// The rest of a Quit made inside a call, once that call is over: the window Quit found, or
// the one Init made meanwhile.
void FinishQuit() noexcept {
  t_quit_pending = false;
  TFmASIOConfig* window = t_quit_window ? t_quit_window : FmASIOConfig;
  if (window == FmASIOConfig) FmASIOConfig = nullptr;
  t_quit_window = nullptr;
  if (window) ReportFailure([window] { window->ASIOHost.SetActive(false); });
  delete window;
  platform::FlushFaultLog();
  StreamLock.reset();
}

int32_t PLAYER_CALL Open(int32_t sample_rate, int32_t channels, int32_t bits_per_sample, int32_t,
                         int32_t) {
  int32_t result = -1;
  if (FmASIOConfig)
    ReportFailure([&] { result = FmASIOConfig->Open(sample_rate, channels, bits_per_sample); });
  return result;
}

void PLAYER_CALL Close() {
  if (FmASIOConfig) ReportFailure([] { FmASIOConfig->Close(); });
}

int32_t PLAYER_CALL Write(const char* data, int32_t length) {
  return FmASIOConfig ? FmASIOConfig->Write(data, length) : 1;
}

int32_t PLAYER_CALL CanWrite() {
  return FmASIOConfig ? FmASIOConfig->FreeBytes() : 0;
}

int32_t PLAYER_CALL IsPlaying() {
  return FmASIOConfig ? FmASIOConfig->IsPlaying() : 0;
}

int32_t PLAYER_CALL Pause(int32_t pause) {
  int32_t previous = 0;
  if (FmASIOConfig) ReportFailure([&] { previous = FmASIOConfig->Pause(pause); });
  return previous;
}

void PLAYER_CALL SetVolume(int32_t volume) {
  if (FmASIOConfig) FmASIOConfig->SetVolume(volume);
}

void PLAYER_CALL SetPan(int32_t) {}

void PLAYER_CALL Flush(int32_t time_ms) {
  if (FmASIOConfig) ReportFailure([time_ms] { FmASIOConfig->Flush(time_ms); });
}

int32_t PLAYER_CALL GetOutputTime() {
  return FmASIOConfig ? FmASIOConfig->OutputTime() : 0;
}

int32_t PLAYER_CALL GetWrittenTime() {
  return FmASIOConfig ? FmASIOConfig->WrittenTime() : 0;
}

}  // namespace

PLAYER_EXPORT TOutputModule* PLAYER_CALL winampGetOutModule() {
  OutputModule.version = kOutputModuleVersion;
  OutputModule.description = kOutputModuleDescription;
  OutputModule.Config = Config;
  OutputModule.About = Config;  // there is no separate about box
  OutputModule.Init = Init;
  OutputModule.Quit = Quit;
  OutputModule.Open = Open;
  OutputModule.Close = Close;
  OutputModule.Write = Write;
  OutputModule.CanWrite = CanWrite;
  OutputModule.IsPlaying = IsPlaying;
  OutputModule.Pause = Pause;
  OutputModule.SetVolume = SetVolume;
  OutputModule.SetPan = SetPan;
  OutputModule.Flush = Flush;
  OutputModule.GetOutputTime = GetOutputTime;
  OutputModule.GetWrittenTime = GetWrittenTime;
  return &OutputModule;
}

PLAYER_EXPORT void PLAYER_CALL winampGetOutModeChange(int32_t mode) {
  if (FmASIOConfig) ReportFailure([mode] { FmASIOConfig->OutputModeChange(mode); });
}
