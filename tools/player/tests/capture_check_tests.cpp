#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "tools/asio_driver/wav_file.h"
#include "tools/player/capture_check.h"
#include "tools/player/pcm_signal.h"

namespace {

using namespace harness;

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("player_harness_") +
           std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + name))
      .string();
}

TEST(PcmSignal, PackingPutsThe16BitValueInTheTopBytes) {
  const int16_t samples[] = {0x1234, -2, -32768};
  struct Case {
    int32_t bits;
    std::vector<uint8_t> bytes;
  } const cases[] = {
      {8, {0x92, 0x7F, 0x00}},
      {16, {0x34, 0x12, 0xFE, 0xFF, 0x00, 0x80}},
      {24, {0, 0x34, 0x12, 0, 0xFE, 0xFF, 0, 0x00, 0x80}},
      {32, {0, 0, 0x34, 0x12, 0, 0, 0xFE, 0xFF, 0, 0, 0x00, 0x80}},
      {12, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(PackSamples(samples, 3, c.bits), c.bytes) << c.bits;
}

TEST(PcmSignal, TheToneStaysAnEighthBelowFullScaleAndSurvivesAWavFile) {
  const PcmSource tone = GenerateTone(0.5);
  ASSERT_EQ(tone.Frames(), 22050u);
  int peak[2] = {0, 0};
  for (size_t i = 0; i < tone.samples.size(); ++i)
    peak[i % 2] = std::max(peak[i % 2], std::abs(static_cast<int>(tone.samples[i])));
  EXPECT_EQ(peak[0], 3277);
  EXPECT_EQ(peak[1], 1642);
  EXPECT_LE(8 * peak[0], 32767);

  const std::string path = TempPath("tone.wav");
  ASSERT_TRUE(WritePcmWav(path, tone));
  std::string error;
  const auto read = ReadPcmWav(path, &error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(read->samples, tone.samples);
  EXPECT_EQ(read->sample_rate, 44100);
  std::remove(path.c_str());
}

TEST(PcmSignal, OnlySixteenBitFilesArePlayed) {
  const std::string path = TempPath("float.wav");
  {
    wav::Writer writer;
    ASSERT_TRUE(writer.Open(path, {2, 44100, wav::SampleFormat::Float32}));
    const double frame[2] = {0.5, -0.5};
    writer.Write(frame, 1);
  }
  std::string error;
  EXPECT_FALSE(ReadPcmWav(path, &error));
  EXPECT_EQ(error, "not a 16-bit PCM file");
  EXPECT_FALSE(ReadPcmWav(path + ".missing", &error));
  std::remove(path.c_str());
}

TEST(CaptureCheck, RouterOutputsMultiplyTheirInputChannel) {
  PcmSource source;
  source.channels = 2;
  source.samples = {100, -200, 4095, -4096};
  struct Case {
    int32_t output;
    std::vector<double> expected;
  } const cases[] = {
      {1, {100 / 32768.0, 4095 / 32768.0}},
      {2, {-400 / 32768.0, -8192 / 32768.0}},
      {7, {700 / 32768.0, 7 * 4095 / 32768.0}},
      {8, {-1600 / 32768.0, -1.0}},
      {0, {0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(RouterOutput(source, c.output), c.expected) << c.output;
}

TEST(CaptureCheck, ComparisonCountsEveryDifferenceAndWhatIsMissing) {
  const std::vector<double> stream = {0.5, -0.25, 0.125};
  struct Case {
    std::vector<double> captured;
    int64_t offset;
    int64_t mismatches;
    int64_t first_mismatch;
    int64_t missing;
  } const cases[] = {
      {{0, 0, 0.5, -0.25, 0.125, 0}, -2, 0, -1, 0},    // latency before, silence after
      {{0, 0, 0.5, -0.25}, -2, 0, -1, 1},              // the capture ends early
      {{0, 0.5, -0.25, 0.125}, -2, 3, 1, 1},           // one frame early: all wrong, one short
      {{-0.25, 0.125, 0, 0}, 1, 0, -1, 0},             // starts inside the stream
      {{0, 0, 0.5, -0.25, 0.125, 1e-9}, -2, 1, 5, 0},  // noise after the end
  };
  for (const auto& c : cases) {
    const Comparison result = CompareWithStream(c.captured, stream, c.offset);
    EXPECT_EQ(result.compared, static_cast<int64_t>(c.captured.size()));
    EXPECT_EQ(result.mismatches, c.mismatches) << c.offset;
    EXPECT_EQ(result.first_mismatch, c.first_mismatch) << c.offset;
    EXPECT_EQ(result.missing, c.missing) << c.offset;
  }
}

TEST(CaptureCheck, TheStreamOffsetIsFoundFromTheFirstSoundingFrame) {
  std::vector<double> stream(100);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = std::sin(static_cast<double>(i * i));
  stream[0] = 0;
  std::vector<double> late(30, 0.0);  // silence, then the stream from its start
  late.insert(late.end(), stream.begin(), stream.end());
  EXPECT_EQ(FindStreamOffset(late, stream, 16), -30);
  const std::vector<double> middle(stream.begin() + 40, stream.end());  // a piece from inside
  EXPECT_EQ(FindStreamOffset(middle, stream, 16), 40);
  EXPECT_EQ(FindStreamOffset(std::vector<double>(10, 0.0), stream), std::nullopt);
  EXPECT_EQ(FindStreamOffset(std::vector<double>{9.0, 9.0}, stream), std::nullopt);
}

TEST(CaptureCheck, LevelsAreInDecibelsOfFullScaleOverTheSoundingSpan) {
  Capture capture;
  capture.channels = 2;
  capture.channel = {{0, 0, 0.5, -0.5, 0.5, -0.5, 0}, {0, 0, 0, 0.25, 0, 0, 0}};
  const Span span = ActiveSpan(capture);
  EXPECT_EQ(span.first, 2u);
  EXPECT_EQ(span.end, 6u);
  const Levels left = MeasureLevels(capture.channel[0], span.first, span.end);
  EXPECT_DOUBLE_EQ(left.peak, 0.5);
  EXPECT_DOUBLE_EQ(left.rms, 0.5);
  EXPECT_NEAR(Dbfs(left.peak), -6.0206, 1e-4);
  EXPECT_TRUE(std::isinf(Dbfs(0)) && Dbfs(0) < 0);
  const Levels right = MeasureLevels(capture.channel[1], span.first, span.end);
  EXPECT_DOUBLE_EQ(right.rms, 0.125);

  capture.channel = {{0, 0}, {0, 0}};
  EXPECT_EQ(ActiveSpan(capture).end, 0u);
  EXPECT_EQ(MeasureLevels(capture.channel[0], 0, 0).peak, 0);
}

TEST(CaptureCheck, ChannelNumbersComeFromTheDisplayText) {
  struct Case {
    const char* text;
    int32_t number;
  } const cases[] = {{"0 - Output 1", 0}, {"12 - Out 13", 12},
                     {"7 -Out", -1},      {"", -1},
                     {"Out - 1", -1},     {"3", -1}};
  for (const auto& c : cases) EXPECT_EQ(ChannelNumberOfText(c.text), c.number) << c.text;
}

}  // namespace
