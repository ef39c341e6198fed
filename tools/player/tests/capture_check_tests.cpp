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

TEST(PcmSignal, PackingPutsTheValueInTheTopBytesOfTheStreamsWidth) {
  const int32_t samples16[] = {0x1234, -2, -32768};
  const int32_t samples24[] = {0x123456, -2, -8388608};
  struct Case {
    const int32_t* samples;
    int32_t from_bits;
    int32_t bits;
    std::vector<uint8_t> bytes;
  } const cases[] = {
      {samples16, 16, 8, {0x92, 0x7F, 0x00}},
      {samples16, 16, 16, {0x34, 0x12, 0xFE, 0xFF, 0x00, 0x80}},
      {samples16, 16, 24, {0, 0x34, 0x12, 0, 0xFE, 0xFF, 0, 0x00, 0x80}},
      {samples16, 16, 32, {0, 0, 0x34, 0x12, 0, 0, 0xFE, 0xFF, 0, 0, 0x00, 0x80}},
      {samples16, 16, 12, {}},
      {samples24, 24, 24, {0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0x00, 0x00, 0x80}},
      {samples24, 24, 32, {0, 0x56, 0x34, 0x12, 0, 0xFE, 0xFF, 0xFF, 0, 0x00, 0x00, 0x80}},
      {samples24, 24, 16, {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80}},
      {samples24, 24, 8, {0x92, 0x7F, 0x00}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PackSamples(c.samples, 3, c.from_bits, c.bits), c.bytes)
        << c.from_bits << " to " << c.bits;
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

TEST(PcmSignal, FilesOf24And32BitsKeepEveryBitAndFloatFilesAreNotPlayed) {
  for (const int32_t bits : {24, 32}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    PcmSource source;
    source.bits = bits;
    source.channels = 1;
    const int32_t top = bits == 24 ? 8388607 : 2147483647;
    source.samples = {-top - 1, top, 0, -1, 1, 0x123457};
    const std::string path = TempPath("deep.wav");
    ASSERT_TRUE(WritePcmWav(path, source));
    std::string error;
    const auto read = ReadPcmWav(path, &error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->bits, bits);
    EXPECT_EQ(read->samples, source.samples);
    std::remove(path.c_str());
  }
}

TEST(PcmSignal, OnlyPcmFilesArePlayed) {
  const std::string path = TempPath("float.wav");
  {
    wav::Writer writer;
    ASSERT_TRUE(writer.Open(path, {2, 44100, wav::SampleFormat::Float32}));
    const double frame[2] = {0.5, -0.5};
    writer.Write(frame, 1);
  }
  std::string error;
  EXPECT_FALSE(ReadPcmWav(path, &error));
  EXPECT_EQ(error, "not a PCM file of 8, 16, 24 or 32 bits");
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

// Two channels of 40 frames, frame 20 silent on both, played in blocks of 8 frames after 16
// frames of latency; underrun gaps end on a block's end and lose nothing.
TEST(CaptureCheck, UnderrunGapsAreSkippedAndEveryOtherDifferenceIsAMismatch) {
  std::vector<std::vector<double>> streams(2, std::vector<double>(40));
  for (size_t i = 0; i < 40; ++i) {
    streams[0][i] = i == 20 ? 0 : std::sin(static_cast<double>(i * i)) + 2;
    streams[1][i] = i == 20 ? 0 : -static_cast<double>(i + 1) / 64;
  }
  struct Piece {
    int64_t first;  // stream frame; -1: silence
    int64_t frames;
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    int64_t start, gaps, gap_frames, first_mismatch, missing;  // first_mismatch -1: none
  } const cases[] = {
      {"whole", {{-1, 16}, {0, 40}, {-1, 8}}, 16, 0, 0, -1, 0},
      {"late", {{-1, 19}, {0, 40}}, 19, 0, 0, -1, 0},
      {"gap to a block's end", {{-1, 16}, {0, 19}, {-1, 5}, {19, 21}}, 16, 1, 5, -1, 0},
      {"and a whole block", {{-1, 16}, {0, 19}, {-1, 13}, {19, 21}}, 16, 1, 13, -1, 0},
      {"where the stream is silent", {{-1, 16}, {0, 21}, {-1, 3}, {20, 20}}, 16, 1, 4, -1, 0},
      {"gap ending inside a block", {{-1, 16}, {0, 19}, {-1, 3}, {19, 21}}, 16, 0, 0, 35, 0},
      {"frames lost", {{-1, 16}, {0, 19}, {-1, 5}, {21, 19}}, 16, 0, 0, 35, 0},
      {"frames repeated", {{-1, 16}, {0, 19}, {-1, 5}, {17, 23}}, 16, 0, 0, 35, 0},
      {"silence to the end", {{-1, 16}, {0, 30}, {-1, 10}}, 16, 0, 0, 46, 0},
      {"cut short", {{-1, 16}, {0, 30}}, 16, 0, 0, -1, 10},
      {"silent", {{-1, 64}}, -1, 0, 0, -1, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Capture capture;
    capture.channels = 2;
    capture.channel.resize(2);
    for (const Piece& piece : c.pieces)
      for (int64_t k = 0; k < piece.frames; ++k)
        for (size_t channel = 0; channel < 2; ++channel)
          capture.channel[channel].push_back(
              piece.first < 0 ? 0.0 : streams[channel][static_cast<size_t>(piece.first + k)]);
    const GappedComparison result = CompareWithGappedStreams(capture, streams, 8, 4);
    EXPECT_EQ(result.start, c.start);
    // After a mismatch the comparison may take up the streams again: gaps count only without.
    if (c.first_mismatch < 0) {
      EXPECT_EQ(result.gaps, c.gaps);
      EXPECT_EQ(result.gap_frames, c.gap_frames);
    }
    EXPECT_EQ(result.mismatches > 0, c.first_mismatch >= 0);
    EXPECT_EQ(result.first_mismatch, c.first_mismatch);
    EXPECT_EQ(result.missing, c.missing);
  }

  // A single sample off, or a frame silenced in place, is found on its channel.
  Capture capture;
  capture.channels = 2;
  capture.channel = {std::vector<double>(16, 0.0), std::vector<double>(16, 0.0)};
  for (size_t channel = 0; channel < 2; ++channel)
    capture.channel[channel].insert(capture.channel[channel].end(), streams[channel].begin(),
                                    streams[channel].end());
  capture.channel[1][16 + 10] += 1.0 / 65536;
  capture.channel[0][16 + 23] = capture.channel[1][16 + 23] = 0;
  const GappedComparison result = CompareWithGappedStreams(capture, streams, 8, 4);
  EXPECT_EQ(result.mismatches, 2);
  EXPECT_EQ(result.first_mismatch, 26);
  EXPECT_EQ(result.channel, 1u);
  EXPECT_EQ(result.gaps, 0);
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

// A frame is silent only when every channel is exactly 0; the lead and the tail are no runs.
TEST(CaptureCheck, SilentRunsAreFramesQuietOnEveryChannelInsideTheSoundingSpan) {
  Capture capture;
  capture.channels = 2;
  capture.channel = {{0, 0, 0.5, 0, 0, 0, 0.5, 0, 1e-30, 0, 0.5, 0, 0},
                     {0, 0, 0.1, 0, 0, 0, 0.0, 0, 0.000, 0, 0.2, 0, 0}};
  const auto runs = SilentRuns(capture);
  ASSERT_EQ(runs.size(), 3u);
  const int64_t expected[][2] = {{3, 3}, {7, 1}, {9, 1}};
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].at, expected[i][0]) << i;
    EXPECT_EQ(runs[i].frames, expected[i][1]) << i;
  }
  capture.channel[1][4] = -0.25;  // one channel sounding breaks the run
  ASSERT_EQ(SilentRuns(capture).size(), 4u);
  EXPECT_EQ(SilentRuns(capture)[0].frames, 1);
  capture.channel = {{0, 0, 0}, {0, 0, 0}};
  EXPECT_TRUE(SilentRuns(capture).empty());

  // Below a threshold: the tiny values of a ringing filter count as silence, at the edges too.
  capture.channel = {{1e-9, 0.5, 1e-7, -1e-8, 0.5, 2e-6, 1e-9}, {0, 0.1, 0, 1e-7, 0, 0, 0}};
  EXPECT_TRUE(SilentRuns(capture).empty()) << "no frame is exactly 0";
  const auto quiet = SilentRuns(capture, 1e-6);
  ASSERT_EQ(quiet.size(), 1u);
  EXPECT_EQ(quiet[0].at, 2);
  EXPECT_EQ(quiet[0].frames, 2);
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

namespace counter {

// Every residue of both codes comes back from its sample, and no sample is silence.
TEST(PcmSignal, TheCounterCodesEveryFrameInANonZeroSampleOfItsChannel) {
  for (int32_t channel = 0; channel < 2; ++channel) {
    const CounterCode code = kCounterCodes[channel];
    for (int64_t frame = 0; frame < 2 * code.period + 3; ++frame) {
      const int16_t sample = CounterSample(frame, channel);
      ASSERT_NE(sample, 0) << frame;
      ASSERT_EQ(CounterResidue(sample), (frame + code.offset) % code.period) << frame;
    }
  }
  EXPECT_EQ(CounterResidue(0), -1);
  const PcmSource source = GenerateCounter(2.0);
  ASSERT_EQ(source.Frames(), 88200u);
  for (size_t i = 0; i < source.Frames(); i += 997) {
    EXPECT_EQ(source.samples[2 * i], CounterSample(static_cast<int64_t>(i), 0));
    EXPECT_EQ(source.samples[2 * i + 1], CounterSample(static_cast<int64_t>(i), 1));
    EXPECT_NE(source.samples[2 * i], source.samples[2 * i + 1]) << "the channels differ";
  }
}

// What the router's output `output` carries for programme frame `frame` (-1: silence).
double Routed(int64_t frame, int32_t output) {
  return frame < 0 ? 0.0 : output * (CounterSample(frame, (output - 1) % 2) / 32768.0);
}

// Pieces of a captured channel: a run of programme frames [first, end), or silence.
struct Piece {
  int64_t first;
  int64_t end;
};
Piece Frames(int64_t first, int64_t end) {
  return {first, end};
}
Piece Silence(int64_t frames) {
  return {-1, -1 - frames};
}

// Two channels name a frame alone, however far it lies from the one before.
TEST(CaptureCheck, TwoCounterChannelsNameTheirFrameWithoutTheFrameBefore) {
  const int64_t frames[] = {0,          1,          65520,      65521,     65534,
                            65535,      65536,      4000000,    123456789, 65535LL * 65521 - 1,
                            2000000000, 3000000001, 4290000000, 40000};
  for (const int32_t a : {1, 7}) {
    for (const int64_t frame : frames)
      EXPECT_EQ(CounterFrameOf(Routed(frame, a), a, Routed(frame, a + 1), a + 1), frame)
          << "output " << a << ", frame " << frame;
  }
  EXPECT_EQ(CounterFrameOf(0, 7, 0, 8), kCounterSilent);
  EXPECT_EQ(CounterFrameOf(Routed(5, 7), 7, 0, 8), kCounterUnrecognised);
  EXPECT_EQ(CounterFrameOf(0.3, 7, Routed(5, 8), 8), kCounterUnrecognised);
  // Outputs of the wrong programme channels name nothing.
  EXPECT_EQ(CounterFrameOf(Routed(5, 8), 8, Routed(5, 7), 7), kCounterUnrecognised);

  Capture capture;
  capture.channels = 3;
  capture.channel = {
      {0, 0, 0}, {0, Routed(9, 7), Routed(70000, 7)}, {0, Routed(9, 8), Routed(70000, 8)}};
  EXPECT_EQ(CounterFrames(capture, 1, 7, 2, 8), (std::vector<int64_t>{-1, 9, 70000}));
}

TEST(CaptureCheck, TheCounterTellsLostRepeatedAndLateFramesApartFromSilence) {
  struct Case {
    const char* name;
    int64_t programme;
    int32_t output;
    std::vector<Piece> pieces;
    struct {
      int64_t captured = 0, heard = 0, lead = 0, gaps = 0, gap_frames = 0, lost = 0, repeated = 0,
              out_of_order = 0, unplayed = 0, jumps = 0;
    } expected;
  } const cases[] = {
      {"whole, with lead and tail",
       1000,
       1,
       {Silence(10), Frames(0, 1000), Silence(20)},
       {.captured = 1030, .heard = 1000, .lead = 10}},
      {"silence while reopening",
       1000,
       2,
       {Frames(0, 500), Silence(300), Frames(500, 1000)},
       {.captured = 1300, .heard = 1000, .gaps = 1, .gap_frames = 300}},
      {"frames lost across the silence",
       1000,
       3,
       {Frames(0, 500), Silence(100), Frames(700, 1000)},
       {.captured = 900, .heard = 800, .gaps = 1, .gap_frames = 100, .lost = 200, .jumps = 1}},
      {"frames played again",
       1000,
       8,
       {Frames(0, 500), Frames(400, 1000)},
       {.captured = 1100, .heard = 1100, .repeated = 100, .jumps = 1}},
      {"frames out of order",
       1000,
       5,
       {Frames(0, 100), Frames(200, 300), Frames(100, 200), Frames(300, 1000)},
       {.captured = 1000, .heard = 1000, .out_of_order = 100, .jumps = 3}},
      {"the start missing, the end cut off",
       1000,
       4,
       {Frames(100, 900)},
       {.captured = 800, .heard = 800, .lost = 100, .unplayed = 100, .jumps = 1}},
      {"a ring's worth lost where the code wraps",
       200000,
       7,
       {Frames(0, 65530), Frames(73722, 200000)},
       {.captured = 191808, .heard = 191808, .lost = 8192, .jumps = 1}},
      {"nothing but silence", 1000, 1, {Silence(50)}, {.captured = 50, .unplayed = 1000}},
  };
  for (const Case& c : cases) {
    CounterCheck check(c.programme, c.output);
    for (const Piece& piece : c.pieces) {
      if (piece.first < 0)
        for (int64_t i = 0; i < -1 - piece.end; ++i) check.Add(0.0);
      for (int64_t frame = piece.first; piece.first >= 0 && frame < piece.end; ++frame)
        check.Add(Routed(frame, c.output));
    }
    const CounterFindings got = check.Findings();
    const auto& want = c.expected;
    EXPECT_EQ(got.captured, want.captured) << c.name;
    EXPECT_EQ(got.heard, want.heard) << c.name;
    EXPECT_EQ(got.lead, want.lead) << c.name;
    EXPECT_EQ(got.gaps, want.gaps) << c.name;
    EXPECT_EQ(got.gap_frames, want.gap_frames) << c.name;
    EXPECT_EQ(got.unrecognised, 0) << c.name;
    EXPECT_EQ(got.lost, want.lost) << c.name;
    EXPECT_EQ(got.repeated, want.repeated) << c.name;
    EXPECT_EQ(got.out_of_order, want.out_of_order) << c.name;
    EXPECT_EQ(got.unplayed, want.unplayed) << c.name;
    EXPECT_EQ(got.jumps, want.jumps) << c.name;
    EXPECT_EQ(got.first_jumps.size(), static_cast<size_t>(want.jumps)) << c.name;
  }
}

TEST(CaptureCheck, TheCounterSaysWhereItJumped) {
  CounterCheck check(1000, 1);
  for (int64_t frame = 0; frame < 300; ++frame) check.Add(Routed(frame, 1));
  for (int i = 0; i < 7; ++i) check.Add(0.0);
  for (int64_t frame = 350; frame < 1000; ++frame) check.Add(Routed(frame, 1));
  const CounterFindings findings = check.Findings();
  ASSERT_EQ(findings.first_jumps.size(), 1u);
  EXPECT_EQ(findings.first_jumps[0].at, 307);
  EXPECT_EQ(findings.first_jumps[0].from, 299);
  EXPECT_EQ(findings.first_jumps[0].to, 350);
  EXPECT_EQ(findings.first_jumps[0].silence, 7);
  EXPECT_EQ(findings.lost, 50);
}

// A sample that is no whole step of the output's factor, or a residue beyond the channel's
// period, or a frame past the programme, is not taken for a frame.
TEST(CaptureCheck, TheCounterCountsWhatItCannotRead) {
  CounterCheck check(100, 2);  // the right channel's code: period 65521
  check.Add(Routed(0, 2));
  check.Add(0.3);
  check.Add(2 * (32767 / 32768.0));  // residue 65534
  check.Add(Routed(1, 1) * 1.5);     // a step of 1.5 / 2: no whole step
  check.Add(Routed(1, 2));
  check.Add(Routed(150, 2));  // past the programme
  const CounterFindings findings = check.Findings();
  EXPECT_EQ(findings.unrecognised, 4);
  EXPECT_EQ(findings.heard, 2);
  EXPECT_EQ(findings.jumps, 0);
  EXPECT_EQ(findings.unplayed, 98);
}

// The file is read piece by piece; each routed channel is followed on its own.
TEST(CaptureCheck, ACounterCaptureIsCheckedChannelByChannel) {
  const std::string path = TempPath("counter.wav");
  constexpr int64_t kFrames = 10000;
  std::vector<double> frames;
  for (int64_t i = 0; i < kFrames; ++i) {
    frames.push_back(Routed(i, 1));
    frames.push_back(Routed(i >= 5000 && i < 5100 ? i - 50 : i, 2));  // 50 played again
    frames.push_back(0.25);                                           // not routed
  }
  wav::Writer writer;
  ASSERT_TRUE(writer.Open(path, {3, 44100, wav::SampleFormat::Float32}));
  ASSERT_TRUE(writer.Write(frames.data(), kFrames));
  ASSERT_TRUE(writer.Close());
  std::string error;
  const auto findings = CheckCounterCapture(path, kFrames, {1, 2, 0}, &error);
  std::remove(path.c_str());
  ASSERT_TRUE(findings) << error;
  ASSERT_EQ(findings->size(), 3u);
  EXPECT_EQ((*findings)[0].heard, kFrames);
  EXPECT_EQ((*findings)[0].jumps, 0);
  EXPECT_EQ((*findings)[1].repeated, 50);
  EXPECT_EQ((*findings)[1].lost, 50);
  EXPECT_EQ((*findings)[1].jumps, 2);
  EXPECT_EQ((*findings)[2].captured, 0) << "left out";
  EXPECT_FALSE(CheckCounterCapture(path, kFrames, {1}, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace counter
