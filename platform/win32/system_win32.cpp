#include <windows.h>

#include "platform/system.h"
#include "platform/win32/this_module.h"

namespace platform {
namespace {

std::optional<std::string> DirectoryFrom(UINT (*query)(LPSTR, UINT)) {
  char path[1024];
  UINT length = query(path, sizeof(path) - 1);
  if (length == 0 || length >= sizeof(path) - 1) return std::nullopt;
  return std::string(path, length);
}

}  // namespace

std::optional<std::string> SystemDirectory() {
  return DirectoryFrom([](LPSTR p, UINT n) { return GetSystemDirectoryA(p, n); });
}

std::optional<std::string> WindowsDirectory() {
  return DirectoryFrom([](LPSTR p, UINT n) { return GetWindowsDirectoryA(p, n); });
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ExecutableDirectory() {
  char path[MAX_PATH * 2];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string directory(path, length);
  const size_t slash = directory.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : directory.substr(0, slash);
}

HMODULE ModuleHolding(const void* address) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      static_cast<LPCSTR>(address), &module);
  return module;
}

HINSTANCE ThisModule() {
  static const HINSTANCE module = ModuleHolding(reinterpret_cast<const void*>(&ThisModule));
  return module;
}

std::string ModulePath(const void* address) {
  const HMODULE module = ModuleHolding(address);
  if (!module) return std::string();
  char path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameA(module, path, sizeof(path));
  return std::string(path, length);
}

void SleepMilliseconds(uint32_t milliseconds) {
  Sleep(milliseconds);
}
bool RaiseThreadToAudioPriority() {
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != FALSE;
}

uint32_t TickCount() {
  return GetTickCount();
}

int64_t PerformanceCounter() {
  LARGE_INTEGER value;
  QueryPerformanceCounter(&value);
  return value.QuadPart;
}

int64_t PerformanceFrequency() {
  LARGE_INTEGER value;
  QueryPerformanceFrequency(&value);
  return value.QuadPart;
}

void WriteDebugOutput(const std::string& text) {
  OutputDebugStringA(text.c_str());
}

}  // namespace platform
