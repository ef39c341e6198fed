// Saves pictures of the effect user interfaces as the screen shows them, one BMP file each,
// into the folder given as the only argument: the item's own window with a painting editor,
// the selector view, and the list view of forty parameters in a panel of the host window's
// size. Exits non-zero when a picture could not be taken.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/message_window.h"
#include "platform/ui.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

// Lets the windows paint before they are captured.
void Settle() {
  for (int i = 0; i < 10; ++i) platform::WaitAndPumpMessages(30);
}

bool Save(platform::NativeWindow window, const std::string& folder, const std::string& name) {
  Settle();
  const std::string path = folder + "/" + name + ".bmp";
  if (platform::CaptureWindowImage(window, path)) return true;
  std::fprintf(stderr, "could not capture %s\n", path.c_str());
  return false;
}

TVstPlugIn& Open(TVstHost& host, const std::string& kind, TGUIStyle style) {
  TVstPlugIn* item = host.VstPlugIns().Add();
  item->SetDLLFileName(EffectPath(kind));
  item->SetActive(true);
  item->SetGUIStyle(style);
  return *item;
}

// A form holding one panel, shown, with the effect's user interface in the panel.
bool SavePanel(TVstPlugIn& item, const std::string& caption, int32_t width, int32_t height,
               const std::string& folder, const std::string& name) {
  auto form = platform::Control::CreateTopLevel(platform::ControlKind::Form, "Form", caption,
                                                nullptr, {20, 20, width, height});
  auto panel = platform::Control::CreateChild(platform::ControlKind::Panel, *form, "Panel",
                                              {0, 0, width, height});
  item.ShowEdit(*panel);
  // The selector view shows a value once its track bar has moved.
  if (platform::NativeWindow bar = platform::FindNamedWindow(panel->Handle(), "ParamBar"))
    platform::MoveWindowValue(bar, 65);
  form->Show();
  const bool saved = Save(form->Handle(), folder, name);
  item.CloseEdit();
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  bool saved = true;
  try {
    TVstHost host;
    TVstPlugIn& painter = Open(host, "painter", gsDefault);
    painter.ShowEdit();
    saved &= Save(painter.EditorForm()->Handle(), folder, "own_window_painter");
    painter.CloseEdit();
    painter.SetGUIStyle(gsOld);
    saved &= SavePanel(painter, "Selector view", 320, 90, folder, "selector_view");
    TVstPlugIn& knobs = Open(host, "knobs40", gsDefault);
    saved &= SavePanel(knobs, "List view", 811, 683, folder, "list_view_811x683");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return saved ? 0 : 1;
}
