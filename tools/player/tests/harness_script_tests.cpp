#include <gtest/gtest.h>

#include "tools/player/harness_log.h"
#include "tools/player/harness_script.h"

namespace {

using namespace harness;

struct StepCase {
  const char* text;
  bool parses;
  const char* verb;
  std::vector<std::string> words;
  const char* error;  // part of the reason when it does not parse
};

TEST(HarnessScript, StepsParseByTheirTableOrSayWhyNot) {
  const StepCase cases[] = {
      {"init", true, "init", {}, ""},
      {"  press   BtRouting ", true, "press", {"BtRouting"}, ""},
      {"select CBOutput1 \"2 - Output 3\"", true, "select", {"CBOutput1", "2 - Output 3"}, ""},
      {"select CBDriver \"\"", true, "select", {"CBDriver", ""}, ""},
      {"library Z:\\dir\\Partiloom.dll", true, "library", {"Z:\\dir\\Partiloom.dll"}, ""},
      {"close \"Audio Routing\"", true, "close", {"Audio Routing"}, ""},
      {"quit unload", true, "quit", {"unload"}, ""},
      {"boxes hold", true, "boxes", {"hold"}, ""},
      {"boxes", false, "", {}, "usage: boxes confirm|hold"},
      {"play rate=48000 bits=24", true, "play", {"rate=48000", "bits=24"}, ""},
      {"analyze c.wav driver=\"My Card\"", true, "analyze", {"c.wav", "driver=My Card"}, ""},
      {"play a b c d", false, "", {}, "usage: play"},
      {"track from=10 dsp=1", true, "track", {"from=10", "dsp=1"}, ""},
      {"track-seek", false, "", {}, "usage: track-seek MS"},
      {"track-stop now", false, "", {}, "usage: track-stop"},
      {"mode-change 257", true, "mode-change", {"257"}, ""},
      {"silences c.wav", true, "silences", {"c.wav"}, ""},
      {"press", false, "", {}, "usage: press NAME"},
      {"init unchosen", true, "init", {"unchosen"}, ""},
      {"init unchosen now", false, "", {}, "usage: init"},
      {"dance", false, "", {}, "unknown step 'dance'"},
      {"close \"Audio Routing", false, "", {}, "unclosed quote"},
      {"   ", false, "", {}, "empty step"},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto step = ParseStep(c.text, &error);
    ASSERT_EQ(step.has_value(), c.parses) << c.text << ": " << error;
    if (step) {
      EXPECT_EQ(step->verb, c.verb) << c.text;
      EXPECT_EQ(step->words, c.words) << c.text;
      EXPECT_EQ(step->text, c.text);
    } else {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
  }
}

TEST(HarnessScript, AScriptSkipsCommentsAndBlankLinesAndNamesTheBadLine) {
  std::string error;
  auto steps = ParseScript(
      "# first start\r\ninit\n\n   # indented comment\n  press BtRouting\nquit", &error);
  ASSERT_TRUE(steps) << error;
  ASSERT_EQ(steps->size(), 3u);
  EXPECT_EQ((*steps)[1].verb, "press");
  EXPECT_EQ((*steps)[2].verb, "quit");

  EXPECT_FALSE(ParseScript("init\n\npress\nquit\n", &error));
  EXPECT_EQ(error, "line 3: usage: press NAME");
}

TEST(HarnessScript, KeyValuesAcceptOnlyTheKeysAllowed) {
  std::string error;
  auto values =
      KeyValues({"x", "rate=48000", "bits=", "tail=9"}, 1, {"rate", "bits", "tail"}, &error);
  ASSERT_TRUE(values) << error;
  EXPECT_EQ((*values)["rate"], "48000");
  EXPECT_EQ((*values)["bits"], "");
  EXPECT_EQ(values->size(), 3u);
  EXPECT_FALSE(KeyValues({"speed=2"}, 0, {"rate"}, &error));
  EXPECT_EQ(error, "unknown key 'speed'");
  EXPECT_FALSE(KeyValues({"48000"}, 0, {"rate"}, &error));
  EXPECT_FALSE(KeyValues({"=1"}, 0, {"rate"}, &error));
}

// A source of 1000 frames at 44100 Hz and 16 bits.
TEST(HarnessScript, TrackOptionsDefaultToTheWholeSourceAndStayInsideIt) {
  struct Case {
    std::vector<std::string> words;
    std::optional<TrackOptions> track;  // nothing: refused
  };
  const auto track = [](int64_t from, int64_t frames, int32_t rate, int32_t bits,
                        DecoderKind decoder,
                        bool dsp) { return TrackOptions{from, frames, rate, bits, decoder, dsp}; };
  const auto mp3 = DecoderKind::Mp3, wav = DecoderKind::Wav;
  const Case cases[] = {
      {{}, track(0, 1000, 44100, 16, mp3, false)},
      {{"from=400"}, track(400, 600, 44100, 16, mp3, false)},
      {{"from=400", "frames=600"}, track(400, 600, 44100, 16, mp3, false)},
      {{"frames=1"}, track(0, 1, 44100, 16, mp3, false)},
      {{"rate=48000", "bits=24", "decoder=wav"}, track(0, 1000, 48000, 24, wav, false)},
      {{"dsp=1"}, track(0, 1000, 44100, 16, mp3, true)},
      {{"from=999"}, track(999, 1, 44100, 16, mp3, false)},
      {{"from=1000"}, std::nullopt},
      {{"from=400", "frames=601"}, std::nullopt},
      {{"frames=0"}, std::nullopt},
      {{"from=-1"}, std::nullopt},
      {{"bits=12"}, std::nullopt},
      {{"bits=40"}, std::nullopt},
      {{"rate=0"}, std::nullopt},
      {{"decoder=ogg"}, std::nullopt},
      {{"dsp=2"}, std::nullopt},
      {{"decoder=wav", "dsp=1"}, std::nullopt},
      {{"speed=2"}, std::nullopt},
  };
  for (const auto& c : cases) {
    std::string label, error;
    for (const auto& word : c.words) label += word + " ";
    const auto parsed = ParseTrackOptions(c.words, 1000, 44100, 16, &error);
    ASSERT_EQ(parsed.has_value(), c.track.has_value()) << label << error;
    if (!parsed) {
      EXPECT_FALSE(error.empty()) << label;
      continue;
    }
    EXPECT_EQ(parsed->from, c.track->from) << label;
    EXPECT_EQ(parsed->frames, c.track->frames) << label;
    EXPECT_EQ(parsed->rate, c.track->rate) << label;
    EXPECT_EQ(parsed->bits, c.track->bits) << label;
    EXPECT_EQ(parsed->decoder, c.track->decoder) << label;
    EXPECT_EQ(parsed->dsp, c.track->dsp) << label;
  }
}

TEST(HarnessScript, NumbersAreWholeAndInRange) {
  struct Case {
    const char* text;
    std::optional<int64_t> value;
  } const cases[] = {{"0", 0},
                     {"-5", -5},
                     {"255", 255},
                     {"256", std::nullopt},
                     {"", std::nullopt},
                     {"12x", std::nullopt},
                     {"+3", std::nullopt},
                     {" 3", std::nullopt},
                     {"99999999999999999999", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text, -10, 255), c.value) << c.text;
  EXPECT_EQ(ParseNumber("2.5"), 2.5);
  EXPECT_FALSE(ParseNumber("2.5s"));
}

TEST(HarnessLog, LinesReadBackAsWritten) {
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"text", "You have to select the Partiloom.DLL in order to get this plugin running"},
      {"path", "Z:\\tmp\\a \"b\".dll"},
      {"frames", "8192"},
      {"empty", ""},
      {"odd", "tab\there\nnext\x01"},
      {"equals", "a=b"}};
  const std::string text = FormatLogLine(1234, "msgbox", fields);
  EXPECT_EQ(text.substr(0, 12), "1234 msgbox ");
  EXPECT_NE(text.find(" frames=8192"), std::string::npos);  // plain values stay unquoted
  const auto line = ParseLogLine(text + "\r\n");
  ASSERT_TRUE(line) << text;
  EXPECT_EQ(line->ms, 1234);
  EXPECT_EQ(line->event, "msgbox");
  for (const auto& [key, value] : fields) EXPECT_EQ(line->fields.at(key), value) << key;
}

TEST(HarnessLog, MalformedLinesAreSkipped) {
  const char* const bad[] = {"",
                             "init",
                             "12",
                             "x12 init",
                             "12 init key",
                             "12 init k=\"open",
                             "12 init k=\"bad\\x4\"",
                             "12 init =v"};
  for (const char* text : bad) EXPECT_FALSE(ParseLogLine(text)) << text;
  const auto lines = ParseLog("0 loaded path=a\nnoise\n5 end failures=0\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].fields.at("failures"), "0");
}

}  // namespace
