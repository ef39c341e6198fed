#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/fpu.h"

namespace platform {

LibraryLoadResult LoadLibraryFile(const std::string& path) {
  LibraryLoadResult result;
  const uint16_t control_word = ReadX87ControlWord();
  const uint32_t mxcsr = ReadMxcsr();
  const UINT previous_mode =
      SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT);
  HMODULE module = LoadLibraryA(path.c_str());
  const DWORD error = module ? 0 : GetLastError();
  SetErrorMode(previous_mode);
  WriteX87ControlWord(control_word);
  WriteMxcsr(mxcsr);

  result.handle = module;
  if (!module) {
    result.error_code = error;
    result.error_text = SystemErrorMessage(error);
  }
  return result;
}

void* FindLibraryExport(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void FreeLibraryHandle(LibraryHandle library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string SystemErrorMessage(uint32_t code, size_t max_length) {
  char buffer[1024];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, code, 0, buffer, sizeof(buffer), nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  if (text.size() > max_length) text.resize(max_length);
  return text;
}

}  // namespace platform
