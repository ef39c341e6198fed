#include "tools/asio_driver/test_driver_config.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/registry.h"

namespace asio_test {
namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kClockNames[] = {"steady", "fast", "manual"};
constexpr const char* kFailureNames[] = {"none", "refuse", "raise", "fault"};

std::string RateText(double rate) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", rate);
  return text;
}

std::optional<double> RateFromText(const std::string& text) {
  char* end = nullptr;
  const double rate = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(rate > 0.0)) return std::nullopt;
  return rate;
}

std::string ChannelValue(const char* direction, size_t index, const char* what) {
  return std::string(direction) + " " + std::to_string(index) + " " + what;
}

void WriteChannels(RegistryKey& key, const char* direction,
                   const std::vector<DriverChannel>& channels, bool* ok) {
  *ok =
      key.WriteInteger(std::string(direction) + "s", static_cast<int32_t>(channels.size())) && *ok;
  for (size_t i = 0; i < channels.size(); ++i) {
    *ok = key.WriteString(ChannelValue(direction, i, "Name"), channels[i].name) && *ok;
    *ok = key.WriteInteger(ChannelValue(direction, i, "Type"), channels[i].type) && *ok;
  }
}

std::vector<DriverChannel> ReadChannels(const RegistryKey& key, const char* direction,
                                        const std::vector<DriverChannel>& fallback) {
  const auto count = key.ReadInteger(std::string(direction) + "s");
  if (!count || *count < 0 || *count > 1024) return fallback;
  std::vector<DriverChannel> channels(static_cast<size_t>(*count));
  for (size_t i = 0; i < channels.size(); ++i) {
    channels[i].name = key.ReadString(ChannelValue(direction, i, "Name"))
                           .value_or(std::string(direction) + " " + std::to_string(i + 1));
    channels[i].type = key.ReadInteger(ChannelValue(direction, i, "Type")).value_or(18);
  }
  return channels;
}

}  // namespace

std::string ConfigKeyPath(const GUID& class_id) {
  return "Software\\PartiloomTestAsioDriver\\" + platform::ClassIdToString(class_id);
}

bool WriteDriverConfig(const GUID& class_id, const DriverConfig& config) {
  DeleteDriverConfig(class_id);
  auto key = RegistryKey::Open(RegistryRoot::LocalMachine, ConfigKeyPath(class_id),
                               RegistryAccess::Full, true);
  if (!key) return false;
  bool ok = key->WriteString("Driver Name", config.driver_name);
  ok = key->WriteInteger("Version", config.version) && ok;
  WriteChannels(*key, "Input", config.inputs, &ok);
  WriteChannels(*key, "Output", config.outputs, &ok);
  ok = key->WriteInteger("Minimum Size", config.minimum_size) && ok;
  ok = key->WriteInteger("Maximum Size", config.maximum_size) && ok;
  ok = key->WriteInteger("Preferred Size", config.preferred_size) && ok;
  ok = key->WriteInteger("Granularity", config.granularity) && ok;
  std::string rates;
  for (double rate : config.sample_rates) rates += (rates.empty() ? "" : " ") + RateText(rate);
  ok = key->WriteString("Sample Rates", rates) && ok;
  ok = key->WriteString("Sample Rate", RateText(config.sample_rate)) && ok;
  ok = key->WriteInteger("Input Latency", config.input_latency) && ok;
  ok = key->WriteInteger("Output Latency", config.output_latency) && ok;
  ok = key->WriteInteger("Time Info", config.time_info ? 1 : 0) && ok;
  ok = key->WriteString("Clock", ClockModeName(config.clock)) && ok;
  ok = key->WriteString("Clock Speed", RateText(config.clock_speed)) && ok;
  for (const auto& [method, failure] : config.failures)
    ok = key->WriteString("Failure " + method, FailureName(failure)) && ok;
  ok = key->WriteInteger("Null Buffer Input", config.null_buffer_input) && ok;
  ok = key->WriteInteger("Null Buffer Output", config.null_buffer_output) && ok;
  ok = key->WriteString("Input Wav", config.input_wav) && ok;
  ok = key->WriteString("Output Wav", config.output_wav) && ok;
  ok = key->WriteInteger("Hostile", static_cast<int32_t>(config.hostile)) && ok;
  ok = key->WriteInteger("Hostile Seed", static_cast<int32_t>(config.hostile_seed)) && ok;
  ok = key->WriteInteger("Reset Request Ms", config.reset_request_ms) && ok;
  ok = key->WriteInteger("Buffer Size Change Ms", config.buffer_size_change_ms) && ok;
  ok = key->WriteInteger("Alternate Size", config.alternate_size) && ok;
  ok = key->WriteInteger("Rate Announcement Ms", config.rate_announcement_ms) && ok;
  ok = key->WriteInteger("Clock Change Ms", config.clock_change_ms) && ok;
  ok = key->WriteString("Clock Change Rate", RateText(config.clock_change_rate)) && ok;
  return ok;
}

std::optional<DriverConfig> ReadDriverConfig(const GUID& class_id) {
  auto key = RegistryKey::Open(RegistryRoot::LocalMachine, ConfigKeyPath(class_id),
                               RegistryAccess::ReadOnly);
  if (!key) return std::nullopt;
  DriverConfig config;
  const DriverConfig defaults;
  config.driver_name = key->ReadString("Driver Name").value_or(defaults.driver_name);
  config.version = key->ReadInteger("Version").value_or(defaults.version);
  config.inputs = ReadChannels(*key, "Input", defaults.inputs);
  config.outputs = ReadChannels(*key, "Output", defaults.outputs);
  config.minimum_size = key->ReadInteger("Minimum Size").value_or(defaults.minimum_size);
  config.maximum_size = key->ReadInteger("Maximum Size").value_or(defaults.maximum_size);
  config.preferred_size = key->ReadInteger("Preferred Size").value_or(defaults.preferred_size);
  config.granularity = key->ReadInteger("Granularity").value_or(defaults.granularity);
  if (auto rates = key->ReadString("Sample Rates")) {
    config.sample_rates.clear();
    std::istringstream words(*rates);
    std::string word;
    while (words >> word)
      if (auto rate = RateFromText(word)) config.sample_rates.push_back(*rate);
  }
  config.sample_rate =
      RateFromText(key->ReadString("Sample Rate").value_or("")).value_or(defaults.sample_rate);
  config.input_latency = key->ReadInteger("Input Latency").value_or(defaults.input_latency);
  config.output_latency = key->ReadInteger("Output Latency").value_or(defaults.output_latency);
  config.time_info = key->ReadInteger("Time Info").value_or(1) != 0;
  const std::string clock = key->ReadString("Clock").value_or("");
  for (int i = 0; i < 3; ++i)
    if (clock == kClockNames[i]) config.clock = static_cast<ClockMode>(i);
  config.clock_speed = RateFromText(key->ReadString("Clock Speed").value_or("")).value_or(1.0);
  static constexpr const char* kMethods[] = {
      "init",           "getDriverName", "getDriverVersion", "getErrorMessage", "start",
      "stop",           "getChannels",   "getLatencies",     "getBufferSize",   "canSampleRate",
      "getSampleRate",  "setSampleRate", "getClockSources",  "setClockSource",  "getSamplePosition",
      "getChannelInfo", "createBuffers", "disposeBuffers",   "controlPanel",    "future",
      "outputReady"};
  for (const char* method : kMethods) {
    if (auto name = key->ReadString(std::string("Failure ") + method)) {
      if (auto failure = FailureFromName(*name); failure && *failure != Failure::None)
        config.failures[method] = *failure;
    }
  }
  config.null_buffer_input = key->ReadInteger("Null Buffer Input").value_or(-1);
  config.null_buffer_output = key->ReadInteger("Null Buffer Output").value_or(-1);
  config.input_wav = key->ReadString("Input Wav").value_or("");
  config.output_wav = key->ReadString("Output Wav").value_or("");
  config.hostile = static_cast<uint32_t>(key->ReadInteger("Hostile").value_or(0)) & kHostileAll;
  config.hostile_seed = static_cast<uint32_t>(key->ReadInteger("Hostile Seed").value_or(0));
  // A negative interval is as good as none.
  const auto interval = [&](const char* name) {
    return std::max(key->ReadInteger(name).value_or(0), 0);
  };
  config.reset_request_ms = interval("Reset Request Ms");
  config.buffer_size_change_ms = interval("Buffer Size Change Ms");
  config.alternate_size = key->ReadInteger("Alternate Size").value_or(defaults.alternate_size);
  config.rate_announcement_ms = interval("Rate Announcement Ms");
  config.clock_change_ms = interval("Clock Change Ms");
  config.clock_change_rate = RateFromText(key->ReadString("Clock Change Rate").value_or(""))
                                 .value_or(defaults.clock_change_rate);
  return config;
}

void DeleteDriverConfig(const GUID& class_id) {
  RegistryKey::DeleteTree(RegistryRoot::LocalMachine, ConfigKeyPath(class_id));
}

bool RegisterDriver(const std::string& name, const GUID& class_id,
                    const std::string& library_path) {
  const std::string id = platform::ClassIdToString(class_id);
  auto server = RegistryKey::Open(RegistryRoot::ClassesRoot, "CLSID\\" + id + "\\InprocServer32",
                                  RegistryAccess::Full, true);
  auto listing = RegistryKey::Open(RegistryRoot::LocalMachine, "Software\\ASIO\\" + name,
                                   RegistryAccess::Full, true);
  if (!server || !listing) return false;
  bool ok = server->WriteString("", library_path);
  ok = server->WriteString("ThreadingModel", "Apartment") && ok;
  ok = listing->WriteString("CLSID", id) && ok;
  ok = listing->WriteString("Description", name) && ok;
  return ok;
}

void UnregisterDriver(const std::string& name, const GUID& class_id) {
  RegistryKey::DeleteTree(RegistryRoot::LocalMachine, "Software\\ASIO\\" + name);
  RegistryKey::DeleteTree(RegistryRoot::ClassesRoot,
                          "CLSID\\" + platform::ClassIdToString(class_id));
}

const char* ClockModeName(ClockMode mode) {
  return kClockNames[static_cast<int>(mode)];
}
const char* FailureName(Failure failure) {
  return kFailureNames[static_cast<int>(failure)];
}

std::optional<Failure> FailureFromName(const std::string& name) {
  for (int i = 0; i < 4; ++i)
    if (name == kFailureNames[i]) return static_cast<Failure>(i);
  return std::nullopt;
}

}  // namespace asio_test
