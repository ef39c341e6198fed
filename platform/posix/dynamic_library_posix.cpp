#include <dlfcn.h>

#include <cstring>

#include "platform/dynamic_library.h"
#include "platform/fpu.h"
#include "platform/posix/native_path.h"

namespace platform {

LibraryLoadResult LoadLibraryFile(const std::string& path) {
  LibraryLoadResult result;
  const uint16_t control_word = ReadX87ControlWord();
  const uint32_t mxcsr = ReadMxcsr();
  result.handle = dlopen(NativePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  WriteX87ControlWord(control_word);
  WriteMxcsr(mxcsr);
  if (!result.handle) {
    const char* text = dlerror();
    result.error_text = text ? text : "";
  }
  return result;
}

void* FindLibraryExport(LibraryHandle library, const char* name) { return dlsym(library, name); }

void FreeLibraryHandle(LibraryHandle library) { dlclose(library); }

std::string SystemErrorMessage(uint32_t code, size_t max_length) {
  if (code == 0) return std::string();
  std::string text = std::strerror(static_cast<int>(code));
  if (text.size() > max_length) text.resize(max_length);
  return text;
}

}  // namespace platform
