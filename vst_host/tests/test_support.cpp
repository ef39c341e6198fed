#include "vst_host/tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "platform/system.h"

std::string EffectPath(const std::string& kind) {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "\\partiloom_effect_" + kind + ".dll";
#else
  return platform::ExecutableDirectory() + "/partiloom_effect_" + kind + ".so";
#endif
}

TEffectProbe::TEffectProbe(const std::string& kind) : path_(EffectPath(kind)) {
  platform::LibraryLoadResult loaded = platform::LoadLibraryFile(path_);
  if (!loaded.handle) throw std::runtime_error("cannot load " + path_ + ": " + loaded.error_text);
  library_.Reset(loaded.handle);
  auto log = reinterpret_cast<TestEffectLogProc>(library_.Export("TestEffectLog"));
  if (!log) throw std::runtime_error("no log in " + path_);
  log_ = log();
  Clear();
}

void TEffectProbe::Arm(uint32_t faults) const {
  auto arm = reinterpret_cast<TestEffectArmProc>(library_.Export("TestEffectArm"));
  arm(faults);
}

std::vector<int32_t> TEffectProbe::Requests() const {
  std::vector<int32_t> opcodes;
  for (int i = 0; i < log_->count; ++i)
    if (log_->entries[i].opcode >= 0) opcodes.push_back(log_->entries[i].opcode);
  return opcodes;
}

std::vector<TEffectLogEntry> TEffectProbe::Entries(int32_t opcode) const {
  std::vector<TEffectLogEntry> found;
  for (int i = 0; i < log_->count; ++i)
    if (log_->entries[i].opcode == opcode) found.push_back(log_->entries[i]);
  return found;
}

void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}
