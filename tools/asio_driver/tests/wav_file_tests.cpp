#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/system.h"
#include "tools/asio_driver/wav_file.h"

namespace {

std::string TempPath(const char* name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return platform::ExecutableDirectory() + "/" + info->name() + "_" + name + ".wav";
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
  }
  return bytes;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

TEST(WavFile, RoundTripsEveryWrittenFormatWithAnyChannelCount) {
  struct Case {
    wav::SampleFormat format;
    int32_t channels;
    double step;  // the format's quantum
  };
  for (const Case& c : {Case{wav::SampleFormat::Int16, 1, 1.0 / 32768},
                        Case{wav::SampleFormat::Int24, 3, 1.0 / 8388608},
                        Case{wav::SampleFormat::Int32, 6, 1.0 / 2147483648.0},
                        Case{wav::SampleFormat::Float32, 2, 0.0}}) {
    SCOPED_TRACE(static_cast<int>(c.format));
    const std::string path = TempPath("round_trip");
    constexpr size_t kFrames = 2501;  // more than one internal chunk, and odd
    std::vector<double> samples(kFrames * static_cast<size_t>(c.channels));
    for (size_t i = 0; i < samples.size(); ++i)
      samples[i] = c.step > 0
                       ? (static_cast<double>(i % 4001) - 2000.0) * 3.0 * c.step
                       : static_cast<float>((static_cast<double>(i % 4001) - 2000.0) / 2001.0);
    samples[0] = -1.0;
    {
      wav::Writer writer;
      ASSERT_TRUE(writer.Open(path, {c.channels, 48000, c.format}));
      ASSERT_TRUE(writer.Write(samples.data(), 1000));
      ASSERT_TRUE(writer.Write(samples.data() + 1000 * c.channels, kFrames - 1000));
      EXPECT_EQ(writer.FramesWritten(), static_cast<int64_t>(kFrames));
      ASSERT_TRUE(writer.Close());
    }
    const size_t data_bytes =
        kFrames * static_cast<size_t>(c.channels * wav::BytesPerSample(c.format));
    const bool extensible = c.channels > 2 || wav::BytesPerSample(c.format) > 2;
    EXPECT_EQ(FileBytes(path).size(), (extensible ? 68 : 44) + data_bytes + data_bytes % 2);

    wav::Reader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.Error();
    EXPECT_EQ(reader.format().channels, c.channels);
    EXPECT_EQ(reader.format().sample_rate, 48000);
    EXPECT_EQ(reader.format().sample_format, c.format);
    EXPECT_EQ(reader.FrameCount(), static_cast<int64_t>(kFrames));
    std::vector<double> read(samples.size() + 16, 7.0);
    EXPECT_EQ(reader.Read(read.data(), kFrames + 4), kFrames);
    EXPECT_EQ(reader.Read(read.data(), 1), 0u);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(read[i], samples[i]) << i;
    EXPECT_EQ(read[samples.size()], 7.0);
    reader.Close();
    std::remove(path.c_str());
  }
}

TEST(WavFile, CarriesFramesWiderThanItsReadChunk) {
  const std::string path = TempPath("wide");
  constexpr int32_t kChannels = 3000;
  std::vector<double> frames(3 * kChannels);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<double>(i % 1000) / 1024.0;
  wav::Writer writer;
  ASSERT_TRUE(writer.Open(path, {kChannels, 44100, wav::SampleFormat::Float32}));
  ASSERT_TRUE(writer.Write(frames.data(), 3));
  ASSERT_TRUE(writer.Close());
  wav::Reader reader;
  ASSERT_TRUE(reader.Open(path)) << reader.Error();
  std::vector<double> read(frames.size());
  ASSERT_EQ(reader.Read(read.data(), 3), 3u);
  EXPECT_EQ(read, frames);
  reader.Close();
  std::remove(path.c_str());
}

// A writer reopened on its own closed file goes on after its last frame; a file of another
// format, or none, is left alone.
TEST(WavFile, AppendsToAFileItMadeInTheSameFormatOnly) {
  const std::string path = TempPath("append");
  const wav::Format stereo{2, 44100, wav::SampleFormat::Float32};
  const wav::Format eight{8, 44100, wav::SampleFormat::Float32};
  std::remove(path.c_str());
  wav::Writer writer;
  EXPECT_FALSE(writer.Append(path, stereo)) << "no file yet";
  for (const wav::Format& format : {stereo, eight}) {
    const auto channels = static_cast<size_t>(format.channels);
    std::vector<double> frames(5 * channels);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<double>(i) / 64.0 - 0.5;
    ASSERT_TRUE(writer.Open(path, format));
    ASSERT_TRUE(writer.Write(frames.data(), 2));
    ASSERT_TRUE(writer.Close());
    ASSERT_TRUE(writer.Append(path, format));
    EXPECT_EQ(writer.FramesWritten(), 2);
    ASSERT_TRUE(writer.Write(frames.data() + 2 * channels, 3));
    ASSERT_TRUE(writer.Close());
    wav::Reader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.Error();
    EXPECT_EQ(reader.FrameCount(), 5);
    std::vector<double> read(frames.size());
    ASSERT_EQ(reader.Read(read.data(), 5), 5u);
    EXPECT_EQ(read, frames) << format.channels << " channels";
  }
  const std::vector<uint8_t> before = FileBytes(path);
  for (const wav::Format& other : {stereo, wav::Format{8, 48000, wav::SampleFormat::Float32},
                                   wav::Format{8, 44100, wav::SampleFormat::Int32}})
    EXPECT_FALSE(writer.Append(path, other)) << other.channels << " " << other.sample_rate;
  EXPECT_EQ(FileBytes(path), before);
  std::remove(path.c_str());
}

TEST(WavFile, IntegerFormatsRoundAndClip) {
  const std::string path = TempPath("clip");
  wav::Writer writer;
  ASSERT_TRUE(writer.Open(path, {1, 8000, wav::SampleFormat::Int16}));
  const double samples[] = {1.0, -1.5, 0.6 / 32768, 0.4 / 32768, std::nan("")};
  ASSERT_TRUE(writer.Write(samples, 5));
  ASSERT_TRUE(writer.Close());
  wav::Reader reader;
  ASSERT_TRUE(reader.Open(path));
  double read[5];
  ASSERT_EQ(reader.Read(read, 5), 5u);
  EXPECT_EQ(read[0], 32767.0 / 32768);
  EXPECT_EQ(read[1], -1.0);
  EXPECT_EQ(read[2], 1.0 / 32768);
  EXPECT_EQ(read[3], 0.0);
  EXPECT_EQ(read[4], 0.0);
  reader.Close();
  std::remove(path.c_str());
}

TEST(WavFile, ReadsEightBitAndDoubleFilesAndSkipsUnknownChunks) {
  const std::string path = TempPath("foreign");
  // 8-bit mono with a "LIST" chunk of odd size (padded) before the data.
  WriteBytes(path, {'R', 'I', 'F', 'F', 46,  0,   0,   0,   'W', 'A',  'V',  'E',  'f',  'm',  't',
                    ' ', 16,  0,   0,   0,   1,   0,   1,   0,   0x40, 0x1F, 0,    0,    0x40, 0x1F,
                    0,   0,   1,   0,   8,   0,   'L', 'I', 'S', 'T',  3,    0,    0,    0,    'a',
                    'b', 'c', 0,   'd', 'a', 't', 'a', 3,   0,   0,    0,    0x80, 0xC0, 0x00, 0});
  wav::Reader reader;
  ASSERT_TRUE(reader.Open(path)) << reader.Error();
  EXPECT_EQ(reader.format().sample_format, wav::SampleFormat::UInt8);
  double read[3];
  ASSERT_EQ(reader.Read(read, 3), 3u);
  EXPECT_EQ(read[0], 0.0);
  EXPECT_EQ(read[1], 0.5);
  EXPECT_EQ(read[2], -1.0);

  // 64-bit float stereo whose data chunk claims more than the file holds.
  WriteBytes(path,
             {'R',  'I', 'F', 'F', 52, 0,    0,    0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
              ' ',  16,  0,   0,   0,  3,    0,    2,   0,   0x44, 0xAC, 0,   0,   0x20, 0x62,
              0x05, 0,   16,  0,   64, 0,    'd',  'a', 't', 'a',  64,   0,   0,   0,    0,
              0,    0,   0,   0,   0,  0xE0, 0x3F, 0,   0,   0,    0,    0,   0,   0xF0, 0xBF});
  ASSERT_TRUE(reader.Open(path)) << reader.Error();
  EXPECT_EQ(reader.format().sample_format, wav::SampleFormat::Float64);
  EXPECT_EQ(reader.format().sample_rate, 44100);
  EXPECT_EQ(reader.FrameCount(), 4);
  double frames[8];
  EXPECT_EQ(reader.Read(frames, 4), 1u);
  EXPECT_EQ(frames[0], 0.5);
  EXPECT_EQ(frames[1], -1.0);
  reader.Close();
  std::remove(path.c_str());
}

TEST(WavFile, RejectsWhatItCannotRead) {
  const std::string path = TempPath("bad");
  const std::vector<std::vector<uint8_t>> files = {
      {},
      {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '},
      // 12-bit PCM
      {'R', 'I', 'F', 'F', 36, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
       ' ', 16,  0,   0,   0,  1, 0,   1,   0,   0x40, 0x1F, 0,   0,   0x80, 0x3E,
       0,   0,   2,   0,   12, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0},
      // block align that does not match the channels
      {'R', 'I', 'F', 'F', 36, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
       ' ', 16,  0,   0,   0,  1, 0,   2,   0,   0x40, 0x1F, 0,   0,   0x80, 0x3E,
       0,   0,   2,   0,   16, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0},
      // data before format
      {'R', 'I', 'F', 'F', 12, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a', 't', 'a', 0, 0, 0, 0},
  };
  for (size_t i = 0; i < files.size(); ++i) {
    WriteBytes(path, files[i]);
    wav::Reader reader;
    EXPECT_FALSE(reader.Open(path)) << i;
    EXPECT_FALSE(reader.Error().empty()) << i;
    double sample;
    EXPECT_EQ(reader.Read(&sample, 1), 0u);
  }
  std::remove(path.c_str());
  wav::Reader reader;
  EXPECT_FALSE(reader.Open(path));
  wav::Writer writer;
  EXPECT_FALSE(writer.Open(path, {0, 44100, wav::SampleFormat::Int16}));
  EXPECT_FALSE(writer.Open(path, {2, 44100, wav::SampleFormat::Float64}));
}

}  // namespace
