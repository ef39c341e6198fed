#include <windows.h>

#include "platform/registry.h"

namespace platform {
namespace {

HKEY RootHandle(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::CurrentUser: return HKEY_CURRENT_USER;
    case RegistryRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RegistryRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
  }
  return HKEY_CURRENT_USER;
}

class Win32RegistryKey final : public RegistryKey {
 public:
  explicit Win32RegistryKey(HKEY key) : key_(key) {}
  ~Win32RegistryKey() override { RegCloseKey(key_); }

  bool ValueExists(const std::string& name) const override {
    return RegQueryValueExA(key_, name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
  }

  std::optional<std::string> ReadString(const std::string& name) const override {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return std::nullopt;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    std::string value(size, '\0');
    if (size > 0 && RegQueryValueExA(key_, name.c_str(), nullptr, &type,
                                     reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
      return std::nullopt;
    // The stored size counts the terminating zero, when the writer stored one.
    value.resize(size);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
  }

  std::optional<int32_t> ReadInteger(const std::string& name) const override {
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
      return std::nullopt;
    return static_cast<int32_t>(value);
  }

  bool WriteString(const std::string& name, const std::string& value) override {
    return RegSetValueExA(key_, name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
  }

  bool WriteInteger(const std::string& name, int32_t value) override {
    DWORD v = static_cast<DWORD>(value);
    return RegSetValueExA(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                          sizeof(v)) == ERROR_SUCCESS;
  }

  bool DeleteValue(const std::string& name) override {
    return RegDeleteValueA(key_, name.c_str()) == ERROR_SUCCESS;
  }

  std::vector<std::string> SubKeyNames() const override {
    std::vector<std::string> names;
    char name[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = sizeof(name);
      LONG result = RegEnumKeyExA(key_, index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result == ERROR_SUCCESS) names.emplace_back(name, length);
      else if (result != ERROR_MORE_DATA) break;
    }
    return names;
  }

 private:
  HKEY key_;
};

bool DeleteTreeBelow(HKEY parent, const char* name) {
  HKEY key;
  if (RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return false;
  char child[256];
  for (;;) {
    DWORD length = sizeof(child);
    if (RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    if (!DeleteTreeBelow(key, child)) break;
  }
  RegCloseKey(key);
  return RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
}

}  // namespace

std::unique_ptr<RegistryKey> RegistryKey::Open(RegistryRoot root, const std::string& path,
                                               RegistryAccess access, bool create) {
  const REGSAM sam = access == RegistryAccess::ReadOnly ? KEY_READ : KEY_ALL_ACCESS;
  HKEY key = nullptr;
  LONG result;
  if (create && access == RegistryAccess::Full) {
    result = RegCreateKeyExA(RootHandle(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             sam, nullptr, &key, nullptr);
  } else {
    result = RegOpenKeyExA(RootHandle(root), path.c_str(), 0, sam, &key);
  }
  if (result != ERROR_SUCCESS) return nullptr;
  return std::make_unique<Win32RegistryKey>(key);
}

bool RegistryKey::DeleteTree(RegistryRoot root, const std::string& path) {
  if (path.empty()) return false;
  return DeleteTreeBelow(RootHandle(root), path.c_str());
}

}  // namespace platform
