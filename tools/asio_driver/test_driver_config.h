#pragma once

// What one installed test driver looks like: its channels, sizes, rates, clock, failures and
// WAV files. Stored per class id in the registry, where the driver object looks it up when
// it is created; a class id without a stored configuration gets the defaults below.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "asio_host/asio.h"
#include "platform/com.h"

namespace asio_test {

struct DriverChannel {
  std::string name;
  ASIOSampleType type = 18;  // Int32LSB
};

// How the driver calls its host back once started.
enum class ClockMode {
  Steady,  // one buffer switch per block period (divided by the clock speed), on an even clock
  Fast,    // switches back to back, as fast as the host returns
  Manual,  // no clock thread: switches run only when a test asks for them
};

// What a method does instead of its work when a failure is configured for it.
enum class Failure {
  None,
  Refuse,  // answers failure (init: ASIOFalse; the others: ASE_HWMalfunction)
  Raise,   // raises an exception out of the call (on Windows the exception a driver built
           // with another compiler raises)
  Fault,   // writes to an invalid address
};

// Behaviours of the hostile mode, one bit each in DriverConfig::hostile. What the driver
// answers and when it calls back is drawn from DriverConfig::hostile_seed.
enum HostileBehaviour : uint32_t {
  kHostileCounts = 1u << 0,   // channel counts none, negative, huge, past 32-bit products
  kHostileSizes = 1u << 1,    // buffer sizes zero, negative, odd, huge; accepts any it can hold
  kHostileTypes = 1u << 2,    // sample types without converter, negative ones
  kHostileTexts = 1u << 3,    // driver, channel and error texts filling their field unterminated
  kHostileThreads = 1u << 4,  // while running, reports and switches from two more threads
  kHostileStorms = 1u << 5,   // reset and latency requests in bursts of hundreds
  kHostileReentry = 1u << 6,  // a call back to the host from inside every method
};
constexpr uint32_t kHostileAll = (1u << 7) - 1;

struct DriverConfig {
  std::string driver_name = "Partiloom Test ASIO";  // getDriverName's answer
  int32_t version = 1;
  std::vector<DriverChannel> inputs = {{"Input 1", 18}, {"Input 2", 18}};
  std::vector<DriverChannel> outputs = {{"Output 1", 18}, {"Output 2", 18}};
  int32_t minimum_size = 64;
  int32_t maximum_size = 4096;
  int32_t preferred_size = 256;
  int32_t granularity = -1;  // -1: powers of two, as the standard has it
  // The rates canSampleRate and setSampleRate take.
  std::vector<double> sample_rates = {44100.0, 48000.0};
  // The rate at creation; one that sample_rates lacks gives way to the first of them.
  double sample_rate = 44100.0;
  int32_t input_latency = 256;
  int32_t output_latency = 512;
  bool time_info = true;  // bufferSwitchTimeInfo, or plain bufferSwitch
  ClockMode clock = ClockMode::Steady;
  double clock_speed = 1.0;  // the steady clock runs this many times faster than real time
  // Method name (as in IASIO, e.g. "init", "disposeBuffers") to failure.
  std::map<std::string, Failure> failures;
  // A channel that createBuffers hands back without buffer addresses; -1 for none.
  int32_t null_buffer_input = -1;
  int32_t null_buffer_output = -1;
  // Inputs are read from this file (channel i from the file's channel i; silence past its
  // end or its channels); empty: silence unless a test feeds bytes.
  std::string input_wav;
  // Outputs are captured into this file as 32-bit float, one file channel per output.
  std::string output_wav;
  // Hostile behaviours (HostileBehaviour bits) and the seed of their draws.
  uint32_t hostile = 0;
  uint32_t hostile_seed = 0;
  // Requests the running driver sends its host from the clock thread every so many
  // milliseconds (0: never), timed from the class id's first start on and across the host's
  // reopenings. A buffer-size change alternates the preferred size getBufferSize answers
  // between preferred_size and alternate_size, and falls back to a reset request when the
  // host does not take it; a rate announcement reports the rate the driver runs at.
  int32_t reset_request_ms = 0;
  int32_t buffer_size_change_ms = 0;
  int32_t alternate_size = 512;
  int32_t rate_announcement_ms = 0;
  // The clock changes once, this many milliseconds after the class id's first start (0:
  // never), as an external clock would: the driver reports sampleRateDidChange and runs at
  // clock_change_rate from then on, also its objects created later.
  int32_t clock_change_ms = 0;
  double clock_change_rate = 96000.0;
};

// The class id and name DllRegisterServer installs, with the default configuration.
// {B7E3C2A4-5F19-4D6E-8C3B-1A2F9E7D4C60}
constexpr GUID kDefaultDriverClassId = {
    0xB7E3C2A4, 0x5F19, 0x4D6E, {0x8C, 0x3B, 0x1A, 0x2F, 0x9E, 0x7D, 0x4C, 0x60}};
constexpr const char* kDefaultDriverName = "Partiloom Test ASIO";

// Registers `library_path` as the in-process server of `class_id` and lists it as the ASIO
// driver `name` (local machine "Software\ASIO\<name>", value "CLSID"). False when a key
// cannot be written.
bool RegisterDriver(const std::string& name, const GUID& class_id, const std::string& library_path);
// Removes both registrations.
void UnregisterDriver(const std::string& name, const GUID& class_id);

// The registry key below the local machine that holds the configuration of `class_id`.
std::string ConfigKeyPath(const GUID& class_id);
// Writes (replacing) the configuration of `class_id`; false when the key cannot be written.
bool WriteDriverConfig(const GUID& class_id, const DriverConfig& config);
// The stored configuration, or nothing when none is stored. Bad or missing values fall back
// to the defaults.
std::optional<DriverConfig> ReadDriverConfig(const GUID& class_id);
void DeleteDriverConfig(const GUID& class_id);

const char* ClockModeName(ClockMode mode);
const char* FailureName(Failure failure);
std::optional<Failure> FailureFromName(const std::string& name);

}  // namespace asio_test
