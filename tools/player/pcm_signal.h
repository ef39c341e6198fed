#pragma once

// What the harness plays: PCM from a WAV file (8, 16, 24 or 32 bits) or generated (16 bits),
// and its packing into the bytes a stream of its own or another width carries.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harness {

struct PcmSource {
  int32_t sample_rate = 44100;
  int32_t channels = 2;
  int32_t bits = 16;             // the depth of the samples
  std::vector<int32_t> samples;  // interleaved, signed, -2^(bits - 1) .. 2^(bits - 1) - 1
  size_t Frames() const {
    return channels > 0 ? samples.size() / static_cast<size_t>(channels) : 0;
  }
};

// A stereo test signal: a 440 Hz sine on the left at -20 dBFS, 660 Hz on the right at
// -26 dBFS, so that every output of a router that multiplies by up to 8 stays below full
// scale.
PcmSource GenerateTone(double seconds, int32_t sample_rate = 44100);

// The demonstration programme, 18 seconds that repeat for as long as asked: a logarithmic
// sweep from 20 Hz to 20 kHz (8 s, -12 dBFS), pink noise (6 s, -18 dBFS RMS) and four tones
// of one second each (60 Hz, 440 Hz, 2 kHz, 8 kHz, -12 dBFS). The right channel carries the
// same at half the level (-6 dB), so that the two channels of a band tell apart. Sections
// fade in and out over 10 ms; the noise is the same on every run.
constexpr double kProgrammeSeconds = 18.0;
PcmSource GenerateProgramme(double seconds, int32_t sample_rate = 44100);

// The counter programme: every frame tells its number n. Channel c carries the residue
// (n + offset) mod period of its code, as a 16-bit sample that is never 0 (residues below
// 32768 as r - 32768, the others as r - 32767), so that silence stands apart from it. The two
// periods (about 1.5 s) differ, and so do the channels; the two residues together name a
// frame among more than four thousand million. Exact through the float conversion, a
// volume of 1.0 and the router effect's whole-number factors.
struct CounterCode {
  int32_t period;
  int32_t offset;
};
constexpr CounterCode kCounterCodes[2] = {{65535, 0}, {65521, 32768}};
int16_t CounterSample(int64_t frame, int32_t channel);
// The residue (0 .. 65534) a sample carries; -1 for 0, which carries none.
int32_t CounterResidue(int16_t sample);
PcmSource GenerateCounter(double seconds, int32_t sample_rate = 44100);

// A PCM WAV file of 8, 16, 24 or 32 bits, its samples at that depth; nothing (and the
// reason) for anything else.
std::optional<PcmSource> ReadPcmWav(const std::string& path, std::string* error);
// Writes a PCM WAV file at the source's depth: 16, 24 or 32 bits (false for another).
bool WritePcmWav(const std::string& path, const PcmSource& source);

// The samples (of `from_bits` bits) as a stream of `bits` per sample carries them:
// little-endian, 8 bits unsigned; a wider stream carries the value in its top bytes, a
// narrower one its top bits. Empty for a width other than 8, 16, 24, 32.
std::vector<uint8_t> PackSamples(const int32_t* samples, size_t count, int32_t from_bits,
                                 int32_t bits);

}  // namespace harness
