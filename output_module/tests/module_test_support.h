#pragma once

// A fixture for tests of the output module: a registry and a current directory of the test's
// own, the settings key inside it, recorded message boxes, an answered file dialog, and test
// drivers installed under names of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "output_module/outputasio.h"
#include "platform/tests/registry_test_support.h"
#include "tools/asio_driver/test_driver.h"

class ModuleTest : public RegistryTest {
 public:
  // The message boxes shown so far.
  static std::vector<std::string>& Messages();
  // What the file dialog answers (nothing: cancelled), and how often it was asked.
  static std::optional<std::string>& DialogAnswer();
  static int& DialogCount();

 protected:
  void SetUp() override;
  void TearDown() override;

  // Installs a test driver; its name, `name_prefix` and a class id, is unique to the test.
  // Manual clock unless set. Drivers are listed in name order: a prefix that sorts earlier
  // puts the driver before the others.
  std::string InstallDriver(asio_test::DriverConfig config,
                            const std::string& name_prefix = "Partiloom Output Test ");
  asio_test::DriverControl& Driver(size_t index = 0) { return *drivers_.at(index).control; }
  // Stores a new configuration for an installed driver: its objects created from now on (at
  // the host's next reset, say) take it.
  bool ReconfigureDriver(asio_test::DriverConfig config, size_t index = 0);
  const std::string& DriverName(size_t index = 0) const { return drivers_.at(index).name; }

  // Stores the path of a test effect ("router", "faulty", ...) as the effect library.
  void StoreEffect(const std::string& kind);
  // The settings key, opened for writing.
  std::unique_ptr<platform::RegistryKey> Key() const;

  // The window as Init makes it (through its constructor).
  std::unique_ptr<TFmASIOConfig> MakeWindow();
  // A window made after `first_run` acted in another that has gone, as at a restart, with
  // `between` run in between. The stored "Driver" is a position in the list of installed
  // drivers, which tests running beside this one change as they install and remove theirs:
  // while the list differs between the two windows, the whole round is tried again.
  std::unique_ptr<TFmASIOConfig> RestartedWindow(
      const std::function<void(TFmASIOConfig&)>& first_run, const std::function<void()>& between);
  // Selects a driver in the window's list as the user does (the change handler runs).
  void SelectDriver(TFmASIOConfig& window, const std::string& name);

  std::filesystem::path Directory() const { return directory_; }

  // A window on `driver` (8 outputs "Out 1" ...) with effect output k routed to channel
  // k - 1, a stream open and, after the ring's silence, 8192 frames of a steady tone: 0.25
  // left, -0.125 right.
  std::unique_ptr<TFmASIOConfig> WindowPlayingSteadyTone(const std::string& driver);
  // The level of each of the eight channels in the next driver block of 256 frames, through
  // `out`; each level must hold for the whole block.
  static std::vector<float> SteadyBlockLevels(TFmASIOConfig& window, TSingleChannelArrays& out);

 private:
  struct InstalledDriver {
    std::string name;
    GUID class_id{};
    std::unique_ptr<asio_test::ScopedDriver> driver;
    std::unique_ptr<asio_test::DriverControl> control;
  };
  std::vector<InstalledDriver> drivers_;
  std::filesystem::path directory_;
  std::filesystem::path previous_directory_;
};

// The samples of a captured Float32LSB output channel.
std::vector<float> CapturedFloats(const asio_test::DriverControl& control, int32_t channel);
// A driver with a manual clock, `outputs` Float32LSB outputs "Out 1" ..., blocks of `block`
// frames and the given rates (the first is the one it starts at).
asio_test::DriverConfig FloatDriver(int outputs, int32_t block = 256,
                                    std::vector<double> rates = {44100.0, 48000.0});
// Interleaved 16-bit little-endian PCM bytes.
std::vector<char> Pcm(const std::vector<int16_t>& samples);
