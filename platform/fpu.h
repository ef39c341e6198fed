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

// Clears pending exceptions, loads kHostX87ControlWord and kHostMxcsr.
void ResetFloatingPointState() noexcept;
uint16_t ReadX87ControlWord() noexcept;
void WriteX87ControlWord(uint16_t control_word) noexcept;
uint32_t ReadMxcsr() noexcept;
void WriteMxcsr(uint32_t mxcsr) noexcept;

// The bits of MXCSR that hold exception flags rather than control (0-5).
constexpr uint32_t kMxcsrStatusFlags = 0x3F;

// Puts back the x87 control word and MXCSR the caller had before foreign code ran, each
// only where it differs in a bit that holds meaning (MXCSR's exception flags do not count):
// reading and comparing costs less than loading either word.
void RestoreFloatingPointControl(uint16_t x87_control_word, uint32_t mxcsr) noexcept;

}  // namespace platform
