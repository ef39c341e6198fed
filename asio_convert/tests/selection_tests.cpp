#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "asio_convert/asio_convert.h"
#include "asio_convert/tests/test_formats.h"
#include "platform/system.h"

namespace {

// Table positions of the types the checks below look at.
constexpr int kInt16MSB = SampleTypeIndex(ASIOSTInt16MSB);
constexpr int kInt16LSB = SampleTypeIndex(ASIOSTInt16LSB);
constexpr int kInt24LSB = SampleTypeIndex(ASIOSTInt24LSB);
constexpr int kInt32LSB = SampleTypeIndex(ASIOSTInt32LSB);
constexpr int kInt32LSB16 = SampleTypeIndex(ASIOSTInt32LSB16);
constexpr int kInt32LSB24 = SampleTypeIndex(ASIOSTInt32LSB24);

// The CPUID bits the start-up choice reads (EDX of leaves 1 and 0x80000001).
constexpr uint32_t kSseBit = 1u << 25;
constexpr uint32_t k3DNowBit = 1u << 31;

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
  if (leaf == 1) regs[3] = g_processor.sse ? kSseBit : 0;
  if (leaf == 0x80000000u) regs[0] = g_processor.extended_range;
  if (leaf == 0x80000001u) regs[3] = g_processor.three_d_now ? k3DNowBit : 0;
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
           InputConverterTable[kInt32LSB24].ToSingle == Int32LSB24ToSingle_3DNow &&
           OutputConverterTable[kInt32LSB16].FromSingle == SingleToInt32LSB16_3DNow &&
           InputConverterTable[kInt32LSB].ToDouble == Int32LSBToDouble;
  }
  // Every converter is the plain member named after its type.
  static bool PlainConverters() {
    return InputConverterTable[kInt16MSB] == TInputConverter{Int16MSBToSingle, Int16MSBToDouble} &&
           InputConverterTable[kInt32LSB] == TInputConverter{Int32LSBToSingle, Int32LSBToDouble} &&
           InputConverterTable[kInt32LSB24] ==
               TInputConverter{Int32LSB24ToSingle, Int32LSB24ToDouble} &&
           OutputConverterTable[kInt16LSB] ==
               TOutputConverter{SingleToInt16LSB, DoubleToInt16LSB} &&
           OutputConverterTable[kInt32LSB] ==
               TOutputConverter{SingleToInt32LSB, DoubleToInt32LSB} &&
           OutputConverterTable[kInt32LSB16] ==
               TOutputConverter{SingleToInt32LSB16, DoubleToInt32LSB16} &&
           OutputConverterTable[kInt24LSB] == TOutputConverter{SingleToInt24LSB, DoubleToInt24LSB};
  }
};

TEST_F(Selection, TablesFollowTheSampleTypeNumbers) {
  for (int i = 0; i < kSupportedSampleTypeCount; ++i) {
    EXPECT_EQ(SampleTypeIndex(kFormats[i].type), i);
    EXPECT_EQ(ASIOSampleTypeBytes(kFormats[i].type), kFormats[i].bytes) << kFormats[i].name;
  }
  for (ASIOSampleType unsupported : {5, 6, 7, 12, 15, 21, 23, 28, 32, 40, -1}) {
    EXPECT_EQ(SampleTypeIndex(unsupported), -1) << unsupported;
    EXPECT_EQ(ASIOSampleTypeBytes(unsupported), 0) << unsupported;
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
  EXPECT_EQ(ProcessorType, ptFPU);
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(PlainConverters());

  StartOn({.sse = false});
  EXPECT_EQ(ProcessorType, ptFPU);
  EXPECT_TRUE(PlainClips());

  StartOn({.sse = true});
  EXPECT_EQ(ProcessorType, ptSSE);
  EXPECT_TRUE(SseClips());
  EXPECT_TRUE(PlainConverters());

  // Both extensions: both sets installed.
  StartOn({.sse = true, .three_d_now = true});
  EXPECT_EQ(ProcessorType, pt3DNow);
  EXPECT_TRUE(SseClips());
  EXPECT_TRUE(TruncatingConverters());

  StartOn({.sse = false, .three_d_now = true});
  EXPECT_EQ(ProcessorType, pt3DNow);
  EXPECT_TRUE(PlainClips());
  EXPECT_TRUE(TruncatingConverters());

  // Without extended leaves the 3DNow bit is never asked for.
  StartOn({.sse = true, .three_d_now = true, .extended_range = 0x80000000u});
  EXPECT_EQ(ProcessorType, ptSSE);
  EXPECT_FALSE(TruncatingConverters());
}

// The real query answers in EAX, EBX, ECX, EDX order: leaf 0 gives its highest leaf in EAX
// and the vendor's twelve characters in EBX, EDX, ECX; leaf 1 has SSE in EDX, which every
// processor that runs this build (compiled for SSE2) has.
TEST_F(Selection, ProcessorCpuidAnswersInRegisterOrder) {
  uint32_t regs[4] = {};
  ASSERT_TRUE(ProcessorCpuid(0, regs));
  EXPECT_GE(regs[0], 1u);
  EXPECT_LT(regs[0], 0x1000u) << "EAX holds the highest standard leaf, a small number";
  char vendor[13] = {};
  std::memcpy(vendor, &regs[1], 4);
  std::memcpy(vendor + 4, &regs[3], 4);
  std::memcpy(vendor + 8, &regs[2], 4);
  const std::string known[] = {"GenuineIntel", "AuthenticAMD", "HygonGenuine", "CentaurHauls",
                               "  Shanghai  "};
  const bool known_vendor =
      std::find(std::begin(known), std::end(known), std::string(vendor)) != std::end(known);
  EXPECT_TRUE(known_vendor) << vendor;
  ASSERT_TRUE(ProcessorCpuid(1, regs));
  EXPECT_NE(regs[3] & kSseBit, 0u);
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
  EXPECT_EQ(OutputConverterTable[kInt24LSB].FromDouble, DoubleToInt24LSB_UDF);
  EXPECT_EQ(OutputConverterTable[kInt32LSB24].FromSingle, SingleToInt32LSB24_UDF);
  EXPECT_EQ(OutputConverterTable[kInt32LSB].FromSingle, SingleToInt32LSB);  // no dithered member
  EXPECT_EQ(OutputConverterTable[kInt16MSB].FromSingle, SingleToInt16MSB);

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
