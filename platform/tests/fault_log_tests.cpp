#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fault_log.h"

namespace {

using namespace platform;

void SetLogPath(const std::string& path) {
#if defined(_WIN32)
  _putenv(("PARTILOOM_LOG=" + path).c_str());
#else
  if (path.empty())
    unsetenv("PARTILOOM_LOG");
  else
    setenv("PARTILOOM_LOG", path.c_str(), 1);
#endif
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

class FaultLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFaultLog();
    path_ = ::testing::TempDir() + "fault_log_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::remove(path_.c_str());
    SetLogPath(path_);
  }
  void TearDown() override {
    SetLogPath("");
    std::remove(path_.c_str());
    ResetFaultLog();
  }
  std::string path_;
};

TEST_F(FaultLog, EachPlaceIsWrittenOnceWithItsSourceWhileEveryFaultCounts) {
  const FaultSourceId effect = RegisterFaultSource("Crossover");
  const FaultSourceId driver = RegisterFaultSource("Test ASIO");
  EXPECT_EQ(RegisterFaultSource("Crossover"), effect);
  EXPECT_NE(effect, driver);

  // Several threads at once, as the audio thread and a driver's own threads would.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        RecordFault(FaultKind::EffectFault, effect, "processReplacing", 0xC0000005);
        RecordFault(FaultKind::DriverFault, driver, "stop", 0xE06D7363);
      }
    });
  for (std::thread& thread : threads) thread.join();
  RecordFault(FaultKind::FailedCall, driver, "stop");

  EXPECT_EQ(FaultCount(FaultKind::EffectFault, effect, "processReplacing"), 4000u);
  EXPECT_EQ(FaultCount(FaultKind::DriverFault, driver, "stop"), 4000u);
  EXPECT_EQ(FaultCount(FaultKind::FailedCall, driver, "stop"), 1u);
  // The same call named by a copy of its text (another module's literal) is the same place.
  const std::string elsewhere = "stop";
  EXPECT_EQ(FaultCount(FaultKind::FailedCall, driver, elsewhere.c_str()), 1u);
  EXPECT_EQ(TotalFaultCount(), 8001u);
  EXPECT_EQ(FlushFaultLog(), 3);
  RecordFault(FaultKind::EffectFault, effect, "processReplacing");
  EXPECT_EQ(FlushFaultLog(), 0);  // known place: counted, not written again

  const std::vector<std::string> lines = ReadLines(path_);
  ASSERT_EQ(lines.size(), 3u);
  // "YYYY-MM-DD HH:MM:SS.mmm partiloom: ..."
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd partiloom: ";
  for (const std::string& line : lines) {
    ASSERT_GT(line.size(), shape.size()) << line;
    for (size_t i = 0; i < shape.size(); ++i)
      EXPECT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                  : line[i] == shape[i])
          << line;
  }
  const std::string all = lines[0] + "\n" + lines[1] + "\n" + lines[2];
  EXPECT_NE(all.find("effect fault: \"Crossover\" in processReplacing (code 0xC0000005)"),
            std::string::npos);
  EXPECT_NE(all.find("driver fault: \"Test ASIO\" in stop (code 0xE06D7363)"), std::string::npos);
  EXPECT_NE(all.find("failed driver call: \"Test ASIO\" in stop"), std::string::npos);
}

TEST_F(FaultLog, NothingIsAppendedWithoutALogFileAndAFullRecordSaysSoOnce) {
  SetLogPath("");
  RecordFault(FaultKind::RefusedAnswer, 0, "getChannels");
  EXPECT_EQ(FlushFaultLog(), 1);
  EXPECT_TRUE(ReadLines(path_).empty());

  SetLogPath(path_);
  // Distinct call texts until the record is full and beyond.
  static char calls[600][8];
  for (size_t i = 0; i < 600; ++i) {
    std::snprintf(calls[i], sizeof(calls[i]), "c%zu", i);
    RecordFault(FaultKind::RefusedAnswer, 0, calls[i]);
  }
  // Faults beyond the record's places still count in the total.
  EXPECT_EQ(TotalFaultCount(), 601u);
  EXPECT_GT(FlushFaultLog(), 500);
  const std::vector<std::string> lines = ReadLines(path_);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("more kinds of faults than the record holds"), std::string::npos);
  EXPECT_EQ(FlushFaultLog(), 0);
}

TEST(FaultLogText, LinesNameKindSourceCallAndCode) {
  struct Case {
    FaultKind kind;
    const char* source;
    const char* call;
    uint32_t code;
    const char* expected;
  };
  const Case cases[] = {
      {FaultKind::EffectFault, "Delay", "effEditIdle", 0xC0000094,
       "partiloom: effect fault: \"Delay\" in effEditIdle (code 0xC0000094)"},
      {FaultKind::FailedCall, "Card", "start", 0,
       "partiloom: failed driver call: \"Card\" in start"},
      {FaultKind::RefusedAnswer, "Card", "getChannels", 0,
       "partiloom: refused answer: \"Card\" in getChannels"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DescribeFault(c.kind, c.source, c.call, c.code), c.expected);
}

}  // namespace
