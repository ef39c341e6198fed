#pragma once

// The output module: the record the player drives, the host window that owns the effect and
// the driver, and the stream ring between the player's writes and the driver's blocks.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "asio_host/asio_host_converting.h"
#include "common/channel_arrays.h"
#include "output_module/output_module_record.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "vst_host/vst_host.h"

// What the window is created with beyond its design: the window that owns it.
struct TCreateParams {
  platform::NativeWindow WndParent = nullptr;
};

class TFmASIOConfig : public TObject {
 public:
  // Creates the window (hidden) and runs FormCreate. A failure there is shown to the user;
  // the window exists all the same.
  TFmASIOConfig();
  // Runs FormDestroy, then lets go of the driver, the effect and the window.
  ~TFmASIOConfig() override;
  TFmASIOConfig(const TFmASIOConfig&) = delete;
  TFmASIOConfig& operator=(const TFmASIOConfig&) = delete;

  // The window and its controls, by their names.
  std::unique_ptr<platform::Control> Form;
  std::unique_ptr<platform::Control> ToolBar;
  std::unique_ptr<platform::Control> TBSep1;
  std::unique_ptr<platform::Control> LbDriver;
  std::unique_ptr<platform::Control> TBSep2;
  std::unique_ptr<platform::Control> CBDriver;
  std::unique_ptr<platform::Control> TBSep3;
  std::unique_ptr<platform::Control> BtControlPanel;
  std::unique_ptr<platform::Control> ToolButton1;
  std::unique_ptr<platform::Control> BtRouting;
  std::unique_ptr<platform::Control> ToolButton2;
  std::unique_ptr<platform::Control> Label1;
  std::unique_ptr<platform::Control> Panel;

  // ---- the stream, called through the record ---------------------------------------------
  // 1 when the host runs after the call, else 0.
  int32_t Open(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample);
  // 0 when at least one frame was stored, else 1.
  int32_t Write(const char* Data, int32_t Length);
  // Free ring frames (the answer to CanWrite).
  int32_t FreeFrames() const noexcept;
  // The previous pause flag, 0 or 1.
  int32_t Pause(int32_t Paused);
  void SetVolume(int32_t Volume) noexcept;
  void Flush(int32_t TimeMs) noexcept;
  // Milliseconds, for both time queries.
  int32_t OutputTime() const noexcept;
  void Close();

  // One block of `Frames` frames from the ring into the first samples of `Inputs`; each
  // taken frame is cleared in the ring before the read index moves past it. Answers the
  // number of ring channels (0 while there is no ring or it is being resized, in which
  // case the inputs get silence). Audio thread only.
  size_t ReadBlock(uint32_t Frames, TSingleChannelArrays& Inputs) noexcept;
  // The time factor from the host's current sample rate.
  void UpdateTimeFactor() noexcept;

  // ---- handlers ---------------------------------------------------------------------------
  void FormCreate(TObject* Sender);
  void FormDestroy(TObject* Sender);
  void TimerTimer(TObject* Sender);
  void CBDriverChange(TObject* Sender);
  void BtControlPanelClick(TObject* Sender);
  void BtRoutingClick(TObject* Sender);
  void ASIOHostBufferSwitch32(TObject* Sender, TSingleChannelArrays& InBuffer,
                              TSingleChannelArrays& OutBuffer) noexcept;
  void ASIOHostSampleRateChanged(TObject* Sender) noexcept;
  void ASIOHostLatencyChanged(TObject* Sender) noexcept;
  // The effect's new input and output counts were adopted: its arrays follow.
  void EffectIOCountsAdopted(TObject* Sender);

  // Sets the routing of outputs 1 .. 8 from the stored display texts of the current driver.
  void LoadRouting(const platform::RegistryKey& Key);
  // The driver channel position effect output `Output` (1 .. 8) goes to.
  int32_t OutputRouting(int Output) const noexcept;

  // The effect: the one item of the host.
  TVstPlugIn& Effect() { return *VstHost.Items(0); }

  // ---- state, for the routing dialog and tests --------------------------------------------
  int32_t RingLength() const noexcept { return FRingLength.load(std::memory_order_relaxed); }
  int32_t WritePos() const noexcept { return FWritePos.load(std::memory_order_relaxed); }
  int32_t ReadPos() const noexcept { return FReadPos.load(std::memory_order_relaxed); }
  // Player thread only, and only while the host is stopped.
  const TSingleChannelArrays& RingBuffer() const noexcept { return FRingBuffer; }
  float Volume() const noexcept { return FVolume.load(std::memory_order_relaxed); }
  float TimeFactor() const noexcept { return FTimeFactor.load(std::memory_order_relaxed); }
  int64_t Position() const noexcept { return FPosition.load(std::memory_order_relaxed); }
  bool Paused() const noexcept { return FPaused.load(std::memory_order_relaxed); }
  int32_t EffectBlockSize() const noexcept { return FEffectBlockSize; }

 private:
  static constexpr int32_t kInitialWritePos = 8192;
  static constexpr int32_t kMinimumRingLength = 8192;
  static constexpr int32_t kMinimumRingChannels = 8;

  void CreateControls();
  void CreateParams(TCreateParams& Params);
  void ConfigureHosts();
  void StoreDriverAndLoadRouting();
  void LoadEffect(const std::string& Path, std::string& PresetFailure);
  void SavePresetFile();
  void ProcessDriverBlock(TSingleChannelArrays& OutBuffer);
  // The ring gate: the audio thread passes it for every block read; Open closes it (and
  // waits for a read in progress) while it resizes the ring. One atomic step each way.
  bool EnterRing() noexcept;
  void LeaveRing() noexcept;
  void CloseRing() noexcept;
  void OpenRing() noexcept;

  // The stream (the ring samples are owned by Write ahead of the write index and by the
  // block read ahead of the read index; each index has one writer).
  std::atomic<float> FVolume{1.0f};
  TSingleChannelArrays FRingBuffer;
  std::atomic<int32_t> FRingLength{0};
  std::atomic<int32_t> FWritePos{kInitialWritePos};
  std::atomic<int32_t> FReadPos{0};
  std::atomic<float> FTimeFactor{0.0f};
  std::atomic<int64_t> FPosition{0};
  std::atomic<bool> FPaused{false};
  std::atomic<int32_t> FChannels{0};
  std::atomic<int32_t> FBitsPerSample{0};
  static constexpr int32_t kRingClosed = 0x40000000;
  std::atomic<int32_t> FRingGate{0};

  // The effect's arrays and the routing; the audio thread's own bookkeeping.
  TSingleChannelArrays FVstInBuffer;
  TSingleChannelArrays FVstOutBuffer;
  std::array<std::atomic<int32_t>, 8> FOutputRouting{};
  std::array<int32_t, 8> FLastTargets{-1, -1, -1, -1, -1, -1, -1, -1};
  int32_t FEffectBlockSize = 0;

 public:
  // Declared last: the driver stops before anything its callback uses goes, and the effect
  // stays until then.
  TVstHost VstHost;
  TASIOHost ASIOHost;
};

// The one host window, from the end of Init to the start of Quit.
extern TFmASIOConfig* FmASIOConfig;
// Held while the window loads the effect; exists from Init to Quit.
extern std::unique_ptr<std::mutex> StreamLock;
// The record the player reads; the player fills in its window handles.
extern TOutputModule OutputModule;

#if defined(_WIN32)
#define PLAYER_EXPORT extern "C" __declspec(dllexport)
#else
#define PLAYER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PLAYER_EXPORT TOutputModule* PLAYER_CALL winampGetOutModule();
