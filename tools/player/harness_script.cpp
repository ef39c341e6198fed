#include "tools/player/harness_script.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace harness {

const std::vector<StepSpec>& StepSpecs() {
  static const std::vector<StepSpec> specs = {
      {"library", 1, 1, "library PATH|cancel|hold",
       "how to answer the plug-in's open-file dialog for its effect library when it shows "
       "(hold: leave it open)"},
      {"boxes", 1, 1, "boxes confirm|hold",
       "how to answer the message boxes from now on (hold: log them and leave them open)"},
      {"init", 0, 1, "init [unchosen]",
       "Init on the main thread and, as for the player's chosen output, "
       "winampGetOutModeChange(1) when the plug-in exports it (unchosen: Init alone, as for "
       "every other installed output); dialogs and message boxes are answered; an Init that a "
       "held window keeps from returning stays open, as a press does"},
      {"quit", 0, 1, "quit [unload]",
       "Quit on the main thread, inside the loop of a modal window when one is open; waits "
       "for the calls it held to return. unload: frees the plug-in right after Quit, as a "
       "player that unloads at once"},
      {"config", 0, 0, "config", "Config: the plug-in shows its window"},
      {"window", 0, 0, "window", "logs the plug-in window: visibility, place, driver list"},
      {"press", 1, 1, "press NAME",
       "presses button NAME of the plug-in window; a modal window it opens stays open"},
      {"select", 2, 2, "select NAME TEXT",
       "selects TEXT in the drop-down list NAME of any plug-in window, as the user does"},
      {"items", 1, 1, "items NAME", "logs the items and the selection of drop-down list NAME"},
      {"close", 1, 1, "close CAPTION",
       "closes the window CAPTION as its close button does; waits for a press it blocked"},
      {"move", 3, 3, "move CAPTION LEFT TOP", "moves the window CAPTION, as a drag does"},
      {"capture", 2, 2, "capture CAPTION FILE", "saves a picture of the window CAPTION (BMP)"},
      {"play", 0, 3, "play [rate=HZ] [bits=8|16|24|32] [tail=FRAMES]",
       "Open (at the source's depth unless bits= says another), then a decoder thread writes "
       "the source and silence after it, paced by CanWrite"},
      {"wait", 0, 0, "wait", "waits until the decoder thread has written everything"},
      {"track", 0, 6,
       "track [from=FRAME] [frames=N] [rate=HZ] [bits=8|16|24|32] [decoder=mp3|wav] [dsp=0|1]",
       "appends frames FROM .. FROM+N-1 of the source (default: all of it, at its rate and "
       "depth) to the playlist, which plays its tracks back to back as the player does: "
       "SetVolume and SetPan on the main thread, then a decode thread of its own per track "
       "opens (Open(rate, channels, bits, -1, -1)), writes blocks as CanWrite's bytes allow "
       "(mp3: 1152 frames when it answers at least a block's bytes, with dsp=1 2304 frames "
       "when it answers twice that; wav: 576 frames when it answers more than a block), ends "
       "with Write(nullptr, 0) and polls IsPlaying every 10 ms; at 0 the main thread closes "
       "and the next track opens. A generated source is generated anew at another rate, and "
       "FROM and N count at its own rate; a WAV file's frames are sent as they are"},
      {"track-seek", 1, 1, "track-seek MS",
       "the playing track's decode thread calls Flush(MS) and goes on from MS into the track"},
      {"track-stop", 0, 0, "track-stop",
       "the player's Stop: the decode thread ends without an end mark, Close on the main "
       "thread with audio queued; the playlist's other tracks are dropped"},
      {"track-wait", 0, 0, "track-wait",
       "waits until the playlist has played out or stopped (at most the tracks' length and "
       "two minutes)"},
      {"stop", 0, 0, "stop", "ends the decoder thread, then Close"},
      {"pause", 0, 0, "pause", "Pause(1); logs the previous flag"},
      {"resume", 0, 0, "resume", "Pause(0); logs the previous flag"},
      {"volume", 1, 1, "volume 0..255", "SetVolume"},
      {"pan", 1, 1, "pan -128..127", "SetPan"},
      {"flush", 1, 1, "flush MS", "Flush"},
      {"time", 0, 0, "time", "logs GetOutputTime and GetWrittenTime"},
      {"canwrite", 0, 0, "canwrite", "logs CanWrite"},
      {"sleep", 1, 1, "sleep MS", "waits while the main thread pumps its messages"},
      {"mode-change", 1, 1, "mode-change N",
       "calls the plug-in's winampGetOutModeChange(N) on the main thread if it exports it (1: "
       "becomes the active output, 0: no longer; add 256 for a change at the start of "
       "playback)"},
      {"asio-install", 2, 11,
       "asio-install NAME {CLASS-ID} [outputs=N] [type=N] [block=N] [capture=FILE] [reset=MS] "
       "[resize=MS] [size2=N] [rate=MS] [rates=HZ,...]",
       "installs the test ASIO driver (type: ASIO sample type number, 19 = Float32LSB; rates: "
       "the rates it runs, 44100,48000 by default); while it runs it asks for a reset every "
       "reset=MS, a buffer-size change (block and size2 in turn, 512 by default) every "
       "resize=MS, and reports its rate every rate=MS"},
      {"asio-uninstall", 2, 2, "asio-uninstall NAME {CLASS-ID}", "removes it again"},
      {"asio-message", 2, 3, "asio-message {CLASS-ID} SELECTOR [VALUE]",
       "the test driver sends asioMessage to its host (3: reset request)"},
      {"asio-switches", 1, 1, "asio-switches {CLASS-ID}",
       "logs the test driver's buffer switches so far and how its host's callbacks kept time "
       "since the last start: timed, late (ended after the next block was due), overlong "
       "(longer than a block period by itself), longest_us, "
       "p999_us (99.9th percentile), period_us (block period); over every start: starts, "
       "all_blocks, all_late, all_overlong, all_late_at_starts (among a start's first blocks); "
       "then the requests sent on the driver's timers"},
      {"counter-check", 1, 2, "counter-check FILE [driver=NAME]",
       "follows the counter programme (--counter) in each channel of a captured WAV file that an "
       "output of the router effect is routed to (as stored for driver NAME; without it output "
       "k on channel k - 1): frames lost, repeated, out of order, silent gaps, and where the "
       "first channel jumped"},
      {"analyze", 1, 2, "analyze FILE [driver=NAME]",
       "peak and RMS per channel of a captured WAV file, with the outputs stored as routed "
       "there for driver NAME"},
      {"silences", 1, 2, "silences FILE [below=DBFS]",
       "the runs of frames inside the sounding part of a captured WAV file where every channel "
       "is exactly 0 (below=: no louder than DBFS, for filters that ring on into a gap): where "
       "each starts and how long it is"},
      {"spectrum", 2, 2, "spectrum FILE TABLE",
       "the magnitude spectrum of each channel of a captured WAV file over its sounding part, "
       "in 1/12-octave bands from 20 Hz to 20 kHz, as a text table (Hz, then dBFS per channel)"},
  };
  return specs;
}

std::optional<std::vector<std::string>> SplitWords(const std::string& line, std::string* error) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word.push_back(c);
      in_word = true;
    }
  }
  if (quoted) {
    if (error) *error = "unclosed quote";
    return std::nullopt;
  }
  if (in_word) words.push_back(word);
  return words;
}

std::optional<Step> ParseStep(const std::string& text, std::string* error) {
  auto words = SplitWords(text, error);
  if (!words) return std::nullopt;
  if (words->empty()) {
    if (error) *error = "empty step";
    return std::nullopt;
  }
  for (const StepSpec& spec : StepSpecs()) {
    if (words->front() != spec.verb) continue;
    const auto count = static_cast<int32_t>(words->size()) - 1;
    if (count < spec.min_words || (spec.max_words >= 0 && count > spec.max_words)) {
      if (error) *error = std::string("usage: ") + spec.usage;
      return std::nullopt;
    }
    Step step;
    step.verb = spec.verb;
    step.words.assign(words->begin() + 1, words->end());
    step.text = text;
    return step;
  }
  if (error) *error = "unknown step '" + words->front() + "'";
  return std::nullopt;
}

std::optional<std::vector<Step>> ParseScript(const std::string& text, std::string* error) {
  std::vector<Step> steps;
  size_t start = 0;
  int line_number = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string reason;
    auto step = ParseStep(line.substr(first), &reason);
    if (!step) {
      if (error) *error = "line " + std::to_string(line_number) + ": " + reason;
      return std::nullopt;
    }
    steps.push_back(*step);
  }
  return steps;
}

std::optional<std::map<std::string, std::string>> KeyValues(const std::vector<std::string>& words,
                                                            size_t first,
                                                            const std::vector<std::string>& allowed,
                                                            std::string* error) {
  std::map<std::string, std::string> values;
  for (size_t i = first; i < words.size(); ++i) {
    const size_t equals = words[i].find('=');
    if (equals == std::string::npos || equals == 0) {
      if (error) *error = "expected key=value, got '" + words[i] + "'";
      return std::nullopt;
    }
    const std::string key = words[i].substr(0, equals);
    bool known = false;
    for (const std::string& name : allowed) known = known || name == key;
    if (!known) {
      if (error) *error = "unknown key '" + key + "'";
      return std::nullopt;
    }
    values[key] = words[i].substr(equals + 1);
  }
  return values;
}

std::optional<int64_t> ParseInteger(const std::string& text, int64_t minimum, int64_t maximum) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  if (value < minimum || value > maximum) return std::nullopt;
  return value;
}

std::optional<double> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || text[0] == ' ') return std::nullopt;
  return value;
}

std::optional<TrackOptions> ParseTrackOptions(const std::vector<std::string>& words,
                                              int64_t source_frames, int32_t source_rate,
                                              int32_t source_bits, std::string* error) {
  auto values = KeyValues(words, 0, {"from", "frames", "rate", "bits", "decoder", "dsp"}, error);
  if (!values) return std::nullopt;
  const auto fail = [error](const std::string& reason) -> std::optional<TrackOptions> {
    if (error) *error = reason;
    return std::nullopt;
  };
  const auto value = [&](const char* key, const std::string& fallback) {
    return values->contains(key) ? (*values)[key] : fallback;
  };
  TrackOptions track;
  const auto from = ParseInteger(value("from", "0"), 0, INT64_MAX / 2);
  if (!from || *from >= source_frames) return fail("from= is not a frame of the source");
  track.from = *from;
  const auto frames =
      ParseInteger(value("frames", std::to_string(source_frames - track.from)), 1, INT64_MAX / 2);
  if (!frames || track.from + *frames > source_frames)
    return fail("frames= reaches past the source's end");
  track.frames = *frames;
  const auto rate = ParseInteger(value("rate", std::to_string(source_rate)), 1, 100000000);
  if (!rate) return fail("bad rate=");
  track.rate = static_cast<int32_t>(*rate);
  const auto bits = ParseInteger(value("bits", std::to_string(source_bits)), 8, 32);
  if (!bits || *bits % 8 != 0) return fail("bits= takes 8, 16, 24 or 32");
  track.bits = static_cast<int32_t>(*bits);
  const std::string decoder = value("decoder", "mp3");
  if (decoder != "mp3" && decoder != "wav") return fail("decoder= takes mp3 or wav");
  track.decoder = decoder == "mp3" ? DecoderKind::Mp3 : DecoderKind::Wav;
  const std::string dsp = value("dsp", "0");
  if (dsp != "0" && dsp != "1") return fail("dsp= takes 0 or 1");
  track.dsp = dsp == "1";
  // Only the MP3 decoder makes room for a DSP that doubles its blocks.
  if (track.dsp && track.decoder != DecoderKind::Mp3) return fail("dsp=1 needs decoder=mp3");
  return track;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
          out += hex;
        } else {
          out.push_back(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace harness
