#include "tools/asio_driver/wav_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace wav {
namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// The tail shared by the KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT sub-format ids; the first
// two bytes carry the plain format tag.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr long kRiffSizeOffset = 4;
constexpr size_t kFramesPerChunk = 1024;

void Put16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}
void PutTag(std::vector<uint8_t>& out, const char* tag) {
  out.insert(out.end(), tag, tag + 4);
}
uint32_t Get16(const uint8_t* in) {
  return in[0] | (in[1] << 8);
}
uint32_t Get32(const uint8_t* in) {
  return Get16(in) | (Get16(in + 2) << 16);
}

bool Extensible(const Format& format) {
  return format.channels > 2 || BytesPerSample(format.sample_format) > 2;
}

int64_t ToInteger(double sample, double scale, int64_t lowest, int64_t highest) {
  if (std::isnan(sample)) return 0;
  const double scaled = std::nearbyint(sample * scale);
  if (scaled <= static_cast<double>(lowest)) return lowest;
  if (scaled >= static_cast<double>(highest)) return highest;
  return static_cast<int64_t>(scaled);
}

void EncodeSample(double sample, SampleFormat format, uint8_t* out) {
  switch (format) {
    case SampleFormat::Int16: {
      const auto v = static_cast<uint32_t>(ToInteger(sample, 32768.0, -32768, 32767));
      out[0] = static_cast<uint8_t>(v);
      out[1] = static_cast<uint8_t>(v >> 8);
      return;
    }
    case SampleFormat::Int24: {
      const auto v = static_cast<uint32_t>(ToInteger(sample, 8388608.0, -8388608, 8388607));
      out[0] = static_cast<uint8_t>(v);
      out[1] = static_cast<uint8_t>(v >> 8);
      out[2] = static_cast<uint8_t>(v >> 16);
      return;
    }
    case SampleFormat::Int32: {
      const auto v = static_cast<uint32_t>(ToInteger(sample, 2147483648.0, INT32_MIN, INT32_MAX));
      for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
      return;
    }
    case SampleFormat::Float32: {
      const float f = static_cast<float>(sample);
      uint32_t v;
      std::memcpy(&v, &f, 4);
      for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
      return;
    }
    case SampleFormat::Float64:
    case SampleFormat::UInt8:
      return;  // not written
  }
}

double DecodeSample(const uint8_t* in, SampleFormat format) {
  switch (format) {
    case SampleFormat::UInt8:
      return (static_cast<int>(in[0]) - 128) / 128.0;
    case SampleFormat::Int16:
      return static_cast<int16_t>(Get16(in)) / 32768.0;
    case SampleFormat::Int24: {
      const int32_t v = static_cast<int32_t>((in[0] << 8) | (in[1] << 16) |
                                             (static_cast<uint32_t>(in[2]) << 24)) >>
                        8;
      return v / 8388608.0;
    }
    case SampleFormat::Int32:
      return static_cast<int32_t>(Get32(in)) / 2147483648.0;
    case SampleFormat::Float32: {
      const uint32_t v = Get32(in);
      float f;
      std::memcpy(&f, &v, 4);
      return f;
    }
    case SampleFormat::Float64: {
      const uint64_t v = Get32(in) | (static_cast<uint64_t>(Get32(in + 4)) << 32);
      double d;
      std::memcpy(&d, &v, 8);
      return d;
    }
  }
  return 0.0;
}

}  // namespace

int32_t BytesPerSample(SampleFormat format) {
  switch (format) {
    case SampleFormat::UInt8:
      return 1;
    case SampleFormat::Int16:
      return 2;
    case SampleFormat::Int24:
      return 3;
    case SampleFormat::Int32:
      return 4;
    case SampleFormat::Float32:
      return 4;
    case SampleFormat::Float64:
      return 8;
  }
  return 0;
}

namespace {

// The header Open writes, with both sizes 0 (Close completes them).
std::vector<uint8_t> Header(const Format& format) {
  const uint32_t bytes = static_cast<uint32_t>(BytesPerSample(format.sample_format));
  const uint32_t block_align = bytes * static_cast<uint32_t>(format.channels);
  const uint16_t tag = format.sample_format == SampleFormat::Float32 ? kFormatFloat : kFormatPcm;
  std::vector<uint8_t> header;
  PutTag(header, "RIFF");
  Put32(header, 0);
  PutTag(header, "WAVE");
  PutTag(header, "fmt ");
  const bool extensible = Extensible(format);
  Put32(header, extensible ? 40 : 16);
  Put16(header, extensible ? kFormatExtensible : tag);
  Put16(header, static_cast<uint32_t>(format.channels));
  Put32(header, static_cast<uint32_t>(format.sample_rate));
  Put32(header, static_cast<uint32_t>(format.sample_rate) * block_align);
  Put16(header, block_align);
  Put16(header, bytes * 8);
  if (extensible) {
    Put16(header, 22);
    Put16(header, bytes * 8);  // valid bits
    Put32(header, 0);          // no speaker positions
    Put16(header, tag);
    header.insert(header.end(), kSubFormatTail, kSubFormatTail + sizeof(kSubFormatTail));
  }
  PutTag(header, "data");
  Put32(header, 0);
  return header;
}

bool Writable(const Format& format) {
  return format.channels >= 1 && format.channels <= 65535 && format.sample_rate >= 1 &&
         format.sample_format != SampleFormat::Float64 &&
         format.sample_format != SampleFormat::UInt8;
}

}  // namespace

bool Writer::Open(const std::string& path, const Format& format) {
  Close();
  if (!Writable(format)) return false;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  format_ = format;
  frames_ = 0;
  failed_ = false;
  const std::vector<uint8_t> header = Header(format);
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) failed_ = true;
  return !failed_;
}

bool Writer::Append(const std::string& path, const Format& format) {
  Close();
  if (!Writable(format)) return false;
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  if (!file) return false;
  const std::vector<uint8_t> expected = Header(format);
  std::vector<uint8_t> header(expected.size());
  const bool read = std::fread(header.data(), 1, header.size(), file) == header.size();
  // Only the RIFF size (bytes 4 to 7) and the data size (the last four) may differ.
  const bool same = read && std::equal(header.begin(), header.begin() + 4, expected.begin()) &&
                    std::equal(header.begin() + 8, header.end() - 4, expected.begin() + 8);
  const uint64_t block_align = static_cast<uint64_t>(BytesPerSample(format.sample_format)) *
                               static_cast<uint64_t>(format.channels);
  const uint64_t data_bytes = same ? Get32(header.data() + header.size() - 4) : 0;
  if (!same || data_bytes % block_align != 0 ||
      std::fseek(file, static_cast<long>(header.size() + data_bytes), SEEK_SET) != 0) {
    std::fclose(file);
    return false;
  }
  file_ = file;
  format_ = format;
  frames_ = static_cast<int64_t>(data_bytes / block_align);
  failed_ = false;
  return true;
}

bool Writer::Write(const double* interleaved, size_t frames) {
  if (!file_) return false;
  const size_t bytes = static_cast<size_t>(BytesPerSample(format_.sample_format));
  const size_t channels = static_cast<size_t>(format_.channels);
  uint8_t chunk[kFramesPerChunk * 4];
  const size_t samples_per_chunk = sizeof(chunk) / bytes;
  size_t samples = frames * channels;
  while (samples > 0) {
    const size_t now = samples < samples_per_chunk ? samples : samples_per_chunk;
    for (size_t i = 0; i < now; ++i)
      EncodeSample(interleaved[i], format_.sample_format, chunk + i * bytes);
    if (std::fwrite(chunk, bytes, now, file_) != now) failed_ = true;
    interleaved += now;
    samples -= now;
  }
  frames_ += static_cast<int64_t>(frames);
  return !failed_;
}

bool Writer::Close() {
  if (!file_) return false;
  const uint64_t data_bytes = static_cast<uint64_t>(frames_) *
                              static_cast<uint64_t>(BytesPerSample(format_.sample_format)) *
                              static_cast<uint64_t>(format_.channels);
  const long header_bytes = Extensible(format_) ? 68 : 44;
  if (data_bytes % 2 == 1 && std::fputc(0, file_) == EOF)
    failed_ = true;  // chunks are word-aligned
  const uint64_t riff_bytes = static_cast<uint64_t>(header_bytes) - 8 + data_bytes + data_bytes % 2;
  if (riff_bytes > UINT32_MAX) failed_ = true;
  std::vector<uint8_t> size;
  Put32(size, static_cast<uint32_t>(riff_bytes));
  if (std::fseek(file_, kRiffSizeOffset, SEEK_SET) != 0 ||
      std::fwrite(size.data(), 1, 4, file_) != 4)
    failed_ = true;
  size.clear();
  Put32(size, static_cast<uint32_t>(data_bytes));
  if (std::fseek(file_, header_bytes - 4, SEEK_SET) != 0 ||
      std::fwrite(size.data(), 1, 4, file_) != 4)
    failed_ = true;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

bool Reader::Open(const std::string& path) {
  Close();
  error_.clear();
  format_ = Format{};
  frame_count_ = 0;
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) {
    error_ = "cannot open " + path;
    return false;
  }
  auto fail = [this](const char* why) {
    error_ = why;
    Close();
    return false;
  };
  uint8_t riff[12];
  if (std::fread(riff, 1, 12, file_) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0)
    return fail("not a RIFF WAVE file");
  bool have_format = false;
  uint16_t tag = 0;
  uint32_t bits = 0;
  uint32_t block_align = 0;
  for (;;) {
    uint8_t chunk[8];
    if (std::fread(chunk, 1, 8, file_) != 8) return fail("no data chunk");
    const uint32_t size = Get32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || size > 1024) return fail("bad format chunk");
      uint8_t body[1024];
      if (std::fread(body, 1, size, file_) != size) return fail("short format chunk");
      if (size % 2 == 1 && std::fgetc(file_) == EOF) return fail("short format chunk");
      tag = static_cast<uint16_t>(Get16(body));
      format_.channels = static_cast<int32_t>(Get16(body + 2));
      format_.sample_rate = static_cast<int32_t>(Get32(body + 4) & 0x7FFFFFFF);
      block_align = Get16(body + 12);
      bits = Get16(body + 14);
      if (tag == kFormatExtensible) {
        if (size < 40 || std::memcmp(body + 26, kSubFormatTail, sizeof(kSubFormatTail)) != 0)
          return fail("unknown extensible sub-format");
        tag = static_cast<uint16_t>(Get16(body + 24));
      }
      have_format = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_format) return fail("data before format");
      if (tag == kFormatPcm && bits == 8)
        format_.sample_format = SampleFormat::UInt8;
      else if (tag == kFormatPcm && bits == 16)
        format_.sample_format = SampleFormat::Int16;
      else if (tag == kFormatPcm && bits == 24)
        format_.sample_format = SampleFormat::Int24;
      else if (tag == kFormatPcm && bits == 32)
        format_.sample_format = SampleFormat::Int32;
      else if (tag == kFormatFloat && bits == 32)
        format_.sample_format = SampleFormat::Float32;
      else if (tag == kFormatFloat && bits == 64)
        format_.sample_format = SampleFormat::Float64;
      else
        return fail("unsupported sample format");
      if (format_.channels < 1 || format_.sample_rate < 1 ||
          block_align !=
              static_cast<uint32_t>(format_.channels * BytesPerSample(format_.sample_format)))
        return fail("inconsistent format chunk");
      frame_count_ = size / block_align;
      frames_left_ = frame_count_;
      chunk_.resize(std::max<size_t>(kFramesPerChunk * 8, block_align));
      return true;
    } else {
      if (std::fseek(file_, static_cast<long>(size + size % 2), SEEK_CUR) != 0)
        return fail("short chunk");
    }
  }
}

void Reader::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  frames_left_ = 0;
}

size_t Reader::Read(double* interleaved, size_t frames) {
  if (!file_) return 0;
  if (static_cast<int64_t>(frames) > frames_left_) frames = static_cast<size_t>(frames_left_);
  const size_t bytes = static_cast<size_t>(BytesPerSample(format_.sample_format));
  const size_t channels = static_cast<size_t>(format_.channels);
  uint8_t* chunk = chunk_.data();
  const size_t frames_per_chunk = chunk_.size() / (bytes * channels);
  size_t done = 0;
  while (done < frames) {
    const size_t want = frames - done < frames_per_chunk ? frames - done : frames_per_chunk;
    const size_t got = std::fread(chunk, bytes * channels, want, file_);
    for (size_t i = 0; i < got * channels; ++i)
      interleaved[done * channels + i] = DecodeSample(chunk + i * bytes, format_.sample_format);
    done += got;
    if (got < want) {
      frames_left_ = 0;  // the file is shorter than its header says
      return done;
    }
  }
  frames_left_ -= static_cast<int64_t>(done);
  return done;
}

}  // namespace wav
