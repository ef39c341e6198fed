#pragma once

#include <cstdint>
#include <type_traits>

// Calls into foreign code (effects, drivers) that come back with a fault code instead of
// taking the process down. Only the foreign call itself belongs inside the guard: a fault
// jumps back over every frame in between, so those frames must hold nothing to destroy.
namespace platform {

// Fault codes, the Windows exception codes; the posix side maps its signals onto them.
constexpr uint32_t kFaultAccessViolation = 0xC0000005;
constexpr uint32_t kFaultIllegalInstruction = 0xC000001D;
constexpr uint32_t kFaultFloatDivideByZero = 0xC000008E;
constexpr uint32_t kFaultFloatInvalid = 0xC0000090;
constexpr uint32_t kFaultIntegerDivideByZero = 0xC0000094;
constexpr uint32_t kFaultStackOverflow = 0xC00000FD;
constexpr uint32_t kFaultCxxException = 0xE0474343;         // a C++ exception of ours
constexpr uint32_t kFaultForeignCxxException = 0xE06D7363;  // an MSVC-built library's throw

using GuardedRoutine = void (*)(void* context);

// What a routine that returned normally leaves of the floating-point control words.
enum class FloatingPointAfterReturn : uint8_t {
  AsLeft,    // whatever the routine left
  Restored,  // the caller's again where the routine changed them (exception flags aside)
};

// Runs routine(context). True when it returned normally; otherwise false with the fault code
// in *fault_code. After a fault the x87 control word and MXCSR are those the caller had,
// with no exception pending; after a normal return as `after` says.
bool GuardedCall(GuardedRoutine routine, void* context, uint32_t* fault_code = nullptr,
                 FloatingPointAfterReturn after = FloatingPointAfterReturn::AsLeft) noexcept;

// GuardedCall for a callable. Its captures must be plain references and values.
template <typename Callable>
bool Guarded(Callable&& callable, uint32_t* fault_code = nullptr,
             FloatingPointAfterReturn after = FloatingPointAfterReturn::AsLeft) noexcept {
  using Stored = std::remove_reference_t<Callable>;
  return GuardedCall([](void* context) { (*static_cast<Stored*>(context))(); },
                     const_cast<void*>(static_cast<const void*>(&callable)), fault_code, after);
}

}  // namespace platform
