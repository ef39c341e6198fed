#include "output_module/routing.h"

#include <exception>
#include <string>

#include "output_module/outputasio.h"
#include "output_module/settings.h"
#include "platform/message_box.h"

namespace {

constexpr int32_t kLabelTops[8] = {22, 49, 76, 103, 130, 156, 183, 210};
constexpr int32_t kListTops[8] = {19, 46, 73, 100, 127, 153, 180, 207};

}  // namespace

TFmRouting::TFmRouting(TFmASIOConfig& Owner) : FOwner(Owner) {
  using platform::Bounds;
  using platform::Control;
  using platform::ControlKind;
  Form =
      Control::CreateTopLevel(ControlKind::Form, "FmRouting", "Audio Routing", Owner.Form->Handle(),
                              Bounds{295, 254, 239, 252}, platform::FontSpec{"Tahoma", -11});
  GroupBox1 = Control::CreateChild(ControlKind::GroupBox, *Form, "GroupBox1",
                                   Bounds{8, 8, 224, 238}, " Routing ");
  for (size_t k = 0; k < CBOutput.size(); ++k) {
    const std::string number = std::to_string(k + 1);
    LbOutput[k] = Control::CreateChild(ControlKind::Label, *GroupBox1, "LbOutput" + number,
                                       Bounds{10, kLabelTops[k], 48, 13}, "Output " + number + ":");
    CBOutput[k] = Control::CreateChild(ControlKind::ComboBox, *GroupBox1, "CBOutput" + number,
                                       Bounds{63, kListTops[k], 153, 21});
    CBOutput[k]->SetTabOrder(static_cast<int32_t>(k));
  }
  // Nothing may leave a window handler: a failure is the user's to see.
  Form->OnClose = [this] {
    try {
      FormClose(this);
    } catch (const std::exception& error) {
      platform::ShowMessageBox(error.what());
    }
  };
}

TFmRouting::~TFmRouting() = default;

void TFmRouting::FormShow(TObject*) {
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForReading();
  if (!key) return;
  // The stored position is the host window's, not the dialog's.
  platform::Control& owner = *FOwner.Form;
  if (const std::optional<int32_t> top = key->ReadInteger(settings::kRoutingTop))
    owner.SetPosition(owner.GetBounds().left, *top);
  if (const std::optional<int32_t> left = key->ReadInteger(settings::kRoutingLeft))
    owner.SetPosition(*left, owner.GetBounds().top);

  const std::string& driver = FOwner.ASIOHost.GetDriverName();
  for (size_t k = 0; k < CBOutput.size(); ++k) {
    const std::string stored = settings::LowerAscii(
        key->ReadString(settings::RoutingValueName(driver, static_cast<int>(k + 1)))
            .value_or(std::string()));
    const std::vector<std::string> items = CBOutput[k]->Items();
    int32_t selected = -1;
    for (size_t i = 0; i < items.size() && selected < 0; ++i)
      if (settings::LowerAscii(items[i]) == stored) selected = static_cast<int32_t>(i);
    CBOutput[k]->SetSelectedIndex(selected);
  }
}

void TFmRouting::FormClose(TObject*) {
  std::unique_ptr<platform::RegistryKey> key = settings::OpenForWriting();
  if (!key) return;
  const platform::Bounds owner = FOwner.Form->GetBounds();
  key->WriteInteger(settings::kRoutingTop, owner.top);
  key->WriteInteger(settings::kRoutingLeft, owner.left);

  const std::string& driver = FOwner.ASIOHost.GetDriverName();
  for (size_t k = 0; k < CBOutput.size(); ++k) {
    const int32_t selected = CBOutput[k]->SelectedIndex();
    const std::vector<std::string> items = CBOutput[k]->Items();
    const std::string shown = selected >= 0 && static_cast<size_t>(selected) < items.size()
                                  ? items[static_cast<size_t>(selected)]
                                  : std::string();
    key->WriteString(settings::RoutingValueName(driver, static_cast<int>(k + 1)), shown);
  }
}
