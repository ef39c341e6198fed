#pragma once

// The bookkeeping of the modal runs of ui.h, the same on both sides (modal_runs.cpp): which
// runs each thread has in progress, innermost last, and whether new ones are refused. What
// a run without an `end` of its own is (a loop of the system's, with a dialog box of its
// own) is each side's.
#include <memory>

namespace platform {

// Watches, while a run without `end` lasts, for the dialog box that the system's loop of the
// run makes on its thread, and asks that box to close when the run is ended.
class ModalDialogWatch {
 public:
  virtual ~ModalDialogWatch() = default;
  virtual void CloseDialog() = 0;
};

// Each side's: a watch on the calling thread, or null where no system loop makes a box.
std::unique_ptr<ModalDialogWatch> WatchForModalDialog();

// The watch of the calling thread's innermost run, when that run has no `end`; else null.
ModalDialogWatch* InnermostModalDialogWatch();

// Each side's: keeps the module of this code loaded to the end of the process.
void PinThisModule();

}  // namespace platform
