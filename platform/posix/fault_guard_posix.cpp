#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstddef>
#include <mutex>

#include "platform/fault_guard.h"
#include "platform/fpu.h"

namespace platform {
namespace {

constexpr int kGuardedSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr size_t kSignalStackSize = 256 * 1024;
// A fault this close below the thread's stack is taken as a stack overflow.
constexpr uintptr_t kStackOverflowReach = 256 * 1024;

struct GuardScope {
  sigjmp_buf jump;
  uint32_t code;
};

// Each thread handles its faults on a stack of its own, so that a stack overflow can be caught.
struct ThreadSignalStack {
  void* memory = nullptr;
  uintptr_t stack_low = 0;

  ThreadSignalStack() {
    memory =
        mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
      memory = nullptr;
      return;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kSignalStackSize;
    sigaltstack(&stack, nullptr);

    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      void* address = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attributes, &address, &size) == 0)
        stack_low = reinterpret_cast<uintptr_t>(address);
      pthread_attr_destroy(&attributes);
    }
  }
  ~ThreadSignalStack() {
    if (!memory) return;
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    sigaltstack(&disable, nullptr);
    munmap(memory, kSignalStackSize);
  }
};

thread_local GuardScope* t_scope = nullptr;
thread_local ThreadSignalStack t_signal_stack;

struct sigaction g_previous[NSIG];
std::once_flag g_install_once;

uint32_t FaultCode(int signal_number, const siginfo_t* info) {
  switch (signal_number) {
    case SIGFPE:
      if (info->si_code == FPE_INTDIV) return kFaultIntegerDivideByZero;
      if (info->si_code == FPE_FLTDIV) return kFaultFloatDivideByZero;
      return kFaultFloatInvalid;
    case SIGILL:
      return kFaultIllegalInstruction;
    default: {
      const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
      const uintptr_t low = t_signal_stack.stack_low;
      if (low != 0 && address < low && low - address <= kStackOverflowReach)
        return kFaultStackOverflow;
      return kFaultAccessViolation;
    }
  }
}

void HandleFault(int signal_number, siginfo_t* info, void* context) {
  GuardScope* scope = t_scope;
  if (scope == nullptr) {
    // Not ours: hand the fault to whoever handled it before (or the default action).
    const struct sigaction& previous = g_previous[signal_number];
    if (previous.sa_flags & SA_SIGINFO) {
      if (previous.sa_sigaction) {
        previous.sa_sigaction(signal_number, info, context);
        return;
      }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signal_number);
      return;
    }
    sigaction(signal_number, &previous, nullptr);
    return;  // the faulting instruction runs again and meets the default action
  }
  scope->code = FaultCode(signal_number, info);
  siglongjmp(scope->jump, 1);
}

void InstallHandlers() {
  struct sigaction action {};
  action.sa_sigaction = HandleFault;
  // SA_NODEFER: the jump out of the handler leaves no signal blocked, so the jump buffer need
  // not save the signal mask (which would cost a system call on every guarded call).
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kGuardedSignals)
    sigaction(signal_number, &action, &g_previous[signal_number]);
}

}  // namespace

bool GuardedCall(GuardedRoutine routine, void* context, uint32_t* fault_code,
                 FloatingPointAfterReturn after) noexcept {
  std::call_once(g_install_once, InstallHandlers);
  (void)t_signal_stack.memory;  // sets up this thread's signal stack on first use

  const uint16_t control_word = ReadX87ControlWord();
  const uint32_t mxcsr = ReadMxcsr();
  GuardScope scope;
  scope.code = 0;
  GuardScope* const outer = t_scope;
  volatile bool finished = false;
  // Kept across the jump: an argument need not be.
  const volatile bool restore = after == FloatingPointAfterReturn::Restored;
  if (sigsetjmp(scope.jump, 0) == 0) {
    t_scope = &scope;
    try {
      routine(context);
      finished = true;
    } catch (...) {
      scope.code = kFaultCxxException;
    }
  }
  t_scope = outer;
  if (!finished) {
    __asm__ volatile("fninit");
    WriteX87ControlWord(control_word);
    WriteMxcsr(mxcsr & ~kMxcsrStatusFlags);
  } else if (restore) {
    RestoreFloatingPointControl(control_word, mxcsr);
  }
  if (fault_code) *fault_code = finished ? 0 : scope.code;
  return finished;
}

}  // namespace platform
