#pragma once

#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "tools/effects/effect_log.h"

// The path of a test effect library beside the test program ("params", "chunk", ...).
std::string EffectPath(const std::string& kind);

// Keeps a test effect library loaded for the whole test and reads what the effect recorded.
class TEffectProbe {
 public:
  explicit TEffectProbe(const std::string& kind);
  const std::string& Path() const { return path_; }
  TEffectLog& Log() const { return *log_; }
  void Clear() const { log_->count = 0; }
  void Arm(uint32_t faults) const;
  // The dispatcher opcodes received, in order (marks left out).
  std::vector<int32_t> Requests() const;
  // All entries with this opcode or mark.
  std::vector<TEffectLogEntry> Entries(int32_t opcode) const;

 private:
  std::string path_;
  platform::DynamicLibrary library_;
  TEffectLog* log_ = nullptr;
};
