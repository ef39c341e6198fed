#pragma once

// The output module: the record the player drives, the host window that owns the effect and
// the driver, and the stream ring between the player's writes and the driver's blocks.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "asio_host/asio_host_converting.h"
#include "common/channel_arrays.h"
#include "output_module/level_meters.h"
#include "output_module/output_module_record.h"
#include "output_module/rate_converter.h"
#include "output_module/stream_ring.h"
#include "platform/message_window.h"
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
  // Opens a stream and answers its latency in ms: the longest time from a Write to its
  // sound (the queue when full and the driver's output latency, rounded up, at least 1).
  // -1, with a line in the log and no message box, when it cannot play: no driver chosen, a
  // driver that does not open or start, a depth other than 8, 16, 24 or 32 bits a sample, a
  // rate outside kLowestStreamRate .. kHighestStreamRate or a channel count outside 1 .. 64,
  // or a window's thread that does not take the call up. A rate the driver cannot run is
  // converted to the one it runs. After a Close that followed the stream's end mark, an Open
  // of the same rate, channels and depth goes on playing behind the queued frames on the
  // running driver: tracks join without a gap.
  static constexpr int32_t kLowestStreamRate = 4000;
  static constexpr int32_t kHighestStreamRate = 768000;
  int32_t Open(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample);
  // Stores every whole frame that fits, whatever the length; 0 when at least one frame was
  // stored, else 1. A length of 0 marks the end of the stream's data and stores nothing.
  int32_t Write(const char* Data, int32_t Length);
  // Free frames of the stream: the ring's free frames, or as many stream frames as fit there
  // once converted to the driver's rate.
  int32_t FreeFrames() const noexcept;
  // The answer to CanWrite: the free frames in the stream's bytes.
  int32_t FreeBytes() const noexcept;
  // 1 while the stream's frames are still to be heard; after the end mark 0 once no more
  // than kEndOfStreamNoticeMs of them are left, so that the player opens its next track
  // in time to join it. 0 without a stream.
  static constexpr int32_t kEndOfStreamNoticeMs = 300;
  int32_t IsPlaying() const noexcept;
  // The previous pause flag, 0 or 1.
  int32_t Pause(int32_t Paused);
  void SetVolume(int32_t Volume) noexcept;
  // Drops the queued frames (a seek): what is heard next is written after the call, and
  // both times start again at `TimeMs`.
  void Flush(int32_t TimeMs);
  // Milliseconds of the stream: the time of the last Flush (0 after Open) and the frames
  // written since. The output time is that less what is still to be heard; it never passes
  // the written time, never goes back while the stream plays, and stands still while it is
  // paused.
  int32_t WrittenTime() const noexcept;
  int32_t OutputTime() const noexcept;
  // After the end mark the queued frames play to the last one, and the driver goes on for
  // kCloseGraceMs after that for a next Open to continue; without it (the user stopped or
  // skipped) they fade out within a few milliseconds and the driver stops.
  static constexpr int32_t kCloseGraceMs = 500;
  void Close();

  // The effect and the driver are loaded at their first use (the first Open, Config or
  // becoming the player's output), not when the player loads every installed output. On the
  // window's thread; another thread waits until the window's thread has done it, and gets
  // false when that thread does not answer.
  bool PrepareForUse();
  // The player's choice of output: bit 0 set, this output is chosen; clear, another one is,
  // and the driver is let go (most drivers serve one program at a time) unless a stream
  // is open.
  void OutputModeChange(int32_t Mode);

  // One block of `Frames` frames from the ring into the first samples of `Inputs`: what the
  // player has written, then silence (see output_module/stream_ring.h). Audio thread only.
  TRingRead ReadBlock(uint32_t Frames, TSingleChannelArrays& Inputs) noexcept {
    return FRing.ReadBlock(Frames, Inputs);
  }

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
  // The first use's loading (the library dialog of the first start, the effect, its preset,
  // the stored driver and routing), or the driver let go of opened again. Window's thread.
  void PrepareHere();
  // Runs `Call` on the window's thread and waits for it, its exception coming along; false
  // when that thread did not take it up in time (it is not pumping its messages, or waits for
  // the calling thread).
  bool OnWindowThread(const std::function<void()>& Call);
  static void WindowCallMessage(void* Context, uint32_t Message, uintptr_t, intptr_t) noexcept;
  int32_t OpenHere(int32_t SampleRate, int32_t Channels, int32_t BitsPerSample);
  // Keeps the driver's rate, output latency and block where the player's threads read them.
  void KeepDriverFigures() noexcept;
  // Frames still to be heard, at the driver's rate: the queue and what the driver holds.
  int64_t FramesToBeHeard() const noexcept;
  int32_t LatencyMs() const noexcept;
  // Close's work, FStreamControl held.
  void CloseStream();
  // Ends the stream that is open or playing out: what is still queued fades out and goes,
  // and the driver stops. FStreamControl held.
  void EndStream();
  // Waits until a closed stream has played out, at most as long as that can take.
  void WaitUntilPlayedOut();
  // The driver has not called for a second while it should.
  bool DriverStalled() const noexcept;
  int64_t WrittenMs() const noexcept;
  // The timer's part: a driver whose closed stream has played out stops after the grace.
  void StopPlayedOutDriver();

  // The stream.
  std::atomic<float> FVolume{1.0f};
  TStreamRing FRing;
  std::atomic<bool> FPaused{false};
  // Open, Close, Flush, Pause and the timer that stops a driver once a closed stream has
  // played out take turns on the stream's life; Write, CanWrite and the time queries never
  // wait for them.
  mutable std::mutex FStreamControl;
  // The player marked the end of the stream's data.
  std::atomic<bool> FEndMarked{false};
  // Closed after the end mark: the queue plays out, the driver runs on for a next Open.
  std::atomic<bool> FDraining{false};
  // When the closed stream was first found played out; FStreamControl held.
  bool FPlayedOut = false;
  std::chrono::steady_clock::time_point FPlayedOutAt;
  // The times: where the last Flush put the stream (0 after Open) and the stream frames
  // written since; the output time answered last, which it never goes below.
  std::atomic<int64_t> FStartMs{0};
  std::atomic<int64_t> FFramesWritten{0};
  mutable std::mutex FTimeLock;
  mutable int64_t FLastOutputMs = 0;  // FTimeLock held
  // What the time queries and IsPlaying need of the driver, where any thread may read it.
  std::atomic<int32_t> FDriverRate{0};
  std::atomic<int32_t> FOutputLatency{0};
  std::atomic<int32_t> FBlockFrames{0};
  // The audio thread's blocks, and the last one that took a frame of the stream (0: none
  // since the driver stopped): until the driver's output latency has passed after it, that
  // frame is still in the driver.
  std::atomic<uint32_t> FBlocksRun{0};
  std::atomic<uint32_t> FLastFrameBlock{0};
  uint32_t FBlocksAtOpen = 0;  // FStreamControl held
  // The blocks a time query last saw, and since when: a driver that stopped calling will
  // not play what is queued.
  mutable std::atomic<uint32_t> FWatchedBlocks{0};
  mutable std::atomic<int64_t> FWatchedSinceMs{0};
  // A stop's fade-out: asked by Close, made by the audio thread on its next block, which
  // then reads nothing more until Close has dropped the queue.
  enum : int32_t { kNoFade, kFadeAsked, kFaded };
  std::atomic<int32_t> FFade{kNoFade};
  // First use: the effect and the driver are loaded once it has come.
  std::atomic<bool> FPrepared{false};
  // Let go of when another output was chosen; opened again at the next use. Window's thread.
  std::atomic<bool> FDriverReleased{false};
  bool FPreparing = false;  // window's thread
  uintptr_t FWindowThread = 0;
  // Calls from the player's other threads that the window's thread makes (they change the
  // hosts, which are its own), handed over through this window, one message a call.
  struct TWindowCall;
  std::unique_ptr<platform::MessageWindow> FCallWindow;
  std::mutex FCallLock;
  std::condition_variable FCallChanged;
  std::deque<TWindowCall*> FCalls;  // FCallLock held
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
// The player tells its outputs which one it plays through: `mode` bit 0 set for the chosen
// one, clear for the others; 0x100 marks a choice made as playback starts.
PLAYER_EXPORT void PLAYER_CALL winampGetOutModeChange(int32_t mode);
