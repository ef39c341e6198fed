#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "asio_convert/asio_sample_types.h"

// Block converters between the driver's sample formats and 32/64-bit float arrays, the
// in-place clip routines, and the process-wide tables that say which routine serves which
// sample type. Every routine takes (source, destination, sample count) and converts
// `count` samples; a count of zero or below does nothing. Source and destination never
// overlap. Float-to-integer results round to nearest, ties to even; a result outside the
// container (full scale plus dither, or input beyond ±1) saturates to the container's
// limits, and NaN becomes 0. The routines run with round-to-nearest and without
// flush-to-zero whatever the caller's SSE control word says.

using TInConverterSingle = void (*)(const void* source, float* destination, int32_t count);
using TInConverterDouble = void (*)(const void* source, double* destination, int32_t count);
using TOutConverterSingle = void (*)(const float* source, void* destination, int32_t count);
using TOutConverterDouble = void (*)(const double* source, void* destination, int32_t count);
using TClipSingle = void (*)(float* samples, int32_t count);
using TClipDouble = void (*)(double* samples, int32_t count);

struct TInputConverter {
  TInConverterSingle ToSingle = nullptr;
  TInConverterDouble ToDouble = nullptr;
  friend bool operator==(const TInputConverter&, const TInputConverter&) = default;
};

struct TOutputConverter {
  TOutConverterSingle FromSingle = nullptr;
  TOutConverterDouble FromDouble = nullptr;
  friend bool operator==(const TOutputConverter&, const TOutputConverter&) = default;
};

struct TClipRoutines {
  TClipSingle Single = nullptr;
  TClipDouble Double = nullptr;
  friend bool operator==(const TClipRoutines&, const TClipRoutines&) = default;
};

// The tables hold one entry per supported sample type, in this order.
constexpr int kSupportedSampleTypeCount = 18;
constexpr std::array<ASIOSampleType, kSupportedSampleTypeCount> kSupportedSampleTypes = {
    ASIOSTInt16MSB,   ASIOSTInt24MSB,   ASIOSTInt32MSB,   ASIOSTFloat32MSB, ASIOSTFloat64MSB,
    ASIOSTInt32MSB16, ASIOSTInt32MSB18, ASIOSTInt32MSB20, ASIOSTInt32MSB24, ASIOSTInt16LSB,
    ASIOSTInt24LSB,   ASIOSTInt32LSB,   ASIOSTFloat32LSB, ASIOSTFloat64LSB, ASIOSTInt32LSB16,
    ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24};

// The table position of a sample type, or -1 when the type has no converter.
constexpr int SampleTypeIndex(ASIOSampleType type) noexcept {
  for (int i = 0; i < kSupportedSampleTypeCount; ++i) {
    if (kSupportedSampleTypes[i] == type) return i;
  }
  return -1;
}

// Written only by the installers below. A host copies the entries it needs when it creates
// its buffers and calls its copies, so a later installer call does not reach it.
extern std::array<TInputConverter, kSupportedSampleTypeCount> InputConverterTable;
extern std::array<TOutputConverter, kSupportedSampleTypeCount> OutputConverterTable;
extern TClipRoutines ClipDigital;
extern TClipRoutines ClipAnalog;

// Shared by every dithering routine of every host and channel. A dithering routine reads it
// once at the start of a block and writes it back at the end.
extern std::atomic<uint32_t> DitherSeed;

// The processor kind found when the library is loaded; it decides which vector set the
// optimisation and dither setters may install again later.
enum TProcessorType : uint8_t {
  ptFPU = 0,    // neither extension: the plain routines only
  ptSSE = 1,    // SSE without 3DNow: the SSE clip routines
  pt3DNow = 2,  // 3DNow, with or without SSE: the truncating 32-bit converters
};
extern TProcessorType ProcessorType;

enum TConvertOptimization : uint8_t { coSSE = 0, co3DNow = 1 };

// A set of TConvertOptimization: bit 0 coSSE, bit 1 co3DNow.
struct TConvertOptimizations {
  uint8_t Bits = 0;

  constexpr TConvertOptimizations() = default;
  constexpr TConvertOptimizations(std::initializer_list<TConvertOptimization> members) {
    for (TConvertOptimization m : members) Bits |= uint8_t(1u << m);
  }
  constexpr bool Contains(TConvertOptimization m) const { return (Bits >> m) & 1u; }
  friend constexpr bool operator==(TConvertOptimizations, TConvertOptimizations) = default;
};

enum TASIOOutputDither : uint8_t { odNone = 0, odUDF = 1, odTDF = 2 };

// The installers: each overwrites table entries (see the .cpp for which).
void UseFPURoutines();
void UseFPURoutinesUDF();
void UseFPURoutinesTDF();
void UseSSERoutines();
void Use3DNowRoutines();

// What the host's property setters do. `stored` is the host's field; the tables change
// for the whole process.
void SetConvertOptimizations(TConvertOptimizations& stored, TConvertOptimizations value);
void SetOutputDither(TASIOOutputDither& stored, TASIOOutputDither value,
                     TConvertOptimizations host_optimizations);

// The start-up selection, run once at load. Exposed with an exchangeable CPUID so that each
// processor kind can be tried. `cpuid` answers one leaf (EAX, EBX, ECX, EDX into regs) and
// returns false when the instruction is unavailable.
using TCpuidQuery = bool (*)(uint32_t leaf, uint32_t regs[4]);
bool ProcessorCpuid(uint32_t leaf, uint32_t regs[4]);
void DetectProcessorAndInstall(TCpuidQuery cpuid);

#include "asio_convert/asio_convert_routines.h"
