#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The system and Windows directories (off Windows: the folders named by
// PARTILOOM_SYSTEM_DIR and PARTILOOM_WINDOWS_DIR, empty when unset).
std::optional<std::string> SystemDirectory();
std::optional<std::string> WindowsDirectory();
// Whether a file (not a directory) exists; a relative path is taken from the current
// directory. Off Windows, backslashes in the path count as separators.
bool FileExists(const std::string& path);
// The folder of the running program, without a trailing separator.
std::string ExecutableDirectory();
// The full path of the executable or library that holds `address`; empty if none does.
std::string ModulePath(const void* address);

void SleepMilliseconds(uint32_t milliseconds);
// Raises the calling thread to the priority a driver's audio thread runs at, so that a thread
// which must answer within the driver's block is not put behind ordinary work. False where
// the system refuses (off Windows, an unprivileged process).
bool RaiseThreadToAudioPriority();
// Hands a text to the system's debugger output (Windows); elsewhere there is none.
void WriteDebugOutput(const std::string& text);
// Milliseconds since some fixed point; wraps like the system tick count.
uint32_t TickCount();
int64_t PerformanceCounter();
int64_t PerformanceFrequency();

}  // namespace platform
