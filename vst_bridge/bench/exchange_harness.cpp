// What the bridge costs per block: a test effect processes blocks of 64, 256 and 2048 frames
// at their real pace, once in this process and once through the bridge; the difference of
// the two calls is the exchange. Printed per block size: the least, the median and the 99th
// percentile of the blocks answered in time, each as a share of the block's period at
// 44.1 kHz, and how many blocks missed. The least is the exchange itself; median, tail and
// misses also show how often a busy machine kept the helper from running.
// Arguments: [effect library] [blocks of 256 frames, the others scaled].
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/system.h"
#include "vst_bridge/effect_proxy.h"

namespace {

constexpr double kRate = 44100.0;

VstTimeInfo g_time{};

VstIntPtr VSTCALLBACK Host(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
  if (opcode == audioMasterGetTime) return reinterpret_cast<VstIntPtr>(&g_time);
  if (opcode == audioMasterVersion) return 2400;
  return 0;
}

double Microseconds(int64_t ticks) {
  return 1e6 * static_cast<double>(ticks) / static_cast<double>(platform::PerformanceFrequency());
}

// Waits until `deadline` on the counter: sleeping while more than 2 ms are left (the
// system's timers are coarse), then spinning.
void WaitUntil(int64_t deadline) {
  const int64_t two_ms = platform::PerformanceFrequency() / 500;
  while (deadline - platform::PerformanceCounter() > two_ms) platform::SleepMilliseconds(1);
  while (platform::PerformanceCounter() < deadline) {
  }
}

// Durations of `blocks` process calls of `frames`, one per period; blocks that came back
// silent (no answer in time) are counted in *missed, not timed.
std::vector<double> Play(AEffect* effect, int frames, int blocks, int* missed = nullptr) {
  std::vector<std::vector<float>> in(2, std::vector<float>(frames, 0.25f));
  std::vector<std::vector<float>> out(16, std::vector<float>(frames));
  std::vector<float*> in_ptrs, out_ptrs;
  for (auto& c : in) in_ptrs.push_back(c.data());
  for (auto& c : out) out_ptrs.push_back(c.data());
  const auto period = static_cast<int64_t>(static_cast<double>(frames) / kRate *
                                           static_cast<double>(platform::PerformanceFrequency()));
  std::vector<double> durations;
  int64_t next = platform::PerformanceCounter();
  for (int block = 0; block < blocks; ++block) {
    WaitUntil(next);
    next += period;
    const int64_t start = platform::PerformanceCounter();
    out[0][frames - 1] = 0.0f;
    effect->processReplacing(effect, in_ptrs.data(), out_ptrs.data(), frames);
    const double duration = Microseconds(platform::PerformanceCounter() - start);
    if (out[0][frames - 1] != 0.0f)
      durations.push_back(duration);
    else if (missed)
      ++*missed;
  }
  return durations;
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(share * values.size()))];
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  const std::string default_effect =
      platform::ExecutableDirectory() + "\\partiloom_effect_params.dll";
#else
  const std::string default_effect =
      platform::ExecutableDirectory() + "/partiloom_effect_params.so";
#endif
  const std::string library = argc > 1 && *argv[1] ? argv[1] : default_effect;
  const int blocks_256 = argc > 2 ? std::max(10, std::atoi(argv[2])) : 1000;

  platform::LibraryLoadResult loaded = platform::LoadLibraryFile(library);
  platform::DynamicLibrary here(loaded.handle);
  void* entry = here.Export("main");
  if (!entry) entry = here.Export("VSTPluginMain");
  if (!entry) {
    std::fprintf(stderr, "cannot load %s\n", library.c_str());
    return 1;
  }
  AEffect* direct = reinterpret_cast<VstPluginMainProc>(entry)(&Host);
  std::string error;
  auto proxy = vst_bridge::TEffectProxy::Open(
      vst_bridge::HelperBesideModule(vst_bridge::THelperWidth::SameAsPlugIn), library, &Host,
      error);
  if (!proxy) {
    std::fprintf(stderr, "bridge: %s\n", error.c_str());
    return 1;
  }
  AEffect* bridged = proxy->Effect();
  for (AEffect* effect : {direct, bridged}) {
    effect->dispatcher(effect, effOpen, 0, 0, nullptr, 0.0f);
    effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate));
    effect->dispatcher(effect, effSetBlockSize, 0, 2048, nullptr, 0.0f);
    effect->dispatcher(effect, effMainsChanged, 0, 1, nullptr, 0.0f);
  }
  std::printf("%s: %d in, %d out\n", library.c_str(), bridged->numInputs, bridged->numOutputs);
  for (const int frames : {64, 256, 2048}) {
    const int blocks = std::max(10, blocks_256 * 256 / frames / (frames == 64 ? 2 : 1));
    const double period_us = 1e6 * frames / kRate;
    Play(bridged, frames, 5);  // the helper wakes from its sleep once
    const double own = Percentile(Play(direct, frames, blocks), 0.5);
    int missed = 0;
    const std::vector<double> through = Play(bridged, frames, blocks, &missed);
    if (through.empty()) {
      std::printf("%5d frames: no block answered in time\n", frames);
      continue;
    }
    const double least = Percentile(through, 0.0) - own;
    const double median = Percentile(through, 0.5) - own;
    const double p99 = Percentile(through, 0.99) - own;
    std::printf(
        "%5d frames, %4d blocks, %3d missed: exchange least %6.1f us, median %6.1f us, 99%% "
        "%7.1f us; of the %.2f ms period %.3f %%, %.3f %%, %.2f %%\n",
        frames, blocks, missed, least, median, p99, period_us / 1000.0, 100.0 * least / period_us,
        100.0 * median / period_us, 100.0 * p99 / period_us);
  }
  for (AEffect* effect : {direct, bridged}) {
    effect->dispatcher(effect, effMainsChanged, 0, 0, nullptr, 0.0f);
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
  }
  return 0;
}
