#pragma once

// WAV files of any channel count for the test driver: it captures its outputs into one and
// feeds its inputs from one. Samples travel as interleaved doubles at full scale -1 .. +1,
// so that 32-bit integer samples survive the round trip exactly.
//
// Written: PCM with 16, 24 or 32 bits, or 32-bit IEEE float. More than two channels or more
// than 16 bits are written in the extensible format (channel mask 0), as players expect.
// Read: PCM with 8, 16, 24 or 32 bits and IEEE float with 32 or 64 bits, plain or extensible.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wav {

enum class SampleFormat { Int16, Int24, Int32, Float32, Float64, UInt8 };

struct Format {
  int32_t channels = 0;
  int32_t sample_rate = 0;
  SampleFormat sample_format = SampleFormat::Float32;
};

int32_t BytesPerSample(SampleFormat format);

class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() { Close(); }

  // Creates (or replaces) the file. Only Int16, Int24, Int32 and Float32 are written.
  bool Open(const std::string& path, const Format& format);
  // Goes on writing after the last frame of a file this writer made and closed before, when
  // its format is `format`; false (the file untouched) for anything else.
  bool Append(const std::string& path, const Format& format);
  bool IsOpen() const { return file_ != nullptr; }
  // Appends `frames` frames of format.channels interleaved samples; integer formats round
  // to the nearest step and clip at full scale.
  bool Write(const double* interleaved, size_t frames);
  // Completes the header with the final sizes and closes the file.
  bool Close();
  int64_t FramesWritten() const { return frames_; }

 private:
  std::FILE* file_ = nullptr;
  Format format_;
  int64_t frames_ = 0;
  bool failed_ = false;
};

class Reader {
 public:
  Reader() = default;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() { Close(); }

  // Opens a file and reads its header; false (with Error() set) for anything that is not a
  // WAV file this reader understands.
  bool Open(const std::string& path);
  void Close();
  const Format& format() const { return format_; }
  int64_t FrameCount() const { return frame_count_; }
  // Reads up to `frames` frames; returns how many were read (0 at the end).
  size_t Read(double* interleaved, size_t frames);
  const std::string& Error() const { return error_; }

 private:
  std::FILE* file_ = nullptr;
  Format format_;
  int64_t frame_count_ = 0;
  int64_t frames_left_ = 0;
  std::string error_;
  std::vector<uint8_t> chunk_;  // raw bytes of at least one frame
};

}  // namespace wav
