#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The system registry. On Windows the real one; elsewhere a substitute kept in a file per
// hive below the directory named by PARTILOOM_REGISTRY (default: ~/.config/partiloom-registry),
// with the registry's rules: key and value names are case-insensitive, sub-keys enumerate
// in case-insensitive name order, and every change reaches the disk whole or not at all.
namespace platform {

enum class RegistryRoot { CurrentUser, LocalMachine, ClassesRoot };
enum class RegistryAccess { ReadOnly, Full };

class RegistryKey {
 public:
  // Opens `path` (backslash-separated, from the hive root). With `create`, a missing key and
  // its missing parents are made (needs Full access). Empty when the key cannot be opened.
  static std::unique_ptr<RegistryKey> Open(RegistryRoot root, const std::string& path,
                                           RegistryAccess access, bool create = false);
  // Removes a key with everything below it. False when it did not exist or could not go.
  static bool DeleteTree(RegistryRoot root, const std::string& path);

  virtual ~RegistryKey() = default;

  // An empty name is the key's default value.
  virtual bool ValueExists(const std::string& name) const = 0;
  virtual std::optional<std::string> ReadString(const std::string& name) const = 0;
  virtual std::optional<int32_t> ReadInteger(const std::string& name) const = 0;
  virtual bool WriteString(const std::string& name, const std::string& value) = 0;
  virtual bool WriteInteger(const std::string& name, int32_t value) = 0;
  virtual bool DeleteValue(const std::string& name) = 0;
  // The names of the direct sub-keys, in the registry's enumeration order.
  virtual std::vector<std::string> SubKeyNames() const = 0;
};

}  // namespace platform
