#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "platform/fault_guard.h"
#include "platform/fpu.h"
#include "platform/tests/faulting_code.h"

namespace {

using namespace platform;

// Wine's 64-bit side ends the process when a stack overflows, before any handler runs: there
// the tests overflow no stack.
#if defined(_WIN64)
constexpr bool kStackOverflowContained = false;
#else
constexpr bool kStackOverflowContained = true;
#endif

// A stack overflow where the guard can contain it, else another fault.
void OverflowOrDivideByZero() {
  if (kStackOverflowContained)
    faulting::RecurseWithoutEnd(0);
  else
    faulting::DivideIntegers(1, 0);
}

uint32_t FaultOf(void (*routine)()) {
  uint32_t code = 0;
  EXPECT_FALSE(Guarded([&] { routine(); }, &code));
  return code;
}

TEST(FaultGuard, ReportsEachKindOfFaultWithItsCode) {
  EXPECT_EQ(FaultOf([] { faulting::WriteToAddress(16); }), kFaultAccessViolation);
  EXPECT_EQ(FaultOf([] { faulting::DivideIntegers(7, 0); }), kFaultIntegerDivideByZero);
  if (kStackOverflowContained) {
    EXPECT_EQ(FaultOf([] { faulting::RecurseWithoutEnd(0); }), kFaultStackOverflow);
  }
  EXPECT_EQ(FaultOf([] { faulting::ThrowCxxException(); }), kFaultCxxException);
#if defined(_WIN32)
  EXPECT_EQ(FaultOf([] { faulting::RaiseForeignCxxException(); }), kFaultForeignCxxException);
#endif
}

TEST(FaultGuard, NormalReturnIsSuccess) {
  int result = 0;
  uint32_t code = 123;
  EXPECT_TRUE(Guarded([&] { result = faulting::DivideIntegers(42, 6); }, &code));
  EXPECT_EQ(result, 7);
  EXPECT_EQ(code, 0u);
}

TEST(FaultGuard, SurvivesAHundredFaultsThenExceptionsStillWork) {
  for (int i = 0; i < 100; ++i) {
    uint32_t code = 0;
    bool ok;
    switch (i % 4) {
      case 0:
        ok = Guarded([] { faulting::WriteToAddress(16); }, &code);
        break;
      case 1:
        ok = Guarded([] { faulting::DivideIntegers(1, 0); }, &code);
        break;
      case 2:
        ok = Guarded([] { OverflowOrDivideByZero(); }, &code);
        break;
      default:
        ok = Guarded([] { faulting::ThrowCxxException(); }, &code);
        break;
    }
    ASSERT_FALSE(ok) << "round " << i;
    ASSERT_NE(code, 0u) << "round " << i;
  }
  EXPECT_THROW(throw std::logic_error("ordinary"), std::logic_error);
  try {
    faulting::ThrowCxxException();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "thrown inside");
  }
}

TEST(FaultGuard, NestedGuardsContainTheirOwnFaults) {
  uint32_t inner_code = 0, outer_code = 0;
  bool inner_ok = true;
  const bool outer_ok = Guarded(
      [&] {
        inner_ok = Guarded([] { faulting::WriteToAddress(16); }, &inner_code);
        faulting::DivideIntegers(1, 0);
      },
      &outer_code);
  EXPECT_FALSE(inner_ok);
  EXPECT_EQ(inner_code, kFaultAccessViolation);
  EXPECT_FALSE(outer_ok);
  EXPECT_EQ(outer_code, kFaultIntegerDivideByZero);
}

#if defined(_WIN32)
// A fault that the foreign code handles itself stays its own: the guard sees only what no
// frame of the foreign code took (the system's pointer check faults and catches inside).
TEST(FaultGuard, FaultsTheForeignCodeHandlesItselfAreLeftToIt) {
  BOOL bad = FALSE;
  uint32_t code = 123;
  EXPECT_TRUE(Guarded([&] { bad = IsBadReadPtr(reinterpret_cast<void*>(16), 4); }, &code));
  EXPECT_TRUE(bad);
  EXPECT_EQ(code, 0u);
}
#endif

TEST(FaultGuard, TwoThreadsFaultAtOnce) {
  int failures[2] = {0, 0};
  auto worker = [&failures](int index) {
    for (int i = 0; i < 50; ++i) {
      uint32_t code = 0;
      if (!Guarded([] { faulting::WriteToAddress(16); }, &code) && code == kFaultAccessViolation)
        ++failures[index];
      if (!Guarded([] { OverflowOrDivideByZero(); }, &code) &&
          code == (kStackOverflowContained ? kFaultStackOverflow : kFaultIntegerDivideByZero))
        ++failures[index];
    }
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures[0], 100);
  EXPECT_EQ(failures[1], 100);
}

TEST(FaultGuard, CallersFloatingPointStateComesBackAfterAFault) {
  ResetFloatingPointState();
  EXPECT_FALSE(Guarded([] { faulting::ChangeFpuStateThenFault(0x007F, 0x9FC0); }));
  EXPECT_EQ(ReadX87ControlWord() & kX87ControlWordMask, kHostX87ControlWord & kX87ControlWordMask);
  EXPECT_EQ(ReadMxcsr() & ~0x3Fu, kHostMxcsr);
}

// After a normal return the routine's words stay, or the caller's come back where the
// routine changed a control bit; exception flags alone are no change.
TEST(FaultGuard, ANormalReturnRestoresTheCallersWordsWhenAsked) {
  const uint16_t caller_x87 = 0x027F;
  const uint32_t caller_mxcsr = kHostMxcsr;
  const struct {
    uint16_t x87;
    uint32_t mxcsr;
    FloatingPointAfterReturn after;
    uint16_t expected_x87;
    uint32_t expected_mxcsr;
  } cases[] = {
      {0x0C3A, 0x9FC0, FloatingPointAfterReturn::Restored, caller_x87, caller_mxcsr},
      {caller_x87, 0x1D80, FloatingPointAfterReturn::Restored, caller_x87, caller_mxcsr},
      {0x0F7F, caller_mxcsr, FloatingPointAfterReturn::Restored, caller_x87, caller_mxcsr},
      {caller_x87, caller_mxcsr | 0x21, FloatingPointAfterReturn::Restored, caller_x87,
       caller_mxcsr | 0x21},
      {0x0C3A, 0x9FC0, FloatingPointAfterReturn::AsLeft, 0x0C3A, 0x9FC0},
  };
  for (const auto& c : cases) {
    WriteX87ControlWord(caller_x87);
    WriteMxcsr(caller_mxcsr);
    const bool returned = Guarded(
        [&] {
          WriteX87ControlWord(c.x87);
          WriteMxcsr(c.mxcsr);
        },
        nullptr, c.after);
    const uint16_t x87 = ReadX87ControlWord();
    const uint32_t mxcsr = ReadMxcsr();
    ResetFloatingPointState();
    EXPECT_TRUE(returned);
    EXPECT_EQ(x87 & kX87ControlWordMask, c.expected_x87 & kX87ControlWordMask) << c.x87;
    EXPECT_EQ(mxcsr, c.expected_mxcsr) << c.mxcsr;
  }
}

TEST(FloatingPointState, ResetLoadsTheHostControlWords) {
  WriteX87ControlWord(0x027F);
  WriteMxcsr(0x9FC0);  // flush-to-zero, denormals-are-zero, round up
  ResetFloatingPointState();
  EXPECT_EQ(ReadX87ControlWord() & kX87ControlWordMask, 0x133F);
  EXPECT_EQ(ReadMxcsr(), kHostMxcsr);
}

}  // namespace
