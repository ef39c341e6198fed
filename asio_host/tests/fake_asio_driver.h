#pragma once

// A driver object that lives inside the test program: it answers the driver methods from
// its settings, records what the host asked, owns the double buffers it hands out, and lets
// a test play the driver's part in a buffer switch.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "asio_host/asio.h"
#include "asio_host/asio_host.h"
#include "asio_host/vuno_asio.h"
#include "platform/system.h"
#include "platform/tests/faulting_code.h"

class FakeAsioDriver final : public IASIO {
 public:
  // Settings.
  ASIOBool init_answer = ASIOTrue;
  bool fault_in_init = false;
  ASIOError start_answer = ASE_OK;
  bool fault_in_start = false;
  bool fault_in_stop = false;
  bool fault_in_dispose = false;
  bool throw_in_stop = false;
  bool fault_in_release = false;
  int32_t version = 7;
  int32_t inputs = 2, outputs = 2;
  std::vector<ASIOSampleType> input_types, output_types;  // missing entries: Int32LSB
  int32_t minimum = 64, maximum = 2048, preferred = 256, granularity = -1;
  double sample_rate = 48000.0;                    // what getSampleRate answers
  std::vector<double> rates = {44100.0, 48000.0};  // what canSampleRate and setSampleRate take
  ASIOError set_rate_answer = ASE_OK;              // for a rate it takes
  // Whether a rate setSampleRate takes is what getSampleRate answers from then on; left
  // false, the driver answers OK and stays where it was.
  bool set_rate_runs = false;
  ASIOError get_rate_answer = ASE_OK;
  int32_t input_latency = 300, output_latency = 400;
  ASIOError position_answer = ASE_OK;
  ASIOSamples position{0, 0};
  ASIOTimeStamp time_stamp{0, 0};
  ASIOError create_answer = ASE_OK;
  std::vector<int32_t> capabilities;  // future selectors answered with ASE_SUCCESS
  int32_t meter = 1234;
  std::vector<int32_t> channels_without_buffer;  // buffer-info index that gets no address
  // Output channel names by number, written as a driver fills the field: a name of 32
  // characters gets no terminating zero. Missing entries: "Out <n>".
  std::vector<std::string> output_names;
  bool hand_out_buffers = true;  // false: createBuffers answers without allocating any
  // Run inside the method, as a driver that calls its host back from there.
  std::function<void()> inside_control_panel, inside_start;

  // What the host did.
  std::vector<std::string> calls;
  void* init_handle = nullptr;
  double last_set_rate = 0, last_can_rate = 0;
  uint32_t last_set_rate_words[2] = {0, 0};
  int32_t created_channels = 0, created_size = 0;
  ASIOBufferInfo* created_infos = nullptr;
  ASIOCallbacks* callbacks = nullptr;
  ASIOChannelControls last_controls{};
  int32_t last_future_selector = 0;
  int output_ready = 0;
  long references = 0;
  std::atomic<bool> disposed{false};

  // The double buffers, per buffer-info record.
  std::vector<std::vector<uint8_t>> halves[2];

  static uint32_t Width(ASIOSampleType type) {
    switch (type) {
      case 0:
      case 16:
        return 2;
      case 1:
      case 17:
        return 3;
      case 4:
      case 20:
        return 8;
      default:
        return 4;
    }
  }
  ASIOSampleType TypeOf(bool input, int32_t channel) const {
    const auto& types = input ? input_types : output_types;
    return static_cast<size_t>(channel) < types.size() ? types[static_cast<size_t>(channel)] : 18;
  }
  int Count(const std::string& call) const {
    int n = 0;
    for (const auto& c : calls) n += c == call;
    return n;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override {
    calls.push_back("release");
    if (fault_in_release) faulting::WriteToAddress(16);
    return static_cast<ULONG>(--references);
  }

  ASIOBool ASIO_THISCALL init(void* handle) override {
    calls.push_back("init");
    init_handle = handle;
    if (fault_in_init) faulting::WriteToAddress(16);
    return init_answer;
  }
  void ASIO_THISCALL getDriverName(char* name) override {
    calls.push_back("getDriverName");
    std::strcpy(name, "Fake");
  }
  int32_t ASIO_THISCALL getDriverVersion() override { return version; }
  void ASIO_THISCALL getErrorMessage(char* text) override { std::strcpy(text, ""); }
  ASIOError ASIO_THISCALL start() override {
    calls.push_back("start");
    if (fault_in_start) faulting::WriteToAddress(16);
    if (inside_start) inside_start();
    return start_answer;
  }
  ASIOError ASIO_THISCALL stop() override {
    calls.push_back("stop");
    if (fault_in_stop) faulting::WriteToAddress(16);
    if (throw_in_stop) faulting::ThrowCxxException();
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL getChannels(int32_t* in, int32_t* out) override {
    *in = inputs;
    *out = outputs;
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL getLatencies(int32_t* in, int32_t* out) override {
    calls.push_back("getLatencies");
    *in = input_latency;
    *out = output_latency;
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL getBufferSize(int32_t* mn, int32_t* mx, int32_t* pr,
                                        int32_t* gr) override {
    *mn = minimum;
    *mx = maximum;
    *pr = preferred;
    *gr = granularity;
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL canSampleRate(ASIOSampleRate rate) override {
    last_can_rate = rate;
    return Takes(rate) ? ASE_OK : ASE_NoClock;
  }
  ASIOError ASIO_THISCALL getSampleRate(ASIOSampleRate* rate) override {
    if (get_rate_answer != ASE_OK) return get_rate_answer;
    *rate = sample_rate;
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL setSampleRate(ASIOSampleRate rate) override {
    calls.push_back("setSampleRate");
    last_set_rate = rate;
    std::memcpy(last_set_rate_words, &rate, 8);
    if (!Takes(rate)) return ASE_NoClock;
    if (set_rate_answer == ASE_OK && set_rate_runs) sample_rate = rate;
    return set_rate_answer;
  }
  bool Takes(double rate) const {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
  }
  ASIOError ASIO_THISCALL getClockSources(ASIOClockSource*, int32_t* n) override {
    *n = 0;
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL setClockSource(int32_t) override { return ASE_OK; }
  ASIOError ASIO_THISCALL getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) override {
    if (position_answer != ASE_OK) return position_answer;
    *pos = position;
    *stamp = time_stamp;
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL getChannelInfo(ASIOChannelInfo* info) override {
    info->type = TypeOf(info->isInput == ASIOTrue, info->channel);
    info->isActive = ASIOFalse;
    info->channelGroup = 0;
    const auto named = static_cast<size_t>(info->channel);
    if (!info->isInput && named < output_names.size()) {
      std::memset(info->name, 0, sizeof(info->name));
      std::memcpy(info->name, output_names[named].data(),
                  std::min(output_names[named].size(), sizeof(info->name)));
    } else {
      std::snprintf(info->name, sizeof(info->name), "%s %d", info->isInput ? "In" : "Out",
                    info->channel + 1);
    }
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL createBuffers(ASIOBufferInfo* infos, int32_t channels, int32_t size,
                                        ASIOCallbacks* cb) override {
    calls.push_back("createBuffers");
    created_infos = infos;
    created_channels = channels;
    created_size = size;
    callbacks = cb;
    for (auto& half : halves) half.assign(hand_out_buffers ? static_cast<size_t>(channels) : 0, {});
    for (int32_t i = 0; hand_out_buffers && i < channels; ++i) {
      ASIOBufferInfo& info = infos[i];
      const bool no_buffer =
          std::find(channels_without_buffer.begin(), channels_without_buffer.end(), i) !=
          channels_without_buffer.end();
      for (int h = 0; h < 2; ++h) {
        if (no_buffer) {
          info.buffers[h] = nullptr;
          continue;
        }
        // The host uses its own buffer length, which may differ from the size asked for.
        const size_t samples = static_cast<size_t>(std::max(size, 4096));
        halves[h][static_cast<size_t>(i)].assign(
            samples * Width(TypeOf(info.isInput, info.channelNum)), 0xAB);
        info.buffers[h] = halves[h][static_cast<size_t>(i)].data();
      }
    }
    return create_answer;
  }
  ASIOError ASIO_THISCALL disposeBuffers() override {
    calls.push_back("disposeBuffers");
    disposed = true;
    if (fault_in_dispose) faulting::WriteToAddress(16);
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL controlPanel() override {
    calls.push_back("controlPanel");
    if (inside_control_panel) inside_control_panel();
    calls.push_back("controlPanel returns");
    return ASE_OK;
  }
  ASIOError ASIO_THISCALL future(int32_t selector, void* opt) override {
    last_future_selector = selector;
    if (selector >= kAsioSetInputGain && selector <= kAsioGetOutputMeter) {
      auto* controls = static_cast<ASIOChannelControls*>(opt);
      last_controls = *controls;
      if (selector == kAsioGetInputMeter || selector == kAsioGetOutputMeter)
        controls->meter = meter;
      return ASE_OK;
    }
    return std::find(capabilities.begin(), capabilities.end(), selector) != capabilities.end()
               ? ASE_SUCCESS
               : ASE_InvalidParameter;
  }
  ASIOError ASIO_THISCALL outputReady() override {
    ++output_ready;
    return ASE_OK;
  }

  // Buffer-info record `index`'s half `half`, as the host sees it.
  uint8_t* Buffer(int half, size_t index) { return halves[half][index].data(); }
};

// A host whose drivers come from the test: its list is read from a registry place of the
// test's own, and each listed name maps to a fake driver object.
template <typename Host>
class TestHost : public Host {
 public:
  TestHost(const TAsioDriverRegistry& registry, std::map<std::string, FakeAsioDriver*> drivers)
      : Host(nullptr, registry), drivers_(std::move(drivers)) {}
  ~TestHost() override {
    // The base's destructor closes the driver; it must still find its fakes then.
  }

  bool fail_creation = false;
  int creations = 0;

  using Host::BuffersCreated;
  using Host::Driver;
  using Host::InputBufferInfos;
  using Host::OutputBufferInfos;

 protected:
  bool CreateDriver(const TAsioDriverEntry& entry, IVunoASIO*& driver) override {
    ++creations;
    driver = nullptr;
    auto found = drivers_.find(entry.Name);
    if (fail_creation || found == drivers_.end()) return false;
    found->second->AddRef();
    driver = new TVunoASIO(found->second);
    return true;
  }

 private:
  std::map<std::string, FakeAsioDriver*> drivers_;
};
