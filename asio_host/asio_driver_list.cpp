#include "asio_host/asio_driver_list.h"

#include <cstdio>
#include <cstring>

#include "platform/system.h"

namespace {

using platform::RegistryAccess;
using platform::RegistryKey;

void CopyCut(char (&field)[512], const std::string& text) {
  const size_t length = text.size() < sizeof(field) - 1 ? text.size() : sizeof(field) - 1;
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

bool HasDirectoryPart(const std::string& path) {
  return path.find_first_of("\\/:") != std::string::npos;
}

}  // namespace

int FindAsioDriverPath(const std::string& ClassId, std::string& Path,
                       const TAsioDriverRegistry& Registry) {
  // An empty text would name the key above the servers.
  if (ClassId.empty()) return -1;
  auto key = RegistryKey::Open(Registry.ClassesRoot,
                               Registry.ClassesPath + "\\" + ClassId + "\\InprocServer32",
                               RegistryAccess::ReadOnly);
  if (!key) return -1;
  Path = key->ReadString("").value_or("");
  if (!Path.empty() && !HasDirectoryPart(Path)) {
    const std::string bare = Path;
    if (auto system = platform::SystemDirectory()) Path = *system + "\\" + bare;
    if (!platform::FileExists(Path)) {
      if (auto windows = platform::WindowsDirectory()) Path = *windows + "\\" + bare;
    }
  }
  return platform::FileExists(Path) ? 0 : -1;
}

void ListAsioDrivers(TAsioDriverList& List, const TAsioDriverRegistry& Registry) {
  List.clear();
  std::vector<std::string> names;
  if (auto drivers = RegistryKey::Open(Registry.DriversRoot, Registry.DriversPath,
                                       RegistryAccess::ReadOnly))
    names = drivers->SubKeyNames();

  for (const std::string& name : names) {
    auto key = RegistryKey::Open(Registry.DriversRoot, Registry.DriversPath + "\\" + name,
                                 RegistryAccess::ReadOnly);
    if (!key) continue;
    const std::string class_id = key->ReadString("clsid").value_or("");
    std::string path;
    if (FindAsioDriverPath(class_id, path, Registry) != 0) continue;
    TAsioDriverEntry entry{};
    const HRESULT parsed = platform::ClassIdFromString(class_id, &entry.Id);
    if (FAILED(parsed)) {
      char code[16];
      std::snprintf(code, sizeof(code), "%08X", static_cast<unsigned>(parsed));
      throw EAsioDriverList("The ASIO driver \"" + name + "\" has an invalid class id \"" +
                                class_id + "\" (error " + code + ")",
                            parsed);
    }
    CopyCut(entry.Name, name);
    CopyCut(entry.Path, path);
    List.push_back(entry);
  }
}
