// Crashes outside any guard: the Wine prefix must report that as a failure (a fault exit
// code), not pass it through a debugger that ends the program with 0.
#include "platform/tests/faulting_code.h"

int main() {
  faulting::WriteToAddress(16);
  return 0;
}
