#include <malloc.h>
#include <windows.h>

#include "platform/fault_guard.h"
#include "platform/fpu.h"

#if !defined(__x86_64__)
#error "The table-based exception guard is written for x86_64"
#endif

// x64 has no exception registration chain: handlers are found through each function's unwind
// table. The guard is a small routine of its own whose table entry names GuardHandler as its
// exception handler. The dispatcher reaches it only after every frame of the foreign code has
// passed on the exception, so an effect's own handled exceptions stay its own (which a
// vectored handler, asked before every frame, would take from it).
namespace platform {
namespace {

struct GuardRecord {
  DWORD code;
};

}  // namespace
}  // namespace platform

extern "C" {
// Calls routine(context); 1 when it returned, 0 when GuardHandler unwound to GuardResume.
int PlatformGuardTrampoline(platform::GuardedRoutine routine, void* context,
                            platform::GuardRecord* record);
void PlatformGuardResume();
EXCEPTION_DISPOSITION PlatformGuardHandler(EXCEPTION_RECORD* exception, void* establisher,
                                           CONTEXT* context, DISPATCHER_CONTEXT* dispatch);
}

// The frame: 32 bytes of argument home space for the routine, the record's address above it.
// The establisher frame the dispatcher hands the handler is the stack pointer after the
// prologue, so the record lies at establisher + 32.
__asm__(
    ".text\n"
    ".globl PlatformGuardTrampoline\n"
    ".def PlatformGuardTrampoline; .scl 2; .type 32; .endef\n"
    ".seh_proc PlatformGuardTrampoline\n"
    "PlatformGuardTrampoline:\n"
    "  subq $40, %rsp\n"
    "  .seh_stackalloc 40\n"
    "  .seh_endprologue\n"
    "  .seh_handler PlatformGuardHandler, @except\n"
    "  movq %r8, 32(%rsp)\n"
    "  movq %rcx, %rax\n"
    "  movq %rdx, %rcx\n"
    "  callq *%rax\n"
    "  movl $1, %eax\n"
    ".globl PlatformGuardResume\n"
    "PlatformGuardResume:\n"
    "  addq $40, %rsp\n"
    "  retq\n"
    ".seh_endproc\n");

extern "C" EXCEPTION_DISPOSITION PlatformGuardHandler(EXCEPTION_RECORD* exception,
                                                      void* establisher, CONTEXT* context,
                                                      DISPATCHER_CONTEXT* dispatch) {
  if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;
  // Only errors (severity 3); warnings, information and our own C++ throws (severity 0)
  // belong to whoever raised them.
  if ((exception->ExceptionCode >> 30) != 3) return ExceptionContinueSearch;
  auto* record = *reinterpret_cast<platform::GuardRecord**>(static_cast<char*>(establisher) + 32);
  record->code = exception->ExceptionCode;
  // Unwinds the foreign frames (their own clean-up runs) and resumes in the trampoline with
  // 0 as its result.
  RtlUnwindEx(establisher, reinterpret_cast<void*>(&PlatformGuardResume), exception, nullptr,
              context, dispatch->HistoryTable);
  return ExceptionContinueSearch;
}

namespace platform {

__attribute__((noinline)) bool GuardedCall(GuardedRoutine routine, void* context,
                                           uint32_t* fault_code,
                                           FloatingPointAfterReturn after) noexcept {
  // Both words, as on x86: compiled code computes with SSE here, but the runtime's own
  // routines (lrint, long double) still round by the x87 word.
  const uint16_t control_word = ReadX87ControlWord();
  const uint32_t mxcsr = ReadMxcsr();
  GuardRecord record{0};
  bool finished = false;
  try {
    finished = PlatformGuardTrampoline(routine, context, &record) != 0;
  } catch (...) {
    record.code = kFaultCxxException;
  }
  if (!finished) {
    if (record.code == kFaultStackOverflow) _resetstkoflw();  // re-arm the guard page
    __asm__ volatile("fninit");  // the fault may have left the x87 register stack dirty
    WriteX87ControlWord(control_word);
    WriteMxcsr(mxcsr & ~kMxcsrStatusFlags);
  } else if (after == FloatingPointAfterReturn::Restored) {
    RestoreFloatingPointControl(control_word, mxcsr);
  }
  if (fault_code) *fault_code = finished ? 0 : record.code;
  return finished;
}

}  // namespace platform
