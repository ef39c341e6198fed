#pragma once

#include <cstdint>
#include <string>

namespace platform {

using LibraryHandle = void*;

struct LibraryLoadResult {
  LibraryHandle handle = nullptr;
  uint32_t error_code = 0;   // the system's error code when the load failed (0 if it has none)
  std::string error_text;    // the system's text for it; may be empty
};

// Loads a library by path with the system's error boxes suppressed; the floating-point
// control word is the same after the load as before it (library start-up code may change it).
LibraryLoadResult LoadLibraryFile(const std::string& path);
void* FindLibraryExport(LibraryHandle library, const char* name);
void FreeLibraryHandle(LibraryHandle library);
// The system's message text for an error code, at most `max_length` characters, without a
// trailing line break; empty when the system has none.
std::string SystemErrorMessage(uint32_t code, size_t max_length = 256);

// Owns a loaded library and frees it when it goes.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  explicit DynamicLibrary(LibraryHandle handle) : handle_(handle) {}
  DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.Release()) {}
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary() { Reset(); }

  bool Loaded() const { return handle_ != nullptr; }
  LibraryHandle Handle() const { return handle_; }
  void* Export(const char* name) const { return handle_ ? FindLibraryExport(handle_, name) : nullptr; }
  void Reset(LibraryHandle handle = nullptr) {
    if (handle_) FreeLibraryHandle(handle_);
    handle_ = handle;
  }
  LibraryHandle Release() {
    LibraryHandle h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  LibraryHandle handle_ = nullptr;
};

}  // namespace platform
