#include <gtest/gtest.h>

#include "vst_host/vst_types.h"

namespace {

TEST(VstTypes, CodesRectanglesAndFlagSets) {
  EXPECT_EQ(kEffectMagic, 0x56737450);
  EXPECT_EQ(FourCharToLong('C', 'c', 'n', 'K'), 0x43636E4B);

  const ERect rect = MakeERect(0, 0, 300, 100);
  EXPECT_EQ(rect.top, 0);
  EXPECT_EQ(rect.left, 0);
  EXPECT_EQ(rect.bottom, 100);
  EXPECT_EQ(rect.right, 300);

  // Bits above the low 16 are no flags.
  const TEffFlags flags = EffFlagsFromRecord(0x7FFF0021);
  EXPECT_TRUE(flags.Contains(effFlagsHasEditor));
  EXPECT_TRUE(flags.Contains(effFlagsProgramChunks));
  EXPECT_EQ(flags.Bits(), 0x21u);
}

TEST(VstTypes, TheEffectRecordMatchesTheInterfaceOfThisPlatform) {
  // Pointer-sized fields follow the platform, so real effects of it load; the 32-bit
  // Windows layout is checked at compile time.
  EXPECT_EQ(offsetof(AEffect, dispatcher), sizeof(void*));
  EXPECT_EQ(sizeof(AEffect) % sizeof(void*), 0u);
  EXPECT_EQ(sizeof(VstTimeInfo), 88u);
  EXPECT_EQ(sizeof(VstPatchChunkInfo), 64u);
  EXPECT_EQ(sizeof(VstFileType), 408u);
}

}  // namespace
