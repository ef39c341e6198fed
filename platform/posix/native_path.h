#pragma once

#include <string>

namespace platform {

// Paths built the Windows way (folder + backslash + name) name the same file here.
inline std::string NativePath(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace platform
