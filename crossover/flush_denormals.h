#pragma once

// While alive, the SSE unit flushes results and inputs too small to be normal numbers to
// zero, so that a filter ringing out into silence never falls onto the slow path for
// subnormal numbers. The caller's mode comes back at the end of the scope. Both builds
// do their floating-point arithmetic in SSE registers, so this covers all of it.
#include <xmmintrin.h>

namespace crossover {

class TFlushDenormals {
 public:
  TFlushDenormals() : saved_(_mm_getcsr()) {
    _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
  }
  ~TFlushDenormals() { _mm_setcsr(saved_); }
  TFlushDenormals(const TFlushDenormals&) = delete;
  TFlushDenormals& operator=(const TFlushDenormals&) = delete;

 private:
  static constexpr unsigned kFlushToZero = 0x8000;
  static constexpr unsigned kDenormalsAreZero = 0x0040;
  unsigned saved_;
};

}  // namespace crossover
