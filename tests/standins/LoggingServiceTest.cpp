// The stand-in logging service as the component relies on it: the enabled and suppressed
// questions, the starting levels from the environment, and the recording of lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "LogLevelParser.h"
#include "StandInServices.h"

namespace {

TEST(LoggingService, LevelListsEnableOnlyValidLevels) {
  const struct {
    const char* text;
    uint32_t levels;
  } cases[] = {{nullptr, 0},        {"none", 0},          {"0,1,2,3", 0xF},
               {" 4 ,31,,", 0x80000010u}, {"ALL", 0xFFFFFFFFu},
               {"32,99999999999999999999,-1,2x,x2,1", 0x2}};
  for (const auto& c : cases) EXPECT_EQ(standin::ParseLogLevels(c.text), c.levels) << c.text;
}

// Run by ctest with QUORVEL_LOG_LEVELS="1, 3,40,x" in a fresh process (see CMakeLists.txt).
TEST(LoggingService, StartingLevelsComeFromTheEnvironment) {
  const char* setting = std::getenv("QUORVEL_LOG_LEVELS");
  if (setting == nullptr || std::strcmp(setting, "1, 3,40,x") != 0) {
    GTEST_SKIP() << "needs QUORVEL_LOG_LEVELS=\"1, 3,40,x\" in a fresh process";
  }
  EXPECT_EQ(StandIn_LoggingGetEnabledLevels(), 0xAu);
}

TEST(LoggingService, AnswersQuestionsAndRecordsCopiesWhateverTheLevels) {
  StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
  const LoggerHandle logger = Quorvel_LoggingGetLogger(3);
  StandIn_LoggingSetEnabledLevels(0x80000005u);
  EXPECT_TRUE(Quorvel_LoggingIsLogEnabled(logger, 0));
  EXPECT_FALSE(Quorvel_LoggingIsLogEnabled(logger, 1));
  EXPECT_TRUE(Quorvel_LoggingIsLogEnabled(logger, 31));
  EXPECT_FALSE(Quorvel_LoggingIsLogEnabled(logger, 32));
  StandIn_LoggingSetSuppressed(true);
  EXPECT_TRUE(Quorvel_LoggingIsLoggingSuppressed());
  StandIn_LoggingSetSuppressed(false);
  EXPECT_FALSE(Quorvel_LoggingIsLoggingSuppressed());

  StandIn_LoggingSetEnabledLevels(0);
  Quorvel_LoggingLog(logger, 1, "before", 0);
  StandIn_LoggingStartRecording();
  std::string text = "first";
  Quorvel_LoggingLog(logger, 2, text.c_str(), 1);
  text = "changed";
  Quorvel_LoggingLog(Quorvel_LoggingGetLogger(4), 40, nullptr, -1);
  StandIn_LoggingStopRecording();
  Quorvel_LoggingLog(logger, 1, "after", 0);
  ASSERT_EQ(StandIn_LoggingRecordedCount(), 2u);
  EXPECT_STREQ(StandIn_LoggingRecordedText(0), "first");
  EXPECT_EQ(StandIn_LoggingRecordedLevel(0), 2u);
  EXPECT_EQ(StandIn_LoggingRecordedDelta(0), 1);
  EXPECT_EQ(StandIn_LoggingRecordedLogger(0), logger);
  EXPECT_STREQ(StandIn_LoggingRecordedText(1), "");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(1), -1);
  EXPECT_STREQ(StandIn_LoggingRecordedText(2), "");  // past the end
  StandIn_LoggingClearRecorded();
  StandIn_LoggingSetSink(nullptr, nullptr);
}

}  // namespace
