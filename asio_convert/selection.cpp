// The process-wide routine tables, the installers that fill them and the start-up choice by
// processor features.

#include <cpuid.h>

#include "asio_convert/asio_convert.h"
#include "platform/system.h"

namespace {

// The CPUID leaves and EDX bits the start-up choice reads.
constexpr uint32_t kCpuidFeatures = 1;
constexpr uint32_t kCpuidSseBit = 1u << 25;
constexpr uint32_t kCpuidExtendedRange = 0x80000000u;  // EAX: the highest extended leaf
constexpr uint32_t kCpuidExtendedFeatures = 0x80000001u;
constexpr uint32_t kCpuid3DNowBit = 1u << 31;

constexpr std::array<TInputConverter, kSupportedSampleTypeCount> kPlainInput = {{
    {Int16MSBToSingle, Int16MSBToDouble},
    {Int24MSBToSingle, Int24MSBToDouble},
    {Int32MSBToSingle, Int32MSBToDouble},
    {Float32MSBToSingle, Float32MSBToDouble},
    {Float64MSBToSingle, Float64MSBToDouble},
    {Int32MSB16ToSingle, Int32MSB16ToDouble},
    {Int32MSB18ToSingle, Int32MSB18ToDouble},
    {Int32MSB20ToSingle, Int32MSB20ToDouble},
    {Int32MSB24ToSingle, Int32MSB24ToDouble},
    {Int16LSBToSingle, Int16LSBToDouble},
    {Int24LSBToSingle, Int24LSBToDouble},
    {Int32LSBToSingle, Int32LSBToDouble},
    {Float32LSBToSingle, Float32LSBToDouble},
    {Float64LSBToSingle, Float64LSBToDouble},
    {Int32LSB16ToSingle, Int32LSB16ToDouble},
    {Int32LSB18ToSingle, Int32LSB18ToDouble},
    {Int32LSB20ToSingle, Int32LSB20ToDouble},
    {Int32LSB24ToSingle, Int32LSB24ToDouble},
}};

constexpr std::array<TOutputConverter, kSupportedSampleTypeCount> kPlainOutput = {{
    {SingleToInt16MSB, DoubleToInt16MSB},
    {SingleToInt24MSB, DoubleToInt24MSB},
    {SingleToInt32MSB, DoubleToInt32MSB},
    {SingleToFloat32MSB, DoubleToFloat32MSB},
    {SingleToFloat64MSB, DoubleToFloat64MSB},
    {SingleToInt32MSB16, DoubleToInt32MSB16},
    {SingleToInt32MSB18, DoubleToInt32MSB18},
    {SingleToInt32MSB20, DoubleToInt32MSB20},
    {SingleToInt32MSB24, DoubleToInt32MSB24},
    {SingleToInt16LSB, DoubleToInt16LSB},
    {SingleToInt24LSB, DoubleToInt24LSB},
    {SingleToInt32LSB, DoubleToInt32LSB},
    {SingleToFloat32LSB, DoubleToFloat32LSB},
    {SingleToFloat64LSB, DoubleToFloat64LSB},
    {SingleToInt32LSB16, DoubleToInt32LSB16},
    {SingleToInt32LSB18, DoubleToInt32LSB18},
    {SingleToInt32LSB20, DoubleToInt32LSB20},
    {SingleToInt32LSB24, DoubleToInt32LSB24},
}};

struct DitheredMembers {
  ASIOSampleType type;
  TOutputConverter rectangular;
  TOutputConverter triangular;
};

constexpr DitheredMembers kDithered[] = {
    {ASIOSTInt16LSB,
     {SingleToInt16LSB_UDF, DoubleToInt16LSB_UDF},
     {SingleToInt16LSB_TDF, DoubleToInt16LSB_TDF}},
    {ASIOSTInt24LSB,
     {SingleToInt24LSB_UDF, DoubleToInt24LSB_UDF},
     {SingleToInt24LSB_TDF, DoubleToInt24LSB_TDF}},
    {ASIOSTInt32LSB16,
     {SingleToInt32LSB16_UDF, DoubleToInt32LSB16_UDF},
     {SingleToInt32LSB16_TDF, DoubleToInt32LSB16_TDF}},
    {ASIOSTInt32LSB18,
     {SingleToInt32LSB18_UDF, DoubleToInt32LSB18_UDF},
     {SingleToInt32LSB18_TDF, DoubleToInt32LSB18_TDF}},
    {ASIOSTInt32LSB20,
     {SingleToInt32LSB20_UDF, DoubleToInt32LSB20_UDF},
     {SingleToInt32LSB20_TDF, DoubleToInt32LSB20_TDF}},
    {ASIOSTInt32LSB24,
     {SingleToInt32LSB24_UDF, DoubleToInt32LSB24_UDF},
     {SingleToInt32LSB24_TDF, DoubleToInt32LSB24_TDF}},
};

struct TruncatingMembers {
  ASIOSampleType type;
  TInConverterSingle to_single;
  TOutConverterSingle from_single;
};

constexpr TruncatingMembers kTruncating[] = {
    {ASIOSTInt32LSB, Int32LSBToSingle_3DNow, SingleToInt32LSB_3DNow},
    {ASIOSTInt32LSB16, Int32LSB16ToSingle_3DNow, SingleToInt32LSB16_3DNow},
    {ASIOSTInt32LSB18, Int32LSB18ToSingle_3DNow, SingleToInt32LSB18_3DNow},
    {ASIOSTInt32LSB20, Int32LSB20ToSingle_3DNow, SingleToInt32LSB20_3DNow},
    {ASIOSTInt32LSB24, Int32LSB24ToSingle_3DNow, SingleToInt32LSB24_3DNow},
};

void InstallDithered(bool triangular) {
  UseFPURoutines();
  DitherSeed.store(platform::TickCount(), std::memory_order_relaxed);
  for (const DitheredMembers& members : kDithered) {
    OutputConverterTable[SampleTypeIndex(members.type)] =
        triangular ? members.triangular : members.rectangular;
  }
}

// Step 2 of the optimisation setter, shared with the dither setter.
void InstallAllowedVectorRoutines(TConvertOptimizations allowed) {
  if (ProcessorType == ptSSE && allowed.Contains(coSSE)) {
    UseSSERoutines();
  } else if (ProcessorType == pt3DNow && allowed.Contains(co3DNow)) {
    Use3DNowRoutines();
  }
}

}  // namespace

// Constant-initialised with the plain routines, so that the tables are usable even by code
// that runs before the start-up choice below.
std::array<TInputConverter, kSupportedSampleTypeCount> InputConverterTable = kPlainInput;
std::array<TOutputConverter, kSupportedSampleTypeCount> OutputConverterTable = kPlainOutput;
TClipRoutines ClipDigital = {ClipDigitalSingle, ClipDigitalDouble};
TClipRoutines ClipAnalog = {ClipAnalogSingle, ClipAnalogDouble};
std::atomic<uint32_t> DitherSeed{0};
TProcessorType ProcessorType = ptFPU;

void UseFPURoutines() {
  InputConverterTable = kPlainInput;
  OutputConverterTable = kPlainOutput;
  ClipDigital = {ClipDigitalSingle, ClipDigitalDouble};
  ClipAnalog = {ClipAnalogSingle, ClipAnalogDouble};
}

void UseFPURoutinesUDF() {
  InstallDithered(false);
}
void UseFPURoutinesTDF() {
  InstallDithered(true);
}

void UseSSERoutines() {
  ClipDigital.Single = ClipDigitalSingle_SSE;
  ClipAnalog.Single = ClipAnalogSingle_SSE;
}

void Use3DNowRoutines() {
  for (const TruncatingMembers& members : kTruncating) {
    const int index = SampleTypeIndex(members.type);
    InputConverterTable[index].ToSingle = members.to_single;
    OutputConverterTable[index].FromSingle = members.from_single;
  }
}

void SetConvertOptimizations(TConvertOptimizations& stored, TConvertOptimizations value) {
  UseFPURoutines();
  InstallAllowedVectorRoutines(value);
  stored = value;
}

void SetOutputDither(TASIOOutputDither& stored, TASIOOutputDither value,
                     TConvertOptimizations host_optimizations) {
  if (value == stored) return;
  stored = value;
  switch (value) {
    case odUDF:
      UseFPURoutinesUDF();
      break;
    case odTDF:
      UseFPURoutinesTDF();
      break;
    default:
      UseFPURoutines();
      InstallAllowedVectorRoutines(host_optimizations);
      break;
  }
}

bool ProcessorCpuid(uint32_t leaf, uint32_t regs[4]) {
  // On 32-bit x86 this also finds out (by the EFLAGS ID bit) whether the instruction exists.
  if (__get_cpuid_max(0, nullptr) == 0) return false;
  unsigned a = 0, b = 0, c = 0, d = 0;
  __cpuid(leaf, a, b, c, d);
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
  return true;
}

void DetectProcessorAndInstall(TCpuidQuery cpuid) {
  UseFPURoutines();
  ProcessorType = ptFPU;
  uint32_t regs[4] = {};
  if (cpuid(kCpuidFeatures, regs) && (regs[3] & kCpuidSseBit)) ProcessorType = ptSSE;
  // Start-up installs the SSE clips before it looks for 3DNow, so a processor with both
  // keeps them; the setters later install only one set (InstallAllowedVectorRoutines).
  if (ProcessorType == ptSSE) UseSSERoutines();
  if (cpuid(kCpuidExtendedRange, regs) && regs[0] > kCpuidExtendedRange &&
      cpuid(kCpuidExtendedFeatures, regs) && (regs[3] & kCpuid3DNowBit)) {
    ProcessorType = pt3DNow;
  }
  if (ProcessorType == pt3DNow) Use3DNowRoutines();
}

namespace {
// Runs when the library is loaded, before any host exists.
const bool kDetectedAtLoad = (DetectProcessorAndInstall(ProcessorCpuid), true);
}  // namespace
