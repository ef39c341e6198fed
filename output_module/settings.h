#pragma once

// What the output module remembers between runs: one registry key of the current user and
// one preset file in the current directory.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "asio_host/asio.h"
#include "platform/registry.h"

namespace settings {

constexpr char kKeyPath[] = "Software\\WinAmp\\Partiloom";

constexpr char kVisible[] = "Visible";           // Boolean: the host window is shown
constexpr char kLeft[] = "Left";                 // integer: the host window's left edge
constexpr char kTop[] = "Top";                   // integer: the host window's top edge
constexpr char kVstPlugin[] = "VST Plugin";      // string: full path of the effect library
constexpr char kDriver[] = "Driver";             // integer: position in the driver list
constexpr char kDriverName[] = "Driver Name";    // string: name of the driver at "Driver"
constexpr char kRoutingTop[] = "Routing Top";    // integer: host window top at dialog close
constexpr char kRoutingLeft[] = "Routing Left";  // integer: the same, left edge
// Boolean: the effect runs in a helper process of its own, also when the plug-in could load
// it; a value that is no number reads as false (in the plug-in's process, where it always ran).
constexpr char kOwnProcess[] = "Own Process";

constexpr int kRoutedOutputs = 8;

// "Routing <driver> Channel <k>": the display text of the driver channel that effect output
// k (1 .. 8) goes to, stored per driver name.
std::string RoutingValueName(const std::string& driver_name, int output);

// Where the driver stored as "Driver" `position` and "Driver Name" `name` is in the list of
// installed `drivers` now: at the position while it still holds the name (as the registry
// compares names) or no name was stored (older versions); where the name is, when installing
// or removing another driver moved it; nothing when no driver of that name is installed.
std::optional<int32_t> FindStoredDriver(const std::vector<std::string>& drivers, int32_t position,
                                        const std::string& name);

// The preset file, without a directory: it lies in the process's current directory.
constexpr char kPresetFileName[] = "out_partiloom.fxp";

// The key path in use. Tests point it elsewhere so that they do not share the user's key.
const std::string& KeyPath();
void SetKeyPath(const std::string& path);

// Opens the key with full access, creating it when missing; empty when it cannot be opened.
std::unique_ptr<platform::RegistryKey> OpenForWriting();
// Opens the key read-only; empty when it does not exist or cannot be opened.
std::unique_ptr<platform::RegistryKey> OpenForReading();

// Booleans are numbers: any non-zero value reads as true.
bool ReadBoolean(const platform::RegistryKey& key, const std::string& name);
void WriteBoolean(platform::RegistryKey& key, const std::string& name, bool value);

// The window's visibility and position, as both shutdown steps store them.
void StoreWindowState(platform::RegistryKey& key, bool visible, int32_t left, int32_t top);

// How a driver channel is shown and stored: its number, " - ", its name (at most 32
// characters, ending at the first zero character).
std::string ChannelDisplayText(const ASIOChannelInfo& info);
// Only the ASCII letters A-Z are folded, as the stored texts are compared.
std::string LowerAscii(std::string text);

}  // namespace settings
