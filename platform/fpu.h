#pragma once

#include <cstdint>

// The processor's floating-point state, which foreign code may leave changed.
namespace platform {

// The x87 control word the host runs with: all exceptions masked, 64-bit precision,
// round to nearest.
constexpr uint16_t kHostX87ControlWord = 0x133F;
// The bits of the x87 control word that hold meaning (bit 6 always reads as 1).
constexpr uint16_t kX87ControlWordMask = 0x1F3F;
constexpr uint32_t kHostMxcsr = 0x1F80;  // all SSE exceptions masked, nearest, no FTZ/DAZ

// Whether the host sets and restores the x87 control word. 64-bit Windows computes with SSE
// alone and its x87 word keeps the system's convention there, so the host keeps to MXCSR;
// the native build, which stands in for the 32-bit product in the tests, handles both.
#if defined(_WIN64)
inline constexpr bool kHostControlsX87 = false;
#else
inline constexpr bool kHostControlsX87 = true;
#endif

// Clears pending exceptions, loads kHostX87ControlWord (where kHostControlsX87) and
// kHostMxcsr.
void ResetFloatingPointState() noexcept;
uint16_t ReadX87ControlWord() noexcept;
void WriteX87ControlWord(uint16_t control_word) noexcept;
uint32_t ReadMxcsr() noexcept;
void WriteMxcsr(uint32_t mxcsr) noexcept;

// The bits of MXCSR that hold exception flags rather than control (0-5).
constexpr uint32_t kMxcsrStatusFlags = 0x3F;

// Puts back the x87 control word (where kHostControlsX87) and MXCSR the caller had before
// foreign code ran, each only where it differs in a bit that holds meaning (MXCSR's exception
// flags do not count): reading and comparing costs less than loading either word.
void RestoreFloatingPointControl(uint16_t x87_control_word, uint32_t mxcsr) noexcept;

}  // namespace platform
