#include "tools/player/pcm_signal.h"

#include <algorithm>
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

namespace {

// Pink (-3 dB per octave) from white noise by a sum of first-order low passes, within
// 0.05 dB from 10 Hz up to near the Nyquist frequency at 44.1 kHz.
class PinkNoise {
 public:
  double Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    const double white = static_cast<double>(state_ >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    b_[0] = 0.99886 * b_[0] + white * 0.0555179;
    b_[1] = 0.99332 * b_[1] + white * 0.0750759;
    b_[2] = 0.96900 * b_[2] + white * 0.1538520;
    b_[3] = 0.86650 * b_[3] + white * 0.3104856;
    b_[4] = 0.55000 * b_[4] + white * 0.5329522;
    b_[5] = -0.7616 * b_[5] - white * 0.0168980;
    const double pink = b_[0] + b_[1] + b_[2] + b_[3] + b_[4] + b_[5] + b_[6] + white * 0.5362;
    b_[6] = white * 0.115926;
    return pink;
  }

 private:
  uint64_t state_ = 0x5061727469ull;  // a fixed seed: the same noise on every run
  double b_[7] = {};
};

}  // namespace

PcmSource GenerateProgramme(double seconds, int32_t sample_rate) {
  constexpr double kTwoPi = 6.283185307179586;
  constexpr double kSweepSeconds = 8.0, kNoiseSeconds = 6.0, kFadeSeconds = 0.01;
  constexpr double kToneLevel = 0.25119;  // -12 dBFS
  constexpr double kTones[] = {60.0, 440.0, 2000.0, 8000.0};
  const double rate = sample_rate > 0 ? sample_rate : 44100;
  const auto frames = static_cast<size_t>(seconds > 0 ? seconds * rate : 0);
  const auto pattern_frames = static_cast<size_t>(kProgrammeSeconds * rate);

  // One pass of the pattern, left channel, as doubles; the noise scaled to its RMS target.
  std::vector<double> pattern(std::min(frames, pattern_frames));
  PinkNoise pink;
  std::vector<double> noise(static_cast<size_t>(kNoiseSeconds * rate));
  double power = 0;
  for (double& value : noise) {
    value = pink.Next();
    power += value * value;
  }
  const double noise_gain =
      noise.empty() ? 0 : 0.12589 / std::sqrt(power / static_cast<double>(noise.size()));
  const double sweep_rate = std::log(20000.0 / 20.0) / kSweepSeconds;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const double t = static_cast<double>(i) / rate;
    double section_start = 0, section_length = kSweepSeconds, value = 0;
    if (t < kSweepSeconds) {
      // The phase of a sweep whose frequency rises exponentially from 20 Hz.
      value = kToneLevel * std::sin(kTwoPi * 20.0 * (std::exp(sweep_rate * t) - 1.0) / sweep_rate);
    } else if (t < kSweepSeconds + kNoiseSeconds) {
      section_start = kSweepSeconds;
      section_length = kNoiseSeconds;
      value = noise_gain *
              noise[static_cast<size_t>(std::lround((t - section_start) * rate)) % noise.size()];
    } else {
      const auto tone = static_cast<size_t>(t - kSweepSeconds - kNoiseSeconds);
      section_start = kSweepSeconds + kNoiseSeconds + static_cast<double>(tone);
      section_length = 1.0;
      value = kToneLevel * std::sin(kTwoPi * kTones[std::min<size_t>(tone, 3)] * t);
    }
    const double into = t - section_start, left = section_start + section_length - t;
    value *= std::clamp(std::min(into, left) / kFadeSeconds, 0.0, 1.0);
    pattern[i] = value;
  }

  PcmSource source;
  source.sample_rate = static_cast<int32_t>(rate);
  source.channels = 2;
  source.samples.resize(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    const double value = pattern[i % pattern_frames] * 32767.0;
    source.samples[2 * i] = static_cast<int16_t>(std::lround(value));
    source.samples[2 * i + 1] = static_cast<int16_t>(std::lround(value * 0.5));
  }
  return source;
}

int16_t CounterSample(int64_t frame, int32_t channel) {
  const CounterCode& code = kCounterCodes[channel & 1];
  const auto residue = static_cast<int32_t>((frame % code.period + code.offset) % code.period);
  return static_cast<int16_t>(residue < 32768 ? residue - 32768 : residue - 32767);
}

int32_t CounterResidue(int16_t sample) {
  if (sample == 0) return -1;
  return sample < 0 ? sample + 32768 : sample + 32767;
}

PcmSource GenerateCounter(double seconds, int32_t sample_rate) {
  PcmSource source;
  source.sample_rate = sample_rate > 0 ? sample_rate : 44100;
  source.channels = 2;
  const auto frames = static_cast<size_t>(seconds > 0 ? seconds * source.sample_rate : 0);
  source.samples.resize(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    source.samples[2 * i] = CounterSample(static_cast<int64_t>(i), 0);
    source.samples[2 * i + 1] = CounterSample(static_cast<int64_t>(i), 1);
  }
  return source;
}

namespace {

int32_t BitsOf(wav::SampleFormat format) {
  switch (format) {
    case wav::SampleFormat::UInt8:
      return 8;
    case wav::SampleFormat::Int16:
      return 16;
    case wav::SampleFormat::Int24:
      return 24;
    case wav::SampleFormat::Int32:
      return 32;
    default:
      return 0;
  }
}

std::optional<wav::SampleFormat> FormatOf(int32_t bits) {
  switch (bits) {
    case 16:
      return wav::SampleFormat::Int16;
    case 24:
      return wav::SampleFormat::Int24;
    case 32:
      return wav::SampleFormat::Int32;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<PcmSource> ReadPcmWav(const std::string& path, std::string* error) {
  wav::Reader reader;
  if (!reader.Open(path)) {
    if (error) *error = reader.Error();
    return std::nullopt;
  }
  const int32_t bits = BitsOf(reader.format().sample_format);
  if (bits == 0 || reader.format().channels < 1) {
    if (error) *error = "not a PCM file of 8, 16, 24 or 32 bits";
    return std::nullopt;
  }
  PcmSource source;
  source.sample_rate = reader.format().sample_rate;
  source.channels = reader.format().channels;
  source.bits = bits;
  // The reader's doubles hold every integer sample exactly.
  const double full_scale = std::ldexp(1.0, bits - 1);
  std::vector<double> block(4096 * static_cast<size_t>(source.channels));
  for (size_t got; (got = reader.Read(block.data(), 4096)) > 0;) {
    for (size_t i = 0; i < got * static_cast<size_t>(source.channels); ++i)
      source.samples.push_back(static_cast<int32_t>(std::llround(block[i] * full_scale)));
  }
  return source;
}

bool WritePcmWav(const std::string& path, const PcmSource& source) {
  const std::optional<wav::SampleFormat> format = FormatOf(source.bits);
  wav::Writer writer;
  if (!format || !writer.Open(path, {source.channels, source.sample_rate, *format})) return false;
  const double full_scale = std::ldexp(1.0, source.bits - 1);
  std::vector<double> scaled(source.samples.size());
  for (size_t i = 0; i < scaled.size(); ++i) scaled[i] = source.samples[i] / full_scale;
  return writer.Write(scaled.data(), source.Frames()) && writer.Close();
}

std::vector<uint8_t> PackSamples(const int32_t* samples, size_t count, int32_t from_bits,
                                 int32_t bits) {
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};
  const size_t width = static_cast<size_t>(bits / 8);
  std::vector<uint8_t> bytes(count * width);
  for (size_t i = 0; i < count; ++i) {
    const int64_t value = bits >= from_bits ? int64_t{samples[i]} << (bits - from_bits)
                                            : int64_t{samples[i]} >> (from_bits - bits);
    const auto word = static_cast<uint32_t>(bits == 8 ? value + 128 : value);
    uint8_t* out = bytes.data() + i * width;
    for (size_t b = 0; b < width; ++b) out[b] = static_cast<uint8_t>(word >> (8 * b));
  }
  return bytes;
}

}  // namespace harness
