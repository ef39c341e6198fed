#pragma once

// For tests that drive a host against the project's test ASIO driver: install a configured
// driver under a name and class id (the real registry on Windows, the substitute elsewhere),
// and control and watch it from the same process.
//
//   asio_test::DriverConfig config;             // channels, sizes, rates, clock, failures ...
//   config.clock = asio_test::ClockMode::Manual;
//   asio_test::ScopedDriver driver("My Test Driver", kMyClassId, config);
//   ... the host lists and opens "My Test Driver" ...
//   asio_test::DriverControl control(kMyClassId);
//   control.RunSwitches(10);
//   EXPECT_EQ(control.Log()[0], "init");
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "tools/asio_driver/test_driver_config.h"
#include "tools/asio_driver/test_driver_exports.h"

namespace asio_test {

// The driver library beside the running program.
std::string DriverLibraryPath();

// Stores the configuration and registers the driver library for `class_id` under `name`.
bool InstallDriver(const std::string& name, const GUID& class_id, const DriverConfig& config);
void UninstallDriver(const std::string& name, const GUID& class_id);

// Installed for the life of the object.
class ScopedDriver {
 public:
  ScopedDriver(std::string name, const GUID& class_id, const DriverConfig& config);
  ~ScopedDriver();
  ScopedDriver(const ScopedDriver&) = delete;
  ScopedDriver& operator=(const ScopedDriver&) = delete;
  bool Installed() const { return installed_; }

 private:
  std::string name_;
  GUID class_id_;
  bool installed_;
};

// The driver library's control functions (test_driver_exports.h) for one class id. Loads
// the library (the same module the host's object creation loads) and keeps it loaded.
class DriverControl {
 public:
  explicit DriverControl(const GUID& class_id);
  bool Loaded() const;

  std::vector<std::string> Log() const;
  // The requests sent on the driver's timers, "reset 0 at 4096" ...
  std::vector<std::string> Requests() const;
  void ClearLog();
  int32_t CallCount(const std::string& method) const;
  int32_t LiveObjects() const;

  // The host's answer, or nothing when the driver has no host callbacks yet.
  std::optional<int32_t> SendMessage(int32_t selector, int32_t value = 0);
  bool ChangeSampleRate(double rate);

  int32_t RunSwitches(int32_t count);
  int64_t SwitchCount() const;
  bool WaitForSwitches(int64_t count, int32_t timeout_ms = 10000);
  // How the host's callbacks kept time since the last start; nothing without the library.
  std::optional<AsioTestDriverTiming> Timing() const;

  bool FeedInput(int32_t channel, const std::vector<uint8_t>& bytes);
  void SetCapture(bool enabled);
  std::vector<uint8_t> Output(int32_t channel) const;

  bool SetFailure(const std::string& method, Failure failure);
  void SetLatencies(int32_t input, int32_t output);
  // The hostile behaviours and seed of the driver objects created from now on.
  void SetHostile(uint32_t behaviours, uint32_t seed);

 private:
  template <typename Routine>
  Routine Find(const char* name) const {
    return reinterpret_cast<Routine>(library_.Export(name));
  }

  GUID class_id_;
  platform::DynamicLibrary library_;
};

}  // namespace asio_test
