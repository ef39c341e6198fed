#include "vst_bridge/effect_proxy.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/system.h"

namespace vst_bridge {
namespace {

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

TEffectProxy* ProxyOf(AEffect* effect) {
  return static_cast<TEffectProxy*>(effect->object);
}

// Parameters beyond this many are not kept for a restart: each is a round trip (tens of
// microseconds, more for an effect that calls back from inside), and the walk comes back
// every few seconds.
constexpr VstInt32 kMaxCachedParameters = 2048;

std::atomic<uint32_t> g_bridge_count{0};

}  // namespace

std::string HelperFileName(THelperWidth width) {
#if defined(_WIN32)
#if defined(__x86_64__)
  const THelperWidth own = THelperWidth::X64;
#else
  const THelperWidth own = THelperWidth::X86;
#endif
  if (width == THelperWidth::SameAsPlugIn) width = own;
  return width == THelperWidth::X64 ? "partiloom-bridge-x64.exe" : "partiloom-bridge-x86.exe";
#else
  (void)width;
  return "partiloom-bridge";
#endif
}

std::string HelperBesideModule(THelperWidth width) {
  return FolderOf(platform::ModulePath(reinterpret_cast<const void*>(&HelperBesideModule))) +
         HelperFileName(width);
}

// ---- opening and closing --------------------------------------------------------------------

TEffectProxy::TEffectProxy(std::string library, audioMasterCallback host,
                           const TBridgeTimings& timings)
    : library_(std::move(library)),
      host_(host),
      timings_(timings),
      source_(platform::RegisterFaultSource(FileNameOf(library_))) {
  effect_.magic = kEffectMagic;
  effect_.dispatcher = &DispatchRoutine;
  effect_.setParameter = &SetParameterRoutine;
  effect_.getParameter = &GetParameterRoutine;
  effect_.object = this;
  effect_.ioRatio = 1.0f;
  for (auto& store : event_stores_) store = std::make_unique<TEventStore>();
}

std::unique_ptr<TEffectProxy> TEffectProxy::Open(const std::string& helper,
                                                 const std::string& library,
                                                 audioMasterCallback host, std::string& error,
                                                 const TBridgeTimings& timings) {
  if (!platform::FileExists(helper)) {
    error = "The effect's helper program " + helper + " is missing";
    return nullptr;
  }
  std::unique_ptr<TEffectProxy> proxy(new TEffectProxy(library, host, timings));
  proxy->helper_path_ = helper;
  if (!proxy->StartHelper(false, error)) return nullptr;
  proxy->watch_thread_ = std::thread([p = proxy.get()] { p->Watch(); });
  return proxy;
}

bool TEffectProxy::CreateShared(std::string& error) {
  const std::string base_name = "partiloom-bridge-" + std::to_string(platform::CurrentProcessId()) +
                                "-" + std::to_string(g_bridge_count.fetch_add(1));
  std::unique_ptr<platform::SharedMemory> shared =
      platform::SharedMemory::Create(base_name, kSharedBytes, &error);
  if (!shared) return false;
  std::unique_ptr<platform::InterprocessSignal> signals[kChannelCount][2];
  for (uint32_t c = 0; c < kChannelCount; ++c)
    for (uint32_t side = 0; side < 2; ++side) {
      signals[c][side] = platform::InterprocessSignal::Create(
          SignalName(base_name, static_cast<TChannelId>(c), static_cast<TSide>(side)), &error);
      if (!signals[c][side]) return false;
    }
  // The objects before these (if any) serve nobody now: they go.
  base_name_ = base_name;
  shared_ = std::move(shared);
  for (uint32_t c = 0; c < kChannelCount; ++c)
    for (uint32_t side = 0; side < 2; ++side) signals_[c][side] = std::move(signals[c][side]);
  auto* base = static_cast<uint8_t*>(shared_->Data());
  header_ = new (base) TSharedHeader{};
  header_->magic = kLayoutMagic;
  header_->version = kLayoutVersion;
  header_->parent_id = platform::CurrentProcessId();
  for (uint32_t c = 0; c < kChannelCount; ++c)
    channels_[c] = std::make_unique<TChannelEnd>(
        new (base + kChannelPlaces[c].area) TChannelArea{}, base + kChannelPlaces[c].data,
        kChannelPlaces[c].capacity, kProxySide, signals_[c][kProxySide].get(),
        signals_[c][kHelperSide].get());
  return true;
}

bool TEffectProxy::StartHelper(bool replay, std::string& error) {
  std::lock_guard<std::recursive_mutex> lock(control_lock_);
  last_start_ = Now();  // a start that fails early counts as a quick failure too
  // New objects for every helper: on posix systems the one before took their names away,
  // and nothing it left in the channels or the header stays.
  if (!CreateShared(error)) return false;
  StartCallbackThread();
  start_broken_ = false;
  helper_ = platform::ChildProcess::Start(
      helper_path_, {base_name_, std::to_string(platform::CurrentProcessId())}, &error);
  if (!helper_) return false;
  helper_id_ = helper_->Id();
  TChannelEnd& control = *channels_[kControlChannel];
  TMessage& message = control.Message();
  message = TMessage{};
  message.kind = kLoad;
  message.size = static_cast<uint32_t>(
      CopyText(reinterpret_cast<char*>(control.Data()), library_.c_str(), control.Capacity() - 1));
  if (!ControlExchange(timings_.start_ms)) {
    error = "The effect's helper program did not answer";
    helper_->Kill();
    return false;
  }
  if (message.result != 1) {
    error = std::string(reinterpret_cast<const char*>(control.Data()),
                        strnlen(reinterpret_cast<const char*>(control.Data()),
                                std::min<size_t>(message.size, kMaxText)));
    if (error.empty()) error = "PlugIn " + library_ + " could not be loaded";
    helper_->Kill();
    return false;
  }
  // The routines are the library's: a restarted helper gives the same, and the audio
  // thread reads them meanwhile.
  if (!replay) {
    const TEffectRecord& record = message.record;
    effect_.process = record.routines & kRoutineProcess ? &ProcessRoutine : nullptr;
    effect_.processReplacing =
        record.routines & kRoutineProcessReplacing ? &ProcessReplacingRoutine : nullptr;
    effect_.processDoubleReplacing =
        record.routines & kRoutineProcessDouble ? &ProcessDoubleRoutine : nullptr;
  } else {
    ReplayState();
  }
  return true;
}

TEffectProxy::~TEffectProxy() {
  stop_ = true;
  if (watch_thread_.joinable()) watch_thread_.join();
  if (helper_ && helper_->Running()) {
    {
      std::lock_guard<std::recursive_mutex> lock(control_lock_);
      TChannelEnd& control = *channels_[kControlChannel];
      control.Message().kind = kQuit;
      control.Message().size = 0;
      ControlExchange(1000);
    }
    header_->quit.store(1);
    if (!helper_->WaitForExit(1000)) helper_->Kill();
  }
  StopCallbackThread();
  helper_.reset();
}

// ---- control requests -------------------------------------------------------------------

bool TEffectProxy::ControlExchange(uint32_t limit_ms) {
  if (!ExpectedState() || start_broken_) return false;
  TChannelEnd& control = *channels_[kControlChannel];
  TWaitPolicy policy;
  policy.spin_ticks = MicrosecondsToTicks(50);
  policy.deadline = Now() + MicrosecondsToTicks(int64_t{limit_ms} * 1000);
  policy.slice_ms = 10;
  // The effect's editor is a window of the helper's in one of the host's: the system sends
  // messages between them, which this thread takes while it waits (posted ones stay queued:
  // no request of the host's may start inside this one).
  policy.messages = platform::InterprocessSignal::Messages::Sent;
  const TWaitResult result = Exchange(control, *this, policy, [this] { return !ExpectedState(); });
  if (result == TWaitResult::TimedOut) {
    if (State() == TBridgeState::Restarting) start_broken_ = true;
    HelperFailed("helper (no answer)");
  }
  if (result != TWaitResult::Arrived) return false;
  const TMessage& message = control.Message();
  ApplyRecord(message);
  return true;
}

void TEffectProxy::ApplyRecord(const TMessage& message) noexcept {
  if (!message.has_record) return;
  const TEffectRecord& record = message.record;
  // The audio thread may be the one that reports new counts; the host's thread reads them.
  // Only what changed is written: the host reads the record without atomics, as it reads an
  // effect's own.
  const auto store = [](VstInt32& field, int32_t value) {
    std::atomic_ref<VstInt32> shared(field);
    if (shared.load(std::memory_order_relaxed) != value)
      shared.store(value, std::memory_order_relaxed);
  };
  store(effect_.numPrograms, record.numPrograms);
  store(effect_.numParams, record.numParams);
  store(effect_.numInputs, record.numInputs);
  store(effect_.numOutputs, record.numOutputs);
  store(effect_.flags, record.flags);
  store(effect_.initialDelay, record.initialDelay);
  store(effect_.uniqueID, record.uniqueID);
  store(effect_.version, record.version);
}

VstIntPtr VSTCALLBACK TEffectProxy::DispatchRoutine(AEffect* effect, VstInt32 opcode,
                                                    VstInt32 index, VstIntPtr value, void* ptr,
                                                    float opt) {
  try {
    return ProxyOf(effect)->Dispatch(opcode, index, value, ptr, opt);
  } catch (...) {
    return 0;
  }
}

VstIntPtr TEffectProxy::Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                 float opt) {
  std::lock_guard<std::recursive_mutex> lock(control_lock_);
  const VstIntPtr result = Forward(opcode, index, value, ptr, opt);
  // What a restarted helper is given again.
  switch (opcode) {
    case effOpen:
      opened_ = true;
      break;
    case effClose:
      opened_ = false;
      break;
    case effSetSampleRate:
      if (opt > 0.0f) sample_rate_ = opt;
      break;
    case effSetBlockSize:
      block_size_ = static_cast<VstInt32>(value);
      break;
    case effMainsChanged:
      mains_on_ = value != 0;
      break;
    case effSetBypass:
      bypass_ = value != 0;
      break;
    case effSetProgram: {
      std::lock_guard<std::mutex> cache(cache_lock_);
      cache_.program = static_cast<VstInt32>(value);
      break;
    }
    case effGetChunk:
      // Every save is kept as the last known state.
      if (result > 0 && ptr && *static_cast<void**>(ptr) == chunk_out_.data() &&
          static_cast<size_t>(result) == chunk_out_.size()) {
        std::lock_guard<std::mutex> cache(cache_lock_);
        cache_.chunk = chunk_out_;
        cache_.program_chunk = index != 0;
      }
      break;
    case effSetChunk:
      if (value > 0 && ptr) {
        std::lock_guard<std::mutex> cache(cache_lock_);
        const auto* bytes = static_cast<const uint8_t*>(ptr);
        cache_.chunk.assign(bytes, bytes + value);
        cache_.program_chunk = index != 0;
      }
      break;
    default:
      break;
  }
  return result;
}

VstIntPtr TEffectProxy::Forward(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                float opt) {
  const TPointerUse use = DispatcherPointerUse(opcode, ptr != nullptr);
  if (use == TPointerUse::Refused) {
    platform::RecordFault(platform::FaultKind::RefusedAnswer, source_,
                          "dispatcher (a pointer the bridge does not carry)");
    return 0;
  }
  if (!ExpectedState()) return 0;
  TChannelEnd& control = *channels_[kControlChannel];
  uint8_t* const data = control.Data();
  if (use == TPointerUse::ChunkIn && ptr && value > 0) {
    if (static_cast<uint64_t>(value) > kMaxBridgedChunk ||
        !PutChunk(static_cast<const uint8_t*>(ptr), static_cast<size_t>(value)))
      return 0;
  }
  TMessage& message = control.Message();
  message = TMessage{};
  message.kind = kDispatch;
  message.opcode = opcode;
  message.index = index;
  message.value = value;
  message.opt = opt;
  if (ptr) {
    switch (use) {
      case TPointerUse::TextIn:
        message.size = static_cast<uint32_t>(
            CopyText(reinterpret_cast<char*>(data), static_cast<const char*>(ptr), kMaxText));
        break;
      case TPointerUse::WindowHandle: {
        const uint64_t handle = reinterpret_cast<uintptr_t>(ptr);
        std::memcpy(data, &handle, sizeof handle);
        message.size = sizeof handle;
        break;
      }
      case TPointerUse::ChunkIn:
        message.size = 1;  // the chunk is in the helper already
        break;
      case TPointerUse::EventsIn:
        message.size = static_cast<uint32_t>(SerializeEvents(ptr, data, control.Capacity()));
        if (message.size == 0) return 0;
        break;
      case TPointerUse::PatchInfoIn:
        std::memcpy(data, ptr, sizeof(VstPatchChunkInfo));
        message.size = sizeof(VstPatchChunkInfo);
        break;
      case TPointerUse::SpeakersIn:
        for (const void* arrangement :
             {reinterpret_cast<const void*>(value), static_cast<const void*>(ptr)}) {
          uint8_t* const target = data + message.size;
          std::memset(target, 0, kSpeakerArrangementBytes);
          if (arrangement) {
            int32_t channels = 0;
            std::memcpy(&channels, static_cast<const uint8_t*>(arrangement) + 4, sizeof channels);
            channels = std::clamp(channels, 0, kMaxSpeakers);
            std::memcpy(target, arrangement,
                        kSpeakerArrangementHeader + channels * kSpeakerPropertiesBytes);
          }
          message.size += kSpeakerArrangementBytes;
        }
        message.value = 0;
        break;
      default:
        // Out-pointers: the helper hands the effect its own memory.
        message.size = 1;
        break;
    }
  }
  if (!ControlExchange(opcode == effOpen ? timings_.start_ms : timings_.request_ms)) return 0;
  if (message.fault)
    platform::RecordFault(platform::FaultKind::EffectFault, source_, DispatcherCallName(opcode),
                          message.fault);
  const auto result = static_cast<VstIntPtr>(message.result);
  const size_t size = std::min<size_t>(message.size, control.Capacity());
  if (!ptr) return result;
  switch (use) {
    case TPointerUse::TextOut:
      if (size > 0)
        CopyText(static_cast<char*>(ptr), reinterpret_cast<const char*>(data), kMaxText);
      break;
    case TPointerUse::RectOut:
      if (size == sizeof(ERect)) {
        std::memcpy(&rect_out_, data, sizeof rect_out_);
        *static_cast<ERect**>(ptr) = &rect_out_;
      } else {
        *static_cast<ERect**>(ptr) = nullptr;
      }
      break;
    case TPointerUse::ChunkOut:
      chunk_out_.clear();
      *static_cast<void**>(ptr) = nullptr;
      if (message.flags & kReplyChunkCopyFaulted) return 0;
      if (message.flags & kReplyChunkTooLarge) {
        // The host refuses it by its size; it never reads the bytes. A size it would read is
        // no such answer: the byte here is all there is.
        if (static_cast<uint64_t>(message.result) <= kMaxBridgedChunk) {
          HelperFailed("helper (a chunk within the limit called too large)");
          return 0;
        }
        static uint8_t unread = 0;
        *static_cast<void**>(ptr) = &unread;
        return result;
      }
      if (result > 0 && FetchChunk(result, chunk_out_))
        *static_cast<void**>(ptr) = chunk_out_.data();
      return result;
    case TPointerUse::PinOut:
      if (size == kPinPropertiesBytes) std::memcpy(ptr, data, kPinPropertiesBytes);
      break;
    case TPointerUse::ParameterOut:
      if (size == kParameterPropertiesBytes) std::memcpy(ptr, data, kParameterPropertiesBytes);
      break;
    case TPointerUse::SpeakersOut:
      if (size == 2 * kSpeakerArrangementBytes) {
        std::memcpy(speakers_out_, data, sizeof speakers_out_);
        // The host reads as many speakers as each says: no more than the copy holds.
        for (uint8_t* arrangement : speakers_out_) {
          int32_t channels = 0;
          std::memcpy(&channels, arrangement + 4, sizeof channels);
          if (channels >= 0 && channels <= kMaxSpeakers) continue;
          HelperFailed("helper (a speaker arrangement beyond its speakers)");
          return 0;
        }
        if (value) *reinterpret_cast<void**>(value) = speakers_out_[0];
        *static_cast<void**>(ptr) = speakers_out_[1];
      }
      break;
    default:
      break;
  }
  return result;
}

bool TEffectProxy::PutChunk(const uint8_t* data, size_t size) {
  TChannelEnd& control = *channels_[kControlChannel];
  for (size_t offset = 0; offset < size || offset == 0;) {
    const size_t piece = std::min(size - offset, control.Capacity());
    TMessage& message = control.Message();
    message = TMessage{};
    message.kind = kPutBulk;
    message.value = static_cast<int64_t>(size);
    message.index = static_cast<int32_t>(offset);
    message.size = static_cast<uint32_t>(piece);
    std::memcpy(control.Data(), data + offset, piece);
    if (!ControlExchange(timings_.request_ms) || message.result != 1) return false;
    offset += piece;
    if (piece == 0) break;
  }
  return true;
}

bool TEffectProxy::FetchChunk(int64_t size, std::vector<uint8_t>& chunk) {
  TChannelEnd& control = *channels_[kControlChannel];
  chunk.resize(static_cast<size_t>(size));
  size_t offset = 0;
  while (offset < chunk.size()) {
    TMessage& message = control.Message();
    message = TMessage{};
    message.kind = kGetBulk;
    message.index = static_cast<int32_t>(offset);
    if (!ControlExchange(timings_.request_ms) || message.size == 0 ||
        static_cast<size_t>(message.result) != chunk.size())
      break;
    // The rest would be the other channels' areas, or beyond the mapping.
    if (message.size > control.Capacity()) {
      HelperFailed("helper (a chunk piece beyond its area)");
      break;
    }
    const size_t piece = std::min<size_t>(message.size, chunk.size() - offset);
    std::memcpy(chunk.data() + offset, control.Data(), piece);
    offset += piece;
  }
  if (offset == chunk.size()) return true;
  chunk.clear();
  return false;
}

// ---- parameters ---------------------------------------------------------------------------

void VSTCALLBACK TEffectProxy::SetParameterRoutine(AEffect* effect, VstInt32 index, float value) {
  try {
    ProxyOf(effect)->SetParameter(index, value);
  } catch (...) {
  }
}

float VSTCALLBACK TEffectProxy::GetParameterRoutine(AEffect* effect, VstInt32 index) {
  try {
    return ProxyOf(effect)->GetParameter(index);
  } catch (...) {
    return 0.0f;
  }
}

void TEffectProxy::SetParameter(VstInt32 index, float value) {
  std::lock_guard<std::recursive_mutex> lock(control_lock_);
  TMessage& message = channels_[kControlChannel]->Message();
  message = TMessage{};
  message.kind = kSetParameter;
  message.index = index;
  message.opt = value;
  if (!ControlExchange(timings_.request_ms)) return;
  if (message.fault)
    platform::RecordFault(platform::FaultKind::EffectFault, source_, "setParameter", message.fault);
  std::lock_guard<std::mutex> cache(cache_lock_);
  if (index >= 0 && static_cast<size_t>(index) < cache_.parameters.size())
    cache_.parameters[static_cast<size_t>(index)] = value;
}

float TEffectProxy::GetParameter(VstInt32 index) {
  std::lock_guard<std::recursive_mutex> lock(control_lock_);
  TMessage& message = channels_[kControlChannel]->Message();
  message = TMessage{};
  message.kind = kGetParameter;
  message.index = index;
  if (!ControlExchange(timings_.request_ms)) return 0.0f;
  if (message.fault)
    platform::RecordFault(platform::FaultKind::EffectFault, source_, "getParameter", message.fault);
  return message.opt;
}

// ---- audio ----------------------------------------------------------------------------------

void VSTCALLBACK TEffectProxy::ProcessRoutine(AEffect* effect, float** inputs, float** outputs,
                                              VstInt32 frames) {
  ProxyOf(effect)->Process(inputs, outputs, frames, kProcessAccumulating);
}

void VSTCALLBACK TEffectProxy::ProcessReplacingRoutine(AEffect* effect, float** inputs,
                                                       float** outputs, VstInt32 frames) {
  ProxyOf(effect)->Process(inputs, outputs, frames, 0);
}

void VSTCALLBACK TEffectProxy::ProcessDoubleRoutine(AEffect* effect, double** inputs,
                                                    double** outputs, VstInt32 frames) {
  ProxyOf(effect)->Process(inputs, outputs, frames, kProcessDouble);
}

template <typename Sample>
void TEffectProxy::Process(Sample** inputs, Sample** outputs, VstInt32 frames,
                           uint32_t flags) noexcept {
  const VstInt32 ins = std::max<VstInt32>(
      std::atomic_ref<VstInt32>(effect_.numInputs).load(std::memory_order_relaxed), 0);
  const VstInt32 outs = std::max<VstInt32>(
      std::atomic_ref<VstInt32>(effect_.numOutputs).load(std::memory_order_relaxed), 0);
  const bool accumulating = flags & kProcessAccumulating;
  const auto silence = [&](VstInt32 from) {
    if (accumulating) return;
    for (VstInt32 c = 0; c < outs; ++c)
      std::fill(outputs[c] + from, outputs[c] + frames, Sample(0));
  };
  if (frames <= 0) return;
  // Counts beyond reason are no exchange: the caller's arrays cannot hold them either.
  if (ins > kMaxBridgedChannels || outs > kMaxBridgedChannels) return;
  // The watch may be taking a late reply, or making the channel new: this block is silence.
  uint32_t free = kAudioFree;
  if (!audio_user_.compare_exchange_strong(free, kAudioThread, std::memory_order_acquire)) {
    silence(0);
    return;
  }
  const float rate = sample_rate_.load(std::memory_order_relaxed);
  const int64_t period_us = static_cast<int64_t>(1e6 * frames / (rate > 0.0f ? rate : 44100.0f));
  audio_period_ticks_.store(MicrosecondsToTicks(period_us), std::memory_order_relaxed);
  TWaitPolicy policy;
  policy.slice_ms = 0;  // the audio thread never sleeps
  policy.deadline = Now() + MicrosecondsToTicks(std::max<int64_t>(
                                static_cast<int64_t>(period_us * timings_.audio_spin_share),
                                timings_.audio_min_wait_us));
  const auto abandon = [this] {
    return state_.load(std::memory_order_relaxed) != TBridgeState::Running;
  };
  TChannelEnd& audio = *channels_[kAudioChannel];
  VstInt32 done = 0;
  if (state_.load(std::memory_order_seq_cst) == TBridgeState::Running) {
    // A reply that came too late for its block: taken now, its outputs dropped.
    if (audio_pending_ && AwaitReply(audio, *this, policy, abandon) == TWaitResult::Arrived) {
      audio_pending_ = false;
      audio_posted_at_.store(0, std::memory_order_relaxed);
    }
    const size_t per_frame = static_cast<size_t>(ins + outs) * sizeof(Sample);
    const VstInt32 capacity =
        per_frame == 0 ? frames : static_cast<VstInt32>(kAudioBufferBytes / per_frame);
    auto* const buffers =
        reinterpret_cast<Sample*>(static_cast<uint8_t*>(shared_->Data()) + kAudioBufferOffset);
    while (!audio_pending_ && done < frames && capacity > 0) {
      const VstInt32 piece = std::min(frames - done, capacity);
      for (VstInt32 c = 0; c < ins; ++c)
        std::memcpy(buffers + static_cast<size_t>(c) * piece, inputs[c] + done,
                    piece * sizeof(Sample));
      Sample* const shared_outputs = buffers + static_cast<size_t>(ins) * piece;
      if (accumulating)
        for (VstInt32 c = 0; c < outs; ++c)
          std::memcpy(shared_outputs + static_cast<size_t>(c) * piece, outputs[c] + done,
                      piece * sizeof(Sample));
      TMessage& message = audio.Message();
      message.kind = kProcess;
      message.value = piece;
      message.flags = flags;
      message.size = 0;
      message.has_record = 0;
      message.period_us = period_us;
      message.record.numInputs = ins;
      message.record.numOutputs = outs;
      message.posted_at = Now();
      audio_posted_at_.store(message.posted_at, std::memory_order_relaxed);
      const TWaitResult result = Exchange(audio, *this, policy, abandon);
      if (result != TWaitResult::Arrived) {
        audio_pending_ = result == TWaitResult::TimedOut;
        break;
      }
      audio_posted_at_.store(0, std::memory_order_relaxed);
      if (message.fault) {
        // Counted only: this is the audio thread.
        platform::RecordFault(platform::FaultKind::EffectFault, source_,
                              flags & kProcessDouble ? "processDoubleReplacing"
                              : accumulating         ? "process"
                                                     : "processReplacing",
                              message.fault);
      }
      for (VstInt32 c = 0; c < outs; ++c)
        std::memcpy(outputs[c] + done, shared_outputs + static_cast<size_t>(c) * piece,
                    piece * sizeof(Sample));
      done += piece;
    }
  }
  if (done < frames) silence(done);
  audio_user_.store(kAudioFree, std::memory_order_release);
}

// ---- host callbacks -----------------------------------------------------------------------

void TEffectProxy::Serve(TChannelEnd& channel) noexcept {
  TMessage& message = channel.Message();
  ApplyRecord(message);
  VstIntPtr answer = 0;
  uint32_t size = 0;
  uint8_t* const data = channel.Data();
  if (message.kind == kHostCallback) {
    const VstInt32 opcode = message.opcode;
    AEffect* const effect = message.flags & kCallbackFromEffect ? &effect_ : nullptr;
    const size_t given = std::min<size_t>(message.size, channel.Capacity());
    const TPointerUse use = CallbackPointerUse(opcode, given > 0);
    const auto call = [&](void* ptr) {
      return host_(effect, opcode, message.index, static_cast<VstIntPtr>(message.value), ptr,
                   message.opt);
    };
    if (message.flags & kCallbackRefusedPointer) {
      platform::RecordFault(platform::FaultKind::RefusedAnswer, source_,
                            "host callback (a pointer the bridge does not carry)");
    } else {
      switch (use) {
        case TPointerUse::TextIn: {
          char text[kTextBuffer] = {};
          std::memcpy(text, data, std::min(given, kMaxText));
          answer = call(text);
          break;
        }
        case TPointerUse::TextOut: {
          char text[kTextBuffer] = {};
          answer = call(text);
          size =
              static_cast<uint32_t>(CopyText(reinterpret_cast<char*>(data), text, kVendorText - 1));
          break;
        }
        case TPointerUse::EventsIn: {
          TEventStore& store =
              *event_stores_[&channel == channels_[kAudioChannel].get()     ? kAudioChannel
                             : &channel == channels_[kControlChannel].get() ? kControlChannel
                                                                            : kCallbackChannel];
          answer = call(RebuildEvents(data, given, store));
          break;
        }
        case TPointerUse::TimeAnswer:
          answer = call(nullptr);
          if (answer) {
            std::memcpy(data, reinterpret_cast<const void*>(answer), sizeof(VstTimeInfo));
            size = sizeof(VstTimeInfo);
            answer = 1;
          }
          break;
        case TPointerUse::DirectoryAnswer:
          answer = call(nullptr);
          if (answer) {
            size = static_cast<uint32_t>(CopyText(reinterpret_cast<char*>(data),
                                                  reinterpret_cast<const char*>(answer),
                                                  kMaxDirectoryText));
            answer = 1;
          }
          break;
        default:
          answer = call(nullptr);
          break;
      }
    }
  }
  message.kind = kReply;
  message.result = answer;
  message.size = size;
  message.has_record = 0;
}

void TEffectProxy::StartCallbackThread() {
  callbacks_stop_ = false;
  callback_thread_ = std::thread([this] { ServeCallbacks(); });
}

void TEffectProxy::StopCallbackThread() {
  callbacks_stop_ = true;
  if (callback_thread_.joinable()) callback_thread_.join();
}

void TEffectProxy::ServeCallbacks() {
  TChannelEnd& channel = *channels_[kCallbackChannel];
  TWaitPolicy policy;
  policy.slice_ms = 20;
  while (!callbacks_stop_.load()) {
    if (channel.Wait(policy, [this] { return callbacks_stop_.load(); }) != TWaitResult::Arrived)
      continue;
    Serve(channel);
    channel.Post();
  }
}

// ---- failures and restarts ---------------------------------------------------------------

void TEffectProxy::HelperFailed(const char* why) noexcept {
  TBridgeState running = TBridgeState::Running;
  if (state_.compare_exchange_strong(running, TBridgeState::Restarting))
    platform::RecordFault(platform::FaultKind::EffectFault, source_, why);
}

void TEffectProxy::Watch() {
  const int64_t hang_ticks = MicrosecondsToTicks(int64_t{timings_.audio_hang_ms} * 1000);
  last_cache_ = Now();
  while (!stop_.load()) {
    platform::SleepMilliseconds(timings_.watch_ms);
    switch (state_.load()) {
      case TBridgeState::Running: {
        if (!helper_->Running()) {
          HelperFailed("helper (the process ended)");
          break;
        }
        TakeLateAudioReply();
        const int64_t posted = audio_posted_at_.load(std::memory_order_relaxed);
        if (posted != 0 && Now() - posted > std::max(hang_ticks, 8 * audio_period_ticks_.load())) {
          HelperFailed("processReplacing (no answer)");
          break;
        }
        if (mains_on_ &&
            Now() - last_cache_ > MicrosecondsToTicks(int64_t{timings_.state_cache_ms} * 1000)) {
          CacheState();
          last_cache_ = Now();
        }
        break;
      }
      case TBridgeState::Restarting:
        Restart();
        break;
      case TBridgeState::Failed:
        break;
    }
  }
}

void TEffectProxy::CacheState() {
  std::lock_guard<std::recursive_mutex> lock(control_lock_);
  if (State() != TBridgeState::Running || !opened_) return;
  TStateCache taken;
  if (std::atomic_ref<VstInt32>(effect_.flags).load() & (1 << effFlagsProgramChunks)) {
    void* chunk = nullptr;
    if (Forward(effGetChunk, 0, 0, &chunk, 0.0f) <= 0 || !chunk) return;
    taken.chunk = chunk_out_;
  } else {
    taken.program = static_cast<VstInt32>(Forward(effGetProgram, 0, 0, nullptr, 0.0f));
    const VstInt32 count = std::clamp<VstInt32>(effect_.numParams, 0, kMaxCachedParameters);
    taken.parameters.resize(static_cast<size_t>(count));
    for (VstInt32 i = 0; i < count; ++i) taken.parameters[static_cast<size_t>(i)] = GetParameter(i);
  }
  if (State() != TBridgeState::Running) return;
  std::lock_guard<std::mutex> cache(cache_lock_);
  if (taken.chunk.empty()) {
    taken.chunk = std::move(cache_.chunk);
    taken.program_chunk = cache_.program_chunk;
  }
  if (taken.program < 0) taken.program = cache_.program;
  cache_ = std::move(taken);
}

void TEffectProxy::ReplayState() {
  TStateCache state;
  {
    std::lock_guard<std::mutex> cache(cache_lock_);
    state = cache_;
  }
  if (!opened_) return;
  Forward(effOpen, 0, 0, nullptr, 0.0f);
  Forward(effSetSampleRate, 0, 0, nullptr, sample_rate_.load());
  if (block_size_ > 0) Forward(effSetBlockSize, 0, block_size_, nullptr, 0.0f);
  if (bypass_) Forward(effSetBypass, 0, 1, nullptr, 0.0f);
  if (state.program >= 0) Forward(effSetProgram, 0, state.program, nullptr, 0.0f);
  if (!state.chunk.empty()) {
    state.chunk.push_back(0);  // as the host gives it: a zero byte after the data
    Forward(effSetChunk, state.program_chunk ? 1 : 0,
            static_cast<VstIntPtr>(state.chunk.size() - 1), state.chunk.data(), 0.0f);
  }
  for (size_t i = 0; i < state.parameters.size(); ++i)
    SetParameter(static_cast<VstInt32>(i), state.parameters[i]);
  if (mains_on_) Forward(effMainsChanged, 0, 1, nullptr, 0.0f);
}

void TEffectProxy::TakeLateAudioReply() {
  if (audio_posted_at_.load(std::memory_order_relaxed) == 0) return;
  uint32_t free = kAudioFree;
  if (!audio_user_.compare_exchange_strong(free, kAudioWatch, std::memory_order_acquire)) return;
  // No block came after the late one (playing stopped, or blocks are far apart): the reply,
  // and the callbacks the effect makes before it, are taken here.
  if (audio_pending_) {
    TWaitPolicy policy;
    policy.deadline = Now() + MicrosecondsToTicks(5000);
    policy.slice_ms = 1;
    if (AwaitReply(*channels_[kAudioChannel], *this, policy,
                   [this] { return State() != TBridgeState::Running; }) == TWaitResult::Arrived) {
      audio_pending_ = false;
      audio_posted_at_.store(0, std::memory_order_relaxed);
    }
  }
  audio_user_.store(kAudioFree, std::memory_order_release);
}

void TEffectProxy::Restart() {
  // Nothing of the audio thread's may be in the channel while it is made new; its blocks are
  // silence meanwhile. It holds the channel for at most one block's wait.
  for (uint32_t free = kAudioFree;
       !audio_user_.compare_exchange_weak(free, kAudioWatch, std::memory_order_acquire);
       free = kAudioFree)
    platform::SleepMilliseconds(1);
  struct TReleaseAudio {
    std::atomic<uint32_t>& user;
    ~TReleaseAudio() { user.store(kAudioFree, std::memory_order_release); }
  } release{audio_user_};
  std::lock_guard<std::recursive_mutex> lock(control_lock_);
  StopCallbackThread();
  helper_->Kill();
  const int64_t quick = MicrosecondsToTicks(int64_t{timings_.quick_failure_ms} * 1000);
  for (;;) {
    quick_failures_ = Now() - last_start_ < quick ? quick_failures_ + 1 : 1;
    if (quick_failures_ >= 3) {
      state_ = TBridgeState::Failed;
      platform::RecordFault(platform::FaultKind::EffectFault, source_,
                            "helper (failed three times in a row: the effect is off)");
      return;
    }
    audio_pending_ = false;
    audio_posted_at_ = 0;
    expected_state_ = TBridgeState::Restarting;
    std::string error;
    const bool started = StartHelper(true, error) && state_.load() == TBridgeState::Restarting;
    expected_state_ = TBridgeState::Running;
    if (started) {
      ++restarts_;
      state_ = TBridgeState::Running;
      return;
    }
    StopCallbackThread();
    if (helper_) helper_->Kill();
  }
}

}  // namespace vst_bridge
