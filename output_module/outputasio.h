#pragma once

// The output module: the record the player drives, the host window that owns the effect and
// the driver, and the stream ring between the player's writes and the driver's blocks.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "asio_host/asio_host_converting.h"
#include "common/channel_arrays.h"
#include "output_module/level_meters.h"
#include "output_module/output_module_record.h"
#include "output_module/rate_converter.h"
#include "output_module/stream_ring.h"
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
  // Opens the library dialog of the first start and plays the chosen effect instead.
  std::unique_ptr<platform::Control> BtEffect;
  // Below the panel: the level meters and the status line.
  std::unique_ptr<platform::Control> Meters;
  // At the status line's right end: the effect runs in a process of its own.
  std::unique_ptr<platform::Control> BtOwnProcess;

  // ---- the stream, called through the record ---------------------------------------------
  // 1 when the host runs after the call, else 0; -1, with a line in the log and nothing
  // changed, for a depth other than 8, 16, 24 or 32 bits a sample or a rate outside
  // kLowestStreamRate .. kHighestStreamRate. A rate the driver cannot run is converted to
  // the one it runs.
  static constexpr int32_t kLowestStreamRate = 4000;
  static constexpr int32_t kHighestStreamRate = 768000;
  int32_t Open(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample);
  // 0 when at least one frame was stored, else 1. No more than the free frames are stored.
  int32_t Write(const char* Data, int32_t Length);
  // Free frames of the stream (the answer to CanWrite): the ring's free frames, or as many
  // stream frames as fit there once converted to the driver's rate.
  int32_t FreeFrames() const noexcept;
  // The previous pause flag, 0 or 1.
  int32_t Pause(int32_t Paused);
  void SetVolume(int32_t Volume) noexcept;
  void Flush(int32_t TimeMs) noexcept;
  // Milliseconds, for both time queries.
  int32_t OutputTime() const noexcept;
  void Close();

  // One block of `Frames` frames from the ring into the first samples of `Inputs`: what the
  // player has written, then silence (see output_module/stream_ring.h). Audio thread only.
  TRingRead ReadBlock(uint32_t Frames, TSingleChannelArrays& Inputs) noexcept {
    return FRing.ReadBlock(Frames, Inputs);
  }
  // The time factor from the host's current sample rate.
  void UpdateTimeFactor() noexcept;

  // ---- handlers ---------------------------------------------------------------------------
  void FormCreate(TObject* Sender);
  void FormDestroy(TObject* Sender);
  void TimerTimer(TObject* Sender);
  void CBDriverChange(TObject* Sender);
  void BtControlPanelClick(TObject* Sender);
  void BtRoutingClick(TObject* Sender);
  // The effect's state goes to the preset file, then the chosen library replaces it between
  // two driver blocks, with the routing as it was, and is stored as "VST Plugin". A library
  // that does not load is reported, and the effect before comes back with that state.
  void BtEffectClick(TObject* Sender);
  // Stores the choice and loads the effect again, with its state, the way chosen.
  void BtOwnProcessClick(TObject* Sender);
  void ASIOHostBufferSwitch32(TObject* Sender, TSingleChannelArrays& InBuffer,
                              TSingleChannelArrays& OutBuffer) noexcept;
  void ASIOHostSampleRateChanged(TObject* Sender) noexcept;
  void ASIOHostLatencyChanged(TObject* Sender) noexcept;
  // A driver, reset or buffer-size change brings a new block length: the open ring follows.
  void ASIOHostBuffersCreate(TObject* Sender);
  // The effect's new input and output counts were adopted: its arrays follow.
  void EffectIOCountsAdopted(TObject* Sender);

  // Sets the routing of outputs 1 .. 8 from the stored display texts of the current driver.
  void LoadRouting(const platform::RegistryKey& Key);
  // The driver channel position effect output `Output` (1 .. 8) goes to.
  int32_t OutputRouting(int Output) const noexcept;

  // The effect: the one item of the host.
  TVstPlugIn& Effect() { return *VstHost.Items(0); }

  // ---- state, for the routing dialog and tests --------------------------------------------
  int32_t RingLength() const noexcept { return FRing.Length(); }
  int32_t WritePos() const noexcept { return FRing.WritePos(); }
  int32_t ReadPos() const noexcept { return FRing.ReadPos(); }
  // Player thread only, and only while the host is stopped.
  const TSingleChannelArrays& RingBuffer() const noexcept { return FRing.Buffer(); }
  float Volume() const noexcept { return FVolume.load(std::memory_order_relaxed); }
  float TimeFactor() const noexcept { return FTimeFactor.load(std::memory_order_relaxed); }
  int64_t Position() const noexcept { return FPosition.load(std::memory_order_relaxed); }
  bool Paused() const noexcept { return FPaused.load(std::memory_order_relaxed); }
  int32_t EffectBlockSize() const noexcept { return FEffectBlockSize; }
  // The rate of the stream the player opened last (0 before the first Open).
  int32_t StreamSampleRate() const noexcept {
    return FStreamSampleRate.load(std::memory_order_relaxed);
  }
  // The meters' bars and readings and the status line, as the timer last drew them.
  const TMeterStrip& MeterStrip() const noexcept { return FMeterStrip; }
  const std::string& StatusText() const noexcept { return FStatusText; }
  // "resampling A Hz to B Hz" while the stream's frames are converted to the driver's rate,
  // else empty. Any thread.
  std::string ResamplingText() const;

 private:
  void CreateControls();
  void CreateParams(TCreateParams& Params);
  void ConfigureHosts();
  // Opens the driver stored as `Position` (and by name, when stored) with its routing; one
  // that is gone is not replaced by another: the tool bar says so.
  void RestoreDriver(platform::RegistryKey& Key, int32_t Position);
  void StoreDriverAndLoadRouting();
  // Loads the library into the effect item, its editor into the panel and the preset file
  // into it; no driver block reaches the item meanwhile. When that fails, the effect loaded
  // before (if any) comes back, and the failure goes on to the caller.
  void LoadEffect(const std::string& Path, std::string& PresetFailure);
  void ReplaceEffect(const std::string& Path, std::string& PresetFailure);
  void SavePresetFile();
  void ProcessDriverBlock(TSingleChannelArrays& OutBuffer);
  // Tells the effect the rate the driver really runs at (the host's SampleRate), when it
  // differs from the one the effect was told. Never on the audio thread: a running host
  // stops for the change.
  void FollowHostSampleRate();
  // The timer's part of the meters: bars for the current driver, routing and effect, their
  // readings from the audio thread's peaks, and the status line.
  void UpdateMeters();
  TStatusFigures StatusFigures() const;
  // The strip stays below the panel, whatever size the effect's editor gives the panel.
  void FitMetersBelowPanel();
  // Where the "Own process" check box stands for a strip of meters at `StripTop`.
  platform::Bounds OwnProcessBounds(int32_t StripTop) const;
  // Starts the conversion of a stream at `StreamRate` to the driver's rate, and says so when
  // that changes what is converted. FConverterLock held.
  void StartConversion(int32_t StreamRate, int32_t Channels);
  // A stream converted (or passed) at the rate the driver ran before follows its new rate.
  void FollowDriverRateInStream();
  // Label1 says what is converted, unless it holds another notice. The window's thread.
  void ShowResampling();

  // The stream.
  std::atomic<float> FVolume{1.0f};
  TStreamRing FRing;
  std::atomic<float> FTimeFactor{0.0f};
  std::atomic<int64_t> FPosition{0};
  std::atomic<bool> FPaused{false};
  // From Open to Close: the player holds a stream open.
  std::atomic<bool> FStreamOpen{false};
  std::atomic<int32_t> FChannels{0};
  std::atomic<int32_t> FBitsPerSample{0};
  std::atomic<int32_t> FStreamSampleRate{0};
  // The player's threads and the host's, which follows a rate change, take turns on the
  // conversion; the driver's thread never comes near it.
  mutable std::mutex FConverterLock;
  TRateConverter FConverter;
  std::string FResamplingText;
  // What Label1 was last given of it; the window's thread.
  std::string FResamplingShown;

  // The effect's arrays and the routing; the audio thread's own bookkeeping.
  TSingleChannelArrays FVstInBuffer;
  TSingleChannelArrays FVstOutBuffer;
  std::array<std::atomic<int32_t>, 8> FOutputRouting{};
  std::array<int32_t, 8> FLastTargets{-1, -1, -1, -1, -1, -1, -1, -1};
  int32_t FEffectBlockSize = 0;

  // The meters: peaks and short blocks from the audio thread, readings on the window's.
  TPeakTaps FPeakTaps;
  std::atomic<uint32_t> FUnderruns{0};
  std::atomic<uint32_t> FFaultsAtOpen{0};
  TMeterStrip FMeterStrip;
  std::chrono::steady_clock::time_point FMetersUpdated = std::chrono::steady_clock::now();
  std::string FStatusText;

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
