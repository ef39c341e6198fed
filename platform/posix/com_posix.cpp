#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/com.h"
#include "platform/dynamic_library.h"
#include "platform/registry.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool operator==(const GUID& a, const GUID& b) noexcept { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

namespace platform {
namespace {

using GetClassObjectRoutine = HRESULT (*)(REFCLSID, REFIID, void**);

// In-process servers stay loaded for the life of the process, as their objects may.
std::mutex g_servers_mutex;
std::map<std::string, LibraryHandle> g_servers;

bool ParseHex(const char* text, int digits, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = text[i];
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    *value = *value * 16 + static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : std::toupper(c) - 'A' + 10);
  }
  return true;
}

}  // namespace

HRESULT ClassIdFromString(const std::string& text, GUID* id) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  static constexpr int kGroupStart[] = {1, 10, 15, 20, 25};
  static constexpr int kGroupDigits[] = {8, 4, 4, 4, 12};
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return CO_E_CLASSSTRING;
  uint64_t group[5];
  for (int g = 0; g < 5; ++g) {
    if (g > 0 && text[kGroupStart[g] - 1] != '-') return CO_E_CLASSSTRING;
    if (!ParseHex(text.c_str() + kGroupStart[g], kGroupDigits[g], &group[g])) return CO_E_CLASSSTRING;
  }
  GUID parsed;
  parsed.Data1 = static_cast<uint32_t>(group[0]);
  parsed.Data2 = static_cast<uint16_t>(group[1]);
  parsed.Data3 = static_cast<uint16_t>(group[2]);
  parsed.Data4[0] = static_cast<uint8_t>(group[3] >> 8);
  parsed.Data4[1] = static_cast<uint8_t>(group[3]);
  for (int i = 0; i < 6; ++i) parsed.Data4[2 + i] = static_cast<uint8_t>(group[4] >> (40 - 8 * i));
  *id = parsed;
  return S_OK;
}

std::string ClassIdToString(const GUID& id) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                id.Data1, id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3],
                id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

HRESULT ComInitialize() { return S_OK; }
void ComUninitialize() {}

HRESULT CreateInProcessObject(const GUID& class_id, const GUID& interface_id, void** object) {
  *object = nullptr;
  auto key = RegistryKey::Open(RegistryRoot::ClassesRoot,
                               "CLSID\\" + ClassIdToString(class_id) + "\\InprocServer32",
                               RegistryAccess::ReadOnly);
  if (!key) return REGDB_E_CLASSNOTREG;
  const std::string path = key->ReadString("").value_or("");
  if (path.empty()) return REGDB_E_CLASSNOTREG;

  LibraryHandle server = nullptr;
  {
    std::lock_guard lock(g_servers_mutex);
    auto loaded = g_servers.find(path);
    if (loaded != g_servers.end()) {
      server = loaded->second;
    } else {
      server = LoadLibraryFile(path).handle;
      if (!server) return CO_E_DLLNOTFOUND;
      g_servers.emplace(path, server);
    }
  }
  auto get_class_object =
      reinterpret_cast<GetClassObjectRoutine>(FindLibraryExport(server, "DllGetClassObject"));
  if (!get_class_object) return CO_E_ERRORINDLL;

  IClassFactory* factory = nullptr;
  HRESULT result = get_class_object(class_id, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(result) || factory == nullptr) return FAILED(result) ? result : E_FAIL;
  result = factory->CreateInstance(nullptr, interface_id, object);
  factory->Release();
  if (FAILED(result)) *object = nullptr;
  return result;
}

}  // namespace platform
