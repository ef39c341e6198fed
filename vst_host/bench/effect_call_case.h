#pragma once

// One effect call of a buffer switch behind the fault guard, as TVstPlugIn::ProcessReplacing
// makes it: a process routine of 2 inputs and 8 outputs over 256 frames (output k = (k + 1)
// times input k mod 2), or an empty routine, which leaves only the guard and the
// floating-point words. Each with the caller's words left as the routine left them, restored
// by comparing (what the host does) or by loading both unconditionally.
#include <cstdint>

#include "common/channel_arrays.h"
#include "platform/fault_guard.h"
#include "platform/fpu.h"

class EffectCallCase {
 public:
  static constexpr int32_t kFrames = 256;

  enum class Restore { None, Compared, Unconditional };

  EffectCallCase() : inputs_(2, kFrames), outputs_(8, kFrames) {
    for (int32_t i = 0; i < kFrames; ++i) {
      inputs_[0][i] = static_cast<float>(i - kFrames / 2) / kFrames;
      inputs_[1][i] = -inputs_[0][i];
    }
  }

  // The process routine; with `flush_to_zero` it turns flush-to-zero on at its end, as an
  // effect that does not put the word back (with a restore only: nothing else undoes it).
  void Process(Restore restore, bool flush_to_zero = false) noexcept {
    Call([this, flush_to_zero] { Route(flush_to_zero); }, restore);
  }

  // The guard and the words alone.
  void Empty(Restore restore) noexcept {
    Call([] { __asm__ volatile("" ::: "memory"); }, restore);
  }

  float Output(size_t channel, size_t frame) { return outputs_[channel][frame]; }

 private:
  template <typename Routine>
  void Call(Routine&& routine, Restore restore) noexcept {
    const uint16_t x87 = platform::ReadX87ControlWord();
    const uint32_t mxcsr = platform::ReadMxcsr();
    platform::Guarded(routine, nullptr,
                      restore == Restore::Compared ? platform::FloatingPointAfterReturn::Restored
                                                   : platform::FloatingPointAfterReturn::AsLeft);
    if (restore == Restore::Unconditional) {
      platform::WriteX87ControlWord(x87);
      platform::WriteMxcsr(mxcsr);
    }
  }

  void Route(bool flush_to_zero) noexcept {
    float* const* in = inputs_.Data();
    float* const* out = outputs_.Data();
    for (size_t k = 0; k < 8; ++k)
      for (int32_t i = 0; i < kFrames; ++i) out[k][i] = static_cast<float>(k + 1) * in[k % 2][i];
    if (flush_to_zero) platform::WriteMxcsr(platform::kHostMxcsr | 0x8000);
  }

  TSingleChannelArrays inputs_;
  TSingleChannelArrays outputs_;
};
