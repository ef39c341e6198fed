#pragma once

// The helper process's side of the bridge: it loads the effect library, serves the proxy's
// requests on the control channel (its main thread) and the audio channel (a thread of its
// own), and carries the effect's host callbacks to the proxy: over the channel of the request
// the calling thread serves, or over the callback channel from any other thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/editor_parent.h"
#include "platform/interprocess.h"
#include "vst_bridge/bridge_channel.h"
#include "vst_bridge/bridge_layout.h"
#include "vst_bridge/bridge_marshal.h"
#include "vst_host/vst_types.h"

namespace vst_bridge {

class THelperHost final : public TRequestServer {
 public:
  // The shared objects of the bridge named `base`; null with the reason in *error.
  static std::unique_ptr<THelperHost> Connect(const std::string& base, uint32_t parent_id,
                                              std::string* error);
  ~THelperHost();
  THelperHost(const THelperHost&) = delete;
  THelperHost& operator=(const THelperHost&) = delete;

  // Serves the control channel until the proxy says quit or its process has gone.
  void Run();

  // Sees every control reply before it goes back, with the kind of request it answers: a
  // helper for the tests that breaks the protocol on purpose. Set before Run.
  using TReplyFilter = void (*)(uint32_t Request, TMessage& Reply, uint8_t* Data,
                                size_t Capacity) noexcept;
  void SetReplyFilter(TReplyFilter Filter) noexcept { reply_filter_ = Filter; }

  void Serve(TChannelEnd& channel) noexcept override;

 private:
  // What a host-callback answer that is an address points to, one per channel.
  struct TAnswerStore {
    VstTimeInfo time;
    char directory[kMaxDirectoryText + 1];
  };

  THelperHost(std::unique_ptr<platform::SharedMemory> shared,
              std::unique_ptr<platform::InterprocessSignal> signals[kChannelCount][2],
              uint32_t parent_id);
  static VstIntPtr VSTCALLBACK HostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                            VstIntPtr value, void* ptr, float opt);
  VstIntPtr CallHost(TChannelEnd& channel, TAnswerStore& store, AEffect* effect, VstInt32 opcode,
                     VstInt32 index, VstIntPtr value, void* ptr, float opt) noexcept;
  void ServeAudio();
  void Load(TChannelEnd& channel) noexcept;
  void Dispatch(TChannelEnd& channel) noexcept;
  void Process(TChannelEnd& channel) noexcept;
  void PutBulk(TChannelEnd& channel) noexcept;
  void GetBulk(TChannelEnd& channel) noexcept;
  void FillRecord(TMessage& message) noexcept;
  void* OpenEditorParent(void* panel) noexcept;
  bool Abandoned() noexcept;
  void WatchParent();
  TChannelEnd& Channel(TChannelId id) { return *channels_[id]; }

  std::unique_ptr<platform::SharedMemory> shared_;
  std::unique_ptr<platform::InterprocessSignal> signals_[kChannelCount][2];
  std::unique_ptr<TChannelEnd> channels_[kChannelCount];
  TSharedHeader* header_;
  platform::ParentWatch parent_;
  std::atomic<bool> stop_{false};
  std::thread audio_thread_;
  std::thread parent_thread_;
  std::mutex callback_lock_;  // the callback channel carries one thread's call at a time
  TAnswerStore answers_[kChannelCount];
  platform::DynamicLibrary library_;
  // Set on the control thread, read on every thread that serves or calls back.
  std::atomic<AEffect*> effect_{nullptr};
  // The chunk last taken from the effect, or the one being put together for it.
  std::vector<uint8_t> bulk_;
  TEventStore events_;
  // Where the open editor's window lives: the host's panel, or a window of ours over it.
  // The control thread's, as are the editor's windows.
  std::unique_ptr<platform::EditorParent> editor_parent_;
  TReplyFilter reply_filter_ = nullptr;
};

}  // namespace vst_bridge
