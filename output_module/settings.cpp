#include "output_module/settings.h"

#include <algorithm>

namespace settings {

namespace {

std::string& CurrentKeyPath() {
  static std::string path = kKeyPath;
  return path;
}

}  // namespace

std::string RoutingValueName(const std::string& driver_name, int output) {
  return "Routing " + driver_name + " Channel " + std::to_string(output);
}

std::optional<int32_t> FindStoredDriver(const std::vector<std::string>& drivers, int32_t position,
                                        const std::string& name) {
  if (name.empty()) return position;
  const std::string wanted = LowerAscii(name);
  const auto named = [&wanted](const std::string& driver) { return LowerAscii(driver) == wanted; };
  if (position >= 0 && static_cast<size_t>(position) < drivers.size() &&
      named(drivers[static_cast<size_t>(position)]))
    return position;
  const auto found = std::find_if(drivers.begin(), drivers.end(), named);
  if (found == drivers.end()) return std::nullopt;
  return static_cast<int32_t>(found - drivers.begin());
}

const std::string& KeyPath() {
  return CurrentKeyPath();
}
void SetKeyPath(const std::string& path) {
  CurrentKeyPath() = path;
}

std::unique_ptr<platform::RegistryKey> OpenForWriting() {
  return platform::RegistryKey::Open(platform::RegistryRoot::CurrentUser, KeyPath(),
                                     platform::RegistryAccess::Full, true);
}

std::unique_ptr<platform::RegistryKey> OpenForReading() {
  return platform::RegistryKey::Open(platform::RegistryRoot::CurrentUser, KeyPath(),
                                     platform::RegistryAccess::ReadOnly);
}

bool ReadBoolean(const platform::RegistryKey& key, const std::string& name) {
  const std::optional<int32_t> value = key.ReadInteger(name);
  return value && *value != 0;
}

void WriteBoolean(platform::RegistryKey& key, const std::string& name, bool value) {
  key.WriteInteger(name, value ? 1 : 0);
}

void StoreWindowState(platform::RegistryKey& key, bool visible, int32_t left, int32_t top) {
  WriteBoolean(key, kVisible, visible);
  key.WriteInteger(kLeft, left);
  key.WriteInteger(kTop, top);
}

std::string ChannelDisplayText(const ASIOChannelInfo& info) {
  const char* const end = std::find(info.name, info.name + sizeof(info.name), '\0');
  return std::to_string(info.channel) + " - " + std::string(info.name, end);
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace settings
