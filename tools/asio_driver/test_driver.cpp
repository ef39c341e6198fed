// The project's own ASIO driver for tests: an in-process server whose objects implement
// IASIO as configured per class id (test_driver_config.h), call their host back from a clock
// thread, and log the host's calls. One library serves any number of class ids.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "asio_host/asio.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/tests/faulting_code.h"
#include "tools/asio_driver/callback_timing.h"
#include "tools/asio_driver/hostile_draws.h"
#include "tools/asio_driver/sample_types.h"
#include "tools/asio_driver/test_driver_config.h"
#include "tools/asio_driver/test_driver_exports.h"
#include "tools/asio_driver/wav_file.h"

#if defined(_WIN32)
#define SERVER_EXPORT extern "C" HRESULT STDMETHODCALLTYPE
#else
#define SERVER_EXPORT extern "C" __attribute__((visibility("default"))) HRESULT
#endif

namespace asio_test {
namespace {

class TestDriver;

// Everything a test sees of one class id; lives as long as the library.
struct ClassState {
  std::mutex mutex;
  std::vector<std::string> log;
  std::map<std::string, int32_t> counts;
  std::map<std::string, Failure> failures;  // overrides of the configured ones
  bool hostile_set = false;                 // overrides the configured hostile behaviours and seed
  uint32_t hostile = 0;
  uint32_t hostile_seed = 0;
  bool latencies_set = false;
  int32_t input_latency = 0;
  int32_t output_latency = 0;
  std::vector<std::vector<uint8_t>> feeds;  // per input channel, consumed from the front
  std::vector<size_t> feed_read;
  bool capture = false;
  std::vector<std::vector<uint8_t>> captures;  // per output channel
  TestDriver* current = nullptr;               // the most recently created live object
  int32_t live_objects = 0;
  std::atomic<int64_t> switches{0};
  std::condition_variable switched;
  CallbackTiming timing;  // since the last start
  // The requests sent on their timers (DriverConfig::reset_request_ms ...), in order, each
  // "what value at FRAMES" with the frames captured into the output WAV file by then.
  std::vector<std::string> requests;
  // When each timed request is next due (performance counter ticks; 0: not yet timed).
  int64_t reset_due = 0;
  int64_t size_change_due = 0;
  int64_t rate_due = 0;
  int64_t clock_change_due = 0;
  int32_t size_changes = 0;  // odd: the alternate size is the preferred one
  // The rate the clock changed to (DriverConfig::clock_change_ms); 0 until it has.
  double changed_rate = 0.0;
  // Output WAV files this library has begun: a later driver object of the class (the host's
  // reopening) goes on writing after their last frame.
  std::set<std::string> begun_wavs;
  int64_t captured_frames = 0;
};

std::mutex g_states_mutex;
std::map<std::string, std::unique_ptr<ClassState>> g_states;
std::atomic<long> g_server_references{0};  // objects, factories and server locks

ClassState& StateOf(const GUID& class_id) {
  std::lock_guard lock(g_states_mutex);
  auto& state = g_states[platform::ClassIdToString(class_id)];
  if (!state) state = std::make_unique<ClassState>();
  return *state;
}

std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

// Kept out of line and free of objects to destroy: a raised exception unwinds over it
// without running destructors on Windows.
[[gnu::noinline]] void Misbehave(Failure failure) {
  if (failure == Failure::Fault) faulting::WriteToAddress(16);
#if defined(_WIN32)
  if (failure == Failure::Raise) faulting::RaiseForeignCxxException();
#else
  if (failure == Failure::Raise) faulting::ThrowCxxException();
#endif
}

void CopyText(char* destination, size_t capacity, const std::string& text) {
  const size_t length = std::min(text.size(), capacity - 1);
  std::memcpy(destination, text.data(), length);
  destination[length] = '\0';
}

// Beyond any real driver; keeps a mistaken configuration from asking for gigabytes.
constexpr int32_t kLargestBufferSize = 1 << 20;
// What a hostile driver allocates at most for all its buffers; beyond it createBuffers
// answers ASE_NoMemory, as a real driver out of memory would.
constexpr size_t kLargestHostileAllocation = size_t{64} << 20;

struct ChannelBuffer {
  bool is_input = false;
  int32_t channel = 0;
  ASIOSampleType type = 0;
  size_t bytes = 0;  // of one half
  std::unique_ptr<uint8_t[]> halves[2];
};

class TestDriver final : public IASIO {
 public:
  TestDriver(const GUID& class_id, DriverConfig config)
      : class_id_(class_id),
        state_(StateOf(class_id)),
        config_(std::move(config)),
        draws_(config_.hostile_seed),
        rate_(config_.sample_rate) {
    ++g_server_references;
    std::lock_guard lock(state_.mutex);
    state_.current = this;
    ++state_.live_objects;
    if (state_.changed_rate > 0.0)
      rate_ = state_.changed_rate;
    else if (!Accepts(rate_) && !config_.sample_rates.empty())
      rate_ = config_.sample_rates.front();
  }

  ~TestDriver() {
    StopClock();
    CloseWavFiles();
    std::lock_guard lock(state_.mutex);
    if (state_.current == this) state_.current = nullptr;
    --state_.live_objects;
    --g_server_references;
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == class_id_) {
      AddRef();
      *object = static_cast<IASIO*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      if (OnClockThread()) {
        // Released from inside its own buffer switch: the clock thread cannot join itself,
        // so it finishes the switch and then deletes the object.
        stop_clock_ = true;
        delete_after_clock_ = true;
      } else {
        delete this;
      }
    }
    return left;
  }

  // IASIO
  ASIOBool ASIO_THISCALL init(void*) override {
    const Failure failure = Enter("init");
    if (failure == Failure::Refuse) return ASIOFalse;
    Misbehave(failure);
    initialized_ = true;
    return ASIOTrue;
  }

  void ASIO_THISCALL getDriverName(char* name) override {
    const Failure failure = Enter("getDriverName");
    if (failure == Failure::Refuse) return;
    Misbehave(failure);
    if (name && Hostile(kHostileTexts))
      std::memset(name, 'D', 32);  // the whole field, no terminator
    else if (name)
      CopyText(name, 32, config_.driver_name);
  }

  int32_t ASIO_THISCALL getDriverVersion() override {
    const Failure failure = Enter("getDriverVersion");
    if (failure == Failure::Refuse) return 0;
    Misbehave(failure);
    return config_.version;
  }

  void ASIO_THISCALL getErrorMessage(char* text) override {
    const Failure failure = Enter("getErrorMessage");
    if (failure == Failure::Refuse) return;
    Misbehave(failure);
    if (text && Hostile(kHostileTexts))
      std::memset(text, 'E', 124);
    else if (text)
      CopyText(text, 124, error_);
  }

  ASIOError ASIO_THISCALL start() override {
    const Failure failure = Enter("start");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!callbacks_) return Refuse("start without buffers", ASE_NotPresent);
    if (running_) return ASE_OK;
    JoinClock();
    next_half_ = 0;
    samples_ = 0;
    position_ = 0;
    {
      std::lock_guard lock(state_.mutex);
      state_.timing.Start(
          static_cast<int64_t>(PeriodTicks() * 1e9 / static_cast<double>(frequency_)));
    }
    running_ = true;
    if (config_.clock != ClockMode::Manual) {
      stop_clock_ = false;
      clock_ready_ = false;
      clock_ = std::thread([this] {
        // Not before clock_ names this thread: a release inside the first switch asks for it.
        while (!clock_ready_) std::this_thread::yield();
        RunClock();
        if (delete_after_clock_) {
          clock_.detach();
          delete this;
        }
      });
      clock_ready_ = true;
    }
    if (Hostile(kHostileThreads)) {
      stop_extra_ = false;
      for (int i = 0; i < 2; ++i) extra_.emplace_back([this] { RunExtraThread(); });
    }
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL stop() override {
    const Failure failure = Enter("stop");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    StopClock();
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL getChannels(int32_t* inputs, int32_t* outputs) override {
    const Failure failure = Enter("getChannels");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!inputs || !outputs) return ASE_InvalidParameter;
    if (Hostile(kHostileCounts)) {
      answered_inputs_ = draws_.ChannelCount();
      answered_outputs_ = draws_.ChannelCount();
    }
    *inputs = ChannelCountOf(true);
    *outputs = ChannelCountOf(false);
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL getLatencies(int32_t* input, int32_t* output) override {
    const Failure failure = Enter("getLatencies");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!input || !output) return ASE_InvalidParameter;
    std::lock_guard lock(state_.mutex);
    *input = state_.latencies_set ? state_.input_latency : config_.input_latency;
    *output = state_.latencies_set ? state_.output_latency : config_.output_latency;
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL getBufferSize(int32_t* minimum, int32_t* maximum, int32_t* preferred,
                                        int32_t* granularity) override {
    const Failure failure = Enter("getBufferSize");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!minimum || !maximum || !preferred || !granularity) return ASE_InvalidParameter;
    const bool hostile = Hostile(kHostileSizes);
    *minimum = hostile ? draws_.BufferSize() : config_.minimum_size;
    *maximum = hostile ? draws_.BufferSize() : config_.maximum_size;
    *preferred = hostile ? draws_.BufferSize() : PreferredSize();
    *granularity = hostile ? draws_.BufferSize() : config_.granularity;
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL canSampleRate(ASIOSampleRate rate) override {
    const Failure failure = Enter("canSampleRate(" + Number(rate) + ")", "canSampleRate");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    return Accepts(rate) ? ASE_OK : ASE_NoClock;
  }

  ASIOError ASIO_THISCALL getSampleRate(ASIOSampleRate* rate) override {
    const Failure failure = Enter("getSampleRate");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!rate) return ASE_InvalidParameter;
    *rate = rate_;
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL setSampleRate(ASIOSampleRate rate) override {
    const Failure failure = Enter("setSampleRate(" + Number(rate) + ")", "setSampleRate");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!Accepts(rate)) return ASE_NoClock;
    rate_ = rate;
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL getClockSources(ASIOClockSource* clocks, int32_t* count) override {
    const Failure failure = Enter("getClockSources");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!clocks || !count || *count < 1) return ASE_InvalidParameter;
    ASIOClockSource internal{};
    internal.index = 0;
    internal.associatedChannel = -1;
    internal.associatedGroup = -1;
    internal.isCurrentSource = ASIOTrue;
    CopyText(internal.name, sizeof(internal.name), "Internal");
    clocks[0] = internal;
    *count = 1;
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL setClockSource(int32_t reference) override {
    const Failure failure =
        Enter("setClockSource(" + std::to_string(reference) + ")", "setClockSource");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    return reference == 0 ? ASE_OK : ASE_InvalidParameter;
  }

  ASIOError ASIO_THISCALL getSamplePosition(ASIOSamples* position, ASIOTimeStamp* stamp) override {
    const Failure failure = Enter("getSamplePosition");
    if (failure == Failure::Refuse) return ASE_SPNotAdvancing;
    Misbehave(failure);
    if (!position || !stamp) return ASE_InvalidParameter;
    if (!running_) return ASE_SPNotAdvancing;
    const uint64_t samples = static_cast<uint64_t>(position_.load());
    const uint64_t nanoseconds = static_cast<uint64_t>(stamp_.load());
    *position = {static_cast<uint32_t>(samples >> 32), static_cast<uint32_t>(samples)};
    *stamp = {static_cast<uint32_t>(nanoseconds >> 32), static_cast<uint32_t>(nanoseconds)};
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL getChannelInfo(ASIOChannelInfo* info) override {
    const Failure failure = Enter(info ? "getChannelInfo(" + std::to_string(info->channel) + ", " +
                                             std::to_string(info->isInput) + ")"
                                       : std::string("getChannelInfo(null)"),
                                  "getChannelInfo");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!info) return ASE_InvalidParameter;
    const bool is_input = info->isInput != ASIOFalse;
    if (info->channel < 0 || info->channel >= ChannelCountOf(is_input)) return ASE_InvalidParameter;
    info->isActive = ASIOFalse;
    for (const ChannelBuffer& buffer : buffers_)
      if (buffer.is_input == is_input && buffer.channel == info->channel) info->isActive = ASIOTrue;
    info->channelGroup = 0;
    info->type = TypeOf(is_input, info->channel);
    if (Hostile(kHostileTexts))
      std::memset(info->name, 'N', sizeof(info->name));  // no terminator
    else
      CopyText(info->name, sizeof(info->name), NameOf(is_input, info->channel));
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL createBuffers(ASIOBufferInfo* infos, int32_t count, int32_t size,
                                        ASIOCallbacks* callbacks) override {
    std::string call = "createBuffers(";
    for (int32_t i = 0; infos && i < count && i < 4096; ++i)
      call += (i ? " " : "") + std::string(infos[i].isInput ? "i" : "o") +
              std::to_string(infos[i].channelNum);
    call += ", " + std::to_string(size) + ")";
    const Failure failure = Enter(call, "createBuffers");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!initialized_) return Refuse("createBuffers before init", ASE_InvalidMode);
    if (callbacks_) return Refuse("buffers exist already", ASE_InvalidMode);
    if (!infos || !callbacks || count < 1)
      return Refuse("no channels or callbacks", ASE_InvalidParameter);
    if (!SizeAllowed(size)) return Refuse("buffer size not supported", ASE_InvalidMode);
    std::set<std::pair<bool, int32_t>> asked;
    uint64_t total_bytes = 0;
    for (int32_t i = 0; i < count; ++i) {
      const bool is_input = infos[i].isInput != ASIOFalse;
      if (infos[i].channelNum < 0 || infos[i].channelNum >= ChannelCountOf(is_input))
        return Refuse("no such channel", ASE_InvalidParameter);
      if (!asked.insert({is_input, infos[i].channelNum}).second)
        return Refuse("channel asked for twice", ASE_InvalidParameter);
      total_bytes +=
          2 * static_cast<uint64_t>(size) *
          static_cast<uint64_t>(SampleTypeStorageBytes(TypeOf(is_input, infos[i].channelNum)));
      if (total_bytes > kLargestHostileAllocation && config_.hostile)
        return Refuse("out of memory", ASE_NoMemory);
    }
    buffers_.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      ChannelBuffer& buffer = buffers_[static_cast<size_t>(i)];
      buffer.is_input = infos[i].isInput != ASIOFalse;
      buffer.channel = infos[i].channelNum;
      buffer.type = TypeOf(buffer.is_input, buffer.channel);
      buffer.bytes =
          static_cast<size_t>(size) * static_cast<size_t>(SampleTypeStorageBytes(buffer.type));
      const bool withheld = buffer.channel == (buffer.is_input ? config_.null_buffer_input
                                                               : config_.null_buffer_output) ||
                            (Hostile(kHostileCounts) && draws_.Chance(8));
      for (int half = 0; half < 2; ++half) {
        if (!withheld) buffer.halves[half] = std::make_unique<uint8_t[]>(buffer.bytes);  // zeroed
        infos[i].buffers[half] = buffer.halves[half].get();
      }
    }
    buffer_size_ = size;
    callbacks_ = callbacks;
    OpenWavFiles();
    // Drivers often ask their host something before createBuffers has even returned.
    if (Hostile(kHostileReentry) && draws_.Chance(2)) CallHostBack();
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL disposeBuffers() override {
    const Failure failure = Enter("disposeBuffers");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    if (!callbacks_) return ASE_InvalidMode;
    StopClock();
    JoinClock();
    CloseWavFiles();
    buffers_.clear();
    callbacks_ = nullptr;
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL controlPanel() override {
    const Failure failure = Enter("controlPanel");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    return ASE_OK;
  }

  ASIOError ASIO_THISCALL future(int32_t selector, void* parameter) override {
    std::string call = "future(" + std::to_string(selector);
    auto* controls = static_cast<ASIOChannelControls*>(parameter);
    const bool channel_request = selector >= kAsioSetInputGain && selector <= kAsioGetOutputMeter;
    if (channel_request && controls)
      call += ", " + std::to_string(controls->channel) + ", " + std::to_string(controls->isInput) +
              ", " + std::to_string(controls->gain);
    const Failure failure = Enter(call + ")", "future");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    switch (selector) {
      case kAsioCanTimeInfo:
        return config_.time_info ? ASE_SUCCESS : ASE_NotPresent;
      case kAsioCanInputGain:
      case kAsioCanInputMeter:
      case kAsioCanOutputGain:
      case kAsioCanOutputMeter:
        return ASE_SUCCESS;
      case kAsioSetInputGain:
      case kAsioSetOutputGain:
      case kAsioGetInputMeter:
      case kAsioGetOutputMeter: {
        if (!controls) return ASE_InvalidParameter;
        const bool input = selector == kAsioSetInputGain || selector == kAsioGetInputMeter;
        const auto& channels = input ? config_.inputs : config_.outputs;
        if (controls->channel < 0 || static_cast<size_t>(controls->channel) >= channels.size())
          return ASE_InvalidParameter;
        auto& gains = input ? input_gains_ : output_gains_;
        if (selector == kAsioSetInputGain || selector == kAsioSetOutputGain) {
          gains[controls->channel] = controls->gain;
        } else {
          // The meter echoes the channel's gain, so that tests can follow a value both ways.
          auto gain = gains.find(controls->channel);
          controls->meter = gain == gains.end() ? 0x7FFFFFFF : gain->second;
        }
        return ASE_SUCCESS;
      }
      default:
        return ASE_NotPresent;
    }
  }

  ASIOError ASIO_THISCALL outputReady() override {
    const Failure failure = Enter("outputReady");
    if (failure == Failure::Refuse) return ASE_HWMalfunction;
    Misbehave(failure);
    return ASE_OK;
  }

  // Control side (test_driver_exports.h).
  int32_t SendMessage(int32_t selector, int32_t value, int32_t* answer) {
    ASIOCallbacks* callbacks = callbacks_;
    if (!callbacks || !callbacks->asioMessage) return 0;
    int32_t result = 0;
    std::thread([&] { result = callbacks->asioMessage(selector, value, nullptr, nullptr); }).join();
    if (answer) *answer = result;
    return 1;
  }

  int32_t ChangeSampleRate(double rate) {
    ASIOCallbacks* callbacks = callbacks_;
    if (!callbacks) return 0;
    rate_ = rate;
    if (callbacks->sampleRateDidChange)
      std::thread([&] { callbacks->sampleRateDidChange(rate); }).join();
    return 1;
  }

  // The hostile mode's call back to the host: a message, a rate change or a buffer switch of
  // a half that may not exist, with a time record of noise or none.
  void CallHostBack() {
    ASIOCallbacks* callbacks = callbacks_;
    if (!callbacks) return;
    static constexpr int32_t kHalves[] = {0, 1, 0, 1, 2, -1};
    const int32_t half = kHalves[draws_.Below(6)];
    switch (draws_.Below(4)) {
      case 0:
        if (auto routine = callbacks->asioMessage)
          routine(draws_.Selector(), draws_.Selector(), nullptr, nullptr);
        break;
      case 1:
        if (auto routine = callbacks->sampleRateDidChange) routine(draws_.SampleRate());
        break;
      case 2:
        if (auto routine = callbacks->bufferSwitch) routine(half, ASIOTrue);
        break;
      default: {
        ASIOTime time;
        auto* words = reinterpret_cast<uint32_t*>(&time);
        for (size_t i = 0; i < sizeof(time) / 4; ++i)
          words[i] = static_cast<uint32_t>(draws_.Next());
        if (auto routine = callbacks->bufferSwitchTimeInfo)
          routine(draws_.Chance(4) ? nullptr : &time, half, ASIOFalse);
      }
    }
  }

  // Hundreds of reset and latency requests at once.
  void Storm() {
    ASIOCallbacks* callbacks = callbacks_;
    if (!callbacks || !callbacks->asioMessage) return;
    const uint32_t requests = 100 + draws_.Below(1000);
    for (uint32_t i = 0; i < requests; ++i)
      callbacks->asioMessage(draws_.Chance(2) ? kAsioResetRequest : kAsioLatenciesChanged, 0,
                             nullptr, nullptr);
  }

  int32_t RunSwitches(int32_t count) {
    if (!running_ || config_.clock != ClockMode::Manual || count < 1) return 0;
    std::thread([&] {
      for (int32_t i = 0; i < count; ++i) Switch();
    }).join();
    return count;
  }

 private:
  Failure FailureOf(const std::string& method) {
    std::lock_guard lock(state_.mutex);
    auto override = state_.failures.find(method);
    if (override != state_.failures.end()) return override->second;
    auto configured = config_.failures.find(method);
    return configured == config_.failures.end() ? Failure::None : configured->second;
  }

  // Logs the call and answers the failure configured for the method. A hostile driver may
  // call its host back from here, inside the host's call.
  Failure Enter(const std::string& call, const std::string& method = std::string()) {
    const std::string& name = method.empty() ? call : method;
    {
      std::lock_guard lock(state_.mutex);
      state_.log.push_back(call);
      ++state_.counts[name];
    }
    if (Hostile(kHostileReentry) && draws_.Chance(3)) CallHostBack();
    return FailureOf(name);
  }

  bool Hostile(uint32_t behaviour) const { return (config_.hostile & behaviour) != 0; }

  int32_t ChannelCountOf(bool is_input) const {
    if (Hostile(kHostileCounts) && answered_inputs_ != kNotAnswered)
      return is_input ? answered_inputs_ : answered_outputs_;
    return static_cast<int32_t>((is_input ? config_.inputs : config_.outputs).size());
  }

  // The configured type, or one drawn for the channel and kept for it.
  ASIOSampleType TypeOf(bool is_input, int32_t channel) {
    const auto& channels = is_input ? config_.inputs : config_.outputs;
    const bool configured = channel >= 0 && static_cast<size_t>(channel) < channels.size();
    if (!Hostile(kHostileTypes))
      return configured ? channels[static_cast<size_t>(channel)].type : 18;
    auto drawn = drawn_types_.find({is_input, channel});
    if (drawn == drawn_types_.end())
      drawn = drawn_types_.emplace(std::make_pair(is_input, channel), draws_.SampleType()).first;
    return drawn->second;
  }

  std::string NameOf(bool is_input, int32_t channel) const {
    const auto& channels = is_input ? config_.inputs : config_.outputs;
    if (channel >= 0 && static_cast<size_t>(channel) < channels.size())
      return channels[static_cast<size_t>(channel)].name;
    return std::string(is_input ? "Input " : "Output ") + std::to_string(channel + 1);
  }

  // The hostile mode's other threads: call backs and storms while the driver runs.
  void RunExtraThread() {
    while (!stop_extra_) {
      CallHostBack();
      if (Hostile(kHostileStorms) && draws_.Chance(64)) Storm();
      std::this_thread::yield();
    }
  }

  void JoinExtraThreads() {
    stop_extra_ = true;
    for (std::thread& thread : extra_)
      if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    std::erase_if(extra_, [](const std::thread& thread) { return !thread.joinable(); });
  }

  ASIOError Refuse(const char* why, ASIOError error) {
    error_ = why;
    return error;
  }

  bool Accepts(double rate) const {
    return std::find(config_.sample_rates.begin(), config_.sample_rates.end(), rate) !=
           config_.sample_rates.end();
  }

  bool SizeAllowed(int32_t size) const {
    if (Hostile(kHostileSizes)) return size >= 1 && size <= kLargestBufferSize;
    if (size < 1 || size > kLargestBufferSize || size < config_.minimum_size ||
        size > config_.maximum_size)
      return false;
    if (config_.granularity == -1) return (size & (size - 1)) == 0;
    if (config_.granularity > 0) return (size - config_.minimum_size) % config_.granularity == 0;
    return true;
  }

  void OpenWavFiles() {
    const size_t frames = static_cast<size_t>(buffer_size_);
    if (!config_.output_wav.empty() && !config_.outputs.empty()) {
      wav::Format format;
      format.channels = static_cast<int32_t>(config_.outputs.size());
      format.sample_rate = static_cast<int32_t>(rate_.load());
      format.sample_format = wav::SampleFormat::Float32;
      bool begun;
      {
        std::lock_guard lock(state_.mutex);
        begun = !state_.begun_wavs.insert(config_.output_wav).second;
      }
      // The host's reopening goes on in the file the first opening began, so that it holds
      // every block played, in order.
      if (begun ? output_wav_.Append(config_.output_wav, format)
                : output_wav_.Open(config_.output_wav, format))
        output_frames_.assign(frames * config_.outputs.size(), 0.0);
      else
        error_ = "cannot write " + config_.output_wav;
    }
    if (!config_.input_wav.empty()) {
      if (input_wav_.Open(config_.input_wav))
        input_frames_.assign(frames * static_cast<size_t>(input_wav_.format().channels), 0.0);
      else
        error_ = input_wav_.Error();
    }
  }

  void CloseWavFiles() {
    output_wav_.Close();
    input_wav_.Close();
  }

  // Whether a channel's input half comes from the fed bytes; copies them when it does.
  bool TakeFed(const ChannelBuffer& buffer, uint8_t* half) {
    std::lock_guard lock(state_.mutex);
    const auto channel = static_cast<size_t>(buffer.channel);
    if (channel >= state_.feeds.size()) return false;
    std::vector<uint8_t>& feed = state_.feeds[channel];
    size_t& read = state_.feed_read[channel];
    if (read >= feed.size()) return false;
    const size_t take = std::min(buffer.bytes, feed.size() - read);
    std::memcpy(half, feed.data() + read, take);
    std::memset(half + take, 0, buffer.bytes - take);
    read += take;
    if (read == feed.size()) {
      feed.clear();
      read = 0;
    }
    return true;
  }

  void FillInputs(int half) {
    const size_t frames = static_cast<size_t>(buffer_size_);
    size_t wav_frames = 0;
    if (input_wav_.format().channels > 0 && !input_frames_.empty())
      wav_frames = input_wav_.Read(input_frames_.data(), frames);
    const size_t wav_channels = static_cast<size_t>(input_wav_.format().channels);
    for (ChannelBuffer& buffer : buffers_) {
      uint8_t* data = buffer.halves[half].get();
      if (!buffer.is_input || !data || TakeFed(buffer, data)) continue;
      std::memset(data, 0, buffer.bytes);
      const auto channel = static_cast<size_t>(buffer.channel);
      const int32_t width = SampleTypeBytes(buffer.type);
      if (width == 0 || channel >= wav_channels) continue;
      for (size_t i = 0; i < wav_frames; ++i)
        EncodeSample(input_frames_[i * wav_channels + channel], buffer.type,
                     data + i * static_cast<size_t>(width));
    }
  }

  void CaptureOutputs(int half) {
    {
      std::lock_guard lock(state_.mutex);
      if (state_.capture) {
        for (const ChannelBuffer& buffer : buffers_) {
          const uint8_t* data = buffer.halves[half].get();
          if (buffer.is_input || !data) continue;
          const auto channel = static_cast<size_t>(buffer.channel);
          if (state_.captures.size() <= channel) state_.captures.resize(channel + 1);
          state_.captures[channel].insert(state_.captures[channel].end(), data,
                                          data + buffer.bytes);
        }
      }
    }
    if (!output_wav_.IsOpen()) return;
    const size_t frames = static_cast<size_t>(buffer_size_);
    const size_t channels = config_.outputs.size();
    std::fill(output_frames_.begin(), output_frames_.end(), 0.0);
    for (const ChannelBuffer& buffer : buffers_) {
      const uint8_t* data = buffer.halves[half].get();
      const int32_t width = SampleTypeBytes(buffer.type);
      if (buffer.is_input || !data || width == 0) continue;
      for (size_t i = 0; i < frames; ++i)
        output_frames_[i * channels + static_cast<size_t>(buffer.channel)] =
            DecodeSample(data + i * static_cast<size_t>(width), buffer.type);
    }
    output_wav_.Write(output_frames_.data(), frames);
    std::lock_guard lock(state_.mutex);
    state_.captured_frames += static_cast<int64_t>(frames);
  }

  // In two steps, so that a large count does not overflow.
  int64_t TicksToNanoseconds(int64_t ticks) const {
    return ticks / frequency_ * 1000000000 + ticks % frequency_ * 1000000000 / frequency_;
  }

  int64_t Nanoseconds() const { return TicksToNanoseconds(platform::PerformanceCounter()); }

  // The block period in performance counter ticks, as the steady clock waits it.
  double PeriodTicks() const {
    return static_cast<double>(buffer_size_) / rate_ / config_.clock_speed *
           static_cast<double>(frequency_);
  }

  // One buffer switch: inputs in, the host called, outputs out. The host's callback must
  // have ended by `next_due` (counter ticks), when the next block is due; without one, it has
  // one block period.
  void Switch(std::optional<int64_t> next_due = std::nullopt) {
    const int half = next_half_;
    FillInputs(half);
    position_ = samples_;
    stamp_ = Nanoseconds();
    ASIOCallbacks* callbacks = callbacks_;
    const int64_t called = platform::PerformanceCounter();
    if (config_.time_info) {
      ASIOTime time{};
      time.timeInfo.speed = 1.0;
      const auto samples = static_cast<uint64_t>(samples_);
      const auto stamp = static_cast<uint64_t>(stamp_.load());
      time.timeInfo.samplePosition = {static_cast<uint32_t>(samples >> 32),
                                      static_cast<uint32_t>(samples)};
      time.timeInfo.systemTime = {static_cast<uint32_t>(stamp >> 32), static_cast<uint32_t>(stamp)};
      time.timeInfo.sampleRate = rate_;
      time.timeInfo.flags =
          kSystemTimeValid | kSamplePositionValid | kSampleRateValid | kSpeedValid;
      // The host may clear its entry while it shuts down: read it afresh every time.
      if (auto routine = callbacks->bufferSwitchTimeInfo) routine(&time, half, ASIOTrue);
    } else {
      if (auto routine = callbacks->bufferSwitch) routine(half, ASIOTrue);
    }
    const int64_t returned = platform::PerformanceCounter();
    const int64_t finish_by = next_due.value_or(called + static_cast<int64_t>(PeriodTicks()));
    if (Hostile(kHostileStorms) && draws_.Chance(32)) Storm();
    CaptureOutputs(half);
    samples_ += buffer_size_;
    next_half_ = 1 - half;
    {
      std::lock_guard lock(state_.mutex);
      ++state_.switches;
      state_.timing.Record(TicksToNanoseconds(returned - called), returned > finish_by);
    }
    state_.switched.notify_all();
  }

  void RunClock() {
    // As a driver's own thread does: its host has the block to finish in time.
    platform::RaiseThreadToAudioPriority();
    const int64_t frequency = frequency_;
    int64_t deadline = platform::PerformanceCounter();
    double carry = 0.0;  // the fraction of a tick the block period leaves over
    while (!stop_clock_) {
      if (config_.clock == ClockMode::Fast) {
        Switch();
        SendDueRequests();
        std::this_thread::yield();
        continue;
      }
      const double period = static_cast<double>(buffer_size_) / rate_ / config_.clock_speed *
                                static_cast<double>(frequency) +
                            carry;
      const auto whole = static_cast<int64_t>(period);
      carry = period - static_cast<double>(whole);
      deadline += whole;
      // Sleeps until shortly before the deadline, then spins: the system timer is too coarse
      // for an even clock on its own.
      const int64_t spin_ticks = frequency * 3 / 2000;
      for (;;) {
        if (stop_clock_) return;
        const int64_t left = deadline - platform::PerformanceCounter();
        if (left <= 0) break;
        // In short naps, so that a stop is not kept waiting by a long block period.
        if (left > spin_ticks)
          platform::SleepMilliseconds(
              static_cast<uint32_t>(std::min<int64_t>((left - spin_ticks) * 1000 / frequency, 10)));
        else
          std::this_thread::yield();
      }
      Switch(deadline + whole);
      SendDueRequests();
      // A host that fell far behind is not chased with a burst of switches.
      const int64_t now = platform::PerformanceCounter();
      if (now - deadline > 4 * whole) deadline = now;
    }
  }

  int32_t PreferredSize() {
    if (config_.buffer_size_change_ms <= 0) return config_.preferred_size;
    std::lock_guard lock(state_.mutex);
    return state_.size_changes % 2 ? config_.alternate_size : config_.preferred_size;
  }

  // Whether the request timed by `due` is due now; times the next one, an interval after
  // this one or, when the driver was away longer (the host reopening it), after now.
  bool Due(int64_t& due, int32_t interval_ms, int64_t now) {
    if (interval_ms <= 0) return false;
    const int64_t interval = frequency_ * interval_ms / 1000;
    std::lock_guard lock(state_.mutex);
    if (due == 0) due = now + interval;
    if (now < due) return false;
    due += interval;
    if (due <= now) due = now + interval;
    return true;
  }

  void NoteRequest(const std::string& what) {
    std::lock_guard lock(state_.mutex);
    state_.requests.push_back(what + " at " + std::to_string(state_.captured_frames));
  }

  // The timed requests, from the clock thread between two switches, as a driver's own
  // thread sends them; the host's answers do not change the timing.
  void SendDueRequests() {
    ASIOCallbacks* callbacks = callbacks_;
    if (!callbacks || stop_clock_) return;
    const int64_t now = platform::PerformanceCounter();
    if (Due(state_.reset_due, config_.reset_request_ms, now) && callbacks->asioMessage) {
      NoteRequest("reset 0");
      callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    }
    if (Due(state_.size_change_due, config_.buffer_size_change_ms, now) && callbacks->asioMessage) {
      {
        std::lock_guard lock(state_.mutex);
        ++state_.size_changes;
      }
      const int32_t size = PreferredSize();
      NoteRequest("buffer-size " + std::to_string(size));
      // A host that does not take the change hears a reset request, as the standard has it.
      if (callbacks->asioMessage(kAsioBufferSizeChange, size, nullptr, nullptr) == 0) {
        NoteRequest("reset 0");
        callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
      }
    }
    if (Due(state_.rate_due, config_.rate_announcement_ms, now) && callbacks->sampleRateDidChange) {
      NoteRequest("rate " + Number(rate_));
      callbacks->sampleRateDidChange(rate_);
    }
    if (ClockChangeDue(now)) {
      // The next block period is already the new rate's.
      rate_ = config_.clock_change_rate;
      NoteRequest("clock " + Number(rate_));
      if (callbacks->sampleRateDidChange) callbacks->sampleRateDidChange(rate_);
    }
  }

  // Whether the clock changes now: once per class id, clock_change_ms after its first start.
  bool ClockChangeDue(int64_t now) {
    if (config_.clock_change_ms <= 0) return false;
    std::lock_guard lock(state_.mutex);
    if (state_.changed_rate > 0.0) return false;
    if (state_.clock_change_due == 0)
      state_.clock_change_due = now + frequency_ * config_.clock_change_ms / 1000;
    if (now < state_.clock_change_due) return false;
    state_.changed_rate = config_.clock_change_rate;
    return true;
  }

  bool OnClockThread() const {
    return clock_.joinable() && clock_.get_id() == std::this_thread::get_id();
  }

  void StopClock() {
    running_ = false;
    stop_clock_ = true;
    JoinExtraThreads();
    // A host may stop its driver from inside the buffer switch; that thread ends by itself
    // and is joined later.
    JoinClock();
  }

  void JoinClock() {
    if (clock_.joinable() && !OnClockThread()) clock_.join();
  }

  static constexpr int32_t kNotAnswered = std::numeric_limits<int32_t>::min() + 1;

  const GUID class_id_;
  ClassState& state_;
  const DriverConfig config_;
  HostileDraws draws_;
  int32_t answered_inputs_ = kNotAnswered;
  int32_t answered_outputs_ = kNotAnswered;
  std::map<std::pair<bool, int32_t>, ASIOSampleType> drawn_types_;
  std::vector<std::thread> extra_;
  std::atomic<bool> stop_extra_{false};
  std::atomic<ULONG> references_{1};
  std::atomic<double> rate_;
  bool initialized_ = false;
  std::string error_;

  std::vector<ChannelBuffer> buffers_;
  int32_t buffer_size_ = 0;
  std::atomic<ASIOCallbacks*> callbacks_{nullptr};
  std::map<int32_t, int32_t> input_gains_;
  std::map<int32_t, int32_t> output_gains_;

  std::atomic<bool> running_{false};
  std::atomic<bool> stop_clock_{false};
  std::atomic<bool> delete_after_clock_{false};
  std::atomic<bool> clock_ready_{false};
  std::thread clock_;
  int next_half_ = 0;
  int64_t samples_ = 0;
  std::atomic<int64_t> position_{0};
  std::atomic<int64_t> stamp_{0};
  const int64_t frequency_ = platform::PerformanceFrequency();

  wav::Writer output_wav_;
  wav::Reader input_wav_;
  std::vector<double> output_frames_;
  std::vector<double> input_frames_;
};

class Factory final : public IClassFactory {
 public:
  explicit Factory(const GUID& class_id) : class_id_(class_id) { ++g_server_references; }
  ~Factory() { --g_server_references; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      AddRef();
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    DriverConfig config = ReadDriverConfig(class_id_).value_or(DriverConfig{});
    {
      ClassState& state = StateOf(class_id_);
      std::lock_guard lock(state.mutex);
      if (state.hostile_set) {
        config.hostile = state.hostile;
        config.hostile_seed = state.hostile_seed;
      }
    }
    auto* driver = new TestDriver(class_id_, std::move(config));
    const HRESULT result = driver->QueryInterface(iid, object);
    driver->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      ++g_server_references;
    else
      --g_server_references;
    return S_OK;
  }

 private:
  const GUID class_id_;
  std::atomic<ULONG> references_{1};
};

std::string ComparablePath(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
#if defined(_WIN32)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
  }
  return path;
}

std::string ThisLibrary() {
  return platform::ModulePath(reinterpret_cast<const void*>(&ComparablePath));
}

// A class id is served here when it is the default one, has a stored configuration, or is
// registered with this library as its server.
bool Serves(const GUID& class_id) {
  if (class_id == kDefaultDriverClassId) return true;
  if (platform::RegistryKey::Open(platform::RegistryRoot::LocalMachine, ConfigKeyPath(class_id),
                                  platform::RegistryAccess::ReadOnly))
    return true;
  auto server = platform::RegistryKey::Open(
      platform::RegistryRoot::ClassesRoot,
      "CLSID\\" + platform::ClassIdToString(class_id) + "\\InprocServer32",
      platform::RegistryAccess::ReadOnly);
  return server &&
         ComparablePath(server->ReadString("").value_or("")) == ComparablePath(ThisLibrary());
}

// Runs `action` on the class id's current driver object, kept alive meanwhile.
template <typename Action>
auto WithCurrent(const GUID* class_id, Action action)
    -> decltype(action(std::declval<TestDriver&>())) {
  if (!class_id) return {};
  ClassState& state = StateOf(*class_id);
  TestDriver* driver;
  {
    std::lock_guard lock(state.mutex);
    driver = state.current;
    if (!driver) return {};
    driver->AddRef();
  }
  auto result = action(*driver);
  driver->Release();
  return result;
}

}  // namespace
}  // namespace asio_test

using asio_test::ClassState;
using asio_test::StateOf;

SERVER_EXPORT DllGetClassObject(REFCLSID class_id, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!asio_test::Serves(class_id)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new asio_test::Factory(class_id);
  const HRESULT result = factory->QueryInterface(iid, object);
  factory->Release();
  return result;
}

SERVER_EXPORT DllCanUnloadNow() {
  return asio_test::g_server_references == 0 ? S_OK : S_FALSE;
}

SERVER_EXPORT DllRegisterServer() {
  return asio_test::RegisterDriver(asio_test::kDefaultDriverName, asio_test::kDefaultDriverClassId,
                                   asio_test::ThisLibrary())
             ? S_OK
             : SELFREG_E_CLASS;
}

SERVER_EXPORT DllUnregisterServer() {
  asio_test::UnregisterDriver(asio_test::kDefaultDriverName, asio_test::kDefaultDriverClassId);
  return S_OK;
}

size_t AsioTestDriverReadLog(const GUID* driver, char* text, size_t capacity) {
  if (!driver) return 0;
  ClassState& state = StateOf(*driver);
  std::string all;
  {
    std::lock_guard lock(state.mutex);
    for (const std::string& line : state.log) all += line + "\n";
  }
  if (text && capacity > 0) asio_test::CopyText(text, capacity, all);
  return all.size();
}

size_t AsioTestDriverReadRequests(const GUID* driver, char* text, size_t capacity) {
  if (!driver) return 0;
  ClassState& state = StateOf(*driver);
  std::string all;
  {
    std::lock_guard lock(state.mutex);
    for (const std::string& line : state.requests) all += line + "\n";
  }
  if (text && capacity > 0) asio_test::CopyText(text, capacity, all);
  return all.size();
}

void AsioTestDriverClearLog(const GUID* driver) {
  if (!driver) return;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  state.log.clear();
  state.counts.clear();
}

int32_t AsioTestDriverCallCount(const GUID* driver, const char* method) {
  if (!driver || !method) return 0;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  auto count = state.counts.find(method);
  return count == state.counts.end() ? 0 : count->second;
}

int32_t AsioTestDriverLiveObjects(const GUID* driver) {
  if (!driver) return 0;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  return state.live_objects;
}

int32_t AsioTestDriverSendMessage(const GUID* driver, int32_t selector, int32_t value,
                                  int32_t* answer) {
  return asio_test::WithCurrent(driver, [&](asio_test::TestDriver& object) {
    return object.SendMessage(selector, value, answer);
  });
}

int32_t AsioTestDriverChangeSampleRate(const GUID* driver, double rate) {
  return asio_test::WithCurrent(
      driver, [&](asio_test::TestDriver& object) { return object.ChangeSampleRate(rate); });
}

int32_t AsioTestDriverRunSwitches(const GUID* driver, int32_t count) {
  return asio_test::WithCurrent(
      driver, [&](asio_test::TestDriver& object) { return object.RunSwitches(count); });
}

int64_t AsioTestDriverSwitchCount(const GUID* driver) {
  return driver ? StateOf(*driver).switches.load() : 0;
}

int32_t AsioTestDriverReadTiming(const GUID* driver, AsioTestDriverTiming* timing) {
  if (!driver || !timing) return 0;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  *timing = state.timing.Summary();
  return 1;
}

int32_t AsioTestDriverWaitForSwitches(const GUID* driver, int64_t count, int32_t timeout_ms) {
  if (!driver) return 0;
  ClassState& state = StateOf(*driver);
  std::unique_lock lock(state.mutex);
  return state.switched.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return state.switches >= count; })
             ? 1
             : 0;
}

int32_t AsioTestDriverFeedInput(const GUID* driver, int32_t channel, const void* bytes,
                                size_t size) {
  if (!driver || channel < 0 || (!bytes && size > 0)) return 0;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  const auto index = static_cast<size_t>(channel);
  if (state.feeds.size() <= index) {
    state.feeds.resize(index + 1);
    state.feed_read.resize(index + 1, 0);
  }
  const auto* data = static_cast<const uint8_t*>(bytes);
  state.feeds[index].insert(state.feeds[index].end(), data, data + size);
  return 1;
}

void AsioTestDriverSetCapture(const GUID* driver, int32_t enabled) {
  if (!driver) return;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  if (enabled) state.captures.clear();
  state.capture = enabled != 0;
}

size_t AsioTestDriverReadOutput(const GUID* driver, int32_t channel, void* bytes, size_t capacity) {
  if (!driver || channel < 0) return 0;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  const auto index = static_cast<size_t>(channel);
  if (index >= state.captures.size()) return 0;
  const std::vector<uint8_t>& capture = state.captures[index];
  if (bytes) std::memcpy(bytes, capture.data(), std::min(capacity, capture.size()));
  return capture.size();
}

int32_t AsioTestDriverSetFailure(const GUID* driver, const char* method, const char* failure) {
  if (!driver || !method || !failure) return 0;
  const auto parsed = asio_test::FailureFromName(failure);
  if (!parsed) return 0;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  state.failures[method] = *parsed;
  return 1;
}

void AsioTestDriverSetHostile(const GUID* driver, uint32_t behaviours, uint32_t seed) {
  if (!driver) return;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  state.hostile_set = true;
  state.hostile = behaviours & asio_test::kHostileAll;
  state.hostile_seed = seed;
}

void AsioTestDriverSetLatencies(const GUID* driver, int32_t input, int32_t output) {
  if (!driver) return;
  ClassState& state = StateOf(*driver);
  std::lock_guard lock(state.mutex);
  state.latencies_set = true;
  state.input_latency = input;
  state.output_latency = output;
}
