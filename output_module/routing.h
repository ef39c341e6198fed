#pragma once

// The dialog that picks, for each of the effect's first eight outputs, the driver channel it
// plays on. The choice is stored per driver by the channels' display texts.
#include <array>
#include <memory>

#include "common/object.h"
#include "platform/ui.h"

class TFmASIOConfig;

class TFmRouting : public TObject {
 public:
  // Laid out hidden, owned by the host window.
  explicit TFmRouting(TFmASIOConfig& Owner);
  ~TFmRouting() override;
  TFmRouting(const TFmRouting&) = delete;
  TFmRouting& operator=(const TFmRouting&) = delete;

  // Selects in each list the channel stored for its output, and moves the host window to
  // where it was when the dialog was last closed.
  void FormShow(TObject* Sender);
  // Stores the host window's position and the eight selections.
  void FormClose(TObject* Sender);

  std::unique_ptr<platform::Control> Form;
  std::unique_ptr<platform::Control> GroupBox1;
  std::array<std::unique_ptr<platform::Control>, 8> LbOutput;  // LbOutput1 .. LbOutput8
  std::array<std::unique_ptr<platform::Control>, 8> CBOutput;  // CBOutput1 .. CBOutput8

 private:
  TFmASIOConfig& FOwner;
};
