#include "tools/player/pcm_signal.h"

#include <cmath>

#include "tools/asio_driver/wav_file.h"

namespace harness {

PcmSource GenerateTone(double seconds, int32_t sample_rate) {
  PcmSource source;
  source.sample_rate = sample_rate;
  source.channels = 2;
  const auto frames = static_cast<size_t>(seconds > 0 ? seconds * sample_rate : 0);
  source.samples.resize(frames * 2);
  const double two_pi = 6.283185307179586;
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / sample_rate;
    source.samples[2 * i] =
        static_cast<int16_t>(std::lround(3277.0 * std::sin(two_pi * 440.0 * t)));
    source.samples[2 * i + 1] =
        static_cast<int16_t>(std::lround(1642.0 * std::sin(two_pi * 660.0 * t)));
  }
  return source;
}

std::optional<PcmSource> ReadPcmWav(const std::string& path, std::string* error) {
  wav::Reader reader;
  if (!reader.Open(path)) {
    if (error) *error = reader.Error();
    return std::nullopt;
  }
  if (reader.format().sample_format != wav::SampleFormat::Int16 || reader.format().channels < 1) {
    if (error) *error = "not a 16-bit PCM file";
    return std::nullopt;
  }
  PcmSource source;
  source.sample_rate = reader.format().sample_rate;
  source.channels = reader.format().channels;
  std::vector<double> block(4096 * static_cast<size_t>(source.channels));
  for (size_t got; (got = reader.Read(block.data(), 4096)) > 0;) {
    for (size_t i = 0; i < got * static_cast<size_t>(source.channels); ++i)
      source.samples.push_back(static_cast<int16_t>(std::lround(block[i] * 32768.0)));
  }
  return source;
}

bool WritePcmWav(const std::string& path, const PcmSource& source) {
  wav::Writer writer;
  if (!writer.Open(path, {source.channels, source.sample_rate, wav::SampleFormat::Int16}))
    return false;
  std::vector<double> scaled(source.samples.size());
  for (size_t i = 0; i < scaled.size(); ++i) scaled[i] = source.samples[i] / 32768.0;
  return writer.Write(scaled.data(), source.Frames()) && writer.Close();
}

std::vector<uint8_t> PackSamples(const int16_t* samples, size_t count, int32_t bits) {
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};
  const size_t width = static_cast<size_t>(bits / 8);
  std::vector<uint8_t> bytes(count * width);
  for (size_t i = 0; i < count; ++i) {
    const auto value = static_cast<uint16_t>(samples[i]);
    uint8_t* out = bytes.data() + i * width;
    if (bits == 8) {
      out[0] = static_cast<uint8_t>((value >> 8) ^ 0x80);
      continue;
    }
    out[width - 2] = static_cast<uint8_t>(value);
    out[width - 1] = static_cast<uint8_t>(value >> 8);
  }
  return bytes;
}

}  // namespace harness
