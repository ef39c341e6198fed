#include "vst_bridge/helper/helper_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/fault_guard.h"
#include "platform/fpu.h"
#include "platform/system.h"

namespace vst_bridge {
namespace {

THelperHost* g_host = nullptr;
// The channel whose request the calling thread serves: its host callbacks nest there.
thread_local TChannelEnd* t_channel = nullptr;

// While a thread waits for the proxy's answer, what its windows are sent may make the effect
// call the host: such a call is no nested one of the request, it takes the callback channel.
class TAwaiting {
 public:
  TAwaiting() : previous_(t_channel) { t_channel = nullptr; }
  ~TAwaiting() { t_channel = previous_; }
  TAwaiting(const TAwaiting&) = delete;
  TAwaiting& operator=(const TAwaiting&) = delete;

 private:
  TChannelEnd* previous_;
};

class TServing {
 public:
  explicit TServing(TChannelEnd& channel) : previous_(t_channel) { t_channel = &channel; }
  ~TServing() { t_channel = previous_; }
  TServing(const TServing&) = delete;
  TServing& operator=(const TServing&) = delete;

 private:
  TChannelEnd* previous_;
};

TWaitPolicy NestedWait(int64_t spin_us, uint32_t slice_ms) {
  TWaitPolicy policy;
  policy.spin_ticks = MicrosecondsToTicks(spin_us);
  policy.slice_ms = slice_ms;
  policy.yield_while_spinning = true;
  return policy;
}

}  // namespace

std::unique_ptr<THelperHost> THelperHost::Connect(const std::string& base, uint32_t parent_id,
                                                  std::string* error) {
  std::unique_ptr<platform::SharedMemory> shared =
      platform::SharedMemory::Open(base, kSharedBytes, error);
  if (!shared) return nullptr;
  const auto* header = static_cast<const TSharedHeader*>(shared->Data());
  if (header->magic != kLayoutMagic || header->version != kLayoutVersion) {
    if (error) *error = "the shared memory is of another layout";
    return nullptr;
  }
  std::unique_ptr<platform::InterprocessSignal> signals[kChannelCount][2];
  for (uint32_t c = 0; c < kChannelCount; ++c)
    for (uint32_t side = 0; side < 2; ++side) {
      signals[c][side] = platform::InterprocessSignal::Open(
          SignalName(base, static_cast<TChannelId>(c), static_cast<TSide>(side)), error);
      if (!signals[c][side]) return nullptr;
    }
  return std::unique_ptr<THelperHost>(new THelperHost(std::move(shared), signals, parent_id));
}

THelperHost::THelperHost(std::unique_ptr<platform::SharedMemory> shared,
                         std::unique_ptr<platform::InterprocessSignal> signals[kChannelCount][2],
                         uint32_t parent_id)
    : shared_(std::move(shared)),
      header_(static_cast<TSharedHeader*>(shared_->Data())),
      parent_(parent_id) {
  for (uint32_t c = 0; c < kChannelCount; ++c)
    for (uint32_t side = 0; side < 2; ++side) signals_[c][side] = std::move(signals[c][side]);
  auto* base = static_cast<uint8_t*>(shared_->Data());
  for (uint32_t c = 0; c < kChannelCount; ++c)
    channels_[c] = std::make_unique<TChannelEnd>(
        reinterpret_cast<TChannelArea*>(base + kChannelPlaces[c].area),
        base + kChannelPlaces[c].data, kChannelPlaces[c].capacity, kHelperSide,
        signals_[c][kHelperSide].get(), signals_[c][kProxySide].get());
  g_host = this;
}

THelperHost::~THelperHost() {
  stop_ = true;
  if (audio_thread_.joinable()) audio_thread_.join();
  if (parent_thread_.joinable()) parent_thread_.join();
  g_host = nullptr;
}

// Asked while spinning: atomics only, no system call.
bool THelperHost::Abandoned() noexcept {
  return stop_.load(std::memory_order_relaxed) ||
         header_->quit.load(std::memory_order_relaxed) != 0;
}

void THelperHost::WatchParent() {
  while (!stop_.load()) {
    // A plug-in that has gone serves no request again: the helper ends with it, whatever
    // its threads wait for.
    if (!parent_.ParentRunning()) std::_Exit(0);
    platform::SleepMilliseconds(100);
  }
}

void THelperHost::Run() {
  audio_thread_ = std::thread([this] { ServeAudio(); });
  parent_thread_ = std::thread([this] { WatchParent(); });
  TChannelEnd& control = Channel(kControlChannel);
  // The effect's editor windows belong to this thread: they get their messages meanwhile.
  TWaitPolicy policy = NestedWait(50, 100);
  policy.messages = platform::InterprocessSignal::Messages::All;
  while (!Abandoned()) {
    if (control.Wait(policy, [this] { return Abandoned(); }) != TWaitResult::Arrived) continue;
    const uint32_t request = control.Message().kind;
    const bool quit = request == kQuit;
    Serve(control);
    if (reply_filter_)
      reply_filter_(request, control.Message(), control.Data(), control.Capacity());
    control.Post();
    if (quit) break;
  }
  stop_ = true;
  audio_thread_.join();
  parent_thread_.join();
}

void THelperHost::ServeAudio() {
  platform::ResetFloatingPointState();
  // The block's caller waits on the driver's own thread, which runs high; so must this.
  platform::RaiseThreadToAudioPriority();
  TChannelEnd& audio = Channel(kAudioChannel);
  const auto abandoned = [this] { return Abandoned(); };
  // While blocks come, the thread naps until shortly before the next one is due, then spins,
  // so that a long period costs no whole core. It naps in plain sleeps, never on its signal:
  // a block that finds the helper asleep on it must wake it through the system, and that
  // wake-up can take milliseconds on a loaded machine. After four periods without a block,
  // playing has stopped and it sleeps on its signal until a block wakes it.
  //
  // Where the system wakes a napping thread late (a scheduler that lets it wait for its next
  // tick), a block taken late after a nap doubles the time spun before the next, up to the
  // whole period: the thread then spins through while blocks come. Late means a tenth of the
  // period, so long blocks keep their naps.
  const int64_t first_spin = MicrosecondsToTicks(2000);
  const int64_t nap = MicrosecondsToTicks(1300);  // a 1 ms sleep, as the system keeps it
  int64_t spin_before_block = first_spin;
  int64_t period = 0;
  int64_t next_due = 0;
  bool arrived = false;
  while (!stop_.load(std::memory_order_relaxed)) {
    bool napped = false;
    if (period > 0) {
      while (!(arrived = audio.Take()) && !Abandoned() &&
             Now() + nap < next_due - spin_before_block) {
        platform::SleepMilliseconds(1);
        napped = true;
      }
      if (!arrived) {
        // No yield: it hands the core away for a whole time slice, longer than a short
        // block's period.
        TWaitPolicy spin;
        spin.deadline = next_due + 4 * period;
        spin.slice_ms = 0;
        arrived = audio.Wait(spin, abandoned) == TWaitResult::Arrived;
      }
    }
    if (!arrived) {
      period = 0;
      spin_before_block = first_spin;
      if (Abandoned()) return;
      arrived = audio.Wait(NestedWait(0, 100), abandoned) == TWaitResult::Arrived;
      if (!arrived) continue;
    }
    arrived = false;
    const TMessage& message = audio.Message();
    const int64_t now = Now();
    if (napped && period > 0 && now - message.posted_at > period / 10)
      spin_before_block = std::min(2 * spin_before_block, period);
    period = message.kind == kProcess ? MicrosecondsToTicks(message.period_us) : 0;
    // The proxy's stamp, kept within reason: a clock that disagrees costs only spinning.
    next_due = std::clamp(message.posted_at + period, now, now + period);
    Serve(audio);
    audio.Post();
  }
}

void THelperHost::Serve(TChannelEnd& channel) noexcept {
  TServing serving(channel);
  TMessage& message = channel.Message();
  const uint32_t kind = message.kind;
  message.fault = 0;
  switch (kind) {
    case kLoad:
      Load(channel);
      break;
    case kDispatch:
      Dispatch(channel);
      break;
    case kSetParameter: {
      AEffect* const effect = effect_.load(std::memory_order_acquire);
      const VstInt32 index = message.index;
      const float value = message.opt;
      message.size = 0;
      if (effect && effect->setParameter)
        platform::Guarded([&] { effect->setParameter(effect, index, value); }, &message.fault,
                          platform::FloatingPointAfterReturn::Restored);
      break;
    }
    case kGetParameter: {
      AEffect* const effect = effect_.load(std::memory_order_acquire);
      const VstInt32 index = message.index;
      float value = 0.0f;
      message.size = 0;
      if (effect && effect->getParameter &&
          !platform::Guarded([&] { value = effect->getParameter(effect, index); }, &message.fault,
                             platform::FloatingPointAfterReturn::Restored))
        value = 0.0f;
      message.opt = value;
      break;
    }
    case kProcess:
      Process(channel);
      break;
    case kPutBulk:
      PutBulk(channel);
      break;
    case kGetBulk:
      GetBulk(channel);
      break;
    default:  // kQuit and anything unknown
      message.size = 0;
      message.result = 0;
      break;
  }
  if (kind != kProcess && kind != kDispatch) message.flags = 0;
  if (kind != kProcess) FillRecord(message);
  message.kind = kReply;
}

void THelperHost::FillRecord(TMessage& message) noexcept {
  AEffect* const effect = effect_.load(std::memory_order_acquire);
  message.has_record = 0;
  if (!effect) return;
  TEffectRecord record{};
  // The record is the effect's memory.
  if (!platform::Guarded([&] {
        record.numPrograms = effect->numPrograms;
        record.numParams = effect->numParams;
        record.numInputs = effect->numInputs;
        record.numOutputs = effect->numOutputs;
        record.flags = effect->flags;
        record.initialDelay = effect->initialDelay;
        record.uniqueID = effect->uniqueID;
        record.version = effect->version;
        record.routines = (effect->process ? kRoutineProcess : 0) |
                          (effect->processReplacing ? kRoutineProcessReplacing : 0) |
                          (effect->processDoubleReplacing ? kRoutineProcessDouble : 0) |
                          (effect->setParameter ? kRoutineSetParameter : 0) |
                          (effect->getParameter ? kRoutineGetParameter : 0);
      }))
    return;
  message.record = record;
  message.has_record = 1;
}

void THelperHost::Load(TChannelEnd& channel) noexcept {
  TMessage& message = channel.Message();
  message.result = 0;
  const size_t size = std::min<size_t>(message.size, channel.Capacity() - 1);
  const std::string path(reinterpret_cast<const char*>(channel.Data()),
                         strnlen(reinterpret_cast<const char*>(channel.Data()), size));
  std::string failure;
  try {
    platform::LibraryLoadResult loaded = platform::LoadLibraryFile(path);
    if (!loaded.handle) {
      failure = loaded.error_text.empty() ? platform::SystemErrorMessage(loaded.error_code)
                                          : loaded.error_text;
      if (failure.empty()) failure = "the library could not be loaded";
    } else {
      library_.Reset(loaded.handle);
      void* entry = library_.Export("main");
      if (!entry) entry = library_.Export("VSTPluginMain");
      if (!entry) {
        failure = "no entry routine";
      } else {
        platform::ResetFloatingPointState();
        const auto main_routine = reinterpret_cast<VstPluginMainProc>(entry);
        AEffect* effect = nullptr;
        if (!platform::Guarded([&] { effect = main_routine(&HostCallback); }, &message.fault))
          effect = nullptr;
        VstInt32 magic = 0;
        if (!effect) {
          failure = "the entry routine gave no effect";
        } else if (!platform::Guarded([&] { magic = effect->magic; }) || magic != kEffectMagic) {
          failure = "There is no magic in it... failed!";
        } else {
          effect_.store(effect, std::memory_order_release);
          message.result = 1;
        }
      }
    }
  } catch (...) {
    failure = "no memory";
  }
  message.size = 0;
  if (!failure.empty())
    message.size = static_cast<uint32_t>(
        CopyText(reinterpret_cast<char*>(channel.Data()), failure.c_str(), kMaxText));
}

void THelperHost::Dispatch(TChannelEnd& channel) noexcept {
  TMessage& message = channel.Message();
  AEffect* const effect = effect_.load(std::memory_order_acquire);
  const VstInt32 opcode = message.opcode;
  const VstInt32 index = message.index;
  VstIntPtr value = static_cast<VstIntPtr>(message.value);
  const float opt = message.opt;
  // The effect is given a pointer where the host gave one.
  const bool has_pointer = message.size > 0;
  const TPointerUse use = DispatcherPointerUse(opcode, has_pointer);
  uint8_t* const data = channel.Data();
  // Everything the request brings is copied out first: a nested callback reuses the area.
  char text[kTextBuffer] = {};
  alignas(8) uint8_t record[kSpeakerArrangementBytes] = {};
  alignas(8) uint8_t second[kSpeakerArrangementBytes] = {};
  void* pointer = nullptr;
  void* answer_pointer = nullptr;
  void* answer_second = nullptr;
  const size_t size = std::min<size_t>(message.size, channel.Capacity());
  switch (has_pointer ? use : TPointerUse::None) {
    case TPointerUse::TextIn:
      std::memcpy(text, data, std::min(size, kMaxText));
      pointer = text;
      break;
    case TPointerUse::TextOut:
      pointer = text;
      break;
    case TPointerUse::RectOut:
    case TPointerUse::ChunkOut:
      pointer = &answer_pointer;
      break;
    case TPointerUse::WindowHandle: {
      uint64_t handle = 0;
      if (size >= sizeof handle) std::memcpy(&handle, data, sizeof handle);
      pointer = reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
      break;
    }
    case TPointerUse::ChunkIn:
      // The chunk came in pieces before (kPutBulk), with a terminating zero byte after it.
      if (value > 0 && static_cast<size_t>(value) + 1 == bulk_.size()) pointer = bulk_.data();
      break;
    case TPointerUse::EventsIn:
      pointer = RebuildEvents(data, size, events_);
      break;
    case TPointerUse::PinOut:
    case TPointerUse::ParameterOut:
      pointer = record;
      break;
    case TPointerUse::PatchInfoIn:
      std::memcpy(record, data, std::min(size, sizeof(VstPatchChunkInfo)));
      pointer = record;
      break;
    case TPointerUse::SpeakersIn:
      std::memcpy(record, data, std::min(size, kSpeakerArrangementBytes));
      if (size > kSpeakerArrangementBytes)
        std::memcpy(second, data + kSpeakerArrangementBytes,
                    std::min(size - kSpeakerArrangementBytes, kSpeakerArrangementBytes));
      value = reinterpret_cast<VstIntPtr>(record);
      pointer = second;
      break;
    case TPointerUse::SpeakersOut:
      value = reinterpret_cast<VstIntPtr>(&answer_pointer);
      pointer = &answer_second;
      break;
    default:
      break;
  }
  message.size = 0;
  message.result = 0;
  message.flags = 0;
  if (!effect || use == TPointerUse::Refused) return;
  if (opcode == effEditOpen && pointer)
    pointer = OpenEditorParent(pointer);
  else if (opcode == effEditIdle && editor_parent_)
    editor_parent_->Follow();
  platform::ResetFloatingPointState();
  VstIntPtr result = 0;
  const bool returned = platform::Guarded(
      [&] {
        if (effect->dispatcher)
          result = effect->dispatcher(effect, opcode, index, value, pointer, opt);
      },
      &message.fault);
  if (!returned) result = 0;
  message.result = result;
  // An editor that did not open leaves the panel to the host; a closed one takes its window.
  if ((opcode == effEditOpen && result == 0) || opcode == effEditClose || opcode == effClose)
    editor_parent_.reset();
  // The effect may free its record when it closes.
  if (opcode == effClose) effect_.store(nullptr, std::memory_order_release);
  // What the effect wrote or named goes back; its memory is read behind the guard.
  switch (has_pointer ? use : TPointerUse::None) {
    case TPointerUse::TextOut:
      text[kTextBuffer - 1] = '\0';
      message.size = static_cast<uint32_t>(CopyText(reinterpret_cast<char*>(data), text, kMaxText));
      break;
    case TPointerUse::RectOut:
      if (answer_pointer &&
          platform::Guarded([&] { std::memcpy(data, answer_pointer, sizeof(ERect)); }))
        message.size = sizeof(ERect);
      break;
    case TPointerUse::ChunkOut: {
      bulk_.clear();
      if (!returned || result <= 0 || !answer_pointer) break;
      if (static_cast<uint64_t>(result) > kMaxBridgedChunk) {
        message.flags = kReplyChunkTooLarge;
        break;
      }
      try {
        bulk_.resize(static_cast<size_t>(result));
      } catch (...) {
        message.flags = kReplyChunkCopyFaulted;
        break;
      }
      uint8_t* const target = bulk_.data();
      const auto bytes = static_cast<size_t>(result);
      // A chunk shorter than its claimed size faults here, not in the plug-in.
      if (!platform::Guarded([&] { std::memcpy(target, answer_pointer, bytes); }, &message.fault)) {
        bulk_.clear();
        message.flags = kReplyChunkCopyFaulted;
      }
      break;
    }
    case TPointerUse::PinOut:
      std::memcpy(data, record, kPinPropertiesBytes);
      message.size = kPinPropertiesBytes;
      break;
    case TPointerUse::ParameterOut:
      std::memcpy(data, record, kParameterPropertiesBytes);
      message.size = kParameterPropertiesBytes;
      break;
    case TPointerUse::SpeakersOut: {
      // Each named arrangement: its header and as many speakers as it says (within reason).
      uint32_t written = 0;
      for (void* named : {answer_pointer, answer_second}) {
        uint8_t* const target = data + written;
        std::memset(target, 0, kSpeakerArrangementBytes);
        if (named)
          platform::Guarded([&] {
            int32_t channels = 0;
            std::memcpy(&channels, static_cast<uint8_t*>(named) + 4, sizeof channels);
            channels = std::clamp(channels, 0, kMaxSpeakers);
            std::memcpy(target, named,
                        kSpeakerArrangementHeader + channels * kSpeakerPropertiesBytes);
          });
        written += kSpeakerArrangementBytes;
      }
      message.size = written;
      break;
    }
    default:
      break;
  }
}

// The window the editor is given to open in. Without one of our own over the panel (the
// system could not make it), the editor goes into the panel itself.
void* THelperHost::OpenEditorParent(void* panel) noexcept {
  try {
    editor_parent_ = std::make_unique<platform::EditorParent>(panel);
    return editor_parent_->Handle();
  } catch (const std::exception& error) {
    editor_parent_.reset();
    platform::WriteDebugOutput(std::string("partiloom-bridge: ") + error.what());
    return panel;
  }
}

void THelperHost::Process(TChannelEnd& channel) noexcept {
  TMessage& message = channel.Message();
  AEffect* const effect = effect_.load(std::memory_order_acquire);
  const auto frames = static_cast<VstInt32>(message.value);
  const int32_t inputs = message.record.numInputs;
  const int32_t outputs = message.record.numOutputs;
  const uint32_t flags = message.flags;
  message.flags = 0;
  const size_t sample_bytes = flags & kProcessDouble ? sizeof(double) : sizeof(float);
  message.size = 0;
  message.result = 0;
  if (!effect || frames < 0 || inputs < 0 || outputs < 0 || inputs > kMaxBridgedChannels ||
      outputs > kMaxBridgedChannels ||
      static_cast<uint64_t>(inputs + outputs) * static_cast<uint64_t>(frames) * sample_bytes >
          kAudioBufferBytes)
    return;
  uint8_t* const buffers = reinterpret_cast<uint8_t*>(shared_->Data()) + kAudioBufferOffset;
  void* in[kMaxBridgedChannels];
  void* out[kMaxBridgedChannels];
  const size_t channel_bytes = static_cast<size_t>(frames) * sample_bytes;
  for (int32_t c = 0; c < inputs; ++c) in[c] = buffers + static_cast<size_t>(c) * channel_bytes;
  for (int32_t c = 0; c < outputs; ++c)
    out[c] = buffers + static_cast<size_t>(inputs + c) * channel_bytes;
  bool returned = true;
  if (flags & kProcessDouble) {
    const AEffectProcessDoubleProc routine = effect->processDoubleReplacing;
    if (routine)
      returned = platform::Guarded(
          [&] {
            routine(effect, reinterpret_cast<double**>(in), reinterpret_cast<double**>(out),
                    frames);
          },
          &message.fault, platform::FloatingPointAfterReturn::Restored);
  } else {
    const AEffectProcessProc routine =
        flags & kProcessAccumulating ? effect->process : effect->processReplacing;
    if (routine)
      returned = platform::Guarded(
          [&] {
            routine(effect, reinterpret_cast<float**>(in), reinterpret_cast<float**>(out), frames);
          },
          &message.fault, platform::FloatingPointAfterReturn::Restored);
  }
  if (!returned)
    std::memset(buffers + static_cast<size_t>(inputs) * channel_bytes, 0,
                static_cast<size_t>(outputs) * channel_bytes);
  message.result = returned ? 1 : 0;
}

void THelperHost::PutBulk(TChannelEnd& channel) noexcept {
  TMessage& message = channel.Message();
  const auto total = static_cast<uint64_t>(message.value);
  const auto offset = static_cast<uint64_t>(static_cast<uint32_t>(message.index));
  const size_t size = std::min<size_t>(message.size, channel.Capacity());
  message.result = 0;
  message.size = 0;
  if (total > kMaxBridgedChunk || offset + size > total) return;
  try {
    // One zero byte after the chunk, as some effects read a terminating byte.
    if (offset == 0) bulk_.assign(static_cast<size_t>(total) + 1, 0);
  } catch (...) {
    bulk_.clear();
    return;
  }
  if (bulk_.size() != total + 1) return;
  std::memcpy(bulk_.data() + offset, channel.Data(), size);
  message.result = 1;
}

void THelperHost::GetBulk(TChannelEnd& channel) noexcept {
  TMessage& message = channel.Message();
  const auto offset = static_cast<size_t>(static_cast<uint32_t>(message.index));
  message.size = 0;
  message.result = static_cast<int64_t>(bulk_.size());
  if (offset >= bulk_.size()) return;
  const size_t piece = std::min(bulk_.size() - offset, channel.Capacity());
  std::memcpy(channel.Data(), bulk_.data() + offset, piece);
  message.size = static_cast<uint32_t>(piece);
}

// ---- host callbacks -----------------------------------------------------------------------

VstIntPtr VSTCALLBACK THelperHost::HostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                VstIntPtr value, void* ptr, float opt) {
  THelperHost* const host = g_host;
  if (!host) return 0;
  // The effect's SSE state is its own; the answer is worked out with the host's.
  const uint32_t effect_mxcsr = platform::ReadMxcsr();
  VstIntPtr answer = 0;
  if (TChannelEnd* channel = t_channel) {
    const size_t store =
        channel == host->channels_[kAudioChannel].get() ? kAudioChannel : kControlChannel;
    answer =
        host->CallHost(*channel, host->answers_[store], effect, opcode, index, value, ptr, opt);
  } else {
    // A thread of the effect's own, or the effect between requests.
    try {
      std::lock_guard<std::mutex> lock(host->callback_lock_);
      answer = host->CallHost(host->Channel(kCallbackChannel), host->answers_[kCallbackChannel],
                              effect, opcode, index, value, ptr, opt);
    } catch (...) {
      answer = 0;
    }
  }
  platform::WriteMxcsr(effect_mxcsr);
  return answer;
}

VstIntPtr THelperHost::CallHost(TChannelEnd& channel, TAnswerStore& store, AEffect* effect,
                                VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                float opt) noexcept {
  // The host looks at the low byte only; so does the bridge, or a request could pass as
  // one without a pointer and come back as one with an address of the plug-in's.
  opcode &= 0xFF;
  const TPointerUse use = CallbackPointerUse(opcode, ptr != nullptr);
  TMessage& message = channel.Message();
  message.kind = kHostCallback;
  message.opcode = opcode;
  message.index = index;
  message.value = value;
  message.opt = opt;
  message.fault = 0;
  message.size = 0;
  message.flags = effect ? kCallbackFromEffect : 0;
  FillRecord(message);
  uint8_t* const data = channel.Data();
  switch (use) {
    case TPointerUse::TextIn:
      if (ptr && !platform::Guarded([&] {
            message.size = static_cast<uint32_t>(
                CopyText(reinterpret_cast<char*>(data), static_cast<const char*>(ptr), kMaxText));
          }))
        message.flags |= kCallbackRefusedPointer;
      break;
    case TPointerUse::EventsIn:
      if (ptr)
        platform::Guarded([&] {
          message.size = static_cast<uint32_t>(SerializeEvents(ptr, data, channel.Capacity()));
        });
      if (ptr && message.size == 0) message.flags |= kCallbackRefusedPointer;
      break;
    case TPointerUse::Refused:
      message.flags |= kCallbackRefusedPointer;
      break;
    default:
      break;
  }
  TWaitPolicy policy = NestedWait(&channel == channels_[kAudioChannel].get() ? 2000 : 50, 10);
  if (&channel == channels_[kControlChannel].get())
    policy.messages = platform::InterprocessSignal::Messages::Sent;
  TWaitResult outcome;
  {
    TAwaiting awaiting;
    outcome = Exchange(channel, *this, policy, [this] { return Abandoned(); });
  }
  if (outcome != TWaitResult::Arrived) return 0;
  const VstIntPtr result = static_cast<VstIntPtr>(message.result);
  const size_t size = std::min<size_t>(message.size, channel.Capacity());
  switch (use) {
    case TPointerUse::TextOut:
      if (ptr && size > 0)
        platform::Guarded([&] {
          CopyText(static_cast<char*>(ptr), reinterpret_cast<const char*>(data), kVendorText - 1);
        });
      return result;
    case TPointerUse::TimeAnswer:
      if (size != sizeof(VstTimeInfo)) return 0;
      std::memcpy(&store.time, data, sizeof store.time);
      return reinterpret_cast<VstIntPtr>(&store.time);
    case TPointerUse::DirectoryAnswer:
      if (size == 0) return 0;
      CopyText(store.directory, reinterpret_cast<const char*>(data),
               std::min(size - 1, kMaxDirectoryText));
      return reinterpret_cast<VstIntPtr>(store.directory);
    default:
      return result;
  }
}

}  // namespace vst_bridge
