#include <windows.h>
#include <objbase.h>

#include <cstdio>

#include "platform/com.h"

namespace platform {

HRESULT ClassIdFromString(const std::string& text, GUID* id) {
  wchar_t wide[128];
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, 128);
  if (length == 0) return CO_E_CLASSSTRING;
  return CLSIDFromString(wide, id);
}

std::string ClassIdToString(const GUID& id) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

HRESULT ComInitialize() { return CoInitialize(nullptr); }
void ComUninitialize() { CoUninitialize(); }

HRESULT CreateInProcessObject(const GUID& class_id, const GUID& interface_id, void** object) {
  *object = nullptr;
  return CoCreateInstance(class_id, nullptr, CLSCTX_INPROC_SERVER, interface_id, object);
}

}  // namespace platform
