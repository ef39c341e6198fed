#pragma once

// The effect's own editor window (Windows build): the band count, the three crossover
// frequencies, per band gain, delay, polarity and mute, and a plot of the band responses.
#include "crossover/crossover_params.h"

namespace crossover {

class TCrossoverEffect;

class TCrossoverEditor {
 public:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 420;
  // Child control identifiers: the control of parameter i, and the text showing its value.
  static constexpr int kControlBase = 1000;
  static constexpr int kTextBase = 2000;
  static constexpr char kClassName[] = "PartiloomCrossoverEditor";

  explicit TCrossoverEditor(TCrossoverEffect& effect) : effect_(effect) {}
  ~TCrossoverEditor() { Close(); }
  TCrossoverEditor(const TCrossoverEditor&) = delete;
  TCrossoverEditor& operator=(const TCrossoverEditor&) = delete;

  // Creates the editor as a child of the host's window; false when it cannot.
  bool Open(void* parent);
  void Close();
  // Follows changes made elsewhere (automation, programs, chunks).
  void Idle();

  // Called by the window procedure.
  void UserChanged(int index, float value);
  void Paint(void* dc);

 private:
  void Show(const TParamValues& values);

  TCrossoverEffect& effect_;
  void* window_ = nullptr;
  TParamValues shown_{};
};

}  // namespace crossover
