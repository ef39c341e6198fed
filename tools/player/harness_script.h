#pragma once

// The player harness's script: one step per line (or per --step), words separated by blanks;
// blanks between double quotes belong to the word (the quotes go), as in "Audio Routing" or
// driver="My Card". Parsing is kept apart from running so that both builds
// test it.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

struct Step {
  std::string verb;
  std::vector<std::string> words;  // after the verb
  std::string text;                // the step as written, for the log
};

struct StepSpec {
  const char* verb;
  int32_t min_words;
  int32_t max_words;  // -1: any number
  const char* usage;
  const char* help;
};

// Every step the harness knows, in the order --help lists them.
const std::vector<StepSpec>& StepSpecs();

// Splits a line into words; nothing (and the reason in *error) for an unclosed quote.
std::optional<std::vector<std::string>> SplitWords(const std::string& line, std::string* error);

// One step from its text; nothing (and the reason in *error) for an unknown verb, a wrong
// number of words or an unclosed quote.
std::optional<Step> ParseStep(const std::string& text, std::string* error);

// A script file's text: blank lines and lines starting with '#' are skipped. The error names
// the line.
std::optional<std::vector<Step>> ParseScript(const std::string& text, std::string* error);

// Words of the form key=value from `first` on, each key one of `allowed`; nothing (and the
// reason) for a word without '=' or an unknown key.
std::optional<std::map<std::string, std::string>> KeyValues(const std::vector<std::string>& words,
                                                            size_t first,
                                                            const std::vector<std::string>& allowed,
                                                            std::string* error);

// A whole decimal number (optionally negative) within [minimum, maximum].
std::optional<int64_t> ParseInteger(const std::string& text, int64_t minimum, int64_t maximum);
std::optional<double> ParseNumber(const std::string& text);

// The player's two decoders: the MP3 decoder writes 1152-frame blocks (twice that while a DSP
// in the player may double them), the WAV decoder 576-frame blocks.
enum class DecoderKind { Mp3, Wav };

// A `track` step's options, resolved against the source: frames [from, from + frames) of the
// source, declared at `rate` and sent at `bits`.
struct TrackOptions {
  int64_t from = 0;
  int64_t frames = 0;
  int32_t rate = 0;
  int32_t bits = 0;
  DecoderKind decoder = DecoderKind::Mp3;
  bool dsp = false;
};

// The options of a track step (its words) for a source of `source_frames` frames at
// `source_rate` and `source_bits`: the whole source at its rate and depth by default, the MP3
// decoder without DSP. Nothing (and the reason) for a bad or unknown option or a range
// outside the source.
std::optional<TrackOptions> ParseTrackOptions(const std::vector<std::string>& words,
                                              int64_t source_frames, int32_t source_rate,
                                              int32_t source_bits, std::string* error);

// A text as the log writes it: in double quotes, with '"' and '\' escaped by '\' and control
// characters as \n, \r, \t or \xHH.
std::string Quote(const std::string& text);

}  // namespace harness
