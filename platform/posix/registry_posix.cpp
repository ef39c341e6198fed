// The substitute registry: one text file per hive, read whole for every operation and
// replaced whole (written beside it, flushed, renamed over it) for every change, so that a
// crash mid-write leaves either the old or the new hive, never a torn one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/registry.h"

namespace platform {
namespace {

struct Value {
  std::string name;  // as first written
  bool is_integer = false;
  std::string text;
  int32_t integer = 0;
};

struct Key {
  std::string path;  // as first written
  std::map<std::string, Value> values;  // by folded name
};

// Keys by folded path; the root key has the empty path and always exists.
using Hive = std::map<std::string, Key>;

std::mutex g_hive_mutex;  // one operation at a time within the process

// Names compare as the registry compares them: folded to upper case.
std::string Fold(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string NormalizePath(const std::string& path) {
  std::string result, part;
  auto flush = [&] {
    if (part.empty()) return;
    if (!result.empty()) result += '\\';
    result += part;
    part.clear();
  };
  for (char c : path) {
    if (c == '\\' || c == '/') flush();
    else part += c;
  }
  flush();
  return result;
}

std::string ParentPath(const std::string& path) {
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string RegistryDirectory() {
  if (const char* dir = std::getenv("PARTILOOM_REGISTRY"); dir && *dir) return dir;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/partiloom-registry";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.config/partiloom-registry";
}

std::string HiveFile(RegistryRoot root) {
  const char* name = root == RegistryRoot::CurrentUser    ? "HKEY_CURRENT_USER"
                     : root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE"
                                                          : "HKEY_CLASSES_ROOT";
  return RegistryDirectory() + "/" + name + ".reg";
}

// Strings are stored quoted with C-style escapes, so any byte survives the round trip.
std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[5];
          std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// Reads a quoted string at `pos`; false for malformed text.
bool Unquote(const std::string& line, size_t& pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return false;
  out.clear();
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= line.size()) return false;
    switch (line[pos]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'x': {
        if (pos + 2 >= line.size()) return false;
        const std::string hex = line.substr(pos + 1, 2);
        if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[1])))
          return false;
        out += static_cast<char>(std::stoi(hex, nullptr, 16));
        pos += 2;
        break;
      }
      default: out += line[pos];
    }
  }
  return false;
}

void AddKey(Hive& hive, const std::string& path) {
  for (std::string p = path;; p = ParentPath(p)) {
    auto [it, inserted] = hive.try_emplace(Fold(p));
    if (inserted) it->second.path = p;
    if (p.empty() || !inserted) break;
  }
}

// A malformed line is skipped; whatever else the file holds is kept.
Hive LoadHive(RegistryRoot root) {
  Hive hive;
  hive[""];
  std::ifstream in(HiveFile(root), std::ios::binary);
  std::string line;
  Key* current = &hive[""];
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    size_t pos = 0;
    if (line[0] == '[') {
      pos = 1;
      std::string path;
      if (!Unquote(line, pos, path) || pos >= line.size() || line[pos] != ']') {
        current = nullptr;
        continue;
      }
      path = NormalizePath(path);
      AddKey(hive, path);
      current = &hive[Fold(path)];
      continue;
    }
    if (current == nullptr) continue;
    Value value;
    if (!Unquote(line, pos, value.name) || pos >= line.size() || line[pos] != '=') continue;
    ++pos;
    if (line.compare(pos, 6, "dword:") == 0) {
      char* end = nullptr;
      const std::string digits = line.substr(pos + 6);
      const unsigned long number = std::strtoul(digits.c_str(), &end, 16);
      if (digits.empty() || *end != '\0' || number > 0xFFFFFFFFul) continue;
      value.is_integer = true;
      value.integer = static_cast<int32_t>(static_cast<uint32_t>(number));
    } else if (!Unquote(line, pos, value.text) || pos != line.size()) {
      continue;
    }
    current->values[Fold(value.name)] = value;
  }
  return hive;
}

bool SaveHive(RegistryRoot root, const Hive& hive) {
  std::ostringstream out;
  for (const auto& [folded, key] : hive) {
    out << '[' << Quote(key.path) << "]\n";
    for (const auto& [folded_name, value] : key.values) {
      out << Quote(value.name) << '=';
      if (value.is_integer) {
        char number[16];
        std::snprintf(number, sizeof(number), "dword:%08X", static_cast<uint32_t>(value.integer));
        out << number << '\n';
      } else {
        out << Quote(value.text) << '\n';
      }
    }
  }
  const std::string data = out.str();
  const std::string directory = RegistryDirectory();
  mkdir(directory.c_str(), 0700);
  const std::string file = HiveFile(root);
  const std::string temporary = file + ".tmp" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = write(fd, data.data() + written, data.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool complete = written == data.size() && fsync(fd) == 0;
  close(fd);
  if (!complete || std::rename(temporary.c_str(), file.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

class PosixRegistryKey final : public RegistryKey {
 public:
  PosixRegistryKey(RegistryRoot root, std::string path, RegistryAccess access)
      : root_(root), path_(std::move(path)), folded_path_(Fold(path_)), access_(access) {}

  bool ValueExists(const std::string& name) const override {
    std::lock_guard lock(g_hive_mutex);
    const Hive hive = LoadHive(root_);
    return FindValue(hive, name) != nullptr;
  }

  std::optional<std::string> ReadString(const std::string& name) const override {
    std::lock_guard lock(g_hive_mutex);
    const Hive hive = LoadHive(root_);
    const Value* value = FindValue(hive, name);
    if (value == nullptr || value->is_integer) return std::nullopt;
    return value->text;
  }

  std::optional<int32_t> ReadInteger(const std::string& name) const override {
    std::lock_guard lock(g_hive_mutex);
    const Hive hive = LoadHive(root_);
    const Value* value = FindValue(hive, name);
    if (value == nullptr || !value->is_integer) return std::nullopt;
    return value->integer;
  }

  bool WriteString(const std::string& name, const std::string& text) override {
    Value value;
    value.name = name;
    value.text = text;
    return Store(value);
  }

  bool WriteInteger(const std::string& name, int32_t integer) override {
    Value value;
    value.name = name;
    value.is_integer = true;
    value.integer = integer;
    return Store(value);
  }

  bool DeleteValue(const std::string& name) override {
    if (access_ != RegistryAccess::Full) return false;
    std::lock_guard lock(g_hive_mutex);
    Hive hive = LoadHive(root_);
    auto key = hive.find(folded_path_);
    if (key == hive.end() || key->second.values.erase(Fold(name)) == 0) return false;
    return SaveHive(root_, hive);
  }

  std::vector<std::string> SubKeyNames() const override {
    std::lock_guard lock(g_hive_mutex);
    const Hive hive = LoadHive(root_);
    std::vector<std::string> names;
    if (hive.count(folded_path_) == 0) return names;
    // The hive is ordered by folded path, so the children come in enumeration order.
    for (const auto& [folded, key] : hive) {
      if (folded.empty() || ParentPath(folded) != folded_path_) continue;
      names.push_back(key.path.substr(path_.empty() ? 0 : path_.size() + 1));
    }
    return names;
  }

 private:
  const Value* FindValue(const Hive& hive, const std::string& name) const {
    auto key = hive.find(folded_path_);
    if (key == hive.end()) return nullptr;
    auto value = key->second.values.find(Fold(name));
    return value == key->second.values.end() ? nullptr : &value->second;
  }

  bool Store(const Value& value) {
    if (access_ != RegistryAccess::Full) return false;
    std::lock_guard lock(g_hive_mutex);
    Hive hive = LoadHive(root_);
    auto key = hive.find(folded_path_);
    if (key == hive.end()) return false;  // deleted since it was opened
    auto [it, inserted] = key->second.values.try_emplace(Fold(value.name), value);
    if (!inserted) {
      const std::string first_name = it->second.name;
      it->second = value;
      it->second.name = first_name;
    }
    return SaveHive(root_, hive);
  }

  RegistryRoot root_;
  std::string path_;
  std::string folded_path_;
  RegistryAccess access_;
};

}  // namespace

std::unique_ptr<RegistryKey> RegistryKey::Open(RegistryRoot root, const std::string& path,
                                               RegistryAccess access, bool create) {
  const std::string normalized = NormalizePath(path);
  std::lock_guard lock(g_hive_mutex);
  Hive hive = LoadHive(root);
  auto key = hive.find(Fold(normalized));
  if (key == hive.end()) {
    if (!create || access != RegistryAccess::Full) return nullptr;
    AddKey(hive, normalized);
    if (!SaveHive(root, hive)) return nullptr;
    key = hive.find(Fold(normalized));
  }
  return std::make_unique<PosixRegistryKey>(root, key->second.path, access);
}

bool RegistryKey::DeleteTree(RegistryRoot root, const std::string& path) {
  const std::string folded = Fold(NormalizePath(path));
  if (folded.empty()) return false;
  std::lock_guard lock(g_hive_mutex);
  Hive hive = LoadHive(root);
  if (hive.erase(folded) == 0) return false;
  const std::string prefix = folded + '\\';
  for (auto it = hive.lower_bound(prefix); it != hive.end() && it->first.starts_with(prefix);)
    it = hive.erase(it);
  return SaveHive(root, hive);
}

}  // namespace platform
