// Tests of the stand-in logging service: levels, the environment setting, recording, counters
// and the default sink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "LogLevelParser.h"
#include "StandInServices.h"

namespace {

class Logging : public testing::Test {
 protected:
  void SetUp() override {
    StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
    StandIn_LoggingResetCounters();
  }
  void TearDown() override {
    StandIn_LoggingStopRecording();
    StandIn_LoggingClearRecorded();
    StandIn_LoggingSetSink(nullptr, nullptr);
  }
  const LoggerHandle logger_ = Quorvel_LoggingGetLogger(3);
};

TEST(LogLevelParser, ReadsListsAndWords) {
  using standin::ParseLogLevels;
  EXPECT_EQ(ParseLogLevels(nullptr), 0u);
  EXPECT_EQ(ParseLogLevels("none"), 0u);
  EXPECT_EQ(ParseLogLevels("0,1,2,3"), 0xFu);
  EXPECT_EQ(ParseLogLevels(" 4 ,31,,"), (1u << 4) | (1u << 31));
  EXPECT_EQ(ParseLogLevels("ALL"), 0xFFFFFFFFu);
  // Out-of-range levels, overflowing numbers and junk enable nothing.
  EXPECT_EQ(ParseLogLevels("32,99999999999999999999,-1,2x,x2,1"), 0x2u);
}

// Run by ctest with QUORVEL_LOG_LEVELS="1, 3,40,x" in a fresh process (see CMakeLists.txt).
TEST(LoggingEnvironment, StartingLevelsComeFromTheEnvironment) {
  const char* setting = std::getenv("QUORVEL_LOG_LEVELS");
  if (setting == nullptr || std::strcmp(setting, "1, 3,40,x") != 0) {
    GTEST_SKIP() << "needs QUORVEL_LOG_LEVELS=\"1, 3,40,x\" in a fresh process";
  }
  EXPECT_TRUE(Quorvel_LoggingIsLogEnabled(Quorvel_LoggingGetLogger(0), 3));
  EXPECT_EQ(StandIn_LoggingGetEnabledLevels(), 0xAu);
}

TEST_F(Logging, LevelsSuppressionAndCallCounts) {
  StandIn_LoggingSetEnabledLevels(0x80000005u);
  EXPECT_EQ(StandIn_LoggingGetEnabledLevels(), 0x80000005u);
  EXPECT_TRUE(Quorvel_LoggingIsLogEnabled(logger_, 0));
  EXPECT_FALSE(Quorvel_LoggingIsLogEnabled(logger_, 1));
  EXPECT_TRUE(Quorvel_LoggingIsLogEnabled(logger_, 31));
  StandIn_LoggingSetEnabledLevels(0xFFFFFFFFu);
  EXPECT_FALSE(Quorvel_LoggingIsLogEnabled(logger_, 32));
  EXPECT_FALSE(Quorvel_LoggingIsLoggingSuppressed());
  StandIn_LoggingSetSuppressed(true);
  EXPECT_TRUE(Quorvel_LoggingIsLoggingSuppressed());
  StandIn_LoggingSetSuppressed(false);
  Quorvel_LoggingLog(logger_, 0, "x", 0);

  EXPECT_NE(Quorvel_LoggingGetLogger(-1), 0u);
  EXPECT_NE(Quorvel_LoggingGetLogger(-1), Quorvel_LoggingGetLogger(0));
  EXPECT_EQ(Quorvel_LoggingGetLogger(5), 6u);  // as StandInServices.h documents

  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_GetLogger), 4u);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_IsLogEnabled), 4u);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_IsLoggingSuppressed), 2u);
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_Log), 1u);
  EXPECT_EQ(StandIn_LoggingCallCount(4), 0u);
  StandIn_LoggingResetCounters();
  EXPECT_EQ(StandIn_LoggingCallCount(StandInLogging_IsLogEnabled), 0u);
}

TEST_F(Logging, RecordsCopiesOfLinesWhileRecordingWhateverTheLevels) {
  StandIn_LoggingSetEnabledLevels(0);
  Quorvel_LoggingLog(logger_, 1, "before", 0);
  StandIn_LoggingStartRecording();
  std::string text = "first";
  Quorvel_LoggingLog(logger_, 2, text.c_str(), 1);
  text = "changed";
  Quorvel_LoggingLog(Quorvel_LoggingGetLogger(4), 40, nullptr, -1);
  StandIn_LoggingStopRecording();
  Quorvel_LoggingLog(logger_, 1, "after", 0);

  ASSERT_EQ(StandIn_LoggingRecordedCount(), 2u);
  EXPECT_STREQ(StandIn_LoggingRecordedText(0), "first");
  EXPECT_EQ(StandIn_LoggingRecordedLevel(0), 2u);
  EXPECT_EQ(StandIn_LoggingRecordedDelta(0), 1);
  EXPECT_EQ(StandIn_LoggingRecordedLogger(0), logger_);
  EXPECT_STREQ(StandIn_LoggingRecordedText(1), "");
  EXPECT_EQ(StandIn_LoggingRecordedLevel(1), 40u);
  EXPECT_EQ(StandIn_LoggingRecordedDelta(1), -1);
  EXPECT_EQ(StandIn_LoggingRecordedLogger(1), Quorvel_LoggingGetLogger(4));
  EXPECT_STREQ(StandIn_LoggingRecordedText(2), "");
  EXPECT_EQ(StandIn_LoggingRecordedLogger(~uint64_t{0}), 0u);
}

TEST_F(Logging, DefaultSinkIndentsAndTagsLevels) {
  StandIn_LoggingSetSink(nullptr, nullptr);
  testing::internal::CaptureStderr();
  Quorvel_LoggingLog(logger_, 2, "begin", 1);
  Quorvel_LoggingLog(logger_, 12, "step", 0);
  Quorvel_LoggingLog(logger_, 2, "end", -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[L2] begin\n  [L12] step\n[L2] end\n");
}

}  // namespace
