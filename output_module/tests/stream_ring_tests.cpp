// The stream ring and the time arithmetic of the host window: what the player's stream
// callbacks store and answer, and what the block read hands the effect.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <vector>

#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/message_window.h"

namespace {

using asio_test::ClockMode;
using asio_test::DriverConfig;

// Stereo frames numbered `first`, `first + 1`, ...: the number on the left, its negative on
// the right (16-bit, so numbers run up to 32767).
std::vector<char> NumberedFrames(int32_t first, int32_t count) {
  std::vector<int16_t> samples;
  for (int32_t n = first; n < first + count; ++n) {
    samples.push_back(static_cast<int16_t>(n));
    samples.push_back(static_cast<int16_t>(-n));
  }
  return Pcm(samples);
}

// The frame number a block read handed on, 0 for silence.
int32_t FrameNumber(const TSingleChannelArrays& inputs, size_t frame) {
  return static_cast<int32_t>(std::lround(inputs[0][frame] * 32768.0f));
}

class StreamRing : public ModuleTest {
 protected:
  // A window without effect on a driver with blocks of 256 frames that runs no block by
  // itself: its ring is sized by the smallest length.
  std::unique_ptr<TFmASIOConfig> OpenedWindow(int32_t channels = 2, int32_t bits = 16) {
    auto window = WindowOnDriver(256);
    EXPECT_GT(window->Open(44100, channels, bits), 0);
    return window;
  }
  // A window on a driver with this block length.
  std::unique_ptr<TFmASIOConfig> WindowOnDriver(int32_t block) {
    DriverConfig config;
    config.clock = ClockMode::Manual;
    config.minimum_size = 64;
    config.maximum_size = config.preferred_size = block;
    config.granularity = 0;
    const std::string name = InstallDriver(config);
    auto window = MakeWindow();
    SelectDriver(*window, name);
    EXPECT_EQ(window->ASIOHost.GetBufferSize(), static_cast<uint32_t>(block));
    return window;
  }
};

TEST_F(StreamRing, OpenSizesTheRingByChannelsAndDriverBlock) {
  struct Case {
    int32_t block;  // 0: no driver
    int32_t channels;
    size_t ring_channels;
    int32_t ring_length;
  };
  const Case cases[] = {
      {256, 2, 8, 8192},   {512, 2, 8, 8192}, {16384, 2, 8, 32768},
      {512, 10, 10, 8192}, {256, 1, 8, 8192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("block " + std::to_string(c.block) + ", channels " + std::to_string(c.channels));
    auto window = WindowOnDriver(c.block);
    window->Open(44100, c.channels, 16);
    EXPECT_EQ(window->RingBuffer().ChannelCount(), c.ring_channels);
    EXPECT_EQ(window->RingBuffer().SampleCount(), static_cast<size_t>(c.ring_length));
    EXPECT_EQ(window->RingLength(), c.ring_length);
    // The ring starts full of silence: the write index a lap ahead, on the read index.
    EXPECT_EQ(window->WritePos(), 0);
    EXPECT_EQ(window->ReadPos(), 0);
    EXPECT_EQ(window->FreeFrames(), 0);
  }
}

// After the end mark and Close, an Open of the same format goes on behind the queued frames
// (the next track of an album); any other Open, or one after a Close without the mark (the
// user stopped), starts afresh: nothing of the stream before is heard.
TEST_F(StreamRing, AnOpenContinuesAfterTheEndMarkAndStartsAfreshOtherwise) {
  struct Case {
    bool end_mark;
    int32_t rate, channels;
    bool continues;
  };
  const Case cases[] = {
      {true, 44100, 2, true},
      {false, 44100, 2, false},
      {true, 48000, 2, false},
      {true, 44100, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.end_mark ? "end mark, " : "no mark, ") + std::to_string(c.rate) +
                 " Hz, " + std::to_string(c.channels) + " channels");
    auto window = OpenedWindow(2);
    TSingleChannelArrays inputs(2, 8192);
    window->ReadBlock(8192, inputs);  // the silence the ring starts with
    const std::vector<char> first = NumberedFrames(1, 100);
    ASSERT_EQ(window->Write(first.data(), static_cast<int32_t>(first.size())), 0);
    if (c.end_mark) EXPECT_EQ(window->Write(nullptr, 0), 1);
    window->Close();
    ASSERT_GT(window->Open(c.rate, c.channels, 16), 0);
    const std::vector<char> second = NumberedFrames(101, 10);
    if (c.continues) {
      window->Write(second.data(), static_cast<int32_t>(second.size()));
      EXPECT_EQ(window->FreeFrames(), 8192 - 110);
      ASSERT_EQ(window->ReadBlock(110, inputs).Taken, 110u);
      for (int32_t n = 0; n < 110; ++n) ASSERT_EQ(FrameNumber(inputs, size_t(n)), n + 1);
    } else {
      // Afresh: full of silence again, the new stream's first frames behind it.
      EXPECT_EQ(window->FreeFrames(), 0);
      window->ReadBlock(8192, inputs);
      for (size_t n = 0; n < 8192; ++n) ASSERT_EQ(inputs[0][n], 0.0f) << "frame " << n;
      if (c.channels == 2) {
        window->Write(second.data(), static_cast<int32_t>(second.size()));
        window->ReadBlock(10, inputs);
        EXPECT_EQ(FrameNumber(inputs, 0), 101);
      }
    }
  }
}
TEST_F(StreamRing, CanWriteStartsFullAndGrowsByWhatTheReaderTakes) {
  auto window = OpenedWindow();
  TSingleChannelArrays inputs(2, 8192);
  struct Step {
    uint32_t read;      // frames the block read takes (0: none)
    int32_t write;      // frames Write stores
    int32_t can_write;  // the answer afterwards
  };
  // The ring starts full of silence; a reader that takes everything leaves it empty, wholly
  // free, not full again.
  const Step steps[] = {
      {0, 0, 0},       {512, 0, 512}, {0, 100, 412},   {480, 0, 892}, {0, 892, 0},
      {4096, 0, 4096}, {0, 1, 4095},  {4096, 0, 8191}, {1, 0, 8192},  {512, 0, 8192},
  };
  std::vector<char> pcm;
  for (const Step& step : steps) {
    if (step.read > 0) window->ReadBlock(step.read, inputs);
    if (step.write > 0) {
      pcm.assign(static_cast<size_t>(step.write) * 4, 0);
      ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
    }
    EXPECT_EQ(window->FreeFrames(), step.can_write)
        << "after read " << step.read << ", write " << step.write;
  }
}

TEST_F(StreamRing, WriteStoresWholeFramesScaledByTheVolume) {
  struct Case {
    int32_t channels;
    int32_t bits;
    int32_t volume;  // -2: not set
    std::vector<int16_t> samples;
    int32_t bytes;  // length handed to Write
    int32_t result;
    int32_t frames_stored;
    float first;  // channel 0 of the first stored frame
  };
  const float v128 = static_cast<float>(128 / 255.0);
  const Case cases[] = {
      {2, 16, -2, {-32768, 7, 100, 0}, 7, 0, 1, -1.0f},  // a partial frame is dropped
      {2, 16, -2, {1, 2}, 3, 1, 0, 0.0f},
      {2, 16, 255, {-32768, 0}, 4, 0, 1, -1.0f},
      {2, 16, 128, {-32768, 0}, 4, 0, 1, -v128},
      {2, 16, 0, {32767, 0}, 4, 0, 1, 0.0f},
      {1, 16, 256, {16384}, 2, 0, 1, 0.5f},  // out of range: the volume stays 1
      {1, 16, -1, {-16384}, 2, 0, 1, -0.5f},
      {2, 24, -2, {1, 2, 3}, 6, 0, 1, 0x020001 / 8388608.0f},  // one frame of 3-byte samples
      {2, 16, -2, {}, 0, 1, 0, 0.0f},
      {2, 16, -2, {}, -4, 1, 0, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("channels " + std::to_string(c.channels) + ", bits " + std::to_string(c.bits) +
                 ", volume " + std::to_string(c.volume) + ", bytes " + std::to_string(c.bytes));
    auto window = OpenedWindow(c.channels, c.bits);
    if (c.volume != -2) window->SetVolume(c.volume);
    TSingleChannelArrays inputs(2, 8192);
    window->ReadBlock(8192, inputs);  // the write index is back at the ring's start
    const std::vector<char> pcm = Pcm(c.samples);
    EXPECT_EQ(window->Write(pcm.data(), c.bytes), c.result);
    EXPECT_EQ(window->WritePos() % 8192, c.frames_stored);
    EXPECT_EQ(window->RingBuffer()[0][0], c.first);
  }
}

// The stream's depth decides how many bytes make a frame: whole frames are stored and
// counted in frames, whatever the depth.
TEST_F(StreamRing, WriteStoresStreamsOfEveryDepthInWholeFrames) {
  struct Case {
    int32_t bits;
    int32_t channels;
    std::vector<uint8_t> bytes;
    int32_t result;
    int32_t frames_stored;
    float left, right;  // the last stored frame
  };
  const Case cases[] = {
      {8, 2, {0x00, 0xFF, 0x80, 0xC0, 0x7F}, 0, 2, 0.0f, 0.5f},
      {8, 1, {0x40}, 0, 1, -0.5f, 0.0f},
      {24,
       2,
       {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0xFF, 0xFF},
       0,
       1,
       -1.0f,
       8388607 / 8388608.0f},
      {24, 2, {0x01, 0x00, 0x00, 0xFF, 0xFF}, 1, 0, 0.0f, 0.0f},
      {32,
       2,
       {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00},
       0,
       1,
       -1.0f,
       0.5f},
      {32, 2, {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00}, 1, 0, 0.0f, 0.0f},
      {32,
       1,
       {0x00, 0x00, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x00, 0x07},
       0,
       2,
       1 / 2147483648.0f,
       0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels, " +
                 std::to_string(c.bytes.size()) + " bytes");
    auto window = OpenedWindow(c.channels, c.bits);
    TSingleChannelArrays inputs(2, 8192);
    window->ReadBlock(8192, inputs);
    EXPECT_EQ(window->Write(reinterpret_cast<const char*>(c.bytes.data()),
                            static_cast<int32_t>(c.bytes.size())),
              c.result);
    EXPECT_EQ(window->WritePos(), c.frames_stored);
    EXPECT_EQ(window->FreeFrames(), 8192 - c.frames_stored);
    window->ReadBlock(8192, inputs);
    if (c.frames_stored < 1) continue;
    const auto last = static_cast<size_t>(c.frames_stored - 1);
    EXPECT_EQ(inputs[0][last], c.left);
    if (c.channels > 1) EXPECT_EQ(inputs[1][last], c.right);
  }
}

// A depth the ring cannot read is refused before anything changes: the stream open before
// plays on as it was (its depth, channels, ring, rate and time), a stopped host stays stopped,
// and the log names the depth.
TEST_F(StreamRing, OpenRefusesADepthItCannotPlayAndChangesNothing) {
  const std::string log_path = (Directory() / "partiloom.log").string();
#if defined(_WIN32)
  _putenv(("PARTILOOM_LOG=" + log_path).c_str());
#else
  setenv("PARTILOOM_LOG", log_path.c_str(), 1);
#endif
  auto window = WindowOnDriver(256);
  ASSERT_GT(window->Open(44100, 2, 16), 0);
  window->Flush(3000);
  for (const int32_t bits : {0, 1, 12, 20, 64, -16, INT32_MIN}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    EXPECT_EQ(window->Open(48000, 10, bits), -1);
    EXPECT_TRUE(window->ASIOHost.GetActive());
    EXPECT_EQ(window->ASIOHost.GetSampleRate(), 44100.0);
    EXPECT_EQ(window->RingBuffer().ChannelCount(), 8u);
    EXPECT_EQ(window->OutputTime(), 3000);
  }
  // The earlier stream's 16-bit frames are still taken.
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(8192, inputs);
  const std::vector<char> pcm = Pcm({-16384, 16384});
  EXPECT_EQ(window->Write(pcm.data(), 4), 0);
  EXPECT_EQ(window->WritePos(), 1);

  window->Close();
  EXPECT_EQ(window->Open(44100, 2, 20), -1);
  EXPECT_FALSE(window->ASIOHost.GetActive());
#if defined(_WIN32)
  _putenv("PARTILOOM_LOG=");
#else
  unsetenv("PARTILOOM_LOG");
#endif
  std::ifstream log(log_path);
  const std::string text{std::istreambuf_iterator<char>(log), {}};
  EXPECT_NE(text.find("stream of 20 bits a sample is refused"), std::string::npos) << text;
  EXPECT_NE(text.find("stream of -16 bits a sample is refused"), std::string::npos) << text;
}

// A player that writes more than CanWrite answered: what is free is stored, the frames
// already queued stay as they were.
TEST_F(StreamRing, AWriteBeyondTheFreeFramesStoresWhatIsFree) {
  auto window = OpenedWindow(2);
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(100, inputs);
  const std::vector<char> pcm = NumberedFrames(1, 300);
  EXPECT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  EXPECT_EQ(window->FreeFrames(), 0);
  EXPECT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 1);
  window->ReadBlock(8092, inputs);  // the rest of the starting silence
  window->ReadBlock(200, inputs);
  for (size_t i = 0; i < 200; ++i) {
    const int32_t expected = i < 100 ? 1 + static_cast<int32_t>(i) : 0;
    ASSERT_EQ(FrameNumber(inputs, i), expected) << "frame " << i;
  }
}

TEST_F(StreamRing, VolumeAppliesToLaterSamplesOnly) {
  auto window = OpenedWindow(1);
  TSingleChannelArrays inputs(1, 8192);
  window->ReadBlock(8192, inputs);
  const std::vector<char> pcm = Pcm({-32768});
  window->Write(pcm.data(), 2);
  window->SetVolume(51);
  window->Write(pcm.data(), 2);
  EXPECT_EQ(window->Volume(), static_cast<float>(51 / 255.0));
  EXPECT_EQ(window->RingBuffer()[0][0], -1.0f);
  EXPECT_EQ(window->RingBuffer()[0][1], -static_cast<float>(51 / 255.0));
}

TEST_F(StreamRing, BlockReadWrapsAtTheRingEnd) {
  struct Case {
    uint32_t block;
    int reads;
    int32_t read_pos;  // after the reads
  };
  // 480 frames: the 18th read takes 32 frames from the ring's end, then 448 from its start.
  const Case cases[] = {
      {480, 17, 8160}, {480, 18, 448}, {512, 16, 0}, {512, 17, 512}, {8192, 1, 0}, {1000, 9, 808},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("block " + std::to_string(c.block) + " x " + std::to_string(c.reads));
    auto window = OpenedWindow(2);
    TSingleChannelArrays inputs(2, c.block);
    for (int i = 0; i < c.reads - 1; ++i) window->ReadBlock(c.block, inputs);
    // Every free frame is marked with its ring index: the last read shows where it took
    // each frame from. The frames not yet freed are silence.
    const int32_t start = window->ReadPos();
    const int32_t free = window->FreeFrames();
    std::vector<int16_t> marks;
    for (int32_t index = 0; index < free; ++index) {
      marks.push_back(static_cast<int16_t>(index));
      marks.push_back(static_cast<int16_t>(-index));
    }
    const std::vector<char> pcm = Pcm(marks);
    if (!pcm.empty()) window->Write(pcm.data(), static_cast<int32_t>(pcm.size()));
    window->ReadBlock(c.block, inputs);
    EXPECT_EQ(window->ReadPos(), c.read_pos);
    for (size_t i = 0; i < c.block; ++i) {
      const int32_t index = (start + static_cast<int32_t>(i)) % 8192;
      const float expected = index < free ? static_cast<float>(index) / 32768.0f : 0.0f;
      ASSERT_EQ(inputs[0][i], expected) << "frame " << i;
      ASSERT_EQ(inputs[1][i], -expected) << "frame " << i;
    }
  }
}

TEST_F(StreamRing, BlockReadCopiesOnlyChannelsBothSidesHave) {
  auto window = OpenedWindow(2);
  TSingleChannelArrays inputs(10, 64);
  for (size_t ch = 0; ch < 10; ++ch) std::fill_n(inputs[ch], 64, 0.25f);
  const TRingRead read = window->ReadBlock(64, inputs);
  EXPECT_EQ(read.Channels, 8u);
  EXPECT_EQ(read.Taken, 64u);
  EXPECT_TRUE(read.GateOpen);
  for (size_t ch = 0; ch < 8; ++ch) EXPECT_EQ(inputs[ch][0], 0.0f) << ch;
  // Effect inputs beyond the ring's channels keep their contents.
  EXPECT_EQ(inputs[8][0], 0.25f);
  EXPECT_EQ(inputs[9][63], 0.25f);
}

// A player that falls behind yields silence: what the reader took is cleared, so a reader
// that overtakes the writer never hands out a lap-old block again.
TEST_F(StreamRing, UnderrunReadsSilenceNotStaleAudio) {
  auto window = OpenedWindow(2);
  TSingleChannelArrays inputs(2, 8192);
  window->ReadBlock(8192, inputs);
  std::vector<int16_t> tone;
  for (int i = 0; i < 8192; ++i) {
    tone.push_back(1234);
    tone.push_back(-1234);
  }
  const std::vector<char> pcm = Pcm(tone);
  ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  window->ReadBlock(8192, inputs);
  EXPECT_EQ(inputs[0][8191], 1234.0f / 32768.0f);
  // The player writes nothing more; the driver goes on reading lap after lap.
  for (int lap = 0; lap < 3; ++lap) {
    for (int block = 0; block < 16; ++block) {
      window->ReadBlock(512, inputs);
      for (size_t ch = 0; ch < 2; ++ch)
        for (size_t i = 0; i < 512; ++i)
          ASSERT_EQ(inputs[ch][i], 0.0f) << "lap " << lap << " block " << block << " frame " << i;
    }
  }
}

TEST_F(StreamRing, PauseAnswersThePreviousFlag) {
  auto window = OpenedWindow();
  const int32_t flags[] = {1, 1, 0, 0, 5, 0};
  const int32_t answers[] = {0, 1, 1, 0, 0, 1};
  for (size_t i = 0; i < std::size(flags); ++i) {
    EXPECT_EQ(window->Pause(flags[i]), answers[i]) << "step " << i;
    EXPECT_EQ(window->Paused(), flags[i] != 0);
  }
}

// The written time counts the stream's frames from the last Flush; the output time is that
// less what is still to be heard (the queue and the driver's output latency), never before
// the Flush, never past the written time, never back.
TEST_F(StreamRing, TheTimesFollowWhatIsWrittenAndWhatIsHeard) {
  struct Case {
    int32_t rate, channels, bits;
    int32_t flush;  // ms
  };
  const Case cases[] = {
      {44100, 2, 16, 0},
      {44100, 2, 16, 5000},
      {48000, 6, 24, 123456},
      {44100, 1, 32, 1},
  };
  const TOutputModule* record = winampGetOutModule();
  size_t driver = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " ch, flush " +
                 std::to_string(c.flush));
    auto window = WindowOnDriver(256);  // output latency 512 frames
    ASSERT_GT(window->Open(c.rate, c.channels, c.bits), 0);
    window->Flush(c.flush);  // the ring's silence goes too
    EXPECT_EQ(window->WrittenTime(), c.flush);
    EXPECT_EQ(window->OutputTime(), c.flush);
    const size_t frame_bytes = size_t(c.channels) * size_t(c.bits / 8);
    const int64_t frames = c.rate / 10;  // 100 ms
    const std::vector<char> pcm(frame_bytes * size_t(frames), 0);
    ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
    EXPECT_EQ(window->WrittenTime(), c.flush + 100);
    EXPECT_EQ(window->OutputTime(), c.flush);  // all of it still to be heard
    // Ten blocks take 2560 frames; the last of them is in the driver for its output
    // latency and its own length.
    ASSERT_EQ(Driver(driver++).RunSwitches(10), 10);
    const int64_t pending = frames - 2560 + 512 + 256;
    const int64_t expected = c.flush + 100 - (pending * 1000 + c.rate - 1) / c.rate;
    EXPECT_EQ(window->OutputTime(), expected);
    FmASIOConfig = window.get();
    EXPECT_EQ(record->GetWrittenTime(), c.flush + 100);
    EXPECT_EQ(record->GetOutputTime(), expected);
    FmASIOConfig = nullptr;
    // Paused, the time stands; a seek back is followed.
    window->Pause(1);
    EXPECT_EQ(window->OutputTime(), expected);
    window->Pause(0);
    window->Flush(c.flush / 2);
    EXPECT_EQ(window->OutputTime(), c.flush / 2);
    window->Open(c.rate, c.channels, c.bits);
    EXPECT_EQ(window->WrittenTime(), 0);
    EXPECT_EQ(window->OutputTime(), 0);
  }
}

// The stream is converted to the driver's new rate, so its time goes on at its own.
TEST_F(StreamRing, ARateChangeReportedByTheDriverKeepsTheStreamsTime) {
  auto window = WindowOnDriver(256);
  window->Open(44100, 2, 16);
  window->Flush(5000);
  ASSERT_EQ(window->OutputTime(), 5000);
  window->ASIOHost.SetSampleRate(48000.0);
  ASSERT_TRUE(Driver().ChangeSampleRate(48000.0));
  // The host hears of it on its own thread, at its next tick.
  for (int i = 0; i < 100 && window->ResamplingText().empty(); ++i)
    platform::WaitAndPumpMessages(10);
  EXPECT_EQ(window->ResamplingText(), "resampling 44100 Hz to 48000 Hz");
  EXPECT_EQ(window->OutputTime(), 5000);
  window->Flush(3000);
  EXPECT_EQ(window->OutputTime(), 3000);
  window->ASIOHostLatencyChanged(nullptr);
  EXPECT_EQ(window->OutputTime(), 3000);
}

// Before the first Open there is no channel count, no bit depth and no ring: nothing may
// divide by zero or index an empty ring.
TEST_F(StreamRing, StreamCallsBeforeTheFirstOpenAnswerSafely) {
  auto window = MakeWindow();
  const std::vector<char> pcm = Pcm({1, 2, 3, 4});
  EXPECT_EQ(window->Write(pcm.data(), 8), 1);
  EXPECT_EQ(window->FreeFrames(), 0);
  EXPECT_EQ(window->OutputTime(), 0);
  window->Flush(1000);
  EXPECT_EQ(window->OutputTime(), 1000);
  EXPECT_EQ(window->FreeBytes(), 0);
  EXPECT_EQ(window->IsPlaying(), 0);
  TSingleChannelArrays inputs(2, 64);
  EXPECT_EQ(window->ReadBlock(64, inputs).Channels, 0u);
  // Without a driver, and with no channels, nothing opens.
  EXPECT_EQ(window->Open(44100, 2, 16), -1);
  EXPECT_EQ(window->Open(44100, 0, 16), -1);
  EXPECT_EQ(window->Write(pcm.data(), 8), 1);
}

// A stream opened on a driver with a shorter block shrinks the ring below indices the
// earlier stream left: the answers stay inside the ring.
TEST_F(StreamRing, IndicesBeyondAShrunkRingStayInside) {
  DriverConfig config;
  config.clock = ClockMode::Manual;
  config.minimum_size = 64;
  config.maximum_size = config.preferred_size = 16384;
  config.granularity = 0;
  const std::string long_blocks = InstallDriver(config);
  config.maximum_size = config.preferred_size = 512;
  const std::string short_blocks = InstallDriver(config);
  auto window = MakeWindow();
  SelectDriver(*window, long_blocks);
  window->Open(44100, 2, 16);
  ASSERT_EQ(window->RingLength(), 32768);
  TSingleChannelArrays inputs(2, 32768);
  window->ReadBlock(30000, inputs);  // read index 30000, 2768 frames queued
  SelectDriver(*window, short_blocks);
  EXPECT_EQ(window->RingLength(), 32768);  // a shorter block alone does not shrink it
  window->Open(44100, 2, 16);
  ASSERT_EQ(window->RingLength(), 8192);
  EXPECT_EQ(window->FreeFrames(), 0);  // afresh, full of silence
  window->ReadBlock(512, inputs);
  EXPECT_EQ(window->ReadPos(), 512);
  const std::vector<char> pcm = Pcm({100, 200});
  EXPECT_EQ(window->Write(pcm.data(), 4), 0);
  EXPECT_EQ(window->WritePos(), 1);
}

// Times a 32-bit answer cannot hold stop at its largest; a time before 0 is 0.
TEST_F(StreamRing, HugeFlushTimesSaturate) {
  auto window = OpenedWindow(8);
  window->Flush(INT32_MAX);
  const std::vector<char> pcm(16 * 4410, 0);
  ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  EXPECT_EQ(window->WrittenTime(), INT32_MAX);
  EXPECT_EQ(window->OutputTime(), INT32_MAX);
  window->Flush(INT32_MIN);
  EXPECT_EQ(window->WrittenTime(), 0);
  EXPECT_EQ(window->OutputTime(), 0);
}

// No stream plays at a rate no player sends: the Open is refused with a line in the log and
// no box, and the stream open before goes on as it was.
TEST_F(StreamRing, OpenRefusesAnAbsurdRateAndChangesNothing) {
  const std::string log_path = (Directory() / "partiloom.log").string();
#if defined(_WIN32)
  _putenv(("PARTILOOM_LOG=" + log_path).c_str());
#else
  setenv("PARTILOOM_LOG", log_path.c_str(), 1);
#endif
  auto window = WindowOnDriver(256);
  Messages().clear();
  ASSERT_GT(window->Open(48000, 2, 16), 0);
  window->Flush(2000);
  for (const int32_t rate : {0, -44100, 3999, 768001, 2000000, INT32_MAX}) {
    SCOPED_TRACE(rate);
    EXPECT_EQ(window->Open(rate, 6, 16), -1);
    EXPECT_EQ(window->StreamSampleRate(), 48000);
    EXPECT_EQ(window->ASIOHost.GetSampleRate(), 48000.0);
    EXPECT_EQ(window->OutputTime(), 2000);
  }
  EXPECT_GT(window->Open(4000, 2, 16), 0);
  EXPECT_GT(window->Open(768000, 2, 16), 0);
  EXPECT_TRUE(Messages().empty());
#if defined(_WIN32)
  _putenv("PARTILOOM_LOG=");
#else
  unsetenv("PARTILOOM_LOG");
#endif
  std::ifstream log(log_path);
  const std::string text{std::istreambuf_iterator<char>(log), {}};
  EXPECT_NE(text.find("stream at 0 Hz is refused; 4000 to 768000 Hz play"), std::string::npos)
      << text;
  EXPECT_NE(text.find("stream at 2000000 Hz is refused"), std::string::npos) << text;
}

// A driver block as long as the smallest ring or longer: the ring still holds more than one
// block, so every block read leaves the player room to write and the frames come through.
TEST_F(StreamRing, ALongDriverBlockLeavesThePlayerRoomToWrite) {
  for (const int32_t block : {4096, 8192, 16384}) {
    SCOPED_TRACE("block " + std::to_string(block));
    auto window = WindowOnDriver(block);
    window->Open(44100, 2, 16);
    EXPECT_GE(window->RingLength(), 2 * block);
    EXPECT_GE(window->RingLength(), 8192);
    TSingleChannelArrays inputs(2, static_cast<size_t>(block));
    int32_t written = 0;   // frames numbered 1 .. written went in
    int32_t expected = 1;  // the next number due out
    for (int round = 0; round < 6; ++round) {
      window->ReadBlock(static_cast<uint32_t>(block), inputs);
      for (size_t i = 0; i < static_cast<size_t>(block); ++i) {
        const int32_t number = FrameNumber(inputs, i);
        if (number == 0) continue;  // the silence the ring starts with
        ASSERT_EQ(number, expected) << "round " << round << " frame " << i;
        ++expected;
      }
      const int32_t free = window->FreeFrames();
      ASSERT_GT(free, 0) << "round " << round;
      const int32_t count = std::min(free, 4096);  // the numbers stay below 32768
      const std::vector<char> pcm = NumberedFrames(written + 1, count);
      ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
      written += count;
    }
    EXPECT_GT(expected, 1);
  }
}

// A reset or another driver raises the block length while a stream is open: the ring grows
// to hold more than one block again (on the host's thread, where the events run), and the
// frames written but not yet read come first, in order.
TEST_F(StreamRing, ARaisedBlockLengthGrowsTheOpenRingAndKeepsItsFrames) {
  enum class Raise { Reset, DriverChange };
  for (const Raise raise : {Raise::Reset, Raise::DriverChange}) {
    SCOPED_TRACE(raise == Raise::Reset ? "reset" : "driver change");
    DriverConfig config;
    config.clock = ClockMode::Manual;
    config.minimum_size = 64;
    config.maximum_size = config.preferred_size = 512;
    config.granularity = 0;
    const std::string short_blocks = InstallDriver(config);
    config.maximum_size = config.preferred_size = 8192;
    const std::string long_blocks = InstallDriver(config);
    auto window = MakeWindow();
    SelectDriver(*window, short_blocks);
    ASSERT_GT(window->Open(44100, 2, 16), 0);
    ASSERT_EQ(window->RingLength(), 8192);
    TSingleChannelArrays inputs(2, 8192);
    window->ReadBlock(8192, inputs);  // the silence the ring starts with
    const std::vector<char> pcm = NumberedFrames(1, 8192);
    ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
    window->ReadBlock(1000, inputs);
    ASSERT_EQ(FrameNumber(inputs, 999), 1000);

    if (raise == Raise::Reset) {
      ASSERT_TRUE(ReconfigureDriver(config, 0));
      ASSERT_TRUE(Driver(0).SendMessage(kAsioBufferSizeChange).has_value());
      for (int i = 0; i < 200 && window->ASIOHost.GetBufferSize() != 8192; ++i)
        platform::WaitAndPumpMessages(10);
    } else {
      SelectDriver(*window, long_blocks);
    }
    ASSERT_EQ(window->ASIOHost.GetBufferSize(), 8192u);
    EXPECT_TRUE(window->ASIOHost.GetActive());
    ASSERT_GE(window->RingLength(), 16384);
    EXPECT_EQ(window->FreeFrames(), window->RingLength() - 7192);
    window->ReadBlock(8192, inputs);
    for (size_t i = 0; i < 7192; ++i)
      ASSERT_EQ(FrameNumber(inputs, i), 1001 + static_cast<int32_t>(i)) << "frame " << i;
    // What the player writes now follows without a gap.
    const std::vector<char> more = NumberedFrames(8193, 100);
    ASSERT_EQ(window->Write(more.data(), static_cast<int32_t>(more.size())), 0);
    window->ReadBlock(100, inputs);
    EXPECT_EQ(FrameNumber(inputs, 0), 8193);
    EXPECT_EQ(FrameNumber(inputs, 99), 8292);
  }
}

// A player that falls behind: the block read takes only what was written, the rest of the
// block is silence, and the frames written afterwards come next instead of a lap later.
TEST_F(StreamRing, AShortfallIsSilenceAndLaterFramesComeNext) {
  auto window = OpenedWindow(2);
  TSingleChannelArrays inputs(2, 512);
  for (int i = 0; i < 16; ++i) window->ReadBlock(512, inputs);  // the starting silence
  struct Step {
    int32_t write;      // frames written (numbered on from the last)
    int32_t first;      // the number of the block's first frame, 0: silence
    int32_t numbered;   // frames of the block that carry numbers; the rest is silence
    int32_t can_write;  // afterwards
  };
  const Step steps[] = {
      {0, 0, 0, 8192},  // an empty ring stays empty: nothing is taken
      {100, 1, 100, 8192}, {300, 101, 300, 8192}, {600, 401, 512, 8192 - 88}, {0, 913, 88, 8192},
  };
  int32_t written = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE("write " + std::to_string(step.write));
    if (step.write > 0) {
      const std::vector<char> pcm = NumberedFrames(written + 1, step.write);
      ASSERT_EQ(window->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
      written += step.write;
    }
    window->ReadBlock(512, inputs);
    for (int32_t i = 0; i < 512; ++i) {
      const int32_t expected = i < step.numbered ? step.first + i : 0;
      ASSERT_EQ(FrameNumber(inputs, static_cast<size_t>(i)), expected) << "frame " << i;
      ASSERT_EQ(inputs[1][i], -inputs[0][i]) << "frame " << i;
    }
    EXPECT_EQ(window->FreeFrames(), step.can_write);
  }
}

}  // namespace
