// Measures how evenly the test driver's steady clock calls back: runs the default driver
// (256 samples at 44100 Hz) for a number of buffer switches and prints the statistics of
// the periods between them. Not a test: timing depends on the machine's load.
//   asio_test_driver_clock_benchmark [switches]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "asio_host/asio.h"
#include "platform/dynamic_library.h"
#include "platform/system.h"
#include "tools/asio_driver/test_driver.h"

namespace {

std::vector<int64_t> g_stamps;
size_t g_count = 0;

void ASIO_CDECL BufferSwitch(int32_t, ASIOBool) {
  if (g_count < g_stamps.size()) g_stamps[g_count++] = platform::PerformanceCounter();
}
void ASIO_CDECL SampleRateDidChange(ASIOSampleRate) {}
int32_t ASIO_CDECL AsioMessage(int32_t, int32_t, void*, double*) { return 0; }
ASIOTime* ASIO_CDECL BufferSwitchTimeInfo(ASIOTime*, int32_t half, ASIOBool direct) {
  BufferSwitch(half, direct);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t switches = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 400;
  if (switches < 2) return 2;
  g_stamps.assign(switches, 0);

  platform::DynamicLibrary library(platform::LoadLibraryFile(asio_test::DriverLibraryPath()).handle);
  using GetClassObject = HRESULT(STDMETHODCALLTYPE*)(REFCLSID, REFIID, void**);
  auto get_class_object = reinterpret_cast<GetClassObject>(library.Export("DllGetClassObject"));
  IClassFactory* factory = nullptr;
  if (!get_class_object ||
      FAILED(get_class_object(asio_test::kDefaultDriverClassId, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
    std::fprintf(stderr, "cannot load %s\n", asio_test::DriverLibraryPath().c_str());
    return 1;
  }
  void* object = nullptr;
  factory->CreateInstance(nullptr, asio_test::kDefaultDriverClassId, &object);
  factory->Release();
  auto* driver = static_cast<IASIO*>(object);
  if (!driver || driver->init(nullptr) != ASIOTrue) return 1;

  int32_t minimum, maximum, preferred, granularity;
  double rate = 0.0;
  driver->getBufferSize(&minimum, &maximum, &preferred, &granularity);
  driver->getSampleRate(&rate);
  ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
  ASIOCallbacks callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};
  if (driver->createBuffers(infos, 2, preferred, &callbacks) != ASE_OK || driver->start() != ASE_OK) return 1;
  const double block_ms = 1000.0 * preferred / rate;
  platform::SleepMilliseconds(static_cast<uint32_t>(block_ms * static_cast<double>(switches + 4)));
  driver->stop();
  driver->disposeBuffers();
  driver->Release();
  if (g_count < switches) {
    std::fprintf(stderr, "only %zu of %zu switches\n", g_count, switches);
    return 1;
  }

  const double ticks_per_ms = static_cast<double>(platform::PerformanceFrequency()) / 1000.0;
  double sum = 0.0, squares = 0.0, lowest = 1e9, highest = 0.0;
  size_t on_time = 0;  // periods within 0.25 ms of the block
  const size_t periods = switches - 1;
  for (size_t i = 1; i < switches; ++i) {
    const double period = static_cast<double>(g_stamps[i] - g_stamps[i - 1]) / ticks_per_ms;
    sum += period;
    squares += period * period;
    lowest = std::fmin(lowest, period);
    highest = std::fmax(highest, period);
    if (std::fabs(period - block_ms) <= 0.25) ++on_time;
  }
  const double mean = sum / static_cast<double>(periods);
  const double deviation = std::sqrt(std::fmax(0.0, squares / static_cast<double>(periods) - mean * mean));
  std::printf("block %.3f ms; %zu periods: mean %.4f ms, sd %.4f ms, min %.3f ms, max %.3f ms, "
              "%.1f%% within 0.25 ms\n",
              block_ms, periods, mean, deviation, lowest, highest, 100.0 * static_cast<double>(on_time) / static_cast<double>(periods));
  return 0;
}
