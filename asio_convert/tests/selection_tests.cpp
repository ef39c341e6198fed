#include <gtest/gtest.h>

#include <cstdlib>

#include "asio_convert/asio_convert.h"
#include "asio_convert/tests/test_formats.h"
#include "platform/system.h"

namespace {

constexpr int kInt32LSB = 11;
constexpr int kInt16LSB = 9;

// A processor as CPUID describes it.
struct FakeProcessor {
  bool has_cpuid = true;
  bool sse = false;
  bool three_d_now = false;
  uint32_t extended_range = 0x80000008u;
};
FakeProcessor g_processor;

bool FakeCpuid(uint32_t leaf, uint32_t regs[4]) {
  if (!g_processor.has_cpuid) return false;
  regs[0] = regs[1] = regs[2] = regs[3] = 0;
  if (leaf == 1) regs[3] = g_processor.sse ? (1u << 25) : 0;
  if (leaf == 0x80000000u) regs[0] = g_processor.extended_range;
  if (leaf == 0x80000001u) regs[3] = g_processor.three_d_now ? (1u << 31) : 0;
  return true;
}

class Selection : public ::testing::Test {
 protected:
  void StartOn(FakeProcessor p) {
    g_processor = p;
    DetectProcessorAndInstall(FakeCpuid);
  }
  void TearDown() override { DetectProcessorAndInstall(ProcessorCpuid); }

  static bool SseClips() {
    return ClipDigital.Single == ClipDigitalSingle_SSE && ClipAnalog.Single == ClipAnalogSingle_SSE;
  }
  static bool PlainClips() {
    return ClipDigital == TClipRoutines{ClipDigitalSingle, ClipDigitalDouble} &&
           ClipAnalog == TClipRoutines{ClipAnalogSingle, ClipAnalogDouble};
  }
  static bool TruncatingConverters() {
    return InputConverterTable[kInt32LSB].ToSingle == Int32LSBToSingle_3DNow &&
           OutputConverterTable[kInt32LSB].FromSingle == SingleToInt32LSB_3DNow &&
           InputConverterTable[17].ToSingle == Int32LSB24ToSingle_3DNow &&
           OutputConverterTable[14].FromSingle == SingleToInt32LSB16_3DNow &&
           InputConverterTable[kInt32LSB].ToDouble == Int32LSBToDouble;
  }
  // Every converter is the plain member named after its type.
  static bool PlainConverters() {
    return InputConverterTable[0] == TInputConverter{Int16MSBToSingle, Int16MSBToDouble} &&
           InputConverterTable[kInt32LSB] == TInputConverter{Int32LSBToSingle, Int32LSBToDouble} &&
           InputConverterTable[17] == TInputConverter{Int32LSB24ToSingle, Int32LSB24ToDouble} &&
           OutputConverterTable[kInt16LSB] == TOutputConverter{SingleToInt16LSB, DoubleToInt16LSB} &&
           OutputConverterTable[kInt32LSB] == TOutputConverter{SingleToInt32LSB, DoubleToInt32LSB} &&
           OutputConverterTable[14] == TOutputConverter{SingleToInt32LSB16, DoubleToInt32LSB16} &&
           OutputConverterTable[10] == TOutputConverter{SingleToInt24LSB, DoubleToInt24LSB};
  }
};

TEST_F(Selection, TablesFollowTheSampleTypeNumbers) {
  for (int i = 0; i < kSupportedSampleTypeCount; ++i) {
    EXPECT_EQ(SampleTypeIndex(kFormats[i].type), i);
  }
  for (ASIOSampleType unsupported : {5, 6, 7, 12, 15, 21, 23, 28, 32, 40, -1}) {
    EXPECT_EQ(SampleTypeIndex(unsupported), -1) << unsupported;
  }
  // Each plain entry converts its own format: 0.5 in Int16MSB, Int24LSB and Float32LSB.
  UseFPURoutines();
  const float half = 0.5f;
  uint8_t out[8] = {};
  OutputConverterTable[SampleTypeIndex(ASIOSTInt16MSB)].FromSingle(&half, out, 1);
  EXPECT_EQ(out[0], 0x40);
  EXPECT_EQ(out[1], 0x00);
  OutputConverterTable[SampleTypeIndex(ASIOSTInt24LSB)].FromSingle(&half, out, 1);
  EXPECT_EQ(out[2], 0x40);
  OutputConverterTable[SampleTypeIndex(ASIOSTFloat32LSB)].FromSingle(&half, out, 1);
  EXPECT_EQ(out[3], 0x3F);
}

TEST_F(Selection, StartUpFollowsTheProcessor) {
  StartOn({.has_cpuid = false, .sse = true, .three_d_now = true});
  EXPECT_EQ(ProcessorType, 0);
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(PlainConverters());

  StartOn({.sse = false});
  EXPECT_EQ(ProcessorType, 0);
  EXPECT_TRUE(PlainClips());

  StartOn({.sse = true});
  EXPECT_EQ(ProcessorType, 1);
  EXPECT_TRUE(SseClips());
  EXPECT_TRUE(PlainConverters());

  // Both extensions: both sets installed.
  StartOn({.sse = true, .three_d_now = true});
  EXPECT_EQ(ProcessorType, 2);
  EXPECT_TRUE(SseClips());
  EXPECT_TRUE(TruncatingConverters());

  StartOn({.sse = false, .three_d_now = true});
  EXPECT_EQ(ProcessorType, 2);
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(TruncatingConverters());

  // Without extended leaves the 3DNow bit is never asked for.
  StartOn({.sse = true, .three_d_now = true, .extended_range = 0x80000000u});
  EXPECT_EQ(ProcessorType, 1);
  EXPECT_FALSE(TruncatingConverters());
}

TEST_F(Selection, TheRealProcessorHasSse) {
  // The build itself needs SSE2, so the detection must at least find SSE.
  DetectProcessorAndInstall(ProcessorCpuid);
  EXPECT_GE(ProcessorType, 1);
  if (ProcessorType == 1) {
    EXPECT_TRUE(SseClips());
  }
}

TEST_F(Selection, OptimisationsOnSseProcessor) {
  StartOn({.sse = true});
  TConvertOptimizations stored{coSSE, co3DNow};
  SetConvertOptimizations(stored, {});
  EXPECT_TRUE(PlainClips());
  EXPECT_EQ(stored, TConvertOptimizations{});
  SetConvertOptimizations(stored, {coSSE});
  EXPECT_TRUE(SseClips());
  SetConvertOptimizations(stored, {co3DNow});
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(PlainConverters());
}

TEST_F(Selection, OptimisationsOnProcessorWithBoth) {
  StartOn({.sse = true, .three_d_now = true});
  TConvertOptimizations stored{coSSE, co3DNow};
  // Unlike start-up, the setter installs only the 3DNow set there.
  SetConvertOptimizations(stored, {coSSE, co3DNow});
  EXPECT_TRUE(TruncatingConverters());
  EXPECT_TRUE(PlainClips());
  SetConvertOptimizations(stored, {coSSE});
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(PlainConverters());
  EXPECT_TRUE(stored.Contains(coSSE));
  EXPECT_FALSE(stored.Contains(co3DNow));
}

TEST_F(Selection, OptimisationsOnPlainProcessorChangeNothing) {
  StartOn({});
  TConvertOptimizations stored;
  SetConvertOptimizations(stored, {coSSE, co3DNow});
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(PlainConverters());
}

TEST_F(Selection, DitherInstallsItsMembersAndReseeds) {
  StartOn({.sse = true});
  TASIOOutputDither dither = odNone;
  TConvertOptimizations optimizations{coSSE, co3DNow};
  DitherSeed = 0xDEADBEEFu;
  const uint32_t before = platform::TickCount();
  SetOutputDither(dither, odUDF, optimizations);
  const uint32_t after = platform::TickCount();
  EXPECT_EQ(dither, odUDF);
  EXPECT_GE(DitherSeed.load() - before, 0u);
  EXPECT_LE(DitherSeed.load() - before, after - before);
  EXPECT_TRUE(PlainClips());
  EXPECT_EQ(OutputConverterTable[kInt16LSB],
            (TOutputConverter{SingleToInt16LSB_UDF, DoubleToInt16LSB_UDF}));
  EXPECT_EQ(OutputConverterTable[10].FromDouble, DoubleToInt24LSB_UDF);
  EXPECT_EQ(OutputConverterTable[17].FromSingle, SingleToInt32LSB24_UDF);
  EXPECT_EQ(OutputConverterTable[kInt32LSB].FromSingle, SingleToInt32LSB);  // no dithered member
  EXPECT_EQ(OutputConverterTable[0].FromSingle, SingleToInt16MSB);

  // The optimisation setter removes them while the host still reads odUDF; setting odUDF
  // again then does nothing.
  SetConvertOptimizations(optimizations, optimizations);
  EXPECT_EQ(OutputConverterTable[kInt16LSB].FromSingle, SingleToInt16LSB);
  DitherSeed = 77;
  SetOutputDither(dither, odUDF, optimizations);
  EXPECT_EQ(OutputConverterTable[kInt16LSB].FromSingle, SingleToInt16LSB);
  EXPECT_EQ(DitherSeed.load(), 77u);

  SetOutputDither(dither, odTDF, optimizations);
  EXPECT_EQ(OutputConverterTable[kInt16LSB],
            (TOutputConverter{SingleToInt16LSB_TDF, DoubleToInt16LSB_TDF}));
}

TEST_F(Selection, NoDitherRestoresTheAllowedVectorRoutines) {
  StartOn({.sse = false, .three_d_now = true});
  TASIOOutputDither dither = odNone;
  TConvertOptimizations optimizations{co3DNow};
  SetOutputDither(dither, odTDF, optimizations);
  EXPECT_FALSE(TruncatingConverters());
  SetOutputDither(dither, odNone, optimizations);
  EXPECT_TRUE(TruncatingConverters());
  EXPECT_EQ(OutputConverterTable[kInt16LSB].FromSingle, SingleToInt16LSB);

  StartOn({.sse = true});
  dither = odUDF;
  UseFPURoutinesUDF();
  SetOutputDither(dither, odNone, TConvertOptimizations{});
  EXPECT_TRUE(PlainClips());
  dither = odUDF;
  SetOutputDither(dither, odNone, TConvertOptimizations{coSSE});
  EXPECT_TRUE(SseClips());
}

}  // namespace
