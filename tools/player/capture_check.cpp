#include "tools/player/capture_check.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/asio_driver/wav_file.h"

namespace harness {

std::optional<Capture> ReadCapture(const std::string& path, std::string* error) {
  wav::Reader reader;
  if (!reader.Open(path)) {
    if (error) *error = reader.Error();
    return std::nullopt;
  }
  Capture capture;
  capture.channels = reader.format().channels;
  capture.sample_rate = reader.format().sample_rate;
  const auto channels = static_cast<size_t>(capture.channels);
  capture.channel.resize(channels);
  for (auto& samples : capture.channel) samples.reserve(static_cast<size_t>(reader.FrameCount()));
  std::vector<double> block(4096 * channels);
  for (size_t got; (got = reader.Read(block.data(), 4096)) > 0;)
    for (size_t f = 0; f < got; ++f)
      for (size_t c = 0; c < channels; ++c) capture.channel[c].push_back(block[f * channels + c]);
  return capture;
}

double Dbfs(double amplitude) {
  return amplitude > 0 ? 20.0 * std::log10(amplitude) : -std::numeric_limits<double>::infinity();
}

Levels MeasureLevels(const std::vector<double>& samples, size_t first, size_t end) {
  Levels levels;
  if (end > samples.size()) end = samples.size();
  if (first >= end) return levels;
  double sum = 0;
  for (size_t i = first; i < end; ++i) {
    levels.peak = std::max(levels.peak, std::fabs(samples[i]));
    sum += samples[i] * samples[i];
  }
  levels.rms = std::sqrt(sum / static_cast<double>(end - first));
  return levels;
}

Span ActiveSpan(const Capture& capture, double below) {
  Span span{capture.Frames(), 0};
  for (const auto& samples : capture.channel)
    for (size_t i = 0; i < samples.size(); ++i)
      if (std::fabs(samples[i]) > below) {
        span.first = std::min(span.first, i);
        span.end = std::max(span.end, i + 1);
      }
  if (span.end == 0) span.first = 0;
  return span;
}

std::vector<SilentRun> SilentRuns(const Capture& capture, double below) {
  std::vector<SilentRun> runs;
  const auto quiet = [&](size_t i) {
    for (const auto& samples : capture.channel)
      if (std::fabs(samples[i]) > below) return false;
    return true;
  };
  const Span span = ActiveSpan(capture, below);
  for (size_t i = span.first; i < span.end; ++i) {
    if (!quiet(i)) continue;
    if (!runs.empty() && runs.back().at + runs.back().frames == static_cast<int64_t>(i))
      ++runs.back().frames;
    else
      runs.push_back({static_cast<int64_t>(i), 1});
  }
  return runs;
}

std::vector<double> RouterOutput(const PcmSource& source, int32_t output) {
  std::vector<double> samples(source.Frames());
  if (output < 1 || source.channels < 1) return samples;
  const auto channels = static_cast<size_t>(source.channels);
  const size_t input = static_cast<size_t>(output - 1) % channels;
  const double full_scale = std::ldexp(1.0, source.bits - 1);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = output * (source.samples[i * channels + input] / full_scale);
  return samples;
}

Comparison CompareWithStream(const std::vector<double>& captured, const std::vector<double>& stream,
                             int64_t offset) {
  Comparison result;
  const auto stream_size = static_cast<int64_t>(stream.size());
  for (size_t i = 0; i < captured.size(); ++i) {
    const int64_t at = offset + static_cast<int64_t>(i);
    const double expected = at >= 0 && at < stream_size ? stream[static_cast<size_t>(at)] : 0.0;
    ++result.compared;
    if (captured[i] == expected) continue;
    if (result.mismatches++ == 0) {
      result.first_mismatch = static_cast<int64_t>(i);
      result.captured_value = captured[i];
      result.expected_value = expected;
    }
  }
  const int64_t reached = offset + static_cast<int64_t>(captured.size());
  result.missing = reached < stream_size ? stream_size - std::max<int64_t>(reached, 0) : 0;
  return result;
}

std::optional<int64_t> FindStreamOffset(const std::vector<double>& captured,
                                        const std::vector<double>& stream, size_t window) {
  size_t first = 0;
  while (first < captured.size() && captured[first] == 0) ++first;
  if (first == captured.size()) return std::nullopt;
  for (size_t j = 0; j < stream.size(); ++j) {
    bool match = true;
    for (size_t k = 0; match && k <= window && first + k < captured.size(); ++k) {
      const double expected = j + k < stream.size() ? stream[j + k] : 0.0;
      match = captured[first + k] == expected;
    }
    if (match) return static_cast<int64_t>(j) - static_cast<int64_t>(first);
  }
  return std::nullopt;
}

GappedComparison CompareWithGappedStreams(const Capture& capture,
                                          const std::vector<std::vector<double>>& streams,
                                          int64_t block, int64_t window) {
  GappedComparison result;
  const auto frames = static_cast<int64_t>(capture.Frames());
  int64_t length = 0;
  for (const auto& stream : streams) length = std::max(length, static_cast<int64_t>(stream.size()));
  const auto expected = [&](size_t c, int64_t at) {
    return c < streams.size() && at >= 0 && at < static_cast<int64_t>(streams[c].size())
               ? streams[c][static_cast<size_t>(at)]
               : 0.0;
  };
  // The first channel where captured frame `i` differs from stream frame i + offset.
  const auto differing = [&](int64_t i, int64_t offset) -> std::optional<size_t> {
    for (size_t c = 0; c < capture.channel.size(); ++c)
      if (capture.channel[c][static_cast<size_t>(i)] != expected(c, i + offset)) return c;
    return std::nullopt;
  };
  const auto silent_capture = [&](int64_t i) {
    for (const auto& samples : capture.channel)
      if (samples[static_cast<size_t>(i)] != 0) return false;
    return true;
  };
  const auto silent_stream = [&](int64_t at) {
    for (size_t c = 0; c < streams.size(); ++c)
      if (expected(c, at) != 0) return false;
    return true;
  };
  // After silence from captured frame `i` on, the block's end where the streams go on and
  // their offset from there; the stream may have stopped a little before i where it was
  // silent itself.
  struct Resumption {
    int64_t end, offset;
  };
  const auto resumed = [&](int64_t i, int64_t offset) -> std::optional<Resumption> {
    int64_t sounding = i;
    while (sounding < frames && silent_capture(sounding)) ++sounding;
    if (sounding == frames || block <= 0) return std::nullopt;
    int64_t earliest_stop = i + offset;
    while (earliest_stop > i + offset - block && silent_stream(earliest_stop - 1)) --earliest_stop;
    for (int64_t end = (i / block + 1) * block; end <= sounding; end += block)
      for (int64_t stop = i + offset; stop >= earliest_stop; --stop) {
        bool match = true;
        for (int64_t k = end; match && k < std::min(frames, sounding + window); ++k)
          match = !differing(k, stop - end);
        if (match) return Resumption{end, stop - end};
      }
    return std::nullopt;
  };

  int64_t first_sound = 0;
  while (first_sound < frames && silent_capture(first_sound)) ++first_sound;
  if (first_sound == frames) {
    result.missing = length;
    return result;
  }
  int64_t first_stream = 0;
  while (first_stream < length && silent_stream(first_stream)) ++first_stream;
  int64_t offset = first_stream - first_sound;
  result.start = -offset;
  for (int64_t i = 0; i < frames; ++i) {
    const std::optional<size_t> channel = differing(i, offset);
    if (!channel) continue;
    if (silent_capture(i)) {
      if (const std::optional<Resumption> later = resumed(i, offset)) {
        ++result.gaps;
        result.gap_frames += offset - later->offset;
        offset = later->offset;
        i = later->end - 1;
        continue;
      }
    }
    if (result.mismatches++ == 0) {
      result.first_mismatch = i;
      result.channel = *channel;
      result.captured_value = capture.channel[*channel][static_cast<size_t>(i)];
      result.expected_value = expected(*channel, i + offset);
    }
  }
  const int64_t reached = offset + frames;
  result.missing = reached < length ? length - std::max<int64_t>(reached, 0) : 0;
  return result;
}

CounterCheck::CounterCheck(int64_t programme_frames, int32_t output)
    : programme_frames_(std::max<int64_t>(programme_frames, 0)),
      factor_(std::max(output, 1)),
      code_(kCounterCodes[(factor_ - 1) % 2]),
      heard_(static_cast<size_t>(programme_frames_), false) {}

void CounterCheck::Add(double sample) {
  ++findings_.captured;
  if (sample == 0) {
    ++silence_;
    return;
  }
  // Exact: the captured sample is the factor times a 16-bit step, rounded nowhere.
  const double scaled = sample * 32768.0 / factor_;
  const int32_t residue = scaled == std::nearbyint(scaled) && scaled >= -32768 && scaled <= 32767
                              ? CounterResidue(static_cast<int16_t>(scaled))
                              : -1;
  if (residue < 0 || residue >= code_.period) {
    ++findings_.unrecognised;
    return;
  }
  // The frame carrying this residue nearest to the one after the last.
  const int64_t next = last_ + 1;
  int64_t step = ((residue - code_.offset - next) % code_.period + code_.period) % code_.period;
  if (step >= (code_.period + 1) / 2) step -= code_.period;
  const int64_t frame = next + step;
  if (frame < 0 || frame >= programme_frames_) {
    ++findings_.unrecognised;
    return;
  }
  ++findings_.heard;
  if (last_ < 0) {
    findings_.lead = silence_;
  } else if (silence_ > 0) {
    ++findings_.gaps;
    findings_.gap_frames += silence_;
  }
  if (frame != next) {
    if (findings_.first_jumps.size() < kKeptJumps)
      findings_.first_jumps.push_back({findings_.captured - 1, last_, frame, silence_});
    ++findings_.jumps;
  }
  if (heard_[static_cast<size_t>(frame)]) {
    ++findings_.repeated;
  } else {
    if (frame < highest_) ++findings_.out_of_order;
    heard_[static_cast<size_t>(frame)] = true;
  }
  highest_ = std::max(highest_, frame);
  last_ = frame;
  silence_ = 0;
}

CounterFindings CounterCheck::Findings() const {
  CounterFindings findings = findings_;
  findings.lost = 0;
  for (int64_t frame = 0; frame < highest_; ++frame)
    if (!heard_[static_cast<size_t>(frame)]) ++findings.lost;
  findings.unplayed = programme_frames_ - 1 - highest_;
  return findings;
}

std::optional<std::vector<CounterFindings>> CheckCounterCapture(const std::string& path,
                                                                int64_t programme_frames,
                                                                const std::vector<int32_t>& outputs,
                                                                std::string* error) {
  wav::Reader reader;
  if (!reader.Open(path)) {
    if (error) *error = reader.Error();
    return std::nullopt;
  }
  const auto channels = static_cast<size_t>(reader.format().channels);
  std::vector<std::optional<CounterCheck>> checks(channels);
  for (size_t c = 0; c < channels && c < outputs.size(); ++c)
    if (outputs[c] > 0) checks[c].emplace(programme_frames, outputs[c]);
  constexpr size_t kPiece = 4096;
  std::vector<double> piece(kPiece * channels);
  for (size_t got; (got = reader.Read(piece.data(), kPiece)) > 0;)
    for (size_t c = 0; c < channels; ++c)
      if (checks[c])
        for (size_t f = 0; f < got; ++f) checks[c]->Add(piece[f * channels + c]);
  std::vector<CounterFindings> findings(channels);
  for (size_t c = 0; c < channels; ++c)
    if (checks[c]) findings[c] = checks[c]->Findings();
  return findings;
}

namespace {

// The residue a router output's sample carries; -1 when it carries none.
int32_t ResidueOf(double sample, int32_t output) {
  if (output < 1) return -1;
  const double scaled = sample * 32768.0 / output;
  if (scaled != std::nearbyint(scaled) || scaled < -32768 || scaled > 32767) return -1;
  return CounterResidue(static_cast<int16_t>(scaled));
}

}  // namespace

int64_t CounterFrameOf(double a, int32_t output_a, double b, int32_t output_b) {
  if (a == 0 && b == 0) return kCounterSilent;
  const int32_t ra = ResidueOf(a, output_a);
  const int32_t rb = ResidueOf(b, output_b);
  const CounterCode& ca = kCounterCodes[0];
  const CounterCode& cb = kCounterCodes[1];
  if (output_a % 2 != 1 || output_b % 2 != 0 || ra < 0 || ra >= ca.period || rb < 0 ||
      rb >= cb.period)
    return kCounterUnrecognised;
  // n = n_a (mod period a) and n = n_b (mod period b), coprime periods: n = n_a + period a
  // x k with k = (n_b - n_a) / period a (mod period b).
  const int64_t pa = ca.period, pb = cb.period;
  const int64_t na = ((ra - ca.offset) % pa + pa) % pa;
  const int64_t nb = ((rb - cb.offset) % pb + pb) % pb;
  static const int64_t inverse = [] {  // of period a, mod period b (prime): a^(b - 2)
    const int64_t m = kCounterCodes[1].period;
    int64_t result = 1, base = kCounterCodes[0].period % m;
    for (int64_t e = m - 2; e > 0; e >>= 1, base = base * base % m)
      if (e & 1) result = result * base % m;
    return result;
  }();
  const int64_t k = (((nb - na) % pb + pb) % pb) * inverse % pb;
  return na + pa * k;
}

std::vector<int64_t> CounterFrames(const Capture& capture, size_t channel_a, int32_t output_a,
                                   size_t channel_b, int32_t output_b) {
  std::vector<int64_t> frames(capture.Frames(), kCounterUnrecognised);
  if (channel_a >= capture.channel.size() || channel_b >= capture.channel.size()) return frames;
  for (size_t i = 0; i < frames.size(); ++i)
    frames[i] = CounterFrameOf(capture.channel[channel_a][i], output_a,
                               capture.channel[channel_b][i], output_b);
  return frames;
}

int32_t ChannelNumberOfText(const std::string& text) {
  size_t i = 0;
  int64_t number = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 10)
    number = number * 10 + (text[i++] - '0');
  if (i == 0 || text.compare(i, 3, " - ") != 0 || number > INT32_MAX) return -1;
  return static_cast<int32_t>(number);
}

}  // namespace harness
