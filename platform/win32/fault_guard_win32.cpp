#include <malloc.h>
#include <windows.h>

#include "platform/fault_guard.h"
#include "platform/fpu.h"

#if !defined(__i386__)
#error "The structured-exception guard is written for 32-bit x86"
#endif

namespace platform {
namespace {

// An exception registration record on the FS:[0] chain, followed by our own state.
struct GuardFrame {
  GuardFrame* previous;
  void* handler;
  void* jump_buffer[5];
  DWORD code;
};

extern "C" EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* establisher,
                                                      CONTEXT*, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  // Only errors (severity 3); warnings and information belong to whoever raised them.
  if ((record->ExceptionCode >> 30) != 3) return ExceptionContinueSearch;
  auto* frame = static_cast<GuardFrame*>(establisher);
  frame->code = record->ExceptionCode;
  // Lets the foreign code's own frames between the fault and us run their unwinding.
  RtlUnwind(establisher, nullptr, record, nullptr);
  __builtin_longjmp(frame->jump_buffer, 1);
}

}  // namespace

__attribute__((noinline)) bool GuardedCall(GuardedRoutine routine, void* context,
                                           uint32_t* fault_code,
                                           FloatingPointAfterReturn after) noexcept {
  const uint16_t control_word = ReadX87ControlWord();
  const uint32_t mxcsr = ReadMxcsr();
  GuardFrame frame;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(frame.previous));
  frame.handler = reinterpret_cast<void*>(&GuardHandler);
  frame.code = 0;
  volatile bool finished = false;
  // Kept across the jump: an argument need not be.
  const volatile bool restore = after == FloatingPointAfterReturn::Restored;
  if (__builtin_setjmp(frame.jump_buffer) == 0) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
    try {
      routine(context);
      finished = true;
    } catch (...) {
      frame.code = kFaultCxxException;
    }
  }
  __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.previous) : "memory");
  if (!finished) {
    if (frame.code == kFaultStackOverflow) _resetstkoflw();  // re-arm the guard page
    __asm__ volatile("fninit");  // the fault may have left the x87 register stack dirty
    WriteX87ControlWord(control_word);
    WriteMxcsr(mxcsr & ~kMxcsrStatusFlags);
  } else if (restore) {
    RestoreFloatingPointControl(control_word, mxcsr);
  }
  if (fault_code) *fault_code = finished ? 0 : frame.code;
  return finished;
}

}  // namespace platform
