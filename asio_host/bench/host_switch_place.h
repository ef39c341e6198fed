#pragma once

// A registry place of the benchmark's own for its in-program driver, gone afterwards: off
// Windows a substitute registry in a temporary folder, on Windows a key below the current
// user.
#include <cstdlib>
#include <string>

#include "platform/registry.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <filesystem>
#endif

class BenchRegistryPlace {
 public:
  BenchRegistryPlace() {
#if defined(_WIN32)
    base_ = "Software\\PartiloomBench\\" + std::to_string(GetCurrentProcessId());
#else
    char pattern[] = "/tmp/partiloom-bench-XXXXXX";
    if (mkdtemp(pattern)) directory_ = pattern;
    setenv("PARTILOOM_REGISTRY", directory_.c_str(), 1);
    base_ = "Software\\PartiloomBench";
#endif
  }
  ~BenchRegistryPlace() {
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, base_);
#if !defined(_WIN32)
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
#endif
  }
  const std::string& Base() const { return base_; }

 private:
  std::string base_;
  std::string directory_;
};
