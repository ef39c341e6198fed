#include "platform/fpu.h"

#if !defined(__i386__) && !defined(__x86_64__)
#error "The floating-point state is handled for x86 processors only"
#endif

namespace platform {

uint16_t ReadX87ControlWord() noexcept {
  uint16_t cw;
  __asm__ volatile("fnstcw %0" : "=m"(cw));
  return cw;
}

void WriteX87ControlWord(uint16_t control_word) noexcept {
  // fnclex first: loading a word that unmasks a pending exception would raise it at once.
  __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control_word));
}

uint32_t ReadMxcsr() noexcept {
  uint32_t mxcsr;
  __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
  return mxcsr;
}

void WriteMxcsr(uint32_t mxcsr) noexcept {
  __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
}

void RestoreFloatingPointControl(uint16_t x87_control_word, uint32_t mxcsr) noexcept {
  if ((ReadX87ControlWord() ^ x87_control_word) & kX87ControlWordMask)
    WriteX87ControlWord(x87_control_word);
  if ((ReadMxcsr() ^ mxcsr) & ~kMxcsrStatusFlags) WriteMxcsr(mxcsr);
}

void ResetFloatingPointState() noexcept {
  WriteX87ControlWord(kHostX87ControlWord);
  WriteMxcsr(kHostMxcsr);
}

}  // namespace platform
