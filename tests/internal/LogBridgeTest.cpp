// LogBridgeTest.cpp
//
// The logging bridge: what the service is asked for each line, the pieces of a line, and the
// closing line of a scope.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ErrorReporting.h"
#include "OperationPool.h"
#include "OperationReceiptLog.h"
#include "OperationSet.h"
#include "StandInServices.h"

namespace operation_receipt {
namespace {

class LogBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    StandIn_LoggingSetSink(StandIn_LoggingDiscardSink, nullptr);
    StandIn_LoggingSetSuppressed(false);
    StandIn_LoggingSetEnabledLevels(0xF);
    StandIn_LoggingStartRecording();
    StandIn_LoggingClearRecorded();
    StandIn_LoggingResetCounters();
  }
  void TearDown() override {
    StandIn_LoggingSetSuppressed(false);
    StandIn_LoggingStopRecording();
  }

  static uint64_t Calls(StandInLoggingCall which) { return StandIn_LoggingCallCount(which); }
  static std::string Text(uint64_t index) { return StandIn_LoggingRecordedText(index); }

  Logger logger_;
};

// A written line asks whether its level is enabled twice and whether logging is suppressed
// once; tokens are written as 16 hex digits, counts in decimal.
TEST_F(LogBridge, WrittenLineAsksTwiceAndWritesTokensInHex) {
  LogLine(logger_, kLogLifecycle, [](LineWriter& s) {
    s << TokenPiece{1} << " " << TokenPiece{0xFFFFFFFFFFFFFFFFull} << " " << 42 << " "
      << TokenPiece{0xABC} << " " << 255;
  });
  ASSERT_EQ(StandIn_LoggingRecordedCount(), 1u);
  EXPECT_EQ(Text(0), "0x0000000000000001 0xffffffffffffffff 42 0x0000000000000abc 255");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(0), 0);
  EXPECT_EQ(Calls(StandInLogging_IsLogEnabled), 2u);
  EXPECT_EQ(Calls(StandInLogging_IsLoggingSuppressed), 1u);
  EXPECT_EQ(Calls(StandInLogging_Log), 1u);
}

// A disabled level asks nothing more after the first question; suppressed logging writes
// nothing. Neither builds the line.
TEST_F(LogBridge, DisabledOrSuppressedLineIsNeitherBuiltNorWritten) {
  for (const bool disabled : {true, false}) {
    SCOPED_TRACE(disabled ? "level disabled" : "logging suppressed");
    StandIn_LoggingSetEnabledLevels(disabled ? 0 : 0xF);
    StandIn_LoggingSetSuppressed(!disabled);
    StandIn_LoggingResetCounters();
    bool formatted = false;
    LogLine(logger_, kLogLifecycle, [&](LineWriter&) { formatted = true; });
    EXPECT_FALSE(formatted);
    EXPECT_EQ(Calls(StandInLogging_Log), 0u);
    if (disabled) {
      EXPECT_EQ(Calls(StandInLogging_IsLogEnabled), 1u);
      EXPECT_EQ(Calls(StandInLogging_IsLoggingSuppressed), 0u);
    }
  }
}

// Lines longer than the bridge's stack buffer are written whole, the closing line of a scope
// included (its block is taken when the scope opens), and a scope closes also when an exception
// leaves it.
TEST_F(LogBridge, LongLinesAreWrittenWholeAndScopesCloseOnExceptions) {
  const std::string name(3 * Logger::kStackLine, 'n');
  try {
    LogScope scope(
        logger_, kLogFlush, [&](LineWriter& s) { s << "open " << NamePiece{name.c_str()}; },
        [&](LineWriter& s) { s << "close " << NamePiece{name.c_str()} << ' ' << TokenPiece{7}; });
    LogLine(logger_, kLogLifecycle, [&](LineWriter& s) { s << NamePiece{name.c_str()} << 12; });
    throw std::runtime_error("leaving");
  } catch (const std::runtime_error&) {
  }
  ASSERT_EQ(StandIn_LoggingRecordedCount(), 3u);
  EXPECT_EQ(Text(0), "open '" + name + "'");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(0), +1);
  EXPECT_EQ(Text(1), "'" + name + "'12");
  EXPECT_EQ(Text(2), "close '" + name + "' 0x0000000000000007");
  EXPECT_EQ(StandIn_LoggingRecordedDelta(2), -1);
  EXPECT_EQ(StandIn_LoggingRecordedLevel(2), kLogFlush);
}

// The whole life of an operation with every level disabled asks only the enabled question.
TEST_F(LogBridge, LifecycleWithLevelsDisabledOnlyAsksEnabled) {
  StandIn_LoggingSetEnabledLevels(0);
  OperationPool pool;
  OperationSet set;
  StandIn_LoggingResetCounters();
  const uint64_t token = pool.AllocateOperation(set, nullptr);
  ASSERT_EQ(pool.Acquire(token), kNoError);
  ASSERT_EQ(pool.Release(token), kNoError);
  ASSERT_EQ(pool.Release(token), kNoError);
  // Acquiring, Releasing, Releasing, Destroying: one question each, nothing formatted.
  EXPECT_EQ(Calls(StandInLogging_IsLogEnabled), 4u);
  EXPECT_EQ(Calls(StandInLogging_IsLoggingSuppressed), 0u);
  EXPECT_EQ(Calls(StandInLogging_Log), 0u);
}

}  // namespace
}  // namespace operation_receipt
