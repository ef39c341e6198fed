#pragma once

// The plug-in's side of the bridge: an effect record whose routines forward to the effect in
// a helper process, so that the VST host drives it as it drives an effect of its own
// process. The record's fields mirror the helper's effect after every answer.
//
// When the helper dies or stops answering, the outputs are silence, the fault is recorded
// (platform/fault_log.h), and a thread of the proxy's starts the helper again with the
// effect's last known state; after three quick failures in a row it gives up and the effect
// counts as failed.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault_log.h"
#include "platform/interprocess.h"
#include "vst_bridge/bridge_channel.h"
#include "vst_bridge/bridge_layout.h"
#include "vst_bridge/bridge_marshal.h"
#include "vst_bridge/bridge_timings.h"
#include "vst_host/vst_types.h"

namespace vst_bridge {

// The helpers by the width of the effects they load.
enum class THelperWidth { SameAsPlugIn, X86, X64 };
std::string HelperFileName(THelperWidth width);
// The helper beside the library or program that holds this code.
std::string HelperBesideModule(THelperWidth width);

enum class TBridgeState : uint32_t {
  Running,     // the helper answers
  Restarting,  // the helper failed; it is being started again, outputs are silence
  Failed,      // it failed three times in a row: no more tries
};

class TEffectProxy final : public TRequestServer {
 public:
  // Starts the helper program, which loads the effect library; `host` is the host callback
  // the effect's requests reach. Null with the reason in `error`.
  static std::unique_ptr<TEffectProxy> Open(const std::string& helper, const std::string& library,
                                            audioMasterCallback host, std::string& error,
                                            const TBridgeTimings& timings = {});
  ~TEffectProxy();
  TEffectProxy(const TEffectProxy&) = delete;
  TEffectProxy& operator=(const TEffectProxy&) = delete;

  AEffect* Effect() { return &effect_; }
  TBridgeState State() const { return state_.load(std::memory_order_acquire); }
  // How often the helper was started again.
  uint32_t Restarts() const { return restarts_.load(std::memory_order_acquire); }
  uint32_t HelperId() const { return helper_id_.load(std::memory_order_acquire); }
  // How often a block had to wake the helper through the system (it was idle), since its start.
  uint32_t AudioWakeUps() const { return channels_[kAudioChannel]->PeerWakeUps(); }
  // Takes the effect's state now, as the watch does regularly while it plays.
  void CacheState();

  // Host callbacks of the helper's effect, on whichever thread waits on that channel.
  void Serve(TChannelEnd& channel) noexcept override;

 private:
  // The effect's state, kept to give a restarted helper.
  struct TStateCache {
    std::vector<uint8_t> chunk;
    bool program_chunk = false;
    std::vector<float> parameters;
    VstInt32 program = -1;
  };

  TEffectProxy(std::string library, audioMasterCallback host, const TBridgeTimings& timings);
  // The shared memory, signals and channels for a helper, under new names; only while no
  // thread of the proxy's uses the channels.
  bool CreateShared(std::string& error);
  // Starts a helper with new shared objects and has it load the library; with `replay`, gives
  // it the effect's settings and last known state.
  bool StartHelper(bool replay, std::string& error);
  void ReplayState();

  static VstIntPtr VSTCALLBACK DispatchRoutine(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                               VstIntPtr value, void* ptr, float opt);
  static void VSTCALLBACK ProcessRoutine(AEffect* effect, float** inputs, float** outputs,
                                         VstInt32 frames);
  static void VSTCALLBACK ProcessReplacingRoutine(AEffect* effect, float** inputs, float** outputs,
                                                  VstInt32 frames);
  static void VSTCALLBACK ProcessDoubleRoutine(AEffect* effect, double** inputs, double** outputs,
                                               VstInt32 frames);
  static void VSTCALLBACK SetParameterRoutine(AEffect* effect, VstInt32 index, float value);
  static float VSTCALLBACK GetParameterRoutine(AEffect* effect, VstInt32 index);

  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);
  // The dispatcher request without what the proxy keeps of it.
  VstIntPtr Forward(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);
  void SetParameter(VstInt32 index, float value);
  float GetParameter(VstInt32 index);
  template <typename Sample>
  void Process(Sample** inputs, Sample** outputs, VstInt32 frames, uint32_t flags) noexcept;
  // Posts the control message and waits for its reply; false (and the helper counted as
  // failed) when it does not come. Holds control_lock_.
  bool ControlExchange(uint32_t limit_ms);
  bool PutChunk(const uint8_t* data, size_t size);
  bool FetchChunk(int64_t size, std::vector<uint8_t>& chunk);
  void ApplyRecord(const TMessage& message) noexcept;
  void HelperFailed(const char* why) noexcept;
  bool ExpectedState() const noexcept {
    return state_.load(std::memory_order_acquire) ==
           expected_state_.load(std::memory_order_relaxed);
  }
  void Watch();
  void TakeLateAudioReply();
  void Restart();
  void ServeCallbacks();
  void StartCallbackThread();
  void StopCallbackThread();

  std::string library_;
  std::string helper_path_;
  audioMasterCallback host_;
  TBridgeTimings timings_;
  platform::FaultSourceId source_;
  AEffect effect_{};

  std::string base_name_;
  std::unique_ptr<platform::SharedMemory> shared_;
  std::unique_ptr<platform::InterprocessSignal> signals_[kChannelCount][2];
  std::unique_ptr<TChannelEnd> channels_[kChannelCount];
  TSharedHeader* header_ = nullptr;
  std::unique_ptr<platform::ChildProcess> helper_;
  std::atomic<uint32_t> helper_id_{0};

  std::atomic<TBridgeState> state_{TBridgeState::Running};
  // The state the control requests are made in: Running, or Restarting while the watch
  // gives a new helper the effect's state.
  std::atomic<TBridgeState> expected_state_{TBridgeState::Running};
  std::atomic<uint32_t> restarts_{0};
  std::recursive_mutex control_lock_;
  // A control request went unanswered while a new helper was given the effect's state: the
  // requests after it in that start are not waited for.
  bool start_broken_ = false;

  // Who uses the audio channel: the audio thread for a block, or the watch, which takes a
  // late reply when no block comes after it and makes the channel new for a restart.
  static constexpr uint32_t kAudioFree = 0, kAudioThread = 1, kAudioWatch = 2;
  std::atomic<uint32_t> audio_user_{kAudioFree};
  // An exchange whose reply is late, and since when (0: none); its user's.
  bool audio_pending_ = false;
  std::atomic<int64_t> audio_posted_at_{0};
  std::atomic<int64_t> audio_period_ticks_{0};  // of the last block
  std::atomic<float> sample_rate_{44100.0f};

  // What the host set, for a restarted helper.
  VstInt32 block_size_ = 0;
  std::atomic<bool> mains_on_{false};
  bool bypass_ = false;
  bool opened_ = false;
  TStateCache cache_;
  std::mutex cache_lock_;

  // What answers that are addresses point to: valid until the next request, as an effect's.
  std::vector<uint8_t> chunk_out_;
  ERect rect_out_{};
  alignas(8) uint8_t speakers_out_[2][kSpeakerArrangementBytes] = {};
  // Events the effect sends, rebuilt: one store per channel that may carry them.
  std::unique_ptr<TEventStore> event_stores_[kChannelCount];

  std::atomic<bool> stop_{false};
  std::atomic<bool> callbacks_stop_{false};
  std::thread watch_thread_;
  std::thread callback_thread_;
  int64_t last_start_ = 0;
  int64_t last_cache_ = 0;
  uint32_t quick_failures_ = 0;
};

}  // namespace vst_bridge
