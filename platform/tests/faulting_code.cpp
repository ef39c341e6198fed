#include "platform/tests/faulting_code.h"

#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "platform/fpu.h"

namespace faulting {

void WriteToAddress(uintptr_t address) { *reinterpret_cast<volatile int*>(address) = 1; }

int DivideIntegers(int dividend, int divisor) {
  int quotient;
  // Written as the instruction so that no compiler check gets in first.
  __asm__ volatile("cltd\n\tidivl %2" : "=a"(quotient) : "a"(dividend), "r"(divisor) : "edx");
  return quotient;
}

#pragma GCC diagnostic ignored "-Winfinite-recursion"
int RecurseWithoutEnd(int depth) {
  volatile char frame[512];
  frame[depth % 512] = static_cast<char>(depth);
  return RecurseWithoutEnd(depth + 1) + frame[(depth + 1) % 512];
}

void ThrowCxxException() { throw std::runtime_error("thrown inside"); }

void ChangeFpuStateThenFault(uint16_t x87_control_word, uint32_t mxcsr) {
  platform::WriteX87ControlWord(x87_control_word);
  platform::WriteMxcsr(mxcsr);
  WriteToAddress(16);
}

#if defined(_WIN32)
void RaiseForeignCxxException() { RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr); }
#endif

}  // namespace faulting
