#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/ui.h"
#include "tools/effects/effect_log.h"

// The path of a test effect library beside the test program ("params", "chunk", ...).
std::string EffectPath(const std::string& kind);

// Sets a variable of the test program's environment, which the helper processes it starts
// inherit.
void SetEnvironment(const char* name, const std::string& value);

// Keeps a test effect library loaded for the whole test and reads what the effect recorded.
class TEffectProbe {
 public:
  explicit TEffectProbe(const std::string& kind);
  const std::string& Path() const { return path_; }
  TEffectLog& Log() const { return *log_; }
  void Clear() const { log_->count = 0; }
  void Arm(uint32_t faults) const;
  void* Export(const char* name) const { return library_.Export(name); }
  // The dispatcher opcodes received, in order (marks left out).
  std::vector<int32_t> Requests() const;
  // All entries with this opcode or mark.
  std::vector<TEffectLogEntry> Entries(int32_t opcode) const;

 private:
  std::string path_;
  platform::DynamicLibrary library_;
  TEffectLog* log_ = nullptr;
};

// A shown form with a panel filling it, as the host window gives an effect's editor.
struct TEditorPanel {
  explicit TEditorPanel(int32_t width = 300, int32_t height = 200)
      : form(platform::Control::CreateTopLevel(platform::ControlKind::Form, "TestForm", "Test",
                                               nullptr, {100, 100, width, height})),
        panel(platform::Control::CreateChild(platform::ControlKind::Panel, *form, "Panel",
                                             {0, 0, width, height})) {
    form->Show();
  }
  std::unique_ptr<platform::Control> form;
  std::unique_ptr<platform::Control> panel;
};
