// A second module with its own copy of the controls, as the plug-in sits beside the player
// harness: the tests drive its windows by name and handle only.
#include <memory>

#include "platform/ui.h"

namespace {

using namespace platform;

std::unique_ptr<Control> g_form, g_button, g_combo, g_in_host;
int g_clicks = 0, g_changes = 0, g_closes = 0;

}  // namespace

// Makes a form owned by `host` with a button and a combo box, and a button inside `host`
// itself; returns the form.
extern "C" __declspec(dllexport) void* UiModuleOpen(void* host) {
  g_form =
      Control::CreateTopLevel(ControlKind::Form, "module_form", "Module", host, {30, 30, 320, 200});
  g_button = Control::CreateChild(ControlKind::Button, *g_form, "module_button", {10, 10, 80, 25},
                                  "Press");
  g_combo = Control::CreateChild(ControlKind::ComboBox, *g_form, "module_combo", {10, 50, 150, 21});
  g_combo->SetItems({"one", "two", "three"});
  g_in_host = Control::CreateChildOf(ControlKind::Button, host, "module_in_host", {200, 10, 80, 25},
                                     "Inside");
  g_button->OnClick = [] { ++g_clicks; };
  g_in_host->OnClick = [] { ++g_clicks; };
  g_combo->OnChange = [] { ++g_changes; };
  g_form->OnClose = [] { ++g_closes; };
  return g_form->Handle();
}

// 0: clicks, 1: selection changes, 2: closes.
extern "C" __declspec(dllexport) int UiModuleCount(int which) {
  return which == 0 ? g_clicks : which == 1 ? g_changes : g_closes;
}

extern "C" __declspec(dllexport) void UiModuleClose() {
  g_in_host.reset();
  g_combo.reset();
  g_button.reset();
  g_form.reset();
}
