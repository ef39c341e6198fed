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
#include <stdexcept>
#include <thread>

#include "output_module/routing.h"
#include "output_module/settings.h"
#include "platform/fault_log.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/system.h"

TFmASIOConfig* FmASIOConfig = nullptr;
std::unique_ptr<std::mutex> StreamLock;
TOutputModule OutputModule{};

namespace {

constexpr char kCreditLine[] = "Partiloom: effect outputs on ASIO channels";
constexpr char kNoLibraryChosen[] =
    "You have to select the Partiloom.DLL in order to get this plugin running";

// What the user sees of a failure in a window handler: the handler's work stops there, the
// window goes on.
template <typename Handler>
void ReportFailure(Handler&& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& error) {
    platform::ShowMessageBox(error.what());
  } catch (...) {
    platform::ShowMessageBox("Unknown failure");
  }
}

int64_t RoundToInt64(double value) noexcept {
  if (!(value == value)) return 0;
  constexpr double kLimit = 9.2233720368547748e18;  // 2^63, the first value out of range
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(std::nearbyint(value));
}

// 1 / (bits x 1000 x rate x channels) as a 32-bit float; 0 when any factor is 0, so that
// the time reads 0 instead of dividing by zero.
float TimeFactorFor(int32_t bits, double rate, int32_t channels) noexcept {
  const double divisor = static_cast<double>(bits) * 1000.0 * rate * static_cast<double>(channels);
  if (!(divisor != 0.0) || !std::isfinite(divisor)) return 0.0f;
  return static_cast<float>(1.0 / divisor);
}

}  // namespace

// ---- construction -----------------------------------------------------------------------------

TFmASIOConfig::TFmASIOConfig() : VstHost(this), ASIOHost(this) {
  VstHost.VstPlugIns().Add();
  CreateControls();
  ConfigureHosts();
  Form->StartTimer(40, [this] { ReportFailure([this] { TimerTimer(this); }); });
  ReportFailure([this] { FormCreate(this); });
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
                                 Bounds{222, 192, 811, 708}, platform::FontSpec{"Tahoma", -11});
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

  CBDriver->OnChange = [this] { ReportFailure([this] { CBDriverChange(this); }); };
  BtControlPanel->OnClick = [this] { ReportFailure([this] { BtControlPanelClick(this); }); };
  BtRouting->OnClick = [this] { ReportFailure([this] { BtRoutingClick(this); }); };
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
    ASIOHost.SetOnBufferSwitch32(
        TBufferSwitchEvent32::Bind<&TFmASIOConfig::ASIOHostBufferSwitch32>(this));
  });
}

// ---- window handlers ----------------------------------------------------------------------------

void TFmASIOConfig::FormCreate(TObject*) {
  CBDriver->SetItems(ASIOHost.DriverList());
  FVolume = 1.0f;
  FWritePos = kInitialWritePos;

  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  if (settings::ReadBoolean(*key, settings::kVisible)) Form->Show();
  const platform::Bounds bounds = Form->GetBounds();
  const int32_t left = key->ReadInteger(settings::kLeft).value_or(bounds.left);
  const int32_t top = key->ReadInteger(settings::kTop).value_or(bounds.top);
  Form->SetPosition(left, top);

  while (!key->ValueExists(settings::kVstPlugin)) {
    platform::FileDialogRequest request;
    request.title = "Please select the Partiloom.dll";
    request.filter = "Partiloom (Partiloom.dll)|Partiloom.dll|";
    const std::optional<std::string> chosen = platform::RunFileDialog(request);
    if (!chosen) throw std::runtime_error(kNoLibraryChosen);
    // A path that cannot be stored would bring the dialog back for ever.
    if (!key->WriteString(settings::kVstPlugin, *chosen))
      throw std::runtime_error("The path of the Partiloom.DLL could not be stored");
  }

  // A preset that does not load is reported once the driver and its routing are back.
  std::string preset_failure;
  LoadEffect(key->ReadString(settings::kVstPlugin).value_or(std::string()), preset_failure);

  if (const std::optional<int32_t> driver = key->ReadInteger(settings::kDriver)) {
    CBDriver->SetSelectedIndex(*driver);
    ASIOHost.SetDriverIndex(*key->ReadInteger(settings::kDriver));
    LoadRouting(*key);
  }
  if (!preset_failure.empty()) platform::ShowMessageBox(preset_failure);
}

void TFmASIOConfig::LoadEffect(const std::string& Path, std::string& PresetFailure) {
  std::unique_lock<std::mutex> lock;
  if (StreamLock) lock = std::unique_lock<std::mutex>(*StreamLock);
  TVstPlugIn& effect = Effect();
  try {
    effect.CloseEdit();
  } catch (...) {
  }
  effect.SetActive(false);
  platform::SleepMilliseconds(10);
  try {
    effect.Unload();
  } catch (...) {
  }
  platform::SleepMilliseconds(10);

  effect.SetDLLFileName(Path);
  effect.SetActive(true);
  FEffectBlockSize = VstHost.BlockSize();
  FVstInBuffer.SetSize(static_cast<size_t>(std::max(effect.numInputs(), 0)), 0);
  FVstOutBuffer.SetSize(static_cast<size_t>(std::max(effect.numOutputs(), 0)), 0);
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
  TVstPlugIn& effect = Effect();
  if (!effect.Active()) return;
  effect.AdoptIOChanges();
  effect.Idle();
  effect.EditIdle();
}

// Runs while no driver block holds the effect's arrays: they take the new counts and keep
// their length, so that the next block allocates nothing.
void TFmASIOConfig::EffectIOCountsAdopted(TObject*) {
  TVstPlugIn& effect = Effect();
  FVstInBuffer.SetSize(static_cast<size_t>(effect.AdoptedInputs()), FVstInBuffer.SampleCount());
  FVstOutBuffer.SetSize(static_cast<size_t>(effect.AdoptedOutputs()), FVstOutBuffer.SampleCount());
}

void TFmASIOConfig::CBDriverChange(TObject*) {
  const bool was_active = ASIOHost.GetActive();
  ASIOHost.SetActive(false);
  ASIOHost.SetDriverIndex(CBDriver->SelectedIndex());
  for (size_t i = 0; i < FOutputRouting.size(); ++i)
    FOutputRouting[i].store(static_cast<int32_t>(i % 2), std::memory_order_relaxed);
  StoreDriverAndLoadRouting();
  ASIOHost.SetActive(was_active);
}

void TFmASIOConfig::StoreDriverAndLoadRouting() {
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  key->WriteInteger(settings::kDriver, ASIOHost.GetDriverIndex());
  LoadRouting(*key);
}

void TFmASIOConfig::BtControlPanelClick(TObject*) {
  ASIOHost.ControlPanel();
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
  const int32_t ring_length = FRingLength.load(std::memory_order_relaxed);
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

  const int32_t outputs = effect.numOutputs();
  for (size_t offset = 0; offset < frames; offset += piece) {
    const size_t count = std::min(piece, frames - offset);
    const size_t ring_channels = ReadBlock(static_cast<uint32_t>(count), FVstInBuffer);
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
}

void TFmASIOConfig::ASIOHostSampleRateChanged(TObject*) noexcept {
  UpdateTimeFactor();
}

void TFmASIOConfig::ASIOHostLatencyChanged(TObject*) noexcept {
  UpdateTimeFactor();
}

void TFmASIOConfig::UpdateTimeFactor() noexcept {
  FTimeFactor.store(
      TimeFactorFor(FBitsPerSample.load(std::memory_order_relaxed), ASIOHost.GetSampleRate(),
                    FChannels.load(std::memory_order_relaxed)),
      std::memory_order_relaxed);
}

// ---- the stream ring ----------------------------------------------------------------------------

bool TFmASIOConfig::EnterRing() noexcept {
  if (FRingGate.fetch_add(1, std::memory_order_acquire) < kRingClosed) return true;
  FRingGate.fetch_sub(1, std::memory_order_release);
  return false;
}

void TFmASIOConfig::LeaveRing() noexcept {
  FRingGate.fetch_sub(1, std::memory_order_release);
}

void TFmASIOConfig::CloseRing() noexcept {
  FRingGate.fetch_add(kRingClosed, std::memory_order_acq_rel);
  while (FRingGate.load(std::memory_order_acquire) != kRingClosed) std::this_thread::yield();
}

void TFmASIOConfig::OpenRing() noexcept {
  FRingGate.fetch_sub(kRingClosed, std::memory_order_release);
}

int32_t TFmASIOConfig::Open(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample) {
  // The audio callback must not read the ring while it changes size: the host stops (and with
  // it the driver's calls), and a driver that goes on calling finds the gate closed.
  const bool was_active = ASIOHost.GetActive();
  if (was_active) ASIOHost.SetActive(false);
  CloseRing();
  try {
    const size_t channels =
        std::max<size_t>(kMinimumRingChannels, static_cast<size_t>(std::max(Channels, 0)));
    const uint32_t block = ASIOHost.GetBufferSize();
    const int32_t length = block < static_cast<uint32_t>(kMinimumRingLength)
                               ? kMinimumRingLength
                               : static_cast<int32_t>(std::min<uint32_t>(block, INT32_MAX));
    FRingBuffer.SetSize(channels, static_cast<size_t>(length));
    FRingLength.store(length, std::memory_order_relaxed);
  } catch (...) {
    OpenRing();
    throw;
  }
  OpenRing();
  if (was_active) ASIOHost.SetActive(true);

  ASIOHost.SetSampleRate(static_cast<double>(SampleRate));
  if (ASIOHost.GetSampleRate() != static_cast<double>(SampleRate))
    platform::ShowMessageBox("Samplerate " + std::to_string(SampleRate) + " not yet supported!");
  ASIOHost.SetActive(true);
  FChannels.store(Channels, std::memory_order_relaxed);
  FBitsPerSample.store(BitsPerSample, std::memory_order_relaxed);
  FPosition.store(0, std::memory_order_relaxed);
  FTimeFactor.store(TimeFactorFor(BitsPerSample, static_cast<double>(SampleRate), Channels),
                    std::memory_order_relaxed);
  return ASIOHost.GetActive() ? 1 : 0;
}

void TFmASIOConfig::Close() {
  ASIOHost.SetActive(false);
}

int32_t TFmASIOConfig::Write(const char* Data, int32_t Length) {
  if (FBitsPerSample.load(std::memory_order_relaxed) != 16) return 1;
  const int32_t channels = FChannels.load(std::memory_order_relaxed);
  const int32_t length = FRingLength.load(std::memory_order_relaxed);
  // Before the first Open there is neither a channel count nor a ring.
  if (channels < 1 || length < 1 || !Data || Length < 1) return 1;
  if (FRingBuffer.ChannelCount() < static_cast<size_t>(channels)) return 1;
  const int32_t frames = Length / (channels * 2);
  if (frames < 1) return 1;

  // Exact in double (16-bit sample times a 24-bit factor), rounded once to float.
  const double scale = static_cast<double>(FVolume.load(std::memory_order_relaxed)) / 32768.0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(Data);
  int32_t position = FWritePos.load(std::memory_order_relaxed);
  for (int32_t f = 0; f < frames; ++f) {
    if (position >= length || position < 0) position = 0;
    for (int32_t ch = 0; ch < channels; ++ch) {
      const uint8_t* sample = bytes + (static_cast<size_t>(f) * channels + ch) * 2;
      const auto value = static_cast<int16_t>(static_cast<uint16_t>(sample[0] | sample[1] << 8));
      FRingBuffer[static_cast<size_t>(ch)][position] =
          static_cast<float>(static_cast<double>(value) * scale);
    }
    if (++position >= length) position = 0;
  }
  // Publishes the stored frames to the block read.
  FWritePos.store(position, std::memory_order_release);
  return 0;
}

int32_t TFmASIOConfig::FreeFrames() const noexcept {
  const int32_t length = FRingLength.load(std::memory_order_relaxed);
  if (length < 1) return 0;
  const int32_t write = FWritePos.load(std::memory_order_acquire);
  // Pairs with the block read's release: the frames it gave back are free to be written.
  const int32_t read = FReadPos.load(std::memory_order_acquire);
  const int32_t free = write > read ? length - write + read : read - write;
  // Indices left beyond a ring that has shrunk never give a negative or oversized answer.
  return std::clamp(free, 0, length);
}

size_t TFmASIOConfig::ReadBlock(uint32_t Frames, TSingleChannelArrays& Inputs) noexcept {
  // Pairs with Write's release: the frames stored so far are visible here.
  (void)FWritePos.load(std::memory_order_acquire);
  const size_t wanted = std::min<size_t>(Frames, Inputs.SampleCount());
  if (!EnterRing()) {
    for (size_t ch = 0; ch < Inputs.ChannelCount(); ++ch) std::fill_n(Inputs[ch], wanted, 0.0f);
    return 0;
  }
  const size_t ring_channels = FRingBuffer.ChannelCount();
  const int32_t length = FRingLength.load(std::memory_order_relaxed);
  if (ring_channels == 0 || length < 1 || wanted == 0) {
    LeaveRing();
    return ring_channels;
  }
  const size_t ring_length = static_cast<size_t>(length);
  const size_t frames = std::min(wanted, ring_length);
  const size_t copied = std::min(Inputs.ChannelCount(), ring_channels);
  int32_t position = FReadPos.load(std::memory_order_relaxed);
  if (position < 0 || position >= length) position = 0;
  const size_t read = static_cast<size_t>(position);

  // What is taken is cleared, so that a reader that overtakes the writer finds silence.
  const size_t first = std::min(frames, ring_length - read);
  const size_t second = frames - first;
  for (size_t ch = 0; ch < copied; ++ch) {
    std::copy_n(FRingBuffer[ch] + read, first, Inputs[ch]);
    std::copy_n(FRingBuffer[ch], second, Inputs[ch] + first);
  }
  for (size_t ch = 0; ch < ring_channels; ++ch) {
    std::fill_n(FRingBuffer[ch] + read, first, 0.0f);
    std::fill_n(FRingBuffer[ch], second, 0.0f);
  }
  size_t next = second > 0 ? second : read + first;
  if (next >= ring_length) next = 0;
  FReadPos.store(static_cast<int32_t>(next), std::memory_order_release);
  LeaveRing();
  return ring_channels;
}

int32_t TFmASIOConfig::Pause(int32_t Paused) {
  const bool previous = FPaused.exchange(Paused != 0, std::memory_order_relaxed);
  ASIOHost.SetActive(Paused == 0);
  return previous ? 1 : 0;
}

void TFmASIOConfig::SetVolume(int32_t Volume) noexcept {
  if (Volume < 0 || Volume > 255) return;
  FVolume.store(static_cast<float>(Volume / 255.0), std::memory_order_relaxed);
}

void TFmASIOConfig::Flush(int32_t TimeMs) noexcept {
  const double units = static_cast<double>(TimeMs) * 1000.0 *
                       static_cast<double>(FBitsPerSample.load(std::memory_order_relaxed)) *
                       ASIOHost.GetSampleRate() *
                       static_cast<double>(FChannels.load(std::memory_order_relaxed));
  FPosition.store(RoundToInt64(units), std::memory_order_relaxed);
}

int32_t TFmASIOConfig::OutputTime() const noexcept {
  const double time = static_cast<double>(FPosition.load(std::memory_order_relaxed)) *
                      static_cast<double>(FTimeFactor.load(std::memory_order_relaxed));
  const int64_t rounded = RoundToInt64(time);
  return static_cast<int32_t>(std::clamp<int64_t>(rounded, INT32_MIN, INT32_MAX));
}

// ---- the record ---------------------------------------------------------------------------------
// Every callback but Init finds the window through FmASIOConfig; before Init and after Quit
// it answers as an output with nothing to play.

namespace {

void PLAYER_CALL Config(void*) {
  if (FmASIOConfig) ReportFailure([] { FmASIOConfig->Form->BringToFront(); });
}

void PLAYER_CALL Init() {
  if (FmASIOConfig) return;
  StreamLock = std::make_unique<std::mutex>();
  ReportFailure([] { FmASIOConfig = new TFmASIOConfig(); });
}

void PLAYER_CALL Quit() {
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
    delete window;
  }
  platform::FlushFaultLog();
  StreamLock.reset();
}

int32_t PLAYER_CALL Open(int32_t sample_rate, int32_t channels, int32_t bits_per_sample, int32_t,
                         int32_t) {
  int32_t result = 0;
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
  return FmASIOConfig ? FmASIOConfig->FreeFrames() : 0;
}

int32_t PLAYER_CALL IsPlaying() {
  return 0;
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
  if (FmASIOConfig) FmASIOConfig->Flush(time_ms);
}

int32_t PLAYER_CALL GetOutputTime() {
  return FmASIOConfig ? FmASIOConfig->OutputTime() : 0;
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
  OutputModule.GetWrittenTime = GetOutputTime;
  return &OutputModule;
}
