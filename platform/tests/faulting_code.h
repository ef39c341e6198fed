#pragma once

#include <cstdint>

// Misbehaviour of the kind foreign code shows, for the guard's tests.
namespace faulting {

void WriteToAddress(uintptr_t address);
int DivideIntegers(int dividend, int divisor);
int RecurseWithoutEnd(int depth);
void ThrowCxxException();
// Changes the x87 control word and MXCSR, then writes to an invalid address.
void ChangeFpuStateThenFault(uint16_t x87_control_word, uint32_t mxcsr);
#if defined(_WIN32)
void RaiseForeignCxxException();
#endif

}  // namespace faulting
